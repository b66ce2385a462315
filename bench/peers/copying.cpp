// The copying peers: System V queues (the bare 12-byte floor and the payload queue), POSIX
// message queues, a Unix SEQPACKET socket pair and ZeroMQ PAIR sockets over ipc://.
#include "common.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <mqueue.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zmq.h>

namespace peers {

namespace {

// Raise a /proc/sys limit to at least value (private IPC namespace only).
void raise_sysctl(const char *path, long value) {
    FILE *f = fopen(path, "r");
    long cur = 0;
    if (f) {
        if (fscanf(f, "%ld", &cur) != 1) cur = 0;
        fclose(f);
    }
    if (cur >= value) return;
    f = fopen(path, "w");
    if (f) {
        fprintf(f, "%ld\n", value);
        fclose(f);
    }
}

struct SysvChannel : Channel {
    int q[2] = {-1, -1};
    bool send(int dir, const void *buf, size_t len) noexcept override {
        // The message type goes into the headroom in front of the data: no copy.
        auto *m = static_cast<uint8_t *>(const_cast<void *>(buf)) - sizeof(long);
        long one = 1;
        std::memcpy(m, &one, sizeof one);
        for (;;) {
            if (msgsnd(q[dir], m, len, 0) == 0) return true;
            if (errno != EINTR) return false;
        }
    }
    uint32_t spin_us = 0; // poll without waiting this long before the blocking receive
    long recv(int dir, void *buf, size_t cap) noexcept override {
        auto *m = static_cast<uint8_t *>(buf) - sizeof(long);
        if (spin_us != 0) {
            const uint64_t end = now_ns() + uint64_t(spin_us) * 1000;
            do {
                ssize_t n = msgrcv(q[dir], m, cap, 0, IPC_NOWAIT);
                if (n >= 0) return long(n);
                if (errno != ENOMSG && errno != EINTR) return -1;
            } while (now_ns() < end);
        }
        for (;;) {
            ssize_t n = msgrcv(q[dir], m, cap, 0, 0);
            if (n >= 0) return long(n);
            if (errno != EINTR) return -1;
        }
    }
};

Result run_sysv(const Params &p, uint32_t msg_size) {
    Result r;
    const msglen_t want = msglen_t(kWindow + 8) * (msg_size + 16);
    if (p.tune) {
        // New queues take their byte limit from msgmnb; raising a queue's limit above it
        // afterwards would need CAP_SYS_RESOURCE.
        raise_sysctl("/proc/sys/kernel/msgmax", long(msg_size) + 64);
        raise_sysctl("/proc/sys/kernel/msgmnb", long(want));
    }
    SysvChannel ch;
    ch.spin_us = p.spin_us;
    for (int d = 0; d < 2; ++d) {
        ch.q[d] = msgget(IPC_PRIVATE, IPC_CREAT | 0600);
        if (ch.q[d] < 0) {
            fail(&r, "msgget failed (errno %d)", errno);
            return r;
        }
        // Room for the whole credit window.
        msqid_ds ds;
        if (msgctl(ch.q[d], IPC_STAT, &ds) == 0) {
            if (ds.msg_qbytes < want) {
                ds.msg_qbytes = want;
                msgctl(ch.q[d], IPC_SET, &ds);
            }
        }
    }
    Params q = p;
    q.payload = msg_size;
    r = run_channel(q, &ch);
    for (int d = 0; d < 2; ++d) msgctl(ch.q[d], IPC_RMID, nullptr);
    return r;
}

struct MqChannel : Channel {
    mqd_t q[2] = {mqd_t(-1), mqd_t(-1)};
    bool send(int dir, const void *buf, size_t len) noexcept override {
        for (;;) {
            if (mq_send(q[dir], static_cast<const char *>(buf), len, 0) == 0) return true;
            if (errno != EINTR) return false;
        }
    }
    long recv(int dir, void *buf, size_t cap) noexcept override {
        for (;;) {
            ssize_t n = mq_receive(q[dir], static_cast<char *>(buf), cap, nullptr);
            if (n >= 0) return long(n);
            if (errno != EINTR) return -1;
        }
    }
};

struct SocketChannel : Channel {
    int s[2] = {-1, -1}; // s[0]: the consumer/echo end, s[1]: the producer/pinger end
    int mine = -1;
    bool open_side(int side) noexcept override {
        mine = s[side];
        close(s[1 - side]);
        return true;
    }
    bool send(int, const void *buf, size_t len) noexcept override {
        for (;;) {
            ssize_t n = ::send(mine, buf, len, MSG_NOSIGNAL);
            if (n == ssize_t(len)) return true;
            if (n < 0 && errno == EINTR) continue;
            return false;
        }
    }
    long recv(int, void *buf, size_t cap) noexcept override {
        for (;;) {
            ssize_t n = ::recv(mine, buf, cap, 0);
            if (n >= 0) return long(n);
            if (errno != EINTR) return -1;
        }
    }
    void close_side() noexcept override { close(mine); }
};

struct ZmqChannel : Channel {
    std::string endpoint;
    void *ctx = nullptr, *sock = nullptr;
    bool open_side(int side) noexcept override {
        // Contexts must not cross fork: each side makes its own.
        ctx = zmq_ctx_new();
        if (!ctx) return false;
        sock = zmq_socket(ctx, ZMQ_PAIR);
        if (!sock) return false;
        int hwm = int(kWindow) * 2;
        zmq_setsockopt(sock, ZMQ_SNDHWM, &hwm, sizeof hwm);
        zmq_setsockopt(sock, ZMQ_RCVHWM, &hwm, sizeof hwm);
        return (side == 0 ? zmq_bind(sock, endpoint.c_str())
                          : zmq_connect(sock, endpoint.c_str())) == 0;
    }
    bool send(int, const void *buf, size_t len) noexcept override {
        for (;;) {
            if (zmq_send(sock, buf, len, 0) == int(len)) return true;
            if (zmq_errno() != EINTR) return false;
        }
    }
    long recv(int, void *buf, size_t cap) noexcept override {
        for (;;) {
            int n = zmq_recv(sock, buf, cap, 0);
            if (n >= 0) return n > int(cap) ? -1 : long(n);
            if (zmq_errno() != EINTR) return -1;
        }
    }
    void close_side() noexcept override {
        zmq_close(sock);
        zmq_ctx_term(ctx);
    }
};

} // namespace

Result run_sysv_floor(const Params &p) {
    return run_sysv(p, 12);
}

Result run_sysv_payload(const Params &p) {
    return run_sysv(p, p.payload);
}

Result run_posix_mq(const Params &p) {
    Result r;
    // Both queues must fit the per-user byte budget (RLIMIT_MSGQUEUE, 800 KB by default),
    // which only CAP_SYS_RESOURCE can raise: at 16 KB that caps a queue well below the window.
    rlimit rl{};
    getrlimit(RLIMIT_MSGQUEUE, &rl);
    if (rl.rlim_cur < rl.rlim_max) {
        rl.rlim_cur = rl.rlim_max;
        setrlimit(RLIMIT_MSGQUEUE, &rl);
    }
    getrlimit(RLIMIT_MSGQUEUE, &rl);
    long maxmsg = kWindow + 8;
    if (rl.rlim_cur != RLIM_INFINITY)
        maxmsg = std::min<long>(maxmsg, long(rl.rlim_cur / 2 / (p.payload + 96)));
    if (maxmsg < 1) maxmsg = 1;
    if (p.tune) {
        raise_sysctl("/proc/sys/fs/mqueue/msg_max", maxmsg);
        raise_sysctl("/proc/sys/fs/mqueue/msgsize_max", long(p.payload));
    }
    MqChannel ch;
    for (int d = 0; d < 2; ++d) {
        char name[64];
        snprintf(name, sizeof name, "/peers-%d-%d", int(getpid()), d);
        mq_attr attr{};
        attr.mq_maxmsg = maxmsg;
        attr.mq_msgsize = p.payload;
        ch.q[d] = mq_open(name, O_RDWR | O_CREAT | O_EXCL, 0600, &attr);
        if (ch.q[d] == mqd_t(-1)) {
            fail(&r, "mq_open failed (errno %d)", errno);
            return r;
        }
        mq_unlink(name); // the descriptors keep the queue alive
    }
    r = run_channel(p, &ch);
    for (int d = 0; d < 2; ++d) mq_close(ch.q[d]);
    return r;
}

Result run_unix_seqpacket(const Params &p) {
    Result r;
    SocketChannel ch;
    if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, ch.s) != 0) {
        fail(&r, "socketpair failed (errno %d)", errno);
        return r;
    }
    if (p.tune) {
        int bytes = int(kWindow) * int(p.payload + 512);
        for (int i = 0; i < 2; ++i) {
            setsockopt(ch.s[i], SOL_SOCKET, SO_SNDBUFFORCE, &bytes, sizeof bytes);
            setsockopt(ch.s[i], SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes);
        }
    }
    r = run_channel(p, &ch);
    close(ch.s[0]);
    close(ch.s[1]);
    return r;
}

Result run_zmq(const Params &p) {
    ZmqChannel ch;
    char path[128];
    snprintf(path, sizeof path, "ipc:///tmp/peers-zmq-%d.ipc", int(getpid()));
    ch.endpoint = path;
    Result r = run_channel(p, &ch);
    unlink(path + 6);
    return r;
}

} // namespace peers
