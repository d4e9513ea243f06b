"""TopicPublisher: the prepared publish handle that owns its topic's publisher."""

import gc
import os
import sys
import threading
import weakref

import pytest
from support import check_raised, conflict, hammer, outcome
from support import wait_until

from qorva import _qorva
from qorva._qorva import AlreadyPublishingError, TopicPublisher, TopicStats, _RustBus


@pytest.fixture
def bus(base_dir):
    return _RustBus("b", base_dir=base_dir)


def test_class_facts():
    assert TopicPublisher.__module__ == "qorva._qorva"
    assert TopicPublisher.__name__ == TopicPublisher.__qualname__ == "TopicPublisher"
    assert TopicPublisher.__text_signature__ is None
    assert "producer lock" in TopicPublisher.__doc__
    with pytest.raises(TypeError, match="^No constructor defined for TopicPublisher$"):
        TopicPublisher()
    with pytest.raises(TypeError):
        type("Sub", (TopicPublisher,), {})
    methods = ["publish", "publish_many", "wait_for_subscribers", "stats", "__enter__", "__exit__"]
    assert [n for n in vars(TopicPublisher) if n in methods] == methods


@pytest.mark.parametrize(
    "method, signature",
    [
        ("publish", "($self, data)"),
        ("publish_many", "($self, payloads)"),
        ("wait_for_subscribers", "($self, n=1, timeout_secs=30.0)"),
        ("stats", "($self)"),
        ("__enter__", "($self)"),
        ("__exit__", "($self, _exc_type=None, _exc_val=None, _exc_tb=None)"),
    ],
)
def test_method_signatures(method, signature):
    assert getattr(TopicPublisher, method).__text_signature__ == signature


def test_no_dict_no_weakref(bus):
    handle = bus.topic("t")
    with pytest.raises(AttributeError):
        handle.__dict__
    with pytest.raises(AttributeError):
        handle.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(handle)


ARGUMENT_ERRORS = [
    (lambda h: h.publish(), TypeError, "TopicPublisher.publish() missing 1 required positional argument: 'data'"),
    (lambda h: h.publish(b"a", b"b"), TypeError, "TopicPublisher.publish() takes 1 positional arguments but 2 were given"),
    (lambda h: h.publish(b"a", data=b"b"), TypeError, "TopicPublisher.publish() got multiple values for argument 'data'"),
    (lambda h: h.publish(payload=b"a"), TypeError, "TopicPublisher.publish() got an unexpected keyword argument 'payload'"),
    (lambda h: h.publish(bytearray(b"x")), TypeError, "argument 'data': 'bytearray' object cannot be converted to 'PyBytes'"),
    (lambda h: h.publish("x"), TypeError, "argument 'data': 'str' object cannot be converted to 'PyBytes'"),
    (lambda h: h.publish(memoryview(b"x")), TypeError, "argument 'data': 'memoryview' object cannot be converted to 'PyBytes'"),
    (lambda h: h.publish_many(), TypeError, "TopicPublisher.publish_many() missing 1 required positional argument: 'payloads'"),
    (lambda h: h.publish_many("ab"), TypeError, "argument 'payloads': Can't extract `str` to `Vec`"),
    (lambda h: h.publish_many(b"ab"), TypeError, "argument 'payloads': 'int' object cannot be converted to 'PyBytes'"),
    (lambda h: h.publish_many(x for x in [b"a"]), TypeError, "argument 'payloads': 'generator' object cannot be converted to 'Sequence'"),
    (lambda h: h.publish_many({b"a"}), TypeError, "argument 'payloads': 'set' object cannot be converted to 'Sequence'"),
    (lambda h: h.publish_many([b"a", 1]), TypeError, "argument 'payloads': 'int' object cannot be converted to 'PyBytes'"),
    (lambda h: h.wait_for_subscribers(1, 1.0, 3), TypeError, "TopicPublisher.wait_for_subscribers() takes from 0 to 2 positional arguments but 3 were given"),
    (lambda h: h.wait_for_subscribers(k=1), TypeError, "TopicPublisher.wait_for_subscribers() got an unexpected keyword argument 'k'"),
    (lambda h: h.wait_for_subscribers(-1), OverflowError, None),
    (lambda h: h.wait_for_subscribers(2**64), OverflowError, None),
    (lambda h: h.wait_for_subscribers(None), TypeError, "argument 'n': "),
    (lambda h: h.wait_for_subscribers(1.0), TypeError, "argument 'n': "),
    (lambda h: h.wait_for_subscribers(0, None), TypeError, "argument 'timeout_secs': "),
    (lambda h: h.wait_for_subscribers(0, "1"), TypeError, "argument 'timeout_secs': "),
    (lambda h: h.wait_for_subscribers(0, -1.0), ValueError, None),
    (lambda h: h.wait_for_subscribers(0, float("nan")), ValueError, None),
]


@pytest.mark.parametrize("call, exc, text", ARGUMENT_ERRORS)
def test_argument_errors(bus, call, exc, text):
    handle = bus.topic("t")
    with pytest.raises(exc) as info:
        call(handle)
    check_raised(info, exc, text)
    # Nothing was published, and the handle stays usable.
    assert handle.stats().published_total == 0
    handle.publish(b"ok")
    assert handle.stats().published_total == 1


def test_publish_and_publish_many(bus):
    handle = bus.topic("t")
    sub = bus.subscribe("t", 5.0)
    assert handle.publish(b"") is None
    assert handle.publish(data=b"kw") is None
    assert handle.publish_many([]) == 0
    assert handle.publish_many((b"a", b"b")) == 2
    assert handle.publish_many(payloads=[b"c"]) == 1

    class Payload(bytes):
        pass

    handle.publish(Payload(b"sub"))
    assert [sub.recv_timeout(5.0) for _ in range(5)] == [b"", b"kw", b"a", b"b", b"c"]
    assert sub.recv_timeout(5.0) == b"sub"
    assert handle.stats().published_total == 6


def test_publish_many_stops_early_on_a_full_ring(base_dir):
    bus = _RustBus("b", base_dir=base_dir, capacity=4, wal_enabled=False)
    handle = bus.topic("t")
    sub = bus.subscribe("t", 5.0)
    assert handle.publish_many([b"%d" % i for i in range(6)]) == 4
    with pytest.raises(_qorva.BusFullError):
        handle.publish(b"x")
    assert [sub.recv_timeout(5.0) for _ in range(4)] == [b"0", b"1", b"2", b"3"]
    assert handle.publish_many([b"4", b"5"]) == 2


def test_publish_many_raises_after_writing_earlier_payloads(base_dir):
    bus = _RustBus("b", base_dir=base_dir, slot_size=4, wal_enabled=False)
    handle = bus.topic("t")
    with pytest.raises(_qorva.MessageTooLargeError, match="^message is 5 bytes; slot_size is 4 bytes$"):
        handle.publish_many([b"ok", b"toolong"[:5]])
    assert handle.stats().published_total == 1


def test_wait_for_subscribers(bus):
    handle = bus.topic("t")
    assert handle.wait_for_subscribers(0) is None
    with pytest.raises(_qorva.ConnectTimeoutError, match="^timed out waiting for 'waiting for subscribers'$"):
        handle.wait_for_subscribers(1, 0.0)
    with pytest.raises(_qorva.ConnectTimeoutError):
        handle.wait_for_subscribers(timeout_secs=0)  # an int timeout is accepted
    sub = bus.subscribe("t", 5.0)
    assert handle.wait_for_subscribers(1, 0.0) is None
    assert handle.wait_for_subscribers(n=1, timeout_secs=float("inf")) is None
    assert handle.stats().connected_sockets == 1
    del sub


def test_stats_returns_new_objects(base_dir):
    for wal_enabled in (True, False):
        bus = _RustBus("b" + str(wal_enabled), base_dir=base_dir, wal_enabled=wal_enabled)
        handle = bus.topic("t")
        first, second = handle.stats(), handle.stats()
        assert isinstance(first, TopicStats) and first is not second
        assert (first.wal is None) == (not wal_enabled)


def test_handle_owns_the_producer_lock(bus, base_dir):
    bus.publish("t", b"x")
    handle = bus.topic("t")
    # The handle carries on the publisher that the bus had cached.
    assert handle.stats().published_total == 1
    assert bus.stats("t") is None
    message = "^a publisher is already active for topic 't'$"
    for call in (
        lambda: bus.topic("t"),
        lambda: bus.publish("t", b"y"),
        lambda: bus.publish_many("t", [b"y"]),
        lambda: bus.wait_for_subscribers("t", 0, 0.0),
        lambda: bus.clean_topic("t"),
        lambda: _RustBus("b", base_dir=base_dir).publish("t", b"y"),
    ):
        with pytest.raises(AlreadyPublishingError, match=message):
            call()
    assert os.path.exists(os.path.join(base_dir, "b", "t", "ring.mmap"))

    with handle as entered:
        assert entered is handle
        handle.publish(b"inside")
    # Leaving the with block releases nothing.
    handle.publish(b"after")
    with pytest.raises(AlreadyPublishingError):
        bus.publish("t", b"y")
    assert handle.stats().published_total == 3

    del handle, entered
    gc.collect()
    bus.publish("t", b"y")
    assert bus.stats("t").published_total == 1


def test_with_block_propagates_exceptions(bus):
    handle = bus.topic("t")
    with pytest.raises(KeyError):
        with handle:
            raise KeyError("k")
    assert handle.__exit__(None, None, None) is False
    assert handle.__exit__(1, 2, 3) is False
    assert handle.__exit__() is False
    handle.publish(b"still usable")


def test_handle_outlives_the_bus(base_dir):
    bus = _RustBus("b", base_dir=base_dir)
    handle = bus.topic("t")
    sub = bus.subscribe("t", 5.0)
    del bus
    gc.collect()
    handle.publish(b"after the bus")
    assert sub.recv_timeout(5.0) == b"after the bus"


def holds_borrow(handle):
    # __exit__ borrows exclusively and keeps the interpreter lock, so it
    # cannot disturb a borrow that another thread holds.
    try:
        handle.__exit__()
        return False
    except RuntimeError:
        return True


def test_borrow_conflicts_while_the_lock_is_released(bus):
    handle = bus.topic("t")
    errors = []
    waiter = threading.Thread(target=lambda: errors.append(outcome(lambda: handle.wait_for_subscribers(1, 10.0))))
    waiter.start()

    wait_until(lambda: holds_borrow(handle))
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        handle.publish(b"x")
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        handle.publish_many([b"x"])
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        handle.wait_for_subscribers(0)
    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        handle.stats()
    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        handle.__enter__()
    # The borrow is taken before the arguments are looked at.
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        handle.publish("not bytes")
    # Other objects are not affected: the bus subscribes, which ends the wait.
    sub = bus.subscribe("t", 5.0)
    waiter.join(10.0)
    assert errors == [("ok", None)]
    handle.publish(b"after")
    assert sub.recv_timeout(5.0) == b"after"


def test_publish_releases_the_lock_and_publish_many_keeps_it(base_dir):
    handle = _RustBus("b", base_dir=base_dir, wal_enabled=False).topic("t")
    # Each publish releases the interpreter lock, so a second thread runs
    # meanwhile and its call meets the first one's borrow.
    outcomes = hammer(lambda: handle.publish(b"x"), rounds=100000, until=conflict)
    assert any(conflict(r) for r in outcomes)
    assert all(kind == "ok" or conflict((kind, r)) for kind, r in outcomes)
    assert handle.stats().published_total == sum(kind == "ok" for kind, _ in outcomes)
    # publish_many keeps the lock for its whole run: no other thread ever
    # sees its borrow.
    outcomes = hammer(lambda: handle.publish_many([b"a", b"b"]))
    assert outcomes and all(kind == "ok" and r == 2 for kind, r in outcomes)


def test_calls_that_keep_the_lock_never_meet_another_threads_borrow(base_dir):
    handle = _RustBus("b", base_dir=base_dir, wal_enabled=False, backpressure="drop_oldest").topic("t")

    def calls():
        handle.publish_many([b"a"])
        handle.stats()
        with handle:
            pass
        return "done"

    outcomes = hammer(calls, rounds=2000)
    assert outcomes and all(r == ("ok", "done") for r in outcomes)


def test_two_handles_publish_side_by_side(bus):
    first, second = bus.topic("a"), bus.topic("b")
    results = []
    waiter = threading.Thread(target=lambda: results.append(outcome(lambda: first.wait_for_subscribers(1, 10.0))))
    waiter.start()
    wait_until(lambda: holds_borrow(first))
    for _ in range(100):
        second.publish(b"x")
    assert second.stats().published_total == 100
    sub = bus.subscribe("a", 5.0)
    waiter.join(10.0)
    assert results == [("ok", None)]
    del sub


def test_reference_counts_do_not_leak(bus):
    handle = bus.topic("t")
    data = b"payload" * 10
    payloads = [b"a", b"b", data]
    bad = [b"ok", 1]
    base = (sys.getrefcount(data), sys.getrefcount(payloads), sys.getrefcount(bad), sys.getrefcount(handle))
    for _ in range(5000):
        handle.publish(data)
        handle.publish_many(payloads)
        handle.stats()
        with handle:
            pass
        for call in (lambda: handle.publish(1), lambda: handle.publish_many(bad)):
            try:
                call()
            except TypeError:
                pass
    gc.collect()
    now = (sys.getrefcount(data), sys.getrefcount(payloads), sys.getrefcount(bad), sys.getrefcount(handle))
    assert now == base
    assert sys.getrefcount(bad[0]) < 100
