"""The quelbrand command, end to end in a subprocess, and its atomic output."""

import csv
import json
import os
import pathlib
import re
import subprocess
import sys

import pytest
from conftest import FAULT_ORDERS, assert_first_fault

import quelbrand
import quelbrand.convert
import quelbrand_kernels as qk
from quelbrand.output import open_output


def run(*args, python_code=None):
    prefix = ["-c", python_code] if python_code else ["-m", "quelbrand"]
    return subprocess.run([sys.executable, *prefix, *args], capture_output=True, text=True, timeout=120)


def assert_clean_failure(result, code):
    assert result.returncode == code, result.stderr
    assert "Traceback" not in result.stderr
    assert result.stderr.startswith("quelbrand: ") or result.stderr.startswith("usage: ")


# At 2 rows per batch: a late column `late` (only in the last batch), a
# missing value, text that CSV must quote, and a batch of two records without
# values, which has no columns at all.
DOC = """<?xml version="1.0"?>
<r>
  <rec><id>1</id><name>Ann, "A"</name></rec>
  <rec><id>2</id><name/></rec>
  <rec><id>3</id><note>two
lines</note></rec>
  <rec><id>4</id></rec>
  <empty/>
  <empty/>
  <rec><id>7</id><late>ünï</late></rec>
</r>"""


def module_rows(path, batch_rows):
    """The rows as the module's own batches give them."""
    rows = []
    for names, values in qk.stream_xml_file(path, batch_rows):
        rows += [dict(zip(names, row)) for row in zip(*values)]
    return rows


@pytest.fixture
def doc(write_xml):
    return write_xml(DOC)


@pytest.mark.parametrize("fmt", ["csv", "jsonl", "parquet"])
def test_convert_round_trip(doc, tmp_path, fmt):
    out = tmp_path / f"out.{fmt}"
    result = run("convert", doc, "--to", str(out), "--batch-rows", "2")
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""  # no progress bar when stderr is not a terminal
    expected = module_rows(doc, 2)
    # The records without values make a batch with no columns to read rows
    # from; they still become rows.
    expected[4:4] = [{}, {}]
    columns = ["id", "name", "note", "late"]
    full = [{c: row.get(c) for c in columns} for row in expected]
    if fmt == "csv":
        with open(out, newline="", encoding="utf-8") as file:
            header, *rows = list(csv.reader(file))
        assert header == columns
        assert [dict(zip(header, (v or None for v in row))) for row in rows] == full
    elif fmt == "jsonl":
        lines = out.read_text(encoding="utf-8").splitlines()
        assert [json.loads(line) for line in lines] == [
            {k: v for k, v in row.items() if v is not None} for row in expected
        ]
    else:
        pq = pytest.importorskip("pyarrow.parquet")
        table = pq.read_table(out)
        assert table.schema.names == columns
        assert table.to_pylist() == full
    assert sorted(os.listdir(tmp_path)) == [pathlib.Path(doc).name, out.name]


@pytest.mark.parametrize("fmt", ["csv", "jsonl", "parquet"])
@pytest.mark.parametrize("existing", [None, b"keep me"])
def test_parse_failure_leaves_no_output(write_xml, tmp_path, fmt, existing):
    bad = write_xml("<r><rec><v>1</v></rec>" * 50 + "<rec><v>&nbsp;</v></rec></r>")
    out = tmp_path / f"out.{fmt}"
    if existing is not None:
        out.write_bytes(existing)
    before = sorted(os.listdir(tmp_path))
    result = run("convert", bad, "--to", str(out), "--batch-rows", "3")
    assert_clean_failure(result, 1)
    assert result.stderr.startswith(f"quelbrand: failed to parse XML file '{bad}': ")
    assert sorted(os.listdir(tmp_path)) == before
    assert (out.read_bytes() if out.exists() else None) == existing


@pytest.mark.parametrize(
    "args, code, message",
    [
        (["convert", "MISSING", "--to", "x.csv"], 1, "cannot read 'MISSING': No such file"),
        (["convert", "MISSING", "--to", "x.csv", "--jobs", "2"], 1, "cannot read 'MISSING': No such file"),
        (["count", "MISSING"], 1, "cannot read 'MISSING': No such file"),
        (["count", "MISSING", "--jobs", "2"], 1, "cannot read 'MISSING': No such file"),
        (["convert", "DOC", "--to", "x.txt"], 2, "name it .csv, .jsonl or .parquet"),
        (["convert", "DOC", "--to", "no/such/dir/x.csv"], 1, "cannot write 'no/such/dir/x.csv'"),
        (["convert", "DOC", "--to", "x.csv", "--batch-rows", "0"], 2, "0 is outside 1"),
        (["draw", "--seed", "1", "--namespace", "n", "--keys", "5:3"], 2, "ends before it starts"),
        (["draw", "--seed", "1", "--namespace", "n", "--keys", "7"], 2, "expected A:B"),
        (["draw", "--seed", "-1", "--namespace", "n", "--keys", "0:1"], 2, "outside 0"),
        (["draw", "--seed", "1", "--namespace", "n", "--keys", "0:18446744073709551617"], 2, "outside 0"),
        (["frobnicate"], 2, "invalid choice"),
    ],
)
def test_expected_failures(doc, tmp_path, monkeypatch, args, code, message):
    monkeypatch.chdir(tmp_path)
    result = run(*[doc if a == "DOC" else a for a in args])
    assert_clean_failure(result, code)
    assert message in result.stderr
    assert not (tmp_path / "x.csv").exists()


def test_jsonl_lines_are_exactly_json_dumps(write_xml, tmp_path):
    # Quotes, backslashes, control characters, non-ASCII names and values, and
    # the separators str.splitlines() would wrongly break on.
    path = write_xml(
        '<r><rec><n\u00e4me>a "q" \\ &#1;&#9;&#x85;&#x2028;\u20ac\U0001f600</n\u00e4me><e/>'
        "<v>1</v></rec><rec><e/></rec><rec><v>&lt;&amp;</v></rec><rec><v>2</v></rec></r>"
    )
    out = tmp_path / "out.jsonl"
    assert quelbrand.convert.convert(path, out, batch_rows=3) == 4
    expected = [
        json.dumps({k: v for k, v in row.items() if v is not None}, ensure_ascii=False) for row in module_rows(path, 3)
    ]
    assert out.read_bytes().decode("utf-8").split("\n") == expected + [""]


@pytest.mark.parametrize("fmt", ["csv", "jsonl", "parquet"])
def test_convert_from_a_pipe(tmp_path, fmt):
    # A pipe is read once: CSV and Parquet spool its batches while they find
    # the columns, and the bar shows bytes with no total to aim at.
    read_end, write_end = os.pipe()
    os.write(write_end, DOC.encode())
    os.close(write_end)
    out = tmp_path / f"out.{fmt}"
    try:
        result = subprocess.run(
            [sys.executable, "-m", "quelbrand", "convert", f"/dev/fd/{read_end}", "--to", str(out), "--force-progress"],
            pass_fds=[read_end],
            capture_output=True,
            text=True,
            timeout=120,
        )
    finally:
        os.close(read_end)
    assert result.returncode == 0, result.stderr
    assert " MB" in result.stderr and "%" not in result.stderr
    assert read_rows(out, fmt) == read_rows(write_doc(tmp_path / "doc.xml", tmp_path / f"ref.{fmt}"), fmt)


def write_doc(xml_path, out_path):
    xml_path.write_text(DOC, encoding="utf-8")
    assert run("convert", str(xml_path), "--to", str(out_path), "--quiet").returncode == 0
    return out_path


def read_rows(path, fmt):
    if fmt == "csv":
        with open(path, newline="", encoding="utf-8") as file:
            return list(csv.reader(file))
    if fmt == "jsonl":
        return [json.loads(line) for line in path.read_text(encoding="utf-8").splitlines()]
    pq = pytest.importorskip("pyarrow.parquet")
    return pq.read_table(path).to_pylist()


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
@pytest.mark.parametrize("args", [["count", "DOC"], ["draw", "--seed", "1", "--namespace", "n", "--keys", "0:9"], []])
def test_unwritable_stdout(doc, args):
    with open("/dev/full", "w") as full:
        result = subprocess.run(
            [sys.executable, "-m", "quelbrand", *[doc if a == "DOC" else a for a in args]],
            stdout=full,
            stderr=subprocess.PIPE,
            text=True,
            timeout=120,
        )
    assert_clean_failure(result, 1)
    assert result.stderr == "quelbrand: cannot write the output: No space left on device\n"


def test_parquet_without_pyarrow_names_the_extra(doc, tmp_path):
    blocked = "import sys; sys.modules['pyarrow'] = None; from quelbrand.cli import main; sys.exit(main(sys.argv[1:]))"
    out = tmp_path / "out.parquet"
    result = run("convert", doc, "--to", str(out), python_code=blocked)
    assert_clean_failure(result, 2)
    assert "quelbrand_kernels[pyarrow]" in result.stderr
    assert not out.exists()


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_progress_shows_each_pass_and_a_summary(doc, tmp_path, jobs):
    size = os.path.getsize(doc) / 1e6
    args = ["--batch-rows", "1", "--force-progress", "--jobs", jobs]
    result = run("convert", doc, "--to", str(tmp_path / "o.parquet"), "--types", *args)
    assert result.returncode == 0, result.stderr
    # Text mode turns each carriage return of a redraw into a line break.
    draws = [line.strip() for line in result.stderr.splitlines() if line.strip()]
    finals = [line for line in draws if "100%" in line]
    passes = ["finding types", "writing Parquet"] if jobs == "1" else ["finding columns and types", "writing Parquet"]
    assert [line.split("  ")[0] for line in finals] == passes
    assert all(f"{size:.1f}/{size:.1f} MB" in line for line in finals)
    assert "7 rows" in finals[-1]
    assert re.fullmatch(r"wrote 7 rows × 4 columns, [0-9.]+ kB in [0-9.]+ s", draws[-1])
    quiet = run("convert", doc, "--to", str(tmp_path / "o.jsonl"), "--force-progress", "--quiet")
    assert quiet.returncode == 0 and quiet.stderr == ""


def test_count(doc):
    result = run("count", doc)
    assert (result.returncode, result.stdout) == (0, f"{qk.count_xml_records(doc)}\n")


@pytest.mark.parametrize("keys", [range(0, 5), range(2**64 - 3, 2**64), range(9, 9)])
@pytest.mark.parametrize("normal", [False, True])
def test_draw_is_bit_exact(keys, normal):
    np = pytest.importorskip("numpy")
    args = [
        "draw",
        "--seed",
        str(2**64 - 1),
        "--namespace",
        "ns ü",
        "--keys",
        f"{keys.start}:{keys.stop}",
        "--draw",
        "3",
    ] + (["--normal"] if normal else [])
    result = run(*args)
    assert result.returncode == 0, result.stderr
    expected = qk.keyed_uniforms(2**64 - 1, "ns ü", np.array(keys, dtype=np.uint64), 3)
    if normal:
        expected = qk.inv_norm_cdf(expected)
    lines = [line.split("\t") for line in result.stdout.splitlines()]
    assert [int(key) for key, _ in lines] == list(keys)
    # repr of a double is the shortest text that reads back to the same bits.
    assert [text for _, text in lines] == [repr(v) for v in expected.tolist()]


def test_draw_into_a_closed_pipe_is_quiet():
    process = subprocess.Popen(
        [sys.executable, "-m", "quelbrand", "draw", "--seed", "1", "--namespace", "n", "--keys", "0:10000000"],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )
    try:
        process.stdout.readline()
        process.stdout.close()
        _, stderr = process.communicate(timeout=120)
    finally:
        if process.poll() is None:  # a hang: do not leave it running
            process.kill()
            process.wait()
    assert process.returncode == 1 and stderr == b""


@pytest.mark.parametrize("args", [[], ["demo"]])
def test_demo(args):
    result = run(*args)
    assert result.returncode == 0, result.stderr
    assert "holds 4 records" in result.stdout
    header = "number,name,city,total,note,coupon"
    assert header in result.stdout.replace('"', "")  # the late column is there
    assert "Traceback" not in result.stderr


def test_installed_script(doc):
    script = pathlib.Path(sys.executable).with_name("quelbrand")
    if not script.exists():
        pytest.skip("the quelbrand script is not installed next to this interpreter")
    result = subprocess.run([str(script), "count", doc], capture_output=True, text=True, timeout=120)
    assert (result.returncode, result.stdout) == (0, "7\n")


# ---- Atomic output, in process -------------------------------------------------


@pytest.mark.parametrize("failure", [KeyboardInterrupt, OSError, ValueError])
def test_open_output_removes_the_temporary_file(tmp_path, failure):
    final = tmp_path / "out.csv"
    final.write_text("old")
    with pytest.raises(failure):
        with open_output(final) as out:
            out.write(b"partial")
            raise failure()
    assert os.listdir(tmp_path) == ["out.csv"] and final.read_text() == "old"


def test_open_output_respects_the_umask(tmp_path):
    old = os.umask(0o027)
    try:
        with open_output(tmp_path / "out.csv") as out:
            out.write(b"new")
    finally:
        os.umask(old)
    assert os.listdir(tmp_path) == ["out.csv"]
    assert (tmp_path / "out.csv").stat().st_mode & 0o777 == 0o640


# ---- Which failures are the user's ---------------------------------------------


@pytest.mark.parametrize(
    "error, is_users",
    [
        (ValueError("failed to parse XML file 'x.xml': unexpected end of file"), True),
        (quelbrand.ConversionError("cannot convert '-' to csv"), True),
        (ValueError("invalid literal for int() with base 10: 'x'"), False),
    ],
)
def test_only_input_and_output_errors_lose_their_traceback(doc, monkeypatch, capsys, error, is_users):
    from quelbrand import cli

    def fail(*args, **kwargs):
        raise error

    monkeypatch.setattr(cli, "convert", fail)
    argv = ["convert", doc, "--to", os.devnull + ".csv"]
    if is_users:
        assert cli.main(argv) == 1
        assert capsys.readouterr().err == f"quelbrand: {error}\n"
    else:
        # A bug must show where it happened.
        with pytest.raises(ValueError, match="invalid literal"):
            cli.main(argv)


def test_the_module_errors_are_recognised(tmp_path):
    with pytest.raises(ValueError) as info:
        qk.count_xml_records(str(tmp_path / "missing.xml"))
    assert quelbrand.is_xml_error(info.value)


# Attributes, numbers, a late column, escapes and characters that need quoting.
MIXED_DOC = (
    '<?xml version="1.0"?><r>'
    + "".join(
        f'<row id="{i}"><n>{i}</n><s>a,"b"\n{i}</s>{"<late>é</late>" if i > 40 else ""}<f>{i / 4}</f></row>'
        for i in range(60)
    )
    + "<row/></r>"
)


@pytest.mark.parametrize("fmt", ["csv", "jsonl"])
@pytest.mark.parametrize("options", [[], ["--types"], ["--attributes"], ["--types", "--attributes", "--jobs", "2"]])
@pytest.mark.parametrize("source", ["plain", "gzip", "stdin"])
def test_text_outputs_are_the_same_bytes_without_pyarrow(tmp_path, fmt, options, source):
    import gzip

    path = tmp_path / ("doc.xml.gz" if source == "gzip" else "doc.xml")
    path.write_bytes(gzip.compress(MIXED_DOC.encode()) if source == "gzip" else MIXED_DOC.encode())
    blocked = "import sys; sys.modules['pyarrow'] = None; from quelbrand.cli import main; sys.exit(main(sys.argv[1:]))"
    outputs = []
    for code in (None, blocked):
        out = tmp_path / f"out{len(outputs)}.{fmt}"
        args = ["-" if source == "stdin" else str(path), "--to", str(out), "--batch-rows", "7", *options]
        prefix = ["-c", code] if code else ["-m", "quelbrand"]
        # Through a pipe, which can be read only once.
        result = subprocess.run(
            [sys.executable, *prefix, "convert", *args], input=path.read_bytes(), capture_output=True, timeout=120
        )
        assert result.returncode == 0, result.stderr
        outputs.append(out.read_bytes())
    assert outputs[0] == outputs[1]
    assert outputs[0].count(b"\n") >= 61


@pytest.mark.parametrize(
    ("args", "expected"),
    [
        (["--format", "jsonl"], '{"@id": "1", "a": ["1", "2"]}\n{"a": [], "b": "tz"}\n'),
        (["--format", "csv"], '@id,a,b\n1,"[""1"", ""2""]",\n,[],tz\n'),
    ],
)
def test_convert_nested(write_xml, args, expected):
    path = write_xml('<r><x id="1"><a>1</a><a>2</a></x><x><b>t<i>z</i></b></x></r>')
    result = run("convert", path, "--to", "-", "--nested", "--attributes", "--text-of", "b", "--quiet", *args)
    assert (result.returncode, result.stdout) == (0, expected), result.stderr


def test_text_of_needs_nested(write_xml):
    result = run("convert", write_xml("<r/>"), "--to", "-", "--format", "csv", "--text-of", "b")
    assert result.returncode == 2 and "--text-of needs --nested" in result.stderr


@pytest.mark.parametrize("jobs", ["1", "2"])
@pytest.mark.parametrize("existing", [False, True])
def test_a_failed_conversion_says_the_output_was_not_written(tmp_path, faulty_xml, jobs, existing):
    path, expected = faulty_xml(FAULT_ORDERS[0], records=600)
    out = tmp_path / "out.parquet"
    if existing:
        out.write_bytes(b"before")
    result = run("convert", path, "--to", str(out), "--jobs", jobs)
    assert_clean_failure(result, 1)
    first, note = result.stderr.splitlines()
    assert_first_fault(first, expected)
    left = "the file there is as it was" if existing else "no file was left there"
    assert note == f"quelbrand: note: nothing was written to {os.path.realpath(out)!r}: {left}"
    assert sorted(os.listdir(tmp_path)) == sorted([os.path.basename(path)] + ["out.parquet"] * existing)


@pytest.mark.parametrize(("given", "want"), [(None, "system"), ("mimalloc", "mimalloc")])
def test_the_command_takes_arrow_buffers_from_the_c_allocator_unless_told(given, want):
    pytest.importorskip("pyarrow")
    env = {k: v for k, v in os.environ.items() if k != "ARROW_DEFAULT_MEMORY_POOL"}
    if given:
        env["ARROW_DEFAULT_MEMORY_POOL"] = given
    code = "import quelbrand.cli, pyarrow; print(pyarrow.default_memory_pool().backend_name)"
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == want


@pytest.mark.parametrize("threads", [[], ["--threads", "1"]])
def test_converting_a_plain_file_loads_no_codec_kernels_or_temporary_files(tmp_path, threads):
    # Each of these is memory (and pyarrow, with numpy, a tenth of a second)
    # that a conversion to text read on one thread never uses.
    src = tmp_path / "in.xml"
    src.write_bytes(b"<r><x><a>1</a></x></r>")
    code = (
        "import sys, quelbrand.cli\n"
        f"quelbrand.cli.main(['convert', {str(src)!r}, '--to', {str(tmp_path / 'o.csv')!r}, '--quiet', *{threads!r}])\n"
        "print(sorted(m for m in ('gzip', 'tempfile', 'quelbrand_kernels', 'pyarrow') if m in sys.modules))"
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "[]"
