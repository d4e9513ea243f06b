"""_RustBus: construction, publishing, handles, waiting, cleaning, subscribing
and inspecting; argument errors, borrow conflicts and cross-process use."""

import gc
import os
import pathlib
import subprocess
import sys
import shutil
import textwrap
import threading
import weakref

import pytest
from support import check_raised, conflict, hammer, outcome, python_memory_growth
from support import wait_until

from qorva import _qorva
from qorva._qorva import (
    AlreadyPublishingError,
    BusFullError,
    ConnectTimeoutError,
    CursorTooOldError,
    MessageTooLargeError,
    Subscription,
    TooManySubscribersError,
    TopicPublisher,
    TopicStats,
    _RustBus,
)

# Where the imported module's package lives, so that child processes import
# the very same build (a sanitizer or another interpreter's build included).
PYTHON_DIR = str(pathlib.Path(_qorva.__file__).resolve().parents[1])
CONSTRUCTOR_SIGNATURE = (
    "(name, *, base_dir=None, capacity=None, slot_size=None, max_subscribers=None, "
    "backpressure=None, wal_enabled=None)"
)
METHODS = [
    ("publish", "($self, topic, data)"),
    ("publish_many", "($self, topic, payloads)"),
    ("topic", "($self, name)"),
    ("subscribe", "($self, topic, timeout_secs=30.0)"),
    ("subscribe_with_history", "($self, topic, n_messages_back, timeout_secs=30.0)"),
    ("subscribe_from", "($self, topic, cursor, timeout_secs=30.0)"),
    ("wait_for_subscribers", "($self, topic, n=1, timeout_secs=30.0)"),
    ("stats", "($self, topic)"),
    ("slow_subscribers", "($self, topic, threshold)"),
    ("clean_topic", "($self, topic)"),
]


@pytest.fixture
def bus(base_dir):
    return _RustBus("b", base_dir=base_dir)


def topic_dir(base_dir, topic="t", name="b"):
    return os.path.join(base_dir, name, topic)


def holds_borrow(bus):
    # clean_topic of a topic never used borrows exclusively, keeps the
    # interpreter lock and touches nothing: a probe that cannot disturb a
    # borrow held by another thread.
    try:
        bus.clean_topic("probe")
        return False
    except RuntimeError:
        return True


# ---------------------------------------------------------------- the class


def test_class_facts():
    assert _RustBus.__module__ == "qorva._qorva"
    assert _RustBus.__name__ == _RustBus.__qualname__ == "_RustBus"
    assert _RustBus.__text_signature__ == CONSTRUCTOR_SIGNATURE
    assert "low-level" in _RustBus.__doc__
    assert _qorva.__all__[0] == "_RustBus"
    with pytest.raises(TypeError):
        type("Sub", (_RustBus,), {})
    bus = _RustBus("b")
    with pytest.raises(AttributeError):
        bus.__dict__
    with pytest.raises(AttributeError):
        bus.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(bus)
    for missing in ("__enter__", "__exit__", "close"):
        assert not hasattr(bus, missing)
    assert repr(bus).startswith("<qorva._qorva._RustBus object at ")


def test_methods_in_order_with_signatures():
    assert [n for n in vars(_RustBus) if not n.startswith("__")] == [m for m, _ in METHODS]
    for method, signature in METHODS:
        assert getattr(_RustBus, method).__text_signature__ == signature
        assert getattr(_RustBus, method).__doc__


# ---------------------------------------------------------- the constructor


def test_constructor_touches_no_file(base_dir):
    _RustBus("b", base_dir=base_dir)
    _RustBus(name="c", base_dir=base_dir, capacity=8, slot_size=16, max_subscribers=2,
             backpressure="drop_oldest", wal_enabled=False)
    assert os.listdir(base_dir) == []


def test_constructor_accepts_none_for_every_default(base_dir):
    bus = _RustBus("b", base_dir=None, capacity=None, slot_size=None, max_subscribers=None,
                   backpressure=None, wal_enabled=None)
    # None for base_dir is the default base directory, which this test does
    # not want to fill; the other defaults are checked below.
    del bus


@pytest.mark.parametrize("explicit_none", [False, True])
def test_defaults(base_dir, explicit_none):
    extra = dict(capacity=None, slot_size=None, max_subscribers=None, backpressure=None,
                 wal_enabled=None) if explicit_none else {}
    bus = _RustBus("b", base_dir=base_dir, **extra)
    with pytest.raises(MessageTooLargeError, match="^message is 65537 bytes; slot_size is 65536 bytes$"):
        bus.publish("t", b"x" * 65537)
    bus.publish("t", b"x" * 65536)
    assert bus.stats("t").wal is not None
    subs = [bus.subscribe("t", 5.0) for _ in range(16)]
    with pytest.raises(TooManySubscribersError, match="^subscriber limit for this topic is 16$"):
        bus.subscribe("t", 0.0)
    del subs[1:]
    written = 0
    with pytest.raises(BusFullError, match="^ring buffer full$"):
        while written < 1000:
            bus.publish("t", b"m")
            written += 1
    assert written == 256


def test_default_base_directory():
    name = "qorva-test-%d" % os.getpid()
    bus = _RustBus(name, base_dir=None)
    try:
        bus.publish("t", b"x")
        assert os.path.exists(os.path.join("/tmp/qorva", name, "t", "ring.mmap"))
        bus.clean_topic("t")
    finally:
        shutil.rmtree(os.path.join("/tmp/qorva", name), ignore_errors=True)


def test_drop_oldest_overwrites(base_dir):
    bus = _RustBus("b", base_dir=base_dir, capacity=2, backpressure="drop_oldest", wal_enabled=False)
    bus.publish_many("t", [])
    sub = bus.subscribe("t", 5.0)
    assert bus.publish_many("t", [b"1", b"2", b"3", b"4"]) == 4
    bus.publish("t", b"5")
    assert sub.recv_timeout(5.0) in (b"4", b"5")


def test_wal_disabled_keeps_no_log(base_dir):
    bus = _RustBus("b", base_dir=base_dir, wal_enabled=False)
    bus.publish("t", b"x")
    assert bus.stats("t").wal is None
    assert not os.path.exists(os.path.join(topic_dir(base_dir), "wal"))


def test_wal_enabled_accepts_numpy_bools(base_dir):
    numpy = pytest.importorskip("numpy")
    off = _RustBus("off", base_dir=base_dir, wal_enabled=numpy.bool_(False))
    off.publish("t", b"x")
    assert off.stats("t").wal is None
    on = _RustBus("on", base_dir=base_dir, wal_enabled=numpy.bool_(True))
    on.publish("t", b"x")
    assert on.stats("t").wal is not None
    with pytest.raises(TypeError, match="^argument 'wal_enabled': 'int64' object cannot be converted to 'PyBool'$"):
        _RustBus("b", wal_enabled=numpy.int64(1))


def test_integer_arguments_accept_the_index_protocol(base_dir):
    class Index:
        def __index__(self):
            return 3

    bus = _RustBus("b", base_dir=base_dir, capacity=Index(), slot_size=True, wal_enabled=False)
    with pytest.raises(MessageTooLargeError, match="slot_size is 1 bytes$"):
        bus.publish("t", b"ab")
    _RustBus("b", capacity=4294967295, slot_size=0, max_subscribers=0)


class Weird(str):
    pass


CONSTRUCTOR_ERRORS = [
    (lambda: _RustBus(), TypeError, "_RustBus.__new__() missing 1 required positional argument: 'name'"),
    (lambda: _RustBus("b", "c"), TypeError, "_RustBus.__new__() takes 1 positional arguments but 2 were given"),
    (lambda: _RustBus("b", k=1), TypeError, "_RustBus.__new__() got an unexpected keyword argument 'k'"),
    (lambda: _RustBus("b", name="c"), TypeError, "_RustBus.__new__() got multiple values for argument 'name'"),
    (lambda: _RustBus(5), TypeError, "argument 'name': 'int' object cannot be converted to 'PyString'"),
    (lambda: _RustBus(b"b"), TypeError, "argument 'name': 'bytes' object cannot be converted to 'PyString'"),
    (lambda: _RustBus("\ud800"), UnicodeEncodeError, None),
    (lambda: _RustBus("b", base_dir=pathlib.Path("/tmp")), TypeError,
     "argument 'base_dir': 'PosixPath' object cannot be converted to 'PyString'"),
    (lambda: _RustBus("b", capacity=-1), OverflowError, "out of range integral type conversion attempted"),
    (lambda: _RustBus("b", capacity=4294967296), OverflowError, "out of range integral type conversion attempted"),
    (lambda: _RustBus("b", slot_size=-5), OverflowError, "out of range integral type conversion attempted"),
    (lambda: _RustBus("b", max_subscribers=2**40), OverflowError, "out of range integral type conversion attempted"),
    (lambda: _RustBus("b", capacity=2**70), OverflowError, None),
    (lambda: _RustBus("b", capacity=1.0), TypeError, "argument 'capacity': "),
    (lambda: _RustBus("b", slot_size="1"), TypeError, "argument 'slot_size': "),
    (lambda: _RustBus("b", wal_enabled=1), TypeError,
     "argument 'wal_enabled': 'int' object cannot be converted to 'PyBool'"),
    (lambda: _RustBus("b", wal_enabled="yes"), TypeError,
     "argument 'wal_enabled': 'str' object cannot be converted to 'PyBool'"),
    (lambda: _RustBus("b", backpressure=1), TypeError,
     "argument 'backpressure': 'int' object cannot be converted to 'PyString'"),
    (lambda: _RustBus("b", backpressure="Error"), ValueError,
     'backpressure must be "error" or "drop_oldest", got "Error"'),
    (lambda: _RustBus("b", backpressure="fast"), ValueError,
     'backpressure must be "error" or "drop_oldest", got "fast"'),
    (lambda: _RustBus("b", backpressure='a"b\\c\n\t\r\0\x01 \u00e9'), ValueError,
     'backpressure must be "error" or "drop_oldest", got "a\\"b\\\\c\\n\\t\\r\\0\\u{1} \u00e9"'),
    (lambda: _RustBus("b", backpressure=""), ValueError, 'backpressure must be "error" or "drop_oldest", got ""'),
    # Every type conversion comes before the value test of backpressure.
    (lambda: _RustBus("b", backpressure="nope", wal_enabled=1), TypeError, "argument 'wal_enabled': "),
]


@pytest.mark.parametrize("call, exc, text", CONSTRUCTOR_ERRORS)
def test_constructor_errors(call, exc, text):
    with pytest.raises(exc) as info:
        call()
    check_raised(info, exc, text)


def test_str_subclasses_are_text(base_dir):
    bus = _RustBus(Weird("b"), base_dir=Weird(base_dir), backpressure=Weird("error"))
    bus.publish(Weird("t"), b"x")
    assert os.path.exists(topic_dir(base_dir))


# ---------------------------------------------------------- argument errors


def _gen():
    yield b"a"


class FailingSequence:
    """A sequence whose iteration fails."""

    def __init__(self, exc):
        self.exc = exc

    def __len__(self):
        raise RuntimeError("length is only a hint")

    def __getitem__(self, i):
        raise self.exc


METHOD_ERRORS = [
    ("publish", (), {}, TypeError, "_RustBus.publish() missing 2 required positional arguments: 'topic' and 'data'"),
    ("publish", ("t",), {}, TypeError, "_RustBus.publish() missing 1 required positional argument: 'data'"),
    ("publish", ("t", b"x", 1), {}, TypeError, "_RustBus.publish() takes 2 positional arguments but 3 were given"),
    ("publish", ("t", b"x"), {"topic": "u"}, TypeError, "_RustBus.publish() got multiple values for argument 'topic'"),
    ("publish", ("t", b"x"), {"flag": 1}, TypeError, "_RustBus.publish() got an unexpected keyword argument 'flag'"),
    ("publish", (5, b"x"), {}, TypeError, "argument 'topic': 'int' object cannot be converted to 'PyString'"),
    ("publish", ("t", bytearray(b"x")), {}, TypeError, "argument 'data': 'bytearray' object cannot be converted to 'PyBytes'"),
    ("publish", ("t", "x"), {}, TypeError, "argument 'data': 'str' object cannot be converted to 'PyBytes'"),
    ("publish", ("\udcff", b"x"), {}, UnicodeEncodeError, None),
    ("publish_many", ("t",), {}, TypeError, "_RustBus.publish_many() missing 1 required positional argument: 'payloads'"),
    ("publish_many", ("t", "ab"), {}, TypeError, "argument 'payloads': Can't extract `str` to `Vec`"),
    ("publish_many", ("t", Weird("ab")), {}, TypeError, "argument 'payloads': Can't extract `str` to `Vec`"),
    ("publish_many", ("t", b"ab"), {}, TypeError, "argument 'payloads': 'int' object cannot be converted to 'PyBytes'"),
    ("publish_many", ("t", _gen()), {}, TypeError, "argument 'payloads': 'generator' object cannot be converted to 'Sequence'"),
    ("publish_many", ("t", {b"a"}), {}, TypeError, "argument 'payloads': 'set' object cannot be converted to 'Sequence'"),
    ("publish_many", ("t", {b"a": 1}), {}, TypeError, "argument 'payloads': 'dict' object cannot be converted to 'Sequence'"),
    ("publish_many", ("t", 5), {}, TypeError, "argument 'payloads': 'int' object cannot be converted to 'Sequence'"),
    ("publish_many", ("t", [b"a", 1]), {}, TypeError, "argument 'payloads': 'int' object cannot be converted to 'PyBytes'"),
    ("publish_many", ("t", [b"a", bytearray(b"b")]), {}, TypeError,
     "argument 'payloads': 'bytearray' object cannot be converted to 'PyBytes'"),
    ("publish_many", ("t", FailingSequence(ValueError("boom"))), {}, ValueError, "boom"),
    ("publish_many", ("t", FailingSequence(TypeError("bad item"))), {}, TypeError, "argument 'payloads': bad item"),
    ("topic", (), {}, TypeError, "_RustBus.topic() missing 1 required positional argument: 'name'"),
    ("topic", (1,), {}, TypeError, "argument 'name': 'int' object cannot be converted to 'PyString'"),
    ("topic", ("t",), {"topic": "t"}, TypeError, "_RustBus.topic() got an unexpected keyword argument 'topic'"),
    ("wait_for_subscribers", (), {}, TypeError, "_RustBus.wait_for_subscribers() missing 1 required positional argument: 'topic'"),
    ("wait_for_subscribers", ("t", 1, 1.0, 1), {}, TypeError,
     "_RustBus.wait_for_subscribers() takes from 1 to 3 positional arguments but 4 were given"),
    ("wait_for_subscribers", ("t", -1), {}, OverflowError, None),
    ("wait_for_subscribers", ("t", 2**64), {}, OverflowError, None),
    ("wait_for_subscribers", ("t", 1.5), {}, TypeError, "argument 'n': "),
    ("wait_for_subscribers", ("t", 1, None), {}, TypeError, "argument 'timeout_secs': "),
    ("wait_for_subscribers", ("t", 1, "1"), {}, TypeError, "argument 'timeout_secs': "),
    ("clean_topic", (), {}, TypeError, "_RustBus.clean_topic() missing 1 required positional argument: 'topic'"),
    ("clean_topic", (None,), {}, TypeError, "argument 'topic': 'NoneType' object cannot be converted to 'PyString'"),
    ("subscribe", (), {}, TypeError, "_RustBus.subscribe() missing 1 required positional argument: 'topic'"),
    ("subscribe", ("t", 1.0, 2), {}, TypeError, "_RustBus.subscribe() takes from 1 to 2 positional arguments but 3 were given"),
    ("subscribe", ("t", None), {}, TypeError, "argument 'timeout_secs': "),
    ("subscribe", (b"t",), {}, TypeError, "argument 'topic': 'bytes' object cannot be converted to 'PyString'"),
    ("subscribe_with_history", ("t",), {}, TypeError,
     "_RustBus.subscribe_with_history() missing 1 required positional argument: 'n_messages_back'"),
    ("subscribe_with_history", ("t", 2**64), {}, OverflowError, None),
    ("subscribe_with_history", ("t", -1), {}, OverflowError, None),
    ("subscribe_with_history", ("t", "1"), {}, TypeError, "argument 'n_messages_back': "),
    ("subscribe_from", ("t",), {}, TypeError, "_RustBus.subscribe_from() missing 1 required positional argument: 'cursor'"),
    ("subscribe_from", ("t", -1), {}, OverflowError, None),
    ("subscribe_from", ("t", 2**64), {}, OverflowError, None),
    # All ones marks a free cursor slot.
    ("subscribe_from", ("t", 2**64 - 1), {}, OverflowError, "out of range integral type conversion attempted"),
    ("subscribe_from", ("t", 1.5), {}, TypeError, "argument 'cursor': "),
    ("subscribe_from", ("t", 0, None), {}, TypeError, "argument 'timeout_secs': "),
    ("stats", (), {}, TypeError, "_RustBus.stats() missing 1 required positional argument: 'topic'"),
    ("stats", ("t", 1), {}, TypeError, "_RustBus.stats() takes 1 positional arguments but 2 were given"),
    ("stats", (1,), {}, TypeError, "argument 'topic': 'int' object cannot be converted to 'PyString'"),
    ("slow_subscribers", ("t",), {}, TypeError, "_RustBus.slow_subscribers() missing 1 required positional argument: 'threshold'"),
    ("slow_subscribers", ("t", -1), {}, OverflowError, None),
    ("slow_subscribers", ("t", None), {}, TypeError, "argument 'threshold': "),
]


@pytest.mark.parametrize("method, args, kwargs, exc, text", METHOD_ERRORS)
def test_method_argument_errors(base_dir, method, args, kwargs, exc, text):
    bus = _RustBus("b", base_dir=base_dir)
    with pytest.raises(exc) as info:
        getattr(bus, method)(*args, **kwargs)
    check_raised(info, exc, text)
    # A refused call creates no publisher and touches no file.
    assert bus.stats("t") is None
    assert os.listdir(base_dir) == []


@pytest.mark.parametrize("bad", [-1.0, -1e-3, float("nan"), float("-inf")])
def test_unusable_timeouts_are_refused(bus, base_dir, bad):
    for call in (
        lambda: bus.subscribe("t", bad),
        lambda: bus.subscribe_with_history("t", 1, bad),
        lambda: bus.subscribe_from("t", 0, timeout_secs=bad),
    ):
        with pytest.raises(ValueError, match="^timeout_secs must be a non-negative number$"):
            call()
        assert os.listdir(base_dir) == []
    with pytest.raises(ValueError, match="^timeout_secs must be a non-negative number$"):
        bus.wait_for_subscribers("t", 0, bad)


def test_huge_timeouts_are_clamped(bus):
    # Beyond the farthest deadline the monotonic clock can express, a wait
    # simply has no end in practice; none of these may wrap or end the process.
    for huge in (float("inf"), 1e300, 2.0**64, 2.0**63):
        assert bus.wait_for_subscribers("t", 0, huge) is None
    bus.publish("t", b"x")
    subs = [bus.subscribe("t", float("inf")), bus.subscribe_with_history("t", 1, 2.0**64),
            bus.subscribe_from("t", 0, timeout_secs=1e300)]
    assert bus.wait_for_subscribers("t", 3, 1e300) is None
    assert [s.recv_timeout(5.0) for s in subs[1:]] == [b"x", b"x"]


@pytest.mark.parametrize(
    "topic, text",
    [("..", "invalid topic name"), (".", "invalid topic name"), ("", "invalid topic name"),
     ("a/b", "invalid topic name"), ("/etc", "invalid topic name"),
     ("a\0b", "file name contained an unexpected NUL byte")],
)
def test_unsafe_topic_names_are_refused(bus, base_dir, topic, text):
    for call in (
        lambda: bus.publish(topic, b"x"),
        lambda: bus.publish_many(topic, [b"x"]),
        lambda: bus.topic(topic),
        lambda: bus.wait_for_subscribers(topic, 0, 0.0),
        lambda: bus.clean_topic(topic),
        lambda: bus.subscribe(topic, 0.0),
    ):
        with pytest.raises(OSError) as info:
            call()
        assert type(info.value) is OSError
        assert str(info.value) == text
        assert info.value.errno is None
    assert os.listdir(base_dir) == []


# ---------------------------------------------------------------- publishing


def test_publish_creates_and_caches_the_publisher(bus, base_dir):
    assert bus.publish("t", b"") is None
    assert sorted(os.listdir(topic_dir(base_dir))) == ["producer.lock", "ring.mmap", "signal.sock", "wal"]
    bus.publish(topic="t", data=b"kw")
    assert bus.stats("t").published_total == 2


def test_refused_payload_creates_nothing(bus, base_dir):
    with pytest.raises(TypeError):
        bus.publish("t", bytearray(b"x"))
    with pytest.raises(TypeError):
        bus.publish_many("t", [b"a", 1])
    assert os.listdir(base_dir) == []
    assert bus.stats("t") is None


def test_publish_many(bus):
    assert bus.publish_many("t", []) == 0
    assert isinstance(bus.stats("t"), TopicStats)
    sub = bus.subscribe("t", 5.0)
    assert bus.publish_many("t", (b"a", b"b")) == 2
    assert bus.publish_many(topic="t", payloads=[b"c"]) == 1
    assert [sub.recv_timeout(5.0) for _ in range(3)] == [b"a", b"b", b"c"]


def test_publish_many_counts_what_fits(base_dir):
    bus = _RustBus("b", base_dir=base_dir, capacity=4, wal_enabled=False)
    bus.publish_many("t", [])
    sub = bus.subscribe("t", 5.0)
    assert bus.publish_many("t", [b"%d" % i for i in range(10)]) == 4
    assert bus.publish_many("t", [b"x"]) == 0
    with pytest.raises(BusFullError):
        bus.publish("t", b"x")
    del sub


def test_publish_many_raises_after_writing(base_dir):
    bus = _RustBus("b", base_dir=base_dir, slot_size=2, wal_enabled=False)
    bus.publish_many("t", [])
    sub = bus.subscribe("t", 5.0)
    with pytest.raises(MessageTooLargeError, match="^message is 3 bytes; slot_size is 2 bytes$"):
        bus.publish_many("t", [b"ok", b"big", b"no"])
    # What was written before the error stays visible.
    assert sub.recv_timeout(5.0) == b"ok"
    assert sub.try_recv() is None


def test_second_publisher_in_another_bus_is_refused(base_dir):
    bus = _RustBus("b", base_dir=base_dir)
    bus.publish("t", b"x")
    other = _RustBus("b", base_dir=base_dir)
    with pytest.raises(AlreadyPublishingError, match="^a publisher is already active for topic 't'$"):
        other.publish("t", b"y")
    assert other.stats("t") is None
    del bus
    gc.collect()
    other.publish("t", b"y")


# ---------------------------------------------------------- topic, waiting


def test_topic_hands_out_the_cached_publisher(bus):
    bus.publish("t", b"x")
    handle = bus.topic("t")
    assert type(handle) is TopicPublisher
    assert handle.stats().published_total == 1
    assert bus.stats("t") is None
    with pytest.raises(AlreadyPublishingError):
        bus.topic("t")
    del handle
    fresh = bus.topic(name="t")  # not cached: created for the handle alone
    assert fresh.stats().published_total == 0
    assert bus.stats("t") is None


def test_wait_for_subscribers(bus):
    assert bus.wait_for_subscribers("t", 0) is None
    assert bus.stats("t") is not None
    bus.clean_topic("t")
    with pytest.raises(ConnectTimeoutError, match="^timed out waiting for 'waiting for subscribers'$"):
        bus.wait_for_subscribers("t", 1, 0.0)
    # The publisher created by the call stays cached after the timeout.
    assert bus.stats("t") is not None
    sub = bus.subscribe("t", 5.0)
    assert bus.wait_for_subscribers(topic="t", n=1, timeout_secs=1) is None
    assert bus.stats("t").connected_sockets == 1
    del sub


# ------------------------------------------------------------------ cleaning


def test_clean_topic(bus, base_dir):
    bus.clean_topic("never")
    assert os.listdir(base_dir) == []
    bus.publish("t", b"x")
    bus.clean_topic("t")
    assert not os.path.exists(topic_dir(base_dir))
    assert bus.stats("t") is None
    bus.clean_topic("t")
    handle = bus.topic("t")
    with pytest.raises(AlreadyPublishingError, match="^a publisher is already active for topic 't'$"):
        bus.clean_topic("t")
    assert os.path.exists(os.path.join(topic_dir(base_dir), "ring.mmap"))
    del handle
    gc.collect()
    bus.clean_topic("t")
    assert not os.path.exists(topic_dir(base_dir))


def test_clean_topic_leaves_sibling_topics(bus, base_dir):
    bus.publish("a", b"x")
    bus.publish("ab", b"x")
    bus.clean_topic("a")
    assert os.path.exists(topic_dir(base_dir, "ab"))
    assert os.path.isdir(os.path.join(base_dir, "b"))


def test_bus_name_may_not_leave_the_base_directory(base_dir):
    for name in ("..", "../x", "/abs", "a/../b"):
        bad = _RustBus(name, base_dir=base_dir)
        with pytest.raises(OSError, match="^invalid bus name$"):
            bad.publish("t", b"x")
        with pytest.raises(OSError, match="^invalid bus name$"):
            bad.clean_topic("t")
    assert os.listdir(base_dir) == []


# ------------------------------------------------------ subscribing, inspecting


def test_stats_and_slow_subscribers_on_a_new_bus(bus):
    assert bus.stats("t") is None
    assert bus.slow_subscribers("t", 0) == []


def test_slow_subscribers(bus):
    bus.publish_many("t", [])
    sub = bus.subscribe("t", 5.0)
    bus.publish_many("t", [b"1", b"2", b"3"])
    slow = bus.slow_subscribers("t", 0)
    assert slow == [(0, 3)] and type(slow[0]) is tuple
    assert bus.slow_subscribers("t", 3) == [(0, 3)]
    assert bus.slow_subscribers(topic="t", threshold=4) == []
    sub.recv_timeout(5.0)
    assert bus.slow_subscribers("t", 0) == [(0, 2)]
    # Only this bus's cache is looked at.
    handle = bus.topic("t")
    assert bus.slow_subscribers("t", 0) == []
    del handle, sub


def test_subscribe_variants(base_dir):
    bus = _RustBus("b", base_dir=base_dir, capacity=4, wal_enabled=False)
    with pytest.raises(ConnectTimeoutError, match="^timed out waiting for 't'$"):
        bus.subscribe("t", timeout_secs=0.0)
    with pytest.raises(ConnectTimeoutError, match="^timed out waiting for 'it''s'$"):
        bus.subscribe_from("it''s", 0, 0)
    bus.publish_many("t", [b"%d" % i for i in range(10)])
    tail = bus.subscribe("t", 1)
    assert type(tail) is Subscription
    history = bus.subscribe_with_history("t", 2)
    everything = bus.subscribe_with_history(topic="t", n_messages_back=100, timeout_secs=1.0)
    exact = bus.subscribe_from("t", 7)
    with pytest.raises(CursorTooOldError, match=r"^cursor 3 is older than the oldest in-ring slot \(6\)$"):
        bus.subscribe_from("t", 3)
    # Without a log, a start below the ring's oldest message moves to that
    # oldest message; until it reads, it holds the ring full.
    assert everything.recv_timeout(5.0) == b"6"
    bus.publish("t", b"10")
    assert tail.recv_timeout(5.0) == b"10"
    assert [history.recv_timeout(5.0) for _ in range(3)] == [b"8", b"9", b"10"]
    assert [exact.recv_timeout(5.0) for _ in range(4)] == [b"7", b"8", b"9", b"10"]
    # Two subscriptions through one bus take two cursor slots; the failed
    # connect gave its slot back.
    assert [idx for idx, _ in bus.slow_subscribers("t", 0)] == [0, 1, 2, 3]


def test_subscription_at_the_top_of_the_cursor_range_keeps_its_slot(base_dir):
    bus = _RustBus("b", base_dir=base_dir, capacity=64, wal_enabled=False)
    bus.publish_many("t", [b"%d" % i for i in range(70)])
    top = bus.subscribe_from("t", 2**64 - 2, 5.0)
    assert top.try_recv() is None
    assert top.recv_timeout(0.0) is None
    other = bus.subscribe("t", 5.0)
    assert [idx for idx, _ in bus.slow_subscribers("t", 0)] == [0, 1]
    del other
    assert [idx for idx, _ in bus.slow_subscribers("t", 0)] == [0]


def test_subscribe_from_replays_the_log(base_dir):
    bus = _RustBus("b", base_dir=base_dir, capacity=4)
    bus.publish_many("t", [b"%d" % i for i in range(10)])
    sub = bus.subscribe_from("t", 2, 5.0)
    assert [sub.recv_timeout(5.0) for _ in range(8)] == [b"%d" % i for i in range(2, 10)]
    bus.publish("t", b"10")
    assert sub.recv_timeout(5.0) == b"10"


def test_subscriptions_outlive_the_bus(base_dir):
    publisher_bus = _RustBus("b", base_dir=base_dir)
    handle = publisher_bus.topic("t")
    sub = _RustBus("b", base_dir=base_dir).subscribe("t", 5.0)
    gc.collect()
    handle.publish(b"x")
    assert sub.recv_timeout(5.0) == b"x"


# ------------------------------------------------------------------- borrows


def test_borrow_conflicts_during_wait_for_subscribers(base_dir):
    bus = _RustBus("b", base_dir=base_dir)
    result = []
    waiter = threading.Thread(target=lambda: result.append(outcome(lambda: bus.wait_for_subscribers("t", 1, 10.0))))
    waiter.start()
    wait_until(lambda: holds_borrow(bus))
    exclusive = [
        lambda: bus.publish("t", b"x"),
        lambda: bus.publish("t", "wrong type"),  # the borrow comes before conversion
        lambda: bus.publish_many("t", [b"x"]),
        lambda: bus.topic("t"),
        lambda: bus.wait_for_subscribers("t", 0),
        lambda: bus.clean_topic("t"),
    ]
    shared = [
        lambda: bus.stats("t"),
        lambda: bus.slow_subscribers("t", 0),
        lambda: bus.subscribe("t", 0.0),
        lambda: bus.subscribe_with_history("t", 1, 0.0),
        lambda: bus.subscribe_from("t", 0, 0.0),
    ]
    for call in exclusive:
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            call()
    for call in shared:
        with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
            call()
    # Another bus object is independent: its subscriber ends the wait.
    other = _RustBus("b", base_dir=base_dir)
    other.publish("u", b"side by side")
    sub = other.subscribe("t", 5.0)
    waiter.join(10.0)
    assert result == [("ok", None)]
    bus.publish("t", b"after")
    assert sub.recv_timeout(5.0) == b"after"


def test_publish_releases_the_lock_and_publish_many_keeps_it(base_dir):
    bus = _RustBus("b", base_dir=base_dir, wal_enabled=False)
    # Each publish releases the interpreter lock, so a second thread runs
    # meanwhile and its call meets the first one's borrow.
    outcomes = hammer(lambda: bus.publish("t", b"x"), rounds=100000, until=conflict)
    assert any(conflict(r) for r in outcomes)
    assert all(kind == "ok" or conflict((kind, r)) for kind, r in outcomes)
    assert bus.stats("t").published_total == sum(kind == "ok" for kind, _ in outcomes)
    # publish_many keeps the lock for its whole run: no other thread ever
    # sees its borrow.
    outcomes = hammer(lambda: bus.publish_many("t", [b"a", b"b"]))
    assert outcomes and all(kind == "ok" and r == 2 for kind, r in outcomes)


def test_calls_that_keep_the_lock_never_meet_another_threads_borrow(base_dir):
    # topic, clean_topic, stats and slow_subscribers hold the interpreter lock
    # for their whole run, like publish_many: a second thread never finds the
    # bus borrowed, whichever of them it calls.
    bus = _RustBus("b", base_dir=base_dir, capacity=8, slot_size=64, wal_enabled=False, backpressure="drop_oldest")
    bus.publish_many("t", [])
    names = iter(range(10**6))

    def calls():
        bus.publish_many("t", [b"a"])
        bus.stats("t")
        bus.slow_subscribers("t", 0)
        bus.clean_topic("never")
        bus.topic("h%d" % next(names))  # made and dropped at once
        return "done"

    outcomes = hammer(calls, rounds=200)
    assert outcomes and all(r == ("ok", "done") for r in outcomes)


def test_borrow_conflicts_during_subscribe(base_dir):
    bus = _RustBus("b", base_dir=base_dir)
    result = []
    waiter = threading.Thread(target=lambda: result.append(outcome(lambda: bus.subscribe("t", 10.0))))
    waiter.start()
    wait_until(lambda: holds_borrow(bus))
    # Shared calls proceed beside a running subscribe.
    assert bus.stats("t") is None
    assert bus.slow_subscribers("t", 0) == []
    with pytest.raises(ConnectTimeoutError):
        bus.subscribe("t", 0.0)
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        bus.publish("t", b"x")
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        bus.wait_for_subscribers("t", 0)
    handle = _RustBus("b", base_dir=base_dir).topic("t")
    waiter.join(10.0)
    assert result and result[0][0] == "ok" and type(result[0][1]) is Subscription
    handle.publish(b"x")
    assert result[0][1].recv_timeout(5.0) == b"x"


def test_two_buses_run_side_by_side(base_dir):
    first, second = _RustBus("b", base_dir=base_dir), _RustBus("b", base_dir=base_dir)
    result = []
    waiter = threading.Thread(target=lambda: result.append(outcome(lambda: first.wait_for_subscribers("a", 1, 10.0))))
    waiter.start()
    wait_until(lambda: holds_borrow(first))
    for _ in range(50):
        second.publish("c", b"x")
    assert second.stats("c").published_total == 50
    sub = second.subscribe("a", 5.0)
    waiter.join(10.0)
    assert result == [("ok", None)]
    del sub


# -------------------------------------------------------------- cross-process

SUBSCRIBER_CHILD = textwrap.dedent(
    """
    import sys
    from qorva._qorva import _RustBus
    base_dir, topic, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
    sub = _RustBus("b", base_dir=base_dir).subscribe(topic, 10.0)
    got = []
    while len(got) < count:
        msg = sub.recv_timeout(10.0)
        if msg is None:
            break
        got.append(msg)
    sys.stdout.write(b"|".join(got).decode())
    """
)


PUBLISHER_CHILD = textwrap.dedent(
    """
    import sys
    from qorva._qorva import _RustBus
    base_dir, topic = sys.argv[1], sys.argv[2]
    handle = _RustBus("b", base_dir=base_dir).topic(topic)
    print("publishing", flush=True)
    handle.wait_for_subscribers(1, 10.0)
    handle.publish_many([b"a", b"b"])
    # Hold the producer lock until the parent has checked that it is held.
    sys.stdin.readline()
    handle.publish(b"last")
    """
)


def spawn_child(code, *args, stdin=None):
    env = dict(os.environ, PYTHONPATH=PYTHON_DIR)
    return subprocess.Popen(
        [sys.executable, "-c", code, *args],
        stdin=stdin,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        env=env,
    )


def spawn_subscriber(base_dir, topic, count):
    return spawn_child(SUBSCRIBER_CHILD, base_dir, topic, str(count))


def test_subscribe_to_a_publisher_in_another_process(base_dir):
    bus = _RustBus("b", base_dir=base_dir)
    child = spawn_child(PUBLISHER_CHILD, base_dir, "t", stdin=subprocess.PIPE)
    try:
        # The subscribe waits, with the interpreter lock released, for the
        # child's publisher to appear.
        sub = bus.subscribe("t", 10.0)
        assert [sub.recv_timeout(10.0) for _ in range(2)] == [b"a", b"b"]
        # The child's handle holds the producer lock across processes.
        with pytest.raises(AlreadyPublishingError, match="^a publisher is already active for topic 't'$"):
            bus.publish("t", b"mine")
        with pytest.raises(AlreadyPublishingError):
            bus.clean_topic("t")
        child.stdin.write(b"go\n")
        child.stdin.flush()
        assert sub.recv_timeout(10.0) == b"last"
        _, err = child.communicate(timeout=20)
    finally:
        child.kill()
        child.wait()
    assert child.returncode == 0, err.decode()
    # The child's publisher is gone with its process: this bus may publish,
    # and the log continues the numbering.
    bus.publish("t", b"mine")
    assert bus.stats("t").tail == 4
    bus.clean_topic("t")


def test_publish_to_a_subscriber_in_another_process(base_dir):
    bus = _RustBus("b", base_dir=base_dir)
    child = spawn_subscriber(base_dir, "t", 5)
    try:
        bus.wait_for_subscribers("t", 1, 10.0)
        bus.publish("t", b"one")
        assert bus.publish_many("t", [b"two", b"three"]) == 2
        handle = bus.topic("t")
        handle.publish(b"four")
        handle.publish_many([b"five"])
        out, err = child.communicate(timeout=20)
    finally:
        child.kill()
        child.wait()
    assert child.returncode == 0, err.decode()
    assert out.decode() == "one|two|three|four|five"


def test_publish_many_to_several_processes(base_dir):
    bus = _RustBus("b", base_dir=base_dir, capacity=1024)
    payloads = [b"m%04d" % i for i in range(500)]
    children = [spawn_subscriber(base_dir, "t", len(payloads)) for _ in range(2)]
    try:
        bus.wait_for_subscribers("t", 2, 10.0)
        assert bus.publish_many("t", payloads) == 500
        outs = [c.communicate(timeout=20) for c in children]
    finally:
        for c in children:
            c.kill()
            c.wait()
    for (out, err), c in zip(outs, children):
        assert c.returncode == 0, err.decode()
        assert out.decode().split("|") == [p.decode() for p in payloads]


# -------------------------------------------------------------- reference counts


def test_reference_counts_do_not_leak(bus):
    topic = "leak-topic"
    data = b"d" * 100
    payloads = [b"a", data]
    bad = [data, 1]
    bus.publish(topic, data)
    sub = bus.subscribe(topic, 5.0)
    counted = (topic, data, payloads, bad, bus)
    before = [sys.getrefcount(o) for o in counted]
    for i in range(3000):
        bus.publish(topic, data)
        bus.publish_many(topic, payloads)
        bus.stats(topic)
        bus.slow_subscribers(topic, 0)
        sub.try_recv()
        sub.try_recv()
        sub.try_recv()
        for call in (
            lambda: bus.publish(topic, 1),
            lambda: bus.publish_many(topic, bad),
            lambda: bus.publish(topic, data, 1),
            lambda: bus.wait_for_subscribers(topic, -1),
            lambda: bus.subscribe(topic, None),
        ):
            try:
                call()
            except (TypeError, OverflowError):
                pass
    gc.collect()
    assert [sys.getrefcount(o) for o in counted] == before
    del sub


def test_constructor_and_subscribe_do_not_leak_memory(base_dir):
    bus = _RustBus("b", base_dir=base_dir)
    bus.publish("t", b"x")

    def churn(rounds):
        for _ in range(rounds):
            _RustBus("c", base_dir=base_dir, capacity=8, backpressure="drop_oldest")
            try:
                _RustBus("c", backpressure="bad")
            except ValueError:
                pass
            sub = bus.subscribe("t", 1.0)
            del sub
            bus.publish("t", b"y")

    assert python_memory_growth(churn) < 64 * 1024
