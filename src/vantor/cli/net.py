"""The out-of-band channel of `vantor perf --server/--client`: JSON lines over TCP.

Like perftest, the two sides meet over a TCP connection before any RDMA
traffic: each sends a hello carrying its queue pair's encoded
:class:`~vantor.helpers.PeerAddress` and the registered buffer that the
other side may read or write; the client then drives the test with small
commands.
"""

from __future__ import annotations

import json
import socket
from dataclasses import dataclass
from typing import Any, Callable

from vantor.helpers import PeerAddress, PeerAddressError

#: The TCP port perftest uses too.
DEFAULT_PORT = 18515
PROTOCOL = "vantor-perf"
PROTOCOL_VERSION = 1
_MAX_LINE = 1 << 16


class ProtocolError(Exception):
    """The peer sent something this side cannot use."""


@dataclass(frozen=True)
class Hello:
    """One side's introduction: where its queue pair is and what it exposes."""

    address: PeerAddress
    #: Registered buffer the peer may target with RDMA (address, rkey, length).
    addr: int
    rkey: int
    length: int
    #: Largest message the sender will use (the receiver sizes its buffer by it).
    max_size: int = 0

    def to_message(self) -> dict[str, Any]:
        return {
            "protocol": PROTOCOL,
            "version": PROTOCOL_VERSION,
            "address": self.address.hex(),
            "addr": self.addr,
            "rkey": self.rkey,
            "length": self.length,
            "max_size": self.max_size,
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
            address = PeerAddress.fromhex(str(msg["address"]))
            values = [msg[k] for k in ("addr", "rkey", "length", "max_size")]
        except KeyError as exc:
            raise ProtocolError(f"hello without {exc.args[0]!r}") from None
        except PeerAddressError as exc:
            raise ProtocolError(f"bad peer address in hello: {exc}") from None
        limits = (2**64 - 1, 2**32 - 1, 2**64 - 1, 2**64 - 1)
        if not all(
            isinstance(v, int) and not isinstance(v, bool) and 0 <= v <= top
            for v, top in zip(values, limits)
        ):
            raise ProtocolError(f"bad buffer description in hello: {values!r}")
        addr, rkey, length, max_size = values
        return cls(address, addr, rkey, length, max_size)


class Channel:
    """Newline-delimited JSON objects over a connected socket."""

    def __init__(self, sock: socket.socket, timeout: float | None) -> None:
        sock.settimeout(timeout)
        self.sock = sock
        self._file = sock.makefile("rwb")

    def send(self, msg: dict[str, Any]) -> None:
        self._file.write(json.dumps(msg).encode() + b"\n")
        self._file.flush()

    def settimeout(self, timeout: float | None) -> None:
        self.sock.settimeout(timeout)

    def recv(self) -> dict[str, Any]:
        try:
            line = self._file.readline(_MAX_LINE + 1)
        except socket.timeout:
            raise ProtocolError("timed out waiting for the peer") from None
        if not line:
            raise ConnectionError("the peer closed the connection")
        if len(line) > _MAX_LINE or not line.endswith(b"\n"):
            raise ProtocolError("the peer sent an overlong or truncated message")
        try:
            msg = json.loads(line)
        except ValueError:
            raise ProtocolError(
                f"the peer sent something that is not JSON: {line[:80]!r}"
            ) from None
        if not isinstance(msg, dict):
            raise ProtocolError(f"the peer sent {type(msg).__name__}, expected an object")
        if "error" in msg:
            raise ProtocolError(f"the peer reported an error: {msg['error']}")
        return msg

    def close(self) -> None:
        try:
            self._file.close()
        finally:
            self.sock.close()

    def __enter__(self) -> Channel:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def listen(bind: str, port: int) -> socket.socket:
    """A listening socket (with SO_REUSEADDR, so a quick rerun finds the port free)."""
    return socket.create_server((bind, port))


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


def server_hello(channel: Channel, answer: Callable[[Hello], Hello]) -> tuple[Hello, Hello]:
    """Read the client's hello, build this side's with `answer` (which may size
    its buffer by the client's needs), send it; returns (client's, this side's)."""
    theirs = Hello.from_message(channel.recv())
    mine = answer(theirs)
    channel.send(mine.to_message())
    return theirs, mine
