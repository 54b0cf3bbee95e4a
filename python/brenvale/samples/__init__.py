"""Build models shipped with the package, for demonstrations and smoke tests.

Their origin and licence are in ATTRIBUTION beside this file.
"""

from __future__ import annotations

from pathlib import Path

DEFAULT_SAMPLE = "nrf52840-zephyr-spectrum-analyzer.model.json"
#: An earlier build of DEFAULT_SAMPLE's firmware, the baseline of the demonstration.
BASELINE_SAMPLE = "nrf52840-zephyr-spectrum-analyzer.baseline.model.json"


def sample_path(name: str = DEFAULT_SAMPLE) -> Path:
    """Path of a bundled model file; FileNotFoundError names the ones there are."""
    path = Path(__file__).with_name(name)
    if not path.is_file() or not name.endswith(".model.json"):
        available = ", ".join(sorted(p.name for p in Path(__file__).parent.glob("*.model.json")))
        raise FileNotFoundError(f"no bundled sample {name!r} (available: {available})")
    return path


__all__ = ["BASELINE_SAMPLE", "DEFAULT_SAMPLE", "sample_path"]
