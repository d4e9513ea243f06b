"""Cleaning a topic beside buses whose names nest below it: it never takes
another bus's topic with it."""

import os

import pytest

from qorva._qorva import _RustBus

from support import wait_until


def tree(root):
    """Every path below root, with the size of each file."""
    found = {}
    for here, dirs, files in os.walk(root):
        for d in dirs:
            found[os.path.relpath(os.path.join(here, d), root)] = None
        for f in files:
            path = os.path.join(here, f)
            found[os.path.relpath(path, root)] = os.lstat(path).st_size
    return found


@pytest.mark.parametrize("live", [True, False], ids=["live", "ended"])
def test_clean_topic_leaves_the_topics_of_a_bus_nested_below_it(base_dir, live):
    orders = _RustBus("orders", base_dir=base_dir, capacity=8, slot_size=64)
    orders.publish("t", b"durable")
    nested = _RustBus("x/t", base_dir=base_dir, capacity=8, slot_size=64)
    nested.publish("u", b"durable")
    outer = _RustBus("x", base_dir=base_dir, capacity=8, slot_size=64)
    outer.publish("t", b"mine")
    for bus, topic in ((orders, "t"), (nested, "u")):
        wait_until(lambda: bus.stats(topic).wal.durable_cursor == 1)
    if not live:
        del orders, nested, bus
    kept = {path: tree(os.path.join(base_dir, path)) for path in ("orders/t", "x/t/u")}

    _RustBus("", base_dir=base_dir).clean_topic("orders")
    outer.clean_topic("t")

    assert {path: tree(os.path.join(base_dir, path)) for path in kept} == kept
    assert sorted(os.listdir(os.path.join(base_dir, "x/t"))) == ["u"]  # the topic's own files are gone
    outer.publish("t", b"again")  # and it starts afresh
    assert outer.stats("t").published_total == 1
