"""Times quelbrand's ways of reading an XML file, and the command's outputs,
against xml2arrow on the same files, and prints one markdown table per file.

    python benchmarks/bench_convert.py                        # two generated ~100 MB files, 5 rounds
    python benchmarks/bench_convert.py --mb 10 --repeat 1     # a quick look
    python benchmarks/bench_convert.py --wide W.xml --records R.xml

Every measurement is a fresh child process: the time is its wall time, start-up
included, and the memory its own high-water mark (VmHWM, read by the child as it
ends). The rounds are interleaved, every case of both files once per round, and
the figures are medians. xml2arrow needs a YAML mapping of every field; it is
built from the leaves of the file's first records. Cases whose API this build
lacks, and the peer on a shape it cannot express, are listed as skipped.
"""

from __future__ import annotations

import argparse
import hashlib
import importlib
import importlib.metadata
import importlib.util
import json
import os
import statistics
import subprocess
import sys
import tempfile
import textwrap
import time
import xml.etree.ElementTree as ET
from pathlib import Path

PY = sys.executable
HEAD_RECORDS = 1000  # enough for every optional field of either shape to show up

# Every child gets the file, the scratch folder and the peer's config as arguments,
# prints the seconds of its work (its body less the imports that body would make
# anyway, which run first) in wall and CPU time (all threads: on a loaded machine a
# sturdier figure than wall time), and its own VmHWM last, after the work or its failure.
CHILD = """\
import resource, sys, time
src, out, cfg = sys.argv[1:4]
def cpu():
    used = resource.getrusage(resource.RUSAGE_SELF)
    return used.ru_utime + used.ru_stime
try:
{setup}
    start, start_cpu = time.perf_counter(), cpu()
{body}
    print("WORK", time.perf_counter() - start, cpu() - start_cpu)
finally:
    print("VMHWM", next(l.split()[1] for l in open("/proc/self/status") if l.startswith("VmHWM:")))
"""
# In a case's body, what comes before this line is set-up, left out of its work time.
CLOCK = "# clock\n"


def convert(ext: str, *options: str) -> str:
    # Running the module in-process, rather than as `python -m`, lets the
    # snippet read the command's own high-water mark. The set-up imports what
    # the command imports for this format anyway (pyarrow only for Parquet).
    extra = "".join(f", {o!r}" for o in options)
    return (
        "import runpy, quelbrand.cli\n"
        + ("import pyarrow.parquet\n" if ext == "parquet" else "")
        + CLOCK
        + f"sys.argv = ['quelbrand', 'convert', src, '--to', out + '/o.{ext}', '--quiet'{extra}]\n"
        "try:\n"
        "    runpy.run_module('quelbrand', run_name='__main__', alter_sys=True)\n"
        "except SystemExit as e:\n"
        "    assert not e.code, e.code"
    )


# Outputs of the command, hashed after each run to check that --jobs 2 writes
# the bytes --jobs 1 does.
OUTPUTS = ("o.csv", "o.jsonl", "o.parquet")


PEER_READER = "reader = xml2arrow.XmlToArrowParser(cfg).parse_single_table(src, max_rows_per_batch=65536)\n"

# (row, group, body, needs). A row in group "arrow" or "parquet" gets its ratio
# to that group's peer row; "base" gets no MB/s. `needs` names what this build
# or machine must have. RATIOS below compares rows of one file with each other.
READ_XML = "import quelbrand, pyarrow\n" + CLOCK + "for b in quelbrand.read_xml(src): pass"
# The reference for the command on one thread: the same reading on one thread,
# so that the comparison is the encoding's cost, not the second core's help.
READ_ONE = "import quelbrand, pyarrow\n" + CLOCK + "for b in quelbrand.read_xml(src, threads=1): pass"
READ_ONE_ROW = "`for b in quelbrand.read_xml(path, threads=1)`"
TO_ARROW = "import quelbrand, pyarrow\n" + CLOCK + "quelbrand.read_xml(src, threads={threads}).to_arrow()"

CASES = [
    ("`count_xml_records`", "", "import quelbrand_kernels as qk\nqk.count_xml_records(src)", ""),
    (
        "native discovery `quelbrand._native.discover`",
        "",
        "import quelbrand._native as n\nn.discover(src)",
        "native",
    ),
    (
        "native discovery, text left to the reading pass (as `read_xml` runs it)",
        "",
        "import quelbrand._native as n\nn.discover(src, check_text=False)",
        "native",
    ),
    (
        "native discovery with types `quelbrand._native.discover(path, types=True)`",
        "",
        "import quelbrand._native as n\nn.discover(src, types=True)",
        "types",
    ),
    (
        "loop over `stream_xml_file(path, 65536)`",
        "",
        "import quelbrand_kernels as qk\nfor b in qk.stream_xml_file(src, 65536): pass",
        "",
    ),
    (
        "`for b in quelbrand.read_xml(path)`",
        "arrow",
        READ_XML,
        "read",
    ),
    (READ_ONE_ROW, "arrow", READ_ONE, "read"),
    (
        "`read_xml(path, threads=1, columns=...)` consumed as a `RecordBatchReader` (core for core)",
        "arrow",
        "import quelbrand, pyarrow, quelbrand._native as n\ncols = list(n.discover(src).columns)\n"
        + CLOCK
        + "for b in pyarrow.RecordBatchReader.from_stream(quelbrand.read_xml(src, threads=1, columns=cols)): pass",
        "read",
    ),
    (
        "`read_xml(path)` consumed as a `RecordBatchReader`",
        "arrow",
        "import quelbrand, pyarrow\n"
        + CLOCK
        + "for b in pyarrow.RecordBatchReader.from_stream(quelbrand.read_xml(src)): pass",
        "read",
    ),
    (
        "loop over `quelbrand.arrow.record_batches`",
        "arrow",
        "import pyarrow\nfrom quelbrand.arrow import record_batches\n" + CLOCK + "for b in record_batches(src): pass",
        "",
    ),
    (
        "peer: xml2arrow `parse_single_table`, batches consumed",
        "peer-arrow",
        "import xml2arrow, pyarrow\n" + CLOCK + PEER_READER + "for b in reader: pass",
        "peer",
    ),
    ("`quelbrand.read_xml(path, threads=1).to_arrow()`", "table", TO_ARROW.format(threads=1), "read"),
    ("`quelbrand.read_xml(path, threads=2).to_arrow()`", "table", TO_ARROW.format(threads=2), "read"),
    (
        "peer: xml2arrow `parse_single_table` into one `pyarrow.Table`",
        "peer-table",
        "import xml2arrow, pyarrow\n" + CLOCK + PEER_READER + "pyarrow.Table.from_batches(list(reader))",
        "peer",
    ),
    ("`quelbrand convert --to .parquet --jobs 1`", "parquet", convert("parquet", "--jobs", "1"), ""),
    ("`quelbrand convert --to .parquet --jobs 2`", "parquet", convert("parquet", "--jobs", "2"), ""),
    (
        "`quelbrand convert --to .parquet --types --jobs 1`",
        "parquet",
        convert("parquet", "--types", "--jobs", "1"),
        "types",
    ),
    (
        "`quelbrand.read_xml(path).write_parquet`",
        "parquet",
        "import quelbrand, pyarrow.parquet\n" + CLOCK + "quelbrand.read_xml(src).write_parquet(out + '/r.parquet')",
        "read",
    ),
    (
        "peer: xml2arrow reader into `ParquetWriter`",
        "peer-parquet",
        "import xml2arrow, pyarrow.parquet as pq\n"
        + CLOCK
        + PEER_READER
        + "with pq.ParquetWriter(out + '/p.parquet', reader.schema) as w:\n"
        "    for b in reader: w.write_batch(b)",
        "peer",
    ),
    ("`quelbrand convert --to .csv --jobs 1`", "", convert("csv", "--jobs", "1"), ""),
    ("`quelbrand convert --to .csv --jobs 2`", "", convert("csv", "--jobs", "2"), ""),
    ("`quelbrand convert --to .jsonl --jobs 1`", "", convert("jsonl", "--jobs", "1"), ""),
    ("`quelbrand convert --to .jsonl --jobs 2`", "", convert("jsonl", "--jobs", "2"), ""),
    (
        "`quelbrand.read_xml(path).to_pandas()`",
        "",
        "import quelbrand, pyarrow, pandas\n" + CLOCK + "quelbrand.read_xml(src).to_pandas()",
        "read",
    ),
    (
        "`quelbrand.arrow.to_pandas`",
        "",
        "import pyarrow, pandas\nfrom quelbrand.arrow import to_pandas\n" + CLOCK + "to_pandas(src)",
        "",
    ),
    ("start-up and imports only", "base", "import quelbrand.convert, quelbrand.arrow, pyarrow.parquet, pandas", ""),
]


# (label, row, reference row, goal): the row's time over the reference's, in
# wall time (start-up included) and in work time (imports left out). A goal
# "<= x" is met by a work-time ratio at most x, ">= x" by a speed-up (the
# reference's time over the row's) of at least x.
PEER_ARROW = "peer: xml2arrow `parse_single_table`, batches consumed"
PEER_TABLE = "peer: xml2arrow `parse_single_table` into one `pyarrow.Table`"
PEER_PARQUET = "peer: xml2arrow reader into `ParquetWriter`"
RATIOS = [
    (
        "core for core: threads=1, columns given, as a RecordBatchReader / xml2arrow",
        "`read_xml(path, threads=1, columns=...)` consumed as a `RecordBatchReader` (core for core)",
        PEER_ARROW,
        ">= 2",
    ),
    (
        "RecordBatchReader, defaults / xml2arrow",
        "`read_xml(path)` consumed as a `RecordBatchReader`",
        PEER_ARROW,
        ">= 2",
    ),
    ("to_arrow(), defaults / xml2arrow", "`quelbrand.read_xml(path, threads=2).to_arrow()`", PEER_TABLE, ">= 2.5"),
    (
        "convert to Parquet, default threads / xml2arrow",
        "`quelbrand convert --to .parquet --jobs 2`",
        PEER_PARQUET,
        ">= 1.5",
    ),
    (
        "convert to CSV, --jobs 1 / read_xml into Arrow, threads=1",
        "`quelbrand convert --to .csv --jobs 1`",
        READ_ONE_ROW,
        "<= 1.1",
    ),
    (
        "convert to JSON Lines, --jobs 1 / read_xml into Arrow, threads=1",
        "`quelbrand convert --to .jsonl --jobs 1`",
        READ_ONE_ROW,
        "<= 1.1",
    ),
    (
        "convert to Parquet, --jobs 1 / read_xml into Arrow, threads=1",
        "`quelbrand convert --to .parquet --jobs 1`",
        READ_ONE_ROW,
        "",
    ),
    (
        "CSV, --jobs 2 / --jobs 1",
        "`quelbrand convert --to .csv --jobs 2`",
        "`quelbrand convert --to .csv --jobs 1`",
        ">= 1.7",
    ),
    (
        "JSON Lines, --jobs 2 / --jobs 1",
        "`quelbrand convert --to .jsonl --jobs 2`",
        "`quelbrand convert --to .jsonl --jobs 1`",
        "",
    ),
    (
        "to_arrow(), threads=2 / threads=1",
        "`quelbrand.read_xml(path, threads=2).to_arrow()`",
        "`quelbrand.read_xml(path, threads=1).to_arrow()`",
        "",
    ),
    (
        "Parquet, --jobs 2 / --jobs 1",
        "`quelbrand convert --to .parquet --jobs 2`",
        "`quelbrand convert --to .parquet --jobs 1`",
        ">= 1.7",
    ),
]
NOT_CHOSEN = "left out by --only"

# Rows whose outputs must be the same bytes, in every round.
SAME_OUTPUT = [
    (f"`quelbrand convert --to .{ext} --jobs 1`", f"`quelbrand convert --to .{ext} --jobs 2`")
    for ext in ("csv", "jsonl", "parquet")
]


def peer_config(src: str, dest: str) -> str | None:
    """Writes xml2arrow's YAML for src at dest: one nullable Utf8 field per leaf
    path below a record, as found in the first records, text trimmed as ours is.
    Returns why the peer cannot read the file as one table, or None."""
    root, rows, leaves, seen, path = "", set(), {}, {}, []
    parser = ET.XMLPullParser(("start", "end"))
    with open(src, "rb") as f:
        records = 0
        while records < HEAD_RECORDS and (chunk := f.read(1 << 16)):
            parser.feed(chunk)
            for event, elem in parser.read_events():
                if event == "start":
                    path.append(elem.tag.rpartition("}")[2])  # the peer matches local names
                    root = root or path[0]
                    if len(path) == 2:
                        rows.add(path[1])
                    continue
                leaf = "/".join(path[2:])
                path.pop()
                if len(path) >= 2 and len(elem) == 0:
                    leaves[leaf] = None
                    seen[leaf] = seen.get(leaf, 0) + 1
                    if seen[leaf] > 1:
                        # The peer takes at most one value per field and row.
                        return f"repeated `<{leaf}>` within one record"
                elif len(path) == 1:
                    records += 1
                    seen.clear()
                    elem.clear()
    if len(rows) != 1:
        return f"records named {sorted(rows)}: the peer maps a single path"
    row = rows.pop()
    fields = "".join(
        f"      - {{name: {json.dumps(leaf.replace('/', '_'))}, xml_path: {json.dumps(f'/{root}/{row}/{leaf}')}, "
        "data_type: Utf8, nullable: true}\n"
        for leaf in leaves
    )
    Path(dest).write_text(
        "parser_options:\n  trim_text: true\ntables:\n"
        f"  - name: t\n    xml_path: /{root}\n    levels: []\n    fields:\n{fields}"
    )
    return None


def missing(needs: str) -> str | None:
    """Why this build cannot run a case that needs `needs`, or None."""
    if needs == "native" and importlib.util.find_spec("quelbrand._native") is None:
        return "no `quelbrand._native` in this build"
    if needs == "read" and not hasattr(importlib.import_module("quelbrand"), "read_xml"):
        return "no `quelbrand.read_xml` in this build"
    read_xml = getattr(importlib.import_module("quelbrand"), "read_xml", None)
    if needs == "types" and "types" not in (getattr(read_xml, "__kwdefaults__", None) or {}):
        return "no typed columns in this build"
    if needs == "peer" and importlib.util.find_spec("xml2arrow") is None:
        return "xml2arrow is not installed"
    return None


def run(body: str, src: str, out: str, cfg: str) -> tuple[float, float, float, float, str | None] | str:
    """Wall seconds, work seconds, VmHWM in MiB and work CPU seconds of one
    child, and the hash of the command's output if it wrote one; or the
    child's error."""
    setup, _, work = body.rpartition(CLOCK)
    code = CHILD.format(setup=textwrap.indent(setup or "pass\n", "    "), body=textwrap.indent(work, "    "))
    start = time.perf_counter()
    child = subprocess.run([PY, "-c", code, src, out, cfg], capture_output=True, text=True)
    seconds = time.perf_counter() - start
    last = child.stdout.split()[-5:]
    if child.returncode != 0 or len(last) != 5 or last[0] != "WORK" or last[3] != "VMHWM":
        return "failed: " + (child.stderr.strip().splitlines() or ["no output"])[-1]
    digest = None
    for name in OUTPUTS:
        if os.path.exists(written := os.path.join(out, name)):
            digest_of = hashlib.sha256()
            with open(written, "rb") as f:
                while chunk := f.read(1 << 20):
                    digest_of.update(chunk)
            digest = digest_of.hexdigest()
            os.unlink(written)
    return seconds, float(last[1]), int(last[4]) / 1024, float(last[2]), digest


def machine() -> str:
    with open("/proc/cpuinfo") as f:
        cpu = next((line.split(":", 1)[1].strip() for line in f if line.startswith("model name")), "unknown CPU")
    peer = importlib.metadata.version("xml2arrow") if importlib.util.find_spec("xml2arrow") else "not installed"
    return (
        f"machine: {len(os.sched_getaffinity(0))} CPUs (nproc), {cpu}; load average {os.getloadavg()[0]:.2f}; "
        f"Python {sys.version.split()[0]}; xml2arrow {peer}"
    )


def table(src: str, results: dict[str, list | str]) -> str:
    size = os.path.getsize(src) / 1e6
    medians = {
        name: tuple(statistics.median(run[i] for run in runs) for i in range(4))
        for name, runs in results.items()
        if not isinstance(runs, str)
    }
    peers = {group: name for name, group, _, _ in CASES if group.startswith("peer-")}
    lines = [
        f"### {Path(src).name}: {size:.1f} MB",
        "",
        "| path | median s | work s | work CPU s | MB/s | peak MiB (VmHWM) | ratio to peer |",
        "|---|---:|---:|---:|---:|---:|---:|",
    ]
    for name, group, _, _ in CASES:
        if results[name] == NOT_CHOSEN:
            continue
        if isinstance(results[name], str):
            lines.append(f"| {name}: *{results[name]}* | | | | | | |")
            continue
        seconds, work, peak, cpu = medians[name]
        peer = medians.get(peers.get(f"peer-{group}", ""))
        ratio = f"{peer[0] / seconds:.2f}" if peer else ""
        rate = "" if group == "base" else f"{size / seconds:.0f}"
        lines.append(f"| {name} | {seconds:.2f} | {work:.2f} | {cpu:.2f} | {rate} | {peak:.0f} | {ratio} |")
    compared = [ratio for ratio in RATIOS if ratio[1] in medians and ratio[2] in medians]
    if compared:
        lines += [
            "",
            "Each ratio reads as its goal does: a speed-up (the reference's time over the row's)"
            " for a `>=` goal or none, the row's time over the reference's for a `<=` goal;"
            " peak is always the row's over the reference's.",
            "",
            "| comparison | reads as | wall ratio | work ratio | work CPU ratio | peak ratio | goal | met |",
            "|---|---|---:|---:|---:|---:|---|---|",
        ]
    for label, row, reference, goal in compared:
        wall, work, peak, cpu = (medians[row][i] / medians[reference][i] for i in range(4))
        slower = goal.startswith("<=")
        if not slower:
            wall, work, cpu = 1 / wall, 1 / work, 1 / cpu
        met = "-"
        if goal:
            bound = float(goal.split()[1])
            met = "yes" if (work <= bound if slower else work >= bound) else "no"
        kind = "time" if slower else "speed-up"
        lines.append(f"| {label} | {kind} | {wall:.2f} | {work:.2f} | {cpu:.2f} | {peak:.2f} | {goal or '-'} | {met} |")
    for one, two in SAME_OUTPUT:
        if one in medians and two in medians:
            digests = {run[4] for run in results[one] + results[two]}
            lines.append(f"\n{two} output byte-identical to {one} in every round: {len(digests) == 1}")
    return "\n".join(lines)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--wide", help="a `wide` XML file (default: generated)")
    ap.add_argument("--records", help="a `records` XML file (default: generated)")
    ap.add_argument("--mb", type=float, default=100.0, help="size of the generated files in 10^6 bytes")
    ap.add_argument("--repeat", type=int, default=5, help="rounds; every case runs once per round")
    ap.add_argument("--only", nargs="*", help="run only the rows whose name contains one of these words")
    args = ap.parse_args()

    def chosen(name: str) -> bool:
        return not args.only or any(word in name for word in args.only)

    with tempfile.TemporaryDirectory(prefix="bench_convert.") as tmp:
        files = {}
        for kind in ("wide", "records"):
            files[kind] = getattr(args, kind) or f"{tmp}/{kind}.xml"
            if not getattr(args, kind):
                gen = [PY, str(Path(__file__).with_name("gen_xml.py")), kind, files[kind], "--mb", str(args.mb)]
                subprocess.run(gen, check=True)
        print(machine())
        print(f"repeat: {args.repeat} rounds, interleaved; medians of wall time and VmHWM\n", flush=True)
        results: dict[str, dict[str, list | str]] = {}
        for kind, src in files.items():
            cfg = f"{tmp}/{kind}.yaml"
            no_peer = missing("peer") or peer_config(src, cfg)
            results[kind] = {
                name: ((no_peer if needs == "peer" else missing(needs)) or [] if chosen(name) else NOT_CHOSEN)
                for name, _, _, needs in CASES
            }
        for _ in range(args.repeat):
            for kind, src in files.items():
                for name, _, body, _ in CASES:
                    if isinstance(results[kind][name], list):
                        got = run(body, src, tmp, f"{tmp}/{kind}.yaml")
                        # A failed case keeps its error and runs no more.
                        results[kind][name] = got if isinstance(got, str) else results[kind][name] + [got]
        for kind, src in files.items():
            print(table(src, results[kind]) + "\n")


if __name__ == "__main__":
    main()
