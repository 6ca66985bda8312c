"""Unmodified rdma-core programs on the software device, started through
`vantor sim run`: rdma-core's verbs utilities (Debian `ibverbs-utils`) and
perftest's SRD tools (Debian `perftest`), server and client as two processes
on one simulated host. These check that the programs load, complete and
report sane figures; their speed is measured by bench/, not here."""

from __future__ import annotations

import os
import re
import shutil
import subprocess
import sys
import time
from pathlib import Path

import pytest

import vantor
from vantor.cli.net import free_port, listening

SRC = str(Path(vantor.__file__).resolve().parent.parent)


def need(program: str) -> None:
    if shutil.which(program) is None:
        pytest.skip(f"{program} is not installed (apt-get install perftest ibverbs-utils)")


def host_name(tag: str) -> str:
    # A host per test: other runs of the suite on this machine stay apart.
    return f"vp-{os.getpid()}-{tag}"[:64]


def this_host() -> str:
    # The simulated host of this test process: a device's GUID and GID depend
    # on the host, so a program that shows them must run on the same one.
    return os.environ["VANTOR_SIM_HOST"]


def sim_run_cmd(host: str, *program: str) -> list[str]:
    return [sys.executable, "-m", "vantor.cli", "sim", "run", "--host", host, "--", *program]


def env() -> dict[str, str]:
    e = dict(os.environ)
    e["PYTHONPATH"] = os.pathsep.join([SRC, *filter(None, [e.get("PYTHONPATH")])])
    return e


def run(host: str, *program: str, timeout: float = 120) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        sim_run_cmd(host, *program), capture_output=True, text=True, env=env(), timeout=timeout
    )


def client_server(
    tag: str, server: list[str], client: list[str], port: int, timeout: float = 180
) -> tuple[subprocess.CompletedProcess[str], subprocess.CompletedProcess[str]]:
    """Runs `server`, waits until it listens on `port`, then runs `client`
    against it; both on one simulated host."""
    host = host_name(tag)
    srv = subprocess.Popen(
        sim_run_cmd(host, *server),
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=env(),
    )
    try:
        deadline = time.monotonic() + 60
        while not listening(port):
            if srv.poll() is not None or time.monotonic() > deadline:
                out, err = srv.communicate(timeout=10) if srv.poll() is None else srv.communicate()
                pytest.fail(f"server never listened on {port}:\n{out}\n{err}")
            time.sleep(0.05)
        cli = run(host, *client, timeout=timeout)
        out, err = srv.communicate(timeout=timeout)
    finally:
        if srv.poll() is None:
            srv.kill()
            srv.communicate()
    return subprocess.CompletedProcess(server, srv.returncode, out, err), cli


# --- the verbs utilities -------------------------------------------------------


def devinfo_fields(text: str) -> dict[str, str]:
    fields: dict[str, str] = {}
    for line in text.splitlines():
        key, sep, value = line.strip().partition(":")
        if sep and value.strip():
            fields.setdefault(key.strip(), value.strip())
    return fields


def test_ibv_devices_lists_the_device_with_its_guid(sim):
    need("ibv_devices")
    proc = run(this_host(), "ibv_devices")
    assert proc.returncode == 0, proc.stderr
    stored = sim.device_field(0, "device.node_guid")  # network byte order
    guid = int.from_bytes(stored.to_bytes(8, "little"), "big")
    assert re.search(rf"^\s*efa_0\s+{guid:016x}\s*$", proc.stdout, re.M), proc.stdout


@pytest.fixture(scope="module")
def devinfo() -> dict[str, str]:
    need("ibv_devinfo")
    proc = run(this_host(), "ibv_devinfo", "-v")
    assert proc.returncode == 0, proc.stderr
    return devinfo_fields(proc.stdout)


# What `ibv_devinfo -v` shows for an EFA device: the node is of no InfiniBand
# type (transport unspecified) and the port is the EFA driver's.
@pytest.mark.parametrize(
    ("field", "shown"),
    [
        ("hca_id", "efa_0"),
        ("transport", "unspecified (4)"),
        ("fw_ver", "0.0.0.0"),
        ("vendor_id", "0x1d0f"),
        ("vendor_part_id", "61345"),
        ("phys_port_cnt", "1"),
        ("max_pkeys", "1"),
        ("atomic_cap", "ATOMIC_NONE (0)"),
        ("num_comp_vectors", "4"),
        ("state", "PORT_ACTIVE (4)"),
        ("max_mtu", "4096 (5)"),
        ("active_mtu", "4096 (5)"),
        ("sm_lid", "0"),
        ("port_lid", "0"),
        ("port_lmc", "0x01"),
        ("link_layer", "Unspecified"),
        ("max_msg_sz", "0x22e0"),
        ("port_cap_flags", "0x00000000"),
        ("max_vl_num", "1 (1)"),
        ("pkey_tbl_len", "1"),
        ("gid_tbl_len", "1"),
        ("active_width", "4X (2)"),
        ("active_speed", "25.0 Gbps (32)"),
    ],
)
def test_ibv_devinfo_shows_an_efa_device(devinfo, field, shown):
    assert devinfo.get(field) == shown


def test_ibv_devinfo_shows_the_gid(sim, devinfo):
    raw = sim.device_gid(0)
    groups = ":".join(raw[i : i + 2].hex() for i in range(0, 16, 2))
    assert devinfo.get("GID[  0]") == groups


def test_ibv_ud_pingpong_between_two_processes():
    need("ibv_ud_pingpong")
    port = str(free_port())
    args = ["ibv_ud_pingpong", "-g", "0", "-n", "50", "-p", port]
    srv, cli = client_server("ud", args, [*args, "localhost"], int(port))
    for proc in (srv, cli):
        assert proc.returncode == 0, proc.stdout + proc.stderr
        assert re.search(r"^50 iters in [\d.]+ seconds", proc.stdout, re.M), proc.stdout


def test_ibv_rc_pingpong_fails_cleanly_for_want_of_rc():
    """EFA has no RC queue pairs: creating one fails (EOPNOTSUPP), and the
    program reports it and exits, without crashing."""
    need("ibv_rc_pingpong")
    proc = run(host_name("rc"), "ibv_rc_pingpong", "-g", "0", "-p", str(free_port()))
    assert proc.returncode == 1, proc.stdout + proc.stderr
    assert "Couldn't create QP" in proc.stderr


# --- perftest --------------------------------------------------------------------

BW_ROW = re.compile(r"^\s*(\d+)\s+(\d+)\s+([\d.]+)\s+([\d.]+)\s+([\d.]+)\s*$", re.M)
LAT_ROW = re.compile(r"^\s*(\d+)\s+(\d+)\s+([\d.]+)\s+([\d.]+)\s+([\d.]+)\s+([\d.]+)", re.M)


@pytest.mark.parametrize(
    ("tool", "iters"),
    [("ib_send_bw", 200), ("ib_read_bw", 200), ("ib_send_lat", 100), ("ib_read_lat", 100)],
)
def test_perftest_srd_tool_completes(tool, iters):
    need(tool)
    port = str(free_port())
    args = [tool, "-c", "SRD", "-x", "0", "-n", str(iters), "-p", port]
    srv, cli = client_server(tool, args, [*args, "localhost"], int(port))
    # Both sides tear down cleanly too (closing the device with its objects
    # still open is part of that).
    assert srv.returncode == 0, srv.stdout + srv.stderr
    assert cli.returncode == 0, cli.stdout + cli.stderr
    if tool.endswith("_bw"):
        size, n, peak, average, rate = BW_ROW.findall(cli.stdout)[-1]
        assert int(size) > 0 and int(n) == iters
        assert float(average) > 0 and float(rate) > 0
        assert float(peak) >= float(average) * 0.99
    else:
        size, n, t_min, t_max, t_typical, t_avg = LAT_ROW.findall(cli.stdout)[-1]
        assert int(size) > 0 and int(n) == iters
        assert 0 < float(t_min) <= float(t_typical) <= float(t_max)
        assert float(t_min) <= float(t_avg) <= float(t_max)
