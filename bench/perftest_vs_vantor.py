#!/usr/bin/env python3
"""perftest's SRD tools next to `vantor perf --sim`, same operation and size.

Both run as two processes (server and client) on one simulated host of the
software EFA device: perftest through `vantor sim run`, vantor through
`vantor perf --sim --server/--client`. For each operation and size it prints
the typical (median) latency and the average bandwidth each tool reports
(perftest's MB are 2**20 bytes, vantor's 10**6: the table converts perftest's
to 10**6), best of --runs runs, as a Markdown table. bench/xproc_suite.py runs
perftest through this module's `perftest` too.

    bench/perftest_vs_vantor.py                       # SEND and RDMA_READ, 2 B .. 8928 B
    bench/perftest_vs_vantor.py --sizes 64,4096 -n 500 --runs 5

Needs perftest (apt-get install perftest) and the simulator built in place
(scripts/dev-build). Figures depend on the machine and its load.
"""

from __future__ import annotations

import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
if __name__ == "__main__":
    sys.path.insert(0, str(ROOT / "src"))  # the checkout's vantor, as the runs below use

import vantor as vantor_package  # noqa: E402
from vantor.cli.net import free_port, listening  # noqa: E402

TOOLS = {"send": ("ib_send_lat", "ib_send_bw"), "read": ("ib_read_lat", "ib_read_bw")}
BW_ROW = re.compile(r"^\s*(\d+)\s+(\d+)\s+([\d.]+)\s+([\d.]+)\s+([\d.]+)\s*$", re.M)
LAT_ROW = re.compile(r"^\s*(\d+)\s+(\d+)\s+([\d.]+)\s+([\d.]+)\s+([\d.]+)\s+([\d.]+)", re.M)
#: perftest reports bandwidth in MiB/s (its --help: "in Gbit/sec (instead of MiB/sec)")
#: under a "MB/sec" header.
PERFTEST_MB = 1 << 20


def missing(tools: tuple[str, ...]) -> list[str]:
    """The tools of `tools` that are not installed."""
    return [tool for tool in tools if shutil.which(tool) is None]


def env() -> dict[str, str]:
    """The environment with the vantor package in use first on the path."""
    e = dict(os.environ)
    src = str(Path(vantor_package.__file__).resolve().parent.parent)
    e["PYTHONPATH"] = os.pathsep.join([src, *filter(None, [e.get("PYTHONPATH")])])
    return e


def vantor(*args: str) -> list[str]:
    return [sys.executable, "-m", "vantor.cli", *args]


def pair(
    server: list[str],
    client: list[str],
    port: int,
    extra_env: dict[str, str],
    timeout: float = 600,
) -> str:
    """Runs server and client; returns the client's output. Either taking
    longer than `timeout` seconds raises subprocess.TimeoutExpired."""
    e = {**env(), **extra_env}
    srv = subprocess.Popen(server, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=e)
    try:
        deadline = time.monotonic() + 60
        while not listening(port):
            if srv.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError(f"server did not start: {' '.join(server)}")
            time.sleep(0.05)
        cli = subprocess.run(client, capture_output=True, text=True, env=e, timeout=timeout)
        srv.wait(timeout=timeout)
    finally:
        if srv.poll() is None:
            srv.kill()
            srv.wait()
    if cli.returncode or srv.returncode:
        raise RuntimeError(f"{' '.join(client)} failed:\n{cli.stdout}\n{cli.stderr}")
    return cli.stdout


def perftest(tool: str, size: int, iters: int, host: str, timeout: float = 600) -> float:
    """Runs `tool` as server and client on simulated `host`: the typical
    latency in us (half the round trip, as perftest reports it) of a latency
    tool, the average bandwidth in MB/s (10**6 bytes) of a bandwidth tool."""
    port = free_port()
    args = [tool, "-c", "SRD", "-x", "0", "-s", str(size), "-n", str(iters), "-p", str(port)]
    run = vantor("sim", "run", "--host", host, "--")
    out = pair([*run, *args], [*run, *args, "localhost"], port, {}, timeout)
    if tool.endswith("_bw"):
        return float(BW_ROW.findall(out)[-1][3]) * PERFTEST_MB / 1e6
    return float(LAT_ROW.findall(out)[-1][4])  # t_typical


def vantor_perf(op: str, size: int, iters: int, host: str) -> tuple[float, float]:
    port = str(free_port())
    common = ["--sim", "--json", "--op", op, "--sizes", str(size), "-n", str(iters), "-p", port]
    out = pair(
        vantor("perf", "--server", *common),
        vantor("perf", "--client", "localhost", *common),
        int(port),
        {"VANTOR_SIM_HOST": host},
    )
    (result,) = json.loads(out)["results"]
    return float(result["latency_us"]["p50"]), float(result["bandwidth"]["avg_MBps"])


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--ops", default="send,read", help="send,read (default both)")
    parser.add_argument("--sizes", default="2,1024,8928", help="message sizes in bytes")
    # ib_send_bw's server keeps 512 receives posted and sets no RNR retry:
    # beyond 512 messages a slow server makes the client fail with
    # RNR_RETRY_EXC_ERR, so the default stays below that.
    parser.add_argument("-n", "--iters", type=int, default=500, help="iterations per run")
    parser.add_argument("--runs", type=int, default=3, help="runs per figure (best is kept)")
    args = parser.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]
    host = f"bench-{os.getpid()}"
    print("| op | bytes | perftest lat us | vantor lat us | perftest MB/s | vantor MB/s |")
    print("|---|---:|---:|---:|---:|---:|")
    for op in args.ops.split(","):
        lat_tool, bw_tool = TOOLS[op]
        for size in sizes:
            p_lat, p_bw, v_lat, v_bw = [], [], [], []
            for _ in range(args.runs):  # interleaved, so that both see the same load
                p_lat.append(perftest(lat_tool, size, args.iters, host))
                p_bw.append(perftest(bw_tool, size, args.iters, host))
                lat, bw = vantor_perf(op, size, args.iters, host)
                v_lat.append(lat)
                v_bw.append(bw)
            print(
                f"| {op} | {size} | {min(p_lat):.2f} | {min(v_lat):.2f} "
                f"| {max(p_bw):.2f} | {max(v_bw):.2f} |",
                flush=True,
            )
    return 0


if __name__ == "__main__":
    sys.exit(main())
