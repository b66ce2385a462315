// Ring queues in the environment: one shared-memory segment of its own (key
// PXR_KEY_RING_QUEUES) with a ring for every module id, made by the loader before its first
// queue. Each module that owns a queue also has a ring, tied to its entry by the System V
// queue id the entry names, so the module queue table keeps its meaning unchanged and an
// alias reaches the ring of the queue it borrows.
#pragma once

#include "env/ring.h"

#include <cstdint>

namespace pxr {

// The ring that serves the queue id msqid, as named by module's entry (an own queue or an
// alias); an empty view when the environment has no rings or no ring serves that queue.
ring::View ring_of_queue(uint32_t module, uint32_t msqid) noexcept;
// IPC_create gave module the queue msqid: its ring now serves it, emptied when fresh is set
// (a queue made anew), else kept as it was (a queue opened with its records).
void ring_adopt(uint32_t module, uint32_t msqid, bool fresh) noexcept;
// IPC_delete removes module's queue msqid: its ring stops serving it and its sleepers wake.
void ring_drop(uint32_t module, uint32_t msqid) noexcept;
// PXR_close: detaches the rings and removes their segment.
void close_rings() noexcept;

} // namespace pxr
