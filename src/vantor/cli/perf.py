"""`vantor perf`: perftest-style SEND, RDMA_WRITE and RDMA_READ measurements.

Every case (operation, message size) runs twice over the same queue pair:

* latency: ``iters`` signaled requests one at a time, each timed from the
  post to its completion on the sender (the receiver has acknowledged it:
  SRD is reliable); reported as percentiles;
* bandwidth: ``iters`` requests kept ``tx_depth`` deep in flight, timed
  from the first post to the last completion.

Loopback mode runs both ends in this process over one device; server and
client mode put them on two hosts that meet over TCP first (see `net`).
"""

from __future__ import annotations

import contextlib
import mmap
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

from vantor.cli import net
from vantor.cli.report import Progress, human_size, latency_summary
from vantor.enums import AccessFlags, EfaDeviceCaps, QPExSendOpsFlags, SendFlags, WROpcode
from vantor.helpers import Peer, PeerAddress, reg_buffer

if TYPE_CHECKING:
    import socket

    from vantor._vantor import CQ, MR, PD, QP, Context

#: The qkey both ends use (perftest's default as well).
QKEY = 0x11111111


class PerfError(Exception):
    """A measurement that cannot go on (timeout, refused configuration)."""


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


@dataclass(frozen=True)
class Settings:
    ops: Sequence[str]
    sizes: Sequence[int]
    iters: int = 1000
    warmup: int = 16
    tx_depth: int = 64
    #: Seconds without any progress after which a wait gives up.
    timeout: float = 10.0

    def as_dict(self) -> dict[str, Any]:
        return {
            "ops": [OPS[k].name for k in self.ops],
            "sizes": list(self.sizes),
            "iters": self.iters,
            "warmup": self.warmup,
            "tx_depth": self.tx_depth,
        }


@dataclass(frozen=True)
class Limits:
    """What the device allows, from its queries."""

    max_msg_sz: int
    max_rdma_size: int
    caps: int
    max_sq_wr: int
    max_rq_wr: int
    max_cqe: int

    @classmethod
    def query(cls, ctx: Context) -> Limits:
        efa = ctx.query_efa_device()
        return cls(
            max_msg_sz=ctx.query_port().max_msg_sz,
            max_rdma_size=efa.max_rdma_size,
            caps=efa.device_caps,
            max_sq_wr=efa.max_sq_wr,
            max_rq_wr=efa.max_rq_wr,
            max_cqe=ctx.query_device().max_cqe,
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


class Endpoint:
    """One side: a protection domain, send and receive CQs, an SRD queue pair
    in RTS and one registered buffer."""

    def __init__(
        self, ctx: Context, limits: Limits, buffer_size: int, tx_depth: int, rx_depth: int
    ) -> None:
        from vantor import _vantor as core

        self.tx_depth = max(1, min(tx_depth, limits.max_sq_wr, limits.max_cqe))
        self.rx_depth = max(1, min(rx_depth, limits.max_rq_wr, limits.max_cqe))
        self._stack = contextlib.ExitStack()
        try:
            self.buffer = mmap.mmap(-1, buffer_size)
            self._stack.callback(self.buffer.close)
            self.pd: PD = self._push(ctx.alloc_pd())
            self.send_cq: CQ = self._push(ctx.create_cq(self.tx_depth))
            self.recv_cq: CQ = self._push(ctx.create_cq(self.rx_depth))
            attr = core.QPInitAttr(
                self.send_cq,
                self.recv_cq,
                max_send_wr=self.tx_depth,
                max_recv_wr=self.rx_depth,
                send_ops_flags=limits.send_ops(),
            )
            self.qp: QP = self._push(self.pd.create_qp(attr))
            rnr_retry = 7 if limits.caps & EfaDeviceCaps.RNR_RETRY else None
            self.qp.prepare(QKEY, rnr_retry=rnr_retry)
            self.mr: MR = self._push(reg_buffer(self.pd, self.buffer, limits.access()))
        except BaseException:
            self._stack.close()
            raise

    def _push(self, resource: Any) -> Any:
        self._stack.callback(resource.close)
        return resource

    def address(self) -> PeerAddress:
        return PeerAddress.of(self.qp, qkey=QKEY)

    def hello(self, max_size: int = 0) -> net.Hello:
        return net.Hello(self.address(), self.mr.addr, self.mr.rkey, self.mr.length, max_size)

    def close(self) -> None:
        self._stack.close()

    def __enter__(self) -> Endpoint:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def _wait(deadline_s: float, what: Callable[[], str]) -> Callable[[bool], None]:
    """A no-progress watchdog: call it with True on progress, False otherwise."""
    limit = time.monotonic() + deadline_s

    def check(progressed: bool) -> None:
        nonlocal limit
        now = time.monotonic()
        if progressed:
            limit = now + deadline_s
        elif now > limit:
            raise PerfError(f"no progress for {deadline_s:g} s waiting for {what()}")

    return check


def _reap(cq: CQ, n: int) -> int:
    wcs = cq.poll(n)
    for wc in wcs:
        wc.raise_for_status()
    return len(wcs)


class Receiver:
    """Keeps receives posted on an endpoint for `expected` incoming SENDs."""

    def __init__(self, ep: Endpoint, size: int, expected: int) -> None:
        from vantor import _vantor as core

        self.ep = ep
        self.expected = expected
        self.posted = 0
        self.received = 0
        self._wr = core.RecvWR(0, [ep.mr.sge(size)])

    def pump(self) -> bool:
        """Reap arrived messages and top the receive queue up; True on progress."""
        got = _reap(self.ep.recv_cq, self.ep.rx_depth) if self.received < self.posted else 0
        self.received += got
        room = min(self.ep.rx_depth - (self.posted - self.received), self.expected - self.posted)
        if room > 0:
            self.ep.qp.post_recv([self._wr] * room)
            self.posted += room
        return got > 0

    def wait(self, timeout: float) -> None:
        check = _wait(timeout, lambda: f"SEND {self.received + 1} of {self.expected}")
        while self.received < self.expected:
            check(self.pump())


@dataclass(frozen=True)
class Target:
    peer: Peer
    addr: int
    rkey: int


def run_case(
    ep: Endpoint,
    target: Target,
    op: Op,
    size: int,
    settings: Settings,
    receiver: Receiver | None = None,
) -> dict[str, Any]:
    """Latency then bandwidth of one (operation, size); `receiver` is the local
    peer of a loopback SEND, which must be kept supplied with receives."""
    from vantor import _vantor as core

    wr = core.SendWR(
        0,
        [ep.mr.sge(size)],
        opcode=op.opcode,
        send_flags=SendFlags.SIGNALED,
        remote_addr=target.addr,
        rkey=target.rkey,
        dest=target.peer,
    )
    qp, cq = ep.qp, ep.send_cq
    label = f"{op.name} completions ({size} bytes)"
    sent = 0

    samples: list[int] = []
    for i in range(settings.warmup + settings.iters):
        if receiver is not None:
            receiver.pump()
        check = _wait(settings.timeout, lambda: label)
        start = time.perf_counter_ns()
        qp.post_send(wr)
        while True:
            done = _reap(cq, 1)
            if done:
                break
            check(False)
        end = time.perf_counter_ns()
        sent += 1
        if i >= settings.warmup:
            samples.append(end - start)

    batch = [wr] * ep.tx_depth
    posted = completed = 0
    check = _wait(settings.timeout, lambda: label)
    start = time.perf_counter_ns()
    while completed < settings.iters:
        room = min(ep.tx_depth - (posted - completed), settings.iters - posted)
        if receiver is not None:
            receiver.pump()
            # Never more sends than receives posted: a SEND without one fails
            # (or waits for a retry) instead of measuring anything.
            room = min(room, receiver.posted - sent)
        if room > 0:
            qp.post_send(batch[:room])
            posted += room
            sent += room
        done = _reap(cq, ep.tx_depth)
        completed += done
        check(done > 0 or room > 0)
    seconds = (time.perf_counter_ns() - start) / 1e9

    total = size * settings.iters
    return {
        "op": op.name,
        "size": size,
        "iters": settings.iters,
        "latency_us": latency_summary(samples),
        "bandwidth_MBps": round(total / seconds / 1e6, 3),
        "bandwidth_gbps": round(total * 8 / seconds / 1e9, 4),
        "msg_rate_mpps": round(settings.iters / seconds / 1e6, 4),
    }


def _document(
    mode: str, ctx: Context, settings: Settings, skipped: list[dict[str, Any]]
) -> dict[str, Any]:
    import vantor.sim

    return {
        "mode": mode,
        "device": ctx.name,
        "simulator": vantor.sim.is_active(),
        "settings": settings.as_dict(),
        "results": [],
        "skipped": skipped,
    }


def _rx_depth(settings: Settings) -> int:
    return max(2 * settings.tx_depth, 128)


def run_loopback(ctx: Context, settings: Settings, progress: Progress) -> dict[str, Any]:
    """Both ends in this process on one device, the NIC looping traffic back."""
    limits = Limits.query(ctx)
    cases, skipped = plan(settings, limits)
    doc = _document("loopback", ctx, settings, skipped)
    if not cases:
        return doc
    buffer_size = max(size for _op, size in cases)
    rx_depth = _rx_depth(settings)
    with (
        Endpoint(ctx, limits, buffer_size, settings.tx_depth, 1) as client,
        Endpoint(ctx, limits, buffer_size, 1, rx_depth) as server,
        server.address().connect(client.pd) as peer,
    ):
        target = Target(peer, server.mr.addr, server.mr.rkey)
        progress.total = len(cases)
        for op, size in cases:
            progress.step(f"{op.name} {human_size(size)}")
            receiver = None
            if op.opcode == WROpcode.SEND:
                receiver = Receiver(server, size, settings.warmup + 2 * settings.iters)
            doc["results"].append(run_case(client, target, op, size, settings, receiver))
            if receiver is not None:
                receiver.wait(settings.timeout)
            progress.advance()
    return doc


def run_client(
    ctx: Context, host: str, port: int, settings: Settings, progress: Progress
) -> dict[str, Any]:
    """This side sends; the `vantor perf --server` at host:port receives and exposes memory."""
    limits = Limits.query(ctx)
    cases, skipped = plan(settings, limits)
    doc = _document("client", ctx, settings, skipped)
    buffer_size = max([size for _op, size in cases] or [1])
    with (
        net.connect(host, port, settings.timeout) as channel,
        Endpoint(ctx, limits, buffer_size, settings.tx_depth, 1) as ep,
    ):
        theirs = net.client_hello(channel, ep.hello(buffer_size))
        doc["server"] = {"host": f"{host}:{port}", "address": repr(theirs.address)}
        if theirs.length < buffer_size:
            raise PerfError(
                f"the server registered {theirs.length} bytes, the largest case needs {buffer_size}"
            )
        with theirs.address.connect(ep.pd) as peer:
            target = Target(peer, theirs.addr, theirs.rkey)
            progress.total = len(cases)
            for op, size in cases:
                progress.step(f"{op.name} {human_size(size)}")
                count = settings.warmup + 2 * settings.iters
                if op.opcode == WROpcode.SEND:
                    channel.send({"cmd": "recv", "size": size, "count": count})
                    _expect(channel.recv(), "ready")
                doc["results"].append(run_case(ep, target, op, size, settings))
                if op.opcode == WROpcode.SEND:
                    _expect(channel.recv(), "done")
                progress.advance()
        channel.send({"cmd": "bye"})
    return doc


def _expect(msg: dict[str, Any], key: str) -> None:
    if msg.get(key) is not True:
        raise net.ProtocolError(f"expected {key!r} from the peer, got {msg!r:.120}")


def serve(
    ctx: Context,
    listener: socket.socket,
    settings: Settings,
    log: Callable[[str], None] = lambda _line: None,
) -> dict[str, Any]:
    """Serve one client: expose a buffer for its RDMA and receive its SENDs."""
    limits = Limits.query(ctx)
    channel, who = net.accept(listener, settings.timeout)
    log(f"client {who} connected")
    commands = 0
    with channel, contextlib.ExitStack() as stack:

        def answer(theirs: net.Hello) -> net.Hello:
            largest = max(limits.max_msg_sz, limits.max_rdma_size)
            if theirs.max_size > largest:
                channel.send({"error": f"messages above {largest} bytes cannot be sent here"})
                raise net.ProtocolError(f"the client asked for {theirs.max_size}-byte messages")
            ep = Endpoint(ctx, limits, max(theirs.max_size, 1), 1, _rx_depth(settings))
            endpoints.append(stack.enter_context(ep))
            return ep.hello()

        endpoints: list[Endpoint] = []
        theirs, _mine = net.server_hello(channel, answer)
        ep = endpoints[0]
        log(f"client queue pair: {theirs.address!r}")
        # Between commands the client may run RDMA cases for as long as it likes.
        channel.settimeout(None)
        while True:
            msg = channel.recv()
            cmd = msg.get("cmd")
            if cmd == "bye":
                break
            commands += 1
            if cmd != "recv":
                channel.send({"error": f"unknown command {cmd!r}"})
                raise net.ProtocolError(f"the client sent an unknown command {cmd!r}")
            size, count = msg.get("size"), msg.get("count")
            if not (isinstance(size, int) and 0 < size <= ep.mr.length):
                channel.send({"error": f"bad size {size!r}"})
                raise net.ProtocolError(f"the client asked for a bad size {size!r}")
            if not (isinstance(count, int) and count > 0):
                channel.send({"error": f"bad count {count!r}"})
                raise net.ProtocolError(f"the client asked for a bad count {count!r}")
            receiver = Receiver(ep, size, count)
            receiver.pump()
            channel.send({"ready": True})
            try:
                receiver.wait(settings.timeout)
            except Exception as exc:
                channel.send({"error": str(exc)})
                raise
            channel.send({"done": True, "received": receiver.received})
    log(f"client {who} done")
    return {
        "mode": "server",
        "device": ctx.name,
        "client": {"host": who, "address": repr(theirs.address)},
        "commands": commands,
    }
