"""What a topic finds on disk: symbolic links and FIFOs planted below the
base directory, and a file system too full for the ring. Each case runs in a
child process with a time limit, so that a hang or a fatal signal is a
failure of its own case."""

import json
import os
import shutil
import stat
import struct
import subprocess
import tempfile

import pytest

from support import run_python

TOPIC = "t"
SEGMENT = "00000000000000000000.seg"


def outcome(base, name, body, **kw):
    """Runs body in a child with `bus` (log off unless kw says otherwise) and
    returns its report: {"ok": value} or {"error": class name, "text": message}."""
    code = f"""
import json
from qorva._qorva import _RustBus
bus = _RustBus({name!r}, base_dir={base!r}, **{kw!r})
def run():
{body}
try:
    result = {{"ok": run()}}
except Exception as e:
    result = {{"error": type(e).__name__, "text": str(e), "os_error": isinstance(e, OSError)}}
print(json.dumps(result))
"""
    return json.loads(run_python(code, timeout=30).splitlines()[-1])


def indent(body):
    return "\n".join("    " + line for line in body.strip().splitlines())


PUBLISH = indent(f"bus.publish({TOPIC!r}, b'x')")


def segment_bytes(tail):
    """A segment header (first cursor 0) followed by `tail` bytes of a torn record."""
    return struct.pack("<QQQQ", 0x716F72766157414C, 1, 0, 0) + tail


def refused(result):
    return "error" in result and result["os_error"]


# ---------------------------------------------------------------------------
# Symbolic links: the base directory may be one, nothing below it is followed.

@pytest.fixture
def outside():
    path = tempfile.mkdtemp(prefix="qorva-outside-", dir="/tmp")
    yield path
    shutil.rmtree(path, ignore_errors=True)


def plant_topic_dir(topic_dir, outside):
    os.makedirs(os.path.dirname(topic_dir), exist_ok=True)
    os.symlink(outside, topic_dir)


def plant_bus_dir(topic_dir, outside):
    os.symlink(outside, os.path.dirname(topic_dir))


def plant_wal_dir(topic_dir, outside):
    os.makedirs(topic_dir)
    os.symlink(outside, os.path.join(topic_dir, "wal"))


def plant_lock_file(topic_dir, outside):
    os.makedirs(topic_dir)
    os.symlink(os.path.join(outside, "created"), os.path.join(topic_dir, "producer.lock"))


def plant_segment(topic_dir, outside):
    os.makedirs(os.path.join(topic_dir, "wal"))
    victim = os.path.join(outside, "victim")
    with open(victim, "wb") as f:
        f.write(segment_bytes(b"\x01\x02\x03"))
    os.symlink(victim, os.path.join(topic_dir, "wal", SEGMENT))


def plant_ring_of_another_bus(topic_dir, outside):
    from qorva._qorva import _RustBus
    other = _RustBus("other", base_dir=outside, capacity=64, slot_size=1024, wal_enabled=False)
    other.publish(TOPIC, b"theirs")
    del other
    os.makedirs(topic_dir)
    os.symlink(os.path.join(outside, "other", TOPIC, "ring.mmap"), os.path.join(topic_dir, "ring.mmap"))


def snapshot(root):
    """Every entry below root, with the bytes of each regular file."""
    files = {}
    for dirpath, _, names in os.walk(root):
        for n in names:
            p = os.path.join(dirpath, n)
            content = None
            if stat.S_ISREG(os.lstat(p).st_mode):
                with open(p, "rb") as f:
                    content = f.read()
            files[os.path.relpath(p, root)] = content
    return files


@pytest.mark.parametrize("plant, wal", [
    (plant_topic_dir, False),
    (plant_bus_dir, False),
    (plant_wal_dir, True),
    (plant_lock_file, False),
    (plant_ring_of_another_bus, False),
    (plant_segment, True),
], ids=lambda v: getattr(v, "__name__", str(v)))
def test_a_link_below_the_base_directory_is_refused_and_its_target_left_alone(base_dir, bus_name, outside,
                                                                               plant, wal):
    topic_dir = os.path.join(base_dir, bus_name, TOPIC)
    plant(topic_dir, outside)
    before = snapshot(outside)
    result = outcome(base_dir, bus_name, PUBLISH, capacity=64, slot_size=1024, wal_enabled=wal)
    assert refused(result), result
    assert snapshot(outside) == before


def test_a_base_directory_that_is_a_link_is_followed(base_dir, bus_name):
    real = os.path.join(base_dir, "real")
    os.mkdir(real)
    link = os.path.join(base_dir, "link")
    os.symlink(real, link)
    body = indent(f"""
bus.publish_many({TOPIC!r}, [])
sub = bus.subscribe_with_history({TOPIC!r}, 2, timeout_secs=5)
bus.publish_many({TOPIC!r}, [b"a", b"b"])
return [sub.recv_timeout(5).decode(), sub.recv_timeout(5).decode()]
""")
    assert outcome(link, bus_name, body, capacity=64, slot_size=1024, wal_enabled=True) == {"ok": ["a", "b"]}
    assert os.path.isfile(os.path.join(real, bus_name, TOPIC, "ring.mmap"))


# ---------------------------------------------------------------------------
# FIFOs (and other files that are not regular) are refused, never waited on.

def test_a_fifo_at_the_lock_or_ring_file_is_refused_without_blocking(base_dir, bus_name):
    topic_dir = os.path.join(base_dir, bus_name, TOPIC)
    os.makedirs(topic_dir)
    for name in ("producer.lock", "ring.mmap"):
        fifo = os.path.join(topic_dir, name)
        os.mkfifo(fifo)
        result = outcome(base_dir, bus_name, PUBLISH, capacity=64, slot_size=1024, wal_enabled=False)
        assert refused(result) and "not a regular file" in result["text"], (name, result)
        os.unlink(fifo)


def test_a_fifo_named_like_a_segment_fails_recovery_without_blocking(base_dir, bus_name):
    wal_dir = os.path.join(base_dir, bus_name, TOPIC, "wal")
    os.makedirs(wal_dir)
    os.mkfifo(os.path.join(wal_dir, SEGMENT))
    result = outcome(base_dir, bus_name, PUBLISH, capacity=64, slot_size=1024, wal_enabled=True)
    assert result.get("error") == "WalError" and "not a regular file" in result["text"], result


def test_a_replay_that_meets_a_fifo_fails_by_its_timeout(base_dir, bus_name):
    # The log held 0..19 in its first segment, now a FIFO of the same name:
    # the replay from 0 has to read it, since the ring holds only 16..19.
    fifo = os.path.join(base_dir, bus_name, TOPIC, "wal", "00000000000000000000.seg")
    body = indent(f"""
import os, time
bus.publish_many({TOPIC!r}, [b"%d" % i for i in range(20)])
time.sleep(0.2)  # the flusher writes the records out
os.unlink({fifo!r})
os.mkfifo({fifo!r})
sub = bus.subscribe_from({TOPIC!r}, 0, timeout_secs=5)
got = 0
for _ in range(40):
    start = time.monotonic()
    try:
        m = sub.recv_timeout(1.0)
    except OSError as e:
        assert time.monotonic() - start < 10, "the receive outlived its timeout"
        raise
    got += m is not None
return got
""")
    result = outcome(base_dir, bus_name, body, capacity=4, slot_size=64, wal_enabled=True)
    assert refused(result) and "not a regular file" in result["text"], result


# ---------------------------------------------------------------------------
# A file system without room for the ring.

@pytest.fixture
def small_tmpfs():
    path = tempfile.mkdtemp(prefix="qorva-tmpfs-", dir="/tmp")
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=2m", "tmpfs", path],
                             capture_output=True, check=False).returncode == 0
    if not mounted:
        os.rmdir(path)
        pytest.skip("cannot mount a tmpfs here")
    yield path
    subprocess.run(["umount", path], check=False)
    os.rmdir(path)


def test_a_ring_that_does_not_fit_the_disk_is_an_error_not_a_crash(small_tmpfs, bus_name):
    # A default ring (16 MiB) on a 2 MiB file system.
    body = indent(f"""
for i in range(256):
    bus.publish({TOPIC!r}, bytes(60000))
""")
    result = outcome(small_tmpfs, bus_name, body, wal_enabled=False)
    assert refused(result) and "No space left on device" in result["text"], result
    topic_dir = os.path.join(small_tmpfs, bus_name, TOPIC)
    assert not {"ring.mmap", "ring.mmap.new"} & set(os.listdir(topic_dir))
    # What fits is built and works.
    body = indent(f"""
bus.publish({TOPIC!r}, b"fits")
return bus.stats({TOPIC!r}).tail
""")
    assert outcome(small_tmpfs, bus_name, body, capacity=16, slot_size=4096, wal_enabled=False) == {"ok": 1}
