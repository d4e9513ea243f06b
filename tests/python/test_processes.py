"""Publishers and subscribers in separate processes: every receive style
against one publisher, subscribers and publishers killed with SIGKILL, a
publisher restarted over its log, late subscribers replaying from the log."""

import os
import re
import signal
import struct
import subprocess
import sys
import time

import pytest

from qorva._qorva import BusFullError

from support import CHILD_PRELUDE, PACKAGE_ROOT, PUBLISHER_SCRIPT, SUBSCRIBER_SCRIPT, wait_until

TOPIC = "t"
STYLES = ["recv", "iter", "recv_timeout", "recv_batch", "try_recv", "recv_into", "recv_timeout_into",
          "try_recv_into", "recv_into_buffer", "poll_recv"]


def options(base_dir, bus_name, **kw):
    return dict(base=base_dir, name=bus_name, topic=TOPIC, **kw)


def touch(path):
    open(path, "w").close()


def message(i):
    return struct.pack("<QQ", i, (i * 0x9E3779B97F4A7C15) & 0xFFFFFFFFFFFFFFFF)


def test_every_receive_style_gets_every_message_from_one_publisher(spawn, base_dir, bus_name):
    count = 3000
    stop = os.path.join(base_dir, "stop")
    pub = spawn(PUBLISHER_SCRIPT, options(base_dir, bus_name, subscribers=len(STYLES), count=count, stop=stop))
    subs = {style: spawn(SUBSCRIBER_SCRIPT, options(base_dir, bus_name, style=style, count=count))
            for style in STYLES}
    for child in subs.values():
        assert child.expect("ready", 40) == 0
    assert pub.expect("tail", 40) == 0
    done = pub.read(90)
    assert done["published"] == count
    for style, child in subs.items():
        result = child.read(90)
        assert result == {"got": count, "first": 0, "in_order": True, "cursor": count}, style
        assert child.wait() == 0, child.stderr()
    touch(stop)
    assert pub.wait() == 0, pub.stderr()
    # Subscribers slept and were woken: the publisher wrote wakeups.
    assert done["wakeups"] > 0


def kill_one_of_two(spawn, bus, base_dir, bus_name, victim_style, survivor_style, survivor_count, killed_at):
    """Two subscriber processes; the victim is SIGKILLed once both have read
    the first `killed_at` messages. Returns the survivor."""
    bus.publish_many(TOPIC, [])
    victim = spawn(SUBSCRIBER_SCRIPT, options(base_dir, bus_name, style=victim_style, count=killed_at,
                                              then="linger"))
    assert victim.expect("ready", 20) == 0
    survivor = spawn(SUBSCRIBER_SCRIPT, options(base_dir, bus_name, style=survivor_style, count=survivor_count))
    assert survivor.expect("ready", 20) == 0
    bus.wait_for_subscribers(TOPIC, 2, 10)
    for i in range(killed_at):
        bus.publish(TOPIC, message(i))
    assert victim.read(20)["got"] == killed_at
    wait_until(lambda: bus.stats(TOPIC).lags == [0, 0])
    victim.kill()
    return survivor


def test_sigkilled_subscriber_is_dropped_and_its_slot_freed(spawn, make_bus, base_dir, bus_name):
    bus = make_bus(capacity=64)
    total = 10 + 2 * 64
    survivor = kill_one_of_two(spawn, bus, base_dir, bus_name, "recv", "iter", total, killed_at=10)
    # The dead subscriber's cursor stays at 10 only until the publisher's next
    # timed pass sees its connection hung up: then two rings more go through.
    deadline = time.monotonic() + 10
    for i in range(10, total):
        while True:
            try:
                bus.publish(TOPIC, message(i))
                break
            except BusFullError:
                assert time.monotonic() < deadline, "still full at %d" % i
                time.sleep(0.001)
    assert bus.stats(TOPIC).subscribers_dropped_total == 1  # the killed one; only a pass drops
    assert survivor.read(20) == {"got": total, "first": 0, "in_order": True, "cursor": total}
    assert survivor.wait() == 0
    wait_until(lambda: bus.stats(TOPIC).active_subscribers == 0)


def test_sigkilled_subscriber_is_passed_under_drop_oldest(spawn, make_bus, base_dir, bus_name):
    bus = make_bus(capacity=64, backpressure="drop_oldest")
    survivor = kill_one_of_two(spawn, bus, base_dir, bus_name, "recv_into", "poll_recv", 500, killed_at=5)
    for i in range(5, 500):
        # Stay within a ring of the survivor, so that only the dead one is lapped.
        wait_until(lambda: min(bus.stats(TOPIC).lags) < 32, timeout=10)
        bus.publish(TOPIC, message(i))
    assert survivor.read(30) == {"got": 500, "first": 0, "in_order": True, "cursor": 500}
    assert survivor.wait() == 0


def test_sigkilled_publisher_ends_old_subscriptions_and_a_restart_continues_from_the_log(spawn, base_dir,
                                                                                           bus_name):
    files = {k: os.path.join(base_dir, k) for k in ("more", "restarted", "go")}
    first = spawn(PUBLISHER_SCRIPT, options(base_dir, bus_name, wal=True, subscribers=4, count=101, pause_at=100,
                                            resume=files["more"], durable=True, stop=files["go"]))
    enders = {style: spawn(SUBSCRIBER_SCRIPT, options(base_dir, bus_name, style=style, count=101, then="end"))
              for style in ("iter", "recv", "recv_timeout")}
    armed = spawn(ARMED_SUBSCRIBER, options(base_dir, bus_name, count=100, restarted=files["restarted"]))
    for child in list(enders.values()) + [armed]:
        assert child.expect("ready", 40) == 0
    assert first.expect("tail", 40) == 0
    assert first.expect("paused", 40) == 100
    assert armed.read(40) == {"got": 100, "armed": False}
    touch(files["more"])  # message 100 goes out and leaves a unit in the armed subscriber
    assert first.read(40)["published"] == 101
    for child in enders.values():
        assert child.read(40) == {"got": 101, "first": 0, "in_order": True, "cursor": 101}

    first.kill()  # SIGKILL
    assert enders["iter"].read(20) == {"ended": "quietly", "extra": []}
    for style in ("recv", "recv_timeout"):
        assert enders[style].read(20) == {"ended": "OSError: publisher disconnected", "extra": [], "errno": None}
    assert armed.expect("hung_up", 20) is True

    second = spawn(PUBLISHER_SCRIPT, options(base_dir, bus_name, wal=True, count=50, go=files["go"],
                                             durable=True, stop=files["restarted"] + ".stop"))
    assert second.expect("tail", 40) == 101  # numbering continues from the log
    touch(files["restarted"])
    assert armed.read(20) == {"poll_recv": "OSError: publisher restarted (generation changed)",
                              "iterated": [100]}
    touch(files["go"])
    assert second.read(40)["published"] == 50
    late = spawn(SUBSCRIBER_SCRIPT, options(base_dir, bus_name, style="recv", count=151, start=["from", 0]))
    assert late.expect("ready", 40) == 0
    assert late.read(40) == {"got": 151, "first": 0, "in_order": True, "cursor": 151}
    touch(files["restarted"] + ".stop")
    assert second.wait() == 0, second.stderr()


# Reads `count` messages, arms and waits only for the publisher's hang-up, so
# that the unit of the next publish stays pending; once told the publisher was
# restarted, polls that unit and iterates to the end.
ARMED_SUBSCRIBER = CHILD_PRELUDE + r"""
o = json.loads(sys.argv[1])
bus = _RustBus(o["name"], base_dir=o["base"])
sub = bus.subscribe(o["topic"], timeout_secs=30)
report(ready=sub.cursor)
got = [index_of(sub.recv()) for _ in range(o["count"])]
assert got == list(range(o["count"]))
report(got=len(got), armed=sub.arm_wakeup())
p = select.poll()
p.register(sub.socket_fileno(), select.POLLIN)
report(hung_up=bool(p.poll(60000)))
wait_for_file(o["restarted"], 60)
try:
    sub.poll_recv()
    outcome = "nothing raised"
except OSError as e:
    outcome = "%s: %s" % (type(e).__name__, e)
report(poll_recv=outcome, iterated=[index_of(m) for m in sub])
"""


def test_late_subscribers_replay_from_the_log_then_read_the_ring_without_gap(spawn, base_dir, bus_name):
    count = 3000
    resume = os.path.join(base_dir, "resume")
    stop = os.path.join(base_dir, "stop")
    pub = spawn(PUBLISHER_SCRIPT, options(base_dir, bus_name, wal=True, count=count, pause_at=1000, resume=resume,
                                          stop=stop))
    assert pub.expect("tail", 40) == 0
    assert pub.expect("paused", 40) == 1000
    # Some records may still sit in the log's buffer: the hand-over must not lose them.
    late = {
        "recv": spawn(SUBSCRIBER_SCRIPT, options(base_dir, bus_name, style="recv", count=count, start=["from", 0])),
        "recv_batch": spawn(SUBSCRIBER_SCRIPT, options(base_dir, bus_name, style="recv_batch", count=count - 500,
                                                       start=["from", 500])),
        "recv_into_buffer": spawn(SUBSCRIBER_SCRIPT, options(base_dir, bus_name, style="recv_into_buffer",
                                                             count=count - 900, start=["from", 900])),
        "history": spawn(SUBSCRIBER_SCRIPT, options(base_dir, bus_name, style="iter", count=count - 990,
                                                    start=["history", 10])),
    }
    firsts = {"recv": 0, "recv_batch": 500, "recv_into_buffer": 900, "history": 990}
    for name, child in late.items():
        assert child.expect("ready", 40) == firsts[name]
    touch(resume)
    assert pub.read(90)["published"] == count
    for name, child in late.items():
        assert child.read(90) == {"got": count - firsts[name], "first": firsts[name], "in_order": True,
                                  "cursor": count}, name
    touch(stop)
    assert pub.wait() == 0, pub.stderr()


def test_ctrl_c_does_not_interrupt_a_blocking_recv(spawn, make_bus, base_dir, bus_name):
    bus = make_bus()
    bus.publish_many(TOPIC, [])
    child = spawn(CHILD_PRELUDE + r"""
o = json.loads(sys.argv[1])
sub = _RustBus(o["name"], base_dir=o["base"]).subscribe(o["topic"], timeout_secs=30)
report(ready=sub.cursor)
try:
    sub.recv()
    time.sleep(10)  # the pending KeyboardInterrupt lands here at the latest
except KeyboardInterrupt:
    report(interrupted=sub.cursor)
""", options(base_dir, bus_name))
    assert child.expect("ready", 20) == 0
    bus.wait_for_subscribers(TOPIC, 1, 10)
    time.sleep(0.2)  # let it block in recv
    os.kill(child.pid, signal.SIGINT)
    time.sleep(0.3)
    assert child.proc.poll() is None  # still waiting
    bus.publish(TOPIC, b"m")
    assert child.expect("interrupted", 20) == 1


def test_demo_runs_and_cleans_up():
    demo = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "demo.py")
    env = dict(os.environ, PYTHONPATH=str(PACKAGE_ROOT))
    done = subprocess.run([sys.executable, demo, "--messages", "3000", "--after-restart", "20"], env=env,
                          capture_output=True, text=True, timeout=120, check=False)
    assert done.returncode == 0, done.stdout + done.stderr
    out = done.stdout
    base_dir = re.search(r"^qorva demo in (\S+):", out, re.M).group(1)
    assert not os.path.exists(base_dir)
    assert re.search(r"^publisher \(pid \d+\) up: next cursor 3000$", out, re.M)  # numbering went on
    for name in ("blocking", "asyncio"):
        assert re.search(r"^%s\s+3000\s" % name, out, re.M), out
    assert re.search(r"read 1520 messages from cursor 1500 in order, [1-9]\d* of them replayed from the log", out), out
