"""Objects across the ends of a process: a daemon thread inside a call when the
interpreter exits."""

import textwrap
import threading
import time

import pytest

from conftest import run_python

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
