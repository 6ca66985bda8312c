"""What vantor finds on this machine: the system's rdma-core, then the simulator."""

from __future__ import annotations

import subprocess
import sys


def probe(activate_simulator: bool) -> str:
    code = (
        ("import vantor.sim; vantor.sim.activate()\n" if activate_simulator else "")
        + "import vantor._vantor as m\n"
        + "print(f'linked={m._linked()} dmabuf={m._has_dmabuf()}')\n"
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    return (result.stdout or result.stderr).strip().splitlines()[-1]


if __name__ == "__main__":
    print("system rdma-core:", probe(False))
    print("software EFA device:", probe(True))
