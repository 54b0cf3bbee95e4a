"""The benchmark still runs against the package as installed.

It imports the host layer's modules by path, so a module that moves leaves it
broken without any other test noticing. The quick run takes a few seconds and
is not held to the targets; it must finish and print a verdict for each one.
"""

import os
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]


# Under the sanitizers its timings mean nothing, and every subprocess would carry
# the preloaded runtime.
@pytest.mark.skipif(bool(os.environ.get("BRENVALE_SANITIZED")), reason="timings under the sanitizers")
def test_quick_benchmark_runs_and_prints_every_verdict():
    run = subprocess.run(
        [sys.executable, str(ROOT / "bench" / "run.py"), "--quick", "--repeat", "1"],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert run.returncode == 0, run.stderr[-2000:]
    verdicts = [line for line in run.stdout.splitlines() if "target" in line or "must hold" in line]
    assert len(verdicts) >= 8, run.stdout
    for line in verdicts:
        assert line.rstrip().endswith((": met", ": NOT met")), line
    # Exactness is not a speed target: the JSON path must give json.dumps's bytes.
    assert any("json.dumps" in line and line.rstrip().endswith("yes   must hold: met") for line in verdicts), run.stdout
