"""Times on_error="skip" against the default on a clean file, and on a file
with about a thousand injected faults against the clean one, and prints a
markdown table with the ratios.

    python benchmarks/bench_errors.py                     # a generated ~100 MB records file, 5 rounds
    python benchmarks/bench_errors.py --src F.xml --faults 1000 --repeat 7

Each fault is an undefined entity put into the text of a record, so each
rejects exactly that record. Every measurement is a fresh child process
(wall time, start-up included); rounds are interleaved and the figures are
medians. Before timing, the faulty file's reading is checked: its rows
plus its rejected records are the clean file's rows, and each rejected span
holds exactly one injected fault.
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
HERE = Path(__file__).parent
FAULT = b"&qkbad;"

# (row, file, code): `src` and `out` are set in the child.
CASES = [
    ("iterate, raise", "clean", "import quelbrand\nfor b in quelbrand.read_xml(src): pass"),
    ("iterate, skip", "clean", "import quelbrand\nfor b in quelbrand.read_xml(src, on_error='skip'): pass"),
    ("iterate, skip", "faulty", "import quelbrand\nfor b in quelbrand.read_xml(src, on_error='skip'): pass"),
    (
        "convert csv, raise",
        "clean",
        "from quelbrand.convert import convert\nconvert(src, out + '/o.csv', jobs=1)",
    ),
    (
        "convert csv, skip",
        "clean",
        "from quelbrand.convert import convert\nconvert(src, out + '/o.csv', jobs=1, on_error='skip')",
    ),
    (
        "convert csv, skip",
        "faulty",
        "from quelbrand.convert import convert\nconvert(src, out + '/o.csv', jobs=1, on_error='skip')",
    ),
]


def inject(clean: str, faulty: str, faults: int) -> int:
    """Writes `clean` with `faults` entities spread over it into leaf
    text, each just before a closing tag; returns how many went in."""
    data = Path(clean).read_bytes()
    step = max(len(data) // (faults + 1), 1)
    out, last, put = [], 0, 0
    for at in range(step, len(data) - step, step):
        close = data.find(b"</", at)
        # A leaf: text right before its closing tag, not another element's end.
        while close > 0 and data[close - 1 : close] == b">":
            close = data.find(b"</", close + 2)
        if close < 0:
            break
        out.append(data[last:close])
        out.append(FAULT)
        last, put = close, put + 1
    out.append(data[last:])
    Path(faulty).write_bytes(b"".join(out))
    return put


def check(clean: str, faulty: str) -> tuple[int, int, int]:
    import quelbrand

    kept = sum(b.num_rows for b in quelbrand.read_xml(faulty, on_error="skip"))
    table = quelbrand.read_xml(faulty, on_error="skip")
    for _ in table:
        pass
    rejects = table.rejects or []
    whole = sum(b.num_rows for b in quelbrand.read_xml(clean))
    data = Path(faulty).read_bytes()
    assert all(data.count(FAULT, r.start, r.end) == 1 for r in rejects), "a span holds not one fault"
    assert kept + len(rejects) == whole, (kept, len(rejects), whole)
    return whole, kept, len(rejects)


def run(code: str, src: str, out: str) -> float:
    child = f"import sys\nsrc, out = sys.argv[1], sys.argv[2]\n{code}\n"
    start = time.perf_counter()
    done = subprocess.run([PY, "-c", child, src, out], capture_output=True, text=True)
    if done.returncode != 0:
        raise SystemExit(done.stderr)
    return time.perf_counter() - start


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--src", help="a clean XML file (default: a generated ~100 MB records file)")
    parser.add_argument("--mb", type=int, default=100)
    parser.add_argument("--faults", type=int, default=1000)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as scratch:
        clean = args.src or os.path.join(scratch, "clean.xml")
        if not args.src:
            subprocess.run([PY, str(HERE / "gen_xml.py"), "records", clean, "--mb", str(args.mb)], check=True)
        faulty = os.path.join(scratch, "faulty.xml")
        injected = inject(clean, faulty, args.faults)
        whole, kept, rejected = check(clean, faulty)
        files = {"clean": clean, "faulty": faulty}
        times: dict[int, list[float]] = {i: [] for i in range(len(CASES))}
        for _ in range(args.repeat):
            for i, (_, which, code) in enumerate(CASES):
                times[i].append(run(code, files[which], scratch))
        median = {i: statistics.median(t) for i, t in times.items()}
        size = os.path.getsize(clean) / 1e6
        print(f"### {size:.0f} MB; {injected} faults injected: {rejected} records rejected, {kept} of {whole} kept")
        print(f"load average {os.getloadavg()[0]:.2f}; medians of {args.repeat} interleaved fresh processes\n")
        print("| path | file | median s | ratio |")
        print("|---|---|---:|---:|")
        for i, (name, which, _) in enumerate(CASES):
            group = 3 * (i // 3)
            if i % 3 == 0:
                ratio = ""
            elif i % 3 == 1:
                ratio = f"{median[i] / median[group]:.3f} × the raise time (goal ≤ 1.03)"
            else:
                ratio = f"{median[group + 1] / median[i]:.3f} × the clean file's speed (goal ≥ 0.9)"
            print(f"| {name} | {which} | {median[i]:.3f} | {ratio} |")


if __name__ == "__main__":
    main()
