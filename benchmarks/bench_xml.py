"""XML streaming benchmark: quelbrand_kernels against a C floor, ElementTree and lxml.

For each generated file ("records" and "wide", about 100 MB each) it measures,
every run in a fresh child process so that peak RSS belongs to that run alone:

* the floor: a C program that read()s the file in 8 KiB pieces and counts '<';
* count_xml_records(path), and an lxml iterparse loop counting depth-2 end events;
* stream_xml_file(path, 10000) fully iterated, and the same column batches built
  by careful ElementTree and lxml iterparse code that flattens records by the
  same rules in Python.

Then chosen records: the "records" file's records as a feed's items, one level
deeper (`<rss><channel><item>`), read by quelbrand._native.open with
record="item", against the "records" file read by default (its records at
depth 2). The goal is a ratio of at most 1.1x.

Times are taken inside the child around the work only (no interpreter start-up
or imports).  Each figure is the median of --repeat runs; the runs of all
measurements are interleaved so that a noisy neighbour hits them alike.
Before timing, a small generated file checks that the Python flattening gives
exactly the module's batches, so that the comparison is like for like.

    python benchmarks/bench_xml.py [--quick] [--dir /tmp/qk-bench] [--repeat 3]

Needs lxml and a C compiler (cc); numpy is not used.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import gen_xml  # noqa: E402

BATCH_ROWS = 10_000
# Bump when gen_xml changes its output, so cached files are regenerated.
DATA_VERSION = 1

# ---------------------------------------------------------------------------
# The flattening and batching rules, written as a careful Python user would.

# Unicode White_Space, which is what the module trims (str.strip() would also
# take U+001C..U+001F, which are not white space).
WHITE_SPACE = (
    "\t\n\x0b\x0c\r \x85\xa0\u1680\u2000\u2001\u2002\u2003\u2004\u2005\u2006"
    "\u2007\u2008\u2009\u200a\u2028\u2029\u202f\u205f\u3000"
)


def local_name(tag: str) -> str:
    # Both parsers report a namespaced name as "{uri}local".
    return tag.rpartition("}")[2]


def flatten(node) -> dict:
    """Column key -> value (str or None) for one element's children.

    A dict keeps the first assignment's position and the last assignment's
    value, which is exactly how repeated keys behave."""
    out: dict = {}
    for child in node:
        name = local_name(child.tag)
        if len(child):
            for k, v in flatten(child).items():
                out[name + "_" + k if k in out else k] = v
        else:
            text = child.text
            value = text.strip(WHITE_SPACE) if text else None
            key = local_name(node.tag) + "_" + name if name in out else name
            out[key] = value or None
    return out


class Batcher:
    """Column-oriented batches, columns in order of first appearance per batch."""

    def __init__(self, rows: int):
        self.rows = max(rows, 1)
        self._reset()

    def _reset(self):
        self.names: list = []
        self.index: dict = {}
        self.columns: list = []
        self.count = 0

    def push(self, record: dict):
        """Add one row; return the finished batch when it is full."""
        for key in record:
            if key not in self.index:
                self.index[key] = len(self.names)
                self.names.append(key)
                self.columns.append([None] * self.count)
        get = record.get
        for name, column in zip(self.names, self.columns):
            column.append(get(name))
        self.count += 1
        if self.count >= self.rows:
            return self.take()
        return None

    def take(self):
        batch = (self.names, self.columns) if self.count else None
        self._reset()
        return batch


def et_batches(path: str, rows: int):
    """ElementTree: start and end events, the root cleared after each record."""
    import xml.etree.ElementTree as ET

    batcher = Batcher(rows)
    depth = 0
    root = None
    for event, elem in ET.iterparse(path, events=("start", "end")):
        if event == "start":
            depth += 1
            if depth == 1:
                root = elem
            continue
        depth -= 1
        if depth == 1:
            batch = batcher.push(flatten(elem))
            root.clear()
            if batch:
                yield batch
    last = batcher.take()
    if last:
        yield last


def _lxml_events(path: str):
    from lxml import etree

    return etree.iterparse(path, events=("start", "end"), remove_comments=True, remove_pis=True)


def _lxml_drop(elem):
    # The usual lxml idiom: empty the finished element, delete earlier siblings.
    elem.clear()
    while elem.getprevious() is not None:
        del elem.getparent()[0]


def _lxml_records(path: str):
    """Each finished record element; it is dropped once the caller is done."""
    depth = 0
    for event, elem in _lxml_events(path):
        if event == "start":
            depth += 1
            continue
        depth -= 1
        if depth == 1:
            yield elem
            _lxml_drop(elem)


def lxml_batches(path: str, rows: int):
    """lxml: start and end events, finished records and their siblings deleted."""
    batcher = Batcher(rows)
    for elem in _lxml_records(path):
        batch = batcher.push(flatten(elem))
        if batch:
            yield batch
    last = batcher.take()
    if last:
        yield last


def lxml_count(path: str) -> int:
    return sum(1 for _ in _lxml_records(path))


def qk_batches(path: str, rows: int):
    import quelbrand_kernels

    return quelbrand_kernels.stream_xml_file(path, rows)


def qk_count(path: str) -> int:
    import quelbrand_kernels

    return quelbrand_kernels.count_xml_records(path)


def _rows(batches) -> int:
    # Every record of the generated files has an id, so column 0 is never absent.
    return sum(len(values[0]) for _, values in batches if values)


# ---------------------------------------------------------------------------
# Child side: one measurement, reported as JSON on stdout.

CHILD_WORK = {
    "count": qk_count,
    "lxml-count": lxml_count,
    "stream": lambda p: _rows(qk_batches(p, BATCH_ROWS)),
    "et": lambda p: _rows(et_batches(p, BATCH_ROWS)),
    "lxml": lambda p: _rows(lxml_batches(p, BATCH_ROWS)),
    "read": lambda p: _native_rows(p),
    "read-item": lambda p: _native_rows(p, record="item"),
}


def _native_rows(path: str, **options) -> int:
    import quelbrand._native as native

    return sum(batch.num_rows for batch in native.open(path, BATCH_ROWS, **options))


def peak_rss_kib() -> int:
    """This process's peak resident set size.

    VmHWM belongs to the address space made by exec.  getrusage's ru_maxrss
    would not do: Linux carries the parent's high-water mark over fork/vfork
    and exec into it, so every child would report at least the parent's peak."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    raise RuntimeError("no VmHWM in /proc/self/status")


def child(what: str, path: str) -> int:
    work = CHILD_WORK[what]
    # Import outside the timed region.
    if what in ("count", "stream"):
        import quelbrand_kernels  # noqa: F401
    elif what in ("read", "read-item"):
        import quelbrand._native  # noqa: F401
    elif what == "et":
        import xml.etree.ElementTree  # noqa: F401
    else:
        import lxml.etree  # noqa: F401
    t0 = time.perf_counter()
    records = work(path)
    seconds = time.perf_counter() - t0
    print(json.dumps({"seconds": seconds, "records": records, "rss_kib": peak_rss_kib()}))
    return 0


# ---------------------------------------------------------------------------
# Parent side.

MEASUREMENTS = [
    # key, label, needs the module
    ("floor", "floor: read() 8 KiB + memchr '<'", False),
    ("count", "count_xml_records", True),
    ("lxml-count", "lxml iterparse, count depth-2 ends", False),
    ("stream", f"stream_xml_file(path, {BATCH_ROWS})", True),
    ("et", "ElementTree iterparse + flatten + batches", False),
    ("lxml", "lxml iterparse + flatten + batches", False),
]


def measure(key: str, path: str, floor_exe: str | None) -> dict:
    if key == "floor":
        argv = [floor_exe, path]
    else:
        argv = [sys.executable, os.path.abspath(__file__), "--child", key, path]
    proc = subprocess.run(argv, capture_output=True, text=True)
    if proc.returncode != 0:
        raise RuntimeError(f"{key} on {path} failed ({proc.returncode}): {proc.stderr.strip()[-2000:]}")
    if key == "floor":
        _, _, seconds = proc.stdout.split()
        return {"seconds": float(seconds), "records": None, "rss_kib": None}
    return json.loads(proc.stdout)


def ensure_file(kind: str, directory: str, mb: float) -> str:
    path = os.path.join(directory, f"{kind}-{mb:g}mb-v{DATA_VERSION}.xml")
    if not os.path.exists(path):
        print(f"generating {path} ...", file=sys.stderr, flush=True)
        tmp = path + ".part"
        gen_xml.generate(kind, tmp, mb)
        os.replace(tmp, path)
    return path


def compile_floor(tmpdir: str) -> str | None:
    exe = os.path.join(tmpdir, "floor")
    try:
        subprocess.run(["cc", "-O2", "-o", exe, os.path.join(HERE, "floor.c")], check=True)
    except (OSError, subprocess.CalledProcessError) as e:
        print(f"note: cannot build the floor ({e}); its row is skipped", file=sys.stderr)
        return None
    return exe


def module_available() -> bool:
    try:
        import quelbrand_kernels  # noqa: F401
    except ImportError as e:
        print(f"note: quelbrand_kernels is not importable ({e}); its rows are skipped", file=sys.stderr)
        return False
    return True


# --- validation -------------------------------------------------------------


def first_difference(a: list, b: list) -> str | None:
    """Describe the first difference between two lists of batches, or None."""
    if len(a) != len(b):
        return f"{len(a)} batches against {len(b)}"
    for i, ((na, va), (nb, vb)) in enumerate(zip(a, b)):
        if na != nb:
            return f"batch {i}: columns {na} against {nb}"
        for name, ca, cb in zip(na, va, vb):
            if ca != cb:
                r = next((r for r, (x, y) in enumerate(zip(ca, cb)) if x != y), min(len(ca), len(cb)))
                x = ca[r] if r < len(ca) else "<missing>"
                y = cb[r] if r < len(cb) else "<missing>"
                return f"batch {i}, column {name!r}, row {r}: {x!r} against {y!r}"
    return None


def validate(directory: str, have_module: bool) -> list:
    """Compare every implementation's batches on small generated files."""
    lines = []
    rows = 97  # several batches, so per-batch column discovery is exercised
    for kind in ("records", "wide"):
        path = ensure_file(kind, directory, 0.5)
        et = list(et_batches(path, rows))
        peers = {"lxml": list(lxml_batches(path, rows))}
        if have_module:
            peers["stream_xml_file"] = [tuple(b) for b in qk_batches(path, rows)]
        for name, batches in peers.items():
            diff = first_difference(batches, et)
            verdict = "same batches" if diff is None else f"MISMATCH: {diff}"
            lines.append(f"- {kind}: {name} vs ElementTree over {len(et)} batches: {verdict}")
        counts = {"rows": _rows(et), "lxml counter": lxml_count(path)}
        if have_module:
            counts["count_xml_records"] = qk_count(path)
        verdict = "agree" if len(set(counts.values())) == 1 else "MISMATCH"
        lines.append(f"- {kind}: record counts {verdict}: " + ", ".join(f"{k} {v}" for k, v in counts.items()))
    return lines


# --- report -------------------------------------------------------------------


def fmt_rate(x: float | None, unit: str = "") -> str:
    if x is None:
        return "n/a"
    if x >= 1e6 and unit == "/s":
        return f"{x / 1e6:.2f} M/s"
    if x >= 1e3 and unit == "/s":
        return f"{x / 1e3:.0f} k/s"
    return f"{x:.1f}{unit}" if x < 100 else f"{x:.0f}{unit}"


def summarise(runs: list, size: int) -> dict:
    secs = [r["seconds"] for r in runs]
    med = statistics.median(secs)
    records = runs[0]["records"]
    return {
        "mbps": size / 1e6 / med,
        "spread": (max(secs) - min(secs)) / med,
        "recps": records / med if records else None,
        "records": {r["records"] for r in runs},
        "rss_mib": None if runs[0]["rss_kib"] is None else statistics.median(r["rss_kib"] for r in runs) / 1024,
    }


def ratio(a, b, pct=False):
    if a is None or b is None:
        return "n/a"
    return f"{100 * a / b:.0f}%" if pct else f"{a / b:.1f}x"


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="10 MB files, 1 repeat")
    ap.add_argument("--dir", default="/tmp/qk-bench", help="cache directory for the generated files")
    ap.add_argument("--repeat", type=int, help="runs per measurement (default 3, 1 with --quick)")
    ap.add_argument("--mb", type=float, help="file size in 10^6 bytes (default 100, 10 with --quick)")
    ap.add_argument("--child", nargs=2, metavar=("WHAT", "PATH"), help=argparse.SUPPRESS)
    a = ap.parse_args(argv)
    if a.child:
        return child(*a.child)

    repeat = a.repeat or (1 if a.quick else 3)
    mb = a.mb or (10.0 if a.quick else 100.0)
    os.makedirs(a.dir, exist_ok=True)
    have_module = module_available()

    print(f"# XML streaming: load average {os.getloadavg()[0]:.2f} on {os.cpu_count()} CPUs\n")
    print("## Validation (small files, batch_rows 97)\n")
    print("\n".join(validate(a.dir, have_module)))

    with tempfile.TemporaryDirectory() as tmp:
        floor_exe = compile_floor(tmp)
        keys = [k for k, _, needs in MEASUREMENTS if (have_module or not needs) and (k != "floor" or floor_exe)]
        results = {}
        for kind in ("records", "wide"):
            path = ensure_file(kind, a.dir, mb)
            size = os.path.getsize(path)
            with open(path, "rb") as f:  # into the page cache before any timing
                while f.read(1 << 24):
                    pass
            runs = {k: [] for k in keys}
            for _ in range(repeat):
                for k in keys:
                    runs[k].append(measure(k, path, floor_exe))
            results[kind] = (path, size, {k: summarise(v, size) for k, v in runs.items()})

    print(f"\n## Throughput (median of {repeat}; MB = 10^6 bytes; spread = (max - min) / median of the times)\n")
    for kind, (path, size, res) in results.items():
        print(f"### {kind}: {path}, {size / 1e6:.1f} MB\n")
        print("| measurement | MB/s | records/s | peak RSS MiB | spread |")
        print("|---|---:|---:|---:|---:|")
        for k, label, _ in MEASUREMENTS:
            if k in res:
                r = res[k]
                print(
                    f"| {label} | {fmt_rate(r['mbps'])} | {fmt_rate(r['recps'], '/s')} "
                    f"| {fmt_rate(r['rss_mib'])} | {100 * r['spread']:.0f}% |"
                )
        print()

    def get(kind, k, field):
        r = results[kind][2].get(k)
        return r[field] if r else None

    print("### Ratios (same run)\n")
    kinds = list(results)
    print("| ratio | " + " | ".join(kinds) + " | goal |")
    print("|---|" + "---:|" * len(kinds) + "---|")
    rows = [
        ("count_xml_records / floor (MB/s)", "count", "floor", "mbps", True, ">= 60%"),
        ("count_xml_records / lxml counter", "count", "lxml-count", "mbps", False, ">= 25x"),
        ("stream_xml_file / ElementTree", "stream", "et", "mbps", False, ">= 15x"),
        ("stream_xml_file / lxml", "stream", "lxml", "mbps", False, ">= 25x"),
        ("peak RSS stream_xml_file / ElementTree", "stream", "et", "rss_mib", False, "<= 1.0x"),
    ]
    for label, num, den, field, pct, goal in rows:
        cells = [ratio(get(kd, num, field), get(kd, den, field), pct) for kd in kinds]
        print(f"| {label} | " + " | ".join(cells) + f" | {goal} |")

    # Every measurement that counts records should see the same number.
    for kind, (_, _, res) in results.items():
        seen = {k: r["records"] for k, r in res.items() if k != "floor"}
        if len(set().union(*seen.values())) > 1:
            print(f"\nWARNING: {kind}: record counts differ between measurements: {seen}")
    if have_module:
        chosen_records(a.dir, mb, repeat)
    return 0


def chosen_records(directory: str, mb: float, repeat: int) -> None:
    """record="item" on the feed (records at depth 3) against the records
    file read by default (depth 2): medians of interleaved runs."""
    cases = [("read", ensure_file("records", directory, mb)), ("read-item", ensure_file("feed", directory, mb))]
    for _, path in cases:
        with open(path, "rb") as f:
            while f.read(1 << 24):
                pass
    runs: dict = {key: [] for key, _ in cases}
    for _ in range(repeat):
        for key, path in cases:
            runs[key].append(measure(key, path, None))
    medians = {key: statistics.median(r["seconds"] for r in rs) for key, rs in runs.items()}
    records = {key: {r["records"] for r in rs} for key, rs in runs.items()}
    print(f"\n## Chosen records (median of {repeat})\n")
    print("| case | seconds | records |")
    print("|---|---:|---:|")
    print(f"| records file, default rule (depth 2) | {medians['read']:.3f} | {sorted(records['read'])} |")
    print(f'| feed file, record="item" (depth 3) | {medians["read-item"]:.3f} | {sorted(records["read-item"])} |')
    print(f'\nratio record="item" / default: {medians["read-item"] / medians["read"]:.3f}x (goal <= 1.1x)')
    if records["read"] != records["read-item"]:
        print("\nWARNING: the two files' record counts differ")


if __name__ == "__main__":
    sys.exit(main())
