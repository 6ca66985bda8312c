"""`vantor perf --client/--server`: the two ends of a measurement on two hosts.

The client runs the cases. For each phase of a case it tells the server
what comes (`{"cmd": "phase", ...}`), the server gets ready (receives
posted, a responder for a ping-pong, a sender of its own for a
bidirectional test) and says so; then both run, watching the control
connection between steps. Each side says how many messages it sent once
its sender is done (`{"sent": n}`), so the other knows how many to wait
for, and the server closes the phase with `{"done": ...}`.
"""

from __future__ import annotations

import contextlib
from collections.abc import Callable
from typing import TYPE_CHECKING, Any

from vantor.cli import net
from vantor.cli.agents import (
    Agent,
    Arrivals,
    Echo,
    PerfError,
    Pinger,
    Sender,
    drive,
)
from vantor.cli.perf import (
    OPS,
    Endpoint,
    Limits,
    Op,
    Settings,
    address_dict,
    latency_kind,
    plan_run,
    result_row,
)
from vantor.cli.report import Progress, human_size
from vantor.enums import WCStatus, WROpcode

if TYPE_CHECKING:
    import socket

    from vantor._vantor import Context
    from vantor.cli.agents import Target

PHASES = ("latency", "bandwidth")


class Until(Agent):
    """Done once `ready()` says so; moves nothing itself."""

    passive = True

    def __init__(self, ready: Callable[[], bool], what: str) -> None:
        self.ready, self.what = ready, what

    @property
    def done(self) -> bool:
        return self.ready()

    def waiting_for(self) -> str:
        return self.what

    def step(self) -> bool:
        return False


class Peer:
    """What the other side said during a phase."""

    def __init__(self, channel: net.Channel) -> None:
        self.channel = channel
        self.sent: int | None = None
        self.done: dict[str, Any] | None = None

    def listen(self) -> bool:
        msg = self.channel.poll()
        if msg is None:
            return False
        if "sent" in msg and self.sent is None:
            sent = msg["sent"]
            if not (isinstance(sent, int) and sent >= 0):
                raise net.ProtocolError(f"bad message count {sent!r}")
            self.sent = sent
        if msg.get("done") is True:
            self.done = msg
        return True


def _local_agents(
    ep: Endpoint,
    targets: list[Target],
    op: Op,
    size: int,
    phase: str,
    settings: Settings,
    peer: Peer,
) -> tuple[list[Agent], list[Sender], Any]:
    """This side's part of a phase: what it sends, and what it waits to receive.

    Returns (agents, bandwidth senders, the latency source or None)."""
    agents: list[Agent] = []
    senders: list[Sender] = []
    source: Any = None
    if phase == "latency":
        if latency_kind(op, settings) == "half_round_trip":
            source = Pinger(
                ep, targets[0], op, size, settings.limit(settings.warmup), settings.warmup
            )
        else:
            source = Sender(
                ep, targets[:1], op, size, settings.limit(settings.warmup), depth=1,
                warmup=settings.warmup, timed=True,
            )  # fmt: skip
        agents.append(source)
    else:
        senders.append(Sender(ep, targets, op, size, settings.limit(), depth=settings.tx_depth))
        agents += senders
        if settings.bidirectional and op.opcode == WROpcode.SEND:
            agents.append(Arrivals(ep.receiver, lambda: peer.sent))
    return agents, senders, source


def _stopped_answering(exc: BaseException, where: str) -> PerfError | None:
    status = getattr(exc, "status", None)
    if status in (WCStatus.RESP_TIMEOUT_ERR, WCStatus.RNR_RETRY_EXC_ERR):
        return PerfError(f"the server at {where} stopped answering ({exc}); is it still running?")
    return None


def client_case(
    ep: Endpoint,
    channel: net.Channel,
    targets: list[Target],
    op: Op,
    size: int,
    settings: Settings,
) -> dict[str, Any]:
    """Both phases of one case against the server; returns the result row."""
    samples: list[int] = []
    kind = latency_kind(op, settings)
    row_senders: list[Sender] = []
    theirs: dict[str, Any] | None = None
    for phase in PHASES:
        channel.send(
            {
                "cmd": "phase", "phase": phase, "op": op.name, "size": size,
                "pingpong": kind == "half_round_trip", "bidirectional": settings.bidirectional,
                "iters": settings.iters, "duration": settings.duration, "warmup": settings.warmup,
            }
        )  # fmt: skip
        reply = channel.recv()
        if reply.get("ready") is not True:
            raise net.ProtocolError(f"expected 'ready' from the server, got {reply!r:.120}")
        peer = Peer(channel)
        agents, senders, source = _local_agents(ep, targets, op, size, phase, settings, peer)
        told = False

        def between(mine: Any = agents[0], peer: Peer = peer) -> bool:
            nonlocal told
            if not told and mine.done:
                channel.send({"sent": mine.posted})
                told = True
            return peer.listen()

        answered = Until(lambda peer=peer: peer.done is not None, "the server")  # type: ignore[misc]
        drive([*agents, answered], settings.timeout, between)
        if phase == "latency":
            samples = source.samples
        else:
            row_senders, theirs = senders, (peer.done or {}).get("bandwidth")
    row = result_row(op, size, kind, samples, row_senders, settings)
    if theirs:
        row["bandwidth"] = _combine(row["bandwidth"], theirs)
    return row


def _combine(mine: dict[str, Any], theirs: dict[str, Any]) -> dict[str, Any]:
    """Both directions of a bidirectional test (the two clocks are not
    compared: rates add up, the longer side gives the duration)."""
    out = dict(mine)
    for key in ("messages", "avg_MBps", "avg_gbps", "peak_MBps", "peak_gbps", "msg_rate_mpps"):
        out[key] = round(mine[key] + theirs.get(key, 0), 4)
    out["seconds"] = max(mine["seconds"], theirs.get("seconds", 0))
    return out


def run_client(
    ctx: Context,
    host: str,
    port: int,
    settings: Settings,
    progress: Progress,
    doc: dict[str, Any],
) -> None:
    """This side runs the cases against the `vantor perf --server` at host:port."""
    planned = plan_run(ctx, settings, doc)
    if planned is None:
        return
    limits, cases, buffer_size = planned
    where = f"{host}:{port}"
    with (
        net.connect(host, port, settings.timeout) as channel,
        Endpoint(ctx, limits, buffer_size, settings) as ep,
    ):
        mine = net.Hello(
            tuple(ep.addresses()), ep.mr.addr, ep.mr.rkey, ep.mr.length, buffer_size,
            settings.tx_depth,
        )  # fmt: skip
        try:
            theirs = net.client_hello(channel, mine)
        except ConnectionError:
            raise PerfError(
                f"the server at {where} closed the connection during the hello"
            ) from None
        doc["server"] = {"host": where, "address": address_dict(theirs.address)}
        if theirs.length < buffer_size:
            raise PerfError(
                f"the server registered {theirs.length} bytes, the largest case needs {buffer_size}"
            )
        if len(theirs.addresses) != len(ep.qps):
            raise net.ProtocolError(
                f"the server has {len(theirs.addresses)} queue pair(s), this side {len(ep.qps)}"
            )
        targets = ep.connect(theirs.addresses, theirs.addr, theirs.rkey)
        progress.total = len(cases)
        for op, size in cases:
            progress.step(f"{op.name} {human_size(size)}")
            try:
                doc["results"].append(client_case(ep, channel, targets, op, size, settings))
            except OSError as exc:
                stopped = _stopped_answering(exc, where)
                if stopped is not None:
                    raise stopped from None
                if isinstance(exc, ConnectionError):
                    raise PerfError(
                        f"the server at {where} closed the connection mid-run"
                    ) from None
                raise
            progress.advance()
        channel.send({"cmd": "bye"})


def _phase_command(msg: dict[str, Any], ep: Endpoint) -> tuple[Op, int, str]:
    ops = {op.name: op for op in OPS.values()}
    op, size, phase = ops.get(str(msg.get("op"))), msg.get("size"), msg.get("phase")
    if op is None or phase not in PHASES:
        raise net.ProtocolError(f"the client asked for an unknown phase {msg!r:.120}")
    if not (isinstance(size, int) and 0 < size <= ep.mr.length):
        raise net.ProtocolError(f"the client asked for a bad size {size!r}")
    return op, size, phase


def serve(
    ctx: Context,
    listener: socket.socket,
    settings: Settings,
    doc: dict[str, Any],
    log: Callable[[str], None] = lambda _line: None,
) -> None:
    """Serve one client: expose a buffer for its RDMA, receive its SENDs,
    answer its pings and, for a bidirectional test, send as well; what was
    served goes into `doc["served"]`."""
    limits = Limits.query(ctx)
    channel, who = net.accept(listener, settings.timeout)
    log(f"client {who} connected")
    doc["client"] = {"host": who}
    served: list[dict[str, Any]] = doc.setdefault("served", [])
    with channel, contextlib.ExitStack() as stack:
        theirs = net.Hello.from_message(channel.recv())
        largest = max(limits.max_msg_sz, limits.max_rdma_size)
        if theirs.max_size > largest:
            channel.send({"error": f"messages above {largest} bytes cannot be sent here"})
            raise net.ProtocolError(f"the client asked for {theirs.max_size}-byte messages")
        mine = Settings(
            ops=settings.ops, sizes=settings.sizes, timeout=settings.timeout,
            qps=len(theirs.addresses), tx_depth=theirs.tx_depth, memory=settings.memory,
        )  # fmt: skip
        mine, notes = limits.fit(mine)
        doc["notes"] += notes
        if mine.qps != len(theirs.addresses):
            channel.send({"error": f"this device has room for {mine.qps} queue pair(s)"})
            raise net.ProtocolError(f"the client asked for {len(theirs.addresses)} queue pairs")
        ep = stack.enter_context(Endpoint(ctx, limits, max(theirs.max_size, 1), mine))
        channel.send(
            net.Hello(
                tuple(ep.addresses()), ep.mr.addr, ep.mr.rkey, ep.mr.length, 0, mine.tx_depth
            ).to_message()
        )
        doc["client"]["address"] = address_dict(theirs.address)
        log(f"client queue pair(s): {', '.join(a.hex() for a in theirs.addresses)}")
        targets = ep.connect(theirs.addresses, theirs.addr, theirs.rkey)
        # Between phases the client may take as long as it likes.
        channel.settimeout(None)
        while True:
            msg = channel.recv()
            cmd = msg.get("cmd")
            if cmd == "bye":
                break
            if cmd != "phase":
                channel.send({"error": f"unknown command {cmd!r}"})
                raise net.ProtocolError(f"the client sent an unknown command {cmd!r}")
            try:
                served.append(_serve_phase(ep, channel, targets, msg, mine))
            except Exception as exc:
                with contextlib.suppress(OSError, net.ProtocolError):
                    channel.send({"error": str(exc)})
                raise
            channel.settimeout(None)
    log(f"client {who} done")


def _serve_phase(
    ep: Endpoint,
    channel: net.Channel,
    targets: list[Target],
    msg: dict[str, Any],
    settings: Settings,
) -> dict[str, Any]:
    op, size, phase = _phase_command(msg, ep)
    channel.settimeout(settings.timeout)
    peer = Peer(channel)
    agents: list[Agent] = []
    sender: Sender | None = None
    receives: Arrivals | Echo | None = None
    if phase == "latency" and msg.get("pingpong"):
        receives = Echo(ep, targets[0], op, size, lambda: peer.sent)
    elif op.opcode == WROpcode.SEND:
        receives = Arrivals(ep.receiver, lambda: peer.sent)
    if receives is not None:
        agents.append(receives)
    if phase == "bandwidth" and msg.get("bidirectional"):
        duration = msg.get("duration")
        iters = msg.get("iters")
        mine = Settings(
            ops=settings.ops, sizes=settings.sizes, qps=settings.qps, tx_depth=settings.tx_depth,
            duration=float(duration) if isinstance(duration, (int, float)) else None,
            iters=iters if isinstance(iters, int) and iters > 0 else 1,
        )  # fmt: skip
        sender = Sender(ep, targets, op, size, mine.limit(), depth=settings.tx_depth)
        agents.append(sender)
    channel.send({"ready": True})
    told = sender is None

    def between() -> bool:
        nonlocal told
        if not told and sender is not None and sender.done:
            channel.send({"sent": sender.posted})
            told = True
        return peer.listen()

    drive(
        [*agents, Until(lambda: peer.sent is not None, "the client")],
        settings.timeout,
        between,
        channel.wait,
    )
    received = (
        receives.arrivals.got if isinstance(receives, Echo) else (receives.got if receives else 0)
    )
    done: dict[str, Any] = {"done": True, "received": received}
    if sender is not None:
        done["bandwidth"] = sender.bandwidth()
    channel.send(done)
    return {
        "op": op.name,
        "size": size,
        "phase": phase,
        "received": received,
        "sent": sender.posted
        if sender
        else (receives.answered if isinstance(receives, Echo) else 0),
        "client_sent": peer.sent,
    }
