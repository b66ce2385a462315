"""The Python binding against the built library, each case in a fresh environment (the whole
run is in a private IPC namespace)."""
import ctypes
import gc
import os
import subprocess
import time

import pytest

import pxrlib

ME, PEER = 0x21, 0x20


@pytest.fixture(params=[0, 16], ids=["kernel-queues", "ring-queues"])
def env(request):
    with pxrlib.Environment.create(partitions=[(8, 64), (2, 1024)], queues=[ME, PEER],
                                   atomic=True, ring_queues=request.param) as e:
        assert e.ring_capacity() == request.param
        yield e


def test_access_is_chosen_at_creation():
    with pxrlib.Environment.create(partitions=[(4, 16)], access=0o600) as e:
        assert e.access() == 0o600
    with pytest.raises(pxrlib.PxrError, match="access 0o644 refused"):
        pxrlib.Environment.create(partitions=[(4, 16)], access=0o644)


def allocated(env):
    return sum(p["allocated"] for p in env.status()["partitions"])


def test_parameters_are_the_buffer_itself(env):
    with env.message(type=0x100, id=7, length=4) as m:
        view = m.params
        view[:] = b"abcd"  # written through the view, into shared memory
        m.route(ME, PEER)
        m.instance = 99
        address = m.address
        env.send(PEER, m)
        assert not m.owned
        with pytest.raises(ValueError):  # the views of a sent message are released
            view[0]
        with pytest.raises(pxrlib.PxrError, match="no longer ours"):
            m.params
    got = env.grab(PEER)
    assert (got.address, bytes(got.params), got.id, got.instance) == (address, b"abcd", 7, 99)
    assert (got.src, got.dst, got.length, got.capacity) == (ME, PEER, 4, 64)
    got.buffer[60:64] = b"wxyz"
    assert ctypes.string_at(address + 24 + 60, 4) == b"wxyz"
    assert allocated(env) == 1
    got.release()
    assert allocated(env) == 0


def test_release_on_with_and_garbage_collection(env):
    with env.message(data=b"hi"):
        assert allocated(env) == 1
    assert allocated(env) == 0
    m = env.message(data=b"x" * 100)  # partition 1
    assert env.status()["partitions"][1]["allocated"] == 1
    del m
    gc.collect()
    assert allocated(env) == 0


def test_confirm_answers_the_sender(env):
    request = env.message(type=0x4101, id=3, reply_mask=pxrlib.reply_bit(ME), data=b"q")
    request.route(ME, PEER)
    env.send(PEER, request)
    got = env.grab(PEER)
    assert got.is_request
    env.confirm(got)
    answer = env.receive(ME, timeout=5)
    assert (answer.is_request, answer.id, answer.src, answer.dst) == (False, 3, PEER, ME)
    answer.release()


def test_timed_receive_gives_up(env):
    start = time.monotonic()
    assert env.receive(PEER, timeout=0.2) is None
    assert time.monotonic() - start >= 0.15
    assert env.grab(PEER) is None


def test_batches_are_lists(env):
    msgs = [env.message(id=i, length=4) for i in range(3)]
    assert env.send_batch(PEER, msgs) == 3
    got = env.receive_batch(PEER, 8, timeout=1)
    assert [m.id for m in got] == [0, 1, 2]
    assert env.receive_batch(PEER, 8, timeout=0) == []
    for m in got:
        m.release()
    env.set_buffer_cache(8)
    assert env.buffer_cache == 8
    with pytest.raises(pxrlib.PxrError, match="at most 64"):
        env.set_buffer_cache(65)
    env.set_buffer_cache(0)


def test_waiting_allocation_and_send_give_up_when_the_time_is_up(env):
    held = [env.message(length=8) for _ in range(7)]  # the lock-free pool keeps one back
    assert env.message(length=8, timeout=0.05) is None
    assert env.status()["fatal_code"] == 0
    with pytest.raises(pxrlib.NoBuffer):
        env.message(length=5000, timeout=5)  # no partition that large: at once
    held.pop().release()
    m = env.message(type=3, id=4, length=8, timeout=1)
    assert (m.type, m.id, m.length, m.msg_class) == (3, 4, 8, 0)
    while pxrlib.load_library().PXR_timed_send(PEER, m.address, 0) == 0:
        pass  # the queue fills with references to m
    assert env.send(PEER, m, timeout=0.05) is False and m.owned
    assert env.status()["internal_errors"] == 0
    env.grab(PEER)._forget()
    assert env.send(PEER, m, timeout=1) is True and not m.owned


def test_a_group_shares_one_buffer():
    with pxrlib.Environment.create(partitions=[(8, 64)], queues=[ME, PEER],
                                   groups={0x40: [ME, PEER]}) as env:
        m = env.message(data=b"all")
        assert env.send_to_group(0x40, m) == 0 and not m.owned
        a, b = env.grab(ME), env.grab(PEER)
        assert (a.address, bytes(b.params), a.shares) == (b.address, b"all", 2)
        a.release()
        assert (b.shares, allocated(env)) == (1, 1)
        b.release()
        assert allocated(env) == 0
        # A plain send that a full member misses has still gone to the other one.
        filler = env.message()
        while pxrlib.load_library().PXR_timed_send(PEER, filler.address, 0) == 0:
            pass
        m = env.message()
        assert env.send(0x40, m) is True and not m.owned and env.grab(ME).shares == 1


@pytest.mark.parametrize("action, error, text", [
    (lambda e: e.message(length=5000), pxrlib.NoBuffer, "5000 parameter bytes"),
    (lambda e: e.message().set_params(b"x" * 65), ValueError, "do not fit"),
    (lambda e: pxrlib.Environment.create(partitions=[(1, 8)]), pxrlib.EnvironmentExists,
     "close it first"),
    (lambda e: e.pending(0x30), pxrlib.PxrError, "has no queue"),
])
def test_failures_raise_with_their_reason(env, action, error, text):
    with pytest.raises(error, match=text):
        action(env)


def test_without_environment():
    with pytest.raises(pxrlib.NoEnvironment, match="returned .*no environment"):
        pxrlib.Environment.attach()
    with pytest.raises(pxrlib.PxrError, match="partition 0 .* refused"):
        pxrlib.Environment.create(partitions=[(0, 8)])
    with pxrlib.Environment.create(partitions=[(4, 8)]) as e:  # the failed create left nothing
        assert e.status()["partitions"][0]["buffers"] == 4
    loaded, pxrlib._lib = pxrlib._lib, None
    try:
        with pytest.raises(pxrlib.LibraryNotFound, match="^libpxrlib not found"):
            pxrlib.load_library("/nonexistent/libpxrlib.so.1")
    finally:
        pxrlib._lib = loaded


@pytest.mark.skipif("PXR_TOOL" not in os.environ, reason="needs the built pxr and ping")
def test_responder_answers_the_c_ping(tmp_path):
    root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    conf = tmp_path / "responder.conf"
    conf.write_text("partition 0 buffers=50 size=64\nqueue 0x20 0x21\n"
                    "spawn /usr/bin/python3 %s/examples/python/responder.py 0x20\n"
                    "spawn %s 0x21 0x20 500\n" % (root, os.environ["PXR_PING"]))
    run = subprocess.run([os.environ["PXR_TOOL"], "load", "--timeout", "60", str(conf)],
                         capture_output=True, text=True, timeout=90)
    assert run.returncode == 0, run.stderr
    assert "ping: 500 round trips to 0x20" in run.stdout
