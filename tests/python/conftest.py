"""The fixtures of the Python tests; the helpers they use are in support.py."""

import faulthandler
import json
import shutil
import tempfile
import uuid

import pytest

import qorva._qorva

from support import TOPIC, Child


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


@pytest.fixture
def bus(make_bus):
    """A bus whose publisher of TOPIC exists, so that subscribers can connect."""
    b = make_bus()
    b.publish_many(TOPIC, [])
    return b


@pytest.fixture
def sub(bus):
    return bus.subscribe(TOPIC, timeout_secs=5)

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
