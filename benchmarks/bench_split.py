"""Times reading one large XML file split into ranges against reading it whole,
and prints one markdown table.

    python benchmarks/bench_split.py FILE                 # FILE from gen_xml.py, 3 rounds
    python benchmarks/bench_split.py FILE --repeat 5 --blocksize 64MiB

FILE is made by `python benchmarks/gen_xml.py --mb 1000 records FILE`.

Three comparisons, each a ratio of medians taken in the same run:

(a) Dask: `quelbrand.dask.read_xml(FILE, blocksize=B).to_parquet(dir)` on a
    LocalCluster of 2 single-thread worker processes, against blocksize=None
    (one partition for the file). The time is that of the call (the cluster is
    started first, the survey included); the memory is each worker's VmHWM, with
    the same figure for an idle worker that has imported everything beside it,
    and one partition's output (its DataFrame's memory) to compare against.
(b) `quelbrand convert FILE --to OUT --jobs 2` against `--jobs 1`, to Parquet,
    CSV and JSON Lines; the outputs are checked to be byte-identical.
(c) the survey, `quelbrand.split.survey(FILE, B)`: in guessed pieces of B
    bytes read one after another (its extra work) and on 2 threads (its
    speed-up), against plain native discovery, which skims text as the
    survey's pieces do; and the record counter noting split points every B
    bytes against the bare counter.

Every measurement is a fresh child process, its own high-water mark read as it
ends; the rounds are interleaved, every case once per round.
"""

from __future__ import annotations

import argparse
import filecmp
import json
import os
import statistics
import subprocess
import sys
import tempfile

PY = sys.executable

CHILD = """\
import json, sys, time
src, out, blocksize = sys.argv[1], sys.argv[2], int(sys.argv[3])
def hwm():
    return int(next(l.split()[1] for l in open("/proc/self/status") if l.startswith("VmHWM:"))) * 1024
result = {{}}
{body}
result["hwm"] = hwm()
print("RESULT", json.dumps(result))
"""

CONVERT = """\
import runpy
sys.argv = ["quelbrand", "convert", src, "--to", out + "/o.{ext}", "--quiet", "--jobs", "{jobs}"]
start = time.perf_counter()
try:
    runpy.run_module("quelbrand", run_name="__main__", alter_sys=True)
except SystemExit as e:
    assert not e.code, e.code
result["seconds"] = time.perf_counter() - start
"""

DASK = """\
import dask
from dask.distributed import Client, LocalCluster
import quelbrand.dask as qd

def worker_hwm():
    import pandas, pyarrow, quelbrand.dask
    return int(next(l.split()[1] for l in open("/proc/self/status") if l.startswith("VmHWM:"))) * 1024

if __name__ == "__main__":
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0",
                      memory_limit=0) as cluster, Client(cluster) as client:
        client.run(worker_hwm)  # the imports, before the clock starts
        result["idle_worker_hwm"] = max(client.run(worker_hwm).values())
        start = time.perf_counter()
        frame = qd.read_xml([src], blocksize={blocksize_arg})
        frame.to_parquet(out + "/parquet")
        result["seconds"] = time.perf_counter() - start
        result["partitions"] = frame.npartitions
        result["worker_hwm"] = sorted(client.run(worker_hwm).values())
        if {measure_partition}:
            first = frame.partitions[0].compute()
            result["partition_bytes"] = int(first.memory_usage(deep=True).sum())
"""

SURVEY = """\
import quelbrand._native as n
import quelbrand_kernels as qk
start = time.perf_counter()
{call}
result["seconds"] = time.perf_counter() - start
"""

CASES = {
    "dask, blocksize B": DASK.format(blocksize_arg="blocksize", measure_partition=True),
    "dask, blocksize=None": DASK.format(blocksize_arg="None", measure_partition=False),
    "convert --jobs 1 to Parquet": CONVERT.format(ext="parquet", jobs=1),
    "convert --jobs 2 to Parquet": CONVERT.format(ext="parquet", jobs=2),
    "convert --jobs 1 to CSV": CONVERT.format(ext="csv", jobs=1),
    "convert --jobs 2 to CSV": CONVERT.format(ext="csv", jobs=2),
    "convert --jobs 1 to JSON Lines": CONVERT.format(ext="jsonl", jobs=1),
    "convert --jobs 2 to JSON Lines": CONVERT.format(ext="jsonl", jobs=2),
    "native discovery": SURVEY.format(call="n.discover(src, check_text=False)"),
    "survey in pieces, one after another": SURVEY.format(
        call="from quelbrand.split import survey\nsurvey(src, blocksize)"
    ),
    "survey in pieces, 2 threads": SURVEY.format(
        call="from concurrent.futures import ThreadPoolExecutor\n"
        "from quelbrand.split import survey\n"
        "with ThreadPoolExecutor(2) as pool:\n"
        "    survey(src, blocksize, run=pool.map)"
    ),
    "record counter": SURVEY.format(call="qk.count_xml_records(src)"),
    "record counter with split points": SURVEY.format(call="n.split(src, blocksize)"),
}

RATIOS = [
    ("(a) dask to_parquet, split / whole: speed-up", "dask, blocksize=None", "dask, blocksize B", 1.7),
    ("(c) survey in pieces, 2 threads: speed-up", "native discovery", "survey in pieces, 2 threads", None),
    ("(b) convert to Parquet, --jobs 2 speed-up", "convert --jobs 1 to Parquet", "convert --jobs 2 to Parquet", 1.7),
    ("(b) convert to CSV, --jobs 2 speed-up", "convert --jobs 1 to CSV", "convert --jobs 2 to CSV", 1.7),
    (
        "(b) convert to JSON Lines, --jobs 2 speed-up",
        "convert --jobs 1 to JSON Lines",
        "convert --jobs 2 to JSON Lines",
        1.7,
    ),
]
OVERHEADS = [
    ("(c) survey in pieces: extra work", "native discovery", "survey in pieces, one after another", 0.05),
    ("(c) counter: extra for split points", "record counter", "record counter with split points", None),
]


def parse_size(text: str) -> int:
    units = {"": 1, "b": 1, "kib": 1 << 10, "mib": 1 << 20, "gib": 1 << 30, "kb": 10**3, "mb": 10**6, "gb": 10**9}
    number = text.rstrip("KMGiBkmgb")
    return int(float(number) * units[text[len(number) :].lower()])


def run_case(body: str, src: str, blocksize: int) -> dict:
    with tempfile.TemporaryDirectory(dir=os.path.dirname(os.path.abspath(src))) as out:
        code = CHILD.format(body=body)
        done = subprocess.run([PY, "-c", code, src, out, str(blocksize)], capture_output=True, text=True)
        if done.returncode != 0:
            raise RuntimeError(done.stderr[-3000:])
        line = next(line for line in done.stdout.splitlines() if line.startswith("RESULT "))
        result = json.loads(line[len("RESULT ") :])
        if body.startswith("import runpy"):
            result["output"] = _keep(out)
        return result


_kept: dict[str, str] = {}


def _keep(out: str) -> str:
    # The conversion's output, kept to compare --jobs 1 with --jobs 2.
    (name,) = os.listdir(out)
    kept = tempfile.mktemp(suffix=os.path.splitext(name)[1], dir=os.path.dirname(out))
    os.rename(os.path.join(out, name), kept)
    return kept


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("file")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--blocksize", default="64MiB")
    parser.add_argument("--only", nargs="*", help="case names to run (default: all)")
    args = parser.parse_args()
    blocksize = parse_size(args.blocksize)
    size = os.path.getsize(args.file)
    print(f"file: {args.file}, {size / 1e6:.0f} MB; blocksize {args.blocksize}; load average {os.getloadavg()}")
    cases = [name for name in CASES if not args.only or name in args.only]
    results: dict[str, list[dict]] = {name: [] for name in cases}
    outputs: dict[str, list[str]] = {}
    for round_ in range(args.repeat):
        for name in cases:
            result = run_case(CASES[name], args.file, blocksize)
            if "output" in result:
                outputs.setdefault(name, []).append(result.pop("output"))
            results[name].append(result)
            print(f"  round {round_ + 1}: {name}: {result['seconds']:.2f} s", file=sys.stderr)
    identical = {}
    for fmt in ("Parquet", "CSV", "JSON Lines"):
        one, two = outputs.get(f"convert --jobs 1 to {fmt}"), outputs.get(f"convert --jobs 2 to {fmt}")
        if one and two:
            identical[fmt] = all(filecmp.cmp(one[0], o, shallow=False) for o in one[1:] + two)
    for paths in outputs.values():
        for path in paths:
            os.unlink(path)

    def median(name: str, key: str = "seconds") -> float:
        return statistics.median(r[key] for r in results[name])

    print("\n| case | median s | MB/s | peak memory (VmHWM) |")
    print("|---|---|---|---|")
    for name in cases:
        seconds = median(name)
        hwm = f"{median(name, 'hwm') / 2**20:.0f} MiB"
        if "worker_hwm" in results[name][0]:
            peaks = max(max(r["worker_hwm"]) for r in results[name])
            idle = median(name, "idle_worker_hwm")
            hwm = f"driver {hwm}; workers up to {peaks / 2**20:.0f} MiB (idle worker {idle / 2**20:.0f} MiB)"
        print(f"| {name} | {seconds:.2f} | {size / 1e6 / seconds:.0f} | {hwm} |")
    print("\n| comparison | ratio | goal | met |")
    print("|---|---|---|---|")
    for label, base, new, goal in RATIOS:
        if base in results and new in results:
            ratio = median(base) / median(new)
            if goal is None:
                print(f"| {label} | {ratio:.2f}x | - | - |")
            else:
                print(f"| {label} | {ratio:.2f}x | >= {goal}x | {'yes' if ratio >= goal else 'no'} |")
    for label, base, new, goal in OVERHEADS:
        if base in results and new in results:
            extra = median(new) / median(base) - 1
            shown = f"<= {goal:.0%}" if goal is not None else "-"
            met = "-" if goal is None else "yes" if extra <= goal else "no"
            print(f"| {label} | {extra:+.1%} | {shown} | {met} |")
    split = "dask, blocksize B"
    if split in results and "partition_bytes" in results[split][0]:
        part = median(split, "partition_bytes")
        peak = max(max(r["worker_hwm"]) for r in results[split])
        idle = median(split, "idle_worker_hwm")
        print(
            f"| (a) split worker peak / one partition's DataFrame ({part / 2**20:.0f} MiB) | "
            f"{peak / part:.2f}x ({(peak - idle) / part:.2f}x above an idle worker) | <= 4x | "
            f"{'yes' if peak <= 4 * part else 'no'} |"
        )
    for fmt, same in identical.items():
        print(f"\n--jobs 2 output byte-identical to --jobs 1 ({fmt}): {same}")


if __name__ == "__main__":
    main()
