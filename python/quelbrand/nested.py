"""Nested reading: each record one row, nothing dropped.

    table = quelbrand.read_xml("dict.xml", nested=True, attributes=True)
    table.schema     # structs and lists, decided over the whole file

A record's columns are its attributes (`@name`, with `attributes=True`)
and its child elements, in order of first appearance over the file. An
element without children or kept attributes is a string (typed with
`types=True`); one with them is a struct of its attributes, its children
and its own non-blank text (`#text`, the element's text pieces joined in
document order). An element that occurs more than once under one parent
in any record is a list in every record: an empty list where its parent is
present without it, while an absent parent is null as a whole. Elements
named in `text_of` are taken as their whole text, markup dropped.

The shape of every path is found by a first pass over the file (a shape
travels as bytes: see quelbrand._native.discover_nested and merge_shapes),
so every batch has the same Arrow type; the second pass builds the values
straight into Arrow's layout. `to_arrow()`, `write_parquet()` and the
command's outputs of a large plain file skip the first pass while the shape
of the file's first records holds every later record (see _guessing).
"""

from __future__ import annotations

import os
import threading
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from concurrent.futures import ThreadPoolExecutor
from typing import TYPE_CHECKING, Any

import quelbrand._native as _native
from quelbrand.batches import DEFAULT_BATCH_ROWS, checked_batch_rows
from quelbrand.entities import entity_options
from quelbrand.errors import XML_ERROR_PREFIX, have_pyarrow, require_extra
from quelbrand.faults import input_fault
from quelbrand.inputs import Input, is_plain_path, open_input, spooled
from quelbrand.parallel import (
    SAMPLE_BYTES,
    SAMPLE_RECORDS,
    GuessedPiece,
    Make,
    checked_threads,
    given_up,
    guessed,
    piece_size,
    pieces_in_order,
    ranges_in_order,
    read_pieces,
    stream_piece_size,
    then_count,
)
from quelbrand.records import record_options
from quelbrand.recover import Reject, Rejects, plain_path
from quelbrand.split import Range, source_of, splittable, survey
from quelbrand.table import Table
from quelbrand.writers import TextOutput

if TYPE_CHECKING:
    import pyarrow  # type: ignore[import-untyped, unused-ignore]

__all__ = ["NestedTable", "checked_text_of", "literal_types", "nested_schema"]


def checked_text_of(text_of: Iterable[str] | None) -> list[str]:
    """Element names whose whole text is their value, as a list."""
    if text_of is None:
        return []
    if isinstance(text_of, (str, bytes)):
        raise TypeError("text_of must be a sequence of element names, not a single string")
    names = list(text_of)
    for name in names:
        if not isinstance(name, str) or not name or ":" in name:
            raise ValueError(f"text_of takes local element names, not {name!r}")
    return names


# Below this a file's shape is found by one reader: pieces would cost more
# than they save.
PARALLEL_SHAPE_BYTES = 8 << 20
PIECE_BYTES_MIN = 1 << 20


def _surveyed_shape(path: str, size: int, jobs: int, types: bool, options: dict[str, Any]) -> Any:
    """The shape of the plain file at `path`, its pieces read on `jobs`
    threads and merged in file order (see quelbrand.split)."""
    kw = dict(options)
    attributes, text_of = kw.pop("attributes"), kw.pop("text_of")
    with ThreadPoolExecutor(jobs) as pool:
        return survey(
            path,
            max(size // (2 * jobs), PIECE_BYTES_MIN),
            types=types,
            attributes=attributes,
            run=lambda read, tasks: pool.map(read, tasks),
            entities=kw,
            nested=True,
            text_of=text_of,
        )


class _Schema:
    """An Arrow schema capsule, for pyarrow.schema()."""

    def __init__(self, capsule: object):
        self._capsule = capsule

    def __arrow_c_schema__(self) -> object:
        return self._capsule


def nested_schema(pa: Any, shape: bytes, types: bool = False) -> Any:
    """The pyarrow schema of the batches read with `shape`."""
    return pa.schema(_Schema(_native.nested_schema(shape, types=types)))


def literal_types(pa: Any, typed: Any) -> list[str]:
    """Each column's type name where it is a number or a boolean, JSON
    Lines writing those bare; "string" otherwise."""
    out = []
    for field in typed:
        t = field.type
        out.append(
            "int64"
            if pa.types.is_int64(t)
            else "float64"
            if pa.types.is_float64(t)
            else "bool"
            if pa.types.is_boolean(t)
            else "string"
        )
    return out


class NestedTable(Table):
    """A table of nested rows read from an XML document on demand; see
    `quelbrand.read_xml(..., nested=True)`."""

    def __init__(
        self,
        source: Any,
        *,
        batch_rows: int = DEFAULT_BATCH_ROWS,
        types: bool = False,
        attributes: bool = False,
        text_of: Iterable[str] | None = None,
        entities: str | Mapping[str, str] | None = None,
        dtd: str | os.PathLike[str] | None = None,
        shape: bytes | None = None,
        record: str | Sequence[str] | None = None,
        record_column: str | None = None,
        threads: int | None = None,
        storage_options: dict[str, Any] | None = None,
        skip: bool = False,
        max_errors: int | None = None,
        rejects: str | os.PathLike[str] | None = None,
        on_reject: Callable[[Reject], Any] | None = None,
    ):
        self.batch_rows = checked_batch_rows(batch_rows)
        self.storage_options = storage_options
        # Threads for finding a large plain file's shape (None: the usable cores).
        self.threads = checked_threads(threads)
        self.entity_options = entity_options(entities, dtd) | record_options(record, record_column)
        self.source = source
        self.path = os.fspath(source) if isinstance(source, (str, os.PathLike)) else f"<{type(source).__name__}>"
        self.types = bool(types)
        self.attributes = bool(attributes)
        self.text_of = checked_text_of(text_of)
        self._shape = shape
        self._records: int | None = None
        # The ranges the shape was found in, when in pieces: a whole reading
        # reads them at once too.
        self._ranges: list[Range] | None = None
        self._opened: Input | None = None
        self._reader: Any = None  # the last pass's
        self._done = 0  # without one: the end of the last range handed on
        # on_error="skip": the shape and ranges are those of the records
        # kept, found by a survey that skips faults and lists their spans.
        self.skip = skip
        self._report = Rejects(self.path, path=rejects, callback=on_reject, max_errors=max_errors)
        self._spans: list[Any] = []
        self._ending: str | None = None  # skipping: the error of a document cut off
        self._plain: str | None = None

    def __repr__(self) -> str:
        extra = (", types=True" if self.types else "") + (", attributes=True" if self.attributes else "")
        return f"NestedTable({self.path!r}, batch_rows={self.batch_rows}{extra})"

    @property
    def _input(self) -> Input:
        # Two passes read it: one that can be read only once is kept first.
        if self._opened is None:
            self._opened = spooled(open_input(self.source, self.threads, storage_options=self.storage_options))
        return self._opened

    # Nested rows keep every value: nothing is lost, as XmlTable.lost counts.
    lost = (0, 0)

    @property
    def input_size(self) -> int | None:
        return self._input.size

    @property
    def bytes_read(self) -> int:
        """How far the last pass's reader has read, for progress (0 while
        the shape is being found)."""
        return self._done if self._reader is None else self._input.position(self._reader)

    def _options(self) -> dict[str, Any]:
        return {"attributes": self.attributes, "text_of": self.text_of, **self.entity_options}

    @property
    def rejects(self) -> list[Reject] | None:
        """With on_error="skip": the spans the last reading rejected; None
        otherwise."""
        return list(self._report.items) if self.skip else None

    def _skip_survey(self) -> None:
        self._plain = self._plain or plain_path(self.source, self)
        size = os.path.getsize(self._plain)
        jobs = self.threads if size >= PARALLEL_SHAPE_BYTES else 1
        kw = dict(self._options())
        attributes, text_of = kw.pop("attributes"), kw.pop("text_of")
        with ThreadPoolExecutor(jobs) as pool:
            found = survey(
                self._plain,
                max(size // (2 * jobs), PIECE_BYTES_MIN),
                types=self.types,
                attributes=attributes,
                run=lambda read, tasks: pool.map(read, tasks),
                entities=kw,
                nested=True,
                text_of=text_of,
                skip=True,
            )
        self._records, self._ranges, self._spans = found.records, found.ranges, found.spans
        self._ending = found.ending
        if found.shape is None:
            # No record kept: an empty shape, or no table at all if any were rejected.
            self._reported()
            self._report.finish(0)
            found_shape, _, _ = _native.discover_nested(b"<r/>", types=self.types)
            self._shape = found_shape
        else:
            self._shape = found.shape

    def _reported(self) -> None:
        assert self._plain is not None
        self._report.start(self._plain)
        for span in self._spans:
            self._report.add(span)

    @property
    def shape(self) -> bytes:
        """The file's record shape, as bytes; finding it reads the file once,
        a large plain file in pieces at once on the usable cores."""
        if self._shape is None and self.skip:
            self._skip_survey()
        if self._shape is None:
            inp = self._input
            jobs = self.threads
            large = is_plain_path(inp) and (inp.size or 0) >= PARALLEL_SHAPE_BYTES
            if jobs > 1 and large and splittable(inp.name):
                found = _surveyed_shape(inp.name, inp.size or 0, jobs, self.types, self._options())
                self._shape, self._records, self._ranges = found.shape, found.records, found.ranges
            else:
                options = self._options()
                try:
                    self._shape, self._records, _ = _native.discover_nested(inp.native(), types=self.types, **options)
                except ValueError as error:
                    # Without types the pass skims text: a fault in text
                    # before the markup it failed on comes first.
                    if self.types:
                        raise
                    raise input_fault(
                        inp.native(), error, self.attributes, self.entity_options, self.text_of or True
                    ) from None
        assert self._shape is not None
        return self._shape

    @property
    def schema(self) -> pyarrow.Schema:
        pa = require_extra("pyarrow", "pyarrow", "Arrow schemas")
        return nested_schema(pa, self.shape, self.types)

    @property
    def column_names(self) -> list[str]:
        """The record's columns; finding them reads the file once."""
        return list(_native.nested_columns(self.shape))

    def pending(self) -> str | None:
        return "finding shapes" if self._shape is None else None

    def prepare(self) -> None:
        self.shape  # noqa: B018 - found now, as a pass of its own

    def native_batches(self, typed: bool = True) -> Iterator[Any]:
        """The native batches of one pass (each has __arrow_c_array__): the
        ranges the shape was found in read a few at once on `threads`
        threads, in file order, where there are several and pyarrow."""
        shape = self.shape
        if self.skip:
            yield from self._skip_batches(shape, typed)
            return
        if self._ranges is not None and len(self._ranges) > 1 and self.threads > 1 and have_pyarrow():
            yield from self._ranges_batches(shape, typed and self.types)
            return
        self._reader = _native.open_nested(
            self._input.native(), self.batch_rows, shape=shape, types=typed and self.types, **self._options()
        )
        yield from self._reader

    def _ranges_batches(self, shape: bytes, typed: bool) -> Iterator[Any]:
        pa = require_extra("pyarrow", "pyarrow", "reading on several threads")
        options = self._options()
        kw = {"types": typed, "attributes": options["attributes"], "text_of": options["text_of"]}

        size = self._input.size or 0

        def on_range(part: Range, _: Any) -> None:
            self._done = size if part.end is None else part.end

        self._reader, self._done = None, 0
        yield from ranges_in_order(
            pa,
            self.threads,
            self.batch_rows,
            self._ranges or [],
            lambda part: part.open_nested(self.batch_rows, shape, aligned=True, **kw),
            on_range,
        )

    def _skip_batches(self, shape: bytes, typed: bool) -> Iterator[Any]:
        self._reported()
        options = self._options()
        kw = {"types": typed and self.types, "attributes": options["attributes"], "text_of": options["text_of"]}
        rows = 0
        for part in self._ranges or []:
            self._reader = part.open_nested(self.batch_rows, shape, **kw)
            for batch in self._reader:
                rows += len(batch)
                yield batch
        self._report.finish(rows)
        self._raise_ending()

    def _raise_ending(self) -> None:
        if self._ending is not None:
            raise ValueError(f"{XML_ERROR_PREFIX}{self._plain}': {self._ending}")

    def arrow_pass(self, pa: Any) -> tuple[Any, Iterator[Any]]:
        return self.schema, self.native_batches()

    def to_arrow(self) -> pyarrow.Table:
        """The whole table in memory; a large plain file's ranges (those its
        shape was found in) are read at once on `threads` threads."""
        if self._shape is None and not self.skip:
            table = self._in_one_pass()
            if table is not None:
                return table
        shape = self.shape
        if self._ranges is None or len(self._ranges) < 2 or self.threads < 2:
            return super().to_arrow()
        if self.skip:
            self._reported()
        pa = require_extra("pyarrow", "pyarrow", "to_arrow")
        options = self._options()
        kw = {"types": self.types, "attributes": options["attributes"], "text_of": options["text_of"]}

        def read(part: Range) -> list[Any]:
            return [pa.record_batch(b) for b in part.open_nested(self.batch_rows, shape, **kw)]

        with ThreadPoolExecutor(self.threads) as pool:
            parts = list(pool.map(read, self._ranges))
        if self.skip:
            self._report.finish(sum(b.num_rows for part in parts for b in part))
            self._raise_ending()
        return pa.Table.from_batches([b for part in parts for b in part], schema=self.schema)

    def _in_one_pass(self) -> pyarrow.Table | None:
        """The whole table read once, in pieces on `threads` threads, with
        the shape of the file's first records; None where the file is not
        read so, or where a later record has no place in that shape (then
        the whole file's shape is found first, as for every other pass)."""
        inp = self._input
        # Only a file read in pieces is worth the sample.
        if self.types or self.skip or not is_plain_path(inp) or piece_size(inp.name, self.threads) is None:
            return None
        if not have_pyarrow():
            return None
        pa = require_extra("pyarrow", "pyarrow", "to_arrow")
        guessing = _guessing(lambda _: pa.record_batch, inp.name, self.batch_rows, self._options())
        if guessing is None:
            return None
        sample, open_piece, missed = guessing
        try:
            reading = read_pieces(inp.name, self.threads, open_piece, self.entity_options)
        except ValueError:
            if missed.is_set():
                return None
            raise
        if reading is None:
            return None
        self._shape, self._records = sample, reading.records
        return pa.Table.from_batches(reading.batches, schema=self.schema)

    def guessed_pass(self, pa: Any) -> tuple[Any, Iterator[Any]] | None:
        """The batches of a large plain file read once, in pieces on
        `threads` threads and given in order, with the shape of the file's
        first records; they raise Misguessed at a record that has no place
        in it."""
        if self._shape is not None or self.types or self.skip or not is_plain_path(self._input):
            return None
        make = lambda _: pa.record_batch  # noqa: E731
        guessed = guessed_nested(make, self._input.name, self.threads, self.batch_rows, self._options())
        if guessed is None:
            return None
        sample, batches = guessed

        def fitted(rows: int) -> None:
            # Every record fitted: that was the file's shape.
            self._shape, self._records = sample, rows

        return nested_schema(pa, sample, False), then_count(batches, fitted)

    def text_pass(self, fmt: str) -> tuple[TextOutput, Iterator[Any]]:
        return self.text_output(fmt), self.native_batches(typed=False)

    def text_at_once(self, fmt: str, out: Any, own: bool) -> int | None:
        # A plain file on several threads is written as the command writes
        # it, each range's text encoded on its own thread; a shape given or
        # already found is kept, and read one batch after another.
        if self.skip or self._shape is not None or self.threads < 2:
            return None
        from quelbrand.convert import text_at_once  # which imports this module

        done = text_at_once(self._input, self, fmt, out, own, nested={"text_of": self.text_of})
        if done is None:
            return None
        self._done = self._input.size or 0
        return done[0]

    def __arrow_c_schema__(self) -> object:
        return self.schema.__arrow_c_schema__()

    def __arrow_c_stream__(self, requested_schema: object = None) -> object:
        pa = require_extra("pyarrow", "pyarrow", "Arrow streams")
        return pa.RecordBatchReader.from_batches(self.schema, iter(self)).__arrow_c_stream__(requested_schema)

    def text_output(self, fmt: str) -> TextOutput:
        """The encoder of this table's text batches (native_batches(typed=False))."""
        kinds = None
        if self.types and fmt == "jsonl":
            pa = require_extra("pyarrow", "pyarrow", "typed JSON Lines")
            kinds = literal_types(pa, self.schema)
        return TextOutput(fmt, _native.nested_columns(self.shape), kinds)


def _guessing(
    make: Make, path: str, batch_rows: int, options: dict[str, Any]
) -> tuple[bytes, Callable[..., Any], threading.Event] | None:
    """The shape of the first records of the plain file at `path`, an
    opener of its pieces' readers with that shape (whose batches come as
    make(columns) makes them), and the event set once a record has no
    place in it; None where the file's head fails (the usual reading then
    finds the fault and says it as ever) or where its shape is not settled
    yet (see quelbrand.parallel.SAMPLE_RECORDS). Where every record fits,
    that shape is the whole file's: a record with a new path, a repetition
    or text beside children does not. `options` are the nested
    reader's keywords (attributes, text_of, records, entities)."""
    try:
        sample, records, _ = _native.discover_nested(path, until=SAMPLE_BYTES, **options)
        half, _, _ = _native.discover_nested(path, until=SAMPLE_BYTES // 2, **options)
    except ValueError:
        return None
    if records < SAMPLE_RECORDS or half != sample:
        return None
    missed = threading.Event()
    names = list(_native.nested_columns(sample))

    def open_piece(start: bytes | None, until: int | None) -> GuessedPiece:
        if missed.is_set():
            raise given_up()
        convert = make(names)
        reader = _native.open_nested(
            source_of(path, False, until), batch_rows, shape=sample, start=start, until=until, **options
        )
        return GuessedPiece(convert, reader, missed, _outside_the_shape)

    return sample, open_piece, missed


def guessed_nested(
    make: Make,
    path: str,
    threads: int,
    batch_rows: int,
    options: dict[str, Any],
    *,
    on_piece: Callable[[int | None, tuple[int, int]], object] | None = None,
    blocksize: int | None = None,
    pool: ThreadPoolExecutor | None = None,
) -> tuple[bytes, Iterator[Any]] | None:
    """The shape of the first records of the plain file at `path` and the
    batches of the whole file read with it (as make(columns) makes each),
    in pieces on `threads` threads (see quelbrand.parallel.pieces_in_order)
    and given in order; None where the file is not read so. The batches
    raise Misguessed at a record that has no place in the shape."""
    if stream_piece_size(path, threads) is None:
        return None
    guessing = _guessing(make, path, batch_rows, options)
    if guessing is None:
        return None
    sample, open_piece, missed = guessing
    batches = pieces_in_order(path, threads, open_piece, options, on_piece, blocksize, pool)
    return None if batches is None else (sample, guessed(batches, missed))


def _outside_the_shape(reader: Any, _: BaseException) -> bool:
    # The builder refuses a record with no place in the shape and notes it.
    return bool(reader.missed)
