"""bench/compare's durable comparison: the disk floor under qorva's log and
the headline ratios against it and against Redis Streams.

What each system keeps, so that a reader compares like with like: Pipes and
ZeroMQ keep nothing; Redis Streams keeps a log synced every second
(appendfsync everysec); qorva with its defaults keeps a log synced every 5 ms.
"""

import os
import statistics
import subprocess

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# Built with the module by bench/compare.
FLOOR_BINARY = os.path.join(ROOT, "build-bench-py", "bench", "disk_floor")

KEEPS = ("What each system keeps: multiprocessing Pipes and ZeroMQ nothing; Redis Streams a log synced "
         "every second (AOF, appendfsync everysec); qorva (its defaults) a log synced every 5 ms.")


def disk_floor_mbs(directory, records, rounds):
    """The median over `rounds` runs of the bare loop (disk_floor.h) with
    `records` 64 KiB records, in MB/s of 64 KiB messages, on `directory`'s
    file system."""
    if not os.path.exists(FLOOR_BINARY):
        raise RuntimeError("%s is missing: run bench/compare, which builds it" % FLOOR_BINARY)
    rates = []
    for _ in range(rounds):
        out = subprocess.run([FLOOR_BINARY, directory, str(records)], check=True, capture_output=True,
                             text=True, timeout=600).stdout
        rates.append(float(out.split(":")[1].split()[0]))
    return statistics.median(rates)


def ratio_lines(throughput, latency, disk_mbs, qorva, qorva_no_log, redis):
    """The durable headline figures; each ratio against Redis is the worse
    of the 1- and 4-subscriber cases, higher is better for all of them.
    `throughput` and `latency` map (size, fan-out) to figures by label;
    `redis` is None when Redis did not run (a smoke run without it)."""
    fanouts = sorted({fanout for _, fanout in throughput})

    def worst(results, size, value):
        return min(value(results[(size, n)]) for n in fanouts)

    def more_msgs(size):  # qorva's throughput over Redis's
        return worst(throughput, size, lambda f: f[qorva]["msgs"] / f[redis]["msgs"])

    log_64k = throughput[(65536, 1)][qorva]["mbs"]
    figures = [
        ("ratio_log_disk_64k", log_64k / disk_mbs),
        ("ratio_log_64b", worst(throughput, 64, lambda f: f[qorva]["msgs"] / f[qorva_no_log]["msgs"])),
    ]
    if redis is not None:
        figures += [
            ("ratio_durable_throughput_64b", more_msgs(64)),
            ("ratio_durable_throughput_64k", more_msgs(65536)),
            ("ratio_durable_latency_p50_64b", worst(latency, 64, lambda f: f[redis]["p50"] / f[qorva]["p50"])),
        ]
    return ["disk_floor_64k: %.0f MB/s" % disk_mbs] + ["%s: %.2f x" % f for f in figures]
