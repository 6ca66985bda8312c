"""EfaError: construction, message composition and argument checks."""

from __future__ import annotations

import os

import pytest

import vantor._vantor as m

EfaError = m.EfaError


def test_class_shape():
    assert EfaError.__bases__ == (OSError,)
    assert EfaError.__module__ == "vantor._vantor"
    assert EfaError.__qualname__ == "EfaError"
    assert EfaError.__doc__ == (
        "Raised when a libibverbs/libefa call fails.\n\n"
        "    Subclasses :class:`OSError`, so ``.errno`` and ``.strerror`` are populated.\n"
        "    ``.operation`` names the call that failed.\n    "
    )
    assert EfaError.__init__.__doc__ == (
        "EfaError.__init__(self, str operation, int err, detail=None)"
    )
    assert EfaError.__init__.__annotations__ == {}
    own = {k for k in vars(EfaError) if k not in {"__module__", "__qualname__", "__doc__"}}
    assert own - {"__weakref__", "__dict__"} == {"__init__"}


def test_composed_message():
    e = EfaError("ibv_alloc_pd", 12)
    text = "ibv_alloc_pd failed: " + os.strerror(12)
    assert (e.errno, e.operation, e.strerror, e.args) == (12, "ibv_alloc_pd", text, (12, text))
    assert e.filename is None and e.filename2 is None
    assert str(e) == f"[Errno 12] {text}"
    assert isinstance(e, OSError)
    # OSError's errno-to-subclass mapping does not apply.
    assert type(EfaError("open", 2)) is EfaError


@pytest.mark.parametrize(
    "detail, expected",
    [("custom text", "custom text"), (42, "42"), (["x"], "['x']")],
)
def test_detail_replaces_message(detail, expected):
    e = EfaError("op", 5, detail)
    assert e.strerror == expected
    assert str(e) == f"[Errno 5] {expected}"


def test_none_operation():
    e = EfaError(None, 1)
    assert e.operation is None
    assert e.strerror == "None failed: " + os.strerror(1)


def test_keywords():
    e = EfaError(operation="x", err=3, detail="d")
    assert (e.operation, e.errno, e.strerror) == ("x", 3, "d")


@pytest.mark.parametrize(
    "args, kwargs, exc, message",
    [
        ((b"op", 1), {}, TypeError, "Argument 'operation' has incorrect type (expected str, got bytes)"),
        (("op", 2**31), {}, OverflowError, "value too large to convert to int"),
        (("op", -(2**31) - 1), {}, OverflowError, "value too large to convert to int"),
        (("op", "1"), {}, TypeError, "an integer is required"),
        # err is converted before operation is checked
        ((b"op", "x"), {}, TypeError, "an integer is required"),
        (("op",), {}, TypeError, "__init__() takes at least 2 positional arguments (1 given)"),
        (("op", 1, None, 4), {}, TypeError, "__init__() takes at most 3 positional arguments (4 given)"),
        (("op", 1), {"bogus": 1}, TypeError, "__init__() got an unexpected keyword argument 'bogus'"),
        (("op", 1), {"err": 1}, TypeError, "__init__() got multiple values for keyword argument 'err'"),
        ((), {"err": 1}, TypeError, "__init__() takes at least 2 positional arguments (0 given)"),
    ],
)  # fmt: skip
def test_argument_errors(args, kwargs, exc, message):
    with pytest.raises(exc) as info:
        EfaError(*args, **kwargs)
    assert str(info.value) == message


def test_signed_32_bit_bounds_accepted():
    assert EfaError("op", 2**31 - 1, "d").errno == 2**31 - 1
    assert EfaError("op", -(2**31), "d").errno == -(2**31)


def test_uses_module_os_at_call_time(monkeypatch):
    class FakeOs:
        @staticmethod
        def strerror(err):
            return f"fake {err}"

    monkeypatch.setattr(m, "os", FakeOs)
    assert EfaError("op", 7).strerror == "op failed: fake 7"


def test_strerror_failure_propagates(monkeypatch):
    class BrokenOs:
        @staticmethod
        def strerror(err):
            raise LookupError("no text")

    monkeypatch.setattr(m, "os", BrokenOs)
    with pytest.raises(LookupError):
        EfaError("op", 7)


def test_subclass_gets_same_behaviour():
    class Mine(EfaError):
        pass

    e = Mine("op", 4)
    assert e.errno == 4 and e.operation == "op" and isinstance(e, EfaError)
