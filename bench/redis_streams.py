"""Redis Streams as the durable alternative in bench/compare.

A Python user who needs durable, replayable messaging on one host most often
takes Redis Streams with the append-only file on. This transport runs that
set-up as Redis ships it for durability: its own redis-server per case, on a
Unix socket in the case's temporary directory, with a data directory of its
own, `appendonly yes`, `appendfsync everysec` (the log is synced once a
second) and no RDB snapshots.

- Publisher: one XADD per message, each a round trip.
- Subscriber: XREAD BLOCK from its own last id, taking what is there (up to
  1000 entries a call), and hands the messages out one by one.

The server is a child of the benchmark's parent process: it is stopped when
its case ends (release), at the latest at exit, and by the kernel if the
parent dies first.
"""

import atexit
import collections
import ctypes
import os
import signal
import subprocess
import time

try:
    import redis
except ImportError:  # bench/compare --smoke goes on without Redis
    redis = None

STREAM = b"t"
FIELD = b"m"
READ_COUNT = 1000
START_TIMEOUT = 10.0
_PR_SET_PDEATHSIG = 1


def _die_with_parent():
    """Runs in the server's process before exec: SIGTERM when the parent goes."""
    ctypes.CDLL(None, use_errno=True).prctl(_PR_SET_PDEATHSIG, signal.SIGTERM, 0, 0, 0)


class RedisServer:
    """One redis-server on a Unix socket under `workdir`; stop() ends it."""

    def __init__(self, workdir):
        self.socket = os.path.join(workdir, "redis.sock")
        data = os.path.join(workdir, "redis-data")
        os.mkdir(data)
        config = ["--port", "0", "--unixsocket", self.socket, "--dir", data,
                  "--appendonly", "yes", "--appendfsync", "everysec", "--save", "",
                  "--daemonize", "no", "--logfile", ""]
        self.proc = subprocess.Popen(["redis-server"] + config, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, preexec_fn=_die_with_parent)
        self._wait_ready()

    def _wait_ready(self):
        give_up = time.monotonic() + START_TIMEOUT
        while True:
            if self.proc.poll() is not None:
                raise RuntimeError("redis-server exited with status %d" % self.proc.returncode)
            try:
                client = redis.Redis(unix_socket_path=self.socket)
                client.ping()
                client.close()
                return
            except (redis.ConnectionError, FileNotFoundError):
                if time.monotonic() > give_up:
                    self.stop()
                    raise RuntimeError("redis-server did not answer within %.0f s" % START_TIMEOUT)
                time.sleep(0.02)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(5)


class RedisStreams:
    label, kind = "redis streams", "durable alternative"

    def __init__(self):
        self.server = None
        atexit.register(self.release)

    def prepare(self, workdir, fanout):
        # A fresh server and an empty log for every case.
        self.release()
        self.server = RedisServer(workdir)
        return self.server.socket

    def release(self):
        """Stops the case's server; runs in the parent once the case is over."""
        if self.server is not None:
            self.server.stop()
            self.server = None

    def open_publisher(self, socket_path, fanout):
        client = redis.Redis(unix_socket_path=socket_path)
        client.ping()
        xadd = client.xadd

        def send(message):
            xadd(STREAM, {FIELD: message})
        self.keep = client
        return send

    def publisher_report(self):
        return {}

    def open_subscriber(self, socket_path, index, size):
        client = redis.Redis(unix_socket_path=socket_path)
        client.ping()
        xread = client.xread
        last_id = b"0-0"
        ready = collections.deque()

        def recv():
            nonlocal last_id
            while not ready:
                for _, entries in xread({STREAM: last_id}, count=READ_COUNT, block=0):
                    ready.extend(fields[FIELD] for _, fields in entries)
                    last_id = entries[-1][0]
            return ready.popleft()
        self.keep = client
        return recv
