"""Masks a Polars DataFrame through the columnar door: Polars hands its Arrow buffers
to zorva_arrow.maskBatch and reads the masked buffers back, no Python object per value.

    python3 examples/polars_mask.py
"""

from __future__ import annotations

import polars as pl
import zorva_arrow
from demo_key import DEMO_KEY
from zorva_job.policy import derive_subkey

POLICY = {
    "email": ("email", {"mailDomain": "example.test"}),
    "salary": ("number", {"variance": "0.1", "decimals": 2}),
    "phone": ("digits", {"keepLeading": 1}),
}


def mask_frame(frame: pl.DataFrame, key: bytes = DEMO_KEY) -> pl.DataFrame:
    maskers = [
        zorva_arrow.Masker(derive_subkey(key, name), *POLICY[name]) if name in POLICY else None
        for name in frame.columns
    ]
    masked, problems = zorva_arrow.maskBatch(maskers, frame)
    if problems:  # a full job finishes fallbacks and stops on refusals (zorva_job.columnar)
        raise ValueError(f"{len(problems)} value(s) left to the caller: {problems[:3]}")
    return pl.DataFrame(masked)


if __name__ == "__main__":
    print(
        mask_frame(
            pl.DataFrame(
                {
                    "name": ["Ann", "Bob"],
                    "email": ["ann@example.com", "bob@example.org"],
                    "phone": ["+1 (555) 010-0001", "+1 (555) 010-0002"],
                    "salary": [52000.5, 61000.25],
                }
            )
        )
    )
