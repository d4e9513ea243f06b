"""The module itself: registration, exception types and error mapping, the
generic binding layer (argument matching, conversions, timeouts, borrowing,
class facts, internal failures), subinterpreters and init_logging."""

import errno
import pathlib
import sys
import threading
import time
import types
import weakref

import pytest

import qorva
import qorva._qorva as m
from conftest import run_python

CLASSES = ["_RustBus", "TopicPublisher", "Subscription", "TopicStats", "WalStats"]
EXCEPTIONS = [
    "BusFullError",
    "MessageTooLargeError",
    "ConnectTimeoutError",
    "TooManySubscribersError",
    "AlreadyPublishingError",
    "CursorTooOldError",
    "WalError",
]
ALL = CLASSES + ["init_logging"] + EXCEPTIONS

MAX_DURATION = (2**63 - 1, 999_999_999)


def raised(call, *args, **kwargs):
    """The exception a call raises (the test fails if it raises none)."""
    try:
        call(*args, **kwargs)
    except BaseException as e:  # noqa: BLE001 - PanicException is a BaseException
        return e
    pytest.fail(f"{call} raised nothing")


# ---------------------------------------------------------------------------
# Registration


def test_all_lists_the_registered_names_in_order():
    assert m.__all__ == [name for name in ALL if hasattr(m, name)]
    assert m.__all__[-8:] == ["init_logging"] + EXCEPTIONS
    for name in m.__all__:
        assert hasattr(m, name)


def test_all_holds_the_thirteen_names_once_every_class_is_built():
    if not hasattr(m, "_RustBus"):
        pytest.skip("the classes are not part of this build yet")
    assert m.__all__ == ALL


def test_package_reexports_exactly_the_module_names():
    assert qorva.__all__ == m.__all__
    for name in m.__all__:
        assert getattr(qorva, name) is getattr(m, name)


def test_module_facts():
    assert m.__name__ == "qorva._qorva"
    assert m.__doc__ == ""
    assert isinstance(m.init_logging, types.BuiltinFunctionType)
    assert m.init_logging.__module__ == "qorva._qorva"
    assert m.init_logging.__name__ == "init_logging"
    assert m.init_logging.__text_signature__ == "(level=None)"
    assert "RUST_LOG" in m.init_logging.__doc__


def test_test_hooks_stay_out_of_all_and_are_absent_without_the_variable():
    assert not [name for name in m.__all__ if name.startswith("_test") or name == "_Probe"]
    out = run_python(
        """
        import qorva._qorva as m
        print(sorted(n for n in dir(m) if n.startswith("_test") or n == "_Probe"))
        """,
        hooks=False,
    )
    assert out.strip() == "[]"


def test_a_second_import_gives_the_same_module_and_types():
    out = run_python(
        """
        import importlib, sys
        import qorva._qorva as first
        types_before = [getattr(first, n) for n in first.__all__]
        del sys.modules["qorva._qorva"]
        second = importlib.import_module("qorva._qorva")
        print(second is first, [getattr(second, n) for n in second.__all__] == types_before,
              all(a is b for a, b in zip(types_before, (getattr(second, n) for n in second.__all__))),
              second.__all__ == first.__all__, len(second.__all__) == len(set(second.__all__)))
        importlib.reload(second)
        print(second.__all__ == first.__all__)
        """
    )
    assert out.split() == ["True"] * 6


# ---------------------------------------------------------------------------
# Exception types

EXCEPTION_BASES = [(name, OSError if name == "WalError" else Exception) for name in EXCEPTIONS]


@pytest.mark.parametrize("name, base", EXCEPTION_BASES)
def test_exception_type_facts(name, base):
    t = getattr(m, name)
    assert f"{t.__module__}.{t.__qualname__}" == f"qorva.{name}"
    assert t.__name__ == name
    assert t.__bases__ == (base,)
    assert t.__doc__ is None
    assert repr(t) == f"<class 'qorva.{name}'>"
    assert issubclass(t, Exception)
    assert issubclass(t, OSError) == (name == "WalError")

    class Sub(t):  # ordinary exception classes: subclassable and catchable
        pass

    with pytest.raises(t):
        raise Sub("x")


def test_panic_exception_derives_from_base_exception_and_carries_the_text():
    e = raised(m._test_panic, "broken invariant: slot 3")
    t = type(e)
    assert f"{t.__module__}.{t.__qualname__}" == "qorva.PanicException"
    assert t.__bases__ == (BaseException,)
    assert not isinstance(e, Exception)
    assert e.args == ("broken invariant: slot 3",)
    assert "PanicException" not in m.__all__


def test_a_cpp_allocation_failure_becomes_panic_exception():
    e = raised(m._test_bad_alloc)
    assert type(e).__name__ == "PanicException"
    assert e.args == ("std::bad_alloc",)


def test_panic_exception_is_one_type():
    assert type(raised(m._test_panic, "a")) is type(raised(m._test_bad_alloc))


# ---------------------------------------------------------------------------
# The error mapping

# (core error case, (a, b, text), exception type name or None for the built-in OSError, message)
MAPPING = [
    ("io_os", (errno.ENOENT, 0, ""), None, "No such file or directory (os error 2)"),
    ("io_os", (errno.ECONNRESET, 0, ""), None, "Connection reset by peer (os error 104)"),
    ("io_disconnected", (0, 0, ""), None, "publisher disconnected"),
    ("io_restarted", (0, 0, ""), None, "publisher restarted (generation changed)"),
    ("io_scm_rights", (0, 0, ""), None, "expected SCM_RIGHTS"),
    ("io_nul_path", (0, 0, ""), None, "file name contained an unexpected NUL byte"),
    ("bus_full", (0, 0, ""), "BusFullError", "ring buffer full"),
    ("message_too_large", (65537, 65536, ""), "MessageTooLargeError", "message is 65537 bytes; slot_size is 65536 bytes"),
    ("message_too_large", (300, 100, ""), "MessageTooLargeError", "message is 300 bytes; slot_size is 100 bytes"),
    ("message_too_large", (2**64 - 1, 0, ""), "MessageTooLargeError",
     "message is 18446744073709551615 bytes; slot_size is 0 bytes"),
    ("connect_timeout", (0, 0, "events"), "ConnectTimeoutError", "timed out waiting for 'events'"),
    ("connect_timeout", (0, 0, "it's \"odd\"\n"), "ConnectTimeoutError", "timed out waiting for 'it's \"odd\"\n'"),
    ("connect_timeout", (0, 0, "waiting for subscribers"), "ConnectTimeoutError",
     "timed out waiting for 'waiting for subscribers'"),
    ("too_many_subscribers", (16, 0, ""), "TooManySubscribersError", "subscriber limit for this topic is 16"),
    ("too_many_subscribers", (0, 0, ""), "TooManySubscribersError", "subscriber limit for this topic is 0"),
    ("already_publishing", (0, 0, "events"), "AlreadyPublishingError",
     "a publisher is already active for topic 'events'"),
    ("already_publishing", (0, 0, "Grüße 'x'"), "AlreadyPublishingError",
     "a publisher is already active for topic 'Grüße 'x''"),
    ("cursor_too_old", (3, 100, ""), "CursorTooOldError", "cursor 3 is older than the oldest in-ring slot (100)"),
    ("wal_cursor_too_old", (3, 10, ""), "CursorTooOldError", "cursor 3 is older than the oldest WAL slot (10)"),
    ("wal_flusher_died", (0, 0, ""), "WalError",
     "WAL flusher thread died; further appends would silently lose durability"),
    ("wal_io", (errno.ENOSPC, 0, ""), "WalError", "I/O error: No space left on device (os error 28)"),
    ("wal_writer_io", (errno.EIO, 0, ""), "WalError", "segment writer: I/O error: Input/output error (os error 5)"),
    ("wal_writer_nonmonotonic", (5, 6, ""), "WalError",
     "segment writer: cursor must be monotonic: tried to append 5 after pending_cursor was 6"),
    ("wal_reader_truncated", (0, 0, ""), "WalError",
     "segment reader: segment header: segment header truncated: 0 bytes < 32"),
    ("wal_reader_short_read", (64, 7, ""), "WalError", "segment reader: short read at offset 64: needed 7 more bytes"),
    ("wal_payload_too_large", (16777189, 0, ""), "WalError",
     "payload too large: 16777189 > MAX_PAYLOAD_LEN (16777188)"),
]


@pytest.mark.parametrize("case, params, type_name, message", MAPPING)
def test_core_errors_map_to_their_exception_and_message(case, params, type_name, message):
    a, b, text = params
    e = raised(m._test_raise_core_error, case, a, b, text)
    expected = OSError if type_name is None else getattr(m, type_name)
    assert type(e) is expected
    assert e.args == (message,)
    assert str(e) == message
    if isinstance(e, OSError):
        # One argument: no errno, and never narrowed to FileNotFoundError, ConnectionResetError, ...
        assert (e.errno, e.strerror, e.filename) == (None, None, None)
        assert not isinstance(e, ConnectionError)


def test_raising_twice_gives_distinct_equal_exceptions():
    first = raised(m._test_raise_core_error, "bus_full")
    second = raised(m._test_raise_core_error, "bus_full")
    assert first is not second
    assert type(first) is type(second) and first.args == second.args


def test_bus_full_is_not_an_os_error_but_wal_error_is():
    with pytest.raises(Exception) as bus_full:
        m._test_raise_core_error("bus_full")
    assert not isinstance(bus_full.value, OSError)
    with pytest.raises(OSError):
        m._test_raise_core_error("wal_flusher_died")


# ---------------------------------------------------------------------------
# Argument matching

A = m._test_args  # (a, b, c, d=None, e=None, *, k, kw=None) when the hooks are on

WRONG_CALLS = [
    (A, (), {}, "_test_args() missing 3 required positional arguments: 'a', 'b', and 'c'"),
    (A, (1,), {}, "_test_args() missing 2 required positional arguments: 'b' and 'c'"),
    (A, (1, 2), {"k": 0}, "_test_args() missing 1 required positional argument: 'c'"),
    (A, (1,), {"c": 3, "k": 0}, "_test_args() missing 1 required positional argument: 'b'"),
    (A, (1, 2, 3), {}, "_test_args() missing 1 required keyword-only argument: 'k'"),
    (A, (1, 2, 3, 4, 5, 6), {"k": 0}, "_test_args() takes from 3 to 5 positional arguments but 6 were given"),
    (A, (1, 2, 3), {"k": 0, "z": 1}, "_test_args() got an unexpected keyword argument 'z'"),
    (A, (1, 2, 3), {"k": 0, "a": 1}, "_test_args() got multiple values for argument 'a'"),
    (A, (1, 2, 3, 4), {"d": 4, "k": 0}, "_test_args() got multiple values for argument 'd'"),
    # Surplus positionals are found first, then keywords in call order, then what is missing.
    (A, (1, 2, 3, 4, 5, 6), {"z": 1}, "_test_args() takes from 3 to 5 positional arguments but 6 were given"),
    (A, (), {"z": 1}, "_test_args() got an unexpected keyword argument 'z'"),
    (A, (1,), {"zz": 1, "a": 2}, "_test_args() got an unexpected keyword argument 'zz'"),
    (m._test_exact_args, (1, 2), {}, "_test_exact_args() takes 1 positional arguments but 2 were given"),
    (m._test_exact_args, (), {}, "_test_exact_args() missing 1 required positional argument: 'a'"),
    (m._test_keyword_only, (1,), {}, "_test_keyword_only() takes 0 positional arguments but 1 was given"),
    (m.init_logging, (None, None), {}, "init_logging() takes from 0 to 1 positional arguments but 2 were given"),
    (m.init_logging, (), {"lvl": "x"}, "init_logging() got an unexpected keyword argument 'lvl'"),
    (m.init_logging, (None,), {"level": None}, "init_logging() got multiple values for argument 'level'"),
    (m.init_logging, (5,), {}, "argument 'level': 'int' object cannot be converted to 'PyString'"),
    (m.init_logging, (b"info",), {}, "argument 'level': 'bytes' object cannot be converted to 'PyString'"),
    (m._Probe, ("a", "b"), {}, "_Probe.__new__() takes 1 positional arguments but 2 were given"),
    (m._Probe, (), {}, "_Probe.__new__() missing 1 required positional argument: 'label'"),
    (m._Probe, ("a",), {"k": 1}, "_Probe.__new__() got an unexpected keyword argument 'k'"),
    (m._Probe, ("a",), {"label": "b"}, "_Probe.__new__() got multiple values for argument 'label'"),
    (m._Probe, ("a",), {"flag": 1}, "argument 'flag': 'int' object cannot be converted to 'PyBool'"),
]


@pytest.mark.parametrize("call, args, kwargs, message", WRONG_CALLS)
def test_wrong_calls_raise_type_error_with_the_exact_text(call, args, kwargs, message):
    e = raised(call, *args, **kwargs)
    assert type(e) is TypeError
    assert str(e) == message


RIGHT_CALLS = [
    ((1, 2, 3), {"k": 4}, {"a": 1, "b": 2, "c": 3, "k": 4}),
    ((1, 2, 3, 4, 5), {"k": 6, "kw": 7}, {"a": 1, "b": 2, "c": 3, "d": 4, "e": 5, "k": 6, "kw": 7}),
    ((), {"c": 3, "b": 2, "a": 1, "k": 0}, {"a": 1, "b": 2, "c": 3, "k": 0}),
    ((1, 2), {"c": None, "e": 5, "k": 0}, {"a": 1, "b": 2, "c": None, "e": 5, "k": 0}),
]


@pytest.mark.parametrize("args, kwargs, given", RIGHT_CALLS)
def test_arguments_reach_their_parameters(args, kwargs, given):
    assert m._test_args(*args, **kwargs) == given


def test_init_logging_refuses_a_lone_surrogate_with_the_encoding_error():
    with pytest.raises(UnicodeEncodeError):
        m.init_logging("\ud800")


def test_a_replaced_conversion_error_keeps_the_original_as_its_cause():
    e = raised(m.init_logging, 5)
    assert type(e.__cause__) is TypeError
    assert str(e.__cause__) == "'int' object cannot be converted to 'PyString'"


# ---------------------------------------------------------------------------
# Conversions


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class FloatLike:
    def __float__(self):
        return 0.25


class BadFloat:
    def __float__(self):
        raise ValueError("no float today")


class StrSub(str):
    pass


class BytesSub(bytes):
    pass


class LenFails:
    """A sequence whose length cannot be asked but which iterates."""

    def __len__(self):
        raise RuntimeError("no length")

    def __getitem__(self, i):
        if i >= 2:
            raise IndexError(i)
        return b"%d" % i


class IterFails:
    def __len__(self):
        return 1

    def __getitem__(self, i):
        raise RuntimeError("iteration broke")


def cannot(type_name, target):
    return f"argument 'value': '{type_name}' object cannot be converted to '{target}'"


OK_CONVERSIONS = [
    ("str", "héllo", "héllo"),
    ("str", StrSub("sub"), "sub"),
    ("str", "", ""),
    ("bytes", b"a\0b", b"a\0b"),
    ("bytes", BytesSub(b"sub"), b"sub"),
    ("bool", True, True),
    ("bool", False, False),
    ("u32", 0, 0),
    ("u32", 2**32 - 1, 2**32 - 1),
    ("u32", True, 1),
    ("u32", Index(7), 7),
    ("u64", 2**64 - 1, 2**64 - 1),
    ("u64", False, 0),
    ("u64", Index(5), 5),
    ("seconds", 1.5, 1.5),
    ("seconds", 2, 2.0),
    ("seconds", True, 1.0),
    ("seconds", FloatLike(), 0.25),
    ("seconds", Index(3), 3.0),
    ("payloads", [b"a", b"bc"], [b"a", b"bc"]),
    ("payloads", (b"x", BytesSub(b"y")), [b"x", b"y"]),
    ("payloads", [], []),
    ("payloads", LenFails(), [b"0", b"1"]),
]


@pytest.mark.parametrize("kind, value, expected", OK_CONVERSIONS)
def test_conversions_accept(kind, value, expected):
    result = m._test_convert(kind, value)
    assert result == expected and type(result) is type(expected)


BAD_CONVERSIONS = [
    ("str", 5, TypeError, cannot("int", "PyString")),
    ("str", b"x", TypeError, cannot("bytes", "PyString")),
    ("str", pathlib.PurePosixPath("/tmp"), TypeError, cannot("PurePosixPath", "PyString")),
    ("str", "\ud800", UnicodeEncodeError, None),
    ("bytes", bytearray(b"x"), TypeError, cannot("bytearray", "PyBytes")),
    ("bytes", memoryview(b"x"), TypeError, cannot("memoryview", "PyBytes")),
    ("bytes", "x", TypeError, cannot("str", "PyBytes")),
    ("bool", 1, TypeError, cannot("int", "PyBool")),
    ("bool", None, TypeError, cannot("NoneType", "PyBool")),
    ("u32", -1, OverflowError, "out of range integral type conversion attempted"),
    ("u32", 2**32, OverflowError, "out of range integral type conversion attempted"),
    ("u32", 2**63, OverflowError, None),  # the interpreter's own text, no argument prefix
    ("u32", 1.0, TypeError, "argument 'value': 'float' object cannot be interpreted as an integer"),
    ("u32", "1", TypeError, None),
    ("u64", -1, OverflowError, None),
    ("u64", 2**64, OverflowError, None),
    ("u64", 1.5, TypeError, "argument 'value': 'float' object cannot be interpreted as an integer"),
    ("seconds", None, TypeError, "argument 'value': must be real number, not NoneType"),
    ("seconds", "1", TypeError, "argument 'value': must be real number, not str"),
    ("seconds", BadFloat(), ValueError, "no float today"),
    ("payloads", "ab", TypeError, "argument 'value': Can't extract `str` to `Vec`"),
    ("payloads", StrSub("ab"), TypeError, "argument 'value': Can't extract `str` to `Vec`"),
    ("payloads", b"ab", TypeError, cannot("int", "PyBytes")),
    ("payloads", (x for x in [b"a"]), TypeError, cannot("generator", "Sequence")),
    ("payloads", {b"a"}, TypeError, cannot("set", "Sequence")),
    ("payloads", {b"a": 1}, TypeError, cannot("dict", "Sequence")),
    ("payloads", [b"a", 1], TypeError, cannot("int", "PyBytes")),
    ("payloads", [bytearray(b"a")], TypeError, cannot("bytearray", "PyBytes")),
    ("payloads", IterFails(), RuntimeError, "iteration broke"),
]


@pytest.mark.parametrize("kind, value, error, message", BAD_CONVERSIONS)
def test_conversions_refuse(kind, value, error, message):
    e = raised(m._test_convert, kind, value)
    assert type(e) is error
    if message is not None:
        assert str(e) == message
    if error is TypeError:
        assert str(e).startswith("argument 'value': ")
    else:
        assert not str(e).startswith("argument ")


def test_numpy_bool_converts_through_its_truth_value():
    numpy = pytest.importorskip("numpy")
    assert m._test_convert("bool", numpy.bool_(True)) is True
    assert m._test_convert("bool", numpy.bool_(False)) is False
    assert str(raised(m._test_convert, "bool", numpy.int64(1))) == cannot("int64", "PyBool")


TIMEOUTS = [
    (0, (0, 0)),
    (-0.0, (0, 0)),
    (1, (1, 0)),
    (1.5, (1, 500_000_000)),
    (0.1, (0, 100_000_000)),
    (1e-9, (0, 1)),
    (4e-10, (0, 0)),
    (6e-10, (0, 1)),
    (1 / 1024, (0, 976_562)),  # 976562.5 ns: the tie goes to the even count
    (3 / 1024, (0, 2_929_688)),  # 2929687.5 ns
    (2.0**62, (2**62, 0)),
    (2.0**63, MAX_DURATION),  # beyond the farthest deadline: clamped
    (2.0**64, MAX_DURATION),
    (1e300, MAX_DURATION),
    (float("inf"), MAX_DURATION),
]


@pytest.mark.parametrize("secs, duration", TIMEOUTS)
def test_timeouts_become_durations(secs, duration):
    assert m._test_convert("timeout", secs) == duration


@pytest.mark.parametrize("secs", [-1, -1e-300, float("-inf"), float("nan")])
def test_negative_and_nan_timeouts_are_value_errors(secs):
    e = raised(m._test_convert, "timeout", secs)
    assert type(e) is ValueError
    assert str(e) == "timeout_secs must be a non-negative number"


# ---------------------------------------------------------------------------
# Class facts (through the probe class, which is built like every class)


def test_class_facts():
    P = m._Probe
    assert P.__module__ == "qorva._qorva"
    assert (P.__name__, P.__qualname__) == ("_Probe", "_Probe")
    assert P.__bases__ == (object,)
    assert P.__text_signature__ == "(label, *, flag=None)"
    assert P.__doc__ == "A test probe of the binding layer."
    assert P.hold_exclusive.__text_signature__ == "($self, secs=0.0)"
    handle_type = type(P("x").handle())
    assert handle_type.__module__ == "qorva._qorva"
    assert handle_type.__text_signature__ is None
    assert handle_type.__doc__ == "A probe's handle."


@pytest.mark.parametrize("make", [lambda: m._Probe("x"), lambda: m._Probe("x").handle()])
def test_objects_have_no_dict_no_weakref_and_no_subclass(make):
    obj = make()
    with pytest.raises(AttributeError):
        obj.__dict__
    with pytest.raises(AttributeError):
        obj.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(obj)
    with pytest.raises(TypeError):
        type("Sub", (type(obj),), {})


def test_a_class_without_constructor_says_so():
    handle_type = type(m._Probe("x").handle())
    e = raised(handle_type)
    assert type(e) is TypeError and str(e) == "No constructor defined for _ProbeHandle"
    assert str(raised(handle_type, 1, k=2)) == "No constructor defined for _ProbeHandle"


def test_constructor_matches_positional_and_keyword_arguments():
    assert m._Probe("a").hold_shared() == "a"
    assert m._Probe(label="b", flag=None).hold_shared() == "b"
    assert m._Probe("c", flag=True).hold_exclusive(0) == "c"


def test_objects_are_torn_down_when_the_last_reference_goes():
    before = m._test_live_probes()
    probe = m._Probe("x")
    handle = probe.handle()
    assert m._test_live_probes() == before + 2
    del probe
    assert m._test_live_probes() == before + 1
    del handle
    assert m._test_live_probes() == before


def test_no_argument_methods_refuse_arguments():
    with pytest.raises(TypeError):
        m._Probe("x").check(1)


# ---------------------------------------------------------------------------
# Borrowing


def hold_in_thread(probe, mode, secs, held):
    """Starts a thread that keeps the probe borrowed (lock released) and waits until it holds."""
    thread = threading.Thread(target=getattr(probe, f"hold_{mode}"), args=(secs,))
    thread.start()
    deadline = time.monotonic() + 5
    while not held(probe):
        assert time.monotonic() < deadline, "the borrow never showed"
        time.sleep(0.001)
    return thread


def exclusively_held(probe):
    try:
        probe.check()
        return False
    except RuntimeError:
        return True


def shared_held(probe):
    try:
        probe.hold_exclusive(0)
        return False
    except RuntimeError:
        return True


# (mode held by another thread, the call tried meanwhile, expected RuntimeError text or None for success)
BORROW_CONFLICTS = [
    ("exclusive", "hold_exclusive", "Already borrowed"),
    ("exclusive", "hold_shared", "Already mutably borrowed"),
    ("exclusive", "check", "Already mutably borrowed"),
    ("shared", "hold_exclusive", "Already borrowed"),
    ("shared", "hold_shared", None),
    ("shared", "check", None),
]


@pytest.mark.parametrize("held, call, message", BORROW_CONFLICTS)
def test_borrow_conflicts_fail_at_once_while_another_thread_holds(held, call, message):
    probe = m._Probe("p")
    thread = hold_in_thread(probe, held, 0.8, exclusively_held if held == "exclusive" else shared_held)
    try:
        started = time.monotonic()
        if message is None:
            getattr(probe, call)()
        else:
            e = raised(getattr(probe, call))
            assert type(e) is RuntimeError and str(e) == message
        assert time.monotonic() - started < 0.3  # no waiting for the borrow
    finally:
        thread.join(10)
    assert not thread.is_alive()
    assert probe.hold_exclusive(0) == "p"  # free again


def test_the_borrow_is_taken_before_arguments_are_converted():
    probe = m._Probe("p")
    thread = hold_in_thread(probe, "exclusive", 0.8, exclusively_held)
    try:
        e = raised(probe.hold_shared, "not a number")
        assert type(e) is RuntimeError and str(e) == "Already mutably borrowed"
    finally:
        thread.join(10)


@pytest.mark.parametrize("bad", ["x", -1.0, None])
def test_the_borrow_is_given_back_after_a_failed_call(bad):
    probe = m._Probe("p")
    with pytest.raises((TypeError, ValueError)):
        probe.hold_exclusive(bad)
    assert probe.hold_exclusive(0) == "p"
    assert probe.check() is None


def test_other_objects_are_not_affected_by_a_borrow():
    busy, idle = m._Probe("busy"), m._Probe("idle")
    thread = hold_in_thread(busy, "exclusive", 0.8, exclusively_held)
    try:
        assert idle.hold_exclusive(0) == "idle"
    finally:
        thread.join(10)


def test_the_lock_is_released_while_a_call_holds_its_borrow():
    probe = m._Probe("p")
    ticks = []
    thread = threading.Thread(target=probe.hold_exclusive, args=(0.3,))
    thread.start()
    while thread.is_alive() and len(ticks) < 1000:
        ticks.append(1)  # runs only while the other thread has let the lock go
        time.sleep(0.001)
    thread.join(10)
    assert len(ticks) > 10


# ---------------------------------------------------------------------------
# References do not leak


def test_conversions_and_errors_leak_no_references():
    payload = b"payload" * 3
    value = object()
    refs = (sys.getrefcount(payload), sys.getrefcount(value))
    for _ in range(2000):
        m._test_convert("payloads", [payload, payload])
        m._test_convert("bytes", payload)
        with pytest.raises(TypeError):
            m._test_convert("str", value)
        with pytest.raises(TypeError):
            m._test_convert("payloads", [payload, value])
    assert (sys.getrefcount(payload), sys.getrefcount(value)) == refs


def test_repeated_calls_do_not_grow_the_heap():
    def calls():
        m._Probe("x").handle()
        for call in (lambda: m._test_raise_core_error("already_publishing", text="t"),
                     lambda: m._test_args(1, z=2),
                     lambda: m.init_logging(5),
                     lambda: m._test_panic("p")):
            try:
                call()
            except BaseException:  # noqa: BLE001
                pass

    for _ in range(200):
        calls()
    before = sys.getallocatedblocks()
    for _ in range(5000):
        calls()
    assert sys.getallocatedblocks() - before < 200


# ---------------------------------------------------------------------------
# One interpreter per process

SUBINTERPRETER_PRELUDE = """
    import sys
    try:
        import _xxsubinterpreters as interpreters
    except ImportError:
        import _interpreters as interpreters

    def import_in_new_interpreter(path):
        iid = interpreters.create()
        interpreters.run_string(iid, f'''
    try:
        import qorva._qorva
        result = "imported"
    except ImportError as e:
        result = "ImportError: " + str(e)
    with open({path!r}, "w") as f:
        f.write(result)
    ''')
        interpreters.destroy(iid)
        with open(path) as f:
            return f.read()
"""


def needs_subinterpreters():
    try:
        import _xxsubinterpreters  # noqa: F401
    except ImportError:
        pytest.importorskip("_interpreters")


def test_a_second_interpreter_cannot_import_the_module(tmp_path):
    needs_subinterpreters()
    out = run_python(
        SUBINTERPRETER_PRELUDE
        + f"""
    import qorva._qorva
    print(import_in_new_interpreter({str(tmp_path / "r")!r}))
    print(qorva._qorva.init_logging.__name__)
    """
    )
    sub, still_usable = out.strip().splitlines()
    assert sub.startswith("ImportError: ")
    if sys.version_info < (3, 12):
        assert "does not support subinterpreters" in sub
    assert still_usable == "init_logging"


def test_the_main_interpreter_is_refused_after_a_subinterpreter_imported_first(tmp_path):
    needs_subinterpreters()
    out = run_python(
        SUBINTERPRETER_PRELUDE
        + f"""
    print(import_in_new_interpreter({str(tmp_path / "r")!r}))
    try:
        import qorva._qorva
        print("imported")
    except ImportError as e:
        print("ImportError: " + str(e))
    """
    )
    sub, main = out.strip().splitlines()
    if sys.version_info < (3, 12):
        assert sub == "imported"
    assert main.startswith("ImportError: ") and "does not support subinterpreters" in main


# ---------------------------------------------------------------------------
# init_logging


@pytest.mark.parametrize("first", ["init_logging()", "init_logging(None)", "init_logging(level=None)",
                                   "init_logging('debug')", "init_logging(level='not a level')"])
def test_init_logging_installs_once_per_process(first):
    out = run_python(
        f"""
        from qorva._qorva import init_logging
        print({first}, init_logging(), init_logging(None), init_logging(level="trace"))
        """,
        env={"RUST_LOG": None},
    )
    assert out.split() == ["True", "False", "False", "False"]


def test_init_logging_argument_errors_install_nothing():
    out = run_python(
        """
        from qorva._qorva import init_logging
        for bad in ((5,), (None, None)):
            try:
                init_logging(*bad)
            except TypeError:
                pass
        print(init_logging())
        """
    )
    assert out.strip() == "True"
