"""Times reading attributes as columns against xml2arrow on a posts dump, the
shape where every value is an attribute, and prints a markdown table.

    python benchmarks/bench_attributes.py                 # a generated ~100 MB posts file, 5 rounds
    python benchmarks/bench_attributes.py --posts P.xml --repeat 7

xml2arrow gets an `@`-attribute mapping of every attribute of the file's first
records, as nullable Utf8 fields. Each measurement is a fresh child process
(the time of its work after the imports, and its own VmHWM); rounds are interleaved and
the figures are medians, with each of our rows' ratio to the peer row of its
group.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))
from bench_convert import CLOCK, PEER_READER, convert, machine, run  # noqa: E402

PY = sys.executable


def _convert(ext: str) -> str:
    return convert(ext, "--attributes")


# (row, group): a group's rows get their ratio to its peer row.
CASES = [
    (
        "`read_xml(path, attributes=True, threads=1, columns=...)` as a `RecordBatchReader` (core for core)",
        "arrow",
        "import quelbrand, pyarrow, quelbrand._native as n\n"
        "cols = list(n.discover(src, attributes=True).columns)\n"
        + CLOCK
        + "r = quelbrand.read_xml(src, attributes=True, threads=1, columns=cols)\n"
        "for b in pyarrow.RecordBatchReader.from_stream(r): pass",
    ),
    (
        "`read_xml(path, attributes=True)` as a `RecordBatchReader`",
        "arrow",
        "import quelbrand, pyarrow\n"
        + CLOCK
        + "for b in pyarrow.RecordBatchReader.from_stream(quelbrand.read_xml(src, attributes=True)): pass",
    ),
    (
        "`read_xml(path, attributes=True).to_arrow()`",
        "table",
        "import quelbrand, pyarrow\n" + CLOCK + "quelbrand.read_xml(src, attributes=True).to_arrow()",
    ),
    (
        "peer: xml2arrow `parse_single_table`, batches consumed",
        "peer-arrow",
        "import xml2arrow, pyarrow\n" + CLOCK + PEER_READER + "for b in reader: pass",
    ),
    (
        "peer: xml2arrow `parse_single_table` into one `pyarrow.Table`",
        "peer-table",
        "import xml2arrow, pyarrow\n" + CLOCK + PEER_READER + "pyarrow.Table.from_batches(list(reader))",
    ),
    ("`quelbrand convert --to .parquet --attributes`", "parquet", _convert("parquet")),
    (
        "`quelbrand convert --to .parquet --attributes --threads 1`",
        "parquet",
        convert("parquet", "--attributes", "--threads", "1"),
    ),
    (
        "peer: xml2arrow reader into `ParquetWriter`",
        "peer-parquet",
        "import xml2arrow, pyarrow.parquet as pq\n"
        + CLOCK
        + PEER_READER
        + "with pq.ParquetWriter(out + '/p.parquet', reader.schema) as w:\n"
        "    for b in reader: w.write_batch(b)",
    ),
]


def peer_config(src: str, dest: str, records: int = 1000) -> None:
    """xml2arrow's mapping of every attribute of the records, found in the
    first `records` of them."""
    root, row, names, depth, seen = "", "", {}, 0, 0
    for event, elem in ET.iterparse(src, events=("start", "end")):
        if event == "start":
            depth += 1
            if depth == 1:
                root = elem.tag
            elif depth == 2:
                row = elem.tag
                names.update(dict.fromkeys(elem.attrib))
            continue
        depth -= 1
        if depth == 1:
            seen += 1
            elem.clear()
            if seen >= records:
                break
    fields = "".join(
        f"      - {{name: {json.dumps(n)}, xml_path: {json.dumps(f'/{root}/{row}/@{n}')}, "
        "data_type: Utf8, nullable: true}\n"
        for n in names
    )
    Path(dest).write_text(
        "parser_options:\n  trim_text: true\ntables:\n"
        f"  - name: t\n    xml_path: /{root}\n    levels: []\n    fields:\n{fields}"
    )


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--posts", help="a `posts` XML file (default: generated)")
    ap.add_argument("--mb", type=float, default=100.0, help="size of the generated file in 10^6 bytes")
    ap.add_argument("--repeat", type=int, default=5, help="rounds; every case runs once per round")
    args = ap.parse_args()
    with tempfile.TemporaryDirectory(prefix="bench_attributes.") as tmp:
        src = args.posts or f"{tmp}/posts.xml"
        if not args.posts:
            gen = [PY, str(Path(__file__).with_name("gen_xml.py")), "posts", src, "--mb", str(args.mb)]
            subprocess.run(gen, check=True)
        cfg = f"{tmp}/posts.yaml"
        peer_config(src, cfg)
        print(machine())
        print(f"repeat: {args.repeat} rounds, interleaved; medians of wall time and VmHWM\n", flush=True)
        results: dict[str, list | str] = {name: [] for name, _, _ in CASES}
        for _ in range(args.repeat):
            for name, _, body in CASES:
                if isinstance(results[name], list):
                    got = run(body, src, tmp, cfg)
                    results[name] = got if isinstance(got, str) else results[name] + [got]
    size = os.path.getsize(src) / 1e6 if args.posts else args.mb
    medians = {
        n: (statistics.median(got[1] for got in r), statistics.median(got[2] for got in r))
        for n, r in results.items()
        if not isinstance(r, str)
    }
    peers = {group: name for name, group, _ in CASES if group.startswith("peer-")}
    print(f"### posts: {size:.1f} MB\n")
    print(
        "| path | median work s | MB/s | peak MiB (VmHWM) | speed-up over peer | peak / peer's |\n"
        "|---|---:|---:|---:|---:|---:|"
    )
    for name, group, _ in CASES:
        if name not in medians:
            print(f"| {name}: *{results[name]}* | | | | | |")
            continue
        seconds, peak = medians[name]
        peer = medians.get(peers.get(f"peer-{group}", ""))
        ratio = f"{peer[0] / seconds:.2f}" if peer else ""
        peaks = f"{peak / peer[1]:.2f}" if peer else ""
        print(f"| {name} | {seconds:.2f} | {size / seconds:.0f} | {peak:.0f} | {ratio} | {peaks} |")
    print(
        "\nGoals: core for core and the `RecordBatchReader` at least 2x the peer, `to_arrow()` 2.5x, "
        "Parquet 1.5x, each with a peak at most the peer's."
    )


if __name__ == "__main__":
    main()
