"""Reading one file as ranges between split points: the ranges' rows and
errors, concatenated, are those of reading the whole file."""

import contextlib
import dataclasses
import gzip
import io
import lzma
import os

import pytest
from test_xml_random import random_document

import quelbrand._native as _native
from quelbrand.split import Range, Survey, _first_record_end, guess, joined, piece, settle, splittable, survey

pa = pytest.importorskip("pyarrow")


def outcomes(path, columns, batch_rows=1, **where):
    """Rows (as dicts) and error texts, in the order the reader gives them."""
    out = []
    reader = _native.open(path, batch_rows, columns=columns, **where)
    while True:
        try:
            batch = next(reader)
        except StopIteration:
            return out
        except ValueError as e:
            out.append(("error", str(e)))
            assert len(out) < 10_000
            continue
        out.extend(pa.record_batch(batch).to_pylist())


def discovered(path, check_text=True, **options):
    found = _native.discover(path, check_text=check_text, **options)
    return list(found.columns), found.records


def split_outcomes(path, blocksize, batch_rows=1):
    """The file read in ranges between the record counter's split points,
    which fall after every record past each `blocksize` bytes: far denser
    than a survey's, so that every kind of place is resumed at."""
    columns, records = discovered(path, False)
    found = Survey(columns, records, planned(path, *_native.split(path, blocksize)))
    return found, range_outcomes(path, found, batch_rows)


def planned(path, records, splits):
    """The ranges between `splits` of a file of `records` records."""
    points = [point for point in splits if point[1] < records]
    starts = [None, *points]
    out = []
    for i, point in enumerate(starts):
        first = 0 if point is None else point[1]
        following = points[i] if i < len(points) else None
        count = (records if following is None else following[1]) - first
        out.append(
            Range(path, first, count, None if point is None else point[2], None if following is None else following[0])
        )
    return out


def range_outcomes(path, found, batch_rows=1):
    out = []
    for part in found.ranges:
        got = outcomes(
            path,
            found.columns,
            batch_rows,
            start=part.start,
            records=None if part.end is None else part.count,
            end=part.end,
        )
        assert part.end is None or sum(1 for o in got if isinstance(o, dict)) <= part.count
        out.extend(got)
    return out


def as_utf16(data, rng):
    """The document in UTF-16 with a byte-order mark, when it is UTF-8."""
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError:
        return data
    return text.encode(rng.choice(["utf-16", "utf-16-be", "utf-16-le"]))


def test_random_documents_read_the_same_split_at_every_blocksize(rng, write_xml):
    checked = 0
    for i in range(300):
        data = random_document(rng)
        if rng.random() < 0.2:
            data = as_utf16(data, rng)
            if not data.startswith((b"\xff\xfe", b"\xfe\xff")):
                data = b"\xff\xfe" + data if rng.random() < 0.5 else data
        path = write_xml(data, name="random.xml")
        try:
            columns, _ = discovered(path, False)
        except ValueError:
            continue  # malformed markup: the survey refuses the file, split or not
        whole = outcomes(path, columns)
        for blocksize in (1, 7, 40, 300):
            found, got = split_outcomes(path, blocksize)
            assert found.columns == columns
            assert got == whole, (i, blocksize, data)
            # The ranges' own columns join into the file's.
            joined = dict.fromkeys(
                name
                for part in found.ranges
                for name in _native.discover(
                    path,
                    check_text=False,
                    start=part.start,
                    records=None if part.end is None else part.count,
                    end=part.end,
                ).columns
            )
            assert list(joined) == columns
        checked += 1
    assert checked > 100


def big_document(rng, records=400):
    """Many records of every shape, some far larger than the blocksizes."""
    parts = ['<?xml version="1.0" encoding="UTF-8"?>\n<!DOCTYPE t [<!ENTITY x "<row>">]>\n<t>']
    for i in range(records):
        r = rng.random()
        if r < 0.1:
            parts.append(f"<!-- <row><id>{i}</id></row> --><row><id>{i}</id></row>")
        elif r < 0.2:
            parts.append(f"<row><id>{i}</id><c><![CDATA[</row><row>]]></c></row>")
        elif r < 0.25:
            parts.append(f"<row><id>{i}</id><big>{'x' * rng.randint(1000, 5000)}</big></row>")
        elif r < 0.3:
            parts.append("<row/>")
        elif r < 0.35:
            parts.append(f"</t><t><?pi <row>?><row><id>{i}</id><é>ü</é></row>")
        else:
            parts.append(f"<row>\n <id>{i}</id><v> v{i} </v><n><m>{i % 7}</m></n></row>")
    parts.append("</t>\n")
    return "".join(parts)


@pytest.mark.parametrize("encoding", ["utf-8", "utf-8-sig", "utf-16-le", "utf-16-be", "utf-16"])
def test_large_documents_split_exactly_in_every_encoding(rng, write_xml, encoding):
    text = big_document(rng)
    if encoding.startswith("utf-16"):
        text = text.replace('encoding="UTF-8"', 'encoding="UTF-16"')
    data = text.encode(encoding)
    if encoding in ("utf-16-le", "utf-16-be"):
        data = ("\ufeff" + text).encode(encoding)
    path = write_xml(data)
    columns, records = discovered(path, True)
    whole = outcomes(path, columns, 64)
    assert len(whole) == records
    for blocksize in (100, 333, 1000, 4096, 20000, 1 << 30):
        found, got = split_outcomes(path, blocksize, 64)
        assert got == whole, blocksize
        if blocksize <= 1000:
            assert len(found.ranges) > 10


def file_object_outcomes(path, found, opener, batch_rows=64):
    out = []
    for part in found.ranges:
        with opener(path) as file:
            out += outcomes(file, None, batch_rows, **part.where())
    return out


@pytest.mark.parametrize("encoding", ["utf-8", "utf-16-le"])
@pytest.mark.parametrize(
    "opener", [lambda p: open(p, "rb"), lambda p: gzip.open(p + ".gz", "rb")], ids=["file", "gzip"]
)
def test_file_objects_are_read_from_split_points_as_the_path_is(rng, write_xml, encoding, opener):
    text = big_document(rng)
    if encoding != "utf-8":
        text = "\ufeff" + text.replace('encoding="UTF-8"', 'encoding="UTF-16"')
    path = write_xml(text.encode(encoding))
    with open(path, "rb") as plain, gzip.open(path + ".gz", "wb") as packed:
        packed.write(plain.read())
    columns, records = discovered(path, False)
    found = Survey(columns, records, planned(path, *_native.split(path, 3000)))
    assert len(found.ranges) > 5
    try:
        by_path = file_object_outcomes(path, found, contextlib.nullcontext)
        assert len(by_path) == found.records
        assert file_object_outcomes(path, found, opener) == by_path
    finally:
        os.remove(path + ".gz")


def test_a_file_object_that_cannot_seek_is_refused_at_a_split_point(write_xml):
    path = write_xml("<t>" + "".join(f"<row><v>{i}</v></row>" for i in range(3000)) + "</t>")
    part = survey(path, 3000).ranges[1]

    class Stream(io.RawIOBase):
        def readable(self):
            return True

        def readinto(self, b):
            return 0

        def seekable(self):
            return False

    with pytest.raises((OSError, TypeError)):
        _native.open(Stream(), 1, **part.where())


def test_an_error_is_raised_by_its_range_with_its_place_in_the_file(write_xml):
    body = "".join(f"<row><v>{'&bad;' if i == 300 else i}</v></row>\n" for i in range(600))
    path = write_xml("<?xml version='1.0'?>\n<t>\n" + body + "</t>\n")
    whole = outcomes(path, ["v"])
    (error,) = [o for o in whole if isinstance(o, tuple)]
    assert "line 303" in error[1]
    found = survey(path, 500)
    failing = []
    for part in found.ranges:
        got = outcomes(path, ["v"], start=part.start, records=None if part.end is None else part.count, end=part.end)
        errors = [o for o in got if isinstance(o, tuple)]
        if errors:
            failing.append(part)
            assert errors == [error]  # the same text and position as the whole reading
        assert len(got) - len(errors) == part.count
    assert len(failing) == 1 and failing[0].first <= 300 < failing[0].first + failing[0].count


def test_a_file_changed_since_the_survey_is_refused(write_xml):
    body = "".join(f"<row><v>{i}</v></row>" for i in range(3000))
    path = write_xml("<t>" + body + "</t>")
    found = survey(path, 3000)
    part = found.ranges[2]
    with open(path, "r+b") as f:  # every split point moves by one byte
        f.write(b"<t> " + (body + "</t>").encode())
    with pytest.raises(ValueError, match="changed since it was split"):
        outcomes(path, ["v"], start=part.start, records=part.count, end=part.end)


@pytest.mark.parametrize(
    "start, error",
    [(b"not a split point", ValueError), ("text", TypeError), (b"qksplit2\x00\x00\x00\x05UTF-8\x02\x00", ValueError)],
)
def test_only_split_points_from_discover_are_taken(write_xml, start, error):
    path = write_xml("<t><row><v>1</v></row></t>")
    with pytest.raises(error):
        _native.open(path, 1, start=start)


def test_inputs_that_cannot_be_read_again_stay_one_range(tmp_path):
    data = "<t>" + "".join(f"<row><v>{i}</v></row>" for i in range(3000)) + "</t>"
    assert _native.split(data.encode(), 10)[1] == []
    # xz has no index to enter it by (gzip and bzip2 do: see test_compressed).
    packed = tmp_path / "doc.xml.xz"
    packed.write_bytes(lzma.compress(data.encode()))
    plain = tmp_path / "doc.xml"
    plain.write_text(data)
    assert not splittable(str(packed)) and splittable(str(plain))
    assert len(survey(str(plain), 2000).ranges) > 10
    assert len(survey(str(packed), 2000).ranges) == 1


# ---- Pieces surveyed at once, from guessed split points ------------------------------


def guessed(path, blocksize, columns=True):
    """The survey settled from guessed pieces, and the untils of the pieces read again."""
    found = guess(path, blocksize)
    again = []

    def rerun(start, until):
        again.append(until)
        return piece(path, start, until, columns=columns)

    pieces = [piece(path, start, until, columns=columns) for start, until in found.tasks()]
    return settle(found, pieces, rerun), found, again


def test_guessed_pieces_settle_to_an_exact_survey_of_random_documents(rng, write_xml):
    for i in range(200):
        path = write_xml(random_document(rng), name="random.xml")
        try:
            columns, records = discovered(path, False)
        except ValueError as e:
            with pytest.raises(ValueError) as raised:
                guessed(path, 40)
            assert str(raised.value) == str(e), i
            continue
        whole = outcomes(path, columns)
        for blocksize in (40, 300):
            found, _, _ = guessed(path, blocksize)
            assert (found.columns, found.records) == (columns, records), (i, blocksize)
            assert range_outcomes(path, found) == whole, (i, blocksize)
            # Counting the pieces instead cuts the same ranges.
            assert guessed(path, blocksize, columns=False)[0].ranges == found.ranges


@pytest.mark.parametrize("encoding", ["utf-8", "utf-8-sig", "utf-16-le"])
def test_guesses_inside_comments_cdata_and_nested_names_are_read_again(rng, write_xml, encoding):
    text = big_document(rng, 1000)
    data = text.encode(encoding) if encoding != "utf-16-le" else ("\ufeff" + text).encode(encoding)
    path = write_xml(data.replace(b'encoding="UTF-8"', b"") if encoding == "utf-16-le" else data)
    columns, records = discovered(path, True)
    whole = outcomes(path, columns, 64)
    for blocksize in (100, 333, 1000, 4096):
        found, guesses, again = guessed(path, blocksize)
        assert (found.columns, found.records) == (columns, records)
        assert range_outcomes(path, found, 64) == whole, blocksize
        if encoding == "utf-16-le":
            assert guesses.offsets == []  # the bytes of its markup are not searched
        elif blocksize <= 1000:
            assert len(found.ranges) > 10 and len(again) < len(guesses.offsets)


@pytest.mark.parametrize(
    "record",
    [
        "<row><id>{i}</id><v a='x>y'>{i}</v></row>",
        '<row id="{i}" note="a > b"/>',
        "<row>\n  <id>{i}</id>\n  <row>{i}</row>\n</row >",
        "<head>{i}</head>" + "<row><id>{i}</id></row>" * 3,
    ],
)
def test_every_guess_on_plain_records_is_confirmed_or_read_again(write_xml, record):
    body = "\n".join(record.format(i=i) for i in range(2000))
    path = write_xml(f"<?xml version='1.0'?>\n<t>\n{body}\n</t>\n")
    columns, records = discovered(path, False, attributes=True)
    found = guess(path, 2000)
    assert found.offsets
    pieces = [piece(path, start, until, attributes=True) for start, until in found.tasks()]
    settled = settle(found, pieces, lambda start, until: piece(path, start, until, attributes=True))
    assert (settled.columns, settled.records) == (columns, records)
    assert len(settled.ranges) > 5
    assert range_outcomes(path, settled, 64) == outcomes(path, columns, 64)


def test_plain_records_need_no_piece_read_again(write_xml):
    body = "".join(f"<row><id>{i}</id><v>{'x' * (i % 50)}</v></row>\n" for i in range(5000))
    path = write_xml("<t>\n" + body + "</t>\n")
    found, guesses, again = guessed(path, 4000)
    assert len(guesses.offsets) > 50 and again == []
    assert len(found.ranges) == len(guesses.offsets) + 1
    assert range_outcomes(path, found, 100) == outcomes(path, found.columns, 100)


def test_an_error_in_a_later_piece_is_raised_as_the_whole_survey_raises_it(write_xml):
    body = "".join(f"<row><v>{i}</{'w' if i == 1300 else 'v'}></row>\n" for i in range(2000))
    path = write_xml("<?xml version='1.0'?>\n<t>\n" + body + "</t>\n")
    with pytest.raises(ValueError) as whole:
        _native.discover(path, check_text=False)
    assert "line 1303" in str(whole.value)
    with pytest.raises(ValueError) as split:
        guessed(path, 1000)
    assert str(split.value) == str(whole.value)


def test_types_found_in_pieces_merge_to_those_of_the_whole_file(rng, write_xml):
    def value(i, column):
        # Each column changes its kind somewhere along the file, or never.
        late = i > 1500
        return {
            "n": str(i),
            "f": f"{i}.5" if late else str(i),
            "s": "text" if late and i % 97 == 0 else str(i),
            "d": "2024-01-02",
            "t": "2024-01-02T03:04:05Z" if not late else "2024-01-02T03:04:05",
            "b": rng.choice(["true", "false"]),
        }[column]

    rows = []
    for i in range(3000):
        present = [c for c in "nfsdtb" if rng.random() < 0.8 or (c == "t" and i > 2900)]
        rows.append("<row>" + "".join(f"<{c}>{value(i, c)}</{c}>" for c in present) + "</row>\n")
    path = write_xml("<t>\n" + "".join(rows) + "</t>\n")
    whole = survey(path, 1 << 30, types=True)
    found = guess(path, 3000)
    pieces = [piece(path, start, until, types=True) for start, until in found.tasks()]
    settled = settle(found, pieces, lambda start, until: piece(path, start, until, types=True))
    assert len(settled.ranges) > 10
    assert (settled.columns, settled.types, settled.records) == (whole.columns, whole.types, whole.records)
    assert dict(zip(settled.columns, settled.types))["f"] == "float64"


@pytest.mark.parametrize("states", [[0x200], [-1], ["int64"]])
def test_only_column_states_decide_types(states):
    with pytest.raises((ValueError, TypeError, OverflowError)):
        _native.decide_types(states)


@pytest.mark.parametrize("blocksize", [1, 500, 3000, 1 << 30])
def test_joined_ranges_read_as_the_ranges_they_join(rng, write_xml, blocksize):
    path = write_xml(big_document(rng, 600))
    found = survey(path, 200)
    together = joined(found.ranges, blocksize)
    assert range_outcomes(path, dataclasses.replace(found, ranges=together), 64) == range_outcomes(path, found, 64)
    if blocksize == 1:
        assert together == found.ranges
    elif blocksize == 1 << 30:
        assert len(together) == 1
    else:
        assert 1 < len(together) < len(found.ranges)
    assert sum(part.count for part in together) == found.records


def test_ranges_know_the_entities_their_doctype_declares(write_xml):
    # Split points past the DOCTYPE carry its declarations to the ranges;
    # a bad reference is still an error, in its own range.
    records = "".join(
        f"<row><a>&co;{i}</a><!-- <row> --><b>{'&bad;' if i == 7 else '&nested;'}</b></row>" for i in range(30)
    )
    path = write_xml(
        f'<?xml version="1.0"?>\n<!DOCTYPE t [<!ENTITY co "Acme &#233;"><!ENTITY nested "[&co;]">]>\n<t>{records}</t>'
    )
    columns, _ = discovered(path, False)
    whole = outcomes(path, columns)
    assert whole[0] == {"a": "Acme é0", "b": "[Acme é]"}
    assert sum(1 for o in whole if not isinstance(o, dict)) == 1
    for blocksize in (1, 40, 300):
        found, got = split_outcomes(path, blocksize)
        assert len(found.ranges) > 1
        assert got == whole


def _record_ends_by_brute_force(data: bytes, names: list[bytes], lo: int, hi: int) -> int | None:
    """Every place a record could end, tried one by one."""
    ends = []
    for name in names:
        for at in range(lo, hi):
            # As a search bounded by `hi` finds them: the tag's name as well as its start lies before it.
            fits = at + len(name) + 2 <= hi
            if (
                fits
                and data.startswith(b"</" + name, at)
                and data[at + len(name) + 2 : at + len(name) + 3] in (b" ", b">")
            ):
                ends.append(data.index(b">", at) + 1)
            if (
                at + len(name) + 1 <= hi
                and data.startswith(b"<" + name, at)
                and data[at + len(name) + 1 : at + len(name) + 2] in (b" ", b"/")
            ):
                gt = data.index(b">", at)
                if data[gt - 1 : gt] == b"/":
                    ends.append(gt + 1)
    return min(ends, default=None)


def test_first_record_end_is_the_earliest_of_closing_and_empty_tags(rng):
    pieces = [
        b"<row/>",
        b"<row a='x'/>",
        b"<row>",
        b"</row>",
        b"</row >",
        b"<rows/>",
        b"</rows>",
        b"<r/>",
        b"</r>",
        b"t",
    ]
    for _ in range(300):
        data = b"".join(rng.choice(pieces) for _ in range(rng.randrange(1, 12)))
        names = rng.choice([[b"row"], [b"r"], [b"row", b"r"], [b"rows", b"row"]])
        lo = rng.randrange(len(data))
        hi = rng.randrange(lo, len(data) + 1)
        assert _first_record_end(data, names, lo, hi) == _record_ends_by_brute_force(data, names, lo, hi), (
            data,
            names,
            lo,
            hi,
        )
