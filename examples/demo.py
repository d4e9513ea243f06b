"""qorva demo: a publisher process streams numbered messages to a blocking
subscriber process and an asyncio subscriber process; the publisher is then
restarted and continues the numbering from its log, and a late subscriber
replays from an old cursor through the log into the live stream. Every
subscriber checks that each message carries the next cursor (none lost,
repeated or out of order); the last line says whether every check passed.

    bash scripts/demo.sh [--messages N] [--after-restart M]
    PYTHONPATH=python /usr/bin/python3 examples/demo.py [--messages N] [--after-restart M]
"""

import argparse
import asyncio
import multiprocessing as mp
import queue
import shutil
import struct
import sys
import tempfile
import time

import qorva

BUS = "demo"
TOPIC = "prices"
CAPACITY = 256  # ring slots: older messages are served from the log
MESSAGE = struct.Struct("<QQ48x")  # cursor, send time (monotonic ns), padding to 64 bytes


def make_bus(base_dir):
    return qorva._RustBus(BUS, base_dir=base_dir, capacity=CAPACITY, slot_size=256, wal_enabled=True)


# --- the publisher ------------------------------------------------------------

def publisher(base_dir, count, subscribers, results):
    """Publishes `count` messages, each carrying its own cursor. The first
    cursor is the topic's tail: 0 on a new topic, and after a restart the
    number that follows the last one in the log."""
    bus = make_bus(base_dir)
    bus.wait_for_subscribers(TOPIC, subscribers, timeout_secs=30)
    first = bus.stats(TOPIC).tail
    print(f"publisher (pid {mp.current_process().pid}) up: next cursor {first}", flush=True)
    progress = Progress(count)
    start = time.monotonic()
    for cursor in range(first, first + count):
        while True:
            try:
                bus.publish(TOPIC, MESSAGE.pack(cursor, time.monotonic_ns()))
                break
            except qorva.BusFullError:
                time.sleep(0.0001)  # the slowest subscriber is a whole ring behind
        progress.update(cursor - first + 1)
    elapsed = time.monotonic() - start
    progress.done()
    results.put(("publisher", first, count, elapsed))


class Progress:
    """One line rewritten in place about ten times a second on a terminal;
    elsewhere one line a second."""

    def __init__(self, total):
        self.total = total
        self.in_place = sys.stdout.isatty()
        self.interval = 0.1 if self.in_place else 1.0
        self.next_at = time.monotonic() + self.interval

    def update(self, sent, force=False):
        now = time.monotonic()
        if force or now >= self.next_at:
            self.next_at = now + self.interval
            line = f"  published {sent:>9}/{self.total} ({100 * sent // self.total:3d}%)"
            print("\r" + line if self.in_place else line, end="" if self.in_place else "\n", flush=True)

    def done(self):
        self.update(self.total, force=True)
        if self.in_place:
            print(flush=True)


# --- two live subscribers -----------------------------------------------------

class Latencies:
    """Checks that cursors arrive in order and collects send-to-receive times."""

    def __init__(self, name, first=0):
        self.name, self.expected, self.samples, self.started = name, first, [], None

    def add(self, data):
        cursor, sent_ns = MESSAGE.unpack(data)
        self.samples.append(time.monotonic_ns() - sent_ns)
        self.started = self.started or time.monotonic()
        if cursor != self.expected:
            raise SystemExit(f"{self.name}: got cursor {cursor}, expected {self.expected}")
        self.expected += 1

    def result(self):
        return (self.name, len(self.samples), time.monotonic() - self.started, sorted(self.samples))


def blocking_subscriber(base_dir, count, results):
    """recv() blocks, with the interpreter lock released, until a message comes."""
    bus = make_bus(base_dir)
    with bus.subscribe(TOPIC, timeout_secs=30) as sub:
        seen = Latencies("blocking")
        for _ in range(count):
            seen.add(sub.recv())
    results.put(seen.result())


async def receive_async(sub, count):
    """The event-loop protocol: read until empty, arm, wait until the wakeup
    descriptor is readable, drain one wakeup, read again."""
    loop = asyncio.get_running_loop()
    readable = asyncio.Event()
    loop.add_reader(sub.fileno(), readable.set)
    seen = Latencies("asyncio")
    try:
        while len(seen.samples) < count:
            data = sub.try_recv()
            if data is not None:
                seen.add(data)
            elif not sub.arm_wakeup():  # True: a message came while arming
                await asyncio.wait_for(readable.wait(), timeout=10)
                readable.clear()
                sub.drain_wakeup()
    finally:
        loop.remove_reader(sub.fileno())
    return seen.result()


def asyncio_subscriber(base_dir, count, results):
    bus = make_bus(base_dir)
    sub = bus.subscribe(TOPIC, timeout_secs=30)
    results.put(asyncio.run(receive_async(sub, count)))


# --- the late subscriber ------------------------------------------------------

def late_subscriber(base_dir, start, count, results):
    """Subscribes from an old cursor: what the ring no longer holds comes from
    the log, then the live stream follows without a gap or a duplicate."""
    bus = make_bus(base_dir)
    sub = bus.subscribe_from(TOPIC, start, timeout_secs=30)
    # lag counts up to the tail at connect; all but the ring's last CAPACITY
    # messages are older than anything the ring holds, so the log serves them.
    from_log = max(0, sub.lag - CAPACITY)
    seen = Latencies("late", first=start)
    for data in sub:  # ends quietly if the publisher goes away
        seen.add(data)
        if len(seen.samples) == count:
            break
    results.put(("late", start, len(seen.samples), from_log))


# --- running it ---------------------------------------------------------------

class DemoFailed(Exception):
    """A process of the demo died, or its results did not come in time."""


def run_processes(ctx, targets, replies, timeout=120):
    """Starts one process per (function, args) and collects `replies` results;
    fails at once if a process dies."""
    results = ctx.Queue()
    procs = [ctx.Process(target=f, args=(*args, results), name=f.__name__, daemon=True) for f, args in targets]
    for p in procs:
        p.start()
    got, deadline = [], time.monotonic() + timeout
    while len(got) < replies:
        try:
            got.append(results.get(timeout=0.2))
        except queue.Empty:
            for p in procs:
                if p.exitcode not in (None, 0):
                    raise DemoFailed(f"the {p.name} process exited with status {p.exitcode}") from None
            if time.monotonic() > deadline:
                raise DemoFailed(f"no result within {timeout} s") from None
    for p in procs:
        p.join(timeout=30)
    return {r[0]: r[1:] for r in got}


def percentile_us(sorted_ns, fraction):
    return sorted_ns[min(len(sorted_ns) - 1, int(len(sorted_ns) * fraction))] / 1e3


def demo(ctx, base_dir, n, m):
    print(f"qorva demo in {base_dir}: {n} messages of {MESSAGE.size} bytes, ring of {CAPACITY} slots, log on")
    live = run_processes(ctx, [(blocking_subscriber, (base_dir, n)),
                               (asyncio_subscriber, (base_dir, n)),
                               (publisher, (base_dir, n, 2))], replies=3)

    print("publisher stopped; restarting it and a late subscriber from an old cursor")
    start = n // 2
    late = run_processes(ctx, [(late_subscriber, (base_dir, start, n + m - start)),
                               (publisher, (base_dir, m, 1))], replies=2)

    _, published, publish_secs = live["publisher"]
    restart_first, restarted, _ = late["publisher"]
    late_start, late_count, from_log = late["late"]
    print()
    print(f"{'':<12}{'messages':>10}{'k msg/s':>10}{'p50 us':>10}{'p99 us':>10}")
    print(f"{'publisher':<12}{published:>10}{published / publish_secs / 1e3:>10.0f}")
    for name in ("blocking", "asyncio"):
        count, secs, latencies = live[name]
        print(f"{name:<12}{count:>10}{count / secs / 1e3:>10.0f}"
              f"{percentile_us(latencies, 0.5):>10.1f}{percentile_us(latencies, 0.99):>10.1f}")
    print(f"restart:  the new publisher went on at cursor {restart_first} and published {restarted} more")
    print(f"replay:   a late subscriber read {late_count} messages from cursor {late_start} in order, "
          f"{from_log} of them replayed from the log")
    print("(latencies are under full load: the publisher runs as fast as the slowest subscriber lets it)")
    # What the subscribers could not check themselves.
    problems = []
    if restart_first != published:
        problems.append(f"the restarted publisher began at cursor {restart_first}, not {published}")
    if late_count != n + m - start:
        problems.append(f"the late subscriber read {late_count} messages, not {n + m - start}")
    return problems


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--messages", type=int, default=200_000)
    parser.add_argument("--after-restart", type=int, default=1_000)
    args = parser.parse_args()
    if args.messages < 2 or args.after_restart < 1:
        parser.error("need at least 2 messages and 1 after the restart")
    base_dir = tempfile.mkdtemp(prefix="qorva-demo-")
    try:
        problems = demo(mp.get_context("spawn"), base_dir, args.messages, args.after_restart)
    except DemoFailed as failure:
        problems = [str(failure)]
    finally:
        shutil.rmtree(base_dir, ignore_errors=True)
    if problems:
        print("Demo FAILED: " + "; ".join(problems))
        return 1
    print("All checks passed: every subscriber received every message once and in order, "
          "across the publisher restart and the replay from the log.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
