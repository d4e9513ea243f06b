"""Helpers shared by the tests of _RustBus, TopicPublisher and the statistics."""

import gc
import shutil
import tempfile
import threading
import time
import tracemalloc

import pytest


@pytest.fixture
def base_dir():
    # Short, so that <base>/<bus>/<topic>/signal.sock stays within the
    # Unix-socket path limit.
    path = tempfile.mkdtemp(prefix="qv", dir="/tmp")
    yield path
    shutil.rmtree(path, ignore_errors=True)


def wait_until(predicate, timeout=5.0):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise AssertionError("condition not reached in time")
        time.sleep(0.002)


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
