"""Subscription receives into caller buffers: which buffers are taken, the size
rules, and the fixed-size slots of recv_into_buffer."""

import array
import ctypes
import mmap
import threading
import time

import pytest

from qorva._qorva import MessageTooLargeError

from support import TOPIC, borrowed, publish, wait_until

SIZE = 16

try:
    import numpy
except ImportError:  # the rows that need it are skipped
    numpy = None

needs_numpy = pytest.mark.skipif(numpy is None, reason="numpy is not installed for this interpreter")


def kinds(table):
    """The table's keys as parameters; the numpy rows skip where numpy is missing."""
    return [pytest.param(k, marks=needs_numpy) if k.startswith("numpy") else k for k in table]


def msg(i, size=SIZE):
    return (b"%02d" % i + b"abcdefghijklmnopqrstuvwxyz" * 3)[:size]


# The four members, with short timeouts where they take one.
MEMBERS = {
    "recv_into": lambda s, b: s.recv_into(b),
    "try_recv_into": lambda s, b: s.try_recv_into(b),
    "recv_timeout_into": lambda s, b: s.recv_timeout_into(b, 1.0),
    "recv_into_buffer": lambda s, b: s.recv_into_buffer(b, SIZE, 1.0),
}


def as_bytes(buf):
    return bytes(memoryview(buf).cast("B")) if not isinstance(buf, bytes) else buf


# name -> factory of a buffer of `n` bytes
GOOD_BUFFERS = {
    "bytearray": lambda n: bytearray(n),
    "memoryview of bytearray": lambda n: memoryview(bytearray(n)),
    "memoryview cast to c": lambda n: memoryview(bytearray(n)).cast("c"),
    "array B": lambda n: array.array("B", bytes(n)),
    "anonymous mmap": lambda n: mmap.mmap(-1, n),
    "numpy uint8": lambda n: numpy.zeros(n, dtype=numpy.uint8),
    "numpy uint8 2-d": lambda n: numpy.zeros((2, n // 2), dtype=numpy.uint8),
}


def read_only_numpy(n):
    a = numpy.zeros(n, dtype=numpy.uint8)
    a.flags.writeable = False
    return a


# name -> (factory, exception type, message)
READ_ONLY = "recv_into requires a writable buffer (got read-only)"
NOT_CONTIGUOUS = "recv_into requires a C-contiguous buffer"
NOT_U8 = "buffer contents are not compatible with u8"
BAD_BUFFERS = {
    "bytes": (lambda n: bytes(n), TypeError, READ_ONLY),
    "memoryview of bytes": (lambda n: memoryview(bytes(n)), TypeError, READ_ONLY),
    "read-only mmap": (lambda n: mmap.mmap(-1, n, access=mmap.ACCESS_READ), TypeError, READ_ONLY),
    "non-contiguous memoryview": (lambda n: memoryview(bytearray(2 * n))[::2], TypeError, NOT_CONTIGUOUS),
    "array b": (lambda n: array.array("b", bytes(n)), BufferError, NOT_U8),
    "array i": (lambda n: array.array("i", bytes(n)), BufferError, NOT_U8),
    "memoryview cast to b": (lambda n: memoryview(bytearray(n)).cast("b"), BufferError, NOT_U8),
    # ctypes exports no strides (and a "<B" format): refused at the strides check.
    "ctypes ubyte array": (lambda n: (ctypes.c_ubyte * n)(), BufferError, "strides is null"),
    "int": (lambda n: n, TypeError, None),
    "str": (lambda n: "x" * n, TypeError, None),
    # The checks come in a fixed order: shape, strides, item type, writability,
    # contiguity. Each row fails two of them and must report the first.
    "zero-dimensional": (lambda n: memoryview(bytearray(1)).cast("B", shape=[]), BufferError, "shape is null"),
    "zero-dimensional read-only": (lambda n: memoryview(b"x").cast("B", shape=[]), BufferError, "shape is null"),
    "ctypes signed scalar": (lambda n: ctypes.c_byte(), BufferError, "shape is null"),
    "ctypes signed byte array": (lambda n: (ctypes.c_byte * n)(), BufferError, "strides is null"),
    "read-only signed bytes": (lambda n: memoryview(bytes(n)).cast("b"), BufferError, NOT_U8),
    "non-contiguous signed bytes": (lambda n: memoryview(bytearray(2 * n)).cast("b")[::2], BufferError, NOT_U8),
    "read-only non-contiguous": (lambda n: memoryview(bytes(2 * n))[::2], TypeError, READ_ONLY),
    "numpy int8": (lambda n: numpy.zeros(n, dtype=numpy.int8), BufferError, NOT_U8),
    "numpy uint16": (lambda n: numpy.zeros(n, dtype=numpy.uint16), BufferError, NOT_U8),
    "numpy uint8 read-only": (read_only_numpy, TypeError, READ_ONLY),
    "numpy uint8 strided": (lambda n: numpy.zeros(2 * n, dtype=numpy.uint8)[::2], TypeError, NOT_CONTIGUOUS),
    "numpy uint8 Fortran order": (lambda n: numpy.zeros((2, n), dtype=numpy.uint8, order="F"),
                                  TypeError, NOT_CONTIGUOUS),
}


@pytest.mark.parametrize("member", MEMBERS)
@pytest.mark.parametrize("kind", kinds(GOOD_BUFFERS))
def test_writable_contiguous_byte_buffers_are_filled(bus, sub, member, kind):
    buf = GOOD_BUFFERS[kind](4 * SIZE)
    publish(bus, msg(1))
    result = MEMBERS[member](sub, buf)
    assert result == (1 if member == "recv_into_buffer" else SIZE)
    data = as_bytes(buf)
    assert data[:SIZE] == msg(1)
    assert data[SIZE:] == bytes(3 * SIZE)  # the rest is left as it was


@pytest.mark.parametrize("member", MEMBERS)
@pytest.mark.parametrize("kind", kinds(BAD_BUFFERS))
def test_unsuitable_buffers_are_refused_before_anything_is_received(bus, sub, member, kind):
    factory, exc, text = BAD_BUFFERS[kind]
    publish(bus, msg(1))
    with pytest.raises(exc) as info:
        MEMBERS[member](sub, factory(4 * SIZE))
    if text is not None:
        assert str(info.value) == text
    assert sub.try_recv() == msg(1)  # not consumed


class Py_buffer(ctypes.Structure):
    _fields_ = [("buf", ctypes.c_void_p), ("obj", ctypes.c_void_p), ("len", ctypes.c_ssize_t),
                ("itemsize", ctypes.c_ssize_t), ("readonly", ctypes.c_int), ("ndim", ctypes.c_int),
                ("format", ctypes.c_char_p), ("shape", ctypes.c_void_p), ("strides", ctypes.c_void_p),
                ("suboffsets", ctypes.c_void_p), ("internal", ctypes.c_void_p)]


_memoryview_from_buffer = ctypes.pythonapi.PyMemoryView_FromBuffer
_memoryview_from_buffer.restype = ctypes.py_object
_memoryview_from_buffer.argtypes = [ctypes.POINTER(Py_buffer)]


def exported(storage, fmt, itemsize):
    """A one-dimensional memoryview of `storage` exporting any format text,
    which memoryview.cast() cannot make. It does not keep `storage` alive."""
    info = Py_buffer(ctypes.addressof(storage), None, len(storage), itemsize, 0, 1, fmt, None, None, None, None)
    return _memoryview_from_buffer(ctypes.byref(info))


# Single unsigned bytes: "B" or "c", bare or after "@", "=" or ">"; no format
# counts as "B". Little-endian and network-order prefixes are refused.
@pytest.mark.parametrize("fmt, itemsize, accepted", [
    (None, 1, True),
    (b"B", 1, True), (b"c", 1, True),
    (b"@B", 1, True), (b"@c", 1, True),
    (b"=B", 1, True), (b"=c", 1, True),
    (b">B", 1, True), (b">c", 1, True),
    (b"<B", 1, False), (b"<c", 1, False),
    (b"!B", 1, False), (b"!c", 1, False),
    (b"b", 1, False), (b"?", 1, False), (b"x", 1, False),
    (b"BB", 1, False), (b"@@B", 1, False), (b"2B", 1, False), (b"", 1, False),
    (b"B", 2, False), (b"H", 2, False),
])
def test_item_formats(bus, sub, fmt, itemsize, accepted):
    storage = ctypes.create_string_buffer(b"\xee" * 8, 8)
    view = exported(storage, fmt, itemsize)
    publish(bus, b"abcd")
    if accepted:
        assert sub.try_recv_into(view) == 4
        assert storage.raw == b"abcd" + b"\xee" * 4
    else:
        with pytest.raises(BufferError, match="^buffer contents are not compatible with u8$"):
            sub.try_recv_into(view)
        assert storage.raw == b"\xee" * 8
        assert sub.try_recv() == b"abcd"  # not consumed


@pytest.mark.parametrize("member", ["recv_into", "try_recv_into", "recv_timeout_into"])
def test_a_message_longer_than_the_buffer_is_consumed(bus, sub, member):
    publish(bus, b"0123456789", b"next")
    buf = bytearray(4)
    with pytest.raises(MessageTooLargeError) as info:
        MEMBERS[member](sub, buf)
    assert str(info.value) == "message is 10 bytes; slot_size is 4 bytes"
    assert sub.try_recv_into(buf) == 4
    assert buf == b"next"


def test_a_buffer_of_max_payload_size_takes_the_largest_message(bus, sub):
    publish(bus, b"\xab" * sub.max_payload_size)
    buf = bytearray(sub.max_payload_size)
    assert sub.recv_into(buf) == sub.max_payload_size
    assert buf == b"\xab" * sub.max_payload_size


def test_try_recv_into_counts_and_none(bus, sub):
    buf = bytearray(b"\xee" * 8)
    assert sub.try_recv_into(buf) is None
    publish(bus, b"", b"abc")
    assert sub.try_recv_into(buf) == 0
    assert sub.try_recv_into(buf) == 3
    assert buf == b"abc" + b"\xee" * 5


def test_recv_timeout_into_zero_makes_one_attempt(sub):
    start = time.monotonic()
    assert sub.recv_timeout_into(bytearray(8), 0) is None
    assert time.monotonic() - start < 0.5


def test_recv_timeout_into_waits_about_its_timeout(sub):
    start = time.monotonic()
    assert sub.recv_timeout_into(bytearray(8), 0.1) is None
    assert 0.085 <= time.monotonic() - start < 2.0


def test_recv_timeout_into_converts_the_timeout_before_looking_at_the_buffer(sub):
    with pytest.raises(TypeError, match="^argument 'timeout_secs': "):
        sub.recv_timeout_into(b"read-only", None)
    with pytest.raises(TypeError, match="^recv_into requires a writable buffer"):
        sub.recv_timeout_into(b"read-only", 0)


@pytest.mark.parametrize("receive", [
    lambda s, b: s.recv_into(b),
    lambda s, b: s.recv_timeout_into(b, 10),
    lambda s, b: s.recv_into_buffer(b, 4, 10),
])
def test_waiting_receives_keep_the_buffer_exported(bus, sub, receive):
    """While a receive waits (lock released), other threads run but cannot
    resize the buffer; afterwards they can."""
    buf = bytearray(8)
    out = []
    t = threading.Thread(target=lambda: out.append(receive(sub, buf)), daemon=True)
    t.start()
    wait_until(lambda: borrowed(sub))
    with pytest.raises(BufferError):
        buf.append(0)
    assert buf == bytes(8)  # nothing half-written while it waits
    bus.publish(TOPIC, b"done")
    t.join(5)
    assert out and out[0] in (4, 1)
    assert buf[:4] == b"done"
    buf.append(0)


# --- recv_into_buffer -----------------------------------------------------------

@pytest.mark.parametrize("buf", [b"bytes", 42, None, bytearray(4)])
def test_payload_size_zero_is_refused_before_the_buffer(sub, buf):
    with pytest.raises(ValueError, match=r"^payload_size must be > 0$"):
        sub.recv_into_buffer(buf, 0)


@pytest.mark.parametrize("call, exc, pattern", [
    (lambda s: s.recv_into_buffer(bytearray(8), -1), OverflowError, ""),
    (lambda s: s.recv_into_buffer(bytearray(8), "4"), TypeError, r"^argument 'payload_size': "),
    (lambda s: s.recv_into_buffer(bytearray(8), 4, None), TypeError, r"^argument 'timeout_secs': "),
    (lambda s: s.recv_into_buffer(bytearray(8)), TypeError, r"missing 1 required positional argument: 'payload_size'"),
    (lambda s: s.recv_into(), TypeError, r"missing 1 required positional argument: 'buf'"),
    (lambda s: s.try_recv_into(bytearray(8), 1), TypeError, r"takes 1 positional arguments but 2 were given"),
])
def test_argument_errors(sub, call, exc, pattern):
    with pytest.raises(exc, match=pattern):
        call(sub)


def test_fewer_bytes_than_one_slot_returns_zero_at_once(bus, sub):
    publish(bus, msg(0))
    start = time.monotonic()
    assert sub.recv_into_buffer(bytearray(10), SIZE, 5.0) == 0
    assert time.monotonic() - start < 0.5
    assert sub.try_recv() == msg(0)


def test_slots_fill_in_order_and_a_partial_slot_stays_untouched(bus, sub):
    publish(bus, *[msg(i) for i in range(6)])
    buf = bytearray(b"\xee" * 70)
    assert sub.recv_into_buffer(buf, SIZE) == 4
    assert bytes(buf[:64]) == b"".join(msg(i) for i in range(4))
    assert buf[64:] == b"\xee" * 6
    assert sub.recv_into_buffer(bytearray(64), SIZE) == 2


def test_a_longer_message_stops_the_slots_and_is_consumed(bus, sub):
    publish(bus, msg(0), msg(1), msg(2, 20), msg(3))
    buf = bytearray(b"\xee" * 64)
    with pytest.raises(ValueError, match=r"^payload at index 2 exceeds payload_size \(16\)$"):
        sub.recv_into_buffer(buf, SIZE)
    assert bytes(buf[:32]) == msg(0) + msg(1)
    assert buf[32:] == b"\xee" * 32  # nothing of the long one is written
    assert sub.try_recv() == msg(3)


def test_a_shorter_message_lands_at_its_slot_and_is_consumed(bus, sub):
    publish(bus, msg(0), msg(1), msg(2, 10), msg(3))
    buf = bytearray(b"\xee" * 64)
    with pytest.raises(ValueError, match=r"^payload at index 2 is 10 bytes; payload_size is 16$"):
        sub.recv_into_buffer(buf, SIZE)
    assert bytes(buf[:42]) == msg(0) + msg(1) + msg(2, 10)
    assert buf[42:] == b"\xee" * 22
    assert sub.try_recv() == msg(3)


@pytest.mark.parametrize("size", [20, 10])
def test_a_wrong_first_message_leaves_the_buffer_untouched(bus, sub, size):
    publish(bus, msg(0, size), msg(1))
    buf = bytearray(b"\xee" * 64)
    with pytest.raises(ValueError, match=r"^payload at index 0 is %d bytes; payload_size is 16$" % size):
        sub.recv_into_buffer(buf, SIZE)
    assert buf == b"\xee" * 64
    assert sub.try_recv() == msg(1)


def test_recv_into_buffer_times_out_with_zero(sub):
    start = time.monotonic()
    assert sub.recv_into_buffer(bytearray(64), SIZE, 0.1) == 0
    assert 0.085 <= time.monotonic() - start < 2.0


def test_recv_into_buffer_waits_for_the_first_message_only(bus, sub):
    def late():
        wait_until(lambda: borrowed(sub))
        time.sleep(0.05)
        bus.publish(TOPIC, msg(7))

    t = threading.Thread(target=late, daemon=True)
    t.start()
    buf = bytearray(64)
    assert sub.recv_into_buffer(buf, SIZE, 10) == 1
    assert bytes(buf[:SIZE]) == msg(7)
    t.join(5)


@pytest.mark.parametrize("style", ["recv_into_buffer", "try_recv_into"])
def test_replayed_records_fill_slots_in_cursor_order_then_the_ring(make_bus, style):
    bus = make_bus(capacity=8, wal_enabled=True)
    publish(bus, *[msg(i) for i in range(20)])
    wait_until(lambda: bus.stats(TOPIC).wal.durable_cursor >= 20)
    sub = bus.subscribe_from(TOPIC, 3, timeout_secs=5)
    publish(bus, *[msg(i) for i in range(20, 23)])
    got = []
    end = time.monotonic() + 10
    while len(got) < 20 and time.monotonic() < end:
        if style == "recv_into_buffer":
            buf = bytearray(5 * SIZE)
            k = sub.recv_into_buffer(buf, SIZE, 1.0)
            got += [bytes(buf[i * SIZE:(i + 1) * SIZE]) for i in range(k)]
        else:
            buf = bytearray(SIZE)
            n = sub.try_recv_into(buf)
            if n is not None:
                got.append(bytes(buf[:n]))
    assert got == [msg(i) for i in range(3, 23)]


def test_replayed_record_longer_than_the_buffer_is_consumed(make_bus):
    bus = make_bus(capacity=8, wal_enabled=True)
    publish(bus, *[msg(i, 4 + i) for i in range(12)])
    wait_until(lambda: bus.stats(TOPIC).wal.durable_cursor >= 12)
    sub = bus.subscribe_from(TOPIC, 0, timeout_secs=5)
    buf = bytearray(4)
    assert sub.try_recv_into(buf) == 4
    with pytest.raises(MessageTooLargeError, match=r"^message is 5 bytes; slot_size is 4 bytes$"):
        sub.try_recv_into(buf)
    assert sub.recv() == msg(2, 6)
