"""Subscription: the class, the receives that return bytes, iteration, the
event-loop handshake, descriptors, properties and borrows (one process)."""

import json
import mmap
import os
import select
import struct
import threading
import time
import weakref

import pytest

from qorva import _qorva
from qorva._qorva import Subscription

from support import TOPIC, borrowed, publish, run_python, wait_until


# Byte offset of wakeup_armed[idx] in ring.mmap for a ring of `n` cursor slots.
def flag_offset(n, idx):
    return 64 + 8 * (n + idx)


def wakeup_flag(base_dir, bus_name, max_subscribers=16, idx=0, set_to=None):
    """The flag's value; with `set_to`, stores that value first."""
    path = os.path.join(base_dir, bus_name, TOPIC, "ring.mmap")
    with open(path, "r+b") as f, mmap.mmap(f.fileno(), 0) as m:
        if set_to is not None:
            struct.pack_into("<Q", m, flag_offset(max_subscribers, idx), set_to)
        return struct.unpack_from("<Q", m, flag_offset(max_subscribers, idx))[0]


def readable(fd, timeout=0.0):
    return bool(select.select([fd], [], [], timeout)[0])


def in_thread(fn, *args):
    """Runs fn in a thread; returns (thread, outcome list filled on return)."""
    out = []

    def run():
        try:
            out.append(("ok", fn(*args)))
        except BaseException as e:  # reported to the test
            out.append(("err", e))

    t = threading.Thread(target=run, daemon=True)
    t.start()
    return t, out


# --- the class ----------------------------------------------------------------

def test_class_cannot_be_constructed_or_subclassed():
    with pytest.raises(TypeError, match="^No constructor defined for Subscription$"):
        Subscription()
    with pytest.raises(TypeError):
        type("Sub", (Subscription,), {})
    assert Subscription.__module__ == "qorva._qorva"
    assert Subscription.__name__ == Subscription.__qualname__ == "Subscription"
    assert Subscription.__text_signature__ is None
    assert "with" in Subscription.__doc__


def test_instances_have_no_dict_and_no_weakrefs(sub):
    assert not hasattr(sub, "__dict__")
    with pytest.raises(AttributeError):
        sub.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(sub)


@pytest.mark.parametrize("name, signature", [
    ("recv", "($self)"),
    ("recv_timeout", "($self, timeout_secs=1.0)"),
    ("try_recv", "($self)"),
    ("recv_into", "($self, buf)"),
    ("recv_timeout_into", "($self, buf, timeout_secs=1.0)"),
    ("try_recv_into", "($self, buf)"),
    ("recv_batch", "($self, n, timeout_secs=1.0)"),
    ("recv_into_buffer", "($self, buf, payload_size, timeout_secs=1.0)"),
    ("fileno", "($self)"),
    ("socket_fileno", "($self)"),
    ("arm_wakeup", "($self)"),
    ("drain_wakeup", "($self)"),
    ("poll_recv", "($self)"),
    ("__enter__", "($self)"),
    ("__exit__", "($self, _exc_type=None, _exc_val=None, _exc_tb=None)"),
])
def test_methods_show_their_signature_then_prose(name, signature):
    method = getattr(Subscription, name)
    assert method.__text_signature__ == signature
    if not name.startswith("__"):  # the context-manager members say nothing more
        assert method.__doc__.strip()


@pytest.mark.parametrize("name", ["lag", "cursor", "max_payload_size"])
def test_properties_are_read_only(sub, name):
    assert isinstance(getattr(sub, name), int)
    with pytest.raises(AttributeError):
        setattr(sub, name, 1)


# --- receiving bytes ----------------------------------------------------------

def test_messages_arrive_in_order_through_every_bytes_receive(bus, sub):
    publish(bus, b"a", b"bb", b"", b"dddd", b"e", b"f")
    assert sub.recv() == b"a"
    assert sub.try_recv() == b"bb"
    assert sub.recv_timeout(1.0) == b""  # a zero-length message is b"", never None
    assert sub.recv_batch(2, timeout_secs=1.0) == [b"dddd", b"e"]
    assert next(sub) == b"f"
    assert sub.try_recv() is None
    assert sub.cursor == 6


def test_try_recv_on_an_empty_topic_returns_none(sub):
    assert sub.try_recv() is None
    assert sub.try_recv() is None


def test_zero_timeout_makes_one_attempt(bus, sub):
    start = time.monotonic()
    assert sub.recv_timeout(0.0) is None
    assert sub.recv_batch(5, timeout_secs=0) == []
    assert time.monotonic() - start < 0.5
    publish(bus, b"x")
    assert sub.recv_timeout(0.0) == b"x"


def test_recv_timeout_waits_about_its_timeout(sub):
    start = time.monotonic()
    assert sub.recv_timeout(0.1) is None
    elapsed = time.monotonic() - start
    assert 0.085 <= elapsed < 2.0


class FloatLike:
    def __float__(self):
        return 0.0


class IndexLike:
    def __index__(self):
        return 0


@pytest.mark.parametrize("timeout", [0, 0.0, False, 0.0001, FloatLike(), IndexLike()])
def test_timeout_accepts_numbers_and_number_protocols(sub, timeout):
    assert sub.recv_timeout(timeout) is None


@pytest.mark.parametrize("call, exc, pattern", [
    (lambda s: s.recv_timeout(None), TypeError, r"^argument 'timeout_secs': "),
    (lambda s: s.recv_timeout(10 ** 400), OverflowError, r"^int too large to convert to float$"),  # not wrapped
    (lambda s: s.recv_timeout("1"), TypeError, r"^argument 'timeout_secs': "),
    (lambda s: s.recv_batch("x"), TypeError, r"^argument 'n': "),
    (lambda s: s.recv_batch(1.5), TypeError, r"^argument 'n': "),
    (lambda s: s.recv_batch(-1), OverflowError, ""),
    (lambda s: s.recv_batch(2 ** 64), OverflowError, ""),
    (lambda s: s.recv_batch(1, None), TypeError, r"^argument 'timeout_secs': "),
    (lambda s: s.recv_batch(), TypeError, r"missing 1 required positional argument: 'n'"),
    (lambda s: s.recv_batch(1, n=1), TypeError, r"got multiple values for argument 'n'"),
    (lambda s: s.recv_timeout(bogus=1), TypeError, r"got an unexpected keyword argument 'bogus'"),
    (lambda s: s.recv_timeout(1, 2), TypeError, r"takes from 0 to 1 positional arguments but 2 were given"),
    (lambda s: s.recv(1), TypeError, ""),
    (lambda s: s.try_recv(1), TypeError, ""),
])
def test_argument_errors(bus, sub, call, exc, pattern):
    publish(bus, b"keep")
    with pytest.raises(exc, match=pattern):
        call(sub)
    assert sub.try_recv() == b"keep"  # nothing was consumed


# Every parameter can be given by keyword: (call, result for the message b"m").
@pytest.mark.parametrize("call, result", [
    (lambda s: s.recv_timeout(timeout_secs=1.0), b"m"),
    (lambda s: s.recv_batch(n=2, timeout_secs=1.0), [b"m"]),
    (lambda s: s.recv_batch(timeout_secs=1.0, n=2), [b"m"]),
    (lambda s: s.recv_into(buf=bytearray(4)), 1),
    (lambda s: s.try_recv_into(buf=bytearray(4)), 1),
    (lambda s: s.recv_timeout_into(buf=bytearray(4), timeout_secs=1.0), 1),
    (lambda s: s.recv_into_buffer(timeout_secs=1.0, payload_size=1, buf=bytearray(4)), 1),
])
def test_arguments_by_keyword(bus, sub, call, result):
    publish(bus, b"m")
    assert call(sub) == result
    assert sub.__exit__(_exc_type=None, _exc_val=None, _exc_tb=None) is False


# Every member that takes a timeout: (call(sub, timeout), its result with
# nothing ready, its result for the one-byte message b"m").
TIMED = {
    "recv_timeout": (lambda s, t: s.recv_timeout(t), None, b"m"),
    "recv_batch": (lambda s, t: s.recv_batch(3, t), [], [b"m"]),
    "recv_timeout_into": (lambda s, t: s.recv_timeout_into(bytearray(8), t), None, 1),
    "recv_into_buffer": (lambda s, t: s.recv_into_buffer(bytearray(8), 1, t), 0, 1),
}


@pytest.mark.parametrize("member", TIMED)
@pytest.mark.parametrize("bad", [-1.0, -1e-300, float("-inf"), float("nan"), -(2 ** 70)])
def test_timeouts_outside_the_range_are_refused(bus, sub, member, bad):
    call, _, _ = TIMED[member]
    publish(bus, b"keep")
    with pytest.raises(ValueError, match="^timeout_secs must be a non-negative number$"):
        call(sub, bad)
    assert sub.try_recv() == b"keep"  # nothing was consumed


@pytest.mark.parametrize("member", TIMED)
@pytest.mark.parametrize("huge", [float("inf"), 1e300, 2.0 ** 64, 2 ** 63, 2 ** 200])
def test_huge_timeouts_never_end_the_process(bus, sub, member, huge):
    call, _, got = TIMED[member]
    publish(bus, b"m")
    assert call(sub, huge) == got


@pytest.mark.parametrize("member", TIMED)
@pytest.mark.parametrize("zero", [-0.0, 0, 1e-12, 4e-10])
def test_timeouts_that_round_to_zero_make_one_attempt(sub, member, zero):
    call, nothing, _ = TIMED[member]
    assert call(sub, zero) == nothing


# The same members as source for a child process, with a 0.3 s timeout.
TIMED_SOURCE = {
    "recv_timeout": "sub.recv_timeout(0.3)",
    "recv_batch": "sub.recv_batch(3, 0.3)",
    "recv_timeout_into": "sub.recv_timeout_into(bytearray(8), 0.3)",
    "recv_into_buffer": "sub.recv_into_buffer(bytearray(8), 1, 0.3)",
}


@pytest.mark.parametrize("member", TIMED)
def test_timed_receives_end_under_a_periodic_signal(base_dir, bus_name, member):
    # In a child whose only thread takes the SIGALRM of a 50 ms interval timer:
    # each signal interrupts the wait, which must still end by its deadline (a
    # wait that starts over would never return, and the child would time out)
    # and then let the Python handler run.
    out = run_python(f"""
        import json, signal
        from qorva._qorva import _RustBus
        bus = _RustBus({bus_name!r}, base_dir={base_dir!r}, capacity=64, slot_size=1024, wal_enabled=False)
        bus.publish_many("t", [])
        sub = bus.subscribe("t", timeout_secs=5)
        handled = []
        signal.signal(signal.SIGALRM, lambda *_: handled.append(1))
        signal.setitimer(signal.ITIMER_REAL, 0.05, 0.05)
        result = {TIMED_SOURCE[member]}
        signal.setitimer(signal.ITIMER_REAL, 0)
        print(json.dumps({{"result": repr(result), "handled": len(handled)}}))
    """, timeout=30)
    report = json.loads(out)
    assert report["result"] == repr(TIMED[member][1])
    assert report["handled"] > 0


def test_recv_into_buffer_without_a_slot_never_converts_the_timeout(sub):
    for bad in (-1.0, float("nan")):
        assert sub.recv_into_buffer(bytearray(4), 8, bad) == 0  # no slot fits
        with pytest.raises(ValueError, match="^payload_size must be > 0$"):
            sub.recv_into_buffer(bytearray(4), 0, bad)


def test_recv_batch_of_zero_returns_at_once_for_any_timeout(sub):
    for timeout in (1.0, -5.0, float("nan"), float("inf"), 10 ** 30):
        assert sub.recv_batch(0, timeout) == []


def test_recv_batch_takes_at_most_n_and_leaves_the_rest(bus, sub):
    publish(bus, b"1", b"2", b"3", b"4", b"5")
    assert sub.recv_batch(2) == [b"1", b"2"]
    assert sub.recv() == b"3"
    assert sub.recv_batch(5, timeout_secs=0) == [b"4", b"5"]


def test_recv_batch_with_the_largest_n_does_not_reserve_it(bus, sub):
    publish(bus, b"1", b"2", b"3")
    assert sub.recv_batch(2 ** 64 - 1, 0) == [b"1", b"2", b"3"]


def test_large_payloads_grow_the_buffer_and_come_back_whole(bus, sub):
    sizes = [1024, 1, 700, 1024, 0, 1000]
    payloads = [bytes([i]) * n for i, n in enumerate(sizes)]
    publish(bus, *payloads)
    got = [sub.recv(), sub.recv_timeout(1)] + sub.recv_batch(4, 1)
    assert got == payloads


# --- iteration and a vanished publisher -----------------------------------------

def test_iter_returns_the_object_itself(sub):
    assert iter(sub) is sub


def prepare_leaving(sock, how):
    """Before the publisher goes. "reset": the subscriber leaves a byte on its
    connection that the publisher never reads, so that the publisher's close
    resets the connection (ECONNRESET) instead of hanging it up."""
    if how == "reset":
        os.write(sock, b"x")


HOW_PUBLISHERS_GO = ["hang-up", "reset"]


@pytest.mark.parametrize("how", HOW_PUBLISHERS_GO)
def test_iteration_drains_the_ring_then_ends_quietly_when_the_publisher_goes(make_bus, how):
    bus = make_bus()
    bus.publish_many(TOPIC, [])
    sub = bus.subscribe(TOPIC, timeout_secs=5)
    publish(bus, b"1", b"2", b"3")
    prepare_leaving(sub.socket_fileno(), how)
    del bus  # destroys the publisher and its connections
    assert list(sub) == [b"1", b"2", b"3"]
    with pytest.raises(StopIteration):
        next(sub)
    with pytest.raises(OSError) as info:
        sub.recv()
    assert str(info.value) == "publisher disconnected"
    assert info.value.errno is None and type(info.value) is OSError
    with pytest.raises(OSError, match="^publisher disconnected$"):
        sub.recv_timeout(1.0)
    assert sub.try_recv() is None
    assert sub.recv_batch(3, 0) == []
    # The event-loop members do not notice; the socket descriptor does.
    assert sub.drain_wakeup() is False
    assert sub.poll_recv() is None
    p = select.poll()
    p.register(sub.socket_fileno(), select.POLLIN)
    events = p.poll(1000)
    assert events and events[0][1] & select.POLLHUP
    if how == "reset":  # it really was a reset, not a plain hang-up
        with pytest.raises(ConnectionResetError):
            os.read(sub.socket_fileno(), 1)


@pytest.mark.parametrize("how", HOW_PUBLISHERS_GO)
def test_iteration_ends_when_a_blocked_next_sees_the_publisher_go(make_bus, how):
    bus = make_bus()
    bus.publish_many(TOPIC, [])
    sub = bus.subscribe(TOPIC, timeout_secs=5)
    sock = sub.socket_fileno()  # not readable while next() holds the subscription
    publish(bus, b"first")
    got = []

    def iterate():
        for m in sub:
            got.append(m)
        return "ended"

    t, out = in_thread(iterate)
    wait_until(lambda: got == [b"first"] and borrowed(sub))
    prepare_leaving(sock, how)
    del bus
    t.join(5)
    assert out == [("ok", "ended")]


# --- the interpreter lock and borrows -------------------------------------------

@pytest.mark.parametrize("receive", [
    lambda s: s.recv(),
    lambda s: next(s),
    lambda s: s.recv_timeout(10),
    lambda s: s.recv_batch(4, 10)[0],
])
def test_blocking_receives_let_a_publishing_thread_run(bus, sub, receive):
    def late_publish():
        wait_until(lambda: borrowed(sub))
        time.sleep(0.05)
        bus.publish(TOPIC, b"late")

    t = threading.Thread(target=late_publish, daemon=True)
    t.start()
    assert receive(sub) == b"late"
    t.join(5)


@pytest.mark.parametrize("receive", [
    lambda s: s.recv(),
    lambda s: s.recv_timeout(0.9),
    lambda s: s.recv_into(bytearray(64)),
    lambda s: s.recv_timeout_into(bytearray(64), 0.9),
])
def test_a_blocked_receive_sleeps_once_its_watch_is_over(bus, sub, receive):
    """About a second of waiting, for a late message or a timeout, costs next
    to no processor time: the watch before sleeping spins for at most 50 us."""
    late = threading.Timer(1.0, bus.publish, (TOPIC, b"late"))
    late.start()
    before = time.thread_time()
    receive(sub)
    assert time.thread_time() - before < 0.1
    late.join(5)


CONFLICTS = [
    ("recv", lambda s: s.recv(), "Already borrowed"),
    ("try_recv", lambda s: s.try_recv(), "Already borrowed"),
    ("recv_timeout", lambda s: s.recv_timeout(0), "Already borrowed"),
    ("recv_batch", lambda s: s.recv_batch(1, 0), "Already borrowed"),
    ("recv_batch bad n", lambda s: s.recv_batch("x"), "Already borrowed"),
    ("next", lambda s: next(s), "Already borrowed"),
    ("recv_into", lambda s: s.recv_into(bytearray(8)), "Already borrowed"),
    ("try_recv_into", lambda s: s.try_recv_into(bytearray(8)), "Already borrowed"),
    ("recv_timeout_into", lambda s: s.recv_timeout_into(bytearray(8), 0), "Already borrowed"),
    ("recv_into_buffer", lambda s: s.recv_into_buffer(bytearray(8), 4, 0), "Already borrowed"),
    ("arm_wakeup", lambda s: s.arm_wakeup(), "Already borrowed"),
    ("drain_wakeup", lambda s: s.drain_wakeup(), "Already borrowed"),
    ("poll_recv", lambda s: s.poll_recv(), "Already borrowed"),
    ("__exit__", lambda s: s.__exit__(None, None, None), "Already borrowed"),
    ("iter", lambda s: iter(s), "Already mutably borrowed"),
    ("__enter__", lambda s: s.__enter__(), "Already mutably borrowed"),
    ("fileno", lambda s: s.fileno(), "Already mutably borrowed"),
    ("socket_fileno", lambda s: s.socket_fileno(), "Already mutably borrowed"),
    ("lag", lambda s: s.lag, "Already mutably borrowed"),
    ("cursor", lambda s: s.cursor, "Already mutably borrowed"),
    ("max_payload_size", lambda s: s.max_payload_size, "Already mutably borrowed"),
]


def test_calls_during_a_blocked_recv_fail_at_once(bus, sub):
    t, out = in_thread(sub.recv)
    wait_until(lambda: borrowed(sub))
    for name, call, text in CONFLICTS:
        start = time.monotonic()
        with pytest.raises(RuntimeError) as info:
            call(sub)
        assert str(info.value) == text, name
        assert time.monotonic() - start < 0.5, name
    # Argument matching comes before the borrow.
    with pytest.raises(TypeError):
        sub.recv_batch()
    bus.publish(TOPIC, b"release")
    t.join(5)
    assert out == [("ok", b"release")]
    assert not borrowed(sub)


def test_separate_subscriptions_receive_on_separate_threads(bus):
    subs = [bus.subscribe(TOPIC, timeout_secs=5) for _ in range(3)]
    threads = [in_thread(lambda s=s: [s.recv(), s.recv()]) for s in subs]
    wait_until(lambda: all(borrowed(s) for s in subs))
    publish(bus, b"x", b"y")
    for t, out in threads:
        t.join(5)
        assert out == [("ok", [b"x", b"y"])]


# --- properties ----------------------------------------------------------------

def test_lag_counts_unread_messages(bus, sub):
    assert sub.lag == 0
    for i in range(1, 4):
        publish(bus, b"m")
        assert sub.lag == i
    sub.recv()
    assert sub.lag == 2


def test_cursor_after_history_start(make_bus):
    bus = make_bus()
    publish(bus, *[b"%d" % i for i in range(10)])
    sub = bus.subscribe_with_history(TOPIC, 3, timeout_secs=5)
    assert sub.cursor == 7 and sub.lag == 3
    assert sub.recv() == b"7"
    assert sub.cursor == 8


def test_lag_is_zero_for_a_cursor_beyond_the_tail(make_bus):
    bus = make_bus()
    publish(bus, b"0", b"1")
    sub = bus.subscribe_from(TOPIC, 50, timeout_secs=5)
    assert sub.cursor == 50
    assert sub.lag == 0


def test_max_payload_size_is_the_publishers_slot_size(make_bus):
    bus = make_bus(slot_size=1024)
    bus.publish_many(TOPIC, [])
    other = make_bus(slot_size=64)
    sub = other.subscribe(TOPIC, timeout_secs=5)
    assert sub.max_payload_size == 1024


# --- descriptors and the event-loop handshake -----------------------------------

def test_descriptors_are_an_eventfd_and_a_socket(sub):
    fd, sock = sub.fileno(), sub.socket_fileno()
    assert fd >= 0 and sock >= 0 and fd != sock
    assert (sub.fileno(), sub.socket_fileno()) == (fd, sock)
    assert os.readlink("/proc/self/fd/%d" % fd) == "anon_inode:[eventfd]"
    assert os.readlink("/proc/self/fd/%d" % sock).startswith("socket:")


def test_arm_wakeup_and_drain(bus, sub, base_dir, bus_name):
    publish(bus, b"unread")
    assert sub.arm_wakeup() is True  # a message is there: flag left clear
    assert wakeup_flag(base_dir, bus_name) == 0
    assert sub.try_recv() == b"unread"
    assert sub.arm_wakeup() is False
    assert wakeup_flag(base_dir, bus_name) == 1
    assert not readable(sub.fileno())
    publish(bus, b"wake")
    assert readable(sub.fileno(), 2.0)
    assert wakeup_flag(base_dir, bus_name) == 0
    assert sub.drain_wakeup() is True
    assert sub.drain_wakeup() is False
    assert not readable(sub.fileno())
    assert sub.try_recv() == b"wake"


def test_arming_twice_still_gives_one_unit(bus, sub):
    assert sub.arm_wakeup() is False
    assert sub.arm_wakeup() is False
    publish(bus, b"x")
    assert sub.drain_wakeup() is True
    assert sub.drain_wakeup() is False


def test_poll_recv_needs_a_unit(bus, sub):
    publish(bus, b"no unit")  # not armed: the publisher writes no unit
    assert sub.poll_recv() is None
    assert sub.try_recv() == b"no unit"
    assert sub.arm_wakeup() is False
    publish(bus, b"one", b"two")
    assert sub.poll_recv() == b"one"  # one unit consumed, one message read
    assert sub.poll_recv() is None
    assert sub.try_recv() == b"two"


def test_event_loop_protocol_in_one_process(bus, sub):
    """Read, arm, wait, wake: with every wait bounded, nothing is missed."""
    got = []
    sent = [b"%03d" % i for i in range(60)]

    def publisher():
        for i, m in enumerate(sent):
            bus.publish(TOPIC, m)
            if i % 7 == 0:
                time.sleep(0.002)

    t = threading.Thread(target=publisher, daemon=True)
    t.start()
    end = time.monotonic() + 10
    while len(got) < len(sent) and time.monotonic() < end:
        m = sub.try_recv()
        if m is not None:
            got.append(m)
            continue
        if sub.arm_wakeup():
            continue
        if readable(sub.fileno(), 1.0):
            m = sub.poll_recv()
            if m is not None:
                got.append(m)
    t.join(5)
    assert got == sent


def test_restarted_publisher_fails_poll_recv_and_iteration_ends(make_bus):
    # With the log the second publisher continues the numbering, so the old
    # message stays readable below the new tail.
    first = make_bus(wal_enabled=True)
    first.publish_many(TOPIC, [])
    sub = first.subscribe(TOPIC, timeout_secs=5)
    assert sub.arm_wakeup() is False
    publish(first, b"old")  # leaves one unit pending
    del first
    second = make_bus(wal_enabled=True)
    second.publish_many(TOPIC, [])  # reuses the ring file: generation + 1
    with pytest.raises(OSError) as info:
        sub.poll_recv()
    assert str(info.value) == "publisher restarted (generation changed)"
    assert type(info.value) is OSError and info.value.errno is None
    # The message stays unread; iteration hands it out, then ends quietly.
    assert list(sub) == [b"old"]


def test_restarted_publisher_unit_is_drained(make_bus):
    first = make_bus()
    first.publish_many(TOPIC, [])
    sub = first.subscribe(TOPIC, timeout_secs=5)
    assert sub.arm_wakeup() is False
    publish(first, b"old")
    del first
    second = make_bus()
    second.publish_many(TOPIC, [])
    assert sub.drain_wakeup() is True
    assert sub.drain_wakeup() is False


def test_restart_numbering_below_the_cursor_ends_every_receive(make_bus):
    # Without a log the second publisher numbers from 0 again: its message 6
    # is not the one after this subscription's 5.
    first = make_bus()
    first.publish_many(TOPIC, [])
    sub = first.subscribe(TOPIC, timeout_secs=5)
    publish(first, *[b"old-%d" % i for i in range(6)])
    assert [sub.recv() for _ in range(6)] == [b"old-%d" % i for i in range(6)]
    del first
    second = make_bus()
    publish(second, *[b"new-%d" % i for i in range(10)])
    for receive in (sub.try_recv, sub.recv, lambda: sub.recv_timeout(1), lambda: sub.recv_batch(3, 1),
                    lambda: sub.try_recv_into(bytearray(64)), sub.poll_recv):
        with pytest.raises(OSError) as info:
            receive()
        assert str(info.value) == "publisher restarted (generation changed)"
    assert list(sub) == []


def test_with_block_keeps_the_subscription(bus, sub):
    with sub as entered:
        assert entered is sub
    publish(bus, b"after")
    assert sub.recv() == b"after"
    with pytest.raises(KeyError):
        with sub:
            raise KeyError("propagates")
    assert sub.__exit__(None, None, None) is False
    assert sub.__exit__(ValueError, ValueError("x"), None) is False
    assert sub.__exit__() is False


def test_destruction_frees_the_cursor_slot(make_bus):
    bus = make_bus(max_subscribers=2)
    bus.publish_many(TOPIC, [])
    a = bus.subscribe(TOPIC, timeout_secs=5)
    b = bus.subscribe(TOPIC, timeout_secs=5)
    with pytest.raises(_qorva.TooManySubscribersError):
        bus.subscribe(TOPIC, timeout_secs=0)
    del a
    c = bus.subscribe(TOPIC, timeout_secs=5)
    publish(bus, b"z")
    assert b.recv() == b"z" and c.recv() == b"z"


# --- replay from the log --------------------------------------------------------

def replaying(make_bus, count=20, capacity=8):
    bus = make_bus(capacity=capacity, wal_enabled=True)
    publish(bus, *[b"rec-%04d" % i for i in range(count)])
    wait_until(lambda: bus.stats(TOPIC).wal.durable_cursor >= count)
    return bus


@pytest.mark.parametrize("receive", [
    lambda s: s.recv(),
    lambda s: s.recv_timeout(1),
    lambda s: next(s),
    lambda s: s.poll_recv(),  # replayed records need no wakeup unit
    lambda s: s.try_recv(),
])
def test_replay_then_ring_without_gap(make_bus, receive):
    bus = replaying(make_bus)
    sub = bus.subscribe_from(TOPIC, 2, timeout_secs=5)
    assert sub.arm_wakeup() is True  # records still to come
    got = [receive(sub) for _ in range(18)]
    assert got == [b"rec-%04d" % i for i in range(2, 20)]
    publish(bus, b"rec-0020", b"rec-0021")
    assert sub.recv_batch(5, 1) == [b"rec-0020", b"rec-0021"]


@pytest.mark.parametrize("subscribe", [
    lambda bus: bus.subscribe_from(TOPIC, 90, timeout_secs=5),
    lambda bus: bus.subscribe_with_history(TOPIC, 10, timeout_secs=5),
])
def test_start_in_a_ring_rebuilt_with_another_capacity_comes_from_the_log(make_bus, subscribe):
    first = make_bus(capacity=16, wal_enabled=True)
    publish(first, *[b"m-%03d" % i for i in range(100)])
    del first
    second = make_bus(capacity=32, wal_enabled=True)  # a new, empty ring under tail 100
    second.publish_many(TOPIC, [])
    sub = subscribe(second)
    publish(second, b"m-100")
    assert [sub.recv_timeout(5) for _ in range(11)] == [b"m-%03d" % i for i in range(90, 101)]


def test_poll_recv_gives_replayed_records_without_taking_a_unit(make_bus, base_dir, bus_name):
    bus = replaying(make_bus)
    sub = bus.subscribe_from(TOPIC, 2, timeout_secs=5)
    assert sub.lag == 18  # records still to be replayed count too
    wakeup_flag(base_dir, bus_name, set_to=1)  # as an armed wait leaves it
    publish(bus, b"rec-0020")  # finds the flag set: one unit
    assert readable(sub.fileno(), 2.0)
    assert [sub.poll_recv() for _ in range(18)] == [b"rec-%04d" % i for i in range(2, 20)]
    assert readable(sub.fileno())  # the unit is still pending
    assert sub.poll_recv() == b"rec-0020"  # takes it, then reads the ring
    assert not readable(sub.fileno())
    assert sub.poll_recv() is None


def test_recv_batch_over_a_replay(make_bus):
    bus = replaying(make_bus)
    sub = bus.subscribe_from(TOPIC, 0, timeout_secs=5)
    got = []
    while len(got) < 20:
        batch = sub.recv_batch(6, 1)
        assert batch
        got += batch
    assert got == [b"rec-%04d" % i for i in range(20)]


def test_cursor_too_old_without_a_log(make_bus):
    bus = make_bus(capacity=8)
    publish(bus, *[b"x"] * 20)
    with pytest.raises(_qorva.CursorTooOldError, match=r"^cursor 3 is older than the oldest in-ring slot \(12\)$"):
        bus.subscribe_from(TOPIC, 3, timeout_secs=5)


def test_damage_in_an_older_segment_survives_a_restart_and_replay_reports_it(make_bus, base_dir, bus_name):
    bus = replaying(make_bus, count=100)
    del bus  # the next publisher starts a new segment after record 99
    wal_dir = os.path.join(base_dir, bus_name, TOPIC, "wal")
    make_bus(capacity=8, wal_enabled=True).publish_many(TOPIC, [])
    assert sorted(os.listdir(wal_dir)) == ["%020d.seg" % 0, "%020d.seg" % 100]
    older = os.path.join(wal_dir, "%020d.seg" % 0)
    with open(older, "r+b") as f:
        data = bytearray(f.read())
        data[data.find(b"rec-0050")] ^= 0x01
        f.seek(0)
        f.write(data)
    bus = make_bus(capacity=8, wal_enabled=True)
    bus.publish_many(TOPIC, [])  # opens and recovers the log
    with open(older, "rb") as f:
        assert f.read() == data  # the intact records after the damage are kept
    sub = bus.subscribe_from(TOPIC, 0, timeout_secs=5)
    assert [sub.recv_timeout(1) for _ in range(50)] == [b"rec-%04d" % i for i in range(50)]
    with pytest.raises(_qorva.WalError):
        sub.recv_timeout(1)


def test_records_cut_from_an_older_segment_are_raised_by_number(make_bus, base_dir, bus_name):
    bus = replaying(make_bus, count=100)
    del bus  # the next publisher starts a new segment after record 99
    wal_dir = os.path.join(base_dir, bus_name, TOPIC, "wal")
    bus = make_bus(capacity=8, wal_enabled=True)
    publish(bus, b"rec-0100")
    wait_until(lambda: bus.stats(TOPIC).wal.durable_cursor >= 101)
    with open(os.path.join(wal_dir, "%020d.seg" % 0), "r+b") as f:
        f.truncate(f.read().find(b"rec-0050") - 24)  # the start of record 50's framing
    sub = bus.subscribe_from(TOPIC, 0, timeout_secs=5)
    assert [sub.recv_timeout(1) for _ in range(50)] == [b"rec-%04d" % i for i in range(50)]
    with pytest.raises(_qorva.WalError, match=r"^I/O error: log record 100 found where 50 was expected$"):
        sub.recv_timeout(1)


def test_replay_read_failure_is_raised_from_next_and_iteration_goes_on(make_bus, base_dir, bus_name):
    bus = replaying(make_bus)
    sub = bus.subscribe_from(TOPIC, 0, timeout_secs=5)
    wal_dir = os.path.join(base_dir, bus_name, TOPIC, "wal")

    def corrupt():
        for name in os.listdir(wal_dir):
            path = os.path.join(wal_dir, name)
            with open(path, "r+b") as f:
                data = f.read()
                at = data.find(b"rec-0005")
                if at >= 0:
                    f.seek(at)
                    f.write(b"REC-0005")
                    return True
        return False

    wait_until(corrupt)
    got = [next(sub) for _ in range(5)]
    assert got == [b"rec-%04d" % i for i in range(5)]
    with pytest.raises(_qorva.WalError):
        next(sub)
    # Replay is over; the ring serves what it still holds.
    rest = sub.recv_batch(20, 1)
    assert rest and rest == sorted(rest) and all(m > b"rec-0005" for m in rest)
    assert rest[-1] == b"rec-0019"
