// Building the environment a configuration describes, the supervision table others read, and
// the close that stops only the processes it has pinned.
#include "loader.h"
#include "pinned.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sched.h>
#include <string>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace pxrtool::load {

void Loader::say(const char *fmt, const std::string &a, long b) const {
    if (!verbose) return;
    std::fprintf(stderr, "pxr load: ");
    std::fprintf(stderr, fmt, a.c_str(), b);
    std::fputc('\n', stderr);
}

void Loader::open_table() {
    table_segment =
        Segment::publish(kSupervisionKey, sizeof(SupervisionTable), PXR_access() & 0644);
    if (!table_segment) { // supervision works without it; pxr procs shows less
        if (table_segment.error() == EPERM)
            std::fprintf(stderr,
                         "pxr load: the supervision table (key 0x%x) belongs to another "
                         "user; pxr procs will show less\n",
                         unsigned(kSupervisionKey));
        return;
    }
    table = reinterpret_cast<SupervisionTable *>(table_segment.writable());
    std::memset(static_cast<void *>(table), 0, sizeof *table);
    table->loader_pid = int32_t(getpid());
    table->count = uint32_t(std::min<std::size_t>(children.size(), PXR_MAX_PROCESSES));
    std::atomic_ref<uint32_t>(table->magic).store(kSupervisionMagic);
}

void Loader::publish(const Child &c) {
    if (table == nullptr) return;
    const std::size_t i = std::size_t(&c - children.data());
    if (i >= PXR_MAX_PROCESSES) return;
    std::atomic_ref<uint32_t> seq(table->sequence);
    seq.fetch_add(1); // odd: readers retry
    SupervisedProcess &e = table->procs[i];
    e.pid = c.pid;
    e.state = uint32_t(c.state);
    e.exit_code = c.exit_code;
    e.signal = c.signal;
    e.core_dumped = c.core;
    e.restarts = c.restarts;
    e.started = c.started_epoch;
    e.critical = c.line->critical;
    e.policy = uint32_t(c.line->restart);
    std::snprintf(e.name, sizeof e.name, "%.49s", c.name());
    seq.fetch_add(1);
}

void Loader::close_table() {
    table_segment.remove();
    table_segment = Segment();
    table = nullptr;
}

int Loader::live_recorded_processes() {
    CommonView view;
    std::string why;
    if (!view.map(why)) return 0;
    const Membership m = membership(0);
    int live = 0;
    const int32_t n = std::clamp<int32_t>(view->process_count, 0, PXR_MAX_PROCESSES);
    for (int32_t i = 0; i < n; ++i) {
        const int32_t pid = view->processes[i].pid;
        if (pid_alive(pid) && not_a_member(m, pid).empty()) ++live;
    }
    return live;
}

void Loader::close_environment() {
    if (area != nullptr) {
        PinnedList pinned = pin_table(area, membership(getpid()), "load");
        pinned.stop(kStopGraceMs);
    }
    PXR_close_without_signals();
}

namespace {

// Accounts that a person may log in with, besides root: a uid from 1000 (not nobody's) and a
// shell that is not nologin or false.
bool host_has_other_accounts() {
    FILE *f = std::fopen("/etc/passwd", "r");
    if (f == nullptr) return false;
    char line[1024];
    bool found = false;
    while (!found && std::fgets(line, sizeof line, f) != nullptr) {
        std::string fields[7];
        std::size_t n = 0;
        for (const char *c = line; *c != '\0' && *c != '\n' && n < 7; ++c) {
            if (*c == ':')
                ++n;
            else
                fields[n] += *c;
        }
        const long uid = n >= 6 ? std::strtol(fields[2].c_str(), nullptr, 10) : -1;
        const std::string &shell = fields[6];
        found = uid >= 1000 && uid != 65534 && !shell.empty() &&
                shell.find("nologin") == std::string::npos &&
                shell.find("false") == std::string::npos;
    }
    std::fclose(f);
    return found;
}

} // namespace

void Loader::warn_open_access() const {
    if (geteuid() == 0 && PXR_access() == 0666 && host_has_other_accounts())
        std::fprintf(stderr, "pxr load: every local user may use and end this environment "
                             "(access 0666) and this host has other accounts; 'environment "
                             "access=0600' (or 0660 for a group) keeps them out\n");
}

int Loader::build() {
    uint32_t flags = PXR_INIT_CREATE | cfg.init_flags;
    int rc = PXR_init(flags, 0, cfg.congestion_module);
    if (rc == 1) {
        const int live = live_recorded_processes();
        if (live > 0 && !loader_waiting())
            std::fprintf(stderr,
                         "pxr load: a crashed environment was left behind and %d of its "
                         "recorded processes still %s; 'pxr clean' stops them and removes "
                         "it\n",
                         live, live == 1 ? "runs" : "run");
        else
            std::fprintf(stderr, "pxr load: an environment exists already (or a crashed one "
                                 "was left behind: see 'pxr clean')\n");
        return kExitSetup;
    }
    if (rc != 0) {
        PXR_close(); // removes a system lock this call made
        std::fprintf(stderr, "pxr load: cannot create the environment (PXR_init %d)\n", rc);
        return kExitSetup;
    }
    say("environment created (flags %s)", hex(flags));
    if (cfg.access >= 0 && PXR_set_access(uint32_t(cfg.access)) != 0)
        return fail("cannot set the access mode");
    warn_open_access();
    // A mapping of its own: it stays valid when a failed lock call detaches the library.
    area_segment = Segment::attach(PXR_common_area_id());
    if (!area_segment) return fail("cannot map the common area");
    area = reinterpret_cast<CommonArea *>(area_segment.writable());
    area_id = area_segment.id();

    if (cfg.ring_capacity != 0) {
        if (PXR_ring_queues(cfg.ring_capacity) != 0) return fail("cannot make the ring queues");
        say("ring queues of %s records", std::to_string(cfg.ring_capacity));
    }
    const int32_t form = cfg.atomic() ? PXR_OPEN_ATOMIC : 0;
    for (int part = 0; part < 2; ++part) {
        const PartitionConfig &pc = cfg.partitions[part];
        if (!pc.defined) continue;
        if (PXR_open_partition(part, pc.buffers, pc.size, pc.onset, pc.abate,
                               PXR_OPEN_CREATE | form) != 0)
            return fail("cannot create partition " + std::to_string(part));
        say("partition %s created", std::to_string(part));
    }
    for (uint32_t m : cfg.queues) {
        if (IPC_create(m, 1) != 0) return fail("cannot create the queue of module " + hex(m));
        say("queue %s created", hex(m));
    }
    for (const AliasConfig &a : cfg.aliases) {
        if (IPC_attach(a.module, a.target) != 0)
            return fail("cannot make module " + hex(a.module) + " an alias");
        say("module %s is an alias", hex(a.module));
    }
    for (const GroupConfig &g : cfg.groups) {
        if (PXR_group_create(g.module, g.members.data(), uint32_t(g.members.size())) != 0 ||
            (g.all_or_nothing && PXR_group_all_or_nothing(g.module) != 0))
            return fail("cannot make module " + hex(g.module) + " a group");
        say("module %s is a group", hex(g.module));
    }
    if (g_signal != 0) return fail("interrupted");

    // The exit semaphore is made here rather than inside the wait, so that a signal can
    // post it from the moment the processes run.
    int semid = TSEMA_open(IPC_CREAT | PXR_access());
    if (semid < 0) return fail("cannot create the exit semaphore");
    semctl(semid, 0, SETVAL, 0); // a count left by an earlier run must not end the wait
    g_exit_semid = semid;
    if (g_signal != 0) return fail("interrupted");

    // Every process that attaches from now on starts with this receive spin window.
    if (cfg.receive_spin_us >= 0 &&
        PXR_set_default_receive_spin(uint32_t(cfg.receive_spin_us)) != 0)
        return fail("cannot set the default receive spin window");
    for (const SpawnConfig &s : cfg.spawns) children.push_back(Child{&s});
    open_table();
    return 0;
}

int Loader::fail(const std::string &what) {
    std::fprintf(stderr, "pxr load: %s; removing what was made\n", what.c_str());
    alarm(0);
    closing = true;
    remove_exit_semaphore();
    close_environment();
    stop_children();
    finish();
    return g_signal != 0 ? signal_exit() : kExitSetup;
}

} // namespace pxrtool::load
