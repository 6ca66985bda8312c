"""WC records and CompletionError: bare records, conversions of real
completions, status texts and the exception built from a failed one."""

from __future__ import annotations

import ctypes
import gc
import weakref

import pytest
from completion_helpers import Link

import vantor._vantor as m

WC_INT_FIELDS = [
    "wr_id", "status", "opcode", "vendor_err", "byte_len", "imm_data", "qp_num", "src_qp",
    "wc_flags",
]  # fmt: skip


def system_status_str(status: int) -> str:
    """The reference text: the system libibverbs' own ibv_wc_status_str."""
    lib = ctypes.CDLL("libibverbs.so.1")
    lib.ibv_wc_status_str.restype = ctypes.c_char_p
    lib.ibv_wc_status_str.argtypes = [ctypes.c_int]
    return lib.ibv_wc_status_str(status).decode()


# ---- the bare record ---------------------------------------------------------


def test_bare_wc_reads_as_successful_zeros():
    wc = m.WC()
    assert [getattr(wc, f) for f in WC_INT_FIELDS] == [0] * len(WC_INT_FIELDS)
    assert wc.sgid is None
    assert wc.unsolicited is False
    assert wc.is_success is True
    assert wc.raise_for_status() is None
    assert repr(wc) == f"WC(wr_id=0, status=0 ({wc.status_str}), opcode=0, byte_len=0, qp_num=0)"


@pytest.mark.parametrize("args, kwargs", [((1,), {}), ((), {"wr_id": 1})])
def test_wc_takes_no_constructor_arguments(args, kwargs):
    with pytest.raises(TypeError, match=r"WC\(\) takes no arguments"):
        m.WC(*args, **kwargs)


@pytest.mark.parametrize(
    "name", [*WC_INT_FIELDS, "sgid", "unsolicited", "is_success", "status_str"]
)
def test_wc_attributes_are_read_only(name):
    wc = m.WC()
    with pytest.raises(AttributeError):
        setattr(wc, name, 1)


def test_wc_is_gc_tracked():
    assert gc.is_tracked(m.WC())


def test_wc_subclass_status_str_is_honoured():
    class Loud(m.WC):
        @property
        def status_str(self):
            return "LOUD"

    wc = Loud()
    assert repr(wc) == "WC(wr_id=0, status=0 (LOUD), opcode=0, byte_len=0, qp_num=0)"
    assert (
        m.CompletionError(wc).strerror == "work completion failed: LOUD (status=0, vendor_err=0x0)"
    )


def test_wc_subclass_with_own_init_accepts_arguments():
    class Tagged(m.WC):
        def __init__(self, tag):
            self.tag = tag

    assert Tagged("x").tag == "x"


# ---- CompletionError ---------------------------------------------------------


def test_completion_error_class_shape():
    cls = m.CompletionError
    assert cls.__bases__ == (m.EfaError,)
    assert cls.__module__ == "vantor._vantor"
    assert cls.__qualname__ == "CompletionError"
    assert cls.__doc__ == "Raised by :meth:`WC.raise_for_status` for a failed completion."
    assert cls.__init__.__doc__ == "CompletionError.__init__(self, WC wc)"
    own = {k for k in vars(cls) if k not in {"__module__", "__qualname__", "__doc__"}}
    assert own - {"__weakref__", "__dict__"} == {"__init__"}


def test_completion_error_from_bare_wc():
    wc = m.WC()
    e = m.CompletionError(wc=wc)
    text = f"work completion failed: {system_status_str(0)} (status=0, vendor_err=0x0)"
    assert isinstance(e, m.EfaError) and isinstance(e, OSError)
    assert (e.wc, e.status, e.vendor_err) == (wc, 0, 0)
    assert e.wc is wc
    assert (e.errno, e.operation, e.strerror) == (5, "work completion", text)
    assert str(e) == f"[Errno 5] {text}"


@pytest.mark.parametrize("bad", [None, "wc", 5, object()])
def test_completion_error_rejects_non_wc(bad):
    with pytest.raises(TypeError) as info:
        m.CompletionError(bad)
    assert str(info.value) == (
        f"Argument 'wc' has incorrect type (expected vantor._vantor.WC, got {type(bad).__name__})"
    )


def test_completion_error_propagates_status_str_failure():
    class Broken(m.WC):
        @property
        def status_str(self):
            raise KeyError("no text")

    with pytest.raises(KeyError, match="no text"):
        m.CompletionError(Broken())


# ---- real completions -----------------------------------------------------------


def oversized_send(ctx, kind):
    """A SEND of 100 bytes into a 64-byte receive: both sides fail."""
    create = ctx.create_cq if kind == "cq" else ctx.create_cq_ex
    send_cq, recv_cq = create(8), create(8)
    link = Link(ctx, send_cq, recv_cq)
    link.send(7, length=100, recv_wr_id=8)
    (sent,) = send_cq.poll(1)
    (received,) = recv_cq.poll(1)
    return sent, received


@pytest.mark.parametrize("kind", ["cq", "cq_ex"])
def test_failed_completions_raise_completion_error(ctx, kind):
    sent, received = oversized_send(ctx, kind)
    # Receiver: local length error (EFA status 6); sender: remote invalid
    # request (EFA status 11).
    for wc, status, vendor_err in ((received, 1, 6), (sent, 9, 11)):
        assert (wc.status, wc.vendor_err, wc.is_success) == (status, vendor_err, False)
        assert wc.status_str == system_status_str(status)
        assert repr(wc).startswith(f"WC(wr_id={wc.wr_id}, status={status} ({wc.status_str}), ")
        with pytest.raises(m.CompletionError) as info:
            wc.raise_for_status()
        e = info.value
        assert e.wc is wc
        assert (e.status, e.vendor_err, e.errno, e.operation) == (
            status, vendor_err, 5, "work completion",
        )  # fmt: skip
        assert e.strerror == (
            f"work completion failed: {system_status_str(status)} "
            f"(status={status}, vendor_err=0x{vendor_err:x})"
        )
        assert e.args == (5, e.strerror)


def test_raise_for_status_looks_the_class_up_at_call_time(ctx, monkeypatch):
    sent, received = oversized_send(ctx, "cq")

    class Replacement(Exception):
        def __init__(self, wc):
            self.wc = wc

    monkeypatch.setattr(m, "CompletionError", Replacement)
    with pytest.raises(Replacement) as info:
        sent.raise_for_status()
    assert info.value.wc is sent


@pytest.mark.parametrize("kind", ["cq", "cq_ex"])
def test_polled_wc_given_any_sgid_by_setstate_is_collectable(ctx, kind):
    """Polled completions are left to the collector only once they can
    reach other objects: a cycle made through __setstate__ is collected."""

    class Marker:
        pass

    sent, _ = oversized_send(ctx, kind)
    state = list(sent.__reduce__()[1][2])
    marker = Marker()
    alive = weakref.ref(marker)
    state[4] = [sent, marker]  # fields in name order: byte_len, imm_data, opcode, qp_num, sgid
    sent.__setstate__(tuple(state))
    assert gc.is_tracked(sent)
    del sent, marker, state
    gc.collect()
    assert alive() is None
