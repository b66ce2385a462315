// libpxrlib in both pool forms, over kernel queues or ring queues. This process plays the
// loader: it creates the environment (one partition sized for the payload, one queue per
// module), forks a child that marks the environment running with PXR_wait_exit, then forks
// the measuring sides, which detach from the inherited mapping and attach lazily like any
// application process.
#include "common.h"
#include "pxrlib.h"
#include "env/pxr_internal.h"

#include <algorithm>
#include <csignal>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

namespace peers {

namespace {

constexpr uint32_t kModA = 1;          // pinger
constexpr uint32_t kModB = 2;          // echo / consumer
constexpr uint32_t kModProducer0 = 10; // producers 10, 11, ...
constexpr uint32_t kCongestionModule = 254;
constexpr uint16_t kType = 0x0100;

// The application's work on the payload, or only its last byte with --untouched.
void write_payload(const Params &p, uint8_t *param, uint16_t len, uint32_t seq) noexcept {
    if (!p.untouched)
        fill(param, len, seq);
    else if (len > 0)
        param[len - 1] = uint8_t(seq);
}
void read_payload(const Params &p, const MSG *m) noexcept {
    if (!p.untouched) consume(m->param, m->len);
}

// Detach what fork handed down and let the first call attach this process afresh, so that
// its pid stamps and its attachment are its own.
void become_application_process(const Params &p) noexcept {
    PXR_unlink();
    PXR_set_receive_spin(p.spin_us);
    PXR_set_buffer_cache(p.cache);
}

void pxr_echo(const Params &p, Result *r, int) {
    become_application_process(p);
    for (;;) {
        MSG *m = PXR_receive(kModB);
        if (!m) return fail(r, "echo: PXR_receive returned null (sys_failure %d)", PXR_sys_failure);
        if (m->info == kStop) {
            relm(m);
            break;
        }
        read_payload(p, m);
        confirm_msg(m); // the same buffer goes back to the requester
    }
    r->ok = 1;
}

void pxr_ping(const Params &p, Result *r, int) {
    become_application_process(p);
    std::vector<uint64_t> samples;
    samples.reserve(p.count);
    const uint64_t total = p.warm + p.count;
    const uint16_t len = uint16_t(p.payload);
    for (uint64_t i = 0; i < total; ++i) {
        uint64_t t0 = now_ns();
        MSG *m = getm(PXR_MSG_REQUEST | kType, uint16_t(i), uint16_t(1u << (kModA & 15)), len);
        if (!m) return fail(r, "ping: getm returned null at %llu", (unsigned long long)i);
        m->src = kModA;
        m->dst = kModB;
        m->info = kData;
        write_payload(p, m->param, len, uint32_t(i));
        if (PXR_send(kModB, m) != 0) return fail(r, "ping: PXR_send failed");
        MSG *b = PXR_receive(kModA);
        if (!b) return fail(r, "ping: PXR_receive returned null");
        read_payload(p, b);
        if (b->len != len || b->param[len - 1] != uint8_t(i))
            return fail(r, "ping: answer does not match");
        relm(b);
        uint64_t t1 = now_ns();
        if (i >= p.warm) samples.push_back(t1 - t0);
    }
    MSG *m = getm(kType, 0, 0, 0);
    if (m) {
        m->src = kModA;
        m->dst = kModB;
        m->info = kStop;
        if (PXR_send(kModB, m) != 0) relm(m);
    }
    summarize(samples, r);
}

// One consumer, p.producers producers. Each producer's every kAckEvery-th message is
// returned to it as the acknowledgement, so no extra buffer is needed for the credits.
void pxr_consumer(const Params &p, Result *r, int) {
    become_application_process(p);
    uint32_t since_ack[256] = {};
    bool seen[256] = {};
    int producers_seen = 0, stops = 0;
    RateMeter meter(p.warm);
    MSG *in[64], *spent[64];
    uint32_t n_spent = 0; // a batch's messages go back in one release batch
    for (uint32_t got = 0, next = 0; stops < p.producers; ++next) {
        if (next == got) {
            if (PXR_relmem_batch(0, spent, n_spent) != n_spent)
                return fail(r, "consumer: PXR_relmem_batch fell short");
            n_spent = 0;
            got = PXR_receive_batch(kModB, in, p.batch);
            next = 0;
            if (got == 0) return fail(r, "consumer: PXR_receive_batch returned nothing");
        }
        MSG *m = in[next];
        if (m->info == kStop) {
            if (++stops == 1) meter.finish(r);
            relm(m);
            if (!r->ok) return;
            continue;
        }
        read_payload(p, m);
        uint8_t src = m->src;
        if (!seen[src]) {
            seen[src] = true;
            ++producers_seen;
        }
        meter.tick(producers_seen == p.producers);
        if (++since_ack[src] == kAckEvery) {
            since_ack[src] = 0;
            m->dst = src;
            m->src = uint8_t(kModB);
            m->info = kAck;
            if (PXR_send(src, m) != 0) return fail(r, "consumer: ack send failed");
        } else if (p.batch > 1) {
            spent[n_spent++] = m;
        } else {
            relm(m);
        }
    }
}

void pxr_producer(const Params &p, Result *r, int index) {
    become_application_process(p);
    const uint32_t me = kModProducer0 + uint32_t(index - 1);
    const uint16_t len = uint16_t(p.payload);
    uint64_t sent = 0, acked = 0;
    // Producers that attach a little late still overlap the others for the whole window.
    const uint64_t end = now_ns() + uint64_t(p.secs * 1e9);
    for (;;) {
        if (((sent & 63) == 0 || p.batch > 1) && now_ns() > end) break;
        while (sent - acked >= kWindow) {
            MSG *a = PXR_receive(me);
            if (!a) return fail(r, "producer: ack receive failed");
            relm(a);
            acked += kAckEvery;
        }
        if (p.batch > 1) {
            MSG *out[64];
            uint32_t size = len;
            const auto want = uint32_t(std::min<uint64_t>(p.batch, kWindow - (sent - acked)));
            if (PXR_getmem_batch(0, &size, out, want) != want)
                return fail(r, "producer: PXR_getmem_batch fell short");
            for (uint32_t i = 0; i < want; ++i) {
                out[i]->type = kType, out[i]->id = uint16_t(sent + i), out[i]->len = len;
                out[i]->src = uint8_t(me), out[i]->dst = kModB, out[i]->info = kData;
                write_payload(p, out[i]->param, len, uint32_t(sent + i));
            }
            if (PXR_send_batch(kModB, out, want, nullptr) != want)
                return fail(r, "producer: PXR_send_batch failed");
            sent += want;
            continue;
        }
        MSG *m = getm(kType, uint16_t(sent), 0, len);
        if (!m) return fail(r, "producer: getm returned null");
        m->src = uint8_t(me);
        m->dst = kModB;
        m->info = kData;
        write_payload(p, m->param, len, uint32_t(sent));
        if (PXR_send(kModB, m) != 0) return fail(r, "producer: PXR_send failed");
        ++sent;
    }
    MSG *m = getm(kType, 0, 0, 0);
    if (!m) return fail(r, "producer: no buffer for the stop message");
    m->src = uint8_t(me);
    m->dst = kModB;
    m->info = kStop;
    if (PXR_send(kModB, m) != 0) return fail(r, "producer: stop send failed");
    while (acked < sent / kAckEvery * kAckEvery) {
        MSG *a = PXR_receive(me);
        if (!a) break;
        relm(a);
        acked += kAckEvery;
    }
    r->ok = 1;
}

// Idle: the receiver waits on its empty queue until the sender, secs later, sends a message.
void pxr_idle_receiver(const Params &p, Result *r, int) {
    become_application_process(p);
    const double c0 = cpu_seconds();
    const uint64_t t0 = now_ns();
    MSG *m = PXR_receive(kModB);
    if (!m) return fail(r, "receiver: PXR_receive returned null");
    r->idle_cpu_pct = (cpu_seconds() - c0) * 1e11 / double(now_ns() - t0);
    relm(m);
    r->ok = 1;
}

void pxr_idle_sender(const Params &p, Result *r, int) {
    become_application_process(p);
    usleep(useconds_t(p.secs * 1e6));
    MSG *m = getm(kType, 0, 0, 0);
    if (!m) return fail(r, "sender: getm returned null");
    if (PXR_send(kModB, m) != 0) return fail(r, "sender: PXR_send failed");
    r->ok = 1;
}

void remove_by_key(int key) {
    int id = semget(key, 0, 0);
    if (id >= 0) semctl(id, 0, IPC_RMID);
    id = shmget(key, 0, 0);
    if (id >= 0) shmctl(id, IPC_RMID, nullptr);
}

// Remove every object of the environment. PXR_close would do it too, but it spends a second
// signalling recorded processes, and this loader records none.
void teardown(const std::vector<uint32_t> &modules) {
    if (PXR_detect() == 0)
        for (uint32_t m : modules) IPC_delete(m);
    PXR_unlink();
    for (int p = 0; p < 2; ++p) {
        remove_by_key(pxr_impl::kMsgArrayKey + p);
        remove_by_key(pxr_impl::kPartitionHeaderKey + p);
        remove_by_key(pxr_impl::kPartitionLockKey + p);
    }
    remove_by_key(pxr_impl::kCommonAreaKey);
    remove_by_key(PXR_KEY_EXTENSION);
    remove_by_key(PXR_KEY_RING_QUEUES);
    remove_by_key(pxr_impl::kFatalSemKey);
    remove_by_key(pxr_impl::kExitSemKey);
    remove_by_key(pxr_impl::kSystemLockKey);
}

} // namespace

bool pxr_payload_ok(const Params &p, Result *r) noexcept {
    if (p.payload % 4 == 0 && p.payload <= 65000) return true;
    fail(r, "payload must be a multiple of 4 below 65000");
    return false;
}

Result run_pxr(const Params &p, bool atomic, uint32_t ring_capacity) {
    Result r;
    if (!pxr_payload_ok(p, &r)) return r;
    const bool lat = p.test == Test::Latency;
    const int producers = lat ? 1 : p.producers;
    if (producers < 1 || producers > 64) {
        fail(&r, "1 to 64 producers");
        return r;
    }
    int rc = PXR_init(PXR_INIT_CREATE | (atomic ? PXR_INIT_ATOMIC : 0u), 0, kCongestionModule);
    if (rc != 0) {
        fail(&r, "PXR_init(create) returned %d (an environment exists? run in unshare --ipc)", rc);
        return r;
    }
    if (ring_capacity != 0 && PXR_ring_queues(ring_capacity) != 0) {
        fail(&r, "PXR_ring_queues(%u) refused", ring_capacity);
        teardown({});
        return r;
    }
    std::vector<uint32_t> modules{kModA, kModB};
    for (int i = 0; i < producers; ++i) modules.push_back(kModProducer0 + uint32_t(i));
    // Enough buffers for every producer's full window plus the acknowledgements in flight.
    // Caches fill only while at most half the buffers are allocated: twice as many, and room
    // for every side's cache.
    const int32_t in_flight = lat ? 64 : producers * int32_t(kWindow + 8) + 64;
    const int32_t buffers = p.cache == 0 ? in_flight : 2 * in_flight + 4 * int32_t(p.cache);
    // Congestion is not part of the measurement: an onset level of 0 never signals.
    if (PXR_open_partition(0, buffers, p.payload, 0, 0,
                           PXR_OPEN_CREATE | (atomic ? PXR_OPEN_ATOMIC : 0)) != 0) {
        fail(&r, "PXR_open_partition failed");
        teardown(modules);
        return r;
    }
    for (uint32_t m : modules)
        if (IPC_create(m, 1) != 0) {
            fail(&r, "IPC_create(%u) failed", m);
            teardown(modules);
            return r;
        }
    fflush(nullptr);
    pid_t waiter = fork();
    if (waiter == 0) {
        PXR_wait_exit(); // marks the environment running, then blocks
        _exit(0);
    }
    std::vector<SideFn> sides;
    if (p.test == Test::Idle)
        sides = {pxr_idle_receiver, pxr_idle_sender};
    else if (lat)
        sides = {pxr_echo, pxr_ping};
    else {
        sides.push_back(pxr_consumer);
        for (int i = 0; i < producers; ++i) sides.push_back(pxr_producer);
    }
    double deadline = 60 + (lat ? double(p.count + p.warm) * 1e-3 : p.secs * 3);
    Params q = p;
    q.producers = producers;
    r = run_sides(q, sides, lat ? 1 : 0, deadline);
    if (waiter > 0) {
        kill(waiter, SIGKILL);
        waitpid(waiter, nullptr, 0);
    }
    teardown(modules);
    return r;
}

} // namespace peers
