"""The simulator's libraries: where they are, loading them into the process
ahead of anything that needs libibverbs, and the signatures of the control
API (``vsim_*``) that :mod:`vantor.sim` drives."""

from __future__ import annotations

import ctypes
import os
import sys
from typing import Any

_HERE = os.path.dirname(os.path.abspath(__file__))

_verbs: ctypes.CDLL | None = None
_efa: ctypes.CDLL | None = None
_legacy: bool | None = None


def lib_dir(legacy: bool = False) -> str:
    """Return the directory holding the simulator's two libraries.

    ``legacy=True`` gives the build without the optional entry points
    (``ibv_reg_dmabuf_mr``, ``efadv_query_mr``, ``efadv_query_cq``,
    ``efadv_query_qp_wqs``), standing in for older rdma-core releases.
    """
    base = os.path.join(_HERE, "_sim")
    return os.path.join(base, "legacy") if legacy else base


def _foreign_libibverbs() -> str | None:
    """Path of a libibverbs already mapped in this process that is not ours."""
    ours = {
        os.path.realpath(os.path.join(lib_dir(flag), "libibverbs.so.1")) for flag in (False, True)
    }
    try:
        with open("/proc/self/maps") as maps:
            for line in maps:
                parts = line.split(None, 5)
                if len(parts) < 6:
                    continue
                path = parts[5].strip()
                if os.path.basename(path).startswith("libibverbs.so") and (
                    os.path.realpath(path) not in ours
                ):
                    return path
    except OSError:
        return None
    return None


def activate(legacy: bool = False) -> None:
    """Load the simulator so that ``libibverbs.so.1``/``libefa.so.1`` resolve to it.

    Both libraries are loaded with ``RTLD_GLOBAL``, libibverbs first, so a
    later ``dlopen`` by soname (as ``vantor._vantor`` does at import) finds
    them. Call it before importing ``vantor._vantor``.

    Raises:
        RuntimeError: ``vantor._vantor`` is already imported, another
            libibverbs is already loaded in the process, or the simulator was
            activated before with a different ``legacy`` value.
        OSError: the libraries are missing (package built without them).
    """
    global _verbs, _efa, _legacy
    legacy = bool(legacy)
    if _legacy is not None:
        if _legacy != legacy:
            raise RuntimeError(
                f"the simulator is already active with legacy={_legacy!r}; a process can use only one build"
            )
        return
    if "vantor._vantor" in sys.modules:
        raise RuntimeError("vantor.sim.activate() must be called before vantor._vantor is imported")
    foreign = _foreign_libibverbs()
    if foreign is not None:
        raise RuntimeError(
            f"another libibverbs is already loaded in this process ({foreign}); "
            "activate the simulator in a fresh process"
        )
    directory = lib_dir(legacy)
    verbs = ctypes.CDLL(os.path.join(directory, "libibverbs.so.1"), mode=ctypes.RTLD_GLOBAL)
    efa = ctypes.CDLL(os.path.join(directory, "libefa.so.1"), mode=ctypes.RTLD_GLOBAL)
    _declare(verbs)
    _verbs, _efa, _legacy = verbs, efa, legacy


def is_active() -> bool:
    """Return True once :func:`activate` has loaded the simulator in this process."""
    return _verbs is not None


def _declare(lib: ctypes.CDLL) -> None:
    c = ctypes
    sigs: dict[str, Any] = {
        "vsim_reset": (None, []),
        "vsim_clear_devices": (None, []),
        "vsim_add_device": (c.c_int, [c.c_char_p, c.c_int]),
        "vsim_device_count": (c.c_int, []),
        "vsim_set_device_field": (c.c_int, [c.c_int, c.c_char_p, c.c_uint64]),
        "vsim_get_device_field": (c.c_int, [c.c_int, c.c_char_p, c.POINTER(c.c_uint64)]),
        "vsim_set_device_gid": (c.c_int, [c.c_int, c.c_char_p]),
        "vsim_get_device_gid": (c.c_int, [c.c_int, c.c_char_p]),
        "vsim_set_device_fw_ver": (c.c_int, [c.c_int, c.c_char_p]),
        "vsim_device_fields": (c.c_char_p, []),
        "vsim_fail": (c.c_int, [c.c_char_p, c.c_int, c.c_int, c.c_int, c.c_longlong, c.c_int]),
        "vsim_fault_pending": (c.c_int, [c.c_char_p]),
        "vsim_clear_faults": (None, []),
        "vsim_pause": (c.c_int, [c.c_char_p, c.c_int, c.c_int]),
        "vsim_paused": (c.c_int, [c.c_char_p]),
        "vsim_call_count": (c.c_longlong, [c.c_char_p]),
        "vsim_reset_counts": (None, []),
        "vsim_function_names": (c.c_char_p, []),
        "vsim_log_enable": (None, [c.c_int]),
        "vsim_log_take": (c.c_void_p, []),
        "vsim_free": (None, [c.c_void_p]),
        "vsim_post_qp_event": (c.c_int, [c.c_uint32, c.c_int]),
        "vsim_post_cq_event": (c.c_int, [c.c_uint32, c.c_int]),
        "vsim_post_port_event": (c.c_int, [c.c_char_p, c.c_int, c.c_int, c.c_int]),
        "vsim_post_device_event": (c.c_int, [c.c_char_p, c.c_int, c.c_int]),
        "vsim_hold": (None, [c.c_int]),
        "vsim_release": (c.c_int, [c.c_int]),
        "vsim_reverse_next": (None, [c.c_int]),
        "vsim_held": (c.c_int, []),
        "vsim_set_destroy_timeout_ms": (None, [c.c_int]),
        "vsim_live": (c.c_int, [c.c_char_p]),
        "vsim_cq_handles": (c.c_int, [c.POINTER(c.c_uint32), c.c_int]),
        "vsim_qp_state": (c.c_int, [c.c_uint32]),
        "vsim_has_optional_symbols": (c.c_int, []),
        "vsim_set_host": (c.c_int, [c.c_char_p]),
        "vsim_get_host": (c.c_int, [c.c_char_p, c.c_int]),
        "vsim_join": (c.c_int, []),
        "vsim_slot": (c.c_int, []),
        "vsim_connections": (c.c_int, []),
    }
    for name, (restype, argtypes) in sigs.items():
        fn = getattr(lib, name)
        fn.restype = restype
        fn.argtypes = argtypes


def api() -> ctypes.CDLL:
    """The loaded libibverbs, whose ``vsim_*`` functions are the control API."""
    if _verbs is None:
        raise RuntimeError("the simulator is not active: call vantor.sim.activate() first")
    return _verbs


def check(rc: int, what: str) -> int:
    """``rc`` when it is not negative, else an OSError for the errno it holds."""
    if rc < 0:
        raise OSError(-rc, f"{what}: {os.strerror(-rc)}")
    return rc
