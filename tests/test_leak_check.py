"""The leak checker itself: each kind of leak it exists for is caught."""

from __future__ import annotations

import ctypes

import leak_check
import pytest
from leak_check import LeakError, check_no_leak

measuring = pytest.mark.skipif(leak_check.SMOKE, reason="VANTOR_LEAK_SMOKE: nothing is measured")


def test_check_passes_a_clean_operation(sim):
    check_no_leak(lambda: [object() for _ in range(10)], sim=sim)


@measuring
def test_check_catches_growing_objects():
    kept = []
    with pytest.raises(LeakError, match="live objects grew"):
        check_no_leak(lambda: kept.append([]))


@measuring
def test_check_catches_leaked_memory():
    kept = []
    with pytest.raises(LeakError, match="Python bytes"):
        check_no_leak(lambda: kept.append(bytes(100)))


@measuring
def test_check_catches_a_leaked_reference():
    arg = object()
    incref = ctypes.pythonapi.Py_IncRef
    incref.argtypes = [ctypes.py_object]
    with pytest.raises(LeakError, match="references to"):
        check_no_leak(lambda: incref(arg), watch=[arg])


@measuring
def test_check_catches_leaked_native_memory():
    if leak_check._NATIVE is None:
        pytest.skip("this allocator does not report its usage")
    libc = ctypes.CDLL(None)
    libc.malloc.restype = ctypes.c_void_p
    with pytest.raises(LeakError, match="malloc bytes grew"):
        check_no_leak(lambda: libc.malloc(256))


@measuring
def test_check_catches_leaked_native_objects(sim, ctx):
    kept = []
    with pytest.raises(LeakError, match="live native objects"):
        check_no_leak(lambda: kept.append(ctx.alloc_pd()), sim=sim)
    for pd in kept:
        pd.close()
