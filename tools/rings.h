// The ring queues of an environment as the tools see them: the segment mapped read-only, and
// for a module's own queue the figures its ring keeps in place of the kernel's.
#pragma once

#include "env/ring_queues.h"
#include "view.h"

#include <cstdint>

namespace pxrtool {

struct RingFigures {
    uint32_t waiting = 0;      // records put in and not yet taken
    int32_t last_receiver = 0; // pid, 0: none yet
    uint64_t put = 0;          // records put in since the queue was made
    uint64_t taken = 0;        // records taken (or skipped) since then
};

class RingsView {
  public:
    RingsView(); // maps the segment when the environment has rings
    // The figures of the ring that serves module's own queue msqid; false when none does
    // (kernel queues).
    bool figures(uint32_t module, uint32_t msqid, RingFigures &out) const;

  private:
    Segment segment_;
    uint32_t capacity_ = 0; // from the segment's size
};

} // namespace pxrtool
