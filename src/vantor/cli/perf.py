"""`vantor perf`: perftest-style SEND, RDMA_WRITE and RDMA_READ measurements.

Every case (operation, message size) runs two phases over the same queue pairs:

* latency, on the first queue pair: either each request timed from its post
  to its completion (``post``; the receiver has acknowledged it, SRD is
  reliable), or a ping-pong where the peer answers every message and half
  the round trip is the latency, as ib_send_lat and ib_write_lat report it
  (``pingpong``; RDMA writes are answered by writes with immediate, and a
  read, itself a round trip, stays timed whole);
* bandwidth: requests kept ``tx_depth`` deep in flight on each of the
  ``qps`` queue pairs, optionally in both directions at once; average over
  the run and peak over the best stretch of one queue's worth of messages.

Both phases run ``iters`` requests, or for ``duration`` seconds each.
Loopback mode runs both ends in this process over one device; server and
client mode put them on two hosts that meet over TCP first (see `remote`).
"""

from __future__ import annotations

import contextlib
import mmap
from collections.abc import Sequence
from dataclasses import dataclass, field, replace
from typing import TYPE_CHECKING, Any, Callable

from vantor.cli.agents import (
    Agent,
    Arrivals,
    Echo,
    Limit,
    PerfError,
    Pinger,
    Receiver,
    Sender,
    Target,
    bandwidth_summary,
    drive,
    latency,
)
from vantor.cli.report import Progress, human_size
from vantor.enums import AccessFlags, EfaDeviceCaps, QPExSendOpsFlags, WROpcode
from vantor.helpers import PeerAddress, format_gid, reg_buffer

if TYPE_CHECKING:
    from vantor._vantor import CQ, MR, PD, QP, Context

__all__ = ["OPS", "Endpoint", "Limits", "PerfError", "Settings", "Target", "run_loopback"]

#: The qkey both ends use (perftest's default as well).
QKEY = 0x11111111
SCHEMA_VERSION = 1


@dataclass(frozen=True)
class Op:
    name: str
    opcode: int
    #: The QP's send_ops_flags bit that allows it.
    send_op: int
    #: The EfaDeviceCaps bit the device needs for it (0: always there).
    cap: int


OPS: dict[str, Op] = {
    "send": Op("SEND", WROpcode.SEND, QPExSendOpsFlags.SEND, 0),
    "write": Op(
        "RDMA_WRITE", WROpcode.RDMA_WRITE, QPExSendOpsFlags.RDMA_WRITE, EfaDeviceCaps.RDMA_WRITE
    ),
    "read": Op(
        "RDMA_READ", WROpcode.RDMA_READ, QPExSendOpsFlags.RDMA_READ, EfaDeviceCaps.RDMA_READ
    ),
}
LATENCY_MODES = ("post", "pingpong")


@dataclass(frozen=True)
class Settings:
    ops: Sequence[str]
    sizes: Sequence[int]
    iters: int = 1000
    warmup: int = 16
    tx_depth: int = 64
    #: Seconds without any progress after which a wait gives up.
    timeout: float = 10.0
    qps: int = 1
    bidirectional: bool = False
    #: Seconds per phase instead of `iters` requests.
    duration: float | None = None
    latency: str = "post"
    memory: str = "host"
    #: What the user asked for, where the device made it smaller.
    requested: dict[str, int] = field(default_factory=dict)

    def as_dict(self) -> dict[str, Any]:
        return {
            "ops": [OPS[k].name for k in self.ops],
            "sizes": list(self.sizes),
            "iters": None if self.duration is not None else self.iters,
            "duration_s": self.duration,
            "warmup": self.warmup,
            "tx_depth": self.tx_depth,
            "qps": self.qps,
            "bidirectional": self.bidirectional,
            "latency_mode": self.latency,
            "memory": self.memory,
            "timeout_s": self.timeout,
        }

    def limit(self, warmup: int = 0) -> Limit:
        if self.duration is not None:
            return Limit(seconds=self.duration)
        return Limit(count=warmup + self.iters)


@dataclass(frozen=True)
class Limits:
    """What the device allows, from its queries."""

    max_msg_sz: int
    max_rdma_size: int
    caps: int
    max_sq_wr: int
    max_rq_wr: int
    max_cqe: int
    max_qp: int

    @classmethod
    def query(cls, ctx: Context) -> Limits:
        efa = ctx.query_efa_device()
        dev = ctx.query_device()
        return cls(
            max_msg_sz=ctx.query_port().max_msg_sz,
            max_rdma_size=efa.max_rdma_size,
            caps=efa.device_caps,
            max_sq_wr=efa.max_sq_wr,
            max_rq_wr=efa.max_rq_wr,
            max_cqe=dev.max_cqe,
            max_qp=dev.max_qp,
        )

    def access(self) -> int:
        """What a buffer may be registered for: remote access only where the
        device supports that RDMA direction (EFA refuses the rest)."""
        access = AccessFlags.LOCAL_WRITE
        if self.caps & EfaDeviceCaps.RDMA_READ:
            access |= AccessFlags.REMOTE_READ
        if self.caps & EfaDeviceCaps.RDMA_WRITE:
            access |= AccessFlags.REMOTE_WRITE
        return int(access)

    def send_ops(self) -> int:
        ops = QPExSendOpsFlags.SEND | QPExSendOpsFlags.SEND_WITH_IMM
        if self.caps & EfaDeviceCaps.RDMA_READ:
            ops |= QPExSendOpsFlags.RDMA_READ
        if self.caps & EfaDeviceCaps.RDMA_WRITE:
            ops |= QPExSendOpsFlags.RDMA_WRITE | QPExSendOpsFlags.RDMA_WRITE_WITH_IMM
        return int(ops)

    def rx_depth(self, settings: Settings) -> int:
        return max(
            1, min(max(2 * settings.tx_depth, 128), self.max_rq_wr, self.max_cqe // settings.qps)
        )

    def fit(self, settings: Settings) -> tuple[Settings, list[str]]:
        """The settings this device can run, and a note for each change."""
        notes = []
        requested = dict(settings.requested)
        qps = settings.qps
        if qps > self.max_qp // 2:
            qps = max(1, self.max_qp // 2)
            requested["qps"] = settings.qps
            notes.append(
                f"--qps {settings.qps} lowered to {qps}: the device's max_qp is {self.max_qp}"
            )
        depth = min(settings.tx_depth, self.max_sq_wr, max(1, self.max_cqe // qps))
        if depth != settings.tx_depth:
            requested["tx_depth"] = settings.tx_depth
            why = (
                f"the device's max_sq_wr is {self.max_sq_wr}"
                if depth == self.max_sq_wr
                else f"the device's max_cqe ({self.max_cqe}) shared by {qps} queue pair(s)"
            )
            notes.append(f"--tx-depth {settings.tx_depth} lowered to {depth}: {why}")
        return replace(settings, qps=qps, tx_depth=depth, requested=requested), notes


def plan(settings: Settings, limits: Limits) -> tuple[list[tuple[Op, int]], list[dict[str, Any]]]:
    """The cases the device can run, and those it cannot with the reason."""
    cases: list[tuple[Op, int]] = []
    skipped: list[dict[str, Any]] = []
    for key in settings.ops:
        op = OPS[key]
        if op.cap and not limits.caps & op.cap:
            skipped.append(
                {
                    "op": op.name,
                    "size": None,
                    "reason": f"the device lacks the {EfaDeviceCaps(op.cap).name} capability",
                }
            )
            continue
        for size in settings.sizes:
            if op.opcode == WROpcode.SEND and size > limits.max_msg_sz:
                reason = f"larger than the port's max_msg_sz ({limits.max_msg_sz})"
            elif size > limits.max_rdma_size:
                reason = f"larger than the device's max_rdma_size ({limits.max_rdma_size})"
            else:
                cases.append((op, size))
                continue
            skipped.append({"op": op.name, "size": size, "reason": reason})
    return cases, skipped


def plan_run(
    ctx: Context, settings: Settings, doc: dict[str, Any]
) -> tuple[Limits, list[tuple[Op, int]], int] | None:
    """The device's limits, the cases it can run and the buffer size they
    need; those it cannot run go into `doc["skipped"]`. None: no case left."""
    limits = Limits.query(ctx)
    cases, skipped = plan(settings, limits)
    doc["skipped"] = skipped
    if not cases:
        return None
    return limits, cases, max(size for _op, size in cases)


def _buffer(size: int, memory: str) -> tuple[Any, Callable[[], None]]:
    if memory == "cuda":
        from vantor.cli import gpu

        buf = gpu.cuda_buffer(size)
        gpu.synchronize(buf)
        return buf, lambda: None
    buf = mmap.mmap(-1, size)
    return buf, buf.close


class Endpoint:
    """One side: a protection domain, send and receive CQs shared by `qps`
    SRD queue pairs in RTS, one registered buffer, and the receives kept
    posted on every queue pair."""

    def __init__(self, ctx: Context, limits: Limits, buffer_size: int, settings: Settings) -> None:
        from vantor import _vantor as core

        self.tx_depth = settings.tx_depth
        self.rx_depth = limits.rx_depth(settings)
        self.timeout_ns = int(settings.timeout * 1e9)
        nqp = settings.qps
        self._stack = contextlib.ExitStack()
        try:
            self.buffer, release = _buffer(buffer_size, settings.memory)
            self._stack.callback(release)
            self.pd: PD = self._push(ctx.alloc_pd())
            self.send_cq: CQ = self._push(ctx.create_cq(min(nqp * self.tx_depth, limits.max_cqe)))
            self.recv_cq: CQ = self._push(ctx.create_cq(min(nqp * self.rx_depth, limits.max_cqe)))
            rnr_retry = 7 if limits.caps & EfaDeviceCaps.RNR_RETRY else None
            self.qps: list[QP] = []
            for _ in range(nqp):
                attr = core.QPInitAttr(
                    self.send_cq,
                    self.recv_cq,
                    max_send_wr=self.tx_depth,
                    max_recv_wr=self.rx_depth,
                    send_ops_flags=limits.send_ops(),
                )
                qp = self._push(self.pd.create_qp(attr))
                qp.prepare(QKEY, rnr_retry=rnr_retry)
                self.qps.append(qp)
            self.mr: MR = self._push(reg_buffer(self.pd, self.buffer, limits.access()))
            self.receiver = Receiver(self, buffer_size)
        except BaseException:
            self._stack.close()
            raise

    def _push(self, resource: Any) -> Any:
        self._stack.callback(resource.close)
        return resource

    def addresses(self) -> list[PeerAddress]:
        return [PeerAddress.of(qp, qkey=QKEY) for qp in self.qps]

    def connect(self, addresses: Sequence[PeerAddress], addr: int, rkey: int) -> list[Target]:
        """Targets for the peer's queue pairs (address handles live as long as this side)."""
        targets = []
        for address in addresses:
            peer = self._push(address.connect(self.pd))
            targets.append(Target(peer, addr, rkey))
        return targets

    def close(self) -> None:
        self._stack.close()

    def __enter__(self) -> Endpoint:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def address_dict(address: PeerAddress) -> dict[str, Any]:
    return {"gid": format_gid(address.gid), "qp_num": address.qp_num, "qkey": address.qkey}


def new_document(mode: str, device: str, settings: Settings) -> dict[str, Any]:
    """The JSON document of a run; results are added as they are measured, so
    an interrupted run still has what it measured."""
    import vantor.sim

    return {
        "schema_version": SCHEMA_VERSION,
        "command": "perf",
        "mode": mode,
        "device": device,
        "simulator": vantor.sim.is_active(),
        "settings": settings.as_dict(),
        "results": [],
        "skipped": [],
        "notes": [],
        "interrupted": False,
    }


def latency_kind(op: Op, settings: Settings) -> str:
    if settings.latency == "pingpong" and op.opcode != WROpcode.RDMA_READ:
        return "half_round_trip"
    return "post_to_completion"


def result_row(
    op: Op,
    size: int,
    kind: str,
    samples: Sequence[int],
    senders: Sequence[Sender],
    settings: Settings,
) -> dict[str, Any]:
    return {
        "op": op.name,
        "size": size,
        "iters": len(samples),
        "latency_mode": kind,
        "latency_us": latency(samples),
        "bandwidth": bandwidth_summary(
            senders, size, window=max(1, settings.tx_depth * settings.qps)
        ),
    }


def loopback_case(
    a: Endpoint,
    b: Endpoint,
    ab: list[Target],
    ba: list[Target],
    op: Op,
    size: int,
    settings: Settings,
) -> dict[str, Any]:
    """Both phases of one case, both ends driven by this thread."""
    timeout = settings.timeout
    kind = latency_kind(op, settings)
    agents: list[Agent]
    if kind == "half_round_trip":
        pinger = Pinger(a, ab[0], op, size, settings.limit(settings.warmup), settings.warmup)
        agents = [pinger, Echo(b, ba[0], op, size, lambda: pinger.posted if pinger.done else None)]
        drive(agents, timeout)
        samples = pinger.samples
    else:
        timed = Sender(
            a, ab[:1], op, size, settings.limit(settings.warmup), depth=1,
            warmup=settings.warmup, timed=True,
        )  # fmt: skip
        agents = [timed]
        if op.opcode == WROpcode.SEND:
            agents.append(Arrivals(b.receiver, lambda: timed.completed if timed.done else None))
        drive(agents, timeout)
        samples = timed.samples

    senders = [Sender(a, ab, op, size, settings.limit(), depth=settings.tx_depth)]
    if settings.bidirectional:
        senders.append(Sender(b, ba, op, size, settings.limit(), depth=settings.tx_depth))
    agents = list(senders)
    if op.opcode == WROpcode.SEND:
        for sender, ep in zip(senders, (b, a)):
            agents.append(
                Arrivals(ep.receiver, lambda s=sender: s.completed if s.done else None)  # type: ignore[misc]
            )
    drive(agents, timeout)
    return result_row(op, size, kind, samples, senders, settings)


def run_loopback(ctx: Context, settings: Settings, progress: Progress, doc: dict[str, Any]) -> None:
    """Both ends in this process on one device, the NIC looping traffic back;
    rows are appended to `doc` as they are measured."""
    planned = plan_run(ctx, settings, doc)
    if planned is None:
        return
    limits, cases, buffer_size = planned
    with (
        Endpoint(ctx, limits, buffer_size, settings) as a,
        Endpoint(ctx, limits, buffer_size, settings) as b,
    ):
        ab = a.connect(b.addresses(), b.mr.addr, b.mr.rkey)
        ba = b.connect(a.addresses(), a.mr.addr, a.mr.rkey)
        progress.total = len(cases)
        for op, size in cases:
            progress.step(f"{op.name} {human_size(size)}")
            doc["results"].append(loopback_case(a, b, ab, ba, op, size, settings))
            progress.advance()
