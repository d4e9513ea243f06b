"""TopicStats and WalStats: read-only snapshots, their attributes and reprs."""

import gc
import re
import time
import weakref

import pytest
from support import python_memory_growth

from qorva import _qorva
from qorva._qorva import TopicStats, WalStats, _RustBus

TOPIC_FIELDS = [
    "tail",
    "active_subscribers",
    "lags",
    "connected_sockets",
    "published_total",
    "full_rejected_total",
    "subscribers_dropped_total",
    "wakeups_sent_total",
    "wal",
]
WAL_FIELDS = [
    "pending_cursor",
    "durable_cursor",
    "oldest_cursor",
    "active_segment_bytes",
    "total_wal_bytes",
    "segments",
    "appends_total",
    "append_bytes_total",
    "flushes_total",
]
# Segment header and per-record framing, as written in the log.
SEGMENT_HEADER_BYTES = 32
RECORD_OVERHEAD_BYTES = 28


def make_bus(base_dir, **kw):
    return _RustBus("b", base_dir=base_dir, **kw)


def test_classes_are_registered_with_their_facts():
    for cls, name in ((TopicStats, "TopicStats"), (WalStats, "WalStats")):
        assert cls.__module__ == "qorva._qorva"
        assert cls.__name__ == cls.__qualname__ == name
        assert cls.__text_signature__ is None
        assert cls.__doc__
        assert getattr(_qorva, name) is cls


@pytest.mark.parametrize("cls", [TopicStats, WalStats])
def test_classes_have_no_constructor_and_no_subclasses(cls):
    with pytest.raises(TypeError, match=f"^No constructor defined for {cls.__name__}$"):
        cls()
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


def test_topic_stats_of_a_fresh_topic(base_dir):
    bus = make_bus(base_dir)
    bus.publish_many("t", [])
    stats = bus.stats("t")
    assert isinstance(stats, TopicStats)
    assert [getattr(stats, f) for f in TOPIC_FIELDS[:-1]] == [0, 0, [], 0, 0, 0, 0, 0]
    assert re.fullmatch(
        r"TopicStats\(tail=0, active_subscribers=0, lags=\[\], connected_sockets=0, "
        r"published_total=0, full_rejected_total=0, subscribers_dropped_total=0, "
        r"wakeups_sent_total=0, wal=<WalStats>\)",
        repr(stats),
    )
    assert str(stats) == repr(stats)


def test_attributes_are_in_declaration_order_and_read_only(base_dir):
    bus = make_bus(base_dir)
    bus.publish("t", b"x")
    stats = bus.stats("t")
    assert [n for n in vars(TopicStats) if n in TOPIC_FIELDS] == TOPIC_FIELDS
    assert [n for n in vars(WalStats) if n in WAL_FIELDS] == WAL_FIELDS
    for name in TOPIC_FIELDS:
        with pytest.raises(AttributeError):
            setattr(stats, name, 1)
        with pytest.raises(AttributeError):
            delattr(stats, name)
    wal = stats.wal
    for name in WAL_FIELDS:
        with pytest.raises(AttributeError):
            setattr(wal, name, 1)
    for obj in (stats, wal):
        with pytest.raises(AttributeError):
            obj.__dict__
        with pytest.raises(TypeError):
            weakref.ref(obj)
        with pytest.raises(AttributeError):
            obj.extra = 1
    assert TopicStats.wal.__doc__ and "None" in TopicStats.wal.__doc__


def test_wal_is_none_without_a_log(base_dir):
    bus = make_bus(base_dir, wal_enabled=False)
    bus.publish("t", b"x")
    stats = bus.stats("t")
    assert stats.wal is None
    assert repr(stats).endswith("wal=None)")
    assert bus.topic("t").stats().wal is None


def test_wal_stats_values_and_repr(base_dir):
    bus = make_bus(base_dir)
    bus.publish_many("t", [b"hello", b"world", b"!!!!!"])
    expected_bytes = SEGMENT_HEADER_BYTES + 3 * (RECORD_OVERHEAD_BYTES + 5)
    deadline = time.monotonic() + 5.0
    while True:
        wal = bus.stats("t").wal
        if wal.durable_cursor == 3 or time.monotonic() > deadline:
            break
        time.sleep(0.005)
    assert isinstance(wal, WalStats)
    assert wal.pending_cursor == 3
    assert wal.durable_cursor == 3
    assert wal.oldest_cursor == 0
    assert wal.active_segment_bytes == expected_bytes
    assert wal.total_wal_bytes == expected_bytes
    assert wal.segments == 1
    assert wal.appends_total == 3
    assert wal.append_bytes_total == 15
    assert wal.flushes_total >= 1
    assert repr(wal) == (
        f"WalStats(pending=3, durable=3, oldest=0, active_bytes={expected_bytes}, "
        f"total_bytes={expected_bytes}, segments=1, appends_total=3, append_bytes_total=15, "
        f"flushes_total={wal.flushes_total})"
    )
    assert str(wal) == repr(wal)
    assert repr(bus.stats("t")).endswith("wal=<WalStats>)")


def test_every_read_makes_a_new_object(base_dir):
    bus = make_bus(base_dir)
    bus.publish("t", b"x")
    sub = bus.subscribe("t", 5.0)
    bus.publish("t", b"y")
    stats = bus.stats("t")
    first, second = stats.wal, stats.wal
    assert first is not second
    assert first != second  # equality is identity
    assert [getattr(first, f) for f in WAL_FIELDS] == [getattr(second, f) for f in WAL_FIELDS]
    lags = stats.lags
    assert lags == stats.lags and lags is not stats.lags
    lags.append(99)
    assert stats.lags == [1]
    assert bus.stats("t") is not bus.stats("t")
    del sub


def test_snapshot_does_not_follow_the_publisher(base_dir):
    bus = make_bus(base_dir)
    bus.publish("t", b"x")
    before = bus.stats("t")
    bus.publish("t", b"y")
    assert (before.tail, before.published_total) == (1, 1)
    after = bus.stats("t")
    assert (after.tail, after.published_total) == (2, 2)


def test_wal_stats_outlive_snapshot_publisher_and_bus(base_dir):
    bus = make_bus(base_dir)
    bus.publish("t", b"abc")
    stats = bus.stats("t")
    wal = stats.wal
    del stats, bus
    gc.collect()
    assert wal.appends_total == 1
    assert "appends_total=1" in repr(wal)


def test_counters_of_subscribers_rejections_and_drops(base_dir):
    bus = make_bus(base_dir, capacity=2, wal_enabled=False)
    bus.publish_many("t", [])
    sub = bus.subscribe("t", 5.0)
    bus.publish_many("t", [b"a", b"b"])
    with pytest.raises(_qorva.BusFullError, match="^ring buffer full$"):
        bus.publish("t", b"c")
    stats = bus.stats("t")
    assert (stats.tail, stats.active_subscribers, stats.lags, stats.connected_sockets) == (2, 1, [2], 1)
    assert (stats.published_total, stats.full_rejected_total) == (2, 1)
    assert repr(stats) == (
        "TopicStats(tail=2, active_subscribers=1, lags=[2], connected_sockets=1, published_total=2, "
        "full_rejected_total=1, subscribers_dropped_total=0, wakeups_sent_total=0, wal=None)"
    )
    del sub
    gc.collect()
    bus.publish("t", b"c")
    stats = bus.stats("t")
    assert (stats.active_subscribers, stats.connected_sockets, stats.subscribers_dropped_total) == (0, 0, 1)


def test_lags_are_listed_in_slot_order(base_dir):
    bus = make_bus(base_dir, wal_enabled=False)
    bus.publish("t", b"0")
    first = bus.subscribe("t", 5.0)
    bus.publish_many("t", [b"1", b"2"])
    second = bus.subscribe("t", 5.0)
    bus.publish("t", b"3")
    assert first.recv_timeout(5.0) == b"1"
    stats = bus.stats("t")
    assert stats.lags == [2, 1]
    assert "lags=[2, 1]" in repr(stats)
    del first, second


def test_wakeups_are_counted(base_dir):
    import threading

    bus = make_bus(base_dir, wal_enabled=False)
    handle = bus.topic("t")
    sub = bus.subscribe("t", 5.0)
    handle.wait_for_subscribers(1, 5.0)
    got = []

    def read():
        # Bounded, but long enough to outlast the publishing loop below: the
        # reader ends with the b"end" message.
        deadline = time.monotonic() + 40.0
        while time.monotonic() < deadline:
            msg = sub.recv_timeout(0.5)
            if msg is not None:
                got.append(msg)
                if msg == b"end":
                    return

    reader = threading.Thread(target=read)
    reader.start()
    deadline = time.monotonic() + 20.0
    # The reader arms its wakeup flag whenever it finds the ring empty, which
    # is nearly always between two spaced-out publishes.
    while handle.stats().wakeups_sent_total == 0 and time.monotonic() < deadline:
        time.sleep(0.02)
        handle.publish(b"m")
    handle.publish(b"end")
    reader.join(45.0)
    assert got and got[-1] == b"end" and set(got[:-1]) == {b"m"}
    assert handle.stats().wakeups_sent_total >= 1


def test_reads_do_not_leak(base_dir):
    bus = make_bus(base_dir)
    bus.publish("t", b"x")

    def churn(rounds):
        for _ in range(rounds):
            stats = bus.stats("t")
            stats.lags, stats.wal, repr(stats), repr(stats.wal), stats.tail

    assert python_memory_growth(churn, warm_up=1000, rounds=20000) < 64 * 1024
