// The send windows of the acknowledged mode: the frames a bridge has taken for an acknowledged
// remote module and that the far bridge has not yet acknowledged. They live in a shared-memory
// segment of their own (key kWindowsKey), not in the bridge, so that a bridge killed and
// started again sends them once more, with the same epoch and sequence numbers, and the far
// side recognises what it already has. A window is bounded in frames and bytes; when it is
// full the bridge stops taking from the module's queue.
//
// Frames lie one after another in a ring of bytes; a frame never wraps (the end of the ring is
// skipped instead). Positions only grow; a frame's place is its position modulo the ring. The
// frames waiting for their acknowledgement are the sequences acked + 1 .. next - 1; next is
// stored last, so a bridge killed while it adds a frame leaves the window as it was before.
#pragma once

#include "bridge_stats.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace pxrbridge {

inline constexpr uint32_t kWindowsMagic = 0x50584257; // "PXBW"
inline constexpr uint32_t kWindowFrames = 4096;
inline constexpr std::size_t kWindowBytes = std::size_t{4} << 20;

struct WindowSlot {
    uint64_t at; // position of the frame in the ring
    uint32_t bytes;
    uint32_t seq;
};

struct Window {
    uint32_t module;
    uint32_t epoch; // drawn when the window is made; sequences go on across bridge restarts
    uint32_t acked; // the highest sequence acknowledged
    uint32_t next;  // the sequence of the next frame
    uint64_t end;   // position after the newest frame
    // The buffer being kept (partition << 16 | index, plus 1; 0: none) and the sequence it
    // gets: a bridge started again tells by them whether the buffer its predecessor held
    // went into the window before it was killed.
    uint32_t keeping;
    uint32_t keeping_seq;
    WindowSlot slots[kWindowFrames];
    uint8_t ring[kWindowBytes];
};

struct WindowsHeader {
    uint32_t magic;
    int32_t env_shmid; // the common area these windows belong to
    uint32_t count;
    uint32_t reserved;
};

// A new epoch: random, never 0.
uint32_t draw_epoch();

// The segment's size for count windows.
std::size_t windows_bytes(std::size_t count);

// The windows of the segment at base, made anew unless they belong to env_shmid and hold
// exactly these modules in this order (a restarted bridge of the same configuration).
std::vector<Window *> adopt_windows(uint8_t *base, int env_shmid,
                                    const std::vector<uint32_t> &modules);

// Frames waiting for their acknowledgement.
uint32_t window_pending(const Window &w);
// Whether a frame of bytes (and one more slot) fits.
bool window_room(const Window &w, std::size_t bytes);
// Adds an encoded frame (its sequence is w.next, which it then becomes one more than). The
// caller has checked window_room.
void window_push(Window &w, std::span<const uint8_t> frame);
// The frame of a waiting sequence.
std::span<const uint8_t> window_frame(const Window &w, uint32_t seq);
// Lets go of every frame up to seq; the number of frames let go (0 for an old or stray
// acknowledgement).
uint32_t window_ack(Window &w, uint32_t seq);

} // namespace pxrbridge
