// Kill loop under traffic: `pxr load` supervises producers and consumers with restart=always
// while this program kills them with SIGKILL at random moments. Afterwards the producers
// pause, the queues drain, and every buffer must be back on its free list.
//
//   pxr_killloop PXR SUPER_APP KILLS [atomic] [rings] [many] [group]
//
// atomic: lock-free pools; rings: ring queues of 64 records; many: each consumer receives in
// three threads and in a forked copy of itself; group: the producers publish to a group of
// three consumers (0x20, 0x21, 0x22), waiting for buffers, and the third consumer is never
// killed. Between kills a consumer is stopped (SIGSTOP) for 5-50 ms at random moments, inside
// its take or not. Run it in a private IPC namespace (unshare --ipc). Prints one line of
// figures: releases refused must be 0, buffers off the free list after draining 0, and
// `pxr check` consistent (0).
#include "supervise.h"
#include "pxrlib.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point t) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

// Buffers of partition 0 on the free list, by walking it (either form).
int free_list_length(bool atomic) {
    const PartitionHeader *h = partition_hdr[0];
    uint32_t i = atomic ? (h->free_head & 0xFFFF) : h->free_head;
    int n = 0;
    while (i != PXR_NO_INDEX && i < uint32_t(h->num_msgs) && n <= h->num_msgs) {
        ++n;
        i = index_to_partition_sysmsg(0, i)->next;
    }
    return n;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 4) return 64;
    const std::string pxr = argv[1], app = argv[2];
    const int kills = std::atoi(argv[3]);
    bool atomic = false, rings = false, many = false, group = false;
    for (int i = 4; i < argc; ++i) {
        const std::string opt = argv[i];
        atomic = atomic || opt == "atomic";
        rings = rings || opt == "rings";
        many = many || opt == "many";
        group = group || opt == "group";
    }
    const std::string run = "/tmp/pxr_killloop." + std::to_string(getpid());
    const std::string conf = run + ".conf", err = run + ".err";
    {
        std::ofstream f(conf);
        f << "environment" << (atomic ? " atomic" : "") << (rings ? " ring-queues=64" : "")
          << "\npartition 0 buffers=64 size=64\nqueue 0x20 0x21" << (group ? " 0x22" : "") << "\n";
        if (group) f << "group 0x40 0x20 0x21 0x22\n";
        const std::string spawn = "spawn restart=always restart-limit=0 restart-delay=0 " + app;
        const std::string consume = many ? " consume-many " : " consume ";
        for (const char *m : {"0x20", "0x21"})
            f << spawn << (group ? " publish 0x40\n" : " produce " + std::string(m) + "\n") << spawn
              << consume << m << "\n";
        if (group) f << spawn << consume << "0x22\n";
    }
    std::fflush(nullptr);
    pid_t loader = fork();
    if (loader == 0) {
        freopen(err.c_str(), "w", stderr);
        execl(pxr.c_str(), "pxr", "load", conf.c_str(), nullptr);
        _exit(127);
    }
    for (int i = 0; i < 300 && PXR_init(0, 0, 0) != 0; ++i) usleep(20000);
    if (PXR_sys_failure != 0) return 2;
    int id = shmget(pxrtool::kSupervisionKey, 0, 0);
    if (id < 0) return 3;
    auto *table = static_cast<const pxrtool::SupervisionTable *>(shmat(id, nullptr, SHM_RDONLY));
    usleep(300000); // traffic starts

    std::mt19937 rng(12345);
    int done[2] = {0, 0}; // producers, consumers (spawn lines alternate)
    int stops = 0;
    std::vector<double> returns;
    const auto start = Clock::now();
    while (done[0] < kills || done[1] < kills) {
        usleep(10000 + rng() % 40000);
        if (const pxrtool::SupervisedProcess &c = table->procs[1 + 2 * (rng() % 2)];
            rng() % 2 == 0 && c.pid > 0) {
            const int32_t pid = c.pid;
            kill(pid, SIGSTOP);
            usleep(5000 + rng() % 45000);
            kill(pid, SIGCONT);
            ++stops;
        }
        const int k = int(rng() % 4);
        const int role = k % 2;
        if (done[role] >= kills) continue;
        const pxrtool::SupervisedProcess &e = table->procs[k];
        const int32_t pid = e.pid;
        if (e.state != uint32_t(pxrtool::ProcState::Running) || pid <= 0) continue;
        kill(pid, SIGKILL);
        const auto t = Clock::now();
        ++done[role];
        // The loader publishes the end after it has given the buffers back.
        while (e.pid == pid && e.state == uint32_t(pxrtool::ProcState::Running) &&
               ms_since(t) < 5000)
            usleep(200);
        returns.push_back(ms_since(t));
    }
    const double run_s = ms_since(start) / 1000.0;

    PXR_preset_counter(1, 1); // producers pause; consumers drain the queues
    for (int i = 0; i < 500 && (PXR_pending_msgs(0x20) > 0 || PXR_pending_msgs(0x21) > 0 ||
                                PXR_pending_msgs(0x22) > 0);
         ++i)
        usleep(10000);
    usleep(3000000); // the loader's periodic pass
    const PartitionHeader *h = partition_hdr[0];
    const int capacity = h->num_msgs;
    const int before = capacity - free_list_length(atomic);
    PXR_reclaim_stats st{};
    PXR_reclaim_buffers(0, 0, &st, nullptr, 0);
    const int after = capacity - free_list_length(atomic);
    int flagged = 0;
    for (int i = 0; i < capacity; ++i) {
        const SysMsg *m = index_to_partition_sysmsg(0, uint32_t(i));
        flagged += int(m->allocated);
        if (m->allocated != 0 && std::getenv("KILLLOOP_VERBOSE") != nullptr)
            std::printf("  buffer %d: getmem %d send %d receive %d relmem %d (gone %d/%d/%d), "
                        "shares %d\n",
                        i, m->getmem_pid, m->send_pid, m->receive_pid, m->relmem_pid,
                        PXR_process_gone(m->getmem_pid), PXR_process_gone(m->send_pid),
                        PXR_process_gone(m->receive_pid),
                        PXR_message_shares(index_to_msg(0, uint32_t(i))));
    }
    const uint32_t delivered = *counter_ptr[0];
    const uint32_t refused = *counter_ptr[2];
    const uint32_t alloc_count = h->alloc_count;
    const int check = WEXITSTATUS(std::system((pxr + " check >/dev/null").c_str()));
    PXR_terminate();
    int status = 0;
    waitpid(loader, &status, 0);

    std::sort(returns.begin(), returns.end());
    const auto pct = [&](double q) { return returns[std::size_t(q * double(returns.size() - 1))]; };
    // In the lock-free form one buffer always stays on the list: "off the list" counts it not.
    std::printf("%s%s%s%s: %d+%d kills, %d stops in %.1f s, %u messages delivered, %u releases "
                "refused; off the free list after draining: %d (after one more reclaim pass: "
                "%d, %u returned by it; %d marked allocated, alloc_count %u); pxr check %d; "
                "death to return: median %.1f ms, p90 %.1f ms, max %.1f ms; loader exit %d\n",
                atomic ? "lock-free" : "locked", rings ? ", rings" : "",
                many ? ", threads and forked copies" : "", group ? ", a group of 3" : "", done[0],
                done[1], stops, run_s, delivered, refused, before, after, st.returned, flagged,
                alloc_count, check, pct(0.5), pct(0.9), returns.back(),
                WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    return 0;
}
