"""A real asyncio loop in a subscriber process, served by the module's own
members only (fileno, arm_wakeup, drain_wakeup, poll_recv, try_recv,
try_recv_into, socket_fileno), against a publisher process."""

import os

import pytest

from support import CHILD_PRELUDE, PUBLISHER_SCRIPT

TOPIC = "t"

# Options: base, name, topic, count, mode ("poll": wake with poll_recv,
# "drain": wake with drain_wakeup then try_recv, "into": drain_wakeup then
# try_recv_into a reused buffer).
ASYNCIO_SUBSCRIBER = CHILD_PRELUDE + r"""
import asyncio
o = json.loads(sys.argv[1])
mode = o["mode"]
sub = _RustBus(o["name"], base_dir=o["base"]).subscribe(o["topic"], timeout_secs=30)
report(ready=sub.cursor)


async def main():
    loop = asyncio.get_running_loop()
    got = []
    counters = {"wakeups": 0, "idle_wakeups": 0, "arms": 0, "ticks": 0}
    all_in = loop.create_future()
    hung_up = loop.create_future()
    buf = bytearray(sub.max_payload_size)

    def next_message():
        if mode == "into":
            n = sub.try_recv_into(buf)
            return None if n is None else bytes(buf[:n])
        return sub.try_recv()

    def read_then_arm():
        # Read until empty, then arm; a True from arming means read again.
        while True:
            m = next_message()
            while m is not None:
                got.append(index_of(m))
                m = next_message()
            if len(got) >= o["count"]:
                if not all_in.done():
                    all_in.set_result(None)
                return
            counters["arms"] += 1
            if not sub.arm_wakeup():
                return

    def on_wakeup():
        counters["wakeups"] += 1
        if mode == "poll":
            m = sub.poll_recv()
            if m is None:
                counters["idle_wakeups"] += 1
            else:
                got.append(index_of(m))
        elif not sub.drain_wakeup():
            counters["idle_wakeups"] += 1
        read_then_arm()

    def on_hang_up():
        loop.remove_reader(sub.socket_fileno())
        if not hung_up.done():
            hung_up.set_result(None)

    async def ticker():
        # Proves the loop keeps running while the subscription waits.
        while True:
            await asyncio.sleep(0.005)
            counters["ticks"] += 1

    tick = asyncio.ensure_future(ticker())
    loop.add_reader(sub.fileno(), on_wakeup)
    loop.add_reader(sub.socket_fileno(), on_hang_up)
    read_then_arm()
    await asyncio.wait_for(all_in, 60)
    report(got=len(got), in_order=got == list(range(o["count"])), **counters)
    await asyncio.wait_for(hung_up, 60)
    loop.remove_reader(sub.fileno())
    tick.cancel()
    # With the publisher gone: no unit, nothing to poll.
    report(hung_up=True, drain=sub.drain_wakeup(), poll=sub.poll_recv(), rest=sub.try_recv())


asyncio.run(main())
"""


@pytest.mark.parametrize("mode", ["poll", "drain", "into"])
def test_asyncio_loop_receives_every_message_through_the_wakeup_descriptor(spawn, base_dir, bus_name, mode):
    count = 2000
    stop = os.path.join(base_dir, "stop")
    pub = spawn(PUBLISHER_SCRIPT, dict(base=base_dir, name=bus_name, topic=TOPIC, subscribers=1, count=count,
                                       stop=stop))
    sub = spawn(ASYNCIO_SUBSCRIBER, dict(base=base_dir, name=bus_name, topic=TOPIC, count=count, mode=mode))
    assert sub.expect("ready", 40) == 0
    assert pub.expect("tail", 40) == 0
    published = pub.read(90)
    assert published["published"] == count
    result = sub.read(90)
    assert result["got"] == count and result["in_order"], result
    # It slept on the descriptor and was woken, while the loop kept ticking.
    assert result["wakeups"] > 0 and result["arms"] > 0 and result["ticks"] > 0, result
    assert published["wakeups"] > 0
    touch = open(stop, "w")
    touch.close()
    assert pub.wait() == 0, pub.stderr()
    assert sub.read(30) == {"hung_up": True, "drain": False, "poll": None, "rest": None}
    assert sub.wait() == 0, sub.stderr()
