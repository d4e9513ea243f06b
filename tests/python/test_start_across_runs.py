"""Starts below the tail after restarts with other log settings and over a
ring a crash left torn: a subscription gets only messages of the numbering
the live publisher continues, and from the ring only what that publisher
wrote."""

import mmap
import os
import struct

import pytest

from qorva._qorva import CursorTooOldError

from support import TOPIC, publish


def run(make_bus, name, count, wal, **kw):
    """A publisher run of `count` messages b"<name>-<cursor>"; its bus stays live."""
    bus = make_bus(capacity=kw.pop("capacity", 16), wal_enabled=wal, **kw)
    bus.publish_many(TOPIC, [])
    first = bus.stats(TOPIC).tail
    publish(bus, *[b"%s-%d" % (name, c) for c in range(first, first + count)])
    return bus


def messages(name, cursors):
    return [b"%s-%d" % (name, c) for c in cursors]


def receive_all(sub, n):
    got = [sub.recv_timeout(5) for _ in range(n)]
    assert sub.try_recv() is None
    return got


def flip_payload_byte(ring_path, cursor):
    """Damages message `cursor` in the ring as a torn page would: seq and length stay."""
    with open(ring_path, "r+b") as f, mmap.mmap(f.fileno(), 0) as m:
        capacity, slot_size, subscribers = struct.unpack_from("<III", m, 12)
        header = (16 * subscribers + 127) & ~63
        stride = (slot_size + 19) & ~7
        at = header + (cursor % capacity) * stride + 12
        m[at] ^= 0x01


def test_an_earlier_runs_messages_come_from_the_log_not_from_a_torn_ring(make_bus, base_dir, bus_name):
    first = run(make_bus, b"a", 100, wal=True)
    del first  # the log is synced; the ring keeps 84..99
    flip_payload_byte(os.path.join(base_dir, bus_name, TOPIC, "ring.mmap"), 95)
    live = make_bus(capacity=16, wal_enabled=True)
    live.publish_many(TOPIC, [])
    for sub in (live.subscribe_from(TOPIC, 90, timeout_secs=5), live.subscribe_with_history(TOPIC, 10, timeout_secs=5)):
        assert receive_all(sub, 10) == messages(b"a", range(90, 100))


# Runs in order, the last one live: (name, log on, messages). Then where
# subscribe_from(from_cursor) and subscribe_with_history(history) start, as
# the messages each receives; None: CursorTooOldError.
NUMBERINGS = [
    # A run without the log numbers from 0 again beside the older log, which
    # holds more than the live run, fewer, or fewer than the ring: the log
    # serves neither start, the history starts at what the ring holds.
    ("log off beside a longer log", [(b"a", True, 100), (b"b", False, 40)],
     20, None, 30, messages(b"b", range(24, 40))),
    ("log off beside a shorter log", [(b"a", True, 30), (b"b", False, 40)],
     20, None, 30, messages(b"b", range(24, 40))),
    ("log off beside a log below the ring", [(b"a", True, 10), (b"b", False, 40)],
     5, None, 40, messages(b"b", range(24, 40))),
    # A logging run after one without: it continues the log's numbering, and
    # the ring's slots below its first cursor hold the interlude's messages.
    ("log on again after a run without", [(b"a", True, 96), (b"b", False, 96), (b"c", True, 4)],
     90, messages(b"a", range(90, 96)) + messages(b"c", range(96, 100)),
     10, messages(b"a", range(90, 96)) + messages(b"c", range(96, 100))),
    # The live run's own log serves what the ring no longer holds.
    ("log on throughout", [(b"a", True, 1000)],
     0, messages(b"a", range(1000)), 1000, messages(b"a", range(1000))),
]


@pytest.mark.parametrize("runs, from_cursor, from_got, history, history_got",
                         [case[1:] for case in NUMBERINGS], ids=[case[0] for case in NUMBERINGS])
def test_a_start_below_the_tail_keeps_to_the_live_numbering(make_bus, runs, from_cursor, from_got, history,
                                                            history_got):
    live = None
    for name, wal, count in runs:
        live = None  # the run before ends first
        live = run(make_bus, name, count, wal)
    if from_got is None:
        with pytest.raises(CursorTooOldError, match=r"^cursor %d is older than the oldest in-ring slot \(24\)$"
                           % from_cursor):
            live.subscribe_from(TOPIC, from_cursor, timeout_secs=5)
    else:
        assert receive_all(live.subscribe_from(TOPIC, from_cursor, timeout_secs=5), len(from_got)) == from_got
    sub = live.subscribe_with_history(TOPIC, history, timeout_secs=5)
    assert receive_all(sub, len(history_got)) == history_got


def test_a_start_within_the_ring_of_a_run_without_the_log_never_falls_back_to_an_older_log(make_bus):
    run(make_bus, b"a", 100, wal=True)
    live = run(make_bus, b"b", 40, wal=False, capacity=8, backpressure="drop_oldest")
    sub = live.subscribe_from(TOPIC, 35, timeout_secs=5)
    publish(live, *messages(b"b", range(40, 56)))  # laps the subscriber
    with pytest.raises(CursorTooOldError, match=r"^cursor 35 is older than the oldest in-ring slot \(48\)$"):
        sub.recv_timeout(5)
    assert sub.recv_timeout(5) == b"b-48"
