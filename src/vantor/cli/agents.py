"""The moving parts of a `vantor perf` measurement: senders, receivers, ping-pong.

Each agent does a little work per `step()` and never waits, so that one
thread can drive both ends of a loopback test, and an end of a two-host
test can watch its control connection in between (`drive`). The one
exception is the post-to-completion latency sender, which spins on its
completion queue for the single request in flight: that wait is what it
measures, and it needs nothing from this thread's other agents.
"""

from __future__ import annotations

import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

from vantor.cli.report import latency_summary
from vantor.enums import SendFlags, WCOpcode, WROpcode

if TYPE_CHECKING:
    from vantor.cli.perf import Endpoint, Op
    from vantor.helpers import Peer


class PerfError(Exception):
    """A measurement that cannot go on (timeout, refused configuration)."""


@dataclass(frozen=True)
class Target:
    """Where one local queue pair sends: the peer queue pair and its region."""

    peer: Peer
    addr: int
    rkey: int


#: The longest a passive round waits before looking again (see `drive`).
IDLE_WAIT_S = 0.05


def watchdog(timeout: float, what: Callable[[], str]) -> Callable[[bool], None]:
    """A no-progress guard: call it with True on progress, False otherwise."""
    limit = time.monotonic() + timeout

    def check(progressed: bool) -> None:
        nonlocal limit
        now = time.monotonic()
        if progressed:
            limit = now + timeout
        elif now > limit:
            raise PerfError(f"no progress for {timeout:g} s waiting for {what()}")

    return check


def _reap(cq: Any, n: int) -> list[Any]:
    wcs: list[Any] = cq.poll(n)
    for wc in wcs:
        wc.raise_for_status()
    return wcs


class Agent:
    #: Moves nothing itself (it only watches for something to happen): a
    #: round in which only such agents are left may wait for the peer.
    passive = False

    def step(self) -> bool:
        """Do what can be done now; True when anything moved."""
        raise NotImplementedError

    @property
    def done(self) -> bool:
        raise NotImplementedError

    def waiting_for(self) -> str:
        return type(self).__name__


class Limit:
    """How long an agent sends: a number of requests, or until a moment."""

    def __init__(self, count: int | None = None, seconds: float | None = None) -> None:
        self.count = count
        self.seconds = seconds
        self.deadline_ns: int | None = None

    def start(self, now_ns: int | None = None) -> None:
        """Starts the clock of a timed limit (once; `restart` starts it again)."""
        if self.seconds is not None and self.deadline_ns is None:
            if now_ns is None:
                now_ns = time.perf_counter_ns()
            self.deadline_ns = now_ns + round(self.seconds * 1e9)

    def restart(self) -> None:
        self.deadline_ns = None
        self.start()

    def room(self, posted: int) -> int:
        """How many more requests may be posted now (a large number when timed,
        also before its clock has started)."""
        if self.count is not None:
            return self.count - posted
        if self.deadline_ns is None:
            return 1 << 30
        return 1 << 30 if time.perf_counter_ns() < self.deadline_ns else 0


def _send_wr(ep: Endpoint, target: Target, op: Op, size: int, wr_id: int, imm: bool) -> Any:
    from vantor import _vantor as core

    opcode = op.opcode
    if imm:
        opcode = WROpcode.SEND_WITH_IMM if opcode == WROpcode.SEND else WROpcode.RDMA_WRITE_WITH_IMM
    return core.SendWR(
        wr_id,
        [ep.mr.sge(size)],
        opcode=opcode,
        send_flags=SendFlags.SIGNALED,
        remote_addr=target.addr,
        rkey=target.rkey,
        dest=target.peer,
    )


class Sender(Agent):
    """Keeps up to `depth` requests in flight on each queue pair of `ep`.

    With ``timed=True`` (depth 1, one queue pair) every request is timed
    from its post to its completion. Otherwise the completions are sampled
    for the bandwidth: first post to last completion on average, and the
    best stretch of at least one queue's worth of messages as the peak.
    """

    def __init__(
        self,
        ep: Endpoint,
        targets: Sequence[Target],
        op: Op,
        size: int,
        limit: Limit,
        *,
        depth: int,
        warmup: int = 0,
        timed: bool = False,
        imm: bool = False,
    ) -> None:
        self.ep, self.op, self.size, self.limit = ep, op, size, limit
        self.depth = depth
        self.warmup = warmup
        self.timed = timed
        self.batches = [[_send_wr(ep, t, op, size, i, imm)] * depth for i, t in enumerate(targets)]
        self.outstanding = [0] * len(targets)
        self.posted = self.completed = 0
        self.samples: list[int] = []
        self.marks: list[tuple[int, int]] = []  # (ns, completed) after each reap
        self.first_post_ns = 0
        self.last_completion_ns = 0
        self._next = 0  # round robin over the queue pairs

    @property
    def done(self) -> bool:
        return self.completed == self.posted and self.limit.room(self.posted) <= 0

    def waiting_for(self) -> str:
        return f"{self.op.name} completions ({self.size} bytes)"

    def _post(self, qp_index: int, n: int) -> None:
        batch = self.batches[qp_index]
        self.ep.qps[qp_index].post_send(batch if n == self.depth else batch[:n])
        self.outstanding[qp_index] += n
        self.posted += n

    def step(self) -> bool:
        if self.timed:
            self.limit.start()
            return self._timed_step()
        moved = False
        wcs = _reap(self.ep.send_cq, 256)
        if wcs:
            for wc in wcs:
                self.outstanding[wc.wr_id] -= 1
            self.completed += len(wcs)
            now = time.perf_counter_ns()
            self.last_completion_ns = now
            self.marks.append((now, self.completed))
            moved = True
        room = self.limit.room(self.posted)
        nqps = len(self.batches)
        for k in range(nqps):
            if room <= 0:
                break
            i = (self._next + k) % nqps
            n = min(self.depth - self.outstanding[i], room)
            if n > 0:
                if not self.posted:
                    # a timed phase lasts its whole duration from its first post
                    self.first_post_ns = time.perf_counter_ns()
                    self.limit.start(self.first_post_ns)
                    self.marks.append((self.first_post_ns, 0))
                self._post(i, n)
                room -= n
                moved = True
        self._next = (self._next + 1) % nqps
        return moved

    def _timed_step(self) -> bool:
        if self.limit.room(self.posted) <= 0:
            return False
        cq = self.ep.send_cq
        start = time.perf_counter_ns()
        self._post(0, 1)
        while not _reap(cq, 1):
            if time.perf_counter_ns() - start > self.ep.timeout_ns:
                seconds = self.ep.timeout_ns / 1e9
                raise PerfError(f"no progress for {seconds:g} s waiting for {self.waiting_for()}")
        end = time.perf_counter_ns()
        self.outstanding[0] -= 1
        self.completed += 1
        if self.completed > self.warmup:
            self.samples.append(end - start)
        elif self.completed == self.warmup and self.limit.count is None:
            self.limit.restart()  # a timed run counts from the end of the warm-up
        return True

    def bandwidth(self) -> dict[str, Any]:
        return bandwidth_summary([self], self.size, window=max(1, self.depth * len(self.batches)))


def _peak(sender: Sender, size: int, window: int) -> float:
    """Bytes per second over the best stretch of at least `window` completions."""
    peak = 0.0
    base_ns, base_n = sender.marks[0] if sender.marks else (0, 0)
    for ns, n in sender.marks[1:]:
        if n - base_n >= window and ns > base_ns:
            peak = max(peak, (n - base_n) * size / ((ns - base_ns) / 1e9))
            base_ns, base_n = ns, n
    return peak


def bandwidth_summary(senders: Sequence[Sender], size: int, window: int) -> dict[str, Any]:
    """Average and peak over all senders of one measurement (both directions
    of a bidirectional one): the average over the whole span, the peak as the
    sum of each sender's best stretch (never below the average)."""
    messages = sum(s.completed for s in senders)
    start = min((s.first_post_ns for s in senders if s.posted), default=0)
    # A timed sender posts until its deadline: its phase lasted at least that long
    # even when its last completion came in before the deadline.
    end = max((max(s.last_completion_ns, s.limit.deadline_ns or 0) for s in senders), default=0)
    seconds = max(end - start, 1) / 1e9
    avg = messages * size / seconds
    peak = max(avg, sum(_peak(s, size, window) for s in senders))
    return {
        "messages": messages,
        "seconds": round(seconds, 6),
        "avg_MBps": round(avg / 1e6, 3),
        "avg_gbps": round(avg * 8 / 1e9, 4),
        "peak_MBps": round(peak / 1e6, 3),
        "peak_gbps": round(peak * 8 / 1e9, 4),
        "msg_rate_mpps": round(messages / seconds / 1e6, 4),
    }


class Receiver(Agent):
    """Keeps receives posted on every queue pair of `ep` and counts arrivals.

    One per endpoint for its whole life (the receives it posted stay on the
    queue pairs from one case to the next); `on_arrival` lets a ping-pong
    responder answer each message. It is never done by itself: whoever
    drives it knows how many messages to wait for.
    """

    def __init__(self, ep: Endpoint, size: int) -> None:
        from vantor import _vantor as core

        self.ep = ep
        self.arrived = 0
        self.on_arrival: Callable[[Any], None] | None = None
        self.posted = [0] * len(ep.qps)
        self.wrs = [[core.RecvWR(i, [ep.mr.sge(size)])] * ep.rx_depth for i in range(len(ep.qps))]
        self._top_up()

    @property
    def done(self) -> bool:
        return True

    def _top_up(self) -> None:
        for i, qp in enumerate(self.ep.qps):
            n = self.ep.rx_depth - self.posted[i]
            if n > 0:
                qp.post_recv(self.wrs[i][:n])
                self.posted[i] += n

    def step(self) -> bool:
        wcs = _reap(self.ep.recv_cq, 256)
        if not wcs:
            return False
        for wc in wcs:
            if wc.opcode not in (WCOpcode.RECV, WCOpcode.RECV_RDMA_WITH_IMM):
                raise PerfError(f"unexpected completion {wc!r} on the receive queue")
            self.posted[wc.wr_id] -= 1
            if self.on_arrival is not None:
                self.on_arrival(wc)
        self.arrived += len(wcs)
        self._top_up()
        return True


class Arrivals(Agent):
    """Done once `count()` messages arrived at a receiver since it was made."""

    def __init__(self, receiver: Receiver, count: Callable[[], int | None]) -> None:
        self.receiver = receiver
        self.base = receiver.arrived
        self.count = count

    @property
    def got(self) -> int:
        return self.receiver.arrived - self.base

    @property
    def done(self) -> bool:
        want = self.count()
        return want is not None and self.got >= want

    def waiting_for(self) -> str:
        return f"message {self.got + 1} of {self.count() or '?'} to arrive"

    def step(self) -> bool:
        return self.receiver.step()


class Echo(Agent):
    """The passive end of a ping-pong: answers every message with one of its own.

    Done once `count()` messages were answered and their completions reaped.
    """

    def __init__(
        self, ep: Endpoint, target: Target, op: Op, size: int, count: Callable[[], int | None]
    ) -> None:
        self.ep = ep
        self.wr = _send_wr(ep, target, op, size, 0, imm=op.opcode != WROpcode.SEND)
        self.arrivals = Arrivals(ep.receiver, count)
        self.answered = self.completed = 0

    def answer(self, _wc: Any) -> None:
        self.ep.qps[0].post_send(self.wr)
        self.answered += 1

    @property
    def done(self) -> bool:
        return self.arrivals.done and self.completed == self.answered

    def waiting_for(self) -> str:
        return f"ping {self.answered + 1}"

    def step(self) -> bool:
        self.ep.receiver.on_arrival = self.answer
        try:
            moved = self.arrivals.step()
        finally:
            self.ep.receiver.on_arrival = None
        got = len(_reap(self.ep.send_cq, 256))
        self.completed += got
        return moved or got > 0


class Pinger(Agent):
    """The active end of a ping-pong: one message out, wait for the answer,
    half the round trip as the latency."""

    def __init__(
        self, ep: Endpoint, target: Target, op: Op, size: int, limit: Limit, warmup: int
    ) -> None:
        self.ep, self.op, self.size, self.limit = ep, op, size, limit
        self.warmup = warmup
        self.wr = _send_wr(ep, target, op, size, 0, imm=op.opcode != WROpcode.SEND)
        self.arrivals = Arrivals(ep.receiver, lambda: self.posted)
        self.posted = self.completed = 0
        self.samples: list[int] = []
        self._start = 0

    @property
    def _in_flight(self) -> bool:
        return self.arrivals.got < self.posted

    @property
    def done(self) -> bool:
        return (
            not self._in_flight
            and self.completed == self.posted
            and self.limit.room(self.posted) <= 0
        )

    def waiting_for(self) -> str:
        return f"the answer to {self.op.name} ping {self.posted} ({self.size} bytes)"

    def step(self) -> bool:
        self.limit.start()
        moved = False
        got = len(_reap(self.ep.send_cq, 16))
        self.completed += got
        if self._in_flight and self.arrivals.step() and not self._in_flight:
            end = time.perf_counter_ns()
            moved = True
            answered = self.arrivals.got
            if answered > self.warmup:
                self.samples.append((end - self._start) // 2)
            elif answered == self.warmup and self.limit.count is None:
                self.limit.restart()
        if not self._in_flight and self.limit.room(self.posted) > 0:
            self._start = time.perf_counter_ns()
            self.ep.qps[0].post_send(self.wr)
            self.posted += 1
            moved = True
        return moved or got > 0


def latency(samples: Sequence[int]) -> dict[str, float | None]:
    """Statistics of the samples in microseconds; all None when none were taken."""
    if not samples:
        return dict.fromkeys(("min", "avg", "stdev", "p50", "p90", "p99", "p99.9", "max"))
    return dict(latency_summary(samples))


def drive(
    agents: Sequence[Agent],
    timeout: float,
    between: Callable[[], bool] | None = None,
    wait: Callable[[float], None] | None = None,
) -> None:
    """Step every agent until all are done; `between` runs after each round
    (the control connection of a two-host test) and may report progress.
    When a round moved nothing and only passive agents are left, `wait`
    (given) blocks until the peer may have said something, at most the
    seconds it is given: the side of a one-sided test that only waits for
    the other then leaves its CPU to the device's progress and the other
    side, instead of spinning."""
    pending = list(agents)

    def what() -> str:
        return ", ".join(a.waiting_for() for a in pending if not a.done) or "the peer"

    check = watchdog(timeout, what)
    while True:
        moved = False
        for agent in pending:
            moved = agent.step() or moved
        if between is not None:
            moved = between() or moved
        if all(a.done for a in pending):
            return
        check(moved)
        if not moved and wait is not None and all(a.passive for a in pending if not a.done):
            wait(IDLE_WAIT_S)
