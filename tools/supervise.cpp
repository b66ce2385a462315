// Reading the loader's supervision table, and the texts it is shown with.
#include "supervise.h"
#include "tool.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <sys/shm.h>

namespace pxrtool {

const char *state_name(ProcState s) {
    switch (s) {
    case ProcState::Running:
        return "running";
    case ProcState::Exited:
        return "exited";
    case ProcState::Killed:
        return "killed";
    case ProcState::Restarting:
        return "restarting";
    case ProcState::GaveUp:
        return "gave-up";
    case ProcState::NotStarted:
        return "not-started";
    }
    return "?";
}

std::string describe_end(int32_t exit_code, int32_t signal, bool core) {
    char buf[64];
    if (signal > 0) {
        const char *abbrev = sigabbrev_np(signal);
        std::snprintf(buf, sizeof buf, "SIG%s%s", abbrev != nullptr ? abbrev : "?",
                      core ? " (core dumped)" : "");
        if (abbrev == nullptr) std::snprintf(buf, sizeof buf, "signal %d", int(signal));
        return buf;
    }
    if (exit_code < 0) return "-";
    std::snprintf(buf, sizeof buf, "status %d", int(exit_code));
    return buf;
}

const SupervisedProcess *ProcessStories::entry(int32_t pid) const {
    if (!present || pid <= 0) return nullptr;
    for (uint32_t k = 0; k < table.count; ++k)
        if (table.procs[k].pid == pid) return &table.procs[k];
    return nullptr;
}

std::string ProcessStories::state(int32_t pid) const {
    const std::string now = process_state(pid);
    const SupervisedProcess *s = loader_runs ? entry(pid) : nullptr;
    if (s == nullptr) return now;
    if (ProcState(s->state) == ProcState::Running && now != "running") return "ended";
    return state_name(ProcState(s->state));
}

ProcessStories read_stories() {
    ProcessStories out;
    out.present = read_supervision(out.table);
    out.loader_runs = out.present && PXR_process_gone(out.table.loader_pid) == 0;
    return out;
}

bool read_supervision(SupervisionTable &out) {
    const Segment seg = Segment::open(kSupervisionKey);
    const auto *table = seg.as<SupervisionTable>();
    // Only a table made by the user who made the environment is believed.
    shmid_ds ds{}, area{};
    const int area_id = shmget(PXR_KEY_COMMON_AREA, 0, 0);
    bool ok = table != nullptr && shmctl(seg.id(), IPC_STAT, &ds) == 0 && area_id >= 0 &&
              shmctl(area_id, IPC_STAT, &area) == 0 && area.shm_perm.cuid == ds.shm_perm.cuid;
    for (int attempt = 0; ok && attempt < 1000; ++attempt) {
        const uint32_t before = __atomic_load_n(&table->sequence, __ATOMIC_ACQUIRE);
        if (before % 2 != 0) continue;
        std::memcpy(static_cast<void *>(&out), table, sizeof out);
        std::atomic_thread_fence(std::memory_order_acquire);
        if (__atomic_load_n(&table->sequence, __ATOMIC_ACQUIRE) == before)
            return out.magic == kSupervisionMagic && out.count <= PXR_MAX_PROCESSES;
    }
    return false;
}

} // namespace pxrtool
