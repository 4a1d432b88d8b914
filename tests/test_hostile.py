"""Hostile and broken input: cut and mangled documents, extreme shapes and
sizes, entity tricks, and files that change or are not files at all. The
module must answer with records or ValueError, in bounded time and memory."""

import faulthandler
import os
import socket
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import quelbrand_kernels as qk


def stream_outcomes(path):
    """What the module's iterator gives a record at a time: each batch, or
    the text of the error a step raised, reading on after it."""
    outcomes = []
    it = qk.stream_xml_file(path, 1)
    while True:
        try:
            outcomes.append(next(it))
        except StopIteration:
            return outcomes
        except ValueError as e:
            outcomes.append(str(e))


SANITIZED = os.environ.get("QK_SANITIZED") == "1"
# The large inputs shrink under the sanitizers, which make every byte slower.
BIG_TEXT = (20 if SANITIZED else 100) * 2**20


@pytest.fixture(autouse=True)
def watchdog():
    # A hang inside native code holds no Python frame that pytest could
    # interrupt; dump every thread's stack and end the run instead.
    faulthandler.dump_traceback_later(300, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


# ---- Helpers -----------------------------------------------------------------


def rows_of(path, batch_rows=1):
    """The rows delivered (each a dict, or None for a batch of unknown rows
    without columns) and whether any next() raised.

    Only ValueError may come out of next(); any other exception fails the
    test. An error does not end iteration, but every step consumes input,
    so the steps are bounded by the file's size."""
    it = qk.stream_xml_file(path, batch_rows)
    rows, failed = [], False
    for _ in range(os.path.getsize(path) + 16):
        try:
            names, columns = next(it)
        except StopIteration:
            return rows, failed
        except ValueError as e:
            assert str(e).startswith(f"failed to parse XML file '{path}': ")
            failed = True
            continue
        assert len(names) == len(set(names)) == len(columns)
        height = {len(c) for c in columns}
        assert len(height) <= 1
        if not height:  # rows without columns: as many as batch_rows allows
            rows.append({} if batch_rows <= 1 else None)
            continue
        rows += [{k: c[r] for k, c in zip(names, columns)} for r in range(height.pop())]
    pytest.fail("the iterator did not finish")


def check_count(path, rows, failed):
    """count_xml_records agrees with a run of the iterator that raised nothing."""
    try:
        count = qk.count_xml_records(path)
    except ValueError:
        assert failed, "counting failed where iterating did not"
        return
    if not failed:
        assert count == len(rows)


def run_child(code):
    """Runs `code` in a fresh interpreter; returns its stdout and peak RSS in MB."""
    code = textwrap.dedent(code) + textwrap.dedent("""
        # VmHWM belongs to this program image; ru_maxrss would carry over the
        # parent's peak through fork and exec.
        status = open("/proc/self/status").read()
        print("peak", int(status.split("VmHWM:")[1].split()[0]) // 1024)
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=600)
    assert out.returncode == 0, out.stderr
    *lines, peak = out.stdout.split("\n")[:-1]
    return lines, int(peak.split()[1])


def assert_peak_below(peak_mb, limit_mb):
    if not SANITIZED:  # the sanitizers' allocator keeps freed memory resident
        assert peak_mb < limit_mb, peak_mb


# ---- Cut and mangled documents -----------------------------------------------

SAMPLE = """<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE catalogue [
  <!ENTITY maker "Someone">
  <!ELEMENT catalogue (item*)>
  <!ATTLIST item id CDATA #REQUIRED>
]>
<!-- a comment before the root -->
<?xml-stylesheet type="text/xsl" href="s.xsl"?>
<catalogue xmlns:p="urn:p">
  <item id="1"><name>Grüße</name><p:price cur="€">3.50</p:price>
    <note><![CDATA[<raw> & ]]]></note></item>
  <item id="2"/>
  <item><名前>日本語 &amp; &lt;tag&gt; &#x1F600; &#233;</名前>
    <nested><deep><deeper>x</deeper></deep><名前>二</名前></nested><empty/></item>
  <!-- between records -->
  <item><a>  spaced  </a><?pi inside?><b>two&#10;lines</b><a>again</a></item>
  <item><v><![CDATA[one]]> and <![CDATA[two]]></v></item>
</catalogue>
""".encode()


def test_sample_document_reads_as_expected(write_xml):
    rows, failed = rows_of(write_xml(SAMPLE))
    assert not failed
    assert rows == [
        {"name": "Grüße", "price": "3.50", "note": "<raw> & ]"},
        {},
        {"名前": "日本語 & <tag> \U0001f600 é", "deeper": "x", "nested_名前": "二", "empty": None},
        {"a": "spaced", "b": "two\nlines", "item_a": "again"},
        {"v": "one and two"},
    ]


def test_every_prefix_gives_records_or_an_error(write_xml):
    full, _ = rows_of(write_xml(SAMPLE))
    for cut in range(len(SAMPLE) + 1):
        path = write_xml(SAMPLE[:cut], name="prefix.xml")
        rows, failed = rows_of(path)
        # Whatever arrives is what the whole document has up to there.
        assert rows == full[: len(rows)], cut
        check_count(path, rows, failed)


# Bytes that change the meaning of markup more often than random ones.
SPECIAL = b"<>/&;![]?-'\"=:# \n\x00\xff\xc3\xa9"


def present(row):
    # A batch fills the columns a row lacks with None.
    return {k: v for k, v in row.items() if v is not None}


def mutate(rng, data):
    data = bytearray(data)
    for _ in range(rng.randint(1, 4)):
        at = rng.randrange(len(data) + 1)
        op = rng.random()
        byte = rng.choice(SPECIAL) if rng.random() < 0.6 else rng.randrange(256)
        if op < 0.35 and at < len(data):
            data[at] = byte
        elif op < 0.65:
            data.insert(at, byte)
        elif op < 0.85:
            del data[at : at + rng.randint(1, 8)]
        else:  # a duplicated stretch, which repeats whole tags
            data[at:at] = data[at : at + rng.randint(1, 40)]
    return bytes(data)


def test_random_mutations_give_records_or_errors(rng, write_xml):
    for i in range(1500):
        data = mutate(rng, SAMPLE)
        path = write_xml(data, name="mutant.xml")
        rows, failed = rows_of(path)
        check_count(path, rows, failed)
        if not failed:
            # Larger batches group the same rows when no step fails.
            wide, wide_failed = rows_of(path, 2 + i % 7)
            if None not in wide:
                assert not wide_failed
                assert list(map(present, wide)) == list(map(present, rows)), data


# ---- Extreme shapes and sizes ---------------------------------------------------

DEPTH = 10**6


@pytest.mark.parametrize(
    "doc, count, rows",
    [
        # A record that never closes: the reader's stack of open elements is
        # dropped at the end of the input, and the record with it.
        ("<r><rec><v>1</v></rec><rec>" + "<a>" * DEPTH, 1, [{"v": "1"}]),
        # Text at every level: only the innermost element is a leaf.
        ("<r><rec>" + "<a>t" * DEPTH + "</a>" * DEPTH + "</rec></r>", 1, [{"a": "t"}]),
        # The top-level element nests deep too: its children are the records.
        ("<r>" + "<rec><a/></rec>" * 3 + "<x>" * DEPTH + "</x>" * DEPTH + "</r>", 4, [{"a": None}] * 3 + [{"x": None}]),
    ],
)
def test_deep_nesting(write_xml, doc, count, rows):
    path = write_xml(doc)
    assert rows_of(path) == (rows, False)
    assert qk.count_xml_records(path) == count


def test_deep_nesting_error_at_the_bottom(write_xml):
    path = write_xml("<r><rec>" + "<a>" * DEPTH + "</b>" + "</a>" * (DEPTH - 1))
    rows, failed = rows_of(path)
    assert failed and rows == []
    with pytest.raises(ValueError):
        qk.count_xml_records(path)


def test_nesting_costs_linear_time(write_xml):
    paths = {
        depth: write_xml("<r><rec>" + "<a>" * depth + "<v>1</v>" + "</a>" * depth + "</rec></r>")
        for depth in (DEPTH // 10, DEPTH)
    }

    def cpu_seconds(depth):
        # Processor time, not wall time: waiting for a core on a loaded
        # machine is not counted, so the ratio is the work's own.
        t0 = time.process_time()
        assert rows_of(paths[depth]) == ([{"v": "1"}], False)
        assert qk.count_xml_records(paths[depth]) == 1
        return time.process_time() - t0

    # Ten times the depth costs ten times the work when linear (a little more
    # as the deeper stack leaves the caches) and a hundred times when
    # quadratic. The fastest of interleaved rounds filters out a disturbed
    # one; a linear reader passes within a round or two, a quadratic one
    # never does.
    small = big = float("inf")
    for _ in range(5):
        small = min(small, cpu_seconds(DEPTH // 10))
        big = min(big, cpu_seconds(DEPTH))
        if big < 40 * small + 0.05:
            return
    pytest.fail(f"{DEPTH // 10} levels take {small:.3f} s, {DEPTH} levels {big:.3f} s")


def test_repeated_names_nested_deep_stay_small_in_memory(tmp_path):
    # Every level re-prefixes the keys that collide, so level k holds k keys
    # of length up to 2k. The keys the final record keeps are inherently
    # quadratic; the ones each level drops must not pile up.
    lines, peak = run_child(f"""
        import quelbrand_kernels as qk
        n = 1000
        with open({str(tmp_path / "deep.xml")!r}, "w") as f:
            f.write("<r><rec>" + "<a><v>1</v>" * n + "</a>" * n + "</rec></r>")
        [(names, values)] = list(qk.stream_xml_file(f.name, 1))
        assert names == ["a_" * k + "v" for k in range(n)], names[:5]
        assert values == [["1"]] * n
        print(sum(map(len, names)))
    """)
    assert lines == [str(1000 * 1000)]
    assert_peak_below(peak, 150)


def test_repeated_names_nested_too_deep_fail_fast(write_xml):
    # Copying the prefixed keys grows with the cube of the depth: past a work
    # limit the record is an error, in bounded time, and reading goes on.
    n = 20000
    path = write_xml("<root><r><x>1</x></r><rec>" + "<a><v>1</v>" * n + "</a>" * n + "</rec><r><x>2</x></r></root>")
    it = qk.stream_xml_file(path, 1)
    assert next(it) == (["x"], [["1"]])
    with pytest.raises(ValueError, match="too deeply nested with repeated element names"):
        next(it)
    assert next(it) == (["x"], [["2"]])
    assert list(it) == []


def test_many_distinct_columns_in_one_batch(write_xml):
    n = 10**5
    first = "".join(f"<c{i}>{i}</c{i}>" for i in range(n))
    second = "".join(f"<c{i}>x</c{i}>" for i in range(n - 1, -1, -3))  # reversed, a third
    path = write_xml(f"<r><rec>{first}</rec><rec>{second}<new/></rec></r>")
    [(names, columns)] = qk.stream_xml_file(path, 10)
    assert names == [f"c{i}" for i in range(n)] + ["new"]
    assert columns[:n] == [[str(i), "x" if (n - 1 - i) % 3 == 0 else None] for i in range(n)]
    assert columns[n] == [None, None]


def test_huge_text_value_arrives_intact(tmp_path):
    # References, multi-byte characters and a CDATA section all land on
    # read-buffer boundaries somewhere in a value this long.
    lines, peak = run_child(f"""
        import quelbrand_kernels as qk
        unit = "abc é€ &amp; &#x1F600; <![CDATA[<&>]]> xyz\\n"
        want_unit = "abc é€ & \\U0001f600 <&> xyz\\n"
        reps = {BIG_TEXT} // len(unit.encode()) // 1000 * 1000
        with open({str(tmp_path / "huge.xml")!r}, "w") as f:
            f.write("<r><rec><v>")
            for _ in range(reps // 1000):
                f.write(unit * 1000)
            f.write("</v><w>end</w></rec></r>")
        assert qk.count_xml_records(f.name) == 1
        status = open("/proc/self/status").read()
        print(int(status.split("VmHWM:")[1].split()[0]) // 1024)
        [(names, [[value], [end]])] = list(qk.stream_xml_file(f.name, 1))
        assert names == ["v", "w"] and end == "end"
        assert value == (want_unit * reps).strip()
        print(len(value))
    """)
    mb = BIG_TEXT // 2**20
    count_peak, length = map(int, lines)
    assert length > BIG_TEXT // 3  # characters: the text is mostly multi-byte or a reference
    # Counting keeps no text at all; the iterator holds the value a few times
    # over (event, record, Python str) but not more.
    assert_peak_below(count_peak, 60)
    assert_peak_below(peak, 60 + 6 * mb)


@pytest.mark.parametrize("prefix", ["", "ns:"])
def test_megabyte_element_name(write_xml, prefix):
    name = "n" + "é_-.9" * (2**20 // 6)
    path = write_xml(f"<{name}><rec><{prefix}{name}>v</{prefix}{name}><x/></rec><{name}/></{name}>")
    assert qk.count_xml_records(path) == 2
    assert list(qk.stream_xml_file(path, 5)) == [([name, "x"], [["v", None], [None, None]])]


# ---- Entities ---------------------------------------------------------------------

LAUGHS = "".join(f'<!ENTITY lol{i} "{f"&lol{i - 1};" * 10}">' for i in range(1, 10))
BILLION_LAUGHS = f"""<?xml version="1.0"?>
<!DOCTYPE lolz [<!ENTITY lol0 "lol">{LAUGHS}]>
<lolz>&lol9;<rec><v>&lol9;</v></rec><rec><v>ok</v></rec></lolz>"""


def test_billion_laughs_expands_nothing(write_xml):
    path = write_xml(BILLION_LAUGHS)
    assert qk.count_xml_records(path) == 2  # text is never looked at while counting
    it = qk.stream_xml_file(path, 5)
    with pytest.raises(ValueError) as info:
        next(it)
    assert "lol9" in str(info.value) and "lollol" not in str(info.value)
    # The entity outside every record is never resolved; the bad text is
    # dropped and its record still ends.
    assert list(it) == [(["v"], [[None, "ok"]])]
    _, peak = run_child(f"""
        import quelbrand_kernels as qk
        for step in range(2):
            try:
                list(qk.stream_xml_file({path!r}, 1))
            except ValueError:
                pass
    """)
    assert_peak_below(peak, 60)


def test_external_entities_are_neither_read_nor_fetched(tmp_path, write_xml, monkeypatch):
    monkeypatch.chdir(tmp_path)  # where the relative system identifier points
    secret = tmp_path / "secret.txt"
    secret.write_text("TOP-SECRET-MARKER")
    passwd = open("/etc/passwd").read().split("\n")[0]
    with socket.socket() as server:
        server.bind(("127.0.0.1", 0))
        server.listen(5)
        server.setblocking(False)
        url = "http://127.0.0.1:%d/x.dtd" % server.getsockname()[1]
        path = write_xml(f"""<?xml version="1.0"?>
<!DOCTYPE r [
  <!ENTITY passwd SYSTEM "file:///etc/passwd">
  <!ENTITY secret SYSTEM "{secret.as_uri()}">
  <!ENTITY local SYSTEM "secret.txt">
  <!ENTITY net SYSTEM "{url}">
  <!ENTITY % remote SYSTEM "{url}"> %remote;
]>
<r><rec><a>&passwd;</a></rec><rec><b>&secret;</b></rec><rec><c>&local;</c></rec>
<rec><d>&net;</d></rec><rec><e>safe</e></rec></r>""")
        assert qk.count_xml_records(path) == 5
        outcomes = stream_outcomes(path)
        with pytest.raises(BlockingIOError):
            server.accept()  # nobody connected
    # Each entity is unknown: an error naming it, then its record without the value.
    assert len(outcomes) == 9
    errors, batches = outcomes[0:8:2], outcomes[1:8:2] + outcomes[8:]
    assert all(name in e for e, name in zip(errors, ["passwd", "secret", "local", "net"]))
    assert batches == [(["a"], [[None]]), (["b"], [[None]]), (["c"], [[None]]), (["d"], [[None]]), (["e"], [["safe"]])]
    text = repr(outcomes)
    assert "TOP-SECRET-MARKER" not in text and passwd not in text


# ---- Files that change, and files that are not files -------------------------------

RECORDS = 50_000


def record_file(path, first=0, stop=RECORDS, close=True):
    body = "".join(f"<rec><id>{i}</id></rec>" for i in range(first, stop))
    with open(path, "a") as f:
        f.write(("<r>" if first == 0 else "") + body + ("</r>" if close else ""))
    return str(path)


def ids(batches):
    return [int(v) for names, columns in batches for v in columns[0]]


def drain(it):
    """Batches until the end, skipping errors: at most a few are allowed."""
    out = []
    for _ in range(RECORDS):
        try:
            out.append(next(it))
        except StopIteration:
            return out
        except ValueError:
            continue
    pytest.fail("the iterator did not finish")


@pytest.mark.parametrize("keep", [0, 1, 123_457])
def test_file_truncated_while_iterated(tmp_path, keep):
    path = record_file(tmp_path / "t.xml")
    it = qk.stream_xml_file(path, 100)
    first = next(it)
    os.truncate(path, keep)
    got = ids([first] + drain(it))
    # Fewer records, maybe an error, but never a wrong or repeated one.
    assert got == list(range(len(got))) and 100 <= len(got) < RECORDS


def test_file_deleted_while_iterated(tmp_path):
    path = record_file(tmp_path / "d.xml")
    it = qk.stream_xml_file(path, 100)
    first = next(it)
    os.unlink(path)  # the open descriptor keeps the data
    assert ids([first] + list(it)) == list(range(RECORDS))


def test_file_grown_while_iterated(tmp_path):
    path = record_file(tmp_path / "g.xml", close=False)
    it = qk.stream_xml_file(path, 100)
    first = next(it)
    record_file(path, RECORDS, 2 * RECORDS)
    assert ids([first] + list(it)) == list(range(2 * RECORDS))
    record_file(path, 2 * RECORDS, 2 * RECORDS + 10)
    with pytest.raises(StopIteration):  # a finished iterator stays finished
        next(it)


def fifo_with_writer(tmp_path, data):
    """A FIFO path, with a thread writing `data` into it and then closing.

    stream_xml_file opens its file while holding the interpreter lock, and
    opening a FIFO for reading waits for a writer. A placeholder reader lets
    the write end open at once, before the module opens its end; the
    placeholder reads nothing, so every byte goes to the module."""
    path = tmp_path / "fifo"
    os.mkfifo(path)
    placeholder = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
    out = os.open(path, os.O_WRONLY)

    def write():
        with open(out, "wb") as f:
            f.write(data)

    writer = threading.Thread(target=write, daemon=True)
    writer.start()
    return str(path), placeholder, writer


def join_writer(writer):
    # Writing blocks while the pipe is full; a reader that stopped early
    # would leave it blocked for good, so wait for a hang's length only.
    writer.join(timeout=120)
    assert not writer.is_alive(), "the module stopped reading before the writer finished"


DOC = b"<r>" + b"".join(b"<rec><id>%d</id><t>%s</t></rec>" % (i, b"x" * (i % 50)) for i in range(20_000)) + b"</r>"


@pytest.mark.parametrize("reader", ["count", "stream"])
def test_fifo_as_the_path(tmp_path, reader):
    path, placeholder, writer = fifo_with_writer(tmp_path, DOC)
    try:
        if reader == "count":
            assert qk.count_xml_records(path) == 20_000
        else:
            it = qk.stream_xml_file(path, 999)
            os.close(placeholder)
            placeholder = None
            assert ids(it) == list(range(20_000))
    finally:
        if placeholder is not None:
            os.close(placeholder)
    join_writer(writer)


def test_fifo_writer_gone_mid_document(tmp_path):
    cut = DOC.index(b"<id>15000</id>") + 2  # inside a tag
    path, placeholder, writer = fifo_with_writer(tmp_path, DOC[:cut])
    it = qk.stream_xml_file(path, 1000)
    os.close(placeholder)
    batches = []
    with pytest.raises(ValueError):
        while True:
            batches.append(next(it))
    join_writer(writer)
    assert ids(batches) == list(range(len(ids(batches))))
    with pytest.raises(StopIteration):
        next(it)
