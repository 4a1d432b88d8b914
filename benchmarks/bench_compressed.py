"""Times reading gzip and bzip2 files with the parallel decompressors and
their index against the standard library's one stream, and prints one
markdown table.

    python benchmarks/bench_compressed.py FILE              # 3 rounds
    python benchmarks/bench_compressed.py FILE --repeat 5 --threads 2

FILE is a plain records file (`python benchmarks/gen_xml.py records FILE
--mb 300`); FILE.gz (gzip -6) and FILE.bz2 (bzip2 -9) are made beside it
when missing. Each case is a fresh child process; the rounds are
interleaved, every case once per round, and the table gives medians and
their ratios:

(a) `quelbrand convert FILE.gz --to OUT.parquet`: with the standard
    library alone (the extras hidden, as before they were used) and one
    job, against `--jobs N` with the extras (the index pass, then the ranges
    read at once through it). The same for FILE.bz2.
(b) `quelbrand.dask.read_xml([FILE.gz], blocksize=B).to_parquet(DIR)` on a
    LocalCluster of N single-thread worker processes, split through the
    index (its pass included) against blocksize=None (one partition); B is
    by default two partitions per worker.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile

PY = sys.executable

# The extras hidden: the standard library's stream, as before they were used.
HIDE = """\
import quelbrand.compressed as _c
_real = _c._module
_c._module = lambda n: None if n.split(".")[0] in ("rapidgzip", "indexed_bzip2", "isal") else _real(n)
"""

CONVERT = """\
import json, sys, time
{hide}
from quelbrand.convert import convert
start = time.perf_counter()
convert(sys.argv[1], sys.argv[2], jobs=int(sys.argv[3]))
print("RESULT", json.dumps({{"seconds": time.perf_counter() - start}}))
"""

DASK = """\
import json, sys, time
import dask
from dask.distributed import Client, LocalCluster
import quelbrand.dask as qd
if __name__ == "__main__":
    workers = int(sys.argv[3])
    blocksize = None if sys.argv[4] == "none" else int(sys.argv[4])
    with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=":0") as cluster, \\
            Client(cluster):
        start = time.perf_counter()
        frame = qd.read_xml([sys.argv[1]], blocksize=blocksize)
        frame.to_parquet(sys.argv[2], write_index=False)
        seconds = time.perf_counter() - start
        print("RESULT", json.dumps({"seconds": seconds, "partitions": frame.npartitions}))
"""


def run(code: str, *args: str) -> dict[str, float]:
    with tempfile.NamedTemporaryFile("w", suffix=".py", delete=False) as script:
        script.write(code)
    try:
        done = subprocess.run([PY, script.name, *args], capture_output=True, text=True, check=False)
    finally:
        os.remove(script.name)
    for line in done.stdout.splitlines():
        if line.startswith("RESULT "):
            return json.loads(line[len("RESULT ") :])  # type: ignore[no-any-return]
    raise RuntimeError(f"the child failed:\n{done.stderr[-3000:]}")


def packed(path: str) -> tuple[str, str]:
    gz, bz = path + ".gz", path + ".bz2"
    if not os.path.exists(gz):
        subprocess.run(["gzip", "-k", "-6", path], check=True)
    if not os.path.exists(bz):
        subprocess.run(["bzip2", "-k", "-9", path], check=True)
    return gz, bz


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("file")
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--threads", type=int, default=2, help="jobs and Dask workers (default 2)")
    ap.add_argument("--blocksize", type=int, help="Dask partitions, decompressed bytes (default: two per worker)")
    ap.add_argument("--only", choices=["convert", "dask"], help="run only these cases")
    args = ap.parse_args(argv)
    if args.blocksize is None:
        args.blocksize = os.path.getsize(args.file) // (2 * args.threads) + 1
    gz, bz = packed(args.file)
    n = str(args.threads)
    out = tempfile.mkdtemp(prefix="bench-compressed-")
    cases = {
        "gz convert, stdlib, 1 job": (CONVERT.format(hide=HIDE), gz, f"{out}/a.parquet", "1"),
        f"gz convert, extras, {n} jobs": (CONVERT.format(hide=""), gz, f"{out}/b.parquet", n),
        "bz2 convert, stdlib, 1 job": (CONVERT.format(hide=HIDE), bz, f"{out}/c.parquet", "1"),
        f"bz2 convert, extras, {n} jobs": (CONVERT.format(hide=""), bz, f"{out}/d.parquet", n),
        f"gz Dask, one partition, {n} workers": (DASK, gz, f"{out}/e", n, "none"),
        f"gz Dask, split, {n} workers": (DASK, gz, f"{out}/f", n, str(args.blocksize)),
    }
    if args.only:
        cases = {name: case for name, case in cases.items() if ("Dask" in name) == (args.only == "dask")}
    times: dict[str, list[float]] = {name: [] for name in cases}
    parts: dict[str, int] = {}
    try:
        for round_ in range(args.repeat):
            for name, (code, *rest) in cases.items():
                result = run(code, *rest)
                times[name].append(result["seconds"])
                if "partitions" in result:
                    parts[name] = int(result["partitions"])
                print(f"round {round_ + 1}: {name}: {result['seconds']:.2f} s", file=sys.stderr)
    finally:
        shutil.rmtree(out, ignore_errors=True)
    med = {name: statistics.median(ts) for name, ts in times.items()}
    sizes = {p: os.path.getsize(p) for p in (args.file, gz, bz)}
    print(
        f"{args.file}: {sizes[args.file] / 1e6:.0f} MB plain, {sizes[gz] / 1e6:.0f} MB gzip -6, "
        f"{sizes[bz] / 1e6:.0f} MB bzip2 -9; medians of {args.repeat} interleaved rounds\n"
    )
    print("| case | median s | speed-up |")
    print("| --- | ---: | ---: |")
    names = list(cases)
    for base, fast in zip(names[::2], names[1::2]):
        print(f"| {base} | {med[base]:.2f} | |")
        label = fast + (f" ({parts[fast]} partitions)" if fast in parts else "")
        print(f"| {label} | {med[fast]:.2f} | {med[base] / med[fast]:.2f}x |")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
