"""The README's SRD example runs as written."""

from __future__ import annotations

import re
from pathlib import Path

from conftest import run_python

README = Path(__file__).resolve().parent.parent / "README.md"


def test_minimal_srd_example_runs():
    blocks = re.findall(r"```python\n(.*?)```", README.read_text(), re.S)
    example = next(block for block in blocks if "post_send" in block)
    result = run_python(example)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "bytearray(b'hello over SRD')"
