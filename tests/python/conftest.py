"""Shared set-up of the Python tests."""

import faulthandler
import json
import os
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import textwrap
import time
import uuid
from pathlib import Path

import pytest

import qorva._qorva

PACKAGE_ROOT = Path(qorva._qorva.__file__).resolve().parent.parent


def run_python(code, *, env=None, timeout=60):
    """Runs code in a fresh interpreter that imports this build of qorva; returns its stdout."""
    child_env = dict(os.environ)
    child_env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(PACKAGE_ROOT), child_env.get("PYTHONPATH")]))
    for name, value in (env or {}).items():  # None removes a variable
        if value is None:
            child_env.pop(name, None)
        else:
            child_env[name] = value
    done = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        env=child_env,
        capture_output=True,
        text=True,
        timeout=timeout,
        check=False,
    )
    assert done.returncode == 0, f"child failed ({done.returncode}):\n{done.stdout}\n{done.stderr}"
    return done.stdout


@pytest.fixture
def module():
    return qorva._qorva


# ---------------------------------------------------------------------------
# Buses on a fresh directory, and child processes for the cross-process tests.
# Children report over stdout, one JSON object per line.

@pytest.fixture(autouse=True)
def watchdog():
    """Ends the whole run with a traceback if one test hangs."""
    faulthandler.dump_traceback_later(180, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


@pytest.fixture
def base_dir():
    path = tempfile.mkdtemp(prefix="qorva-py-", dir="/tmp")
    yield path
    shutil.rmtree(path, ignore_errors=True)


@pytest.fixture
def bus_name():
    return "b" + uuid.uuid4().hex[:8]


@pytest.fixture
def make_bus(base_dir, bus_name):
    """Buses on this test's base directory; small rings keep the files small."""
    from qorva._qorva import _RustBus

    def make(**kw):
        kw.setdefault("capacity", 64)
        kw.setdefault("slot_size", 1024)
        kw.setdefault("wal_enabled", False)
        return _RustBus(kw.pop("name", bus_name), base_dir=base_dir, **kw)

    return make


# The topic of the single-process Subscription tests.
TOPIC = "t"


@pytest.fixture
def bus(make_bus):
    """A bus whose publisher of TOPIC exists, so that subscribers can connect."""
    b = make_bus()
    b.publish_many(TOPIC, [])
    return b


@pytest.fixture
def sub(bus):
    return bus.subscribe(TOPIC, timeout_secs=5)


def publish(bus, *payloads):
    for p in payloads:
        bus.publish(TOPIC, p)


def borrowed(sub):
    """True while another call holds the subscription exclusively."""
    try:
        sub.cursor
    except RuntimeError:
        return True
    return False


def wait_until(predicate, timeout=5.0, interval=0.002):
    """Polls `predicate` until it is true; fails the test past `timeout`."""
    end = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > end:
            raise AssertionError("condition not reached within %.1f s" % timeout)
        time.sleep(interval)


class Child:
    """A Python child process running `code`; it reports through stdout lines
    of JSON and gets killed at teardown if it is still running."""

    def __init__(self, code, args):
        env = dict(os.environ)
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(PACKAGE_ROOT), env.get("PYTHONPATH")]))
        self.proc = subprocess.Popen(
            [sys.executable, "-c", code, *map(str, args)],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
        self._buf = b""

    @property
    def pid(self):
        return self.proc.pid

    def read(self, timeout=10.0):
        """The next JSON line from the child; fails on timeout or early exit."""
        end = time.monotonic() + timeout
        fd = self.proc.stdout.fileno()
        while b"\n" not in self._buf:
            left = end - time.monotonic()
            if left <= 0:
                raise AssertionError("child %d sent nothing within %.1f s" % (self.pid, timeout))
            ready, _, _ = select.select([fd], [], [], left)
            if ready:
                chunk = os.read(fd, 65536)
                if not chunk:
                    self.proc.wait(timeout=5)
                    raise AssertionError("child %d ended (rc %s) before reporting: %s"
                                         % (self.pid, self.proc.returncode, self.stderr()))
                self._buf += chunk
        line, self._buf = self._buf.split(b"\n", 1)
        return json.loads(line)

    def expect(self, key, timeout=10.0):
        msg = self.read(timeout)
        assert key in msg, "child %d sent %r, wanted %r; stderr: %s" % (self.pid, msg, key, self.stderr_if_done())
        return msg[key]

    def wait(self, timeout=20.0):
        rc = self.proc.wait(timeout=timeout)
        return rc

    def kill(self):
        if self.proc.poll() is None:
            os.kill(self.pid, signal.SIGKILL)
        self.proc.wait(timeout=10)

    def stderr(self):
        if self.proc.poll() is None:
            return "<running>"
        return self.proc.stderr.read().decode(errors="replace")

    def stderr_if_done(self):
        return self.stderr() if self.proc.poll() is not None else "<running>"


@pytest.fixture
def spawn():
    """spawn(code, *args) starts a child; every child is ended at teardown."""
    children = []

    def start(code, *args):
        args = [json.dumps(a) if isinstance(a, dict) else a for a in args]
        child = Child(code, args)
        children.append(child)
        return child

    yield start
    for child in children:
        child.kill()
        child.proc.stdout.close()
        child.proc.stderr.close()


# The start of every child script: imports, report(), message helpers and a
# publisher loop that rides out a full ring within a bounded time.
CHILD_PRELUDE = r'''
import json, os, select, struct, sys, time
from qorva._qorva import _RustBus, BusFullError

def report(**kw):
    sys.stdout.write(json.dumps(kw) + "\n")
    sys.stdout.flush()

def message(i):
    """16 bytes: the index and a check word derived from it."""
    return struct.pack("<QQ", i, (i * 0x9E3779B97F4A7C15) & 0xFFFFFFFFFFFFFFFF)

def index_of(m):
    i, check = struct.unpack("<QQ", m)
    assert check == (i * 0x9E3779B97F4A7C15) & 0xFFFFFFFFFFFFFFFF, m
    return i

def publish_patiently(bus, topic, payload, deadline):
    """Publishes, retrying while the ring is full; returns the retries."""
    retries = 0
    while True:
        try:
            bus.publish(topic, payload)
            return retries
        except BusFullError:
            if time.monotonic() > deadline:
                raise
            retries += 1
            time.sleep(0.0002)

def wait_for_file(path, timeout):
    end = time.monotonic() + timeout
    while not os.path.exists(path):
        if time.monotonic() > end:
            raise SystemExit("no %s within %s s" % (path, timeout))
        time.sleep(0.005)
'''


# A publisher process. Options (one JSON argument): base, name, topic,
# capacity, wal, subscribers (to wait for), start, count, pause_at (index at
# which it reports "paused" and waits for the file `resume`), durable (wait
# until the log has synced everything before reporting "published"), stop (a
# file to wait for before exiting).
PUBLISHER_SCRIPT = CHILD_PRELUDE + r"""
o = json.loads(sys.argv[1])
bus = _RustBus(o["name"], base_dir=o["base"], capacity=o.get("capacity", 64), slot_size=64,
               wal_enabled=o.get("wal", False))
topic = o["topic"]
bus.wait_for_subscribers(topic, o.get("subscribers", 0), timeout_secs=30)
start = bus.stats(topic).tail
report(tail=start)
if "go" in o:
    wait_for_file(o["go"], 60)
deadline = time.monotonic() + 90
retries = 0
for i in range(start, start + o["count"]):
    if i == o.get("pause_at"):
        report(paused=i)
        wait_for_file(o["resume"], 60)
    retries += publish_patiently(bus, topic, message(i), deadline)
    if i % 50 == 49:
        time.sleep(0.002)  # lets subscribers fall asleep, so wakeups are needed
if o.get("durable"):
    while bus.stats(topic).wal.durable_cursor < start + o["count"]:
        time.sleep(0.002)
stats = bus.stats(topic)
report(published=o["count"], retries=retries, wakeups=stats.wakeups_sent_total, tail=stats.tail)
if "stop" in o:
    wait_for_file(o["stop"], 120)
"""

# A subscriber process. Options: base, name, topic, style, count, start
# ("tail", ["from", c] or ["history", n]), then ("exit", "linger" or "end":
# go on receiving in its style and report how the stream ended).
SUBSCRIBER_SCRIPT = CHILD_PRELUDE + r"""
import array, mmap
o = json.loads(sys.argv[1])
bus = _RustBus(o["name"], base_dir=o["base"])
start = o.get("start", "tail")
if start == "tail":
    sub = bus.subscribe(o["topic"], timeout_secs=30)
elif start[0] == "from":
    sub = bus.subscribe_from(o["topic"], start[1], timeout_secs=30)
else:
    sub = bus.subscribe_with_history(o["topic"], start[1], timeout_secs=30)
report(ready=sub.cursor)

def by_recv():
    while True:
        yield sub.recv()

def by_iter():
    yield from sub

def by_recv_timeout():
    while True:
        m = sub.recv_timeout(0.05)
        if m is not None:
            yield m

def by_recv_batch():
    while True:
        yield from sub.recv_batch(7, 0.05)

def by_try_recv():
    while True:
        m = sub.try_recv()
        if m is None:
            time.sleep(0.0005)
        else:
            yield m

def by_recv_into():
    buf = bytearray(sub.max_payload_size)
    while True:
        n = sub.recv_into(buf)
        yield bytes(buf[:n])

def by_recv_timeout_into():
    buf = array.array("B", bytes(sub.max_payload_size))
    while True:
        n = sub.recv_timeout_into(buf, 0.05)
        if n is not None:
            yield buf[:n].tobytes()

def by_try_recv_into():
    buf = mmap.mmap(-1, sub.max_payload_size)
    while True:
        n = sub.try_recv_into(buf)
        if n is None:
            time.sleep(0.0005)
        else:
            yield buf[:n]

def by_recv_into_buffer():
    buf = bytearray(16 * 5)
    while True:
        k = sub.recv_into_buffer(buf, 16, 0.05)
        for i in range(k):
            yield bytes(buf[16 * i:16 * i + 16])

def by_poll_recv():
    while True:
        m = sub.try_recv()
        if m is not None:
            yield m
            continue
        if sub.arm_wakeup():
            continue
        select.select([sub.fileno()], [], [], 1.0)
        m = sub.poll_recv()
        if m is not None:
            yield m

stream = globals()["by_" + o["style"]]()
got = [index_of(next(stream)) for _ in range(o["count"])]
report(got=len(got), first=got[0] if got else None, in_order=got == list(range(got[0], got[0] + len(got))) if got else True,
       cursor=sub.cursor)
then = o.get("then", "exit")
if then == "linger":
    time.sleep(120)
elif then == "end":
    extra = []
    end = time.monotonic() + 30
    try:
        for m in stream:
            extra.append(index_of(m))
            if time.monotonic() > end:
                break
        report(ended="quietly", extra=extra)
    except Exception as e:
        report(ended="%s: %s" % (type(e).__name__, e), extra=extra, errno=getattr(e, "errno", None))
"""
