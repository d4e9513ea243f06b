"""Helpers shared by the Python tests: the topic and payload helpers, child
processes and their scripts, waits, and the checks of concurrent calls. The
fixtures that use them are in conftest.py."""

import gc
import json
import os
import select
import signal
import subprocess
import sys
import textwrap
import threading
import time
import tracemalloc
from pathlib import Path

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


# The topic of the single-process Subscription tests.
TOPIC = "t"


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


# ---------------------------------------------------------------------------
# Concurrent calls on one object, and memory growth.


def outcome(call):
    """("ok", result) or ("err", exception): what a call in a thread ended with."""
    try:
        return ("ok", call())
    except BaseException as exc:  # noqa: BLE001 - reported to the test thread
        return ("err", exc)


def hammer(call, threads=2, rounds=2000, until=None, seconds=10.0):
    """Runs `call` from several threads started together, `rounds` times each,
    or, with `until`, until until(outcome) held for one call (at most
    `seconds`). Returns every call's outcome."""
    outcomes = []
    start = threading.Barrier(threads)
    deadline = time.monotonic() + seconds
    done = threading.Event()

    def run():
        start.wait()
        for _ in range(rounds):
            result = outcome(call)
            outcomes.append(result)
            if until is not None and until(result):
                done.set()
            if done.is_set() or time.monotonic() > deadline:
                return

    workers = [threading.Thread(target=run) for _ in range(threads)]
    for w in workers:
        w.start()
    for w in workers:
        w.join(seconds + 30.0)
    return outcomes


def conflict(result):
    kind, value = result
    return kind == "err" and isinstance(value, RuntimeError) and str(value) == "Already borrowed"


def python_memory_growth(churn, warm_up=50, rounds=500):
    """Bytes of Python-allocated memory still held after `churn(rounds)`."""
    churn(warm_up)
    tracemalloc.start()
    try:
        before = tracemalloc.take_snapshot()
        churn(rounds)
        gc.collect()
        after = tracemalloc.take_snapshot()
    finally:
        tracemalloc.stop()
    return sum(s.size_diff for s in after.compare_to(before, "filename"))


def check_raised(info, exc, text):
    """Checks a pytest.raises result against a table row: `text` is the whole
    message, or its prefix when it ends in a space, or None for the
    interpreter's own wording. A conversion's TypeError carries the replaced
    one as its cause."""
    assert type(info.value) is exc
    if text is None:
        return
    message = str(info.value)
    assert message.startswith(text) if text.endswith(" ") else message == text
    if exc is TypeError and text.startswith("argument "):
        assert isinstance(info.value.__cause__, TypeError)
