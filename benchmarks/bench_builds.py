"""Builds against each other on the generated "records" and "wide" files.

Times the record counter (count_xml_records), the batch iterator
(stream_xml_file(path, 10000), fully consumed) and quelbrand.read_xml with
every build given, beside the floor (floor.c: 8 KiB read() calls and memchr
for '<'). Each run is a fresh child process, the runs of all builds, files
and cases interleaved, and the time is taken in the child around the work
only. Prints medians as MB/s, each build's speed over the first's (above 1:
faster), and the counter's MB/s as a share of the floor's.

    pip install --target /tmp/qk-main .    # at the commit to compare with
    python benchmarks/bench_builds.py --build main=/tmp/qk-main --build this= [--repeat 7] [--mb 100]
    python benchmarks/bench_builds.py --build main=/tmp/qk-main --build this= --callgrind --mb 5

A build is NAME=DIR, DIR holding the module (as `pip install --target DIR .`
leaves it); an empty DIR means the module the interpreter imports anyway.
On a shared machine times wander; --callgrind runs each case once per build
under `valgrind --tool=callgrind` and reports instructions instead, a
steadier measure of the whole child: subtract the "start-up" row (the
module imported) from count and stream, and "start-up, arrow" (pyarrow and
quelbrand too) from read_xml. Valgrind hides AVX-512 from the program.
"""

from __future__ import annotations

import argparse
import json
import os
import re
import statistics
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import gen_xml  # noqa: E402

DATA_VERSION = 1
CASES = ("count", "stream", "read_xml")

CHILD = r"""
import json, sys, time
if sys.argv[1]:
    sys.path.insert(0, sys.argv[1])
what, path = sys.argv[2], sys.argv[3]
import quelbrand_kernels as qk
if what in ("read_xml", "start-up, arrow"):
    import pyarrow, quelbrand  # read_xml imports them anyway
t = time.perf_counter()
n = 0
if what == "count":
    n = qk.count_xml_records(path)
elif what == "stream":
    for names, columns in qk.stream_xml_file(path, 10000):
        n += len(columns[0]) if columns else 0
elif what == "read_xml":
    for b in quelbrand.read_xml(path):
        n += b.num_rows
t = time.perf_counter() - t
print(json.dumps({"seconds": t, "n": n}))
"""


def ensure_file(kind: str, directory: str, mb: float) -> str:
    path = os.path.join(directory, f"{kind}-v{DATA_VERSION}-{mb:g}mb.xml")
    if not os.path.exists(path):
        gen_xml.main([kind, path, "--mb", str(mb)])
    return path


def child(build_dir: str, what: str, path: str, callgrind: bool) -> dict:
    argv = [sys.executable, "-c", CHILD, build_dir, what, path]
    env = dict(os.environ, PYTHONHASHSEED="0")  # start-up alike from run to run
    if not callgrind:
        out = subprocess.run(argv, check=True, capture_output=True, text=True).stdout
        return json.loads(out)
    with tempfile.TemporaryDirectory() as tmp:
        proc = subprocess.run(
            ["valgrind", "--tool=callgrind", f"--callgrind-out-file={tmp}/cg.out", *argv],
            check=True,
            capture_output=True,
            text=True,
            env=env,
        )
    refs = re.search(r"I\s+refs:\s+([\d,]+)", proc.stderr)
    if refs is None:
        raise RuntimeError("no instruction count from callgrind:\n" + proc.stderr[-2000:])
    return dict(json.loads(proc.stdout), instructions=int(refs.group(1).replace(",", "")))


def floor_seconds(exe: str, path: str) -> float:
    out = subprocess.run([exe, path], check=True, capture_output=True, text=True).stdout
    return float(out.split()[2])


def header(names: list) -> None:
    ratios = " | ".join(f"{n} / {names[0]}" for n in names[1:])
    print("| file | case | " + " | ".join(names) + " | " + ratios + " |")
    print("|---" * (2 + 2 * len(names) - 1) + "|")


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", action="append", required=True, help="NAME=DIR (DIR may be empty)")
    ap.add_argument("--dir", default="/tmp/qk-bench", help="cache directory for the generated files")
    ap.add_argument("--mb", type=float, default=100, help="file size in 10^6 bytes")
    ap.add_argument("--repeat", type=int, default=5, help="runs per build and case")
    ap.add_argument("--callgrind", action="store_true", help="instruction counts, one run each")
    ap.add_argument("--cases", nargs="+", choices=CASES, default=list(CASES))
    args = ap.parse_args(argv)
    builds = [tuple(b.split("=", 1)) for b in args.build]
    names = [b for b, _ in builds]
    os.makedirs(args.dir, exist_ok=True)
    files = {kind: ensure_file(kind, args.dir, args.mb) for kind in ("records", "wide")}
    print(f"load average at start: {os.getloadavg()[0]:.2f}")

    if args.callgrind:
        cases = ["start-up", "start-up, arrow", *args.cases]
        print("\ninstructions (callgrind), one run each\n")
        header(names)
        for kind, path in files.items():
            for what in cases:
                got = [child(d, what, path, True) for _, d in builds]
                if len({g["n"] for g in got}) != 1:
                    raise SystemExit(f"builds disagree on {what} of {kind}: {[g['n'] for g in got]}")
                ir = [g["instructions"] for g in got]
                print(
                    f"| {kind} | {what} | "
                    + " | ".join(f"{x:,}" for x in ir)
                    + " | "
                    + " | ".join(f"{x / ir[0]:.3f}" for x in ir[1:])
                    + " |"
                )
        return 0

    with tempfile.TemporaryDirectory() as tmp:
        floor = os.path.join(tmp, "floor")
        subprocess.run(["cc", "-O2", "-o", floor, os.path.join(HERE, "floor.c")], check=True)
        times: dict = {}
        counts: dict = {}
        for _ in range(args.repeat):
            for kind, path in files.items():
                times.setdefault((kind, "floor"), []).append(floor_seconds(floor, path))
                for what in args.cases:
                    for name, build_dir in builds:
                        r = child(build_dir, what, path, False)
                        times.setdefault((kind, what, name), []).append(r["seconds"])
                        counts.setdefault((kind, what), set()).add(r["n"])
    for key, seen in counts.items():
        if len(seen) != 1:
            raise SystemExit(f"builds disagree on {key}: {seen}")

    print(f"\nmedians of {args.repeat} interleaved runs, MB/s (10^6 bytes of file per second)\n")
    header(names)
    for kind, path in files.items():
        size = os.path.getsize(path) / 1e6
        floor_mbps = size / statistics.median(times[(kind, "floor")])
        print(f"| {kind} | floor | {floor_mbps:.0f} |" + " |" * (2 * len(names) - 2))
        for what in args.cases:
            med = [statistics.median(times[(kind, what, n)]) for n in names]
            print(
                f"| {kind} | {what} | "
                + " | ".join(f"{size / m:.0f}" for m in med)
                + " | "
                + " | ".join(f"{med[0] / m:.3f}x" for m in med[1:])
                + " |"
            )
            if what == "count":
                shares = ", ".join(f"{n} {100 * size / m / floor_mbps:.0f}%" for n, m in zip(names, med))
                print(f"| {kind} | count / floor | {shares} |" + " |" * (2 * len(names) - 2))
    return 0


if __name__ == "__main__":
    sys.exit(main())
