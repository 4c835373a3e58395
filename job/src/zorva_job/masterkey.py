"""The master key: from the environment or from a file only its owner can read.

A key on the command line would show in every user's process list and in the
shell's history, so there is no such option; the messages here never show a
byte of the key, nor any other text read from where the key was.
"""

from __future__ import annotations

import os
import stat
from collections.abc import Mapping
from pathlib import Path

from .policy import PolicyError

KEY_ENV = "ZORVA_MASTER_KEY"
MIN_BYTES = 16


def _parse(text: str, where: str) -> bytes:
    try:
        key = bytes.fromhex("".join(text.split()))
    except ValueError:
        raise PolicyError(f"the master key in {where} is not hex digits") from None
    if len(key) < MIN_BYTES:
        raise PolicyError(f"the master key in {where} has {len(key)} bytes; it needs at least {MIN_BYTES}")
    return key


def read_key_file(path: str | Path) -> bytes:
    """The key in hex from `path`, which must not be open to its group or others."""
    try:
        with open(path, "rb") as f:
            mode = os.fstat(f.fileno()).st_mode
            if mode & 0o077:
                raise PolicyError(
                    f"the key file {path} is open to others (mode {stat.filemode(mode)}): "
                    "make it readable by its owner only (chmod 600)"
                )
            data = f.read(1 << 16)
    except OSError as e:
        raise PolicyError(f"cannot read the key file {path}: {e.strerror}") from None
    try:
        text = data.decode("ascii")
    except UnicodeDecodeError:
        raise PolicyError(f"the master key in {path} is not hex digits") from None
    return _parse(text, str(path))


def master_key(key_file: str | None, environ: Mapping[str, str] | None = None) -> bytes:
    """The key of `--key-file`, else of the environment variable; neither is an error."""
    if key_file is not None:
        return read_key_file(key_file)
    env = os.environ if environ is None else environ
    text = env.get(KEY_ENV)
    if text:
        return _parse(text, f"${KEY_ENV}")
    raise PolicyError(
        f"no master key: set {KEY_ENV} to the key in hex, or pass --key-file FILE "
        "(a file readable by its owner only); the key is never taken from the command line"
    )
