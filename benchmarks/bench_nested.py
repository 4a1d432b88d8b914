"""Nested reading against flat reading of the same file, to Arrow and to
Parquet: medians of interleaved rounds, each run in a fresh process.

    python benchmarks/bench_nested.py                   # ~30 MB records and wide files, 5 rounds
    python benchmarks/bench_nested.py --records R.xml --wide W.xml --repeat 7
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))

RUN = """
import sys, time, quelbrand
path, mode, out, nested = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4] == "nested"
threads = int(sys.argv[5]) if sys.argv[5] else None
t = time.perf_counter()
table = quelbrand.read_xml(path, nested=nested, threads=threads)
if mode == "arrow":
    table.to_arrow()
else:
    table.write_parquet(out)
print(time.perf_counter() - t)
"""


def once(path: str, mode: str, how: str, threads: int | None = None) -> float:
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "out.parquet")
        done = subprocess.run(
            [sys.executable, "-c", RUN, path, mode, out, how, str(threads or "")],
            check=True,
            capture_output=True,
            text=True,
        )
    return float(done.stdout)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--records", help="a 'records' file (default: generated)")
    parser.add_argument("--wide", help="a 'wide' file (default: generated)")
    parser.add_argument("--mb", type=float, default=30)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--threads", type=int, help="threads for both readings (default: the usable cores)")
    args = parser.parse_args(argv)
    sys.path.insert(0, HERE)
    from gen_xml import generate

    tmp = tempfile.mkdtemp(prefix="bench-nested-")
    files = {}
    for kind in ("records", "wide"):
        files[kind] = getattr(args, kind) or os.path.join(tmp, f"{kind}.xml")
        if not os.path.exists(files[kind]):
            generate(kind, files[kind], args.mb)
    print(f"{'file':8} {'output':8} {'flat s':>8} {'nested s':>9} {'ratio':>6}")
    for kind, path in files.items():
        for mode in ("arrow", "parquet"):
            times: dict[str, list[float]] = {"flat": [], "nested": []}
            for _ in range(args.repeat):
                for how in ("flat", "nested"):  # interleaved
                    times[how].append(once(path, mode, how, args.threads))
            flat, nested = statistics.median(times["flat"]), statistics.median(times["nested"])
            print(f"{kind:8} {mode:8} {flat:8.3f} {nested:9.3f} {nested / flat:6.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
