"""The module itself: registration, exception types and error mapping, the
generic binding layer (argument matching, conversions, timeouts, class facts,
internal failures), subinterpreters and init_logging. Borrowing is tested with
each class, where the calls that hold a borrow while the lock is released are."""

import errno
import os
import pathlib
import sys
import types
import weakref

import pytest

import qorva
import qorva._qorva as m
import qorva._qorva_testing as hooks
from support import run_python

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
    assert m.init_logging.__self__ is m  # bound to the module, like a function of a C module
    assert m.init_logging.__name__ == "init_logging"
    assert m.init_logging.__text_signature__ == "(level=None)"
    assert "RUST_LOG" in m.init_logging.__doc__


def test_the_module_holds_its_api_alone_and_the_package_never_loads_the_test_hooks():
    assert [name for name in dir(m) if not name.startswith("__") and name not in m.__all__] == []
    assert hooks.__name__ == "qorva._qorva_testing"
    out = run_python(
        """
        import sys
        import qorva
        print(sorted(name for name in sys.modules if name.startswith("qorva")))
        """
    )
    assert out.strip() == "['qorva', 'qorva._qorva']"


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
    e = raised(hooks.panic, "broken invariant: slot 3")
    t = type(e)
    assert f"{t.__module__}.{t.__qualname__}" == "qorva.PanicException"
    assert t.__bases__ == (BaseException,)
    assert not isinstance(e, Exception)
    assert e.args == ("broken invariant: slot 3",)
    assert "PanicException" not in m.__all__


def test_a_cpp_allocation_failure_becomes_panic_exception():
    e = raised(hooks.bad_alloc)
    assert type(e).__name__ == "PanicException"
    assert e.args == ("std::bad_alloc",)


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer reserves more address space than the limit allows")
def test_a_thread_that_cannot_start_is_a_panic_exception_not_an_abort():
    # With the address space capped just above what the process uses, the
    # stack of the new publisher's log flusher cannot be mapped.
    out = run_python(
        """
        import resource, tempfile
        from qorva._qorva import _RustBus
        import qorva._qorva_testing as hooks
        bus = _RustBus("b", base_dir=tempfile.mkdtemp(), capacity=4, slot_size=64)
        bus.publish("warm", b"x")

        def address_space():
            with open("/proc/self/status") as f:
                return next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmSize"))

        stack, _ = resource.getrlimit(resource.RLIMIT_STACK)  # a new thread's stack size
        if stack != resource.RLIM_INFINITY and stack < (8 << 20):
            raise SystemExit(print("small stacks"))
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        cap = address_space() + (4 << 20)
        resource.setrlimit(resource.RLIMIT_AS, (cap, hard))
        try:
            bus.publish("t", b"x")
            print("published")
        except BaseException as e:
            print(type(e).__name__, isinstance(e, Exception), e.args)
            panic_type = type(e)
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        bus.publish("t", b"x")  # the borrow was given back; nothing was cached
        print(bus.stats("t").published_total)
        try:
            hooks.panic("the test module's")
        except BaseException as e:
            print(type(e) is panic_type)  # one class for both modules
        """,
    )
    if out.strip() == "small stacks":
        pytest.skip("thread stacks are smaller than the headroom left")
    assert out.splitlines() == ["PanicException False ('failed to spawn thread',)", "1", "True"]


def test_panic_exception_is_one_type():
    assert type(raised(hooks.panic, "a")) is type(raised(hooks.bad_alloc))


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
    ("wal_records_missing", (50, 100, ""), "WalError", "I/O error: log record 100 found where 50 was expected"),
]


@pytest.mark.parametrize("case, params, type_name, message", MAPPING)
def test_core_errors_map_to_their_exception_and_message(case, params, type_name, message):
    a, b, text = params
    e = raised(hooks.raise_core_error, case, a, b, text)
    expected = OSError if type_name is None else getattr(m, type_name)
    assert type(e) is expected
    assert e.args == (message,)
    assert str(e) == message
    if isinstance(e, OSError):
        # One argument: no errno, and never narrowed to FileNotFoundError, ConnectionResetError, ...
        assert (e.errno, e.strerror, e.filename) == (None, None, None)
        assert not isinstance(e, ConnectionError)


def test_raising_twice_gives_distinct_equal_exceptions():
    first = raised(hooks.raise_core_error, "bus_full")
    second = raised(hooks.raise_core_error, "bus_full")
    assert first is not second
    assert type(first) is type(second) and first.args == second.args


def test_bus_full_is_not_an_os_error_but_wal_error_is():
    with pytest.raises(Exception) as bus_full:
        hooks.raise_core_error("bus_full")
    assert not isinstance(bus_full.value, OSError)
    with pytest.raises(OSError):
        hooks.raise_core_error("wal_flusher_died")


# ---------------------------------------------------------------------------
# Argument matching (the generic rules, through the public callables; each
# class's own tests hold the table of its methods)

WRONG_CALLS = [
    # Surplus positionals are found first, then keywords in call order, then what is missing.
    ("wait_for_subscribers", ("t", 1, 1.0, 1), {"z": 1},
     "_RustBus.wait_for_subscribers() takes from 1 to 3 positional arguments but 4 were given"),
    ("wait_for_subscribers", (), {"z": 1}, "_RustBus.wait_for_subscribers() got an unexpected keyword argument 'z'"),
    ("publish", (), {"zz": 1, "topic": "t"}, "_RustBus.publish() got an unexpected keyword argument 'zz'"),
    ("publish", ("t",), {"topic": "u", "zz": 1}, "_RustBus.publish() got multiple values for argument 'topic'"),
    ("wait_for_subscribers", ("t", 1), {"n": 1}, "_RustBus.wait_for_subscribers() got multiple values for argument 'n'"),
    ("publish", (), {"data": b"x"}, "_RustBus.publish() missing 1 required positional argument: 'topic'"),
    ("subscribe_with_history", (), {"timeout_secs": 1.0},
     "_RustBus.subscribe_with_history() missing 2 required positional arguments: 'topic' and 'n_messages_back'"),
    ("subscribe_from", (), {"topic": "t"}, "_RustBus.subscribe_from() missing 1 required positional argument: 'cursor'"),
    # The conversion of an argument comes after matching all of them.
    ("publish", (5,), {"zz": 1}, "_RustBus.publish() got an unexpected keyword argument 'zz'"),
]


@pytest.mark.parametrize("method, args, kwargs, message", WRONG_CALLS)
def test_wrong_calls_raise_type_error_with_the_exact_text(make_bus, method, args, kwargs, message):
    e = raised(getattr(make_bus(), method), *args, **kwargs)
    assert type(e) is TypeError
    assert str(e) == message


CONSTRUCTOR_CALLS = [
    ((), {"base_dir": "x"}, "_RustBus.__new__() missing 1 required positional argument: 'name'"),
    (("b", "c"), {"k": 1}, "_RustBus.__new__() takes 1 positional arguments but 2 were given"),
    (("b",), {"zz": 1, "name": "c"}, "_RustBus.__new__() got an unexpected keyword argument 'zz'"),
    (("b",), {"name": "c", "zz": 1}, "_RustBus.__new__() got multiple values for argument 'name'"),
    ((), {"capacity": 1.0}, "_RustBus.__new__() missing 1 required positional argument: 'name'"),
]


@pytest.mark.parametrize("args, kwargs, message", CONSTRUCTOR_CALLS)
def test_the_constructor_matches_a_tuple_and_a_dict_alike(args, kwargs, message):
    e = raised(m._RustBus, *args, **kwargs)
    assert type(e) is TypeError
    assert str(e) == message


INIT_LOGGING_CALLS = [
    ((None, None), {}, "init_logging() takes from 0 to 1 positional arguments but 2 were given"),
    ((), {"lvl": "x"}, "init_logging() got an unexpected keyword argument 'lvl'"),
    ((None,), {"level": None}, "init_logging() got multiple values for argument 'level'"),
    ((5,), {}, "argument 'level': 'int' object cannot be converted to 'PyString'"),
    ((b"info",), {}, "argument 'level': 'bytes' object cannot be converted to 'PyString'"),
]


@pytest.mark.parametrize("args, kwargs, message", INIT_LOGGING_CALLS)
def test_init_logging_argument_errors(args, kwargs, message):
    e = raised(m.init_logging, *args, **kwargs)
    assert type(e) is TypeError
    assert str(e) == message


def test_keywords_reach_their_parameters_in_any_order(make_bus):
    bus = make_bus()
    assert bus.wait_for_subscribers(timeout_secs=0.0, n=0, topic="t") is None
    sub = bus.subscribe_with_history(timeout_secs=5, n_messages_back=0, topic="t")
    assert bus.slow_subscribers(threshold=0, topic="t") == [(0, 0)]
    bus.publish(data=b"kw", topic="t")
    assert sub.recv_timeout(5.0) == b"kw"


def test_no_argument_methods_refuse_arguments(make_bus):
    handle = make_bus().topic("t")
    for call in (lambda: handle.stats(1), lambda: handle.__enter__(None)):
        assert type(raised(call)) is TypeError


def test_init_logging_refuses_a_lone_surrogate_with_the_encoding_error():
    with pytest.raises(UnicodeEncodeError):
        m.init_logging("\ud800")


def test_a_replaced_conversion_error_keeps_the_original_as_its_cause():
    e = raised(m.init_logging, 5)
    assert type(e.__cause__) is TypeError
    assert str(e.__cause__) == "'int' object cannot be converted to 'PyString'"


# ---------------------------------------------------------------------------
# Conversions (text, count, seconds, payload list), through the public calls
# that use them; the constructor's integers and bools are in test_bus.


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


class Outer:
    class Inner:
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


def as_text(bus, value):
    return bus.stats(value)


def as_count(bus, value):
    return bus.slow_subscribers("t", value)


def as_seconds(bus, value):
    return bus.wait_for_subscribers("t", 0, value)


def as_payloads(bus, value):
    return bus.publish_many("t", value)


OK_CONVERSIONS = [
    (as_text, "héllo", None),
    (as_text, StrSub("sub"), None),
    (as_count, 0, []),
    (as_count, 2**64 - 1, []),
    (as_count, False, []),
    (as_count, Index(5), []),
    (as_seconds, 1.5e-3, None),
    (as_seconds, 0, None),
    (as_seconds, True, None),
    (as_seconds, FloatLike(), None),
    (as_seconds, Index(0), None),
    (as_payloads, [b"a", b"bc"], 2),
    (as_payloads, (b"x", BytesSub(b"y")), 2),
    (as_payloads, [], 0),
    (as_payloads, LenFails(), 2),
]


@pytest.mark.parametrize("convert, value, expected", OK_CONVERSIONS)
def test_conversions_accept(make_bus, convert, value, expected):
    assert convert(make_bus(), value) == expected


def cannot(param, type_name, target):
    return f"argument '{param}': '{type_name}' object cannot be converted to '{target}'"


BAD_CONVERSIONS = [
    (as_text, 5, TypeError, cannot("topic", "int", "PyString")),
    (as_text, b"x", TypeError, cannot("topic", "bytes", "PyString")),
    (as_text, pathlib.PurePosixPath("/tmp"), TypeError, cannot("topic", "PurePosixPath", "PyString")),
    # The type's qualified name, not only its last part.
    (as_text, Outer.Inner(), TypeError, cannot("topic", "Outer.Inner", "PyString")),
    (as_text, "\ud800", UnicodeEncodeError, None),
    (as_count, -1, OverflowError, None),  # the interpreter's own text, no argument prefix
    (as_count, 2**64, OverflowError, None),
    (as_count, 1.5, TypeError, "argument 'threshold': 'float' object cannot be interpreted as an integer"),
    (as_count, "1", TypeError, "argument 'threshold': 'str' object cannot be interpreted as an integer"),
    (as_seconds, None, TypeError, "argument 'timeout_secs': must be real number, not NoneType"),
    (as_seconds, "1", TypeError, "argument 'timeout_secs': must be real number, not str"),
    (as_seconds, BadFloat(), ValueError, "no float today"),
    (as_payloads, "ab", TypeError, "argument 'payloads': Can't extract `str` to `Vec`"),
    (as_payloads, StrSub("ab"), TypeError, "argument 'payloads': Can't extract `str` to `Vec`"),
    (as_payloads, b"ab", TypeError, cannot("payloads", "int", "PyBytes")),
    (as_payloads, (x for x in [b"a"]), TypeError, cannot("payloads", "generator", "Sequence")),
    (as_payloads, [b"a", Outer.Inner()], TypeError, cannot("payloads", "Outer.Inner", "PyBytes")),
    (as_payloads, IterFails(), RuntimeError, "iteration broke"),
]


@pytest.mark.parametrize("convert, value, error, message", BAD_CONVERSIONS)
def test_conversions_refuse(make_bus, base_dir, convert, value, error, message):
    e = raised(convert, make_bus(), value)
    assert type(e) is error
    if message is not None:
        assert str(e) == message
    if error is TypeError:
        assert str(e).startswith("argument ")
        assert type(e.__cause__) is TypeError
    else:
        assert not str(e).startswith("argument ")
    assert os.listdir(base_dir) == []  # refused before the core was called


# Seconds that round to no time at all still make one attempt; negative zero is zero.
@pytest.mark.parametrize("secs", [0, 0.0, -0.0, 4e-10, 1e-300])
def test_timeouts_that_round_to_zero_make_one_attempt(make_bus, secs):
    bus = make_bus()
    with pytest.raises(m.ConnectTimeoutError, match="^timed out waiting for 'waiting for subscribers'$"):
        bus.wait_for_subscribers("t", 1, secs)
    with pytest.raises(m.ConnectTimeoutError, match="^timed out waiting for 'u'$"):
        bus.subscribe("u", secs)


# ---------------------------------------------------------------------------
# Class facts, for all five classes


def instances(bus):
    """One object of each class, made the only way each can be made."""
    handle = bus.topic("t")
    stats = handle.stats()
    return {
        "_RustBus": bus,
        "TopicPublisher": handle,
        "Subscription": bus.subscribe("t", 5.0),
        "TopicStats": stats,
        "WalStats": stats.wal,
    }


@pytest.mark.parametrize("name", CLASSES)
def test_class_facts(make_bus, name):
    cls = getattr(m, name)
    assert cls.__module__ == "qorva._qorva"
    assert (cls.__name__, cls.__qualname__) == (name, name)
    assert cls.__bases__ == (object,)
    assert cls.__doc__
    if name == "_RustBus":
        assert cls.__text_signature__ is not None
    else:
        assert cls.__text_signature__ is None
        for args, kwargs in (((), {}), ((1,), {"k": 2})):
            e = raised(cls, *args, **kwargs)
            assert type(e) is TypeError and str(e) == f"No constructor defined for {name}"
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    with pytest.raises(TypeError):  # like a built-in type, the class cannot be patched
        cls.__repr__ = lambda self: "patched"
    obj = instances(make_bus(wal_enabled=True))[name]
    assert type(obj) is cls
    with pytest.raises(AttributeError):
        obj.__dict__
    with pytest.raises(AttributeError):
        obj.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(obj)


# ---------------------------------------------------------------------------
# References do not leak


def test_conversions_and_errors_leak_no_references(make_bus):
    bus = make_bus()
    payload = b"payload" * 3
    value = object()
    refs = (sys.getrefcount(payload), sys.getrefcount(value))
    for _ in range(2000):
        bus.publish_many("t", [payload, payload])
        bus.publish("t", payload)
        with pytest.raises(TypeError):
            bus.stats(value)
        with pytest.raises(TypeError):
            bus.publish_many("t", [payload, value])
        with pytest.raises(TypeError):
            bus.wait_for_subscribers("t", 0, value)
    assert (sys.getrefcount(payload), sys.getrefcount(value)) == refs


def test_repeated_calls_do_not_grow_the_heap(make_bus):
    bus = make_bus()

    def calls():
        bus.topic("t").stats()
        for call in (lambda: hooks.raise_core_error("already_publishing", text="t"),
                     lambda: bus.publish("t", b"x", zz=2),
                     lambda: bus.subscribe("t", -1.0),
                     lambda: m.init_logging(5),
                     lambda: hooks.panic("p")):
            try:
                call()
            except BaseException:  # noqa: BLE001
                pass

    for _ in range(200):
        calls()
    before = sys.getallocatedblocks()
    for _ in range(3000):
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

    def new_interpreter():
        # 3.12 and 3.13 make isolated interpreters by default, which refuse
        # every single-phase module before its entry point runs; a legacy one
        # calls it.
        for args, kwargs in ((("legacy",), {}), ((), {"isolated": False}), ((), {})):
            try:
                return interpreters.create(*args, **kwargs)
            except TypeError:
                pass

    def import_in_new_interpreter(path):
        iid = new_interpreter()
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
    assert sub.startswith("ImportError: ") and "does not support subinterpreters" in sub
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
    if sys.version_info >= (3, 13):
        # 3.13 runs a single-phase module's entry point in the main interpreter
        # before the subinterpreter's own call: the main one becomes the owner.
        assert sub.startswith("ImportError: ") and "does not support subinterpreters" in sub
        assert main == "imported"
        return
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
