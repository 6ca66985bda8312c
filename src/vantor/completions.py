"""Waiting for completions without burning a core or starving other threads.

Polling a completion queue never waits; a program that has nothing else to
do wants to *wait* for its completions. The pattern every verbs program
uses is:

1. poll for a short while (a completion usually arrives within microseconds);
2. arm the queue (``cq.req_notify()``) and poll once more, to catch a
   completion that arrived just before the arming;
3. sleep on the completion channel's descriptor until the device raises the
   event, take the event (``channel.get_cq_event()``) and acknowledge it
   (``cq.ack_events()``); then poll again.

:func:`wait_completions` does exactly that, with a timeout. A queue created
without a channel cannot be slept on: it is polled until the timeout,
giving other threads their turn between empty polls.

A thread that polls in a tight loop keeps the interpreter lock to itself:
each ``poll`` releases and takes it back at once, and the other Python
threads of the process (the producer and consumer of a pipeline) rarely get
it. ``yield_gil=True`` makes every empty poll hand the lock over
(``time.sleep(0)``), which is what a dedicated polling thread should do.

For asyncio, see :mod:`vantor.aio`: the same wait, with the channel's
descriptor watched by the event loop instead of a blocked thread.

This module does not import the native core; it only calls methods of the
objects given to it.
"""

from __future__ import annotations

import select
import time
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from vantor._vantor import WC, CompChannel

__all__ = ["DEFAULT_SPIN", "CompletionTimeout", "wait_completions"]

#: Seconds a wait polls before it sleeps on the completion channel.
DEFAULT_SPIN = 50e-6
#: Most completions asked of the queue in one poll.
_MAX_BATCH = 64


class CompletionTimeout(TimeoutError):
    """Fewer completions than asked for arrived in time.

    ``completions`` holds those that did arrive: they are taken off the
    queue, so a caller must not drop them.
    """

    def __init__(self, wanted: int, completions: list[WC], timeout: float) -> None:
        super().__init__(
            f"{len(completions)} of {wanted} completion(s) arrived within {timeout:g} s"
        )
        self.completions = completions


def _check(n: Any, timeout: Any, spin: Any) -> int:
    if isinstance(n, bool) or not isinstance(n, int):
        raise TypeError(f"n must be an integer, not {type(n).__name__}")
    if n < 0:
        raise ValueError(f"n must not be negative (got {n})")
    if timeout is not None and not timeout >= 0:
        raise ValueError(
            f"timeout must be None or a non-negative number of seconds (got {timeout!r})"
        )
    if not spin >= 0:
        raise ValueError(f"spin must be a non-negative number of seconds (got {spin!r})")
    return n


def _drain(cq: Any, want: int, into: list[WC]) -> int:
    got = cq.poll(min(want, _MAX_BATCH))
    into.extend(got)
    return len(got)


def _raise_failed(completions: list[WC]) -> None:
    for wc in completions:
        wc.raise_for_status()


def take_event(channel: CompChannel) -> None:
    """Take one event off a readable channel and acknowledge it on its queue."""
    cq = channel.get_cq_event()
    cq.ack_events(1)


def wait_completions(
    cq: Any,
    n: int,
    timeout: float | None = None,
    *,
    spin: float = DEFAULT_SPIN,
    yield_gil: bool = False,
    check: bool = False,
) -> list[WC]:
    """Wait until ``n`` completions of ``cq`` (a ``CQ`` or ``CQEx``) have arrived.

    Returns exactly ``n`` work completions, in the order the queue gave
    them. Polls for ``spin`` seconds, then sleeps on the queue's completion
    channel (when it was created with one; each event is acknowledged at
    once). Without a channel it keeps polling, handing the interpreter lock
    to other threads between empty polls.

    ``timeout`` (seconds, ``None`` for no limit) bounds the whole wait;
    :class:`CompletionTimeout` then carries the completions that did arrive.
    ``yield_gil=True`` hands the interpreter lock over after every empty
    poll, for a polling thread that shares the process with other Python
    threads. ``check=True`` raises ``CompletionError`` for the first failed
    completion (after all ``n`` are taken).

    The channel must serve only this queue while it waits: an event of
    another queue on the same channel would be taken and acknowledged here.
    """
    n = _check(n, timeout, spin)
    done: list[WC] = []
    start = time.monotonic()
    deadline = None if timeout is None else start + timeout
    spin_until = start + spin
    channel = cq.channel
    while len(done) < n:
        if _drain(cq, n - len(done), done):
            continue
        now = time.monotonic()
        if deadline is not None and now >= deadline:
            raise CompletionTimeout(n, done, timeout or 0.0)
        if now < spin_until:
            if yield_gil:
                time.sleep(0)
            continue
        if channel is None:
            time.sleep(0)  # nothing to sleep on: poll, but let others run
            continue
        cq.req_notify()
        # A completion that arrived before the arming raises no event.
        if _drain(cq, n - len(done), done):
            continue
        left = None if deadline is None else max(0.0, deadline - time.monotonic())
        if select.select([channel.fd], [], [], left)[0]:
            take_event(channel)
    if check:
        _raise_failed(done)
    return done
