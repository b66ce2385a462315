// Small services on the common area: the fatal-event latch, the tick, the twenty shared
// counters and the interface version.
#include "pxrlib.h"

#include "env/pxr_internal.h"

#include <cerrno>
#include <sys/sem.h>

namespace {

bool valid_counter(int32_t index) {
    return index >= 0 && index < PXR_COUNTER_COUNT;
}

} // namespace

/// Called unattached it records nothing and returns 1.
int PXR_fatal_event(int32_t code) noexcept {
    if (common_ptr == nullptr) return 1;
    uint32_t none = 0;
    // Only the call that finds no code recorded opens the latch; a code of 0 opens it too
    // but leaves the word free for a later event.
    if (pxr_impl::shared(common_ptr->fatal_code).compare_exchange_strong(none, uint32_t(code)))
        sema_give(common_ptr->fatal_semid);
    return 0;
}

int PXR_block_event(uint32_t *code_out) noexcept {
    if (!pxr_impl::lazy_attach(0)) return 1;
    int semid = common_ptr->fatal_semid;
    for (;;) {
        // Taken with SEM_UNDO and given back without it: the latch stays open for every other
        // waiter, and the kernel adds one more when this process exits.
        sembuf take{0, -1, SEM_UNDO};
        if (semop(semid, &take, 1) == 0) {
            sema_give(common_ptr->fatal_semid);
            if (code_out != nullptr) *code_out = pxr_impl::shared(common_ptr->fatal_code).load();
            return 0;
        }
        if (errno == EINTR) continue;
        if (errno == EIDRM) {
            if (code_out != nullptr) *code_out = 1;
            return 0;
        }
        return -1;
    }
}

/// Called unattached it returns 1 and counts nothing.
int SYS_timer_tick(void) noexcept {
    if (common_ptr == nullptr) return 1;
    pxr_impl::shared(common_ptr->tick).fetch_add(1);
    return 0;
}

uint32_t PXR_get_time(void) noexcept {
    if (!pxr_impl::lazy_attach(0)) return 0;
    return pxr_impl::shared(common_ptr->tick).load();
}

/// Called unattached it returns -1 and stores nothing.
int PXR_preset_counter(int32_t index, uint32_t value) noexcept {
    if (!valid_counter(index) || common_ptr == nullptr) return -1;
    pxr_impl::shared(*counter_ptr[index]).store(value);
    return 0;
}

/// Called unattached it returns -1 and stores nothing.
int PXR_increment_counter(int32_t index, uint32_t *value_out) noexcept {
    if (!valid_counter(index) || common_ptr == nullptr) return -1;
    uint32_t now = pxr_impl::shared(*counter_ptr[index]).fetch_add(1) + 1;
    if (value_out != nullptr) *value_out = now;
    return 0;
}

int PXR_get_version(uint32_t *major_out, uint32_t *minor_out) noexcept {
    if (major_out != nullptr) *major_out = pxr_impl::kVersionMajor;
    if (minor_out != nullptr) *minor_out = pxr_impl::kVersionMinor;
    return 0;
}

int PXR_debug_info(void) noexcept {
    return 0;
}
