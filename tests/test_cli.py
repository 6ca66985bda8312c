"""The `vantor` command on the software EFA device, checked through its JSON output."""

from __future__ import annotations

import ctypes
import functools
import io
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
from conftest import run_python
from vantor.cli import main, net, perf
from vantor.enums import EfaDeviceCaps, WCStatus
from vantor.helpers import PeerAddress, format_gid

SMALL = ["-n", "20", "--warmup", "2"]


def run(argv: list[str]) -> tuple[int, Any, str]:
    """Runs the command in this process; returns (status, parsed JSON or text, stdout)."""
    out = io.StringIO()
    status = main(argv, out=out)
    text = out.getvalue()
    try:
        return status, json.loads(text), text
    except ValueError:
        return status, None, text


def open_first() -> Any:
    import vantor._vantor as v

    return v.get_efa_device_list()[0].open()


# --- devices / info -----------------------------------------------------------------------


def test_devices_reports_each_device(sim: Any, capsys: Any) -> None:
    sim.set_devices(
        [
            vsim.Device("efa_a", efa_attr={"max_rdma_size": 4096, "device_caps": 0b1001}),
            vsim.Device("roce_b", efa=False),
        ]
    )
    status, doc, _ = run(["--sim", "devices", "--json"])
    assert status == 0
    efa, other = doc["devices"]
    assert (efa["name"], efa["efa"], other["name"], other["efa"]) == (
        "efa_a",
        True,
        "roce_b",
        False,
    )
    assert efa["gid"] == format_gid(sim.device_gid(0))
    assert efa["efa_attr"]["max_rdma_size"] == 4096
    assert efa["efa_attr"]["device_caps"] == 0b1001
    assert efa["efa_attr"]["device_caps_names"] == ["RDMA_READ", "RDMA_WRITE"]
    assert efa["port"]["max_msg_sz"] == sim.device_field(0, "port.max_msg_sz")
    assert "efa_attr" not in other
    assert capsys.readouterr().err == ""


def test_devices_guid_reads_like_ibv_devinfo(sim: Any) -> None:
    # node GUID bytes 00 11 22 33 44 55 66 77 on the wire
    guid = int.from_bytes(bytes.fromhex("0011223344556677"), sys.byteorder)
    sim.set_devices([vsim.Device("efa_0", device_attr={"node_guid": guid})])
    _, doc, _ = run(["--sim", "devices", "--json"])
    assert doc["devices"][0]["guid"] == "0011:2233:4455:6677"


@pytest.mark.parametrize(
    "devices, message",
    [
        ([], "has no EFA device configured"),
        ([vsim.Device("roce_b", efa=False)], "has no EFA device configured"),
    ],
)
def test_devices_without_efa_fails(sim: Any, capsys: Any, devices: list[Any], message: str) -> None:
    sim.set_devices(devices)
    status, doc, _ = run(["--sim", "devices", "--json"])
    assert status == 1
    assert [d["efa"] for d in doc["devices"]] == [False] * len(devices)
    assert message in capsys.readouterr().err


def test_info_reports_every_attribute(sim: Any) -> None:
    sim.set_devices(
        [
            vsim.Device(
                "efa_7",
                fw_ver="1.2.3",
                num_comp_vectors=3,
                device_attr={"max_qp": 77, "vendor_part_id": 0xEFA2},
                efa_attr={"inline_buf_size": 17, "max_sq_sge": 5},
                port_attr={"max_msg_sz": 4000, "active_width": 1, "lid": 9},
            )
        ]
    )
    status, doc, _ = run(["--sim", "info", "efa_7", "--json"])
    assert status == 0
    with open_first() as ctx:
        dattr, eattr, pattr = ctx.query_device(), ctx.query_efa_device(), ctx.query_port()
        gid = ctx.query_gid()
    for key, value in doc["device"].items():
        if key.endswith("guid"):
            continue
        assert value == getattr(dattr, key), key
    assert len(doc["device"]) == 17
    assert (doc["device"]["fw_ver"], doc["device"]["max_qp"]) == ("1.2.3", 77)
    for key in ("max_sq_wr", "max_rq_wr", "max_sq_sge", "max_rq_sge", "inline_buf_size"):
        assert doc["efa_device"][key] == getattr(eattr, key)
    assert (doc["efa_device"]["device_caps"], doc["efa_device"]["max_rdma_size"]) == (
        eattr.device_caps,
        eattr.max_rdma_size,
    )
    (port,) = doc["ports"]
    for key in ("state", "max_mtu", "active_mtu", "gid_tbl_len", "port_cap_flags", "max_msg_sz"):
        assert port[key] == getattr(pattr, key), key
    for key in ("pkey_tbl_len", "lid", "active_width", "active_speed", "link_layer"):
        assert port[key] == getattr(pattr, key), key
    assert (port["max_msg_sz"], port["lid"], port["state_name"]) == (4000, 9, "ACTIVE")
    assert port["gids"] == [{"index": 0, "gid": format_gid(gid)}]
    assert (doc["num_comp_vectors"], doc["efa"]) == (3, True)


def test_info_of_a_device_of_another_provider(sim: Any) -> None:
    sim.set_devices([vsim.Device("efa_0"), vsim.Device("roce_b", efa=False)])
    status, doc, _ = run(["--sim", "info", "roce_b", "--json"])
    assert status == 0
    assert (doc["efa"], doc["efa_device"]) == (False, None)
    assert doc["ports"][0]["gids"][0]["gid"] == format_gid(sim.device_gid(1))


def test_info_defaults_to_the_first_efa_device(sim: Any) -> None:
    sim.set_devices([vsim.Device("roce_b", efa=False), vsim.Device("efa_9")])
    status, doc, _ = run(["--sim", "info", "--json"])
    assert (status, doc["name"]) == (0, "efa_9")


def test_info_unknown_device(sim: Any, capsys: Any) -> None:
    status, _, _ = run(["--sim", "info", "nope"])
    assert status == 1
    assert "no device named 'nope' (devices here: efa_0)" in capsys.readouterr().err


def test_info_reports_a_failed_gid_query(sim: Any) -> None:
    sim.fail("ibv_query_gid", 22)
    status, doc, _ = run(["--sim", "info", "--json"])
    assert status == 0
    assert "ibv_query_gid" in doc["ports"][0]["gids"][0]["error"]


@pytest.mark.parametrize("command", [["devices"], ["info"], ["info", "efa_0"]])
def test_text_mode_runs(sim: Any, command: list[str]) -> None:
    status, _, text = run(["--sim", *command])
    assert status == 0
    assert "efa_0" in text


# --- perf: loopback -----------------------------------------------------------------------


def test_perf_measures_every_case(sim: Any, capsys: Any) -> None:
    status, doc, _ = run(["--sim", "perf", "--json", "--sizes", "64,4K,16K", *SMALL])
    assert status == 0
    assert (doc["mode"], doc["device"], doc["simulator"]) == ("loopback", "efa_0", True)
    cases = [(r["op"], r["size"]) for r in doc["results"]]
    assert cases == [
        ("SEND", 64),
        ("SEND", 4096),
        *[(op, size) for op in ("RDMA_WRITE", "RDMA_READ") for size in (64, 4096, 16384)],
    ]
    assert doc["skipped"] == [
        {"op": "SEND", "size": 16384, "reason": "larger than the port's max_msg_sz (8928)"}
    ]
    for r in doc["results"]:
        lat = r["latency_us"]
        assert 0 < lat["min"] <= lat["p50"] <= lat["p90"] <= lat["p99"] <= lat["max"]
        assert r["bandwidth_MBps"] > 0 and r["iters"] == 20
    assert capsys.readouterr().err == ""  # no progress bar off a terminal


def test_perf_posts_exactly_what_it_measures(sim: Any) -> None:
    # 2 warmup + 20 timed one at a time + 20 for bandwidth, per case
    per_case = 2 + 20 + 20
    before = vsim.live_objects()
    with sim.recording() as log:
        status, doc, _ = run(["--sim", "perf", "--json", "--sizes", "64,4K", *SMALL])
    assert status == 0
    for fn in ("wr_send", "wr_rdma_write", "wr_rdma_read"):
        assert len(log.calls(fn)) == 2 * per_case, fn
    posted = sum(len(c["wrs"]) for c in log.calls("post_recv"))
    assert posted == 2 * per_case
    sge_lengths = {c["sg_list"][0]["length"] for c in log.calls("wr_set_sge_list")}
    assert sge_lengths == {64, 4096}
    assert all(c["wr_flags"] == "0x2" for c in log.calls("wr_rdma_read"))
    assert vsim.live_objects() == before


def test_perf_skips_what_the_device_cannot_do(sim: Any) -> None:
    caps = EfaDeviceCaps.RDMA_WRITE | EfaDeviceCaps.RNR_RETRY
    sim.set_devices([vsim.Device("efa_0", efa_attr={"device_caps": int(caps)})])
    with sim.recording() as log:
        status, doc, _ = run(["--sim", "perf", "--json", "--sizes", "64", *SMALL])
    assert status == 0
    assert [r["op"] for r in doc["results"]] == ["SEND", "RDMA_WRITE"]
    assert doc["skipped"] == [
        {"op": "RDMA_READ", "size": None, "reason": "the device lacks the RDMA_READ capability"}
    ]
    # the queue pairs do not ask for an operation the device lacks
    assert log.calls("wr_rdma_read") == []


def test_perf_limits_rdma_to_the_device(sim: Any) -> None:
    sim.set_devices([vsim.Device("efa_0", efa_attr={"max_rdma_size": 1024})])
    _, doc, _ = run(["--sim", "perf", "--json", "--op", "write", "--sizes", "1K,2K", *SMALL])
    assert [r["size"] for r in doc["results"]] == [1024]
    assert doc["skipped"][0]["reason"] == "larger than the device's max_rdma_size (1024)"


@pytest.mark.parametrize(
    "fault, message",
    [
        (("wr_complete", 22), "ibv_wr_complete"),
        (("ibv_create_ah", 12), "ibv_create_ah"),
        (("ibv_reg_mr_iova2", 14), "ibv_reg_mr"),
        (("poll_cq", 5), "ibv_poll_cq"),
    ],
)
def test_perf_failure_is_reported_and_cleaned_up(
    sim: Any, capsys: Any, fault: tuple[str, int], message: str
) -> None:
    before = vsim.live_objects()
    sim.fail(*fault, skip=3 if fault[0] in ("wr_complete", "poll_cq") else 0)
    status, _, _ = run(["--sim", "perf", "--sizes", "64", *SMALL])
    assert status == 1
    assert message in capsys.readouterr().err
    assert vsim.live_objects() == before  # everything it made is gone again


def test_failed_completion_stops_the_measurement(sim: Any) -> None:
    import vantor._vantor as v

    settings = perf.Settings(ops=["send"], sizes=[8], iters=5, warmup=0)
    with open_first() as ctx:
        limits = perf.Limits.query(ctx)
        with perf.Endpoint(ctx, limits, 64, 4, 4) as a, perf.Endpoint(ctx, limits, 64, 4, 4) as b:
            wrong = PeerAddress.of(b.qp, qkey=perf.QKEY + 1)  # b refuses this qkey
            with wrong.connect(a.pd) as peer, pytest.raises(v.CompletionError) as info:
                target = perf.Target(peer, b.mr.addr, b.mr.rkey)
                perf.run_case(a, target, perf.OPS["send"], 8, settings)
    assert info.value.status == WCStatus.REM_INV_RD_REQ_ERR


def test_perf_gives_up_without_progress(sim: Any, capsys: Any) -> None:
    sim.hold()  # the fabric keeps every request: no completion ever comes
    status, _, _ = run(["--sim", "perf", "--op", "write", "--sizes", "64", "--timeout", "0.2"])
    assert status == 1
    assert "no progress for 0.2 s" in capsys.readouterr().err
    sim.release()


def test_perf_progress_bar_on_a_terminal(sim: Any, monkeypatch: Any) -> None:
    class Terminal(io.StringIO):
        def isatty(self) -> bool:
            return True

    tty = Terminal()
    monkeypatch.setattr(sys, "stderr", tty)
    status, _, _ = run(["--sim", "perf", "--json", "--op", "write", "--sizes", "8,16", *SMALL])
    assert status == 0
    shown = tty.getvalue()
    assert "RDMA_WRITE 8" in shown and "RDMA_WRITE 16" in shown
    assert shown.endswith("\r")  # the bar is wiped at the end


@pytest.mark.parametrize(
    "args, message",
    [
        (["--op", "atomic"], "unknown operation"),
        (["--sizes", "0"], "not a positive size"),
        (["--sizes", "12Q"], "not a positive size"),
        (["-n", "0"], "positive integer"),
        (["--timeout", "-1"], "positive number of seconds"),
        (["--server", "--client", "h"], "not allowed with"),
    ],
)
def test_perf_argument_errors(sim: Any, capsys: Any, args: list[str], message: str) -> None:
    with pytest.raises(SystemExit) as info:
        main(["--sim", "perf", *args])
    assert info.value.code == 2
    assert message in capsys.readouterr().err


def test_perf_sweep_bounds(sim: Any, capsys: Any) -> None:
    status, doc, _ = run(
        ["--sim", "perf", "--json", "--op", "read", "--min-size", "3", "--max-size", "17", *SMALL]
    )
    assert [r["size"] for r in doc["results"]] == [4, 8, 16]
    status, _, _ = run(["--sim", "perf", "--min-size", "64", "--max-size", "8"])
    assert status == 2


def test_perf_plot_is_a_png(sim: Any, tmp_path: Any) -> None:
    pytest.importorskip("matplotlib", reason="matplotlib is not installed")
    target = tmp_path / "perf.png"
    status, _, _ = run(["--sim", "perf", "--sizes", "64,1K", "--plot", str(target), *SMALL])
    assert status == 0
    assert target.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_perf_plot_without_matplotlib(
    sim: Any, capsys: Any, monkeypatch: Any, tmp_path: Any
) -> None:
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    with sim.recording() as log:
        status, _, _ = run(["--sim", "perf", "--plot", str(tmp_path / "x.png")])
    assert status == 2
    assert "pip install 'vantor[plot]'" in capsys.readouterr().err
    assert log.calls("ibv_open_device") == []  # refused before anything ran


# --- perf: server and client -----------------------------------------------------------


def test_server_and_client_in_one_process(sim: Any) -> None:
    """Both roles over TCP on 127.0.0.1; the simulator carries the RDMA traffic
    between the two contexts of this process."""
    settings = perf.Settings(ops=list(perf.OPS), sizes=[64], iters=20, warmup=2, timeout=10)
    listener = net.listen("127.0.0.1", 0)
    port = listener.getsockname()[1]
    served: list[Any] = []

    def server() -> None:
        try:
            with open_first() as ctx:
                served.append(perf.serve(ctx, listener, settings))
        except BaseException as exc:  # reported by the main thread
            served.append(exc)

    thread = threading.Thread(target=server)
    thread.start()
    try:
        status, doc, _ = run(
            ["--sim", "perf", "--json", "--client", "127.0.0.1", "-p", str(port)]
            + ["--sizes", "64", *SMALL]
        )
    finally:
        thread.join(30)
        listener.close()
    assert status == 0
    assert not thread.is_alive()
    (server_doc,) = served
    assert not isinstance(server_doc, BaseException), server_doc
    assert doc["mode"] == "client"
    assert [r["op"] for r in doc["results"]] == ["SEND", "RDMA_WRITE", "RDMA_READ"]
    assert server_doc["commands"] == 1  # one SEND case needed the server's receives
    assert server_doc["client"]["host"].startswith("127.0.0.1:")


GID = bytes(range(16))


@pytest.mark.parametrize(
    "change, message",
    [
        ({"protocol": "http"}, "not a vantor perf endpoint"),
        ({"version": 2}, "protocol version 2"),
        ({"address": "zz"}, "bad peer address"),
        ({"address": PeerAddress(GID, 1, 2).hex()[:-2]}, "bad peer address"),
        ({"rkey": 2**32}, "bad buffer description"),
        ({"addr": -1}, "bad buffer description"),
        ({"length": True}, "bad buffer description"),
        ({"max_size": "64"}, "bad buffer description"),
        ({"rkey": None}, "bad buffer description"),
    ],
)
def test_hello_validation(change: dict[str, Any], message: str) -> None:
    msg = net.Hello(PeerAddress(GID, 1, 2), 4096, 5, 64, 64).to_message()
    assert net.Hello.from_message(dict(msg)).address == PeerAddress(GID, 1, 2)
    msg.update(change)
    with pytest.raises(net.ProtocolError, match=message):
        net.Hello.from_message(msg)
    del msg["protocol"]
    with pytest.raises(net.ProtocolError):
        net.Hello.from_message(msg)


def test_hello_without_a_field() -> None:
    msg = net.Hello(PeerAddress(GID, 1, 2), 4096, 5, 64).to_message()
    del msg["rkey"]
    with pytest.raises(net.ProtocolError, match="hello without 'rkey'"):
        net.Hello.from_message(msg)


def test_channel_refuses_what_it_cannot_read() -> None:
    a, b = socket.socketpair()
    with net.Channel(a, 5) as ours, net.Channel(b, 5) as theirs:
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
        theirs.close()
        with pytest.raises((ConnectionError, net.ProtocolError)):
            while True:
                ours.recv()


def test_server_refuses_an_impossible_client(sim: Any) -> None:
    listener = net.listen("127.0.0.1", 0)
    port = listener.getsockname()[1]
    outcome: list[BaseException] = []

    def server() -> None:
        try:
            with open_first() as ctx:
                perf.serve(ctx, listener, perf.Settings(ops=["send"], sizes=[64]))
        except BaseException as exc:
            outcome.append(exc)

    thread = threading.Thread(target=server)
    thread.start()
    try:
        with net.connect("127.0.0.1", port, 10) as channel:
            huge = net.Hello(PeerAddress(GID, 1, 2), 0, 0, 1, max_size=2**40)
            with pytest.raises(net.ProtocolError, match="messages above 1073741824 bytes"):
                net.client_hello(channel, huge)
    finally:
        thread.join(30)
        listener.close()
    (exc,) = outcome
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


SERVER_HALF = """
import sys
import vantor.sim
vantor.sim.activate()
import vantor._vantor as v
from vantor.cli import net, perf

ctx = v.get_efa_device_list()[0].open()
listener = net.listen("127.0.0.1", 0)
print(listener.getsockname()[1], flush=True)
channel, who = net.accept(listener, 20)
limits = perf.Limits.query(ctx)
mine = []
def answer(theirs):
    ep = perf.Endpoint(ctx, limits, max(theirs.max_size, 1), 1, 16)
    mine.append(ep)
    return ep.hello()
theirs, hello = net.server_hello(channel, answer)
print(theirs.address.hex(), hello.address.hex(), hello.rkey, hello.length, flush=True)
channel.close()
mine[0].close()
"""


def test_two_processes_exchange_peer_addresses(sim: Any) -> None:
    """The hello exchange alone, between two processes: each side gets the
    other's encoded address and buffer exactly as sent."""
    proc = subprocess.Popen(
        [sys.executable, "-c", SERVER_HALF],
        stdout=subprocess.PIPE,
        text=True,
        env=run_python_env(),
    )
    try:
        assert proc.stdout is not None
        port = int(proc.stdout.readline())
        with open_first() as ctx:
            limits = perf.Limits.query(ctx)
            with (
                perf.Endpoint(ctx, limits, 4096, 4, 4) as ep,
                net.connect("127.0.0.1", port, 20) as channel,
            ):
                mine = ep.hello(max_size=4096)
                theirs = net.client_hello(channel, mine)
        got_mine, sent_theirs, rkey, length = proc.stdout.readline().split()
        assert proc.wait(20) == 0
    finally:
        proc.kill()
    assert PeerAddress.fromhex(got_mine) == mine.address
    assert PeerAddress.fromhex(sent_theirs) == theirs.address
    assert (theirs.rkey, theirs.length) == (int(rkey), int(length))
    assert theirs.length >= 4096


def _simulator_crosses_processes() -> bool:
    lib = ctypes.CDLL(os.path.join(vsim.lib_dir(), "libibverbs.so.1"))
    return hasattr(lib, "vsim_set_host")


def _start_server(env: dict[str, str], *extra: str) -> tuple[subprocess.Popen[str], str]:
    server = subprocess.Popen(
        [sys.executable, "-m", "vantor.cli", *extra, "perf", "--server", "--port", "0", "--json"],
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


@pytest.mark.skipif(
    not _simulator_crosses_processes(), reason="this simulator moves data only inside a process"
)
def test_server_and_client_in_two_processes() -> None:
    env = run_python_env()
    env["VANTOR_SIM_HOST"] = f"vantor-cli-test-{os.getpid()}"  # away from other test runs
    server, port = _start_server(env, "--sim")
    try:
        client = subprocess.run(
            [sys.executable, "-m", "vantor.cli", "--sim", "perf", "--json"]
            + ["--client", "127.0.0.1", "-p", port, "--sizes", "64,4K", *SMALL],
            capture_output=True,
            text=True,
            env=env,
            timeout=120,
        )
        assert client.returncode == 0, client.stderr
        served, _ = server.communicate(timeout=60)
    finally:
        server.kill()
    assert server.returncode == 0
    doc, server_doc = json.loads(client.stdout), json.loads(served)
    assert [(r["op"], r["size"]) for r in doc["results"]] == [
        (op, size) for op in ("SEND", "RDMA_WRITE", "RDMA_READ") for size in (64, 4096)
    ]
    assert server_doc["commands"] == 2  # the two SEND cases
    # each side saw the queue pair the other one announced
    assert doc["server"]["address"] != server_doc["client"]["address"]


def run_python_env() -> dict[str, str]:
    from pathlib import Path

    import vantor

    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        [str(Path(vantor.__file__).resolve().parent.parent), env.get("PYTHONPATH", "")]
    )
    return env


@functools.cache
def _real_efa_present() -> bool:
    probe = run_python(
        "import vantor._vantor as v\nprint(len(v.get_efa_device_list()))", timeout=60
    )
    return probe.returncode == 0 and probe.stdout.strip() not in ("", "0")


@pytest.mark.skipif(
    "not _real_efa_present()",
    reason="needs an EFA device: the software EFA device does not carry traffic between processes",
)
def test_two_hosts_on_real_hardware() -> None:
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


# --- without EFA ------------------------------------------------------------------------


@pytest.mark.parametrize("command", [["devices"], ["info"], ["perf"], ["devices", "--json"]])
def test_without_efa_suggests_the_simulator(command: list[str]) -> None:
    # A fresh process on the host's own rdma-core, which has no EFA device here.
    if _real_efa_present():
        pytest.skip("this host has an EFA device")
    result = run_python(f"import sys\nfrom vantor.cli import main\nsys.exit(main({command!r}))")
    assert result.returncode == 1, result.stderr
    assert f"run `vantor --sim {command[0]}`" in result.stderr
    assert "Traceback" not in result.stderr


def test_console_entry_point_is_declared() -> None:
    tomllib = pytest.importorskip("tomllib")
    from conftest import ROOT

    with open(ROOT / "pyproject.toml", "rb") as f:
        meta = tomllib.load(f)
    assert meta["project"]["scripts"]["vantor"] == "vantor.cli:main"
