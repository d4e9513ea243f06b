"""A normal interpreter exit writes out and syncs every open log, also the logs
of publishers that are never destroyed, so that a new publisher continues
after the last acknowledged message."""

import pytest

from support import run_python

from qorva._qorva import _RustBus

TOPIC = "t"
COUNT = 200

# The flusher thread would write the buffer out in the few milliseconds the
# exit takes and hide a loss. It is kept off the CPU: it shares this
# thread's one CPU, and this thread runs first (SCHED_FIFO) until it blocks.
# Without the privilege the test still runs, only less sharply.
CHILD = r"""
import atexit, gc, os, threading, time

base, name, keep, count = {args!r}

def publish_all():
    for i in range(count):
        pub.publish(b"%d" % i)

if keep == "published_in_atexit_hook":
    atexit.register(publish_all)  # before the import: runs after any hook qorva might register

from qorva._qorva import _RustBus

os.sched_setaffinity(0, {{min(os.sched_getaffinity(0))}})
bus = _RustBus(name, base_dir=base, wal_enabled=True)
pub = bus.topic("t")

if keep in ("daemon_thread", "published_in_atexit_hook"):
    parked = threading.Event()
    def hold(p=pub):
        parked.set()
        time.sleep(3600)
    threading.Thread(target=hold, daemon=True).start()
    parked.wait()
elif keep == "frozen_cycle":
    class Holder:
        pass
    h = Holder()
    h.me, h.pub = h, pub
    del h
    gc.freeze()  # as a prefork server does: the cycle is never collected

try:
    os.sched_setscheduler(0, os.SCHED_FIFO, os.sched_param(1))
except PermissionError:
    pass
if keep != "published_in_atexit_hook":
    publish_all()
"""

# One daemon thread publishes without pause while the interpreter exits.
# publish_many keeps the interpreter lock, so the thread is stopped between
# publishes.
STILL_PUBLISHING = r"""
import threading, time
from qorva._qorva import _RustBus

base, name = {args!r}
bus = _RustBus(name, base_dir=base, wal_enabled=True)
pub = bus.topic("t")
acked = 0

def publish_forever():
    global acked
    while True:
        pub.publish_many([b"%d" % acked])
        acked += 1

threading.Thread(target=publish_forever, daemon=True).start()
while acked < 2000:
    time.sleep(0.001)
print(acked)
"""


def replay(base_dir, bus_name):
    """Every message a new publisher of the topic finds in the log, from cursor 0."""
    bus = _RustBus(bus_name, base_dir=base_dir, wal_enabled=True)
    bus.publish_many(TOPIC, [])
    tail = bus.stats(TOPIC).tail
    sub = bus.subscribe_from(TOPIC, 0, timeout_secs=5)
    got = []
    while len(got) < tail:
        batch = sub.recv_batch(1000, 5.0)
        assert batch, "replay stopped at %d of %d" % (len(got), tail)
        got.extend(batch)
    return tail, got


@pytest.mark.parametrize("keep", ["daemon_thread", "frozen_cycle", "published_in_atexit_hook", "plain"])
def test_a_new_publisher_continues_after_every_message_acknowledged_before_exit(base_dir, bus_name, keep):
    run_python(CHILD.format(args=(base_dir, bus_name, keep, COUNT)))
    tail, got = replay(base_dir, bus_name)
    assert tail == COUNT
    assert got == [b"%d" % i for i in range(COUNT)]


def test_a_daemon_thread_publishing_through_the_exit_leaves_a_log_that_recovers(base_dir, bus_name):
    acked = int(run_python(STILL_PUBLISHING.format(args=(base_dir, bus_name))))
    tail, got = replay(base_dir, bus_name)
    assert tail >= acked
    assert got == [b"%d" % i for i in range(tail)]
