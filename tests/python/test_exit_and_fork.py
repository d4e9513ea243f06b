"""Objects across the ends of a process: a daemon thread inside a call when the
interpreter exits, and objects a forked child inherited from its parent."""

import gc
import os
import select
import signal
import textwrap
import threading
import time
import warnings

import pytest

from qorva._qorva import BusFullError

from support import CHILD_PRELUDE, run_python

# ---------------------------------------------------------------------------
# A daemon thread inside a call at interpreter exit

# Messages that keep the children's blocking receives coming back: a thread
# of the test process publishes them to topic FEED of bus "feed".
FEED = "f"
FEED_MESSAGE = b"12345678"


@pytest.fixture
def feeder(make_bus):
    """Publishes FEED_MESSAGE every 0.2 ms while the test runs. Each child
    leaves its cursor slot behind (its subscription is never destroyed), so a
    test starts at most max_subscribers children on it."""
    bus = make_bus(name="feed", backpressure="drop_oldest")
    stop = threading.Event()

    def run():
        while not stop.is_set():
            bus.publish(FEED, FEED_MESSAGE)
            time.sleep(0.0002)

    thread = threading.Thread(target=run)
    thread.start()
    yield
    stop.set()
    thread.join(10)


# A child that starts a daemon thread calling `call` over and over, waits
# until three calls have returned and ends its script. The finalizer of an
# object that only a module in sys.modules holds sleeps 50 ms while the
# interpreter finalizes, so that the thread comes back for the interpreter
# lock meanwhile. Other exceptions than `expected` end the thread, and then
# the child fails for want of calls.
EXIT_SCRIPT = """
import sys, threading, time, types
class Linger:
    def __del__(self, sleep=time.sleep):
        sleep(0.05)
sys.modules["linger"] = types.ModuleType("linger")
sys.modules["linger"].it = Linger()
from qorva._qorva import _RustBus, ConnectTimeoutError
bus = _RustBus("own", base_dir={base!r}, capacity=16, slot_size=65536, backpressure="drop_oldest",
               wal_enabled=False)
big = bytes(60000)
{setup}
calls = 0
def loop():
    global calls
    while True:
        try:
            {call}
        except {expected}:
            pass
        calls += 1
threading.Thread(target=loop, daemon=True).start()
deadline = time.monotonic() + 20
while calls < 3:
    if time.monotonic() > deadline:
        sys.exit("the call did not come back three times")
    time.sleep(0.001)
"""

SUBSCRIBED = (
    "sub = _RustBus('feed', base_dir={base!r}).subscribe('" + FEED + "', timeout_secs=20)\n"
    "buf = bytearray(sub.max_payload_size)")

# A sequence whose items come from Python code that releases the lock.
SLOW_SEQUENCE = """
class Slow:
    def __len__(self):
        return 4
    def __getitem__(self, i):
        if i >= 4:
            raise IndexError(i)
        time.sleep(0.0005)
        return b"x"
"""

# (member, setup, call, exceptions the call may raise)
EXIT_CASES = [
    ("time.sleep", "", "time.sleep(0.001)", "()"),
    ("_RustBus.publish", "", "bus.publish('p', big)", "()"),
    ("_RustBus.publish_many of a sequence that sleeps", SLOW_SEQUENCE, "bus.publish_many('p', Slow())", "()"),
    ("_RustBus.wait_for_subscribers", "", "bus.wait_for_subscribers('w', 1, timeout_secs=0.001)",
     "ConnectTimeoutError"),
    ("_RustBus.subscribe", "", "bus.subscribe('nobody', timeout_secs=0.001)", "ConnectTimeoutError"),
    ("_RustBus.subscribe_with_history", "", "bus.subscribe_with_history('nobody', 4, timeout_secs=0.001)",
     "ConnectTimeoutError"),
    ("_RustBus.subscribe_from", "", "bus.subscribe_from('nobody', 0, timeout_secs=0.001)", "ConnectTimeoutError"),
    ("TopicPublisher.publish", "pub = bus.topic('q')", "pub.publish(big)", "()"),
    ("TopicPublisher.wait_for_subscribers", "pub = bus.topic('q')", "pub.wait_for_subscribers(1, timeout_secs=0.001)",
     "ConnectTimeoutError"),
    ("Subscription.recv", SUBSCRIBED, "sub.recv()", "()"),
    ("Subscription.__next__", SUBSCRIBED, "next(sub)", "()"),
    ("Subscription.recv_timeout", SUBSCRIBED, "sub.recv_timeout(0.001)", "()"),
    ("Subscription.recv_batch", SUBSCRIBED, "sub.recv_batch(8, 0.001)", "()"),
    ("Subscription.recv_into", SUBSCRIBED, "sub.recv_into(buf)", "()"),
    ("Subscription.recv_timeout_into", SUBSCRIBED, "sub.recv_timeout_into(buf, 0.001)", "()"),
    ("Subscription.recv_into_buffer", SUBSCRIBED, f"sub.recv_into_buffer(buf, {len(FEED_MESSAGE)}, 0.001)", "()"),
]


@pytest.mark.parametrize("setup,call,expected", [c[1:] for c in EXIT_CASES], ids=[c[0] for c in EXIT_CASES])
def test_daemon_thread_inside_a_call_ends_with_the_process(feeder, base_dir, setup, call, expected):
    code = textwrap.dedent(EXIT_SCRIPT).format(base=base_dir, setup=setup.format(base=base_dir), call=call,
                                               expected=expected)
    for _ in range(5):
        run_python(code)  # fails unless the child exits with status 0


# ---------------------------------------------------------------------------
# Objects inherited by a forked child

def forked_child_outcome(action, timeout=20.0):
    """Runs action() in a forked child that then ends with os._exit; returns
    "ok" or "<exception type>: <text>", or "hung" if it took longer than
    `timeout` (the child is killed)."""
    read_end, write_end = os.pipe()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # the test process has threads
        pid = os.fork()
    if pid == 0:
        try:
            os.close(read_end)
            try:
                action()
                text = "ok"
            except BaseException as exc:  # noqa: BLE001 - reported to the parent
                text = f"{type(exc).__name__}: {exc}"
            os.write(write_end, text.encode())
        finally:
            os._exit(0)
    os.close(write_end)
    deadline = time.monotonic() + timeout
    report = b""
    try:
        while True:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([read_end], [], [], left)[0]:
                os.kill(pid, signal.SIGKILL)
                report = b"hung"
                break
            chunk = os.read(read_end, 4096)
            if not chunk:
                break
            report += chunk
    finally:
        os.close(read_end)
        os.waitpid(pid, 0)  # it has closed its pipe end or been killed
    return report.decode()


def message(topic, i):
    return f"{topic}{i}".encode()


@pytest.fixture
def inherited(make_bus):
    """Objects a child is forked with: a bus that publishes topic "a" itself
    (with its log), a TopicPublisher of topic "b", a subscription to "a" (16
    slots, "error" backpressure) and a TopicStats snapshot; 8 messages on each
    topic so far. The dict holds the only references."""
    bus = make_bus(capacity=16, wal_enabled=True)
    objs = {"bus": bus, "pub": bus.topic("b")}
    bus.publish_many("a", [])
    objs["sub"] = bus.subscribe("a", timeout_secs=5)
    for i in range(1, 9):
        bus.publish("a", message("a", i))
        objs["pub"].publish(message("b", i))
    objs["stats"] = bus.stats("a")
    del bus
    return objs


def refused(class_name):
    return f"RuntimeError: {class_name} cannot be used in a forked child; create it in the child"


def new_bus_in_child(objs, make_bus):
    bus = make_bus(wal_enabled=False)
    bus.publish("c", b"made in the child")
    assert bus.stats("c").tail == 1


def drop_everything(objs, make_bus):
    objs.clear()
    gc.collect()


# (what the child does, what it reports)
FORK_CASES = [
    ("_RustBus.publish", lambda o, mk: o["bus"].publish("a", b"child"), refused("_RustBus")),
    ("_RustBus.stats", lambda o, mk: o["bus"].stats("a"), refused("_RustBus")),
    ("TopicPublisher.publish", lambda o, mk: o["pub"].publish(b"child"), refused("TopicPublisher")),
    ("TopicPublisher.__enter__", lambda o, mk: o["pub"].__enter__(), refused("TopicPublisher")),
    ("Subscription.recv_batch", lambda o, mk: o["sub"].recv_batch(16, 0.1), refused("Subscription")),
    ("Subscription.__next__", lambda o, mk: next(o["sub"]), refused("Subscription")),
    ("Subscription.cursor", lambda o, mk: o["sub"].cursor, refused("Subscription")),
    ("TopicStats snapshot", lambda o, mk: o["stats"].tail, "ok"),
    ("a new _RustBus", new_bus_in_child, "ok"),
    ("drop every inherited object", drop_everything, "ok"),
]


@pytest.mark.parametrize("action,report", [c[1:] for c in FORK_CASES], ids=[c[0] for c in FORK_CASES])
def test_forked_child_leaves_the_parents_topics_alone(inherited, make_bus, action, report):
    assert forked_child_outcome(lambda: action(inherited, make_bus)) == report
    objs = inherited
    # The parent publishes on until the ring is full behind its subscription,
    # which then gets every message.
    for i in range(9, 17):
        objs["bus"].publish("a", message("a", i))
        objs["pub"].publish(message("b", i))
    with pytest.raises(BusFullError):
        objs["bus"].publish("a", message("a", 17))
    assert [objs["sub"].recv_timeout(5) for _ in range(16)] == [message("a", i) for i in range(1, 17)]
    # The logs hold exactly the parent's messages: a new publisher of each
    # topic continues the numbering, and a replay from 0 gets them in order.
    objs.clear()
    gc.collect()
    bus = make_bus(capacity=16, wal_enabled=True)
    for topic in ("a", "b"):
        pub = bus.topic(topic)
        assert pub.stats().tail == 16
        replay = bus.subscribe_from(topic, 0, timeout_secs=5)
        assert [replay.recv_timeout(5) for _ in range(16)] == [message(topic, i) for i in range(1, 17)]
        assert replay.try_recv() is None


# Publishes once, forks a child that lives on, then ends without cleaning up.
PUBLISHER_WITH_CHILD = CHILD_PRELUDE + r"""
o = json.loads(sys.argv[1])
bus = _RustBus(o["name"], base_dir=o["base"], wal_enabled=False)
bus.publish("t", b"x")
r, w = os.pipe()
child = os.fork()
if child == 0:
    os.write(w, b"x")  # past fork(), as any code of its own is
    time.sleep(60)
    os._exit(0)
os.read(r, 1)
report(child=child)
os._exit(0)
"""


def test_a_publishers_forked_child_does_not_keep_its_topic(spawn, make_bus, base_dir, bus_name):
    parent = spawn(PUBLISHER_WITH_CHILD, dict(base=base_dir, name=bus_name))
    child = parent.read(20)["child"]
    try:
        assert parent.wait() == 0
        make_bus(wal_enabled=False).publish("t", b"y")  # not AlreadyPublishingError
    finally:
        os.kill(child, signal.SIGKILL)
