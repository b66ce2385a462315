#include "membership.h"

#include <cstdio>
#include <cstring>
#include <sys/shm.h>
#include <unistd.h>

namespace pxrtool {

namespace {

// Seconds since the epoch at which the host booted (/proc/stat "btime"), 0 when unknown.
int64_t boot_time() {
    static int64_t btime = -1;
    if (btime >= 0) return btime;
    btime = 0;
    if (FILE *f = std::fopen("/proc/stat", "r")) {
        char line[256];
        long long v = 0;
        while (std::fgets(line, sizeof line, f) != nullptr)
            if (std::sscanf(line, "btime %lld", &v) == 1) btime = v;
        std::fclose(f);
    }
    return btime;
}

// "PID (COMM) STATE PPID ..." with COMM between the first '(' and the last ')'.
bool read_stat(pid_t pid, ProcInfo &out) {
    char path[64], buf[1024];
    std::snprintf(path, sizeof path, "/proc/%d/stat", int(pid));
    FILE *f = std::fopen(path, "r");
    if (f == nullptr) return false;
    const std::size_t n = std::fread(buf, 1, sizeof buf - 1, f);
    std::fclose(f);
    buf[n] = '\0';
    const char *open = std::strchr(buf, '(');
    const char *close = std::strrchr(buf, ')');
    if (open == nullptr || close == nullptr || close < open) return false;
    out.comm.assign(open + 1, close);
    int ppid = -1;
    unsigned long long start_ticks = 0;
    // After the name: state, ppid, then 17 fields up to starttime (the 22nd of the line).
    if (std::sscanf(close + 1,
                    " %c %d %*d %*d %*d %*d %*u %*u %*u %*u %*u %*u %*u %*d %*d %*d %*d %*d %*d "
                    "%llu",
                    &out.state, &ppid, &start_ticks) != 3)
        return false;
    out.ppid = pid_t(ppid);
    const long hz = sysconf(_SC_CLK_TCK);
    out.started = boot_time() + int64_t(start_ticks / uint64_t(hz > 0 ? hz : 100));
    return true;
}

uid_t real_uid_of(pid_t pid) {
    char path[64], line[256];
    std::snprintf(path, sizeof path, "/proc/%d/status", int(pid));
    FILE *f = std::fopen(path, "r");
    if (f == nullptr) return uid_t(-1);
    unsigned uid = unsigned(-1);
    while (std::fgets(line, sizeof line, f) != nullptr)
        if (std::sscanf(line, "Uid: %u", &uid) == 1) break;
    std::fclose(f);
    return uid_t(uid);
}

// The supervision table names pid as a process the loader started, at the time it started.
bool started_by_loader(const Membership &m, pid_t pid, const ProcInfo &info) {
    if (!m.supervised) return false;
    for (uint32_t i = 0; i < m.sup.count; ++i) {
        const SupervisedProcess &p = m.sup.procs[i];
        if (p.pid == pid && p.started - info.started <= 2 && info.started - p.started <= 2)
            return true;
    }
    return false;
}

// The process that pid names now started before the supervision table was made, as the loader
// that made it did: a pid reused after the loader's crash names a later process. The start
// read from /proc is at most 2 s early and never late, so a process started 4 s or more after
// the table is told apart.
bool started_before_table(pid_t pid) {
    shmid_ds ds{};
    ProcInfo info;
    const int id = shmget(kSupervisionKey, 0, 0);
    return id >= 0 && shmctl(id, IPC_STAT, &ds) == 0 && read_proc(pid, info) &&
           info.started <= int64_t(ds.shm_ctime) + 1;
}

} // namespace

bool read_proc(pid_t pid, ProcInfo &out) {
    if (pid <= 0 || !read_stat(pid, out)) return false;
    out.real_uid = real_uid_of(pid);
    return true;
}

bool maps_segment(pid_t pid, int shmid) {
    char path[64], line[512];
    std::snprintf(path, sizeof path, "/proc/%d/maps", int(pid));
    FILE *f = std::fopen(path, "r");
    if (f == nullptr) return false;
    bool found = false;
    while (!found && std::fgets(line, sizeof line, f) != nullptr) {
        unsigned long inode = 0;
        // A System V segment shows as "/SYSV<key>" with its id as the inode.
        if (std::strstr(line, "/SYSV") != nullptr &&
            std::sscanf(line, "%*s %*s %*s %*s %lu", &inode) == 1)
            found = inode == static_cast<unsigned long>(shmid);
    }
    std::fclose(f);
    return found;
}

Membership membership(pid_t loader) {
    Membership m;
    m.common_id = shmget(PXR_KEY_COMMON_AREA, 0, 0);
    shmid_ds ds{};
    if (m.common_id < 0 || shmctl(m.common_id, IPC_STAT, &ds) != 0) return m;
    m.present = true;
    m.creator = ds.shm_perm.cuid;
    m.supervised = read_supervision(m.sup); // believed only when the creator made it
    m.loader = loader != 0 ? loader : (m.supervised ? m.sup.loader_pid : 0);
    if (loader == 0 && m.loader > 0 && !started_before_table(m.loader)) m.loader = 0;
    ProcInfo info;
    if (m.loader > 0 && read_proc(m.loader, info)) m.loader_parent = info.ppid;
    return m;
}

std::string not_a_member(const Membership &m, pid_t pid) {
    if (pid <= 1) return "not a single process";
    if (pid == m.loader) return "it is the loader";
    if (pid == m.loader_parent) return "it is the loader's parent";
    if (pid == getpid() || pid == getppid() || pid == getpgrp()) return "it is this command";
    ProcInfo info;
    if (!m.present) return "no environment exists";
    if (!read_proc(pid, info)) return "its /proc entry cannot be read (or it has ended)";
    if (info.real_uid != m.creator) return "it runs as another user than the environment's";
    if (m.loader > 0 && info.ppid == m.loader) return "";
    if (maps_segment(pid, m.common_id) || started_by_loader(m, pid, info)) return "";
    return "it is neither the loader's child nor attached to the environment";
}

} // namespace pxrtool
