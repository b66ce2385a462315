// The process table of the common area, starting application processes, and the small
// table of numbered events that map onto POSIX signals.
#include "pxrlib.h"

#include "env/pxr_internal.h"

#include <csignal>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unistd.h>

namespace {

constexpr std::size_t kNameMax = 49;
constexpr std::size_t kTokenSize = 16;

// Tokens handed out and not freed yet, linked through their own first bytes, so that a pointer
// SYS_add_signal never returned is told apart without being touched.
struct Token {
    Token *next;
    uint64_t unused;
};
static_assert(sizeof(Token) == kTokenSize, "a token is 16 bytes");
Token *tokens = nullptr;

void signal_recorded(const CommonArea *ca, int32_t count, int sig) {
    for (int32_t i = 0; i < count; ++i) kill(ca->processes[i].pid, sig);
}

// The pause between the two signals of the stop is a whole second even in a process whose
// handlers run meanwhile (a loader's SIGCHLD, when the first recorded process dies at once):
// it sleeps to a deadline on the monotonic clock, not for a length that a signal cuts short.
void sleep_one_second() {
    timespec until{};
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_sec += 1;
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}

// Runs edit on the process table under the system lock, waiting for the lock at most
// timeout_ms (kForever: as long as it takes). The edit's result, kBusy when the lock stayed
// held, 1 when a lock call failed (which detaches the process, as for every lock failure).
constexpr uint32_t kForever = UINT32_MAX;
constexpr int kBusy = 2;

template <typename Edit>
int with_table(uint32_t timeout_ms, Edit &&edit) {
    if (timeout_ms == kForever) {
        if (_grab_semaphore(pxr_semid) != 0) return 1;
    } else if (const int err = pxr_impl::lock_take_within(pxr_semid, timeout_ms); err != 0) {
        if (err == EAGAIN) return kBusy;
        pxr_impl::lose_environment();
        return 1;
    }
    CommonArea *ca = common_ptr;
    int32_t count = ca->process_count;
    const int rc = count < 0 || count > PXR_MAX_PROCESSES ? 1 : edit(ca, count);
    return _release_semaphore(pxr_semid) != 0 ? 1 : rc;
}

int add_pid(int32_t pid, const char *name, uint32_t timeout_ms) {
    if (common_ptr == nullptr || pid <= 0) return 1;
    if (name == nullptr) name = "";
    const std::size_t n = strnlen(name, kNameMax);
    return with_table(timeout_ms, [&](CommonArea *ca, int32_t count) {
        if (count >= PXR_MAX_PROCESSES) return 1;
        ProcessEntry &e = ca->processes[count];
        e.pid = pid;
        std::memcpy(e.name, name, n);
        e.name[n] = '\0';
        ca->process_count = count + 1;
        return 0;
    });
}

} // namespace

/// Refuses a pid of 0 or below with 1: kill would signal a process group or every process.
/// A null name is recorded as an empty name. Called unattached it refuses with 1.
int SYS_add_pid(int32_t pid, const char *name) noexcept {
    return add_pid(pid, name, kForever);
}

int SYS_add_pid_within(int32_t pid, const char *name, uint32_t timeout_ms) noexcept {
    return add_pid(pid, name, timeout_ms);
}

int SYS_replace_pid(int32_t old_pid, int32_t new_pid, uint32_t timeout_ms) noexcept {
    if (common_ptr == nullptr || old_pid <= 0 || new_pid <= 0) return 1;
    return with_table(timeout_ms, [&](CommonArea *ca, int32_t count) {
        for (int32_t i = 0; i < count; ++i) {
            if (ca->processes[i].pid != old_pid) continue;
            pxr_impl::shared(ca->processes[i].pid).store(new_pid);
            return 0;
        }
        return 1;
    });
}

int SYS_remove_pid(int32_t pid, uint32_t timeout_ms) noexcept {
    if (common_ptr == nullptr) return 1;
    return with_table(timeout_ms, [&](CommonArea *ca, int32_t count) {
        int32_t kept = 0;
        for (int32_t i = 0; i < count; ++i)
            if (ca->processes[i].pid != pid) ca->processes[kept++] = ca->processes[i];
        ca->process_count = kept;
        return kept < count ? 0 : 1;
    });
}

/// Called unattached it refuses with 1 before forking, so no unrecorded process is started.
int SYS_spawn_process(int /*reserved*/, char *const argv[], int32_t *pid_out) noexcept {
    if (common_ptr == nullptr || argv == nullptr || argv[0] == nullptr) return 1;
    // Buffered output must not be written twice by the child's exit.
    fflush(nullptr);
    pid_t pid = fork();
    if (pid_out != nullptr) *pid_out = pid;
    if (pid < 0) return 1;
    if (pid == 0) {
        execvp(argv[0], argv);
        fprintf(stderr, "(%d)SYS_spawn_process(%s) failed\n", getpid(), argv[0]);
        perror("execvp() : ");
        exit(0); // NOLINT(concurrency-mt-unsafe): the forked child has one thread
    }
    return SYS_add_pid(pid, argv[0]);
}

/// Called unattached it signals nothing and returns 0 at once. Every recorded pid goes to kill
/// unchanged, in table order (a table of another user's making can aim these signals anywhere,
/// so the pxr command never calls it and signals only processes it pinned and verified).
int SYS_delete_pids(void) noexcept {
    if (common_ptr == nullptr) return 0;
    const CommonArea *ca = common_ptr;
    int32_t count = ca->process_count;
    if (count < 0) count = 0;
    if (count > PXR_MAX_PROCESSES) count = PXR_MAX_PROCESSES;
    signal_recorded(ca, count, SIGTERM);
    sleep_one_second();
    signal_recorded(ca, count, SIGKILL);
    return 0;
}

void *SYS_add_signal(void (*handler)(int), int32_t event) noexcept {
    int sig;
    switch (event) {
    case 1:
        sig = SIGTERM;
        break;
    case 2:
        sig = SIGUSR1;
        break;
    case 3:
        sig = SIGUSR2;
        break;
    case 4:
        sig = SIGALRM;
        break;
    default:
        return nullptr;
    }
    if (signal(sig, handler) == SIG_ERR) return nullptr;
    auto *token = static_cast<Token *>(std::malloc(kTokenSize));
    if (token == nullptr) return nullptr;
    token->next = tokens;
    tokens = token;
    return token;
}

/// A pointer that SYS_add_signal did not return (or that was freed already) is refused with 1
/// and left alone; a null token is nothing to free (0).
int SYS_free_signal(void *token) noexcept {
    if (token == nullptr) return 0;
    for (Token **at = &tokens; *at != nullptr; at = &(*at)->next) {
        if (*at != token) continue;
        *at = (*at)->next;
        std::free(token);
        return 0;
    }
    return 1;
}
