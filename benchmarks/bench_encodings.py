"""Decoding benchmark: stream_xml_file over EUC-JP and Big5 documents.

Generates (seeded, cached in --dir) a ~100 MB EUC-JP file and a ~100 MB Big5
file of records with Japanese or Chinese text values inside ASCII markup,
plus the EUC-JP file's content in UTF-8 for reference, and streams each
through quelbrand_kernels.stream_xml_file(path, 10000) with every build
given: each run in a fresh child process, the runs of all builds and files
interleaved, times taken in the child around the streaming only.

    python benchmarks/bench_encodings.py --build before=/tmp/qk-before --build after= [--repeat 5]

A build is NAME=DIR, DIR holding the module (as `pip install --target DIR .`
leaves it); an empty DIR means the module the interpreter imports anyway.
Prints MB/s medians and each build's ratio to the first.
"""

from __future__ import annotations

import argparse
import json
import os
import random
import statistics
import subprocess
import sys

DATA_VERSION = 1

CHILD = r"""
import json, sys, time
if sys.argv[1]:
    sys.path.insert(0, sys.argv[1])
import quelbrand_kernels as qk
t = time.perf_counter()
rows = 0
for names, columns in qk.stream_xml_file(sys.argv[2], 10000):
    rows += len(columns[0]) if columns else 0
t = time.perf_counter() - t
print(json.dumps({"seconds": t, "rows": rows, "module": qk.__file__}))
"""


def euc_jp_char(rng: random.Random) -> bytes:
    r = rng.random()
    if r < 0.35:  # hiragana, row 4
        return bytes([0xA4, rng.randrange(0xA1, 0xF4)])
    if r < 0.45:  # katakana, row 5
        return bytes([0xA5, rng.randrange(0xA1, 0xF7)])
    if r < 0.5:  # halfwidth katakana
        return bytes([0x8E, rng.randrange(0xB1, 0xDE)])
    return bytes([rng.randrange(0xB0, 0xCF), rng.randrange(0xA1, 0xFF)])  # level-1 kanji


def big5_char(rng: random.Random) -> bytes:
    trail = rng.choice([rng.randrange(0x40, 0x7F), rng.randrange(0xA1, 0xFF)])
    return bytes([rng.randrange(0xA4, 0xC6), trail])  # frequently used characters


def words(rng: random.Random, char, n: int) -> bytes:
    return b"".join(char(rng) for _ in range(n))


def record(rng: random.Random, char, i: int) -> bytes:
    name = words(rng, char, rng.randrange(2, 6))
    city = words(rng, char, rng.randrange(2, 4))
    note = b" ".join(
        words(rng, char, rng.randrange(2, 9))
        if rng.random() < 0.6
        else rng.choice([b"OK", b"pending", b"id-%d" % rng.randrange(10**6), b"2024-05-01"])
        for _ in range(rng.randrange(2, 7))
    )
    return (
        b'<record id="%d"><name>%s</name><city>%s</city><code>C%06d</code>'
        b"<amount>%d.%02d</amount><note>%s</note></record>\n"
        % (
            i,
            name,
            city,
            rng.randrange(10**6),
            rng.randrange(10**5),
            rng.randrange(100),
            note,
        )
    )


def generate(path: str, label: str, char, mb: float) -> None:
    rng = random.Random(f"{label}-{DATA_VERSION}")
    target = int(mb * 1e6)
    with open(path + ".tmp", "wb") as f:
        f.write(b'<?xml version="1.0" encoding="%s"?>\n<records>\n' % label.encode())
        size, i = 0, 0
        while size < target:
            chunk = b"".join(record(rng, char, i + k) for k in range(1000))
            f.write(chunk)
            size += len(chunk)
            i += 1000
        f.write(b"</records>\n")
    os.replace(path + ".tmp", path)


def to_utf8(src: str, dst: str, label: str) -> None:
    # The characters generated decode the same in Python's codecs.
    with open(src, "rb") as f:
        text = f.read().decode({"EUC-JP": "euc_jp"}[label])
    with open(dst + ".tmp", "wb") as f:
        f.write(text.replace(f'encoding="{label}"', 'encoding="UTF-8"', 1).encode())
    os.replace(dst + ".tmp", dst)


def run(build_dir: str, path: str) -> dict:
    out = subprocess.run(
        [sys.executable, "-c", CHILD, build_dir, path], check=True, capture_output=True, text=True
    ).stdout
    return json.loads(out)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", action="append", required=True, help="NAME=DIR (DIR may be empty)")
    ap.add_argument("--dir", default="/tmp/qk-bench")
    ap.add_argument("--mb", type=float, default=100)
    ap.add_argument("--repeat", type=int, default=5)
    args = ap.parse_args()
    builds = [tuple(b.split("=", 1)) for b in args.build]

    os.makedirs(args.dir, exist_ok=True)
    files = {}
    for label, char in (("EUC-JP", euc_jp_char), ("Big5", big5_char)):
        path = os.path.join(args.dir, f"records-{label.lower()}-v{DATA_VERSION}-{args.mb:g}mb.xml")
        if not os.path.exists(path):
            generate(path, label, char, args.mb)
        files[label] = path
    utf8 = os.path.join(args.dir, f"records-euc-jp-as-utf8-v{DATA_VERSION}-{args.mb:g}mb.xml")
    if not os.path.exists(utf8):
        to_utf8(files["EUC-JP"], utf8, "EUC-JP")
    files["UTF-8 (same text)"] = utf8

    print(f"load average at start: {os.getloadavg()[0]:.2f}")
    times = {(b, f): [] for b, _ in builds for f in files}
    rows = {}
    for _ in range(args.repeat):
        for f, path in files.items():
            for name, build_dir in builds:
                r = run(build_dir, path)
                times[(name, f)].append(r["seconds"])
                rows.setdefault(f, set()).add(r["rows"])
    for f, counts in rows.items():
        assert len(counts) == 1, f"builds disagree on the rows of {f}: {counts}"

    names = [b for b, _ in builds]
    print(f"\nmedians of {args.repeat} interleaved runs, stream_xml_file(path, 10000)\n")
    print(
        "| file | MB | "
        + " | ".join(f"{n} MB/s" for n in names)
        + " | "
        + " | ".join(f"{n} / {names[0]}" for n in names[1:])
        + " |"
    )
    print("|---" * (2 + 2 * len(names) - 1) + "|")
    for f, path in files.items():
        mb = os.path.getsize(path) / 1e6
        speed = [mb / statistics.median(times[(n, f)]) for n in names]
        print(
            f"| {f} | {mb:.0f} | "
            + " | ".join(f"{s:.0f}" for s in speed)
            + " | "
            + " | ".join(f"{s / speed[0]:.2f}" for s in speed[1:])
            + " |"
        )


if __name__ == "__main__":
    main()
