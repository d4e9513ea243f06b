#!/usr/bin/env python3
"""Side-by-side benchmark: qorva against what a Python user would pick instead.

    bench/compare [--smoke] [--out DIR]

(that wrapper installs the Debian packages, builds the module in Release and
runs this file as ``PYTHONPATH=build-bench-py/python /usr/bin/python3 bench/compare.py``).

The same workloads run, in one run, on qorva (log on, its defaults; log off;
a spinning ``try_recv`` receiver), on ZeroMQ PUB/SUB over ipc:// (pyzmq) and
on multiprocessing (one Pipe per subscriber). Publisher and subscribers are
separate processes forked from this one; every subscriber receives every
message and checks its sequence, so a lost or reordered message fails the run.

- Throughput: the publisher sends N messages flat out from a pool of 256
  prepared ones (so building messages is not measured); the figure is N over
  the time from the first send to the last receive of the slowest subscriber.
  qorva keeps its "error" backpressure and the default 256-slot ring: on
  BusFullError the publisher retries the same message (spinning briefly, then
  sleeping 20 us), and the retries are reported.
- Latency: the publisher paces messages at a fixed rate (2000 msg/s for 64 B,
  1000 for 64 KiB) and stamps each with time.monotonic_ns() in its first 8
  bytes just before building and sending it; the receiver subtracts that from
  its own clock reading after the receive returns. Receivers are blocking
  (recv) unless named "spin" (try_recv in a busy loop) or "recv_into". The
  gaps (500 us and more) are ten times qorva's longest watch before a blocking
  receive sleeps, so every blocking figure is a real wake; each receiver's
  processor time per message (all its threads) is reported beside it, so that
  a watch can never pass for a faster wake.
- Floor: the same paced wake through bare eventfds, one per receiving
  process, written one after another.

Writes DIR/compare.md (the tables and the `name: value` lines, also printed)
and DIR/latency.png (the latency distributions). --smoke runs tiny counts in
seconds, checks no target and exits 0 when everything ran; it leaves out,
and names, the alternatives (and the plot) whose packages are not installed.
"""

import argparse
import array
import importlib.util
import multiprocessing
import os
import shutil
import statistics
import struct
import sys
import tempfile
import time
import traceback
from dataclasses import dataclass

try:
    import zmq  # imported once here, not in every forked child
except ImportError:  # a smoke run goes on without it
    zmq = None
from qorva._qorva import BusFullError, _RustBus

import durable
import redis_streams
from redis_streams import RedisStreams

SIZES = (64, 65536)
FANOUTS = (1, 4)
# Send time (monotonic ns) and sequence number at the start of every message.
STAMP = struct.Struct("<QQ")
POOL = 256  # prepared throughput messages; byte 8 carries the sequence mod 256
CASE_TIMEOUT = 120.0


# Moderate: below what every system sustains with 4 subscribers, so that the
# figures show the way through, not a queue.
RATES = {64: 2_000, 65536: 1_000}


@dataclass(frozen=True)
class Plan:
    throughput_count: dict  # message size -> messages per run
    latency_count: int  # samples per latency run and subscriber
    warmup: int  # latency samples dropped at the start of each run
    rate: dict  # message size -> messages per second of the latency workload
    rounds: int  # runs of every case; the median throughput and all latency samples count


FULL = Plan({64: 100_000, 65536: 8_000}, latency_count=1_200, warmup=200, rate=RATES, rounds=5)
SMOKE = Plan({64: 2_000, 65536: 100}, latency_count=50, warmup=10, rate=RATES, rounds=1)


# ---------------------------------------------------------------------------
# Transports. prepare() runs in the parent before the fork; open_publisher()
# and open_subscriber() run in the children and return send(bytes) and
# recv() -> bytes-like. open_publisher() returns once every subscriber is
# connected, so no message goes to a subscriber that is not there yet.

class Qorva:
    kind = "qorva"

    def __init__(self, label, wal, receive="recv"):
        self.label, self.wal, self.receive = label, wal, receive
        self.full_retries = 0

    def prepare(self, workdir, fanout):
        return workdir

    def open_publisher(self, base, fanout):
        bus = _RustBus("bench", base_dir=base, wal_enabled=self.wal)
        handle = bus.topic("t")
        handle.wait_for_subscribers(fanout, 30.0)
        publish = handle.publish

        def send(message):
            try:
                publish(message)
            except BusFullError:
                self._ride_out_full_ring(publish, message)

        self.keep = (bus, handle)
        return send

    def _ride_out_full_ring(self, publish, message):
        """Retries until the slowest subscriber frees a slot: at once for a
        while, then after short sleeps. A message is never dropped."""
        for attempt in range(1, 1_000_000):
            self.full_retries += 1
            if attempt > 64:
                time.sleep(20e-6)
            try:
                return publish(message)
            except BusFullError:
                pass
        raise RuntimeError("the ring stayed full")

    def publisher_report(self):
        stats = self.keep[1].stats()
        return {"full_retries": self.full_retries, "wakeups": stats.wakeups_sent_total}

    def open_subscriber(self, base, index, size):
        sub = _RustBus("bench", base_dir=base).subscribe("t", timeout_secs=30.0)
        if self.receive == "recv":
            return sub.recv
        if self.receive == "recv_into":
            buf = bytearray(size)
            into = sub.recv_into

            def recv():
                into(buf)
                return buf
            return recv
        try_recv = sub.try_recv

        def spin():
            while True:
                message = try_recv()
                if message is not None:
                    return message
        return spin


class Zmq:
    label, kind = "zmq", "alternative"

    def prepare(self, workdir, fanout):
        return "ipc://" + os.path.join(workdir, "zmq.sock")

    def open_publisher(self, endpoint, fanout):
        context = zmq.Context()
        sock = context.socket(zmq.XPUB)  # a PUB that shows its subscriptions
        sock.setsockopt(zmq.XPUB_VERBOSE, 1)
        sock.setsockopt(zmq.SNDHWM, 0)  # PUB drops at the high-water mark
        sock.bind(endpoint)
        for _ in range(fanout):
            sock.recv()  # one subscription message per subscriber
        self.keep = (context, sock)
        return sock.send

    def publisher_report(self):
        return {}

    def open_subscriber(self, endpoint, index, size):
        context = zmq.Context()
        sock = context.socket(zmq.SUB)
        sock.setsockopt(zmq.RCVHWM, 0)
        sock.connect(endpoint)
        sock.setsockopt(zmq.SUBSCRIBE, b"")
        self.keep = (context, sock)
        return sock.recv


class Pipes:
    label, kind = "multiprocessing", "alternative"

    def prepare(self, workdir, fanout):
        return [multiprocessing.get_context("fork").Pipe(duplex=False) for _ in range(fanout)]

    def open_publisher(self, pipes, fanout):
        sends = [writer.send_bytes for _, writer in pipes]
        if len(sends) == 1:
            return sends[0]

        def send(message):
            for s in sends:
                s(message)
        return send

    def publisher_report(self):
        return {}

    def open_subscriber(self, pipes, index, size):
        return pipes[index][0].recv_bytes


QORVA = Qorva("qorva", wal=True)
QORVA_NO_LOG = Qorva("qorva log off", wal=False)
QORVA_INTO = Qorva("qorva log off recv_into", wal=False, receive="recv_into")
QORVA_SPIN = Qorva("qorva spin", wal=True, receive="spin")
QORVA_SPIN_NO_LOG = Qorva("qorva log off spin", wal=False, receive="spin")
# Every alternative runs every workload; another one needs only a class with
# the three methods above and kind "alternative", appended here.
ZMQ = Zmq()
ALTERNATIVES = [ZMQ, Pipes()]
# The durable alternative runs every workload too, but is compared only with
# qorva's log (the durable ratios), never counted among the best alternatives.
# None in a smoke run on a machine without Redis.
REDIS = RedisStreams()


def throughput_systems():
    return (QORVA, QORVA_NO_LOG, QORVA_INTO) + tuple(ALTERNATIVES) + durable_systems()


def latency_systems():
    return (QORVA, QORVA_NO_LOG, QORVA_INTO, QORVA_SPIN, QORVA_SPIN_NO_LOG) + tuple(ALTERNATIVES) + durable_systems()


def durable_systems():
    return (REDIS,) if REDIS else ()


def missing_parts():
    """What of a full run this machine cannot run (an alternative, or the
    plot), each with the Debian packages that would bring it."""
    missing = {}
    if zmq is None:
        missing[ZMQ] = "python3-zmq"
    if redis_streams.redis is None or shutil.which("redis-server") is None:
        missing[REDIS] = "python3-redis, redis-server"
    if importlib.util.find_spec("matplotlib") is None:
        missing["latency.png"] = "python3-matplotlib"
    return missing


def leave_out(missing):
    """Drops the missing alternatives, for a smoke run; returns its note."""
    global REDIS
    ALTERNATIVES[:] = [a for a in ALTERNATIVES if a not in missing]
    if REDIS in missing:
        REDIS = None
    names = ", ".join(getattr(part, "label", part) for part in missing)
    return "Smoke run without %s (not installed: %s)." % (names, ", ".join(missing.values()))


# ---------------------------------------------------------------------------
# What the children run.

def pace(until_ns):
    """Sleeps to shortly before `until_ns`, then spins to it: sleeps alone
    would send late by the timer's slack."""
    left = until_ns - time.monotonic_ns()
    if left > 200_000:
        time.sleep((left - 150_000) / 1e9)
    while time.monotonic_ns() < until_ns:
        pass


def publish_throughput(send, size, count):
    pool = [STAMP.pack(0, k) + bytes(size - STAMP.size) for k in range(POOL)]
    start = time.monotonic_ns()
    for i in range(count):
        send(pool[i % POOL])
    return {"start_ns": start, "end_ns": time.monotonic_ns()}


def publish_paced(send, size, total, rate):
    tail = bytes(size - STAMP.size)
    pack = STAMP.pack
    gap = 1_000_000_000 // rate
    due = time.monotonic_ns() + gap
    for i in range(total):
        pace(due)
        send(pack(time.monotonic_ns(), i) + tail)
        due += gap
    return {}


def receive_throughput(recv, size, count):
    for i in range(count):
        message = recv()
        if message[8] != i % POOL or len(message) != size:
            raise RuntimeError("message %d lost, reordered or cut" % i)
    return {"end_ns": time.monotonic_ns()}


def receive_latencies(recv, total, warmup):
    samples = array.array("q", bytes(8 * total))
    unpack = STAMP.unpack_from
    clock = time.monotonic_ns
    cpu_from = 0.0
    for i in range(total):
        if i == warmup:
            cpu_from = time.process_time()
        message = recv()
        now = clock()
        sent, seq = unpack(message)
        if seq != i:
            raise RuntimeError("message %d lost or reordered (got %d)" % (i, seq))
        samples[i] = now - sent
    return {"latencies": samples[warmup:].tobytes(), "cpu": (time.process_time() - cpu_from) / (total - warmup)}


def child(conn, opened, work):
    """Runs in a child: opens the endpoint, says ready, waits for go, does
    the work and sends back its result (or the error)."""
    try:
        endpoint = opened()
        conn.send("ready")
        if conn.recv() != "go":
            return
        result = work(endpoint)
        conn.send(result)
        conn.recv()  # "done": a publisher stays until every subscriber has all
    except BaseException:  # noqa: BLE001 - reported to the parent
        conn.send({"error": traceback.format_exc()})


def publisher_child(system, ctx, fanout, size, mode, plan, conn):
    def work(send):
        if mode == "throughput":
            result = publish_throughput(send, size, plan.throughput_count[size])
        else:
            result = publish_paced(send, size, plan.warmup + plan.latency_count, plan.rate[size])
        result.update(system.publisher_report())
        return result
    child(conn, lambda: system.open_publisher(ctx, fanout), work)


def subscriber_child(system, ctx, index, size, mode, plan, conn):
    def work(recv):
        if mode == "throughput":
            return receive_throughput(recv, size, plan.throughput_count[size])
        return receive_latencies(recv, plan.warmup + plan.latency_count, plan.warmup)
    child(conn, lambda: system.open_subscriber(ctx, index, size), work)


def eventfd_child(role, efds, plan, conn):
    """The floor: the publisher writes its send time as the value of every
    reader's eventfd, one after another; each blocking reader subtracts it
    from its clock after its read returns."""
    def writer(_):
        gap = 1_000_000_000 // plan.rate[64]
        due = time.monotonic_ns() + gap
        for _ in range(plan.warmup + plan.latency_count):
            pace(due)
            sent = time.monotonic_ns()
            for efd in efds:
                os.eventfd_write(efd, sent)
            due += gap
        return {}

    def reader(_):
        efd, = efds
        samples = array.array("q")
        woken = 0
        cpu_from = None
        while woken < plan.warmup + plan.latency_count:
            if cpu_from is None and woken >= plan.warmup:
                cpu_from, cpu_woken = time.process_time(), woken
            value = os.eventfd_read(efd)
            now = time.monotonic_ns()
            if value <= now:
                samples.append(now - value)
                woken += 1
            else:  # a late reader got the sum of several send times
                woken += round(value / now)
        cpu = (time.process_time() - cpu_from) / (woken - cpu_woken)
        return {"latencies": samples[plan.warmup:].tobytes(), "cpu": cpu}
    child(conn, lambda: None, writer if role == "writer" else reader)


# ---------------------------------------------------------------------------
# The parent: one case is one publisher and its subscribers.

def run_processes(targets):
    """Starts one child per (function, args); returns their results in order
    once all have finished. The first child is the publisher."""
    fork = multiprocessing.get_context("fork")
    links, procs = [], []
    for target, args in targets:
        mine, theirs = fork.Pipe()
        proc = fork.Process(target=target, args=(*args, theirs), daemon=True)
        proc.start()
        links.append(mine)
        procs.append(proc)
    try:
        for link in links:
            expect(link, "ready")
        for link in links:
            link.send("go")
        results = [None] * len(links)
        for i in list(range(1, len(links))) + [0]:  # subscribers first
            results[i] = expect(link=links[i])
            if i != 0:
                links[i].send("done")
        links[0].send("done")
        for proc in procs:
            proc.join(10)
        return results
    finally:
        for proc in procs:
            if proc.is_alive():
                proc.kill()
                proc.join(5)


def expect(link, what=None):
    if not link.poll(CASE_TIMEOUT):
        raise RuntimeError("a child sent nothing within %.0f s" % CASE_TIMEOUT)
    got = link.recv()
    if isinstance(got, dict) and "error" in got:
        raise RuntimeError("a child failed:\n" + got["error"])
    if what is not None and got != what:
        raise RuntimeError("a child sent %r, wanted %r" % (got, what))
    return got


def run_case(system, size, fanout, mode, plan):
    workdir = tempfile.mkdtemp(prefix="qcmp-", dir=os.environ.get("CMP_DIR", "/tmp"))
    try:
        ctx = system.prepare(workdir, fanout)
        targets = [(publisher_child, (system, ctx, fanout, size, mode, plan))]
        targets += [(subscriber_child, (system, ctx, i, size, mode, plan)) for i in range(fanout)]
        return run_processes(targets)
    finally:
        getattr(system, "release", lambda: None)()
        shutil.rmtree(workdir, ignore_errors=True)


def throughput_run(system, size, fanout, plan):
    count = plan.throughput_count[size]
    pub, *subs = run_case(system, size, fanout, "throughput", plan)
    elapsed = max(s["end_ns"] for s in subs) - pub["start_ns"]
    return {"msgs": count * 1e9 / elapsed,
            "retries": pub.get("full_retries", 0) / count, "wakeups": pub.get("wakeups", 0) / count}


def latency_run(system, size, fanout, plan):
    _, *subs = run_case(system, size, fanout, "latency", plan)
    return subs


def eventfd_run(fanout, plan):
    efds = [os.eventfd(0) for _ in range(fanout)]
    try:
        _, *readers = run_processes([(eventfd_child, ("writer", efds, plan))] +
                                    [(eventfd_child, ("reader", [efd], plan)) for efd in efds])
    finally:
        for efd in efds:
            os.close(efd)
    return readers


class Floor:
    """The paced wake through bare eventfds: a latency row of its own."""
    label, kind = "bare eventfd (floor)", "floor"


FLOOR = Floor()


def measure_workload(size, fanout, plan):
    """Every system's throughput and latency for one message size and fan-out.
    The systems take turns, round by round, so that a change in the machine's
    load during the run falls on all of them alike."""
    runs = {s.label: [] for s in throughput_systems()}
    latency_runs = latency_systems() + ((FLOOR,) if size == 64 else ())
    receivers = {s.label: [] for s in latency_runs}
    case = "%s x %d" % (size_name(size), fanout)
    for r in range(plan.rounds):
        for system in rotated(throughput_systems(), r):
            note(case, system.label, "throughput", r)
            runs[system.label].append(throughput_run(system, size, fanout, plan))
        for system in rotated(latency_runs, r):
            note(case, system.label, "latency", r)
            if system is FLOOR:
                receivers[system.label] += eventfd_run(fanout, plan)
            else:
                receivers[system.label] += latency_run(system, size, fanout, plan)
    throughput = {}
    for label, results in runs.items():
        rate = statistics.median(x["msgs"] for x in results)
        throughput[label] = {"msgs": rate, "mbs": rate * size / 1e6,
                             "retries": statistics.mean(x["retries"] for x in results),
                             "wakeups": statistics.mean(x["wakeups"] for x in results)}
    latency = {}
    for label, results in receivers.items():
        latency[label] = summarize(b"".join(x["latencies"] for x in results))
        latency[label]["cpu"] = statistics.mean(x["cpu"] for x in results) * 1e6
    return throughput, latency


def rotated(items, r):
    r %= len(items)
    return items[r:] + items[:r]


def note(case, label, what, r):
    sys.stderr.write("%-12s round %d  %-26s %s\n" % (case, r + 1, label, what))


def summarize(raw):
    samples = sorted(array.array("q", raw))

    def at(q):
        return samples[min(len(samples) - 1, int(q * len(samples)))] / 1000.0
    return {"p50": at(0.50), "p99": at(0.99), "p999": at(0.999), "samples": samples}


# ---------------------------------------------------------------------------
# Output.

def size_name(size):
    return "64 B" if size == 64 else "%d KiB" % (size // 1024)


def best_alternative(figures, key, higher_is_better):
    pick = max if higher_is_better else min
    return pick((figures[a.label][key], a.label) for a in ALTERNATIVES)


def throughput_table(results):
    lines = ["### Throughput (every subscriber receives every message)", "",
             "| message | subscribers | system | msg/s | MB/s | qorva / best alternative "
             "| full-ring retries / wakeups per message |",
             "|---|---|---|---:|---:|---:|---:|"]
    for (size, fanout), figures in results.items():
        best, _ = best_alternative(figures, "msgs", True)
        for system in throughput_systems():
            f = figures[system.label]
            ratio = "%.2f x" % (f["msgs"] / best) if system.kind == "qorva" else ""
            extra = "%.3f / %.3f" % (f["retries"], f["wakeups"]) if system.kind == "qorva" else ""
            lines.append("| %s | %d | %s | %s | %.1f | %s | %s |" % (
                size_name(size), fanout, system.label, "{:,.0f}".format(f["msgs"]), f["mbs"], ratio, extra))
    return lines


def latency_table(results, rate):
    rates = ", ".join("%s at %d msg/s" % (size_name(size), rate[size]) for size in SIZES)
    lines = ["### One-way latency (us; %s) and each receiver's processor time per message" % rates, "",
             "| message | subscribers | system | p50 | p99 | p99.9 | CPU us / message "
             "| best alternative p50 / qorva p50 |",
             "|---|---|---|---:|---:|---:|---:|---:|"]
    for (size, fanout), figures in results.items():
        best, _ = best_alternative(figures, "p50", False)
        systems = ((FLOOR,) if FLOOR.label in figures else ()) + latency_systems()
        for system in systems:
            f = figures[system.label]
            ratio = "%.2f x" % (best / f["p50"]) if system.kind == "qorva" else ""
            lines.append("| %s | %d | %s | %.1f | %.1f | %.1f | %.1f | %s |" % (
                size_name(size), fanout, system.label, f["p50"], f["p99"], f["p999"], f["cpu"], ratio))
    return lines


def ratio_lines(throughput, latency):
    """The headline figures, with qorva's defaults (log on). Ratios are
    higher-is-better against the best alternative, lower-is-better against
    the floor; "worst" takes the worse of the 1- and 4-subscriber cases."""
    def worst(results, size, value, pick=min):
        return pick(value(results[(size, n)]) for n in FANOUTS)

    def tput(f):
        return f[QORVA.label]["msgs"] / best_alternative(f, "msgs", True)[0]

    def lat(system):
        return lambda f: best_alternative(f, "p50", False)[0] / f[system.label]["p50"]

    def over_floor(fanout):
        f = latency[(64, fanout)]
        return f[QORVA.label]["p50"] / f[FLOOR.label]["p50"]

    def cpu_over_best(f):
        return f[QORVA.label]["cpu"] - best_alternative(f, "cpu", False)[0]

    ratios = [
        ("ratio_throughput_64b", worst(throughput, 64, tput)),
        ("ratio_throughput_64k", worst(throughput, 65536, tput)),
        ("ratio_latency_p50_64b", lat(QORVA)(latency[(64, 1)])),
        ("ratio_latency_p50_64b_4subs", lat(QORVA)(latency[(64, 4)])),
        ("floor_ratio_p50_64b", over_floor(1)),
        ("floor_ratio_p50_64b_4subs", over_floor(4)),
        ("ratio_latency_spin_p50_64b", worst(latency, 64, lat(QORVA_SPIN))),
    ]
    wakeups = worst(throughput, 64, lambda f: f[QORVA.label]["wakeups"], max)
    return (["eventfd_floor_p50: %.1f us" % latency[(64, 1)][FLOOR.label]["p50"],
             "eventfd_floor_p50_4subs: %.1f us" % latency[(64, 4)][FLOOR.label]["p50"]] +
            ["%s: %.2f x" % r for r in ratios] +
            ["wakeups_per_message_64b: %.4f" % wakeups,
             "cpu_per_message_64b_over_best_alternative: %.1f us" % worst(latency, 64, cpu_over_best, max)])


def plot(latency, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(2, 2, figsize=(13, 9), sharey=True)
    for ax, ((size, fanout), figures) in zip(axes.flat, latency.items()):
        if FLOOR.label in figures:
            ax.plot(*cdf(figures[FLOOR.label]["samples"]), label=FLOOR.label, color="black", linestyle=":")
        for system in latency_systems():
            ax.plot(*cdf(figures[system.label]["samples"]), label=system.label)
        ax.set_xscale("log")
        ax.set_title("%s, %d subscriber%s" % (size_name(size), fanout, "s" if fanout > 1 else ""))
        ax.set_xlabel("one-way latency (us)")
        ax.grid(True, which="both", alpha=0.3)
    for ax in axes[:, 0]:
        ax.set_ylabel("fraction of messages")
    axes[0, 0].legend(fontsize=8, loc="lower right")
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)


def cdf(samples):
    n = len(samples)
    step = max(1, n // 2000)
    xs = [samples[i] / 1000.0 for i in range(0, n, step)]
    return xs, [i / n for i in range(0, n, step)]


# ---------------------------------------------------------------------------

def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--smoke", action="store_true", help="tiny counts, a few seconds, no targets")
    parser.add_argument("--out", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "results"),
                        help="directory for compare.md and latency.png (default bench/results/)")
    args = parser.parse_args()
    plan = SMOKE if args.smoke else FULL
    missing = missing_parts()
    if missing and not args.smoke:
        sys.exit("bench/compare.py: not installed: %s (bench/compare installs them)" % ", ".join(missing.values()))
    notes = [leave_out(missing), ""] if missing else []
    began = time.monotonic()
    load_before = os.getloadavg()[0]

    throughput, latency = {}, {}
    for size in SIZES:
        for fanout in FANOUTS:
            throughput[(size, fanout)], latency[(size, fanout)] = measure_workload(size, fanout, plan)
    disk = durable.disk_floor_mbs(os.environ.get("CMP_DIR", "/tmp"), plan.throughput_count[65536], plan.rounds)

    lines = ["## qorva against ZeroMQ PUB/SUB (ipc://) and multiprocessing Pipes", "",
             "Python %s; %s; load average %.1f before, %.1f after; %d rounds, the systems taking "
             "turns; throughput: median of the rounds' runs of %s messages; latency: %d messages "
             "per round and subscriber." % (
                 sys.version.split()[0], machine(), load_before, os.getloadavg()[0], plan.rounds,
                 " / ".join("%d (%s)" % (plan.throughput_count[s], size_name(s)) for s in SIZES),
                 plan.latency_count), ""] + notes
    lines += throughput_table(throughput) + [""] + latency_table(latency, plan.rate) + [""]
    lines += ["Headline figures, qorva with its defaults (log on): throughput over the best alternative's "
              "(the worse of 1 and 4 subscribers) and the publisher's wakeups per message (the larger); "
              "the best alternative's blocking p50 over qorva's, blocking (1 and 4 subscribers) and "
              "spinning (the worse); qorva's blocking p50 over the floor's; and how much more processor "
              "time per message a blocking qorva receiver spends than the thriftiest alternative (the "
              "larger), which its watch before sleeping bounds.", ""]
    lines += [durable.KEEPS, ""]
    lines += ["```"] + ratio_lines(throughput, latency) + durable.ratio_lines(
        throughput, latency, disk, QORVA.label, QORVA_NO_LOG.label, REDIS and REDIS.label) + ["```"]
    text = "\n".join(lines) + "\n"
    os.makedirs(args.out, exist_ok=True)
    with open(os.path.join(args.out, "compare.md"), "w") as f:
        f.write(text)
    wrote = ["compare.md"]
    if "latency.png" not in missing:
        plot(latency, os.path.join(args.out, "latency.png"))
        wrote.append("latency.png")
    print(text)
    print("wrote %s in %s in %.0f s" % (" and ".join(wrote), args.out, time.monotonic() - began))


def machine():
    try:
        with open("/proc/cpuinfo") as f:
            info = f.read()
        model = next(line.split(":", 1)[1].strip() for line in info.splitlines() if line.startswith("model name"))
    except (OSError, StopIteration):
        info, model = "", "unknown CPU"
    virtual = ", virtual machine" if " hypervisor" in info else ""
    return "%s, %d cores%s" % (model, os.cpu_count(), virtual)


if __name__ == "__main__":
    main()
