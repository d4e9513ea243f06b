"""Cursor slots of subscriber processes that ended without destroying their
Subscription: the running publisher frees them once their connection hangs
up, the next publisher of the topic frees them at its start, and both keep
those of subscribers that live on."""

import gc
import os
import signal
import socket
import struct
import time

import pytest

from qorva._qorva import BusFullError

from support import CHILD_PRELUDE

TOPIC = "t"


def message(i):
    return struct.pack("<QQ", i, (i * 0x9E3779B97F4A7C15) & 0xFFFFFFFFFFFFFFFF)


# Subscribes, then ends as o["end"] says, never destroying the subscription:
# killed by a signal, os._exit(), a normal exit while a daemon thread iterates
# it, or killed while a child it forked lives on. With "forked_child_exits" it
# forks a child that exits, then, as with "idle", reads o["count"] messages
# once the file o["go"] exists, without blocking: its publisher may be
# replaced meanwhile, and a blocking wait would report that one's hang-up.
SUBSCRIBER = CHILD_PRELUDE + r"""
import threading
o = json.loads(sys.argv[1])
bus = _RustBus(o["name"], base_dir=o["base"])
sub = bus.subscribe(o["topic"], timeout_secs=30)
end = o["end"]
ready = {"ready": sub.cursor}
if end in ("forked_child_lives", "forked_child_exits"):
    r, w = os.pipe()
    child = os.fork()
    if child == 0:
        os.write(w, b"x")  # past fork(), as any code of its own is
        if end == "forked_child_lives":
            time.sleep(60)
        sys.exit(0)  # an ordinary exit: the inherited objects are destroyed
    os.read(r, 1)
    if end == "forked_child_exits":
        os.waitpid(child, 0)
    ready["child"] = child
if end == "daemon_thread":
    started = threading.Event()
    def iterate():
        started.set()
        for _ in sub:
            pass
    threading.Thread(target=iterate, daemon=True).start()
    started.wait(10)
    time.sleep(0.05)  # into the blocking receive
report(**ready)
if "end_at" in o:  # once the publisher has taken it in
    wait_for_file(o["end_at"], 60)
if end == "os_exit":
    os._exit(0)
if end == "daemon_thread":
    sys.exit(0)
if end in ("forked_child_exits", "idle"):
    wait_for_file(o["go"], 60)
    got, deadline = [], time.monotonic() + 30
    while len(got) < o["count"] and time.monotonic() < deadline:
        m = sub.try_recv()
        if m is None:
            time.sleep(0.0005)
        else:
            got.append(index_of(m))
    report(got=got)
time.sleep(60)
"""

# How each subscriber ends, and its exit status.
ENDINGS = {"sigkill": -signal.SIGKILL, "sigterm": -signal.SIGTERM, "os_exit": 0, "daemon_thread": 0,
           "forked_child_lives": -signal.SIGKILL}


def start_subscriber(spawn, base_dir, bus_name, **options):
    child = spawn(SUBSCRIBER, dict(base=base_dir, name=bus_name, topic=TOPIC, **options))
    return child, child.read(20)


def end_subscriber(child, end, end_at):
    open(end_at, "w").close()
    if ENDINGS[end] < 0:
        os.kill(child.pid, -ENDINGS[end])
    assert child.wait() == ENDINGS[end]


def publish_draining(bus, sub, indices, deadline):
    """Publishes each index under "error", draining `sub` while the ring is
    full; returns what `sub` received."""
    got = []
    for i in indices:
        while True:
            try:
                bus.publish(TOPIC, message(i))
                break
            except BusFullError:
                assert time.monotonic() < deadline, "still full at %d, %d received" % (i, len(got))
                m = sub.try_recv()
                if m is None:
                    time.sleep(0.0005)
                else:
                    got.append(struct.unpack("<QQ", m)[0])
    while (m := sub.recv_timeout(1.0)) is not None and len(got) < len(indices):
        got.append(struct.unpack("<QQ", m)[0])
    return got


@pytest.mark.parametrize("end", list(ENDINGS))
def test_running_publisher_frees_the_slot_of_a_subscriber_that_ended_without_closing(spawn, make_bus, base_dir,
                                                                                     bus_name, end):
    bus = make_bus(capacity=16, max_subscribers=2)
    bus.publish_many(TOPIC, [])
    live = bus.subscribe(TOPIC, timeout_secs=10)
    end_at = os.path.join(base_dir, "end")
    child, ready = start_subscriber(spawn, base_dir, bus_name, end=end, end_at=end_at)
    try:
        bus.wait_for_subscribers(TOPIC, 2, 10)
        end_subscriber(child, end, end_at)
        began = time.monotonic()
        assert publish_draining(bus, live, range(200), began + 10) == list(range(200))
        assert time.monotonic() - began < 5
        assert bus.stats(TOPIC).active_subscribers == 1
        again = bus.subscribe(TOPIC, timeout_secs=5)  # the freed slot, with max_subscribers 2
        bus.publish(TOPIC, message(200))
        assert struct.unpack("<QQ", again.recv_timeout(5.0))[0] == 200
    finally:
        if "child" in ready:
            os.kill(ready["child"], signal.SIGKILL)


@pytest.mark.parametrize("end", ["idle", "forked_child_exits"])
def test_running_publisher_keeps_the_slot_of_a_live_subscriber(spawn, make_bus, base_dir, bus_name, end):
    go = os.path.join(base_dir, "go")
    count = 12
    bus = make_bus(capacity=16)
    bus.publish_many(TOPIC, [])
    child, _ = start_subscriber(spawn, base_dir, bus_name, end=end, go=go, count=count)
    bus.wait_for_subscribers(TOPIC, 1, 10)
    for i in range(count):  # seconds apart in all, each publish a timed pass
        bus.publish(TOPIC, message(i))
        time.sleep(0.15)
    assert bus.stats(TOPIC).active_subscribers == 1
    open(go, "w").close()
    assert child.read(40) == {"got": list(range(count))}


def test_a_handshake_naming_a_connected_subscribers_slot_is_refused(make_bus, base_dir, bus_name):
    bus = make_bus(capacity=16)
    bus.publish_many(TOPIC, [])
    live = bus.subscribe(TOPIC, timeout_secs=10)
    slot = bus.stats(TOPIC).active_subscribers - 1
    stray = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    stray.connect(os.path.join(base_dir, bus_name, TOPIC, "signal.sock"))
    wake = os.eventfd(0)
    try:
        socket.send_fds(stray, [struct.pack("<I", slot)], [wake])
        stray.settimeout(5)
        for i in range(5):  # far enough apart for timed passes to take the stray handshake in
            bus.publish(TOPIC, message(i))
            time.sleep(0.02)
        assert stray.recv(1) == b""  # closed by the publisher
        # The live subscriber keeps its connection: a blocking wait is woken.
        got = [struct.unpack("<QQ", live.recv_timeout(5.0))[0] for _ in range(5)]
        assert live.recv_timeout(0.2) is None  # a cut-off client would see the publisher disconnected
        bus.publish(TOPIC, message(5))
        got.append(struct.unpack("<QQ", live.recv_timeout(5.0))[0])
        assert got == list(range(6))
    finally:
        os.close(wake)
        stray.close()


@pytest.mark.parametrize("end", list(ENDINGS))
def test_next_publisher_frees_the_slot_of_a_subscriber_that_ended_without_closing(spawn, make_bus, base_dir,
                                                                                  bus_name, end):
    bus = make_bus(capacity=16)
    bus.publish_many(TOPIC, [])
    end_at = os.path.join(base_dir, "end")
    child, ready = start_subscriber(spawn, base_dir, bus_name, end=end, end_at=end_at)
    try:
        bus.wait_for_subscribers(TOPIC, 1, 10)
        end_subscriber(child, end, end_at)
        del bus
        gc.collect()
        bus = make_bus(capacity=16)
        for i in range(5 * 16):
            bus.publish(TOPIC, message(i))
        assert bus.stats(TOPIC).active_subscribers == 0
    finally:
        if "child" in ready:
            os.kill(ready["child"], signal.SIGKILL)


def test_subscriber_whose_forked_child_exited_keeps_its_slot_and_every_message(spawn, make_bus, base_dir,
                                                                               bus_name):
    go = os.path.join(base_dir, "go")
    before, after = 5, 3 * 16
    bus = make_bus(capacity=16, wal_enabled=True)
    bus.publish_many(TOPIC, [])
    child, _ = start_subscriber(spawn, base_dir, bus_name, end="forked_child_exits", go=go, count=before + after)
    bus.wait_for_subscribers(TOPIC, 1, 10)
    for i in range(before):
        bus.publish(TOPIC, message(i))
    del bus
    gc.collect()
    bus = make_bus(capacity=16, wal_enabled=True)
    bus.publish_many(TOPIC, [])
    assert bus.stats(TOPIC).active_subscribers == 1
    assert bus.stats(TOPIC).tail == before
    open(go, "w").close()
    deadline = time.monotonic() + 30
    for i in range(before, before + after):
        while True:
            try:
                bus.publish(TOPIC, message(i))
                break
            except BusFullError:
                assert time.monotonic() < deadline
                time.sleep(0.0005)
    assert child.read(40) == {"got": list(range(before + after))}
