"""Python binding of libpxrlib: zero-copy message passing between processes on one host.

    import pxrlib

    with pxrlib.Environment.attach() as env:          # a loader (pxr load) built it
        with env.message(type=0x4100, id=1, reply_mask=pxrlib.reply_bit(0x21)) as m:
            m.route(0x21, 0x20)
            m.set_params(b"hello")
            env.send(0x20, m)                          # m is the receiver's now
        answer = env.receive(0x21, timeout=2.0)        # None when the time is up

A Message owns one buffer of the environment; its parameters are a memoryview over the
buffer itself. The buffer goes back to its partition when the message is released
(`release()`, the end of a `with` block, garbage collection), unless it was sent or
confirmed: then the receiver owns it, and the views handed out are released. The library
keeps per-process state, so one Environment per process, used from one thread at a time.
"""

import ctypes
import ctypes.util
import errno
import os
import time
import weakref

__all__ = [
    "Environment", "Message", "PxrError", "LibraryNotFound", "NoEnvironment", "EnvironmentExists",
    "EnvironmentGone", "NoBuffer", "SendError", "TrafficForbidden", "reply_bit", "load_library",
]

__version__ = "1.0.0"
REQUEST = 0x4000


class PxrError(Exception):
    """A libpxrlib call failed."""


class LibraryNotFound(PxrError):
    """libpxrlib itself could not be loaded."""


class NoEnvironment(PxrError):
    """No environment could be created or attached."""


class EnvironmentExists(PxrError):
    """An environment exists already (or this process is attached to one)."""


class EnvironmentGone(PxrError):
    """The environment went away while this process used it."""


class NoBuffer(PxrError):
    """No message buffer could be had."""


class SendError(PxrError):
    """A message could not be sent; it still belongs to the caller."""


class TrafficForbidden(SendError):
    """The environment forbids traffic."""


# --- the shared records (layouts fixed by pxrlib.h) ----------------------------------------
class Timestamp(ctypes.Structure):
    _fields_ = [(n, ctypes.c_uint32) for n in
                ("year", "month", "day", "hour", "minute", "second", "usec")]

    def text(self):
        """The time as the status report prints it, or None when it was never written."""
        if self.year == 0:
            return None
        return "%04d-%02d-%02d %02d:%02d:%02d.%03d" % (
            self.year, self.month, self.day, self.hour, self.minute, self.second,
            self.usec // 1000)


class _ProcessEntry(ctypes.Structure):
    _fields_ = [("pid", ctypes.c_int32), ("name", ctypes.c_char * 52)]


class _ModuleQueueEntry(ctypes.Structure):
    _fields_ = [("msqid", ctypes.c_uint32), ("alias_of", ctypes.c_uint32),
                ("queue_flags", ctypes.c_uint32)]


class _CommonArea(ctypes.Structure):
    _fields_ = [
        ("flags", ctypes.c_uint32), ("congestion_module", ctypes.c_uint32),
        ("error_print", ctypes.c_uint32), ("tick", ctypes.c_uint32),
        ("process_count", ctypes.c_int32), ("processes", _ProcessEntry * 250),
        ("interface_version", ctypes.c_uint32), ("internal_errors", ctypes.c_uint32),
        ("atomic_mode", ctypes.c_uint32), ("module_queues", _ModuleQueueEntry * 255),
        ("platform", ctypes.c_char * 320), ("restart_time", Timestamp),
        ("fatal_semid", ctypes.c_int32), ("fatal_code", ctypes.c_uint32),
        ("exit_status", ctypes.c_int32), ("fatal_action", ctypes.c_uint32),
        ("counters", ctypes.c_uint32 * 20),
    ]


class _PartitionHeader(ctypes.Structure):
    _fields_ = [
        ("param_size", ctypes.c_uint32), ("free_head", ctypes.c_uint32),
        ("free_tail", ctypes.c_uint32), ("num_msgs", ctypes.c_int32),
        ("alloc_count", ctypes.c_uint32), ("max_alloc", ctypes.c_uint32),
        ("max_alloc_reset", ctypes.c_uint32), ("max_alloc_time", Timestamp),
        ("out_of_msg", ctypes.c_uint32), ("cong_status", ctypes.c_uint32),
        ("cong_onset", ctypes.c_uint32), ("cong_abate", ctypes.c_uint32),
        ("cong_module", ctypes.c_uint32), ("cong_count", ctypes.c_uint32),
        ("cong_count_reset", ctypes.c_uint32), ("cong_onset_time", Timestamp),
        ("stride", ctypes.c_uint32),
    ]


class _MsgHeader(ctypes.Structure):
    _fields_ = [
        ("type", ctypes.c_uint16), ("id", ctypes.c_uint16), ("src", ctypes.c_uint8),
        ("dst", ctypes.c_uint8), ("reply_mask", ctypes.c_uint16), ("msg_class", ctypes.c_uint8),
        ("status", ctypes.c_uint8), ("reserved1", ctypes.c_uint8 * 2), ("info", ctypes.c_uint32),
        ("instance", ctypes.c_uint32), ("len", ctypes.c_uint16),
        ("reserved2", ctypes.c_uint8 * 2),
    ]


assert ctypes.sizeof(_CommonArea) == 17536 and ctypes.sizeof(_PartitionHeader) == 116
assert ctypes.sizeof(_MsgHeader) == 24


# --- the library --------------------------------------------------------------------------
_lib = None


def load_library(path=None):
    """Loads libpxrlib once: path, else $PXRLIB_LIBRARY, else the system's library search."""
    global _lib
    if _lib is not None:
        return _lib
    path = path or os.environ.get("PXRLIB_LIBRARY") or ctypes.util.find_library("pxrlib") \
        or "libpxrlib.so.1"
    try:
        lib = ctypes.CDLL(path, use_errno=True)
    except OSError as e:
        raise LibraryNotFound("libpxrlib not found: cannot load %s (%s); install the library "
                              "or set PXRLIB_LIBRARY to the path of libpxrlib.so.1"
                              % (path, e)) from None
    P, u32, i32, c_int = ctypes.c_void_p, ctypes.c_uint32, ctypes.c_int32, ctypes.c_int
    signatures = {
        "PXR_init": (c_int, [u32, u32, u32]), "PXR_link": (c_int, []),
        "PXR_unlink": (c_int, []), "PXR_close": (c_int, []), "PXR_wait_exit": (c_int, []),
        "PXR_terminate": (c_int, []),
        "PXR_open_partition": (u32, [i32, i32, u32, u32, u32, i32]),
        "IPC_create": (c_int, [u32, u32]), "IPC_attach": (c_int, [u32, u32]),
        "getm": (P, [ctypes.c_uint16] * 4), "relm": (c_int, [P]), "confirm_msg": (c_int, [P]),
        "PXR_send": (c_int, [u32, P]), "PXR_receive": (P, [u32]), "PXR_grab": (P, [u32]),
        "PXR_parameter_size": (u32, [P]), "PXR_pending_msgs": (i32, [u32]),
        "PXR_get_version": (c_int, [ctypes.POINTER(u32), ctypes.POINTER(u32)]),
        "PXR_timed_receive": (P, [u32, u32]), "PXR_set_receive_spin": (c_int, [u32]),
        "PXR_set_default_receive_spin": (c_int, [u32]), "PXR_dropped_records": (i32, []),
        "PXR_common_area": (P, []),
        "PXR_ring_queues": (c_int, [u32]), "PXR_ring_capacity": (i32, []),
        "PXR_timed_getmem": (c_int, [i32, ctypes.POINTER(u32), ctypes.POINTER(P), u32]),
        "PXR_timed_send": (c_int, [u32, P, u32]),
        "PXR_group_create": (c_int, [u32, ctypes.c_char_p, u32]),
        "PXR_group_all_or_nothing": (c_int, [u32]), "PXR_message_shares": (i32, [P]),
        "PXR_set_access": (c_int, [u32]), "PXR_access": (i32, []),
        "PXR_send_batch": (u32, [u32, ctypes.POINTER(P), u32, ctypes.POINTER(c_int)]),
        "PXR_timed_receive_batch": (u32, [u32, ctypes.POINTER(P), u32, u32]),
        "PXR_receive_batch": (u32, [u32, ctypes.POINTER(P), u32]),
        "PXR_set_buffer_cache": (c_int, [u32]), "PXR_get_buffer_cache": (u32, []),
    }
    for name, (restype, argtypes) in signatures.items():
        fn = getattr(lib, name, None)  # newer calls are absent from older libraries
        if fn is not None:
            fn.restype, fn.argtypes = restype, argtypes
    _lib = lib
    return lib


def _milliseconds(seconds):
    return min(0xFFFFFFFF, max(0, int(seconds * 1000 + 0.999)))


def _sys_failure():
    return ctypes.c_int32.in_dll(_lib, "PXR_sys_failure").value != 0


def reply_bit(module):
    """A module's bit in reply_mask: set it in a request to get the answer."""
    return 1 << (module & 15)


_INIT_CODES = {
    1: (EnvironmentExists, "an environment exists (or the system lock of one that was not "
                           "removed: 'pxr clean' removes it)"),
    3: (NoEnvironment, "the common area cannot be created or attached (no environment?)"),
    5: (NoEnvironment, "the system lock cannot be created, opened, taken or released "
                        "(no environment?)"),
    6: (EnvironmentExists, "this process is attached to an environment already"),
    8: (NoEnvironment, "the environment refuses attaching (created with no-attach)"),
    9: (NoEnvironment, "the environment is not running yet (its loader does not wait yet)"),
}


def _init_error(call, code):
    cls, why = _INIT_CODES.get(code, (NoEnvironment, "unexpected result"))
    return cls("%s returned %d: %s" % (call, code, why))


class Message:
    """One message buffer owned by this process."""

    def __init__(self, env, address):
        self._env = env
        self._ptr = address
        self._views = []
        env._messages.add(self)

    @property
    def owned(self):
        """True while this object owns its buffer."""
        return self._ptr is not None

    def _header(self):
        if self._ptr is None:
            raise PxrError("the message was sent, confirmed or released; it is no longer ours")
        return _MsgHeader.from_address(self._ptr)

    def _forget(self):
        """Gives up the buffer without releasing it, and the views handed out over it."""
        for view in self._views:
            view.release()
        self._views.clear()
        self._ptr = None

    @property
    def address(self):
        """Address of the MSG record in this process."""
        self._header()
        return self._ptr

    @property
    def capacity(self):
        """Parameter bytes the buffer can carry (its partition's parameter size)."""
        return _lib.PXR_parameter_size(self.address)

    def _view(self, n):
        array = (ctypes.c_uint8 * n).from_address(self.address + ctypes.sizeof(_MsgHeader))
        view = memoryview(array).cast("B")
        self._views.append(view)
        return view

    @property
    def params(self):
        """The parameters in use (length bytes): a writable view of the buffer, not a copy."""
        return self._view(self._header().len)

    @property
    def buffer(self):
        """The whole parameter area (capacity bytes), as a writable view of the buffer."""
        return self._view(self.capacity)

    def set_params(self, data):
        """Writes data into the parameter area and sets length to its size."""
        data = memoryview(data).cast("B")
        if len(data) > self.capacity:
            raise ValueError("%d bytes do not fit the buffer's %d parameter bytes"
                             % (len(data), self.capacity))
        ctypes.memmove(self.address + ctypes.sizeof(_MsgHeader), bytes(data), len(data))
        self._header().len = len(data)

    def route(self, src, dst):
        """Sets the sending and the destination module."""
        h = self._header()
        h.src, h.dst = src, dst

    @property
    def shares(self):
        """Shares of this buffer held now when it came through a group (0: not shared)."""
        return _lib.PXR_message_shares(self.address)

    @property
    def is_request(self):
        return (self._header().type & REQUEST) != 0

    def release(self):
        """Gives the buffer back to its partition (nothing when it is no longer ours)."""
        if self._ptr is not None:
            ptr, msg_class = self._ptr, self._header().msg_class
            self._forget()
            if _lib.relm(ptr) != 0:
                raise PxrError("relm did not release the buffer (message class %#x; classes "
                               "with bit 6 or 7 set are not released)" % msg_class)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.release()

    def __del__(self):
        try:
            self.release()
        except Exception:
            pass

    def __repr__(self):
        if self._ptr is None:
            return "<pxrlib.Message (not owned)>"
        h = self._header()
        return "<pxrlib.Message type=%#x id=%d %#x->%#x len=%d>" % (h.type, h.id, h.src, h.dst,
                                                                   h.len)


def _header_field(name, doc):
    def get(self):
        return getattr(self._header(), name)

    def set_(self, value):
        setattr(self._header(), name, value)
    return property(get, set_, doc=doc)


for _name, _doc in [("type", "message type; bit 14 marks a request"), ("id", "identifier"),
                    ("src", "sending module"), ("dst", "destination module"),
                    ("reply_mask", "modules that want the answer"), ("msg_class", "class byte"),
                    ("status", "status byte"), ("info", "auxiliary word"),
                    ("instance", "instance number")]:
    setattr(Message, _name, _header_field(_name, _doc))
Message.length = _header_field("len", "parameter bytes in use (len)")


class Environment:
    """This process's use of the environment: created (the loader's side) or attached."""

    _active = None

    def __init__(self, owner):
        self._owner = owner
        self._open = True
        self._messages = weakref.WeakSet()
        Environment._active = self

    @classmethod
    def _check_free(cls):
        load_library()
        if cls._active is not None and cls._active._open:
            raise EnvironmentExists("this process uses an environment already; close it first")

    @classmethod
    def create(cls, partitions, queues=(), aliases=None, atomic=False, error_print=False,
               fatal_action=0, congestion_module=0, ring_queues=0, access=None, groups=None,
               all_or_nothing=()):
        """Creates the environment. partitions: (buffers, parameter_size[, onset, abate]) for
        partition 0 and optionally 1; queues: module ids with a queue of their own; aliases:
        {module: target}; groups: {group: [member, ...]} (members with queues of their own; the
        groups in all_or_nothing reach every member or none); ring_queues: records per module queue kept in shared memory (a power
        of two from 16 to 65536; 0: kernel queues); access: the objects' permission bits, 0o600
        (this user), 0o660 (and its group) or 0o666 (every local user; None: the library's
        default, 0o666 in a standard build). Closing it stops the recorded processes and
        removes every object."""
        cls._check_free()
        flags = 0x1 | ((fatal_action & 0xF) << 28)
        flags |= (0x4 if atomic else 0) | (0x2 if error_print else 0)
        code = _lib.PXR_init(flags, 0, congestion_module)
        if code != 0:
            if code not in (1, 6):
                _lib.PXR_close()  # removes the system lock this attempt made
            raise _init_error("PXR_init(create)", code)
        env = cls(owner=True)
        try:
            if access is not None and _lib.PXR_set_access(access) != 0:
                raise PxrError("access %#o refused (0o600, 0o660 or 0o666)" % access)
            if ring_queues and _lib.PXR_ring_queues(ring_queues) != 0:
                raise PxrError("ring queues of %d records refused (a power of two from 16 to "
                               "65536)" % ring_queues)
            for p, part in enumerate(partitions):
                buffers, size, onset, abate = (tuple(part) + (0, 0))[:4]
                if _lib.PXR_open_partition(p, buffers, size, onset, abate,
                                           0x1 | (0x4 if atomic else 0)) != 0:
                    raise PxrError("partition %d (%d buffers of %d bytes, onset %d, abate %d) "
                                   "refused" % (p, buffers, size, onset, abate))
            for module in queues:
                if _lib.IPC_create(module, 1) != 0:
                    raise PxrError("no queue for module %#x (ids 0..254)" % module)
            for module, target in (aliases or {}).items():
                if _lib.IPC_attach(module, target) != 0:
                    raise PxrError("alias %#x -> %#x refused: the target has no queue"
                                   % (module, target))
            for group, members in (groups or {}).items():
                if _lib.PXR_group_create(group, bytes(members), len(members)) != 0 or (
                        group in all_or_nothing and _lib.PXR_group_all_or_nothing(group) != 0):
                    raise PxrError("group %#x refused: 1 to 16 distinct members with queues of "
                                   "their own, and an id that is no queue, alias or group" % group)
        except PxrError:
            env.close()
            raise
        return env

    @classmethod
    def attach(cls, wait=False):
        """Attaches to a running environment. wait=True retries for about 15 seconds while
        the loader is still building it."""
        cls._check_free()
        code = _lib.PXR_link() if wait else _lib.PXR_init(0, 0, 0)
        if code not in (0, 6):  # 6: attached already (lazily, by a C call): use that
            raise _init_error("PXR_link" if wait else "PXR_init(attach)", code)
        return cls(owner=False)

    def close(self):
        """Releases the messages still held, then detaches (or, for the creator, removes the
        environment). Closing twice does nothing."""
        if not self._open:
            return
        for m in list(self._messages):
            if self._owner:
                m._forget()  # the buffers go away with the environment
            else:
                m.release()
        self._open = False
        if self._owner:
            _lib.PXR_close()
        else:
            _lib.PXR_unlink()
        Environment._active = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def _check(self):
        if not self._open:
            raise PxrError("the environment was closed")

    # messages ----------------------------------------------------------------------------
    def message(self, type=0, id=0, reply_mask=0, length=0, data=None, timeout=None):
        """A new message (getm). With data, its bytes become the parameters. With timeout
        (seconds), a partition without a free buffer is waited on that long
        (PXR_timed_getmem): None when the time is up, and never a fatal event."""
        self._check()
        size = len(memoryview(data).cast("B")) if data is not None else length
        if timeout is None:
            ptr = _lib.getm(type, id, reply_mask, size)
        else:
            word, out = ctypes.c_uint32(size), ctypes.c_void_p()
            code = _lib.PXR_timed_getmem(0, ctypes.byref(word), ctypes.byref(out),
                                         _milliseconds(timeout))
            if code == 1 and size <= max(self._param_sizes()):
                return None
            ptr = out.value if code == 0 else None
            if ptr:
                h = _MsgHeader.from_address(ptr)  # the header getm would fill
                h.type, h.id, h.reply_mask, h.len = type, id, reply_mask, size
                h.msg_class = h.status = h.info = h.instance = 0
        if not ptr:
            raise NoBuffer("no free buffer with %d parameter bytes (partitions full or too "
                           "small, or the environment is gone)" % size)
        m = Message(self, ptr)
        if data is not None:
            m.set_params(data)
        return m

    def _param_sizes(self):
        headers = (ctypes.POINTER(_PartitionHeader) * 2).in_dll(_lib, "partition_hdr")
        return [h.contents.param_size for h in headers if h] or [0]

    def _traffic_forbidden(self):
        area = _lib.PXR_common_area()
        return bool(area) and bool(_CommonArea.from_address(area).flags & 0x4)

    def send(self, dst, msg, timeout=None):
        """Sends msg to module dst; msg is the receiver's then (True). On failure msg stays
        ours. With timeout (seconds), a full queue is waited on that long (PXR_timed_send):
        False when the time is up. To a group, True once any member got it (send_to_group
        tells how many missed it)."""
        self._check()
        if timeout is None:
            code = _lib.PXR_send(dst, msg.address)
        else:
            code = _lib.PXR_timed_send(dst, msg.address, _milliseconds(timeout))
            if code == 1 and not self._traffic_forbidden():
                return False
        # To a group, a count of members that missed it: the others got msg (a group send
        # answers -1, never 1, when traffic is forbidden).
        if code == 0 or (timeout is None and (code > 1 or
                                              (code == 1 and not self._traffic_forbidden()))):
            msg._forget()
            return True
        if code == 1:
            raise TrafficForbidden("the environment forbids traffic; the message is still ours")
        raise SendError("send to module %#x failed: it has no queue, its queue stayed full, or "
                        "the environment is gone; the message is still ours" % dst)

    def send_batch(self, dst, msgs):
        """Sends the messages of the list msgs to module dst in order (PXR_send_batch): the
        number that went, from the front; those are the receiver's, the rest stay ours. A
        library without batches sends them one by one. Raises as send() does only when none
        went."""
        self._check()
        msgs = list(msgs)
        if not msgs:
            return 0
        batch = getattr(_lib, "PXR_send_batch", None)
        if batch is None:  # an older library: one by one
            for sent, m in enumerate(msgs):
                try:
                    self.send(dst, m)
                except (SendError, TrafficForbidden):
                    if sent == 0:
                        raise
                    return sent
            return len(msgs)
        code = ctypes.c_int(0)
        sent = batch(dst, (ctypes.c_void_p * len(msgs))(*[m.address for m in msgs]), len(msgs),
                     ctypes.byref(code))
        for m in msgs[:sent]:
            m._forget()
        if sent == 0 and code.value == 1:
            raise TrafficForbidden("the environment forbids traffic; the messages are still ours")
        if sent == 0:
            raise SendError("send to module %#x failed: it has no queue, its queue stayed full, "
                            "or the environment is gone; the messages are still ours" % dst)
        return sent

    def receive_batch(self, module, count, timeout=None):
        """Up to count messages of module as a list: waits for the first as receive() does
        (timeout in seconds, None: without limit; 0 takes only what is waiting), then takes
        those already waiting (PXR_receive_batch). An empty list where receive() gives None."""
        self._check()
        if count <= 0:
            return []
        out = (ctypes.c_void_p * count)()
        ctypes.set_errno(0)
        if timeout is None:
            n = _lib.PXR_receive_batch(module, out, count)
        else:
            n = _lib.PXR_timed_receive_batch(module, out, count, max(0, int(timeout * 1000)))
            if n == 0 and ctypes.get_errno() == errno.ETIMEDOUT:
                return []
        if n == 0:
            self._received(None)  # raises when the environment went away
            return []
        return [self._received(out[i]) for i in range(n)]

    def send_to_group(self, group, msg):
        """Sends msg to every member of group in one buffer. The number of members that missed
        it (their queues were full; 0: all got it), msg being theirs then; SendError when none
        did (msg stays ours). Members read the buffer and must not write it; each gives its
        share back with release()."""
        self._check()
        missed = _lib.PXR_send(group, msg.address)
        if missed < 0:
            raise SendError("send to group %#x reached no member (full queues, traffic forbidden, "
                            "or a shared buffer); the message is still ours" % group)
        msg._forget()
        return missed

    def _received(self, ptr):
        if ptr:
            return Message(self, ptr)
        if _sys_failure():
            # The library has detached this process: the buffers are no longer mapped.
            for m in list(self._messages):
                m._forget()
            self._open = False
            Environment._active = None
            raise EnvironmentGone("the receive failed for good: the environment went away "
                                  "(this process is detached)")
        return None

    def grab(self, module):
        """The next message of module, or None at once when there is none."""
        self._check()
        return self._received(_lib.PXR_grab(module))

    def receive(self, module, timeout=None):
        """The next message of module; waits up to timeout seconds (None: without limit).
        None when the time is up, the wait was interrupted, or module has no queue of its
        own."""
        self._check()
        if timeout is None:
            return self._received(_lib.PXR_receive(module))
        timed = getattr(_lib, "PXR_timed_receive", None)
        if timed is not None:
            ctypes.set_errno(0)
            ptr = timed(module, max(0, int(timeout * 1000)))
            if not ptr and ctypes.get_errno() == errno.ETIMEDOUT:
                return None
            return self._received(ptr)
        # A library without the timed receive: look, then sleep a little, until the time is up.
        deadline, pause = time.monotonic() + timeout, 0.0005
        while True:
            m = self._received(_lib.PXR_grab(module))
            if m is not None or time.monotonic() >= deadline:
                return m
            time.sleep(min(pause, max(0.0, deadline - time.monotonic())))
            pause = min(pause * 2, 0.01)

    def confirm(self, msg):
        """Answers msg to its sender when it asked for it (confirm_msg), else releases it. The
        message is no longer ours either way."""
        self._check()
        ptr = msg.address
        msg._forget()
        _lib.confirm_msg(ptr)

    def ring_capacity(self):
        """Records per module queue when the environment keeps its queues in rings; 0 for
        kernel queues."""
        self._check()
        return _lib.PXR_ring_capacity()

    def access(self):
        """The permission bits of the environment's objects (0o600, 0o660 or 0o666)."""
        self._check()
        return _lib.PXR_access()

    def pending(self, module):
        """Records waiting in module's queue."""
        self._check()
        n = _lib.PXR_pending_msgs(module)
        if n < 0:
            raise PxrError("module %#x has no queue" % module)
        return n

    def set_receive_spin(self, microseconds, default=False):
        """Sets this process's receive spin window (0: off); with default=True the creator
        sets the window every process that attaches later starts with."""
        self._check()
        call = _lib.PXR_set_default_receive_spin if default else _lib.PXR_set_receive_spin
        if call(microseconds) != 0:
            raise PxrError("receive spin window of %d us refused (at most 1000000%s)"
                           % (microseconds, "; only the creator sets the default" if default
                              else ""))

    def set_buffer_cache(self, depth):
        """Lets each thread of this process keep up to depth released buffers of the lock-free
        pool per partition for its next allocations (0: off; at most 64). Cached buffers count
        as allocated to this process (the status report, pxr check)."""
        self._check()
        call = getattr(_lib, "PXR_set_buffer_cache", None)
        if call is None or call(depth) != 0:
            raise PxrError("buffer cache of %d refused (at most 64, and a library with caches)"
                           % depth)

    @property
    def buffer_cache(self):
        """The buffers per partition each thread of this process may keep; 0 when off."""
        call = getattr(_lib, "PXR_get_buffer_cache", None)
        return call() if call is not None else 0

    # the environment as a whole ------------------------------------------------------------
    def wait_exit(self):
        """The creator's side: admits attachers and blocks until a process terminates the
        environment; returns its exit status."""
        self._check()
        return _lib.PXR_wait_exit()

    def terminate(self):
        """Asks the environment to end (PXR_terminate)."""
        self._check()
        if _lib.PXR_terminate() != 0:
            raise PxrError("PXR_terminate failed: the environment could not be reached")

    def status(self):
        """The status report as a dict (free = buffers minus allocated)."""
        self._check()
        area = _lib.PXR_common_area()
        if not area:
            raise EnvironmentGone("this process is no longer attached to the environment")
        ca = _CommonArea.from_address(area)
        major, minor = ctypes.c_uint32(), ctypes.c_uint32()
        _lib.PXR_get_version(ctypes.byref(major), ctypes.byref(minor))
        headers = (ctypes.POINTER(_PartitionHeader) * 2).in_dll(_lib, "partition_hdr")
        count = max(0, min(ca.process_count, 250))
        return {
            "restart_time": ca.restart_time.text(),
            "congestion_module": ca.congestion_module,
            "interface_version": "%d.%d" % (major.value, minor.value),
            "internal_errors": ca.internal_errors,
            "atomic": bool(ca.atomic_mode & 1),
            "running": bool(ca.flags & 0x8),
            "fatal_code": ca.fatal_code,
            "exit_status": ca.exit_status,
            "processes": [{"pid": e.pid, "name": e.name.decode(errors="replace")}
                          for e in ca.processes[:count]],
            "partitions": [_partition_dict(p, h.contents)
                           for p, h in enumerate(headers) if h],
            "dropped_records": _lib.PXR_dropped_records(),
        }


def _partition_dict(p, h):
    return {
        "partition": p, "param_size": h.param_size, "buffers": h.num_msgs,
        "allocated": h.alloc_count, "free": h.num_msgs - h.alloc_count,
        "max_allocated": h.max_alloc, "max_allocated_since_reset": h.max_alloc_reset,
        "max_time": h.max_alloc_time.text(), "out_of_msg": h.out_of_msg,
        "congestion": {"onset": h.cong_onset, "abate": h.cong_abate,
                       "status": h.cong_status, "count": h.cong_count,
                       "count_since_reset": h.cong_count_reset,
                       "last_onset": h.cong_onset_time.text()},
    }


