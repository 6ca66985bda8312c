"""What the command's test modules share: running the command in this
process and checking what it writes against the shipped JSON schema."""

from __future__ import annotations

import functools
import io
import json
import os
from typing import Any

import pytest

from conftest import run_python
from vantor.cli import main
from vantor.cli.common import schema_path

SMALL = ["-n", "20", "--warmup", "2"]


@functools.cache
def validator() -> Any:
    jsonschema = pytest.importorskip("jsonschema")
    with open(schema_path()) as f:
        schema = json.load(f)
    jsonschema.Draft202012Validator.check_schema(schema)
    return jsonschema.Draft202012Validator(schema)


def check_schema(doc: Any) -> Any:
    """Every document the command writes follows the schema shipped with it."""
    errors = sorted(validator().iter_errors(doc), key=lambda e: list(e.path))
    assert not errors, "\n".join(f"{list(e.path)}: {e.message[:300]}" for e in errors)
    return doc


def run(argv: list[str]) -> tuple[int, Any, str]:
    """Runs the command in this process; returns (status, parsed JSON or text, stdout)."""
    out = io.StringIO()
    status = main(argv, out=out)
    text = out.getvalue()
    try:
        doc = json.loads(text)
    except ValueError:
        return status, None, text
    return status, check_schema(doc), text


def open_first() -> Any:
    import vantor._vantor as v

    return v.get_efa_device_list()[0].open()


def run_python_env() -> dict[str, str]:
    from pathlib import Path

    import vantor

    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        [str(Path(vantor.__file__).resolve().parent.parent), env.get("PYTHONPATH", "")]
    )
    return env


@functools.cache
def real_efa_present() -> bool:
    probe = run_python(
        "import vantor._vantor as v\nprint(len(v.get_efa_device_list()))", timeout=60
    )
    return probe.returncode == 0 and probe.stdout.strip() not in ("", "0")
