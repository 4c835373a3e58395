"""Masks a partitioned Parquet dataset on a Dask cluster, one task per file.

    python3 examples/scale_out.py [--rows N] [--partitions P] [--workers W]

Each partition goes through the columnar door: pyarrow reads the file, one
zorva_arrow.maskBatch call masks every column of it without a Python object per
value, and pyarrow writes the masked buffers. Maskers hold native state and
cannot be pickled, so no Masker crosses the wire: each task gets the master key and the paths of the policy and word
lists, and each worker process builds its Maskers once (the same subkeys, as
HMAC-SHA-256(master key, column name)) and reuses them for every partition it
masks. Masking is deterministic, so the files the cluster writes are byte for
byte the files a single process writes; this script checks that.
"""

from __future__ import annotations

import argparse
import functools
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
if str(HERE) not in sys.path:
    sys.path.insert(0, str(HERE))

import sample_data  # noqa: E402
from demo_key import DEMO_KEY  # noqa: E402
from zorva_job.columnar import BatchMasker  # noqa: E402
from zorva_job.policy import Policy, load_words  # noqa: E402


def arrow_schema():
    import pyarrow as pa

    types = {
        "INTEGER PRIMARY KEY": pa.int64(),
        "INTEGER": pa.int64(),
        "TEXT": pa.string(),
        "REAL": pa.float64(),
        "DECIMAL TEXT": pa.decimal128(12, 2),
    }
    return pa.schema([(name, types[decl]) for name, decl in sample_data.COLUMNS])


def write_dataset(
    folder: str | Path, rows: int, partitions: int, words: dict | None = None, seed: int = 7
) -> list[Path]:
    """Writes the sample customers as `partitions` Parquet files in `folder`."""
    import pyarrow as pa
    import pyarrow.parquet as pq

    folder = Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    schema = arrow_schema()
    data = list(sample_data.customer_rows(rows, seed, words))
    size = -(-rows // partitions)
    paths = []
    for p in range(partitions):
        part = data[p * size : (p + 1) * size]
        table = pa.Table.from_arrays(
            [pa.array(list(col), type=f.type) for col, f in zip(zip(*part), schema)]
            if part
            else [pa.array([], type=f.type) for f in schema],
            schema=schema,
        )
        path = folder / f"part-{p:04d}.parquet"
        pq.write_table(table, path)
        paths.append(path)
    return paths


@functools.lru_cache(maxsize=4)
def _masker(key_hex: str, policy_path: str, words_path: str | None, names: tuple[str, ...]):
    # One set of Maskers per worker process: their result caches then serve
    # every partition the worker masks.
    return BatchMasker.build(Policy.load(policy_path), names, bytes.fromhex(key_hex), load_words(words_path))


def mask_file(source: str, target: str, key_hex: str, policy_path: str, words_path: str | None) -> int:
    """Masks one Parquet file into another; returns its row count."""
    import pyarrow.parquet as pq

    table = pq.read_table(source)
    masker = _masker(key_hex, policy_path, words_path, tuple(table.column_names))
    # Masked columns keep their types where every value fits (hash turns an
    # int column into text); the fallback rule is applied as in the job.
    pq.write_table(masker.mask(table, 0), target)
    return int(table.num_rows)


def run_local(sources: list[Path], folder: Path, key: bytes, policy: Path, words: Path | None):
    folder.mkdir(parents=True, exist_ok=True)
    targets = [folder / s.name for s in sources]
    for source, target in zip(sources, targets):
        mask_file(str(source), str(target), key.hex(), str(policy), str(words) if words else None)
    return targets


def run_dask(
    sources: list[Path], folder: Path, key: bytes, policy: Path, words: Path | None, workers: int = 2
) -> list[Path]:
    from dask.distributed import Client, LocalCluster

    folder.mkdir(parents=True, exist_ok=True)
    targets = [folder / s.name for s in sources]
    with (
        LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None) as cluster,
        Client(cluster) as client,
    ):
        futures = client.map(
            mask_file,
            [str(s) for s in sources],
            [str(t) for t in targets],
            key_hex=key.hex(),
            policy_path=str(policy),
            words_path=str(words) if words else None,
        )
        client.gather(futures)
    return targets


def same_bytes(left: list[Path], right: list[Path]) -> bool:
    return len(left) == len(right) and all(a.read_bytes() == b.read_bytes() for a, b in zip(left, right))


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=100_000)
    parser.add_argument("--partitions", type=int, default=8)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--policy", default=str(HERE / "policy.toml"))
    args = parser.parse_args(argv)
    key = DEMO_KEY  # sample data: the public demo key, handed over explicitly

    with tempfile.TemporaryDirectory(prefix="zorva-scale-") as tmp:
        tmp = Path(tmp)
        words = tmp / "words.json"
        lists = sample_data.write_words(words)
        sources = write_dataset(tmp / "source", args.rows, args.partitions, lists)
        print(f"wrote {args.rows:,} rows as {len(sources)} Parquet files")

        start = time.perf_counter()
        local = run_local(sources, tmp / "local", key, Path(args.policy), words)
        local_s = time.perf_counter() - start
        start = time.perf_counter()
        spread = run_dask(sources, tmp / "dask", key, Path(args.policy), words, args.workers)
        dask_s = time.perf_counter() - start
        print(
            f"single process: {local_s:.2f} s; Dask, {args.workers} worker processes "
            f"(cluster start-up included): {dask_s:.2f} s"
        )
        if not same_bytes(local, spread):
            print("the Dask output differs from the single-process output", file=sys.stderr)
            return 1
        print(f"the {len(spread)} masked files are byte for byte the single-process ones")
    return 0


if __name__ == "__main__":
    sys.exit(main())
