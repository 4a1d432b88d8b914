"""Times reading through a file object and converting compressed files, each
against its plain counterpart measured in the same run, and prints the ratios.

    python benchmarks/bench_inputs.py --xml /work/bench/records.xml
    python benchmarks/bench_inputs.py --mb 20 --repeat 3       # a generated file

- object / path: `read_xml(open(path, 'rb'))` iterated, against `read_xml(path)`
  iterated; the goal is a speed ratio of at least 0.8.
- gzip: `quelbrand convert FILE.gz --to OUT.parquet`, against the sum of
  `gzip -dc FILE.gz > /dev/null` and the plain file's conversion; the goal is
  a time ratio of at most 1.3.

Every measurement is a fresh child process (start-up included); the rounds
are interleaved and the figures are medians.
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
ITERATE = "import sys, quelbrand\nsrc = {src}\nfor _ in quelbrand.read_xml(src): pass\n"


def timed(argv: list[str], stdout: int | None = subprocess.DEVNULL) -> float:
    start = time.perf_counter()
    subprocess.run(argv, check=True, stdout=stdout)
    return time.perf_counter() - start


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--xml", type=Path, help="the plain XML file (default: one generated)")
    parser.add_argument("--mb", type=int, default=50, help="size of the generated file")
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="qk-bench-inputs-") as scratch_name:
        scratch = Path(scratch_name)
        xml = args.xml
        if xml is None:
            xml = scratch / "records.xml"
            subprocess.run(
                [PY, str(Path(__file__).with_name("gen_xml.py")), "records", str(xml), "--mb", str(args.mb)],
                check=True,
            )
        gz = scratch / "input.xml.gz"
        with open(gz, "wb") as out:
            subprocess.run(["gzip", "-c", str(xml)], check=True, stdout=out)
        cases = {
            "iterate by path": [PY, "-c", ITERATE.format(src=repr(str(xml)))],
            "iterate an open file": [PY, "-c", ITERATE.format(src=f"open({str(xml)!r}, 'rb')")],
            "gzip -dc": ["gzip", "-dc", str(gz)],
            "convert plain to parquet": [
                PY, "-m", "quelbrand", "convert", str(xml), "--to", str(scratch / "a.parquet"), "--quiet",
            ],
            "convert .gz to parquet": [
                PY, "-m", "quelbrand", "convert", str(gz), "--to", str(scratch / "b.parquet"), "--quiet",
            ],
        }  # fmt: skip
        times: dict[str, list[float]] = {name: [] for name in cases}
        for _ in range(args.repeat):
            for name, argv in cases.items():
                times[name].append(timed(argv))
        median = {name: statistics.median(ts) for name, ts in times.items()}
        size = os.path.getsize(xml)
        print(f"{xml} ({size / 1e6:.0f} MB; gzip {os.path.getsize(gz) / 1e6:.0f} MB), median of {args.repeat}\n")
        print("| case | seconds |\n|---|---:|")
        for name, seconds in median.items():
            print(f"| {name} | {seconds:.2f} |")
        speed = median["iterate by path"] / median["iterate an open file"]
        budget = median["gzip -dc"] + median["convert plain to parquet"]
        print(f"\nopen file / path, speed: {speed:.2f}x (goal >= 0.8)")
        print(f".gz conversion / (gzip -dc + plain conversion), time: {median['convert .gz to parquet'] / budget:.2f}x")
        print("(goal <= 1.3)")


if __name__ == "__main__":
    main()
