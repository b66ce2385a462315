// libpxrlib fan-out: a group (one buffer, one reference per member) over ring or kernel
// queues, and one buffer per subscriber, allocated, filled and sent to each in turn. This
// process plays the loader as in the one-to-one rows; the answers travel in buffers of their
// own (a shared buffer cannot be answered while other members hold shares).
#include "fanout.h"
#include "pxrlib.h"

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

namespace peers {

namespace {

constexpr uint32_t kPublisher = 1;
constexpr uint32_t kSubscriber0 = 20; // subscribers 20, 21, ...
constexpr uint32_t kGroup = 0x40;
constexpr uint32_t kCongestionModule = 254;
constexpr uint16_t kType = 0x0100;

struct PxrFanTransport : FanTransport {
    PxrFan form = PxrFan::group_ring;
    uint32_t me = kPublisher;

    bool open(const Params &, int side) noexcept override {
        // Detach what fork handed down: the first call attaches this process afresh, so its
        // pid stamps (and the shares it claims) are its own.
        PXR_unlink();
        me = side == 0 ? kPublisher : kSubscriber0 + uint32_t(side - 1);
        return true;
    }

    static bool send_one(const Params &p, const FanMsg &h, uint32_t dst) noexcept {
        const auto len = uint16_t(p.payload);
        MSG *m = getm(kType, uint16_t(h.seq), 0, len);
        if (m == nullptr) return false;
        m->src = uint8_t(kPublisher);
        m->dst = uint8_t(dst);
        m->info = h.kind;
        fill(m->param, len, h.seq);
        std::memcpy(m->param, &h, sizeof h);
        const int rc = PXR_send(dst, m);
        // A group send that reached some members only (rc > 0) gave the buffer to them; any
        // miss is a lost message here.
        if (rc < 0) relm(m);
        return rc == 0;
    }

    bool publish(const Params &p, const FanMsg &h) noexcept override {
        if (form != PxrFan::per_member_ring) return send_one(p, h, kGroup);
        for (int k = 0; k < subscribers; ++k)
            if (!send_one(p, h, kSubscriber0 + uint32_t(k))) return false;
        return true;
    }

    bool next_answer(FanMsg *a) noexcept override {
        MSG *m = PXR_receive(kPublisher);
        if (m == nullptr) return false;
        std::memcpy(a, m->param, sizeof *a);
        relm(m);
        return true;
    }

    bool receive(const Params &, FanMsg *h) noexcept override {
        MSG *m = PXR_receive(me);
        if (m == nullptr) return false;
        consume(m->param, m->len);
        std::memcpy(h, m->param, sizeof *h);
        return relm(m) == 0; // a share given back; the last one frees the buffer
    }

    bool answer(const FanMsg &a) noexcept override {
        MSG *m = getm(kType, 0, 0, uint16_t(sizeof a));
        if (m == nullptr) return false;
        m->src = uint8_t(me);
        m->dst = uint8_t(kPublisher);
        std::memcpy(m->param, &a, sizeof a);
        if (PXR_send(kPublisher, m) == 0) return true;
        relm(m);
        return false;
    }
};

} // namespace

Result run_fanout_pxr(const Params &p, PxrFan form, int subscribers) {
    Result r;
    if (!pxr_payload_ok(p, &r)) return r;
    if (PXR_init(PXR_INIT_CREATE | PXR_INIT_ATOMIC, 0, kCongestionModule) != 0) {
        fail(&r, "PXR_init(create) failed (an environment exists? run in unshare --ipc)");
        return r;
    }
    const bool rings = form != PxrFan::group_kernel;
    // Every form gets the buffers the one-buffer-per-member way needs (a full window per
    // subscriber, its answers, slack), so the pools are alike.
    const int32_t buffers = subscribers * int32_t(kWindow + 8) + 64;
    bool ok =
        (!rings || PXR_ring_queues(kRingCapacity) == 0) &&
        PXR_open_partition(0, buffers, p.payload, 0, 0, PXR_OPEN_CREATE | PXR_OPEN_ATOMIC) == 0 &&
        IPC_create(kPublisher, 1) == 0;
    uint8_t members[kMaxSubscribers];
    for (int k = 0; k < subscribers && ok; ++k) {
        members[k] = uint8_t(kSubscriber0 + uint32_t(k));
        ok = IPC_create(members[k], 1) == 0;
    }
    if (ok && form != PxrFan::per_member_ring)
        ok = PXR_group_create(kGroup, members, uint32_t(subscribers)) == 0;
    if (!ok) {
        fail(&r, "setting up the environment failed");
        PXR_close_without_signals();
        return r;
    }
    fflush(nullptr);
    const pid_t waiter = fork();
    if (waiter == 0) {
        PXR_wait_exit(); // marks the environment running, then blocks
        _exit(0);
    }
    PxrFanTransport t;
    t.form = form;
    r = run_fanout(p, &t, subscribers);
    if (waiter > 0) {
        kill(waiter, SIGKILL);
        waitpid(waiter, nullptr, 0);
    }
    PXR_close_without_signals();
    return r;
}

} // namespace peers
