#include "tool.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>

namespace pxrtool {

bool is_help(const char *arg) {
    return std::strcmp(arg, "-h") == 0 || std::strcmp(arg, "--help") == 0;
}

std::string hex(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%x", v);
    return buf;
}

int digit_value(char c, unsigned base) {
    if (c >= '0' && c <= '9') return c - '0';
    if (base != 16) return -1;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string json_string(const char *s) {
    std::string out = "\"";
    for (; *s != '\0'; ++s) {
        unsigned char c = static_cast<unsigned char>(*s);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += char(c);
        }
    }
    return out + "\"";
}

bool pid_alive(int32_t pid) {
    return PXR_process_gone(pid) == 0;
}

int exit_code_for_status(int32_t status) {
    if (status == 0) return 0;
    int64_t magnitude = status < 0 ? -int64_t(status) : int64_t(status);
    return magnitude > 63 ? 63 : int(magnitude);
}

bool loader_waiting() {
    int id = semget(PXR_KEY_EXIT_SEM, 0, 0);
    return id >= 0 && semctl(id, 0, GETNCNT) > 0;
}

constexpr time_t kLockWaitSeconds = 2;

bool environment_running(const char *cmd) {
    CommonView view;
    if (!view.map_for(cmd)) return false;
    uint32_t flags = view->flags;
    if ((flags & CA_RUNNING) == 0) {
        std::fprintf(stderr, "pxr %s: %s\n", cmd,
                     (flags & CA_CLOSING) != 0 ? "the environment is closing"
                                               : "the environment is not running yet");
        return false;
    }
    if ((flags & CA_NO_ATTACH) != 0) {
        std::fprintf(stderr, "pxr %s: the environment refuses attaching (no-attach)\n", cmd);
        return false;
    }
    if (!loader_waiting())
        std::fprintf(stderr,
                     "pxr %s: warning: no loader waits for this environment (crashed? see "
                     "'pxr clean')\n",
                     cmd);
    return true;
}

int system_lock_held_by() {
    const int semid = semget(PXR_KEY_SYSTEM_LOCK, 0, 0);
    if (semid < 0) return 0;
    sembuf free_op{0, 0, 0};
    const timespec limit{kLockWaitSeconds, 0};
    if (semtimedop(semid, &free_op, 1, &limit) == 0 || errno != EAGAIN) return 0;
    const int holder = semctl(semid, 0, GETPID);
    return holder > 0 ? holder : -1;
}

bool attach_running(const char *cmd) {
    if (!environment_running(cmd)) return false;
    // An attach waits for the system lock as long as another process holds it: a command
    // waits a moment, then says who took it last instead of hanging.
    if (const int holder = system_lock_held_by(); holder != 0) {
        std::fprintf(stderr,
                     "pxr %s: the system lock is held (pid %d took it last); try again "
                     "later\n",
                     cmd, holder);
        return false;
    }
    int rc = PXR_init(0, 0, 0);
    if (rc != PXR_OK && rc != PXR_INIT_ALREADY_ATTACHED) {
        std::fprintf(stderr, "pxr %s: cannot attach to the environment (PXR_init %d)\n", cmd, rc);
        return false;
    }
    return true;
}

long now_ms() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return long(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

} // namespace pxrtool
