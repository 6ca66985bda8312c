"""The out-of-band channel of `vantor perf --server/--client`: JSON lines over TCP.

Like perftest, the two sides meet over a TCP connection before any RDMA
traffic: each sends a hello carrying its queue pairs' encoded
:class:`~vantor.helpers.PeerAddress` and the registered buffer that the
other side may read or write; the client then drives the test with small
commands, one per phase of each case, and both sides tell each other how
many messages they sent, so each knows when it has received them all.
"""

from __future__ import annotations

import json
import select
import socket
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from vantor.helpers import PeerAddress, PeerAddressError

#: The TCP port perftest uses too.
DEFAULT_PORT = 18515
PROTOCOL = "vantor-perf"
PROTOCOL_VERSION = 2
_MAX_LINE = 1 << 16
#: Most queue pairs a hello may announce.
MAX_QPS = 1024


class ProtocolError(Exception):
    """The peer sent something this side cannot use."""


def _u(value: Any, top: int) -> bool:
    return isinstance(value, int) and not isinstance(value, bool) and 0 <= value <= top


@dataclass(frozen=True)
class Hello:
    """One side's introduction: where its queue pairs are and what it exposes."""

    addresses: tuple[PeerAddress, ...]
    #: Registered buffer the peer may target with RDMA (address, rkey, length).
    addr: int
    rkey: int
    length: int
    #: Largest message the sender will use (the receiver sizes its buffer by it).
    max_size: int = 0
    #: Requests the sender keeps in flight per queue pair (the server sends as
    #: deep in a bidirectional test).
    tx_depth: int = 1

    @property
    def address(self) -> PeerAddress:
        return self.addresses[0]

    def to_message(self) -> dict[str, Any]:
        return {
            "protocol": PROTOCOL,
            "version": PROTOCOL_VERSION,
            "addresses": [a.hex() for a in self.addresses],
            "addr": self.addr,
            "rkey": self.rkey,
            "length": self.length,
            "max_size": self.max_size,
            "tx_depth": self.tx_depth,
        }

    @classmethod
    def from_message(cls, msg: dict[str, Any]) -> Hello:
        if msg.get("protocol") != PROTOCOL:
            raise ProtocolError(f"the peer is not a vantor perf endpoint (got {msg!r:.80})")
        if msg.get("version") != PROTOCOL_VERSION:
            raise ProtocolError(
                f"the peer speaks vantor perf protocol version {msg.get('version')!r}, "
                f"this side version {PROTOCOL_VERSION}: run the same vantor on both hosts"
            )
        try:
            raw = msg["addresses"]
            values = [msg[k] for k in ("addr", "rkey", "length", "max_size", "tx_depth")]
        except KeyError as exc:
            raise ProtocolError(f"hello without {exc.args[0]!r}") from None
        if not isinstance(raw, list) or not 1 <= len(raw) <= MAX_QPS:
            raise ProtocolError(f"bad queue pair list in hello: {raw!r:.80}")
        try:
            addresses = tuple(PeerAddress.fromhex(str(a)) for a in raw)
        except PeerAddressError as exc:
            raise ProtocolError(f"bad peer address in hello: {exc}") from None
        limits = (2**64 - 1, 2**32 - 1, 2**64 - 1, 2**64 - 1, 2**31 - 1)
        if not all(_u(v, top) for v, top in zip(values, limits)) or values[4] < 1:
            raise ProtocolError(f"bad buffer description in hello: {values!r}")
        addr, rkey, length, max_size, tx_depth = values
        return cls(addresses, addr, rkey, length, max_size, tx_depth)


class Channel:
    """Newline-delimited JSON objects over a connected socket, read either
    blocking (`recv`) or without waiting (`poll`)."""

    def __init__(self, sock: socket.socket, timeout: float | None) -> None:
        sock.setblocking(False)
        self.sock = sock
        self.timeout = timeout
        self._buf = b""
        self._closed = False

    def send(self, msg: dict[str, Any]) -> None:
        data = json.dumps(msg).encode() + b"\n"
        while data:
            if not select.select([], [self.sock], [], self.timeout)[1]:
                raise ProtocolError("timed out sending to the peer")
            try:
                data = data[self.sock.send(data) :]
            except BlockingIOError:
                continue
            except OSError as exc:
                raise ConnectionError(
                    f"the peer closed the connection ({exc.strerror or exc})"
                ) from None

    def settimeout(self, timeout: float | None) -> None:
        self.timeout = timeout

    def _line(self) -> bytes | None:
        cut = self._buf.find(b"\n")
        if cut < 0:
            if len(self._buf) > _MAX_LINE:
                raise ProtocolError("the peer sent an overlong or truncated message")
            return None
        line, self._buf = self._buf[: cut + 1], self._buf[cut + 1 :]
        if len(line) > _MAX_LINE:
            raise ProtocolError("the peer sent an overlong or truncated message")
        return line

    def _fill(self) -> bool:
        """Read what has arrived; False when nothing had."""
        try:
            chunk = self.sock.recv(1 << 16)
        except BlockingIOError:
            return False
        except OSError as exc:
            raise ConnectionError(
                f"the peer closed the connection ({exc.strerror or exc})"
            ) from None
        if not chunk:
            if self._buf:
                raise ProtocolError("the peer sent an overlong or truncated message")
            raise ConnectionError("the peer closed the connection")
        self._buf += chunk
        return True

    def poll(self) -> dict[str, Any] | None:
        """The next message if one has arrived, else None; never waits."""
        line = self._line()
        while line is None:
            if not self._fill():
                return None
            line = self._line()
        return _decode(line)

    def wait(self, timeout: float) -> None:
        """Blocks until something may have arrived, at most `timeout`
        seconds; at once when a whole message is already buffered."""
        if b"\n" not in self._buf:
            select.select([self.sock], [], [], timeout)

    def recv(self) -> dict[str, Any]:
        """The next message, waiting up to the channel's timeout."""
        deadline = None if self.timeout is None else time.monotonic() + self.timeout
        while True:
            msg = self.poll()
            if msg is not None:
                return msg
            left = None if deadline is None else deadline - time.monotonic()
            if left is not None and left <= 0:
                raise ProtocolError("timed out waiting for the peer")
            select.select([self.sock], [], [], left)

    def close(self) -> None:
        self.sock.close()

    def __enter__(self) -> Channel:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def _decode(line: bytes) -> dict[str, Any]:
    try:
        msg = json.loads(line)
    except ValueError:
        raise ProtocolError(f"the peer sent something that is not JSON: {line[:80]!r}") from None
    if not isinstance(msg, dict):
        raise ProtocolError(f"the peer sent {type(msg).__name__}, expected an object")
    if "error" in msg:
        raise ProtocolError(f"the peer reported an error: {msg['error']}")
    return msg


def listen(bind: str, port: int) -> socket.socket:
    """A listening socket (with SO_REUSEADDR, so a quick rerun finds the port free)."""
    return socket.create_server((bind, port))


def free_port() -> int:
    """A TCP port of this host that nothing listens on at the moment."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return int(s.getsockname()[1])


def listening(port: int) -> bool:
    """Whether some socket of this host listens on TCP `port` (read from
    /proc, so that a server's single accept is not spent on a probe)."""
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        try:
            lines = Path(table).read_text().splitlines()[1:]
        except OSError:
            continue
        for line in lines:
            fields = line.split()
            if int(fields[1].rsplit(":", 1)[1], 16) == port and fields[3] == "0A":
                return True
    return False


def accept(listener: socket.socket, timeout: float | None) -> tuple[Channel, str]:
    """Wait for one client; returns its channel and its "host:port"."""
    sock, peer = listener.accept()
    return Channel(sock, timeout), f"{peer[0]}:{peer[1]}"


def connect(host: str, port: int, timeout: float) -> Channel:
    try:
        sock = socket.create_connection((host, port), timeout=timeout)
    except OSError as exc:
        raise ConnectionError(
            f"cannot reach a vantor perf server at {host}:{port} ({exc.strerror or exc}); "
            f"start one there with `vantor perf --server --port {port}`"
        ) from None
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return Channel(sock, timeout)


def client_hello(channel: Channel, mine: Hello) -> Hello:
    """The client introduces itself first and gets the server's hello back."""
    channel.send(mine.to_message())
    return Hello.from_message(channel.recv())
