"""The software EFA device: run EFA programs without EFA hardware.

The package ships its own ``libibverbs.so.1`` and ``libefa.so.1`` that
behave like the rdma-core libraries over an EFA NIC: devices, memory
registration, completion queues, SRD and UD queue pairs, and real data
movement between registered buffers of the same process.

Typical use in a test::

    import vantor.sim as sim
    sim.activate()              # before importing vantor._vantor
    import vantor._vantor as v

    sim.reset()
    with sim.recording() as log:
        ...                     # use the devices
    assert log.calls("ibv_modify_qp")[0]["mask"] == "0x71"

:func:`activate` is process-wide and cannot be undone; everything else
(device set, injected faults, call log, delivery order) is reset with
:func:`reset`.

Processes of one user on one machine reach each other's queue pairs
through the device, as processes on a real host with an EFA NIC do: a
process joins a host at its first QP or AH, the one named by the
environment variable ``VANTOR_SIM_HOST`` or :func:`set_host`, or else the
machine's default host. A device is then the same device (name, GUID, GID)
in every process, QP and AH numbers are unique across the processes, and
SEND, RDMA write and RDMA read move data between them with the same checks
and error completions as within one process. Processes with different host
names cannot reach each other: a test that gives its processes a host name
of its own is isolated from everything else. Two processes that talk share
memory (a ring each way); the thread that polls a CQ moves its process's
traffic, and a thread of the device serves whenever the process does not
poll. Nothing listens on a network interface: processes find each other
through abstract Unix sockets, which the kernel removes when a process
ends, however it ends.

Call-log entries are dicts with ``"fn"`` (the entry point or provider
operation name), the call's arguments, and ``"ret"`` (plus ``"errno"`` on
failure and ``"fault": True`` when an injected fault answered). Objects are
named by small numbers the application can also see: contexts by an id
(``"ctx"``), protection domains, memory regions and CQs by their
``handle``, QPs by ``qp_num``, address handles by ``ahn``, completion
channels by their ``fd``. Keys, addresses, masks and flag sets are
hexadecimal strings (``"0x71"``); other numbers are integers.
"""

from __future__ import annotations

import ctypes
import errno as errno_module
import json
import os
from collections.abc import Iterator, Mapping, Sequence
from contextlib import contextmanager
from dataclasses import dataclass, field
from typing import Any, overload

from vantor._sim_native import activate, api as _api, check as _check, is_active, lib_dir

__all__ = [
    "CallLog",
    "Device",
    "activate",
    "call_count",
    "HOST_ENV",
    "clear_faults",
    "connections",
    "cq_handles",
    "device_field",
    "device_fields",
    "device_gid",
    "fail",
    "fault_pending",
    "function_names",
    "held",
    "host",
    "hold",
    "holding",
    "is_active",
    "join",
    "lib_dir",
    "live_objects",
    "pause",
    "paused_calls",
    "pausing",
    "post_cq_event",
    "post_device_event",
    "post_port_event",
    "post_qp_event",
    "process_slot",
    "qp_state",
    "recording",
    "release",
    "reset",
    "reset_counts",
    "resume",
    "reverse_next",
    "set_destroy_timeout",
    "set_devices",
    "set_host",
]

HOST_ENV = "VANTOR_SIM_HOST"
"""The environment variable that names the host when :func:`set_host` was not called.

Processes started by a launcher inherit it, so setting it once in the
launcher puts all its ranks on one host.
"""


def reset() -> None:
    """Put the simulator back in its initial state.

    Resumes paused functions, clears injected faults, the call log and call
    counters, switches logging off, delivers every held request in order and
    stops holding, restores
    the destroy timeout (3 s) and the default device set (one EFA device
    ``efa_0``). Objects still open keep working on the device they were
    created on; :func:`live_objects` reports them.
    """
    _api().vsim_reset()


# --- devices ---------------------------------------------------------------


@dataclass
class Device:
    """One simulated device for :func:`set_devices`.

    ``efa=False`` makes a device of another provider: it opens and answers
    the verbs queries, but every ``efadv_*`` call on it fails with
    EOPNOTSUPP. ``gid`` (16 bytes) defaults to a link-local GID unique per
    position in the set. ``device_attr``, ``efa_attr`` and ``port_attr``
    override fields of ``ibv_device_attr``, ``efadv_device_attr`` and
    ``ibv_port_attr`` by their C names (``node_guid``/``sys_image_guid`` are
    taken as stored, i.e. in network byte order); ``fw_ver`` and
    ``num_comp_vectors`` set those values.
    """

    name: str
    efa: bool = True
    gid: bytes | None = None
    fw_ver: str | None = None
    num_comp_vectors: int | None = None
    device_attr: Mapping[str, int] = field(default_factory=dict)
    efa_attr: Mapping[str, int] = field(default_factory=dict)
    port_attr: Mapping[str, int] = field(default_factory=dict)


def set_devices(devices: Sequence[Device | str]) -> None:
    """Replace the device set; an empty sequence leaves no devices at all.

    A plain string is an EFA device of that name with default attributes.
    Contexts already open keep their device. Raises ``ValueError`` for a
    duplicate or invalid name, an unknown field or a value that does not fit.
    """
    lib = _api()
    lib.vsim_clear_devices()
    for entry in devices:
        dev = Device(entry) if isinstance(entry, str) else entry
        index = lib.vsim_add_device(dev.name.encode(), int(dev.efa))
        if index < 0:
            raise ValueError(f"cannot add device {dev.name!r}: {os.strerror(-index)}")
        fields: list[tuple[str, int]] = []
        fields += [("device." + k, v) for k, v in dev.device_attr.items()]
        fields += [("efa." + k, v) for k, v in dev.efa_attr.items()]
        fields += [("port." + k, v) for k, v in dev.port_attr.items()]
        if dev.num_comp_vectors is not None:
            fields.append(("num_comp_vectors", dev.num_comp_vectors))
        for key, value in fields:
            if not 0 <= int(value) < 2**64 or lib.vsim_set_device_field(
                index, key.encode(), int(value)
            ):
                raise ValueError(f"device {dev.name!r}: bad field or value {key}={value!r}")
        if dev.gid is not None:
            gid = bytes(dev.gid)
            if len(gid) != 16:
                raise ValueError("gid must be 16 bytes")
            lib.vsim_set_device_gid(index, gid)
        if dev.fw_ver is not None and lib.vsim_set_device_fw_ver(index, dev.fw_ver.encode()):
            raise ValueError("fw_ver must be shorter than 64 bytes")


def device_fields() -> list[str]:
    """Names accepted by :func:`device_field` (``"device.max_qp"``, ``"efa.device_caps"``, ...)."""
    names: bytes = _api().vsim_device_fields()
    return names.decode().split()


def device_field(index: int, name: str) -> int:
    """Return one numeric attribute of the device at ``index`` of the current set."""
    value = ctypes.c_uint64()
    _check(_api().vsim_get_device_field(index, name.encode(), ctypes.byref(value)), name)
    return value.value


def device_gid(index: int = 0) -> bytes:
    """Return the 16-byte GID of the device at ``index`` of the current set."""
    buf = ctypes.create_string_buffer(16)
    _check(_api().vsim_get_device_gid(index, buf), "device_gid")
    return buf.raw


# --- faults and counters -----------------------------------------------------


def function_names() -> list[str]:
    """Names usable with :func:`fail` and :func:`call_count`.

    The 39 library entry points (``ibv_*``, ``efadv_*``), plus the
    operations reached through the verbs structures: ``create_qp_ex``,
    ``create_cq_ex``, ``query_port_ex``, ``query_device_ex``, ``poll_cq``, ``req_notify_cq``,
    ``post_recv``, ``post_send``, ``start_poll``, ``next_poll``,
    ``end_poll``, ``read_*``, ``wc_read_sgid``, ``wc_is_unsolicited`` and
    ``wr_*``.
    """
    names: bytes = _api().vsim_function_names()
    return names.decode().split()


def fail(fn: str, errno: int, *, rc: int | None = None, count: int = 1, skip: int = 0) -> None:
    """Make the next ``count`` calls of ``fn`` fail, after ``skip`` that succeed.

    A failing call sets ``errno`` to ``errno`` (0 allowed) and returns:
    ``rc`` when given; otherwise NULL for pointer results, -1 for calls that
    report through errno (``ibv_get_cq_event``, ``ibv_get_async_event``,
    ``ibv_query_gid``, ``ibv_close_device``), ``-errno`` for ``poll_cq`` and
    ``wc_read_sgid``, and ``errno`` itself for calls returning an error code.
    A failing ``wr_*`` builder records ``errno`` (EINVAL if 0) as the batch
    error that ``wr_complete`` returns; ``wr_complete`` itself fails after
    discarding the batch. ``start_poll`` fails without opening a batch.
    Arming ``fn`` again replaces its previous setting; ``count=0`` disarms.
    """
    if _api().vsim_fail(fn.encode(), count, skip, errno, 0 if rc is None else rc, rc is not None):
        raise ValueError(f"unknown function {fn!r} or negative count/skip")


def fault_pending(fn: str) -> int:
    """Return how many injected failures of ``fn`` are still armed."""
    return _check(_api().vsim_fault_pending(fn.encode()), fn)


def clear_faults() -> None:
    """Disarm every injected failure."""
    _api().vsim_clear_faults()


_PAUSE_AT = {"entry": 1, "exit": 2}


def pause(fn: str, *, at: str = "entry", timeout: float | None = None) -> None:
    """Make every call of ``fn`` wait until :func:`resume` (or ``timeout`` seconds).

    ``at="entry"``: the call waits before it does anything, holding none of
    the simulator's locks. ``at="exit"``: it waits after its work, still
    holding what the call leaves held (``start_poll`` an open batch and its
    queue's lock). A thread calling ``fn`` then stays inside the call: the
    way to test what other threads may do meanwhile. With ``timeout`` each
    call goes on by itself after that long. :func:`reset` resumes every
    paused function; :func:`clear_faults` does not.
    """
    if at not in _PAUSE_AT:
        raise ValueError(f"at must be 'entry' or 'exit', not {at!r}")
    limit = -1 if timeout is None else max(0, round(timeout * 1000))
    _check(_api().vsim_pause(fn.encode(), _PAUSE_AT[at], limit), fn)


def resume(fn: str) -> None:
    """Let the calls of ``fn`` that wait go on; new calls no longer wait."""
    _check(_api().vsim_pause(fn.encode(), 0, -1), fn)


def paused_calls(fn: str) -> int:
    """Return how many calls of ``fn`` are waiting at entry now."""
    return _check(_api().vsim_paused(fn.encode()), fn)


@contextmanager
def pausing(fn: str, *, at: str = "entry", timeout: float | None = None) -> Iterator[None]:
    """Pause ``fn`` (as :func:`pause`) inside the block and resume it on leaving the block."""
    pause(fn, at=at, timeout=timeout)
    try:
        yield
    finally:
        resume(fn)


def call_count(fn: str) -> int:
    """Return how many times ``fn`` was called since the last reset (failed calls included)."""
    n = _api().vsim_call_count(fn.encode())
    if n < 0:
        raise ValueError(f"unknown function {fn!r}")
    return int(n)


def reset_counts() -> None:
    """Set every call counter back to 0."""
    _api().vsim_reset_counts()


# --- call log -------------------------------------------------------------------


class CallLog(Sequence[dict[str, Any]]):
    """The calls recorded by :func:`recording`, oldest first.

    Reading it (indexing, ``len``, iteration, :meth:`calls`) first collects
    the entries logged so far, so it can be inspected inside the ``with``
    block as well as after it.
    """

    def __init__(self) -> None:
        self._entries: list[dict[str, Any]] = []
        self._open = True

    def _sync(self) -> None:
        if self._open:
            _collect(self._entries)

    @overload
    def __getitem__(self, index: int) -> dict[str, Any]: ...

    @overload
    def __getitem__(self, index: slice) -> list[dict[str, Any]]: ...

    def __getitem__(self, index: int | slice) -> Any:
        self._sync()
        return self._entries[index]

    def __len__(self) -> int:
        self._sync()
        return len(self._entries)

    def __iter__(self) -> Iterator[dict[str, Any]]:
        self._sync()
        return iter(list(self._entries))

    def calls(self, fn: str) -> list[dict[str, Any]]:
        """Return the entries of one function, in call order."""
        self._sync()
        return [e for e in self._entries if e["fn"] == fn]

    def fns(self) -> list[str]:
        """Return the function names in call order."""
        self._sync()
        return [e["fn"] for e in self._entries]

    def clear(self) -> None:
        """Forget the entries collected so far."""
        self._sync()
        self._entries.clear()


def _collect(into: list[dict[str, Any]]) -> None:
    lib = _api()
    ptr = lib.vsim_log_take()
    if not ptr:
        return
    try:
        text = ctypes.string_at(ptr).decode()
    finally:
        lib.vsim_free(ptr)
    into.extend(json.loads(line) for line in text.splitlines() if line)


@contextmanager
def recording() -> Iterator[CallLog]:
    """Log every call made inside the block; yields the :class:`CallLog`.

    Entries of calls made before the block are discarded. Logging costs
    nothing while no recording is active.
    """
    lib = _api()
    lib.vsim_log_enable(0)
    lib.vsim_free(lib.vsim_log_take())
    log = CallLog()
    lib.vsim_log_enable(1)
    try:
        yield log
    finally:
        lib.vsim_log_enable(0)
        _collect(log._entries)
        log._open = False


# --- asynchronous events -------------------------------------------------------


def post_qp_event(qp_num: int, event_type: int) -> None:
    """Queue an async event naming the QP ``qp_num`` on its context (e.g. 1, QP_FATAL).

    Only the event is raised; the QP's state does not change. Until the
    event is acknowledged, ``ibv_destroy_qp`` waits (see
    :func:`set_destroy_timeout`).
    """
    _check(_api().vsim_post_qp_event(qp_num, event_type), "post_qp_event")


def post_cq_event(cq: int, event_type: int = 0) -> None:
    """Queue an async event (default 0, CQ_ERR) naming the CQ with handle ``cq``.

    See :func:`cq_handles` for the handles of the live CQs.
    """
    _check(_api().vsim_post_cq_event(cq, event_type), "post_cq_event")


def _target(device: str | None, async_fd: int | None) -> tuple[bytes | None, int]:
    if (device is None) == (async_fd is None):
        raise ValueError("give exactly one of device= and async_fd=")
    return (device.encode() if device is not None else None, -1 if async_fd is None else async_fd)


def post_port_event(
    event_type: int = 9,
    port: int = 1,
    *,
    device: str | None = None,
    async_fd: int | None = None,
) -> None:
    """Queue a port event (default 9, PORT_ACTIVE) with ``element.port_num = port``.

    It goes to every open context of ``device``, or to the one context whose
    ``async_fd`` is given. Raises ``OSError(ENOENT)`` when no context matches.
    """
    name, fd = _target(device, async_fd)
    _check(_api().vsim_post_port_event(name, fd, port, event_type), "post_port_event")


def post_device_event(
    event_type: int = 8, *, device: str | None = None, async_fd: int | None = None
) -> None:
    """Queue a device-wide event (default 8, DEVICE_FATAL), targeted as in :func:`post_port_event`."""
    name, fd = _target(device, async_fd)
    _check(_api().vsim_post_device_event(name, fd, event_type), "post_device_event")


def set_destroy_timeout(seconds: float) -> None:
    """Set how long ``ibv_destroy_cq``/``ibv_destroy_qp`` wait for unacknowledged events.

    After that time the destroy call prints one line on stderr and fails
    with EBUSY. The default is 3 seconds.
    """
    _api().vsim_set_destroy_timeout_ms(max(0, int(seconds * 1000)))


# --- delivery order -----------------------------------------------------------------


def hold() -> None:
    """Keep every request submitted from now on in the fabric until :func:`release`.

    Held requests complete (on both sides) only when released.
    """
    _api().vsim_hold(1)


def release(reverse: bool = False) -> int:
    """Deliver the held requests, in submission order or reversed; stop holding.

    Returns how many were delivered.
    """
    return int(_api().vsim_release(int(bool(reverse))))


def held() -> int:
    """Return how many requests the fabric holds."""
    return int(_api().vsim_held())


def reverse_next(n: int) -> None:
    """Hold the next ``n`` requests and deliver them in reverse order once all arrived."""
    _api().vsim_reverse_next(n)


@contextmanager
def holding(reverse: bool = False) -> Iterator[None]:
    """Hold requests inside the block and release them (optionally reversed) on leaving it."""
    hold()
    try:
        yield
    finally:
        release(reverse)


# --- introspection ---------------------------------------------------------------------


_KINDS = ("context", "pd", "mr", "cq", "qp", "ah", "channel")


def live_objects() -> dict[str, int]:
    """Return the number of live objects per kind (context, pd, mr, cq, qp, ah, channel)."""
    lib = _api()
    return {k: int(lib.vsim_live(k.encode())) for k in _KINDS}


def cq_handles() -> list[int]:
    """Return the handles of the live CQs, oldest first."""
    lib = _api()
    n = lib.vsim_cq_handles(None, 0)
    buf = (ctypes.c_uint32 * max(n, 1))()
    n = lib.vsim_cq_handles(buf, n)
    return list(buf[:n])


def qp_state(qp_num: int) -> int | None:
    """Return the state (0 RESET .. 6 ERR) of the QP ``qp_num``, or None when it does not exist."""
    st = int(_api().vsim_qp_state(qp_num))
    return None if st < 0 else st


# --- processes of one host -------------------------------------------------------


def set_host(name: str | None) -> None:
    """Name the host this process's device belongs to; ``None`` goes back to ``VANTOR_SIM_HOST``.

    Processes of this user that use the same name reach each other's queue
    pairs; without a name (and without ``VANTOR_SIM_HOST``) a process joins
    the machine's default host. The name (1 to 64 of ``A-Z a-z 0-9 . _ -``) is fixed once the
    process joins its host, at its first queue pair or address handle (or
    :func:`join`): set it before creating them.

    Raises:
        ValueError: the name is not usable.
        RuntimeError: the process already joined under another name.
    """
    rc = _api().vsim_set_host(None if name is None else name.encode())
    if rc == -errno_module.EINVAL:
        raise ValueError(f"bad host name {name!r}: use 1 to 64 of A-Z a-z 0-9 . _ -")
    if rc == -errno_module.EBUSY:
        raise RuntimeError(
            f"this process already joined host {host()!r}; set the host before the first QP or AH"
        )
    _check(rc, "set_host")


def host() -> str | None:
    """Return the host name in effect (the one joined, once joined)."""
    buf = ctypes.create_string_buffer(80)
    _check(_api().vsim_get_host(buf, len(buf)), "host")
    return buf.value.decode() or None


def join() -> int:
    """Join the host now (normally done by the first QP or AH); return this process's slot.

    The slot (0..63) is the top bits of the process's QP numbers
    (``qp_num >> 18``) and AH numbers (``ahn >> 10``). When the host cannot
    be joined (all 64 slots taken, a bad ``VANTOR_SIM_HOST``) the result is
    0 and the process keeps to itself, after one line on stderr that says
    why.
    """
    return int(_api().vsim_join())


def process_slot() -> int | None:
    """Return this process's slot on its host, or None before it joined."""
    slot = int(_api().vsim_slot())
    return None if slot < 0 else slot


def connections() -> int:
    """Return how many connections to and from other processes are open."""
    return int(_api().vsim_connections())
