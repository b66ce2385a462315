// A ring's figures for pxr queues, pxr metrics and pxr check, read from the segment mapped
// read-only, without attaching: the same words the library keeps, so the tools and the
// library's own queries agree.
#include "rings.h"

#include <atomic>

namespace pxrtool {

RingsView::RingsView() : segment_(Segment::open(PXR_KEY_RING_QUEUES)) {
    // A segment that is not a whole ring area is as good as none.
    const auto *area = segment_.as<pxr_impl::RingArea>();
    capacity_ = area != nullptr ? pxr_impl::ring_area_capacity(area, segment_.size()) : 0;
    if (capacity_ == 0) segment_ = Segment();
}

bool RingsView::figures(uint32_t module, uint32_t msqid, RingFigures &out) const {
    if (!segment_ || module >= uint32_t(PXR_MODULE_COUNT)) return false;
    // Read-only mapping: only loads go through the view.
    auto *area = const_cast<pxr_impl::RingArea *>(segment_.as<pxr_impl::RingArea>());
    const pxr_impl::ring::View ring = pxr_impl::ring_at(area, capacity_, module);
    if (std::atomic_ref(ring.header->queue_id).load() != msqid) return false;
    out.waiting = pxr_impl::ring::depth(ring);
    out.last_receiver = std::atomic_ref(ring.header->last_pid).load();
    out.put = std::atomic_ref(ring.header->tail).load();
    out.taken = std::atomic_ref(ring.header->head).load();
    return true;
}

} // namespace pxrtool
