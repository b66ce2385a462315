#include "pinned.h"

#include "pxrlib.h"
#include "tool.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace pxrtool {

namespace {

int pidfd_open(pid_t pid) {
    return int(syscall(SYS_pidfd_open, pid, 0));
}

// 0 delivered (sig 0: the process still runs), else -1 with errno (ESRCH: it has ended).
int pidfd_signal(int fd, int sig) {
    return int(syscall(SYS_pidfd_send_signal, fd, sig, nullptr, 0));
}

} // namespace

PinnedList::~PinnedList() {
    for (const PinnedProcess &p : procs_) close(p.fd);
}

std::string PinnedList::add(const Membership &m, pid_t pid, const std::string &name) {
    if (pid <= 1) return "not a single process";
    for (const PinnedProcess &p : procs_)
        if (p.pid == pid) return "";
    const int fd = pidfd_open(pid);
    if (fd < 0) return errno == ESRCH ? "" : std::string("cannot pin it: ") + strerror(errno);
    std::string why = not_a_member(m, pid);
    // Still running after the check: the pid named the pinned process all along. Ended: there
    // is nothing to stop (and the check may have been about a successor).
    const bool runs = pidfd_signal(fd, 0) == 0;
    if (!runs || !why.empty()) {
        close(fd);
        return runs ? why : "";
    }
    procs_.push_back({pid, fd, name});
    return "";
}

void PinnedList::stop(long grace_ms) {
    if (procs_.empty()) return;
    for (const PinnedProcess &p : procs_) pidfd_signal(p.fd, SIGTERM);
    // A pid file descriptor turns readable when its process ends; poll skips those that have.
    std::vector<pollfd> fds;
    for (const PinnedProcess &p : procs_) fds.push_back({p.fd, POLLIN, 0});
    const long until = now_ms() + grace_ms;
    for (;;) {
        bool all_ended = true;
        for (pollfd &f : fds) {
            if (f.revents != 0) f.fd = -1;
            all_ended = all_ended && f.fd < 0;
        }
        const long left = until - now_ms();
        if (all_ended || left <= 0) break;
        if (poll(fds.data(), fds.size(), int(left)) < 0 && errno != EINTR) break;
    }
    for (std::size_t i = 0; i < procs_.size(); ++i)
        procs_[i].killed = fds[i].fd >= 0 && pidfd_signal(procs_[i].fd, SIGKILL) == 0;
}

PinnedList pin_table(const CommonArea *area, const Membership &m, const char *cmd) {
    PinnedList list;
    if (area == nullptr) return list;
    if (const int holder = system_lock_held_by(); holder != 0)
        std::fprintf(stderr,
                     "pxr %s: the system lock is held (pid %d took it last); ending the "
                     "environment without it\n",
                     cmd, holder);
    each_recorded(*area, [&](int32_t pid, const std::string &name) {
        if (const std::string why = list.add(m, pid, name); !why.empty())
            std::fprintf(stderr, "pxr %s: process %d (%s) is not signalled: %s\n", cmd, int(pid),
                         name.c_str(), why.c_str());
    });
    return list;
}

void each_recorded(const CommonArea &area,
                   const std::function<void(int32_t pid, const std::string &name)> &fn) {
    const int32_t n = std::clamp<int32_t>(area.process_count, 0, PXR_MAX_PROCESSES);
    for (int32_t i = 0; i < n; ++i) {
        ProcessEntry e{};
        std::memcpy(&e, &area.processes[i], sizeof e);
        fn(e.pid, std::string(e.name, strnlen(e.name, sizeof e.name)));
    }
}

} // namespace pxrtool
