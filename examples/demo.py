"""qorva demo: one publisher, a blocking and an asyncio subscriber, a
publisher restart that keeps numbering through the log, and a late subscriber
replaying from an old cursor.

    PYTHONPATH=python python3 examples/demo.py [--messages N]
"""

import argparse
import asyncio
import multiprocessing as mp
import shutil
import statistics
import struct
import sys
import tempfile
import time

from qorva import _qorva as q

TOPIC = "prices"
HEADER = struct.Struct("<QQ")  # sequence number, send time (monotonic ns)
PAYLOAD_SIZE = 64


def make_bus(base_dir):
    return q._RustBus("demo", base_dir=base_dir)


def message(seq):
    return HEADER.pack(seq, time.monotonic_ns()).ljust(PAYLOAD_SIZE, b".")


def publish_stream(bus, first, count, progress):
    sent = 0
    step = max(count // 10, 1)
    while sent < count:
        try:
            bus.publish(TOPIC, message(first + sent))
        except q.BusFullError:
            time.sleep(0.0001)  # a subscriber is a full ring behind: let it catch up
            continue
        sent += 1
        if progress and sent % step == 0:
            print(f"  published {sent:>8}/{count} ({100 * sent // count:3}%)", flush=True)


def publisher(base_dir, first, count, subscribers, done, progress=True):
    bus = make_bus(base_dir)
    bus.wait_for_subscribers(TOPIC, subscribers, 30.0)
    tail = bus.stats(TOPIC).tail
    print(f"publisher up: next cursor is {tail}", flush=True)
    start = time.monotonic()
    publish_stream(bus, first, count, progress)
    elapsed = time.monotonic() - start
    done.put(("publisher", count, elapsed))


def blocking_subscriber(base_dir, count, ready, results):
    bus = make_bus(base_dir)
    with bus.subscribe(TOPIC, 30.0) as sub:
        ready.put("blocking")
        latencies, expected, started = [], 0, None
        while len(latencies) < count:
            data = sub.recv_timeout(10.0)
            if data is None:
                break
            seq, sent = HEADER.unpack_from(data)
            started = started or time.monotonic()
            assert seq == expected, f"blocking subscriber: got {seq}, expected {expected}"
            expected += 1
            latencies.append(time.monotonic_ns() - sent)
        results.put(("blocking", len(latencies), time.monotonic() - started, sorted(latencies)))


async def receive_async(sub, count):
    loop = asyncio.get_running_loop()
    readable = asyncio.Event()
    loop.add_reader(sub.fileno(), readable.set)
    latencies, expected, started = [], 0, None
    try:
        while len(latencies) < count:
            data = sub.try_recv()
            if data is None:
                if sub.arm_wakeup():
                    continue  # a message arrived while arming
                await asyncio.wait_for(readable.wait(), 10.0)
                readable.clear()
                sub.drain_wakeup()
                continue
            seq, sent = HEADER.unpack_from(data)
            started = started or time.monotonic()
            assert seq == expected, f"asyncio subscriber: got {seq}, expected {expected}"
            expected += 1
            latencies.append(time.monotonic_ns() - sent)
    finally:
        loop.remove_reader(sub.fileno())
    return latencies, time.monotonic() - started


def asyncio_subscriber(base_dir, count, ready, results):
    bus = make_bus(base_dir)
    sub = bus.subscribe(TOPIC, 30.0)
    ready.put("asyncio")
    latencies, elapsed = asyncio.run(receive_async(sub, count))
    results.put(("asyncio", len(latencies), elapsed, sorted(latencies)))


def late_subscriber(base_dir, count, results):
    bus = make_bus(base_dir)
    sub = bus.subscribe_from(TOPIC, 0, 30.0)
    seqs = []
    for data in sub:
        seqs.append(HEADER.unpack_from(data)[0])
        if len(seqs) == count:
            break
    results.put(("late", seqs))


def percentile(sorted_values, fraction):
    return sorted_values[min(len(sorted_values) - 1, int(len(sorted_values) * fraction))]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--messages", type=int, default=200_000)
    parser.add_argument("--after-restart", type=int, default=1_000)
    args = parser.parse_args()
    ctx = mp.get_context("spawn")
    base_dir = tempfile.mkdtemp(prefix="qorva-demo-")
    try:
        run(ctx, base_dir, args.messages, args.after_restart)
    finally:
        shutil.rmtree(base_dir, ignore_errors=True)


def run(ctx, base_dir, n, m):
    results, ready, done = ctx.Queue(), ctx.Queue(), ctx.Queue()
    print(f"qorva demo in {base_dir}: {n} messages of {PAYLOAD_SIZE} bytes")
    subs = [ctx.Process(target=blocking_subscriber, args=(base_dir, n, ready, results)),
            ctx.Process(target=asyncio_subscriber, args=(base_dir, n, ready, results))]
    for p in subs:
        p.start()
    pub = ctx.Process(target=publisher, args=(base_dir, 0, n, len(subs), done))
    pub.start()
    received = {}
    for _ in subs:
        name, count, elapsed, latencies = results.get(timeout=300)
        received[name] = (count, elapsed, latencies)
    _, published, publish_secs = done.get(timeout=60)
    for p in subs + [pub]:
        p.join(timeout=30)

    print("restarting the publisher: numbering continues from the log")
    late = ctx.Process(target=late_subscriber, args=(base_dir, n + m, results))
    late.start()
    pub2 = ctx.Process(target=publisher, args=(base_dir, n, m, 1, done, False))
    pub2.start()
    _, late_seqs = results.get(timeout=300)
    done.get(timeout=60)
    for p in (late, pub2):
        p.join(timeout=30)
    assert late_seqs == list(range(n + m)), "late subscriber saw a gap or a duplicate"

    print()
    print(f"published      {published} messages in {publish_secs:.2f} s "
          f"({published / publish_secs / 1e3:.0f} k msg/s)")
    for name, (count, elapsed, latencies) in received.items():
        print(f"{name:<14} {count} received, {count / elapsed / 1e3:.0f} k msg/s, "
              f"latency p50 {percentile(latencies, 0.5) / 1e3:.1f} us, "
              f"p99 {percentile(latencies, 0.99) / 1e3:.1f} us")
    print(f"late           {len(late_seqs)} messages from cursor 0 with no gap or duplicate; "
          f"the {n} written before the restart were replayed from the log")


if __name__ == "__main__":
    sys.exit(main())
