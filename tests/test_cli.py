"""The `vantor` command on the software EFA device, checked through its JSON output."""

from __future__ import annotations

import io
import json
import subprocess
import sys
from typing import Any

import pytest

import vantor.sim as vsim
from cli_helpers import SMALL, open_first, real_efa_present, run, run_python_env, validator
from conftest import run_python
from vantor.cli import agents, main, perf
from vantor.enums import EfaDeviceCaps, WCStatus
from vantor.helpers import PeerAddress, format_gid

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
    assert efa["efa_device"]["max_rdma_size"] == 4096
    assert efa["efa_device"]["device_caps"] == 0b1001
    assert efa["efa_device"]["device_caps_names"] == ["RDMA_READ", "RDMA_WRITE"]
    assert efa["ports"][0]["max_msg_sz"] == sim.device_field(0, "port.max_msg_sz")
    assert other["efa_device"] is None
    assert (doc["schema_version"], doc["command"], doc["simulator"]) == (1, "devices", True)
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
        lat, bw = r["latency_us"], r["bandwidth"]
        assert 0 < lat["min"] <= lat["p50"] <= lat["p90"] <= lat["p99"] <= lat["max"]
        assert lat["min"] <= lat["avg"] <= lat["max"] and lat["stdev"] >= 0
        assert r["iters"] == 20 and bw["messages"] == 20
        assert 0 < bw["avg_MBps"] <= bw["peak_MBps"]
        assert r["latency_mode"] == "post_to_completion"
    assert capsys.readouterr().err == ""  # no progress bar off a terminal


def _rx_depth(settings: perf.Settings) -> int:
    with open_first() as ctx:
        return perf.Limits.query(ctx).rx_depth(settings)


def test_perf_posts_exactly_what_it_measures(sim: Any) -> None:
    # 2 warmup + 20 timed one at a time + 20 for bandwidth, per case
    per_case = 2 + 20 + 20
    before = vsim.live_objects()
    with sim.recording() as log:
        status, doc, _ = run(["--sim", "perf", "--json", "--sizes", "64,4K", *SMALL])
    assert status == 0
    for fn in ("wr_send", "wr_rdma_write", "wr_rdma_read"):
        assert len(log.calls(fn)) == 2 * per_case, fn
    # each end keeps its receive queue full: what it posted at the start,
    # then one more for every message that arrived
    rx = _rx_depth(perf.Settings(ops=["send"], sizes=[64]))
    posted = sum(len(c["wrs"]) for c in log.calls("post_recv"))
    assert posted == 2 * rx + 2 * per_case
    sge_lengths = {c["sg_list"][0]["length"] for c in log.calls("wr_set_sge_list")}
    assert sge_lengths == {64, 4096}
    assert all(c["wr_flags"] == "0x2" for c in log.calls("wr_rdma_read"))
    assert vsim.live_objects() == before


def _qp_nums(log: Any, fn: str) -> dict[int, int]:
    counts: dict[int, int] = {}
    for call in log.calls(fn):
        counts[call["qp"]] = counts.get(call["qp"], 0) + 1
    return counts


def test_perf_spreads_bandwidth_over_several_queue_pairs(sim: Any) -> None:
    with sim.recording() as log:
        status, doc, _ = run(
            ["--sim", "perf", "--json", "--op", "write", "--sizes", "64", "-q", "3", "-t", "4",
             "-n", "60", "--warmup", "0"]
        )  # fmt: skip
    assert status == 0 and doc["settings"]["qps"] == 3
    created = log.calls("efadv_create_qp_ex")
    assert len(created) == 6 and {c["max_send_wr"] for c in created} == {4}
    per_qp = sorted(_qp_nums(log, "wr_rdma_write").values())
    # the latency phase runs on the first queue pair only; the 60 bandwidth
    # writes go round the three
    assert sum(per_qp) == 60 + 60 and len(per_qp) == 3
    assert per_qp[0] >= 12 and doc["results"][0]["bandwidth"]["messages"] == 60


@pytest.mark.parametrize("op, fn", [("send", "wr_send"), ("write", "wr_rdma_write")])
def test_perf_bidirectional(sim: Any, op: str, fn: str) -> None:
    with sim.recording() as log:
        status, doc, _ = run(
            ["--sim", "perf", "--json", "--op", op, "--sizes", "256", "-b", *SMALL]
        )
    assert status == 0 and doc["settings"]["bidirectional"] is True
    (row,) = doc["results"]
    assert row["bandwidth"]["messages"] == 40  # 20 each way
    senders = _qp_nums(log, fn)
    assert len(senders) == 2  # both ends sent
    assert sum(senders.values()) == 22 + 40


def test_perf_duration_mode(sim: Any) -> None:
    with sim.recording() as log:
        status, doc, _ = run(
            ["--sim", "perf", "--json", "--op", "write", "--sizes", "64", "-D", "0.05",
             "--warmup", "3"]
        )  # fmt: skip
    assert status == 0
    assert (doc["settings"]["iters"], doc["settings"]["duration_s"]) == (None, 0.05)
    (row,) = doc["results"]
    assert row["iters"] > 0 and row["bandwidth"]["messages"] > 0
    # what it reports is what it posted
    assert len(log.calls("wr_rdma_write")) == 3 + row["iters"] + row["bandwidth"]["messages"]
    assert row["bandwidth"]["seconds"] >= 0.05


@pytest.mark.parametrize(
    "op, kind, calls",
    [
        # a ping and its answer per iteration, then the bandwidth phase
        ("send", "half_round_trip", {"wr_send": 2 * 22 + 20}),
        ("write", "half_round_trip", {"wr_rdma_write_imm": 2 * 22, "wr_rdma_write": 20}),
        # a read is a round trip already: timed whole, as ib_read_lat does
        ("read", "post_to_completion", {"wr_rdma_read": 22 + 20}),
    ],
)
def test_perf_ping_pong_latency(sim: Any, op: str, kind: str, calls: dict[str, int]) -> None:
    with sim.recording() as log:
        status, doc, _ = run(
            ["--sim", "perf", "--json", "--op", op, "--sizes", "128", "--latency", "pingpong",
             *SMALL]
        )  # fmt: skip
    assert status == 0 and doc["settings"]["latency_mode"] == "pingpong"
    (row,) = doc["results"]
    assert (row["latency_mode"], row["iters"]) == (kind, 20)
    for fn, count in calls.items():
        assert len(log.calls(fn)) == count, fn


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


@pytest.mark.parametrize("json_flag", [["--json"], []])
def test_perf_with_nothing_to_measure_fails(sim: Any, capsys: Any, json_flag: list[str]) -> None:
    with sim.recording() as log:
        status, doc, text = run(["--sim", "perf", *json_flag, "--sizes", "2G", *SMALL])
    assert status == 1
    if json_flag:
        assert doc["results"] == [] and len(doc["skipped"]) == 3
    else:
        assert "skipped RDMA_WRITE 2G: larger than the device's max_rdma_size" in text
    assert "no case could be measured" in capsys.readouterr().err
    assert log.calls("efadv_create_qp_ex") == []


def test_perf_reports_the_depth_that_ran(sim: Any) -> None:
    max_sq_wr = sim.device_field(0, "efa.max_sq_wr")
    with sim.recording() as log:
        status, doc, _ = run(
            ["--sim", "perf", "--json", "--op", "write", "--sizes", "64", "-t", "100000", *SMALL]
        )
    assert status == 0
    assert doc["settings"]["tx_depth"] == max_sq_wr
    assert doc["notes"] == [
        f"--tx-depth 100000 lowered to {max_sq_wr}: the device's max_sq_wr is {max_sq_wr}"
    ]
    assert {c["max_send_wr"] for c in log.calls("efadv_create_qp_ex")} == {max_sq_wr}


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
    err = capsys.readouterr().err
    assert message in err and "Traceback" not in err
    assert vsim.live_objects() == before  # everything it made is gone again


def test_failed_completion_stops_the_measurement(sim: Any) -> None:
    import vantor._vantor as v

    settings = perf.Settings(ops=["send"], sizes=[8], iters=5, warmup=0, tx_depth=4)
    with open_first() as ctx:
        limits = perf.Limits.query(ctx)
        with (
            perf.Endpoint(ctx, limits, 64, settings) as a,
            perf.Endpoint(ctx, limits, 64, settings) as b,
        ):
            wrong = PeerAddress.of(b.qps[0], qkey=perf.QKEY + 1)  # b refuses this qkey
            (target,) = a.connect([wrong], b.mr.addr, b.mr.rkey)
            sender = agents.Sender(a, [target], perf.OPS["send"], 8, settings.limit(), depth=4)
            with pytest.raises(v.CompletionError) as info:
                agents.drive([sender], 10)
    assert info.value.status == WCStatus.REM_INV_RD_REQ_ERR


class _Steps(agents.Agent):
    """Moves on `moves` of its first rounds, stands still on `idle` more,
    then is done: a sender, or one waiting for its completions."""

    def __init__(self, moves: int, idle: int = 0) -> None:
        self.plan = [True] * moves + [False] * idle

    def step(self) -> bool:
        return self.plan.pop(0) if self.plan else False

    @property
    def done(self) -> bool:
        return not self.plan


@pytest.mark.parametrize(
    ("agent", "waits"),
    [
        (_Steps(3), 2),  # then only the watcher is left: rounds 4 and 5 wait
        (_Steps(0, idle=6), 0),  # an agent that may still move: no round waits
    ],
)
def test_drive_waits_for_the_peer_only_when_nothing_but_watching_is_left(
    agent: _Steps, waits: int
) -> None:
    from vantor.cli.remote import Until

    waited: list[float] = []
    rounds = [0]

    def between() -> bool:
        rounds[0] += 1
        return False

    # The peer "answers" in the sixth round, whatever this side did meanwhile.
    watcher = Until(lambda: rounds[0] >= 6, "the client")
    agents.drive([agent, watcher], 5, between, waited.append)
    assert waited == [agents.IDLE_WAIT_S] * waits


def test_a_waiting_drive_still_gives_up_without_progress() -> None:
    from vantor.cli.remote import Until

    waited: list[float] = []
    with pytest.raises(agents.PerfError, match="no progress for 0.1 s waiting for the client"):
        agents.drive([Until(lambda: False, "the client")], 0.1, lambda: False, waited.append)
    assert waited


@pytest.mark.parametrize("latency", ["post", "pingpong"])
def test_perf_gives_up_without_progress(sim: Any, capsys: Any, latency: str) -> None:
    sim.hold()  # the fabric keeps every request: no completion ever comes
    status, _, _ = run(
        ["--sim", "perf", "--op", "write", "--sizes", "64", "--timeout", "0.2",
         "--latency", latency]
    )  # fmt: skip
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
        (["--sizes", "8G"], "larger than 4G"),
        (["--sizes", ","], "no size"),
        (["--max-size", "5G"], "larger than 4G"),
        (["-n", "0"], "positive integer"),
        (["-n", str(2**31)], "from 1 to 2147483647"),
        (["--warmup", "-1"], "non-negative integer"),
        (["-t", "0"], "positive integer"),
        (["-t", "1e3"], "positive integer"),
        (["-q", "0"], "number of queue pairs"),
        (["-q", "100000"], "from 1 to 1024"),
        (["-p", "99999"], "TCP port number from 0 to 65535"),
        (["-p", "-1"], "TCP port number"),
        (["--timeout", "-1"], "positive number of seconds"),
        (["--timeout", "inf"], "positive number of seconds"),
        (["--timeout", "nan"], "positive number of seconds"),
        (["-D", "0"], "positive number of seconds"),
        (["-n", "5", "-D", "1"], "not allowed with"),
        (["--latency", "fast"], "invalid choice"),
        (["--server", "--client", "h"], "not allowed with"),
    ],
)
def test_perf_argument_errors(sim: Any, capsys: Any, args: list[str], message: str) -> None:
    with pytest.raises(SystemExit) as info:
        main(["--sim", "perf", *args])
    assert info.value.code == 2
    err = capsys.readouterr().err
    assert message in err and "Traceback" not in err


def test_perf_client_needs_a_port(sim: Any, capsys: Any) -> None:
    status, _, _ = run(["--sim", "perf", "--client", "127.0.0.1", "-p", "0"])
    assert status == 2
    assert "--client needs the server's port" in capsys.readouterr().err


def test_perf_sweep_bounds(sim: Any, capsys: Any) -> None:
    status, doc, _ = run(
        ["--sim", "perf", "--json", "--op", "read", "--min-size", "3", "--max-size", "17", *SMALL]
    )
    assert [r["size"] for r in doc["results"]] == [4, 8, 16]
    status, _, _ = run(["--sim", "perf", "--min-size", "64", "--max-size", "8"])
    assert status == 2


def test_perf_text_says_what_ran(sim: Any) -> None:
    status, _, text = run(
        ["--sim", "perf", "--op", "send", "--sizes", "64", "-q", "2", "-b", *SMALL]
    )
    assert status == 0
    first, header = text.splitlines()[:2]
    assert first == (
        "vantor perf, loopback on efa_0 (software EFA device): 2 QP(s), tx depth 64, "
        "20 iters, bidirectional, latency: post"
    )
    assert header.split()[3:7] == ["MIN_us", "AVG_us", "STDEV_us", "P50_us"]
    assert "PEAK_MB/s" in header and "AVG_MB/s" in header


def test_perf_interrupted_keeps_what_was_measured(sim: Any, capsys: Any, monkeypatch: Any) -> None:
    import signal

    measured: list[Any] = []
    real_case = perf.loopback_case

    def interrupted_on_the_third(*args: Any) -> Any:
        if len(measured) == 2:
            signal.raise_signal(signal.SIGINT)  # what Ctrl-C sends
        measured.append(real_case(*args))
        return measured[-1]

    monkeypatch.setattr(perf, "loopback_case", interrupted_on_the_third)
    before = vsim.live_objects()
    status, doc, _ = run(
        ["--sim", "perf", "--json", "--op", "write", "--sizes", "8,16,32,64", *SMALL]
    )
    assert status == 130
    assert doc["interrupted"] is True
    assert [r["size"] for r in doc["results"]] == [8, 16]
    assert "interrupted" in capsys.readouterr().err
    assert vsim.live_objects() == before


def test_perf_plot_is_a_png(sim: Any, tmp_path: Any, monkeypatch: Any) -> None:
    pytest.importorskip("matplotlib", reason="matplotlib is not installed")
    from vantor.cli import cmd_perf, report

    titles: list[str] = []

    def plot(results: Any, path: str, title: str) -> None:
        titles.append(title)
        report.plot(results, path, title)

    monkeypatch.setattr(cmd_perf, "plot", plot)
    target = tmp_path / "perf.png"
    status, _, _ = run(["--sim", "perf", "--sizes", "64,1K", "--plot", str(target), *SMALL])
    assert status == 0
    assert target.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert titles == ["vantor perf: efa_0 (loopback), software EFA device"]


@pytest.mark.parametrize(
    "where, message",
    [
        ("/nonexistent/x.png", "no directory /nonexistent"),
        (".", "it is a directory"),
    ],
)
def test_perf_plot_path_is_checked_first(sim: Any, capsys: Any, where: str, message: str) -> None:
    pytest.importorskip("matplotlib", reason="matplotlib is not installed")
    with sim.recording() as log:
        status, _, _ = run(["--sim", "perf", "--plot", where])
    assert status == 2
    assert message in capsys.readouterr().err
    assert log.calls("ibv_open_device") == []  # refused before anything ran


def test_perf_plot_without_matplotlib(
    sim: Any, capsys: Any, monkeypatch: Any, tmp_path: Any
) -> None:
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    with sim.recording() as log:
        status, _, _ = run(["--sim", "perf", "--plot", str(tmp_path / "x.png")])
    assert status == 2
    assert "pip install 'vantor[plot]'" in capsys.readouterr().err
    assert log.calls("ibv_open_device") == []  # refused before anything ran


def test_perf_gpu_memory_needs_a_gpu_library(sim: Any, capsys: Any, monkeypatch: Any) -> None:
    # A machine without CUDA: neither library can hand out device memory.
    monkeypatch.setitem(sys.modules, "cupy", None)
    try:
        import torch

        has_cuda = torch.cuda.is_available()
    except ImportError:
        has_cuda = False
    with sim.recording() as log:
        status, _, _ = run(["--sim", "perf", "--use-cuda"])
    assert status == 2
    err = capsys.readouterr().err
    if has_cuda:
        assert "the software EFA device cannot reach GPU memory" in err
    else:
        assert "--use-cuda needs PyTorch or CuPy with a CUDA device" in err
        assert "cupy is not installed" in err
    assert log.calls("ibv_open_device") == []


# --- the command itself -------------------------------------------------------------------


@pytest.mark.parametrize("module", ["vantor", "vantor.cli"])
def test_version_and_module_entry(module: str) -> None:
    import vantor

    result = subprocess.run(
        [sys.executable, "-m", module, "--version"], capture_output=True, text=True,
        env=run_python_env(), timeout=60,
    )  # fmt: skip
    assert (result.returncode, result.stdout.strip()) == (0, f"vantor {vantor.__version__}")


def test_help_shows_the_defaults(capsys: Any) -> None:
    with pytest.raises(SystemExit):
        main(["perf", "--help"])
    text = " ".join(capsys.readouterr().out.split())
    for part in ("(default: 1000)", "(default: 16)", "(default: 64)", "(default: 18515)",
                 "(default: 10)", "(default: 1)", "(default: post)"):  # fmt: skip
        assert part in text, part


def test_closed_pipe_ends_quietly() -> None:
    # `vantor --sim --json info efa_0 | head -c 10`: the reader goes away first
    proc = subprocess.Popen(
        [sys.executable, "-m", "vantor", "--sim", "--json", "info", "efa_0"],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=run_python_env(),
    )  # fmt: skip
    assert proc.stdout is not None and proc.stderr is not None
    proc.stdout.close()
    err = proc.stderr.read()
    assert proc.wait(60) in (0, 141)
    assert err == b""


def test_schema_ships_with_the_package() -> None:
    import importlib.resources

    text = importlib.resources.files("vantor.cli").joinpath("output.schema.json").read_text()
    schema = json.loads(text)
    assert schema["properties"]["schema_version"] == {"const": 1}
    validator()


@pytest.mark.parametrize(
    "doc",
    [
        {"schema_version": 2, "command": "devices", "simulator": True, "devices": []},
        {"schema_version": 1, "command": "devices", "simulator": True},
        {"schema_version": 1, "command": "nope", "simulator": True},
    ],
)
def test_schema_refuses_what_the_command_never_writes(doc: dict[str, Any]) -> None:
    assert list(validator().iter_errors(doc))


# --- without EFA ------------------------------------------------------------------------


@pytest.mark.parametrize("command", [["devices"], ["info"], ["perf"], ["devices", "--json"]])
def test_without_efa_suggests_the_simulator(command: list[str]) -> None:
    # A fresh process on the host's own rdma-core, which has no EFA device here.
    if real_efa_present():
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
