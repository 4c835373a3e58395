"""The lock probe of the benches: its window must leave out the lock-held stretches."""

import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))
pytest.importorskip("lock_probe")
from lock_probe import freeStretch

STEP = 100_000  # ns


def ticks(walls):
    # The caller's CPU runs with the wall clock here.
    return [(w, w) for w in walls]


@pytest.mark.parametrize(
    "walls, expected",
    [
        # masking readings, then the one taken at the hand-off after a 13 ms build
        ([0, 160_000, 320_000, 480_000, 13_480_000], 480_000),
        # a reading at the call's start before a lock-held read, then the masking
        ([0, 9_000_000, 9_160_000, 9_320_000, 9_480_000], 480_000),
        # both at once; a silence inside the window (the probe waiting for a core) stays in it
        ([0, 9_000_000, 9_160_000, 9_900_000, 10_060_000, 23_000_000], 1_060_000),
        ([0, 160_000, 330_000], 330_000),
        ([5], 0),
        ([], 0),
    ],
)
def test_free_stretch(walls, expected):
    assert freeStretch(ticks(walls), STEP) == (expected, expected)


def test_ab_turns_and_reports(capsys):
    # Both sides the same build: each round runs both, and the report's
    # median line reads back.
    import zorva_rs
    from ab import main

    module = str(Path(zorva_rs.__file__).resolve().parent)
    assert main([module, module, "--table", "people", "--column", "tax_ref", "--rows", "3000", "--rounds", "2"]) == 0
    out = capsys.readouterr().out.splitlines()
    assert [line.split(":")[0].strip() for line in out[1:3]] == ["round 1", "round 2"]
    median = float(out[-1].split("median ")[1].split(",")[0])
    assert 0.5 < median < 2
