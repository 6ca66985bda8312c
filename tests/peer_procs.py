"""Peer processes for the tests between processes: each is
tests/sim/xproc_peer.py, driven over its stdin/stdout, and the test is the
out-of-band channel that carries their addresses."""

from __future__ import annotations

import json
import os
import select
import signal
import subprocess
import sys
import time

import pytest

from conftest import ROOT, python_env

PEER = ROOT / "tests" / "sim" / "xproc_peer.py"
#: The variable that names a process's host.
HOST_ENV = "VANTOR_SIM_HOST"
REPLY_TIMEOUT = 30.0

# ibv_wc_status
SUCCESS, LOC_LEN_ERR, REM_INV_REQ_ERR, REM_ACCESS_ERR = 0, 1, 9, 10
RNR_RETRY_EXC_ERR, REM_INV_RD_REQ_ERR, RESP_TIMEOUT_ERR, WR_FLUSH_ERR = 13, 15, 20, 5
REM_OP_ERR = 11
# ibv_wc_opcode
WC_SEND, WC_RDMA_WRITE, WC_RECV, WC_RECV_RDMA_WITH_IMM = 0, 1, 128, 129
WC_WITH_IMM = 2
QPS_ERR = 6


class Proc:
    """One peer process and its command channel."""

    def __init__(self, host: str | None, **opts):
        env = python_env()
        env.pop(HOST_ENV, None)
        if host is not None:
            env[HOST_ENV] = host
        self.p = subprocess.Popen(
            [sys.executable, str(PEER), json.dumps(opts)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env,
        )  # fmt: skip
        self.buf = b""
        self.addr = self._line()["ready"]

    def _line(self) -> dict:
        fd = self.p.stdout.fileno()
        while b"\n" not in self.buf:
            ready, _, _ = select.select([fd], [], [], REPLY_TIMEOUT)
            if not ready:
                pytest.fail(f"peer {self.p.pid} gave no answer in {REPLY_TIMEOUT} s")
            chunk = os.read(fd, 65536)
            if not chunk:
                pytest.fail(f"peer {self.p.pid} exited (status {self.p.wait()})")
            self.buf += chunk
        line, self.buf = self.buf.split(b"\n", 1)
        return json.loads(line)

    def post(self, op: str, **kw) -> None:
        """Sends a command without waiting for its answer (see reply())."""
        self.p.stdin.write((json.dumps({"op": op, **kw}) + "\n").encode())
        self.p.stdin.flush()

    def reply(self):
        answer = self._line()
        if "error" in answer:
            raise AssertionError(f"peer {self.p.pid}: {answer['error']}")
        return answer["ok"]

    def __call__(self, op: str, **kw):
        self.post(op, **kw)
        return self.reply()

    def kill(self) -> None:
        self.p.send_signal(signal.SIGKILL)
        self.p.wait()

    def close(self) -> None:
        if self.p.poll() is None:
            try:
                self.post("exit")
                self.p.wait(timeout=10)
            except (OSError, subprocess.TimeoutExpired):
                self.kill()
        self.p.stdin.close()
        self.p.stdout.close()


def introduce(procs: list[Proc]) -> None:
    """Every process learns every address (its own included, by index)."""
    addrs = [p.addr for p in procs]
    for p in procs:
        p("peers", peers=addrs)


def payload(tag: str, n: int) -> bytes:
    return (tag.encode() * (n // len(tag) + 1))[:n]


def wait_until(condition, limit: float = REPLY_TIMEOUT) -> None:
    deadline = time.monotonic() + limit
    while not condition():
        if time.monotonic() > deadline:
            pytest.fail("condition never came true")
        time.sleep(0.01)


def sockets_of(host: str) -> list[str]:
    with open("/proc/net/unix") as f:
        return [line for line in f if f"/{host}/" in line]
