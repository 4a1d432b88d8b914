"""Times `quelbrand convert` to each format against the module's own reading
of the same file, each run in a fresh child process, and prints a markdown
table: median wall time (interpreter start-up included), MB/s and the child's
peak resident memory.

    python benchmarks/bench_convert.py                 # generates a ~100 MB file
    python benchmarks/bench_convert.py FILE.xml --repeat 5

Needs the pyarrow and pandas extras for the Parquet and pandas rows.
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

PY = sys.executable


def cases(src: str, out: str) -> list[tuple[str, list[str]]]:
    def snippet(code: str) -> list[str]:
        return [PY, "-c", code, src]

    def convert(ext: str) -> list[str]:
        return [PY, "-m", "quelbrand", "convert", src, "--to", f"{out}/o.{ext}", "--quiet"]

    return [
        ("`count_xml_records`", snippet("import sys, quelbrand_kernels as qk; qk.count_xml_records(sys.argv[1])")),
        (
            "loop over `stream_xml_file(path, 65536)`",
            snippet("import sys, quelbrand_kernels as qk\nfor b in qk.stream_xml_file(sys.argv[1], 65536): pass"),
        ),
        ("`quelbrand convert --to .csv` (two passes)", convert("csv")),
        ("`quelbrand convert --to .jsonl`", convert("jsonl")),
        ("`quelbrand convert --to .parquet` (two passes)", convert("parquet")),
        (
            "`quelbrand.arrow.to_pandas` (whole file)",
            snippet("import sys; from quelbrand.arrow import to_pandas; to_pandas(sys.argv[1])"),
        ),
        ("start-up and imports only", [PY, "-c", "import quelbrand.convert, pyarrow.parquet, pandas"]),
    ]


def run(cmd: list[str]) -> tuple[float, float]:
    """Wall seconds and peak RSS in MiB of one child run."""
    start = time.perf_counter()
    child = subprocess.Popen(cmd)
    _, status, usage = os.wait4(child.pid, 0)
    seconds = time.perf_counter() - start
    if status != 0:
        raise SystemExit(f"failed ({status}): {' '.join(cmd)}")
    return seconds, usage.ru_maxrss / 1024


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("file", nargs="?", help="XML file (default: a generated ~100 MB one)")
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="bench_convert.") as tmp:
        src = args.file
        if src is None:
            src = f"{tmp}/records.xml"
            subprocess.run([PY, str(Path(__file__).with_name("gen_xml.py")), "--mb", "100", "records", src], check=True)
        size = os.path.getsize(src)
        print(f"file: {src}, {size / 1e6:.1f} MB; load average {os.getloadavg()[0]:.2f}")
        print("| step | median s | MB/s | peak MiB |\n|---|---:|---:|---:|")
        for name, cmd in cases(src, tmp):
            runs = [run(cmd) for _ in range(args.repeat)]
            seconds = statistics.median(t for t, _ in runs)
            peak = max(m for _, m in runs)
            print(f"| {name} | {seconds:.2f} | {size / 1e6 / seconds:.0f} | {peak:.0f} |", flush=True)


if __name__ == "__main__":
    main()
