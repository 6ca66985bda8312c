"""``python -m vantor.scenarios run | compare | regenerate | list``."""

from __future__ import annotations

import argparse
import json
import sys
from pathlib import Path


def _activate(simulated: bool) -> None:
    if simulated:
        import vantor.sim

        vantor.sim.activate()


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m vantor.scenarios", description=__doc__)
    sub = parser.add_subparsers(dest="command", required=True)
    run = sub.add_parser("run", help="run the scenarios and write the observations as JSON")
    run.add_argument("--sim", action="store_true", help="on the software EFA device")
    run.add_argument("--device", help="device name (default: the first EFA device)")
    run.add_argument("-o", "--output", help="file to write (default: standard output)")
    run.add_argument("only", nargs="*", help="scenario names or prefixes (default: all)")
    cmp = sub.add_parser("compare", help="print every observation where two reports disagree")
    cmp.add_argument("first")
    cmp.add_argument("second", nargs="?", help="default: the simulator's committed reference")
    sub.add_parser("regenerate", help="rewrite the committed reference from the simulator")
    sub.add_parser("list", help="the scenario names")
    peer = sub.add_parser("peer", help=argparse.SUPPRESS)
    peer.add_argument("--sim", action="store_true")
    peer.add_argument("--device")
    probe = sub.add_parser("probe", help=argparse.SUPPRESS)
    probe.add_argument("name")
    probe.add_argument("--sim", action="store_true")
    probe.add_argument("--device")
    args = parser.parse_args(argv)

    from vantor import scenarios

    if args.command == "list":
        print("\n".join(scenarios.names()))
        return 0
    if args.command == "peer":
        _activate(args.sim)
        from vantor.scenarios.processes import serve_peer

        return serve_peer(args.sim, args.device)
    if args.command == "probe":
        _activate(args.sim)
        from vantor.scenarios.probes import serve_probe

        return serve_probe(args.name, args.sim, args.device)
    if args.command == "compare":
        first = json.loads(Path(args.first).read_text())
        second = json.loads(Path(args.second or scenarios.REFERENCE).read_text())
        lines = scenarios.compare(first, second)
        print("\n".join(lines) if lines else "the two reports agree")
        return 1 if lines else 0
    simulated = args.command == "regenerate" or args.sim
    _activate(simulated)
    report = scenarios.run(simulated, getattr(args, "device", None), getattr(args, "only", None))
    text = scenarios.dumps(report)
    out = str(scenarios.REFERENCE) if args.command == "regenerate" else args.output
    if out:
        Path(out).write_text(text)
    else:
        sys.stdout.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
