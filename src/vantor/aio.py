"""Completions in asyncio: await them instead of blocking a thread.

A completion channel has a file descriptor that becomes readable when an
armed queue raises its event; the event loop watches it
(``loop.add_reader``) like any socket, so a coroutine can wait for
completions while the loop runs everything else::

    channel = ctx.create_comp_channel()
    cq = ctx.create_cq(256, channel=channel)
    ...
    wcs = await vantor.aio.wait_completions(cq, 8, timeout=5)

The queue must have been created with a channel, and while a coroutine
waits the channel must serve only that queue (the loop allows one reader
per descriptor). The wait polls first, arms the queue, polls once more
(a completion that arrived before the arming raises no event), then awaits
the descriptor; each event is taken and acknowledged at once.
"""

from __future__ import annotations

import asyncio
from typing import TYPE_CHECKING, Any

from vantor.completions import CompletionTimeout, _check, _drain, _raise_failed, take_event

if TYPE_CHECKING:
    from vantor._vantor import WC

__all__ = ["CompletionTimeout", "readable", "wait_completions"]


async def readable(fd: int) -> None:
    """Return once ``fd`` is readable, without blocking the event loop."""
    loop = asyncio.get_running_loop()
    ready: asyncio.Future[None] = loop.create_future()

    def wake() -> None:
        if not ready.done():
            ready.set_result(None)

    loop.add_reader(fd, wake)
    try:
        await ready
    finally:
        loop.remove_reader(fd)


async def wait_completions(
    cq: Any, n: int, timeout: float | None = None, *, check: bool = False
) -> list[WC]:
    """Await ``n`` completions of ``cq``; returns exactly ``n`` work completions.

    ``timeout`` (seconds) bounds the wait: :class:`CompletionTimeout`
    (a ``TimeoutError``) then carries the completions that did arrive.
    Cancelling the task leaves the completions it had taken in nobody's
    hands; use a timeout when they matter. ``check=True`` raises
    ``CompletionError`` for the first failed completion.
    """
    n = _check(n, timeout, 0.0)
    channel = cq.channel
    if channel is None:
        raise ValueError("the queue has no completion channel: create it with channel=...")
    done: list[WC] = []
    loop = asyncio.get_running_loop()
    deadline = None if timeout is None else loop.time() + timeout
    while len(done) < n:
        if _drain(cq, n - len(done), done):
            continue
        cq.req_notify()
        if _drain(cq, n - len(done), done):
            continue
        if deadline is None:
            await readable(channel.fd)
        else:
            left = deadline - loop.time()
            try:
                if left <= 0:
                    raise asyncio.TimeoutError
                await asyncio.wait_for(readable(channel.fd), left)
            except asyncio.TimeoutError:
                _drain(cq, n - len(done), done)
                if len(done) < n:
                    raise CompletionTimeout(n, done, timeout or 0.0) from None
                break
        take_event(channel)
    if check:
        _raise_failed(done)
    return done
