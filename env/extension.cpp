// The extension area: the library's own shared state beside the common area, for what its
// extensions share across processes (the default receive spin window, the count of dropped
// records, the receive landings of landings.cpp). Made by the creator with the common area, mapped
// by every attach, removed by the close; an environment without it works, without those extensions.
#include "pxrlib.h"

#include "env/groups.h"
#include "env/pxr_internal.h"

namespace pxr_impl {

void create_extension() noexcept {
    remove_stale_groups();
    int id = -1;
    auto *x = static_cast<ExtensionSegment *>(
        SYS_alloc_shm(&id, sizeof(ExtensionSegment), kExtensionKey, 1));
    if (x == nullptr) return;
    shared(x->area.version).store(PXR_EXTENSION_VERSION);
    for (ReceiveLanding &l : x->landings) {
        l.ring_ref = PXR_NO_LANDING;
        l.index = l.partition = 0xFFFF;
    }
    attachment.extension = x;
    attachment.extension_id = id;
}

void map_extension() noexcept {
    int id = -1;
    auto *x = static_cast<ExtensionSegment *>(
        SYS_alloc_shm(&id, sizeof(ExtensionSegment), kExtensionKey, 0));
    // A segment of another layout is left alone: this process then has no extensions.
    if (x != nullptr && shared(x->area.version).load() != PXR_EXTENSION_VERSION) {
        SYS_free_shm(x, id, 0);
        x = nullptr;
    }
    attachment.extension = x;
    attachment.extension_id = x != nullptr ? id : 0;
    map_groups();
}

void release_extension(bool remove) noexcept {
    release_groups(remove);
    if (attachment.extension != nullptr)
        SYS_free_shm(attachment.extension, attachment.extension_id, remove ? 1 : 0);
    attachment.extension = nullptr;
    attachment.extension_id = 0;
}

void count_dropped_record() noexcept {
    if (attachment.extension != nullptr)
        shared(attachment.extension->area.dropped_records).fetch_add(1);
}

} // namespace pxr_impl

int32_t PXR_dropped_records(void) noexcept {
    pxr_impl::ExtensionSegment *x = pxr_impl::attachment.extension;
    if (common_ptr == nullptr || x == nullptr) return -1;
    return int32_t(pxr_impl::shared(x->area.dropped_records).load() & 0x7FFFFFFFu);
}
