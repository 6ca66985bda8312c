"""`vantor perf --server` and `--client`: the handshake, the channel, and
the two ends in one process, in two processes and on two hosts."""

from __future__ import annotations

import ctypes
import json
import os
import re
import socket
import subprocess
import sys
import threading
from typing import Any

import pytest

import vantor.sim as vsim
from cli_helpers import SMALL, check_schema, open_first, real_efa_present, run, run_python_env
from conftest import run_python
from vantor.cli import net, perf, remote
from vantor.helpers import PeerAddress

# --- perf: server and client -----------------------------------------------------------


def _serve_in_thread(settings: perf.Settings) -> tuple[Any, int, list[Any]]:
    listener = net.listen("127.0.0.1", 0)
    port = listener.getsockname()[1]
    served: list[Any] = []

    def server() -> None:
        doc = perf.new_document("server", "efa_0", settings)
        try:
            with open_first() as ctx:
                remote.serve(ctx, listener, settings, doc)
            served.append(doc)
        except BaseException as exc:  # reported by the main thread
            served.append(exc)

    thread = threading.Thread(target=server)
    thread.start()
    return thread, port, served, listener  # type: ignore[return-value]


def _finish(thread: Any, listener: Any, served: list[Any]) -> Any:
    thread.join(60)
    listener.close()
    assert not thread.is_alive()
    (doc,) = served
    assert not isinstance(doc, BaseException), doc
    return check_schema(doc)


@pytest.mark.parametrize(
    "extra, ops, served_phases",
    [
        ([], ["send", "write", "read"], 6),
        (["--op", "write"], ["write"], 2),  # no SEND: the server still says what it served
        (["--op", "send,write", "-b", "-q", "2", "--latency", "pingpong"], ["send", "write"], 4),
    ],
)
def test_server_and_client_in_one_process(
    sim: Any, extra: list[str], ops: list[str], served_phases: int
) -> None:
    """Both roles over TCP on 127.0.0.1; the simulator carries the RDMA traffic
    between the two contexts of this process."""
    settings = perf.Settings(ops=list(perf.OPS), sizes=[64], timeout=10)
    thread, port, served, listener = _serve_in_thread(settings)
    try:
        status, doc, _ = run(
            ["--sim", "perf", "--json", "--client", "127.0.0.1", "-p", str(port)]
            + ["--sizes", "64", *SMALL, *extra]
        )
    finally:
        server_doc = _finish(thread, listener, served)
    assert status == 0
    assert doc["mode"] == "client"
    assert [r["op"] for r in doc["results"]] == [perf.OPS[k].name for k in ops]
    assert len(server_doc["served"]) == served_phases
    assert server_doc["client"]["host"].startswith("127.0.0.1:")
    assert doc["server"]["address"]["qp_num"] > 0
    for entry in server_doc["served"]:
        if entry["op"] == "SEND" or (entry["phase"] == "latency" and "pingpong" in extra):
            # every message the client posted arrived (a ping's answer included)
            assert entry["received"] == entry["client_sent"] > 0
        else:
            assert entry["received"] == 0
    if "-b" in extra:
        for entry in server_doc["served"]:
            if entry["phase"] == "bandwidth":
                assert entry["sent"] == 20  # the server's own half
        for row in doc["results"]:
            assert row["bandwidth"]["messages"] == 40


GID = bytes(range(16))


def _hello() -> net.Hello:
    return net.Hello((PeerAddress(GID, 1, 2),), 4096, 5, 64, 64, 8)


@pytest.mark.parametrize(
    "change, message",
    [
        ({"protocol": "http"}, "not a vantor perf endpoint"),
        ({"version": 1}, "protocol version 1"),
        ({"addresses": ["zz"]}, "bad peer address"),
        ({"addresses": [PeerAddress(GID, 1, 2).hex()[:-2]]}, "bad peer address"),
        ({"addresses": []}, "bad queue pair list"),
        ({"addresses": "ab"}, "bad queue pair list"),
        ({"rkey": 2**32}, "bad buffer description"),
        ({"addr": -1}, "bad buffer description"),
        ({"length": True}, "bad buffer description"),
        ({"max_size": "64"}, "bad buffer description"),
        ({"tx_depth": 0}, "bad buffer description"),
        ({"rkey": None}, "bad buffer description"),
    ],
)
def test_hello_validation(change: dict[str, Any], message: str) -> None:
    msg = _hello().to_message()
    assert net.Hello.from_message(dict(msg)).address == PeerAddress(GID, 1, 2)
    msg.update(change)
    with pytest.raises(net.ProtocolError, match=message):
        net.Hello.from_message(msg)
    del msg["protocol"]
    with pytest.raises(net.ProtocolError):
        net.Hello.from_message(msg)


def test_hello_without_a_field() -> None:
    msg = _hello().to_message()
    del msg["rkey"]
    with pytest.raises(net.ProtocolError, match="hello without 'rkey'"):
        net.Hello.from_message(msg)


def test_channel_refuses_what_it_cannot_read() -> None:
    a, b = socket.socketpair()
    with net.Channel(a, 5) as ours:
        assert ours.poll() is None  # nothing yet, and no waiting for it
        for raw, message in [
            (b"not json\n", "not JSON"),
            (b"[1, 2]\n", "sent list, expected an object"),
            (b'{"error": "boom"}\n', "reported an error: boom"),
            (b"x" * 70000 + b"\n", "overlong"),
        ]:
            b.sendall(raw)
            with pytest.raises(net.ProtocolError, match=message):
                ours.recv()
            if message == "overlong":
                break
        b.close()
        with pytest.raises((ConnectionError, net.ProtocolError)):
            while True:
                ours.recv()


def test_channel_reads_messages_split_anywhere() -> None:
    a, b = socket.socketpair()
    with net.Channel(a, 5) as ours:
        b.sendall(b'{"x": 1}\n{"y"')
        assert ours.recv() == {"x": 1}
        assert ours.poll() is None
        b.sendall(b": 2}\n")
        assert ours.recv() == {"y": 2}
        b.close()


def test_channel_wait_returns_when_a_message_may_be_there() -> None:
    a, b = socket.socketpair()
    with net.Channel(a, 5) as ours:
        ours.wait(0.01)  # nothing comes: back after the time given
        b.sendall(b'{"x": 1}\n{"y": 2}\n')
        ours.wait(60)  # bytes arrived: at once
        assert ours.poll() == {"x": 1}
        ours.wait(60)  # a whole message buffered, the socket read dry: at once
        assert ours.poll() == {"y": 2}
        timer = threading.Timer(0.05, b.sendall, [b'{"z": 3}\n'])
        timer.start()
        ours.wait(60)  # wakes when the peer speaks
        timer.join()
        assert ours.poll() == {"z": 3}
        b.close()


def test_server_refuses_an_impossible_client(sim: Any) -> None:
    settings = perf.Settings(ops=["send"], sizes=[64])
    thread, port, served, listener = _serve_in_thread(settings)
    try:
        with net.connect("127.0.0.1", port, 10) as channel:
            huge = net.Hello((PeerAddress(GID, 1, 2),), 0, 0, 1, max_size=2**40)
            with pytest.raises(net.ProtocolError, match="messages above 1073741824 bytes"):
                net.client_hello(channel, huge)
    finally:
        thread.join(30)
        listener.close()
    (exc,) = served
    assert isinstance(exc, net.ProtocolError)


def test_client_without_server(sim: Any, capsys: Any) -> None:
    listener = net.listen("127.0.0.1", 0)
    port = listener.getsockname()[1]
    listener.close()
    status, _, _ = run(
        ["--sim", "perf", "--client", "127.0.0.1", "-p", str(port), "--timeout", "2"]
    )
    assert status == 1
    assert f"start one there with `vantor perf --server --port {port}`" in capsys.readouterr().err


def _simulator_crosses_processes() -> bool:
    lib = ctypes.CDLL(os.path.join(vsim.lib_dir(), "libibverbs.so.1"))
    return hasattr(lib, "vsim_set_host")


def _start_server(env: dict[str, str], *extra: str) -> tuple[subprocess.Popen[str], str]:
    server = subprocess.Popen(
        [sys.executable, "-m", "vantor", *extra, "perf", "--server", "--port", "0", "--json"],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=env,
    )
    assert server.stderr is not None
    line = server.stderr.readline()
    match = re.search(r"listening on \S*:(\d+) ", line)
    if match is None:
        server.kill()
        raise AssertionError(f"server did not start: {line}{server.communicate()[1]}")
    return server, match.group(1)


def _sim_env() -> dict[str, str]:
    env = run_python_env()
    env["VANTOR_SIM_HOST"] = f"vantor-cli-test-{os.getpid()}-{threading.get_ident() % 10000}"
    return env


@pytest.mark.skipif(
    not _simulator_crosses_processes(), reason="this simulator moves data only inside a process"
)
def test_server_and_client_in_two_processes() -> None:
    env = _sim_env()
    server, port = _start_server(env, "--sim")
    try:
        client = subprocess.run(
            [sys.executable, "-m", "vantor", "--sim", "perf", "--json"]
            + ["--client", "127.0.0.1", "-p", port, "--sizes", "64,4K", *SMALL],
            capture_output=True,
            text=True,
            env=env,
            timeout=300,
        )
        assert client.returncode == 0, client.stderr
        served, _ = server.communicate(timeout=60)
    finally:
        server.kill()
    assert server.returncode == 0
    doc, server_doc = check_schema(json.loads(client.stdout)), check_schema(json.loads(served))
    assert [(r["op"], r["size"]) for r in doc["results"]] == [
        (op, size) for op in ("SEND", "RDMA_WRITE", "RDMA_READ") for size in (64, 4096)
    ]
    assert len(server_doc["served"]) == 12  # two phases of each case
    sends = [s for s in server_doc["served"] if s["op"] == "SEND"]
    assert [s["received"] for s in sends] == [22, 20, 22, 20]
    # each side saw the queue pair the other one announced
    assert doc["server"]["address"] != server_doc["client"]["address"]


@pytest.mark.skipif(
    not _simulator_crosses_processes(), reason="this simulator moves data only inside a process"
)
def test_client_says_when_the_server_stops_answering() -> None:
    import signal

    env = _sim_env()
    server, port = _start_server(env, "--sim")
    try:
        client = subprocess.Popen(
            [sys.executable, "-m", "vantor", "--sim", "perf", "--client", "127.0.0.1", "-p", port,
             "--op", "write", "--sizes", "64", "-D", "600", "--timeout", "30"],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env,
        )  # fmt: skip
        assert server.stderr is not None
        assert "connected" in server.stderr.readline()
        server.send_signal(signal.SIGKILL)
        server.wait(30)
        _, err = client.communicate(timeout=120)
    finally:
        server.kill()
        client.kill()
    assert client.returncode == 1
    assert "Traceback" not in err
    assert re.search(
        r"the server at 127\.0\.0\.1:\d+ (stopped answering|closed the connection)", err
    ), err


def test_server_interrupted_before_any_client() -> None:
    import signal

    server, _port = _start_server(_sim_env(), "--sim")
    try:
        server.send_signal(signal.SIGINT)
        out, err = server.communicate(timeout=60)
    finally:
        server.kill()
    assert server.returncode == 130
    doc = check_schema(json.loads(out))
    assert (doc["mode"], doc["served"], doc["interrupted"]) == ("server", [], True)
    assert "Traceback" not in err


def test_two_hosts_on_real_hardware() -> None:
    if not real_efa_present():
        pytest.skip("needs an EFA device (the software device's two-process runs are tested above)")
    server, port = _start_server(run_python_env())
    try:
        client = run_python(
            "import sys\nfrom vantor.cli import main\n"
            f"sys.exit(main(['perf', '--json', '--client', '127.0.0.1', '-p', '{port}', "
            "'--sizes', '64,64K', '-n', '100']))"
        )
        assert client.returncode == 0, client.stderr
        doc = json.loads(client.stdout)
        assert len(doc["results"]) == 5
        assert server.wait(30) == 0
    finally:
        server.kill()
