// A process for the supervision tests, started by `pxr load` or forked by a test.
//   super_app close               attach and close the environment (PXR_close)
//   super_app hold MODULE N CODE  take N buffers, send the first to MODULE, exit with CODE
//   super_app produce MODULE      send to MODULE until the environment is gone (pausing
//                                 while shared counter 1 is set)
//   super_app publish GROUP       as produce, to a group, waiting for buffers instead of polling
//   super_app consume MODULE      receive and release on MODULE until the environment is gone
//   super_app consume-many MODULE the same in three threads, and in a forked copy of itself
//   super_app record-loader       write its parent's (the loader's) pid into the process table
#include "pxrlib.h"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <sys/prctl.h>
#include <thread>
#include <unistd.h>

// Shared counter 1 set asks the producers to pause: true after a short wait.
static bool paused() {
    if (counter_ptr[1] == nullptr || *counter_ptr[1] == 0) return false;
    usleep(10000);
    return true;
}

int main(int argc, char **argv) {
    if (argc < 2) return 64;
    const uint32_t module = argc > 2 ? uint32_t(std::strtoul(argv[2], nullptr, 0)) : 0;
    if (std::strcmp(argv[1], "close") == 0) {
        if (PXR_link() != 0) return 2;
        PXR_close();
        return 0;
    }
    if (std::strcmp(argv[1], "record-loader") == 0)
        return PXR_link() == 0 && SYS_add_pid(getppid(), "pxr") == 0 ? 0 : 2;
    if (std::strcmp(argv[1], "hold") == 0 && argc > 4) {
        const int n = std::atoi(argv[3]);
        for (int i = 0; i < n; ++i) {
            MSG *m = getm(0x100, uint16_t(i), 0, 4);
            if (m == nullptr) return 2;
            if (i == 0 && PXR_send(module, m) != 0) return 3;
        }
        return std::atoi(argv[4]);
    }
    if (std::strcmp(argv[1], "produce") == 0 || std::strcmp(argv[1], "publish") == 0) {
        const bool publish = argv[1][1] == 'u'; // waits for buffers; sends to a group
        for (;;) {
            if (paused()) {
                if (PXR_sys_failure != 0) return 0;
                continue;
            }
            uint32_t size = 4;
            MSG *m = nullptr;
            if (publish ? PXR_timed_getmem(0, &size, &m, 100) != 0
                        : (m = getm(0x100, 1, 0, 4)) == nullptr) {
                if (PXR_sys_failure != 0) return 0;
                if (!publish) usleep(1000);
                continue;
            }
            m->type = 0x100;
            m->len = 4;
            // A group send that reached some members answers how many it missed.
            const int rc = PXR_send(module, m);
            if (publish ? rc < 0 : rc != 0) relm(m);
            if (!publish && PXR_pending_msgs(module) > 16) usleep(200);
        }
    }
    // Counter 0 counts the messages received, counter 2 the releases refused.
    auto consume = [module] {
        for (;;) {
            MSG *m = PXR_receive(module);
            if (m != nullptr) {
                PXR_increment_counter(0, nullptr);
                if (relm(m) != 0) PXR_increment_counter(2, nullptr);
            }
            if (PXR_sys_failure != 0) return 0;
        }
    };
    if (std::strcmp(argv[1], "consume") == 0) return consume();
    if (std::strcmp(argv[1], "consume-many") == 0) {
        // After its first receive the process forks a copy that receives too (and ends with
        // it); then three threads of each receive at once.
        MSG *first;
        while ((first = PXR_receive(module)) == nullptr)
            if (PXR_sys_failure != 0) return 0;
        PXR_increment_counter(0, nullptr);
        if (relm(first) != 0) PXR_increment_counter(2, nullptr);
        const pid_t parent = getpid();
        if (fork() == 0 && (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent)) return 0;
        std::thread a(consume), b(consume);
        consume();
        a.join(), b.join();
        return 0;
    }
    return 64;
}
