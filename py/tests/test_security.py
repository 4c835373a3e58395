"""Keys: equal subkeys give the same answers everywhere, and no key material can
be reached or copied from Python. That every bit of the subkey counts is held
by the model tests, which draw random subkeys."""

import copy
import gc
import os
import pickle
import subprocess
import sys
import weakref
from decimal import Decimal

import pytest
import zorva_rs
from conftest import KEY, WORDS
from test_hostile import CONFIGS

# Every strategy on columns large enough for the pool.
VALUES = [f"AbC{i:06d}xyz" for i in range(300)] + [10**11 + 7919 * i for i in range(300)]
VALUES += (
    [f"user{i}@example.com" for i in range(100)]
    + [i + 0.5 for i in range(100)]
    + [Decimal(f"{i}.25") for i in range(100)]
)
CASES = [(name, options, VALUES) for name, options in CONFIGS]


SCRIPT = """
import pickle, sys, zorva_rs
from decimal import Decimal
cases, threads = pickle.loads(bytes.fromhex(sys.stdin.read()))
zorva_rs.setThreads(threads)
out = [zorva_rs.Masker(bytes(range(32)), n, o).maskColumn(v) for n, o, v in cases]
sys.stdout.write(pickle.dumps(out).hex())
"""


def test_equal_subkeys_agree_across_processes_and_thread_counts():
    here = [zorva_rs.Masker(KEY, n, o).maskColumn(v) for n, o, v in CASES]
    for threads, hash_seed in ((1, 1), (3, 2)):
        done = subprocess.run(
            [sys.executable, "-c", SCRIPT],
            input=pickle.dumps((CASES, threads)).hex(),
            capture_output=True,
            text=True,
            check=True,
            env=dict(os.environ, PYTHONHASHSEED=str(hash_seed)),
        )
        assert pickle.loads(bytes.fromhex(done.stdout)) == here


def test_a_masker_cannot_be_copied_pickled_extended_or_weakly_referenced():
    masker = zorva_rs.Masker(KEY, "fakeCity", WORDS)
    assert not hasattr(masker, "__dict__")
    for attempt, error in [
        (pickle.dumps, TypeError),
        (copy.copy, TypeError),
        (copy.deepcopy, TypeError),
        (lambda m: pickle.dumps(m, protocol=0), TypeError),
        (lambda m: m.__reduce_ex__(2), TypeError),
        (weakref.ref, TypeError),
        (lambda m: setattr(m, "extra", 1), AttributeError),
        (lambda m: setattr(m, "maskColumn", None), AttributeError),
    ]:
        with pytest.raises(error):
            attempt(masker)


@pytest.mark.parametrize("name", ["key", "fpe", "email", "fakeName"])
def test_no_key_material_is_reachable_from_python(name):
    subkey = bytes(range(100, 132))
    refs = sys.getrefcount(subkey)
    masker = zorva_rs.Masker(subkey, name, WORDS)
    assert sys.getrefcount(subkey) == refs, "the Masker kept the subkey object"
    assert [r for r in gc.get_referents(masker) if r is not type(masker)] == []
    values = [getattr(masker, attribute, None) for attribute in dir(masker)]
    assert not [v for v in values if isinstance(v, (bytes, bytearray, memoryview)) and subkey in bytes(v)]
    assert subkey.hex() not in repr(masker) and str(subkey) not in repr(masker)
