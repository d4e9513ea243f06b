"""Processes on a topic's signal.sock that are no subscribers, and subscribers
that come and go while the publisher is idle: neither may cost a publish or
keep a later subscriber out."""

import os
import socket
import time

import pytest

from support import TOPIC


def signal_socket(base_dir, bus_name):
    return os.path.join(base_dir, bus_name, TOPIC, "signal.sock")


def connect_peer(path, behaviour):
    peer = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    peer.connect(path)
    if behaviour == "garbage":
        peer.sendall(b"not a handshake")
    elif behaviour == "hang_up":
        peer.close()
    return peer


@pytest.mark.parametrize("behaviour", ["silent", "garbage", "hang_up"])
def test_peers_that_are_no_subscribers_never_fail_or_stall_a_publish(bus, base_dir, bus_name, behaviour):
    sub = bus.subscribe(TOPIC, timeout_secs=5)
    path = signal_socket(base_dir, bus_name)
    peers = [connect_peer(path, behaviour) for _ in range(4)]
    expected = []
    for i in range(50):
        payload = b"m%d" % i
        start = time.monotonic()
        if i % 2:
            assert bus.publish_many(TOPIC, [payload]) == 1
        else:
            bus.publish(TOPIC, payload)
        assert time.monotonic() - start < 0.05, i
        expected.append(payload)
        time.sleep(0.001)  # so that timed accept passes run among the publishes
    assert [sub.recv_timeout(5) for _ in expected] == expected
    for peer in peers:
        peer.close()


def test_subscribers_keep_getting_in_to_an_idle_publisher(bus):
    for i in range(5000):
        assert bus.subscribe(TOPIC, timeout_secs=2) is not None, i
    last = bus.subscribe(TOPIC, timeout_secs=2)
    bus.publish(TOPIC, b"after the churn")
    assert last.recv_timeout(5) == b"after the churn"
