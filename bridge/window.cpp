#include "window.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <sys/random.h>
#include <unistd.h>

namespace pxrbridge {

namespace {

uint32_t load(const uint32_t &word) {
    return std::atomic_ref<uint32_t>(const_cast<uint32_t &>(word)).load();
}
void store(uint32_t &word, uint32_t v) {
    std::atomic_ref<uint32_t>(word).store(v);
}

Window *window_at(uint8_t *base, std::size_t i) {
    return reinterpret_cast<Window *>(base + sizeof(WindowsHeader) + i * sizeof(Window));
}

void make_window(Window &w, uint32_t module) {
    w.module = module;
    w.epoch = draw_epoch();
    w.acked = 0;
    w.next = 1;
    w.end = 0;
    w.keeping = 0;
}

// Where a frame of bytes would go: after the newest, or at the start of the ring when it would
// not fit before the ring's end.
uint64_t place_for(const Window &w, std::size_t bytes) {
    uint64_t at = w.end;
    if (at % kWindowBytes + bytes > kWindowBytes) at += kWindowBytes - at % kWindowBytes;
    return at;
}

} // namespace

uint32_t draw_epoch() {
    uint32_t e = 0;
    while (e == 0)
        if (getrandom(&e, sizeof e, 0) != sizeof e)
            e = uint32_t(getpid()) ^
                uint32_t(std::chrono::steady_clock::now().time_since_epoch().count());
    return e;
}

std::size_t windows_bytes(std::size_t count) {
    return sizeof(WindowsHeader) + count * sizeof(Window);
}

std::vector<Window *> adopt_windows(uint8_t *base, int env_shmid,
                                    const std::vector<uint32_t> &modules) {
    auto *h = reinterpret_cast<WindowsHeader *>(base);
    bool same =
        h->magic == kWindowsMagic && h->env_shmid == env_shmid && h->count == modules.size();
    for (std::size_t i = 0; same && i < modules.size(); ++i)
        same = window_at(base, i)->module == modules[i];
    std::vector<Window *> out;
    for (std::size_t i = 0; i < modules.size(); ++i) {
        out.push_back(window_at(base, i));
        if (!same) make_window(*out.back(), modules[i]);
    }
    *h = WindowsHeader{kWindowsMagic, env_shmid, uint32_t(modules.size()), 0};
    return out;
}

uint32_t window_pending(const Window &w) {
    return load(w.next) - load(w.acked) - 1;
}

bool window_room(const Window &w, std::size_t bytes) {
    const uint32_t pending = window_pending(w);
    if (pending >= kWindowFrames || bytes > kWindowBytes) return false;
    const uint64_t oldest = pending == 0 ? w.end : w.slots[(load(w.acked) + 1) % kWindowFrames].at;
    return place_for(w, bytes) + bytes - oldest <= kWindowBytes;
}

void window_push(Window &w, std::span<const uint8_t> frame) {
    const uint32_t seq = load(w.next);
    const uint64_t at = place_for(w, frame.size());
    std::memcpy(w.ring + at % kWindowBytes, frame.data(), frame.size());
    w.slots[seq % kWindowFrames] = WindowSlot{at, uint32_t(frame.size()), seq};
    w.end = at + frame.size();
    store(w.next, seq + 1); // last: the frame is whole before it counts
}

std::span<const uint8_t> window_frame(const Window &w, uint32_t seq) {
    const WindowSlot &s = w.slots[seq % kWindowFrames];
    return {w.ring + s.at % kWindowBytes, s.bytes};
}

uint32_t window_ack(Window &w, uint32_t seq) {
    const uint32_t acked = load(w.acked);
    const uint32_t n = seq - acked;
    if (n == 0 || n > window_pending(w)) return 0; // old, or beyond what was sent
    store(w.acked, seq);
    return n;
}

} // namespace pxrbridge
