"""The scenario runner: the simulator's observations equal the committed
reference, and the compare command names every disagreement."""

from __future__ import annotations

import copy
import json
import os
import subprocess
import sys

import pytest

import vantor
from vantor import scenarios

SRC = os.path.dirname(os.path.dirname(os.path.abspath(vantor.__file__)))
REGENERATE = "python -m vantor.scenarios regenerate"


def run_module(*args: str, timeout: float = 600) -> subprocess.CompletedProcess[str]:
    env = dict(
        os.environ, PYTHONPATH=os.pathsep.join(filter(None, [SRC, os.environ.get("PYTHONPATH")]))
    )
    return subprocess.run([sys.executable, "-m", "vantor.scenarios", *args], capture_output=True,
                          text=True, timeout=timeout, env=env)  # fmt: skip


@pytest.fixture(scope="module")
def reference() -> dict:
    return json.loads(scenarios.REFERENCE.read_text())


def test_simulator_matches_the_committed_reference(tmp_path, reference):
    out = tmp_path / "sim.json"
    proc = run_module("run", "--sim", "-o", str(out))
    assert proc.returncode == 0, proc.stderr
    report = json.loads(out.read_text())
    assert report["environment"]["simulated"] is True
    differences = scenarios.compare(report, reference)
    assert differences == [], (
        "the simulator's observations changed; if on purpose, run "
        f"`{REGENERATE}` and commit the reference:\n" + "\n".join(differences)
    )
    for name, obs in report["scenarios"].items():
        assert "exception" not in json.dumps(obs), (name, obs)


def test_reference_covers_every_scenario(reference):
    assert sorted(reference["scenarios"]) == scenarios.names()


@pytest.mark.parametrize(
    ("change", "expected"),
    [
        (lambda s: None, []),
        (
            lambda s: s["post.recv_queue"].update(one_more="ok"),
            ["post.recv_queue: one_more: ok != ENOMEM"],
        ),
        (
            lambda s: s["delivery.ud_datagrams"]["exact_fit"]["placed"].update(payload_at=0),
            ["delivery.ud_datagrams: exact_fit.placed.payload_at: 0 != 40"],
        ),
        (lambda s: s.pop("device.gid"), ["device.gid: only in second report"]),
        (lambda s: s["device.port"].pop("lid"), ["device.port: lid: <missing> != 0"]),
    ],
    ids=["same", "errno", "nested", "missing-scenario", "missing-field"],
)
def test_compare_names_each_disagreement(reference, change, expected):
    mine = copy.deepcopy(reference)
    mine["environment"] = {"simulated": False, "device": "rdmap0s6"}  # never compared
    change(mine["scenarios"])
    assert scenarios.compare(mine, reference) == expected


def test_compare_command_exit_status(tmp_path, reference):
    same, other = tmp_path / "same.json", tmp_path / "other.json"
    same.write_text(json.dumps(reference))
    changed = copy.deepcopy(reference)
    changed["scenarios"]["device.port"]["max_msg_sz"] = 1
    other.write_text(json.dumps(changed))
    agree = run_module("compare", str(same))  # against the committed reference
    assert (agree.returncode, agree.stdout.strip()) == (0, "the two reports agree")
    differ = run_module("compare", str(other), str(same))
    assert differ.returncode == 1
    assert differ.stdout.splitlines() == ["device.port: max_msg_sz: 1 != 8928"]
