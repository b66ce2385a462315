// pxr.hpp - C++20 interface to libpxrlib, header only, over the C interface of pxrlib.h.
//
// Ownership is the point: a pxr::message owns one buffer of the environment and gives it
// back when it goes out of scope, unless it was sent (the receiver owns it then). A failed
// send leaves the buffer with the handle. Nothing here throws: allocation and receive return
// std::optional, sending returns a pxr::error.
//
//   if (auto m = pxr::allocate(0x4100, 1, pxr::reply_bit(me), 8)) {
//       m->set_route(me, peer);
//       std::ranges::fill(m->params(), std::byte{0});
//       if (pxr::send(peer, *m) != pxr::error::none) { /* *m still owns the buffer */ }
//   }
//   while (auto in = pxr::receive(me)) pxr::confirm(std::move(*in));
#ifndef PXR_HPP
#define PXR_HPP

#if !defined(__cplusplus) || __cplusplus < 202002L
#error "pxr.hpp needs C++20: compile with -std=c++20 (CMake: link pxrlib::cxx)"
#endif

#include "pxrlib.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <utility>
#include <vector>

/// The C++ interface: message handles that own their buffers, send and receive, and the
/// loader's side (environment); every name of pxr.hpp is in it.
namespace pxr {

/// Why an operation failed.
enum class error {
    none = 0,
    traffic_forbidden, ///< the environment forbids traffic (PXR_send returned 1)
    send_failed,       ///< no queue, queue full, not attached... (PXR_send returned -1)
    empty_handle,      ///< the handle holds no message
    exists,            ///< environment::create: an environment (or its system lock) exists,
                       ///< or this process is attached to one
    create_failed,     ///< environment::create: PXR_init failed otherwise
    partition_failed,  ///< environment::add_partition: PXR_open_partition failed
    queue_failed,      ///< environment::add_queue: IPC_create failed
    alias_failed,      ///< environment::add_alias: the target has no queue
    spawn_failed,      ///< environment::spawn: fork failed or the process table is full
    timed_out,         ///< send with a time limit: the queue stayed full (or traffic was
                       ///< forbidden) until the time was up
    group_failed,      ///< environment::add_group: PXR_group_create refused
};

/// Time limits of the waiting calls in whole milliseconds, rounded up; through double, so
/// that even duration::max() converts without overflow.
template <class Rep, class Period>
constexpr uint32_t whole_milliseconds(std::chrono::duration<Rep, Period> timeout) noexcept {
    const double ms = std::chrono::duration<double, std::milli>(timeout).count();
    if (ms >= 4294967295.0) return UINT32_MAX;
    if (ms <= 0) return 0;
    return uint32_t(ms) + (double(uint32_t(ms)) < ms ? 1u : 0u);
}

/// A module id's bit in reply_mask: set it in a request to be answered by confirm().
constexpr uint16_t reply_bit(uint8_t module) noexcept {
    return uint16_t(1u << (module & 15u));
}

/// Move-only owner of one message buffer.
class message {
  public:
    message() noexcept = default;
    /// Adopts msg (null gives an empty handle).
    explicit message(MSG *msg) noexcept : msg_(msg) {}
    message(message &&other) noexcept : msg_(std::exchange(other.msg_, nullptr)) {}
    message &operator=(message &&other) noexcept {
        if (this != &other) reset(std::exchange(other.msg_, nullptr));
        return *this;
    }
    message(const message &) = delete;
    message &operator=(const message &) = delete;
    ~message() { reset(); }

    /// True while the handle holds a message.
    explicit operator bool() const noexcept { return msg_ != nullptr; }
    /// The MSG held, or null; ownership stays with the handle.
    MSG *get() const noexcept { return msg_; }
    /// Gives up ownership without releasing the buffer.
    [[nodiscard]] MSG *release() noexcept { return std::exchange(msg_, nullptr); }
    /// Releases the buffer held (if any) and adopts msg.
    void reset(MSG *msg = nullptr) noexcept {
        MSG *old = std::exchange(msg_, msg);
        if (old != nullptr) relm(old);
    }

    // Typed header access. The handle must not be empty.
    /// MSG::type: the message type; bit 14 (PXR_MSG_REQUEST) marks a request.
    uint16_t type() const noexcept { return msg_->type; }
    /// Sets MSG::type.
    void set_type(uint16_t v) noexcept { msg_->type = v; }
    /// True when the type has the request bit (PXR_MSG_REQUEST).
    bool is_request() const noexcept { return (msg_->type & PXR_MSG_REQUEST) != 0; }
    /// MSG::id: chosen by the builder of the message.
    uint16_t id() const noexcept { return msg_->id; }
    /// Sets MSG::id.
    void set_id(uint16_t v) noexcept { msg_->id = v; }
    /// MSG::src: the sending module, as its sender set it.
    uint8_t src() const noexcept { return msg_->src; }
    /// MSG::dst: the destination module, as its sender set it.
    uint8_t dst() const noexcept { return msg_->dst; }
    /// Sets src and dst (the sender's job: PXR_send does not set them).
    void set_route(uint8_t src, uint8_t dst) noexcept {
        msg_->src = src;
        msg_->dst = dst;
    }
    /// MSG::reply_mask: the modules that want an answer (reply_bit()).
    uint16_t reply_mask() const noexcept { return msg_->reply_mask; }
    /// Sets MSG::reply_mask.
    void set_reply_mask(uint16_t v) noexcept { msg_->reply_mask = v; }
    /// MSG::status: a status or error code (the congestion message: 1 onset, 0 abate).
    uint8_t status() const noexcept { return msg_->status; }
    /// Sets MSG::status.
    void set_status(uint8_t v) noexcept { msg_->status = v; }
    /// MSG::info: an auxiliary word (the library's management messages carry the tick).
    uint32_t info() const noexcept { return msg_->info; }
    /// Sets MSG::info.
    void set_info(uint32_t v) noexcept { msg_->info = v; }
    /// The instance number (PXR_get_instance).
    uint32_t instance() const noexcept { return PXR_get_instance(msg_); }
    /// Sets the instance number (PXR_set_instance).
    void set_instance(uint32_t v) noexcept { PXR_set_instance(v, msg_); }

    /// Bytes the buffer can carry (its partition's parameter size).
    std::size_t capacity() const noexcept { return PXR_parameter_size(msg_); }
    /// The parameters in use: len bytes.
    std::span<std::byte> params() const noexcept {
        return {reinterpret_cast<std::byte *>(msg_->param), msg_->len};
    }
    /// Sets len; false (len unchanged) when n exceeds the capacity.
    bool resize(std::size_t n) noexcept {
        if (n > capacity() || n > 0xFFFF) return false;
        msg_->len = uint16_t(n);
        return true;
    }

    /// The MSG's fields directly; the handle must not be empty.
    MSG *operator->() const noexcept { return msg_; }

  private:
    MSG *msg_ = nullptr;
};

/// A message with its header filled (getm): type, id, reply mask and len parameter bytes.
/// Empty when no buffer could be had.
inline std::optional<message> allocate(uint16_t type, uint16_t id, uint16_t reply_mask,
                                       uint16_t len) noexcept {
    if (MSG *m = getm(type, id, reply_mask, len)) return message(m);
    return std::nullopt;
}

namespace detail {
/// Fills the header as getm does.
inline void fill_header(MSG *m, uint16_t type, uint16_t id, uint16_t reply_mask,
                        uint16_t len) noexcept {
    m->type = type;
    m->id = id;
    m->reply_mask = reply_mask;
    m->msg_class = m->status = 0;
    m->info = m->instance = 0;
    m->len = len;
}
// Batches go through the C calls this many MSG pointers at a time.
inline constexpr std::size_t kBatchChunk = 64;
} // namespace detail

/// Fills out with new messages as allocate() makes them (PXR_getmem_batch): how many, from the
/// front of out (the others are left as they were). Fewer than out.size() when the buffers ran
/// out, which raises fatal event 2 as allocate() does.
inline std::size_t allocate(std::span<message> out, uint16_t type, uint16_t id, uint16_t reply_mask,
                            uint16_t len) noexcept {
    std::size_t done = 0;
    MSG *got[detail::kBatchChunk];
    while (done < out.size()) {
        const auto want = uint32_t(std::min(out.size() - done, detail::kBatchChunk));
        uint32_t size = len;
        const uint32_t n = PXR_getmem_batch(0, &size, got, want);
        for (uint32_t i = 0; i < n; ++i) {
            detail::fill_header(got[i], type, id, reply_mask, len);
            out[done++].reset(got[i]);
        }
        if (n < want) break;
    }
    return done;
}

/// As allocate(), but a partition without a free buffer is waited on up to timeout
/// (PXR_timed_getmem): empty when the time is up, no partition is large enough or the call is
/// refused; never a fatal event.
template <class Rep, class Period>
std::optional<message> allocate(uint16_t type, uint16_t id, uint16_t reply_mask, uint16_t len,
                                std::chrono::duration<Rep, Period> timeout) noexcept {
    uint32_t size = len;
    MSG *m = nullptr;
    if (PXR_timed_getmem(0, &size, &m, whole_milliseconds(timeout)) != 0) return std::nullopt;
    detail::fill_header(m, type, id, reply_mask, len);
    return message(m);
}

/// Sends msg to module dst. On success msg becomes empty (the receiver owns the buffer);
/// on failure msg keeps it.
inline error send(uint32_t dst, message &msg) noexcept {
    if (!msg) return error::empty_handle;
    int rc = PXR_send(dst, msg.get());
    if (rc == PXR_OK) {
        (void)msg.release();
        return error::none;
    }
    return rc == PXR_FAIL ? error::traffic_forbidden : error::send_failed;
}

/// As send(), but while dst's queue is full it waits up to timeout for room
/// (PXR_timed_send): error::timed_out when the time is up, msg keeping the buffer. To a group:
/// error::none once any member got the buffer (misses show in the members' dropped counts).
template <class Rep, class Period>
error send(uint32_t dst, message &msg, std::chrono::duration<Rep, Period> timeout) noexcept {
    if (!msg) return error::empty_handle;
    const int rc = PXR_timed_send(dst, msg.get(), whole_milliseconds(timeout));
    if (rc == PXR_OK) {
        (void)msg.release();
        return error::none;
    }
    return rc == PXR_FAIL ? error::timed_out : error::send_failed;
}

/// Sends msg to every member of group with one buffer (PXR_send to a group): the members that
/// missed it (their queues were full), 0 when all got it; msg becomes empty then. -1 when none
/// did: msg keeps the buffer.
inline int send_to_group(uint32_t group, message &msg) noexcept {
    if (!msg) return -1;
    const int missed = PXR_send(group, msg.get());
    if (missed >= 0) (void)msg.release();
    return missed;
}

/// A message received through a group: the same buffer the other members read, so it is
/// read-only here; the end of its scope gives this member's share back (relm), and the last
/// share returns the buffer to its partition.
class shared_message {
  public:
    shared_message() noexcept = default;
    /// Adopts a received message.
    explicit shared_message(message &&m) noexcept : m_(std::move(m)) {}
    /// True while it holds a share.
    explicit operator bool() const noexcept { return bool(m_); }
    /// The MSG's fields, read-only.
    const MSG *operator->() const noexcept { return m_.get(); }
    /// The parameters in use, read-only.
    std::span<const std::byte> params() const noexcept {
        return {reinterpret_cast<const std::byte *>(m_->param), m_->len};
    }
    /// Shares of the buffer held now (PXR_message_shares); 0 once it is no longer shared.
    int32_t shares() const noexcept { return PXR_message_shares(m_.get()); }
    /// The holder of the last share may write and send the buffer on: it becomes a plain
    /// message (empty while other shares are out, this share kept).
    std::optional<message> take_whole() noexcept {
        if (!m_ || shares() > 1) return std::nullopt;
        return std::move(m_);
    }

  private:
    message m_;
};

/// Waits for the next message of a group member module, as a shared_message.
inline std::optional<shared_message> receive_shared(uint32_t module) noexcept {
    if (MSG *m = PXR_receive(module)) return shared_message(message(m));
    return std::nullopt;
}

/// Waits for the next message of module; empty on failure or interruption.
inline std::optional<message> receive(uint32_t module) noexcept {
    if (MSG *m = PXR_receive(module)) return message(m);
    return std::nullopt;
}

/// Waits at most timeout (rounded up to whole milliseconds) for the next message of module;
/// empty on time-out (errno ETIMEDOUT) and wherever receive() is empty (PXR_timed_receive).
template <class Rep, class Period>
std::optional<message> receive(uint32_t module,
                               std::chrono::duration<Rep, Period> timeout) noexcept {
    if (MSG *m = PXR_timed_receive(module, whole_milliseconds(timeout))) return message(m);
    return std::nullopt;
}

/// Sends msgs to module dst in order (PXR_send_batch): how many went, from the front; those
/// become empty, the rest keep their buffers. why (if given) says what stopped the first that
/// did not go, as send() would (error::none when all went).
inline std::size_t send(uint32_t dst, std::span<message> msgs, error *why = nullptr) noexcept {
    std::size_t done = 0;
    error result = error::none;
    MSG *ptrs[detail::kBatchChunk];
    while (done < msgs.size() && result == error::none) {
        uint32_t want = 0;
        while (want < detail::kBatchChunk && done + want < msgs.size() && msgs[done + want])
            ptrs[want] = msgs[done + want].get(), ++want;
        int rc = 0;
        const uint32_t n = want == 0 ? 0 : PXR_send_batch(dst, ptrs, want, &rc);
        for (uint32_t i = 0; i < n; ++i) (void)msgs[done++].release();
        if (rc != 0)
            result = rc == PXR_FAIL ? error::traffic_forbidden : error::send_failed;
        else if (want == 0)
            result = error::empty_handle;
    }
    if (why != nullptr) *why = result;
    return done;
}

/// Waits for the next message of module, then takes those already waiting, into the front of
/// out (PXR_receive_batch): how many; 0 where receive() is empty.
inline std::size_t receive(uint32_t module, std::span<message> out) noexcept {
    MSG *got[detail::kBatchChunk];
    const uint32_t n =
        PXR_receive_batch(module, got, uint32_t(std::min(out.size(), detail::kBatchChunk)));
    for (uint32_t i = 0; i < n; ++i) out[i].reset(got[i]);
    return n;
}

/// As receive(module, out), waiting at most timeout for the first (PXR_timed_receive_batch).
template <class Rep, class Period>
std::size_t receive(uint32_t module, std::span<message> out,
                    std::chrono::duration<Rep, Period> timeout) noexcept {
    MSG *got[detail::kBatchChunk];
    const uint32_t n =
        PXR_timed_receive_batch(module, got, uint32_t(std::min(out.size(), detail::kBatchChunk)),
                                whole_milliseconds(timeout));
    for (uint32_t i = 0; i < n; ++i) out[i].reset(got[i]);
    return n;
}

/// Sets this process's receive spin window (PXR_set_receive_spin); zero turns it off. False
/// (nothing changed) above one second or below zero.
inline bool set_receive_spin(std::chrono::microseconds window) noexcept {
    if (window.count() < 0 || window > std::chrono::seconds(1)) return false;
    return PXR_set_receive_spin(uint32_t(window.count())) == 0;
}

/// Sets the receive spin window every process that attaches later starts with
/// (PXR_set_default_receive_spin); for the creator of the environment. False (nothing changed)
/// for any other caller, above one second or below zero.
inline bool set_default_receive_spin(std::chrono::microseconds window) noexcept {
    if (window.count() < 0 || window > std::chrono::seconds(1)) return false;
    return PXR_set_default_receive_spin(uint32_t(window.count())) == 0;
}

/// Chooses who may use the environment being created (PXR_set_access): 0600 its user, 0660
/// its user and group, 0666 every local user. The creator's call before its first object.
/// False for another mode, another caller or too late.
inline bool set_access(uint32_t mode) noexcept {
    return PXR_set_access(mode) == 0;
}

/// The permission bits of the attached environment (PXR_access), -1 when not attached.
inline int32_t access_mode() noexcept {
    return PXR_access();
}

/// Makes the module queues of the environment being created rings in shared memory
/// (PXR_ring_queues): the creator's call before its first queue. False when refused.
inline bool use_ring_queues(uint32_t capacity) noexcept {
    return PXR_ring_queues(capacity) == 0;
}

/// Records per module queue when the attached environment uses rings (PXR_ring_capacity);
/// 0 for kernel queues, -1 when this process is not attached.
inline int32_t ring_capacity() noexcept {
    return PXR_ring_capacity();
}

/// This process's receive spin window; zero when off.
inline std::chrono::microseconds receive_spin() noexcept {
    return std::chrono::microseconds(PXR_get_receive_spin());
}

/// Lets each thread of this process keep up to depth released buffers of the lock-free pool
/// per partition for its next allocations (PXR_set_buffer_cache); zero turns it off. False
/// (nothing changed) above 64.
inline bool set_buffer_cache(uint32_t depth) noexcept {
    return PXR_set_buffer_cache(depth) == 0;
}

/// The buffers per partition each thread of this process may keep; zero when off.
inline uint32_t buffer_cache() noexcept {
    return PXR_get_buffer_cache();
}

/// The next message of module, or empty at once when there is none.
inline std::optional<message> grab(uint32_t module) noexcept {
    if (MSG *m = PXR_grab(module)) return message(m);
    return std::nullopt;
}

/// Answers msg to its sender when it asked for it (confirm_msg), else releases it. The
/// buffer is gone from the caller either way.
inline void confirm(message &&msg) noexcept {
    if (MSG *m = msg.release()) confirm_msg(m);
}

/// Asks the environment to terminate (PXR_terminate). A recorded process is stopped by it.
inline bool terminate() noexcept {
    return PXR_terminate() == PXR_OK;
}

/// The loader's side: creates an environment and removes it again when it goes out of scope
/// (PXR_close, which stops the recorded processes and waits one second doing so).
class environment {
  public:
    struct options {
        bool atomic = false;
        bool error_print = false;
        bool no_attach = false;
        uint32_t fatal_action = 0;
        uint8_t congestion_module = 0;
    };

    /// Creates the environment (PXR_init with the create flag). why receives the reason of
    /// a failure when not null.
    static std::optional<environment> create(const options &opt, error *why = nullptr) noexcept {
        uint32_t flags = PXR_INIT_CREATE | PXR_INIT_FATAL_ACTION(opt.fatal_action);
        if (opt.atomic) flags |= PXR_INIT_ATOMIC;
        if (opt.error_print) flags |= PXR_INIT_ERROR_PRINT;
        if (opt.no_attach) flags |= PXR_INIT_NO_ATTACH;
        int rc = PXR_init(flags, 0, opt.congestion_module);
        if (rc == PXR_OK) return environment(opt.atomic);
        bool exists = rc == PXR_INIT_LOCK_EXISTS || rc == PXR_INIT_ALREADY_ATTACHED;
        if (!exists) PXR_close(); // removes a system lock this attempt made
        if (why != nullptr) *why = exists ? error::exists : error::create_failed;
        return std::nullopt;
    }

    environment(environment &&other) noexcept
        : owned_(std::exchange(other.owned_, false)), atomic_(other.atomic_) {}
    environment &operator=(environment &&other) noexcept {
        if (this != &other) {
            close();
            owned_ = std::exchange(other.owned_, false);
            atomic_ = other.atomic_;
        }
        return *this;
    }
    environment(const environment &) = delete;
    environment &operator=(const environment &) = delete;
    ~environment() { close(); }

    /// Creates partition 0 or 1, in the pool form the environment was created with.
    error add_partition(int partition, int32_t buffers, uint32_t param_size, uint32_t onset = 0,
                        uint32_t abate = 0) noexcept {
        int32_t flags = PXR_OPEN_CREATE | (atomic_ ? PXR_OPEN_ATOMIC : 0);
        return PXR_open_partition(partition, buffers, param_size, onset, abate, flags) == PXR_OK
                   ? error::none
                   : error::partition_failed;
    }
    /// Gives module a new queue of its own.
    error add_queue(uint8_t module) noexcept {
        return IPC_create(module, 1) == PXR_OK ? error::none : error::queue_failed;
    }
    /// Points module at target's queue.
    error add_alias(uint8_t module, uint8_t target) noexcept {
        return IPC_attach(module, target) == PXR_OK ? error::none : error::alias_failed;
    }
    /// Makes group a module id that names the members (PXR_group_create), all-or-nothing on
    /// request (PXR_group_all_or_nothing); before the environment runs.
    error add_group(uint8_t group, std::span<const uint8_t> members,
                    bool all_or_nothing = false) noexcept {
        if (PXR_group_create(group, members.data(), uint32_t(members.size())) != PXR_OK ||
            (all_or_nothing && PXR_group_all_or_nothing(group) != PXR_OK))
            return error::group_failed;
        return error::none;
    }
    /// Starts a recorded process; argv[0] is searched along PATH. pid receives its id.
    error spawn(std::initializer_list<const char *> args, int32_t *pid = nullptr) noexcept {
        std::vector<char *> argv;
        argv.reserve(args.size() + 1);
        for (const char *a : args) argv.push_back(const_cast<char *>(a));
        argv.push_back(nullptr);
        int32_t child = -1;
        int rc = SYS_spawn_process(0, argv.data(), &child);
        if (pid != nullptr) *pid = child;
        return rc == PXR_OK ? error::none : error::spawn_failed;
    }
    /// Admits attachers and blocks until a termination request; returns the exit status.
    int32_t wait_exit() noexcept { return PXR_wait_exit(); }
    /// Stops the recorded processes and removes every object (once).
    void close() noexcept {
        if (std::exchange(owned_, false)) PXR_close();
    }

  private:
    explicit environment(bool atomic) noexcept : owned_(true), atomic_(atomic) {}
    bool owned_ = false;
    bool atomic_ = false;
};

} // namespace pxr

#endif // PXR_HPP
