"""What a killed job leaves for `--resume`: the tables it finished, under a fingerprint of
everything that decides the target's bytes (policy, word lists, source, key, tables).

The fingerprint holds a keyed hash of the master key, never the key: a resume
with another key starts over instead of mixing two keys' values.
"""

from __future__ import annotations

import hashlib
import hmac
import json
import os
from collections.abc import Iterable
from pathlib import Path


def fingerprint(master: bytes, *parts: bytes | str) -> str:
    h = hashlib.sha256(hmac.new(master, b"zorva-job resume", hashlib.sha256).digest())
    for p in parts:
        data = p.encode("utf-8") if isinstance(p, str) else p
        h.update(len(data).to_bytes(8, "big") + data)
    return h.hexdigest()


def write_atomically(path: Path, data: bytes) -> None:
    """`path` holds `data` whole, or what it held before: never a torn file."""
    tmp = path.with_name(path.name + ".tmp")
    with open(tmp, "wb") as f:
        f.write(data)
        f.flush()
        os.fsync(f.fileno())
    os.replace(tmp, path)
    sync_dir(path.parent)


def sync_dir(folder: Path) -> None:
    fd = os.open(folder, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


class StateFile:
    """The JSON beside a partial target: {"fingerprint": ..., "finished": [tables]}."""

    def __init__(self, path: Path, fingerprint: str) -> None:
        self.path, self.fingerprint = path, fingerprint

    def load(self) -> set[str] | None:
        """The finished tables of a job with this fingerprint, None for any other state."""
        try:
            doc = json.loads(self.path.read_text(encoding="utf-8"))
        except (OSError, ValueError):
            return None
        if not isinstance(doc, dict) or doc.get("fingerprint") != self.fingerprint:
            return None
        finished = doc.get("finished")
        return {str(t) for t in finished} if isinstance(finished, list) else None

    def save(self, finished: Iterable[str]) -> None:
        doc = {"fingerprint": self.fingerprint, "finished": sorted(finished)}
        write_atomically(self.path, json.dumps(doc).encode("utf-8"))

    def remove(self) -> None:
        self.path.unlink(missing_ok=True)
