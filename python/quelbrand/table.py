"""What every table read from XML offers (iteration, pandas, Parquet, CSV,
JSON Lines), over the two passes a kind of table provides: native batches
with their Arrow schema, and text batches with their encoder."""

from __future__ import annotations

import contextlib
import os
from collections.abc import Callable, Iterator
from concurrent.futures import ThreadPoolExecutor
from typing import IO, TYPE_CHECKING, Any

from quelbrand.batches import DEFAULT_BATCH_ROWS, PathArg
from quelbrand.errors import Misguessed, require_extra
from quelbrand.output import open_output, restart, restartable
from quelbrand.schema import pandas_dtypes
from quelbrand.writers import TextOutput, write_parquet

if TYPE_CHECKING:
    import pandas  # type: ignore[import-untyped, unused-ignore]
    import pyarrow  # type: ignore[import-untyped, unused-ignore]

__all__ = ["Table", "output_to"]


class Table:
    """The outputs of a table; a kind of table gives its passes."""

    batch_rows: int

    def arrow_pass(self, pa: Any) -> tuple[Any, Iterator[Any]]:
        """The schema and the native batches of one pass."""
        raise NotImplementedError

    def guessed_pass(self, pa: Any) -> tuple[Any, Iterator[Any]] | None:
        """The schema and pyarrow batches of one pass whose schema is
        guessed, not found by a pass of its own; None where this table has
        none. Its batches raise Misguessed where a record proves the guess
        wrong: what was made of them is then thrown away, and arrow_pass()
        read instead."""
        return None

    def text_pass(self, fmt: str) -> tuple[TextOutput, Iterator[Any]]:
        """The encoder and the text batches of one pass, for `fmt`."""
        raise NotImplementedError

    def __iter__(self) -> Iterator[pyarrow.RecordBatch]:
        pa = require_extra("pyarrow", "pyarrow", "Arrow record batches")
        for batch in self.arrow_pass(pa)[1]:
            yield pa.record_batch(batch)

    def to_arrow(self) -> pyarrow.Table:
        """The whole table in memory, as one pyarrow.Table."""
        pa = require_extra("pyarrow", "pyarrow", "to_arrow")
        fixed, batches = self.arrow_pass(pa)
        return pa.Table.from_batches([pa.record_batch(b) for b in batches], schema=fixed)

    def to_pandas(self, **options: Any) -> pandas.DataFrame:
        """The whole table as a pandas DataFrame whose text columns have
        dtype `string[pyarrow]` (pd.StringDtype("pyarrow")), a missing value
        being pd.NA; a struct is a dict, a list a NumPy array of its items.
        `options` go to pyarrow.Table.to_pandas."""
        pa = require_extra("pyarrow", "pyarrow", "to_pandas")
        pd = require_extra("pandas", "pandas", "to_pandas")
        options.setdefault("types_mapper", pandas_dtypes(pa, pd).get)
        return self.to_arrow().to_pandas(**options)

    def write_parquet(
        self,
        where: PathArg | IO[bytes],
        *,
        row_group_rows: int | None = None,
        on_batch: Callable[[Any], object] | None = None,
        jobs: int = 1,
        **options: Any,
    ) -> int:
        """Writes the table to a Parquet file, a batch at a time, and returns
        the number of rows. Row groups hold exactly `row_group_rows` rows
        (the last may hold fewer; default: the batch size, at least 65536).
        `on_batch` is called with each batch once written (for progress).
        With `jobs` above 1 (and no `options`), row groups are encoded on
        that many threads, into the same bytes. `options` go to
        pyarrow.parquet.ParquetWriter. A path is written as the command
        writes its output: whole, or not at all."""
        pa = require_extra("pyarrow", "pyarrow", "Parquet output")
        require_extra("pyarrow.parquet", "pyarrow", "Parquet output")
        group = max(row_group_rows or self.batch_rows, 1 if row_group_rows else DEFAULT_BATCH_ROWS)

        def batches(natives: Iterator[Any]) -> Iterator[Any]:
            for native in natives:
                batch = pa.record_batch(native)
                yield batch
                if on_batch is not None:
                    on_batch(batch)

        # The output is opened first, so that a failure of any pass (the one
        # that finds the columns too) says what became of it.
        with output_to(where) as out, ThreadPoolExecutor(jobs) if jobs > 1 else contextlib.nullcontext() as pool:
            # A guess may be thrown away: only where no batch has been shown
            # to the caller, and the output is a file of ours to start over.
            guessed = None
            if on_batch is None and isinstance(where, (str, os.PathLike)) and restartable(out):
                guessed = self.guessed_pass(pa)
            if guessed is not None:
                try:
                    return write_parquet(pa, out, *guessed, group, pool=pool, ahead=jobs, options=options, split=jobs)
                except Misguessed:
                    restart(out)
            fixed, natives = self.arrow_pass(pa)
            return write_parquet(
                pa, out, fixed, batches(natives), group, pool=pool, ahead=jobs, options=options, split=jobs
            )

    def write_csv(self, where: PathArg | IO[bytes], *, on_batch: Callable[[Any], object] | None = None) -> int:
        """Writes the table as CSV and returns the number of rows: RFC 4180,
        with a header line, a field quoted only where it must be, a missing
        value an empty field, CRLF line ends. Values are written as the
        file has them, with types too; a struct or a list as its JSON text
        (its JSON Lines value) in one field. Needs no pyarrow. A path is
        written whole, or not at all."""
        return self._write_text("csv", where, on_batch)

    def write_jsonl(self, where: PathArg | IO[bytes], *, on_batch: Callable[[Any], object] | None = None) -> int:
        """Writes the table as JSON Lines and returns the number of rows: an
        object per record, its members in the table's column order, a
        missing value omitted; structs as objects, lists as arrays (keeping
        their nulls); with types, numbers and booleans bare. Needs no
        pyarrow. A path is written whole, or not at all."""
        return self._write_text("jsonl", where, on_batch)

    def text_at_once(self, fmt: str, out: Any, own: bool) -> int | None:
        """The rows of this table written to `out` as `fmt` on several
        threads at once, the same bytes as text_pass() gives, starting an
        output of our `own` over if need be; None, with nothing written,
        where this table is not written so."""
        return None

    def _write_text(self, fmt: str, where: PathArg | IO[bytes], on_batch: Callable[[Any], object] | None) -> int:
        rows = 0
        with output_to(where) as out:
            # As with Parquet, only a file of ours is ever started over.
            own = isinstance(where, (str, os.PathLike))
            written = self.text_at_once(fmt, out, own) if on_batch is None else None
            if written is not None:
                return written
            encoder, batches = self.text_pass(fmt)
            out.write(encoder.header())
            for batch in batches:
                out.write(encoder.encode(batch))
                rows += batch.num_rows
                if on_batch is not None:
                    on_batch(batch)
        return rows


@contextlib.contextmanager
def output_to(where: PathArg | IO[bytes]) -> Iterator[Any]:
    """A path opened as the command opens its output, or a file object as
    it is."""
    if isinstance(where, (str, os.PathLike)):
        with open_output(where) as out:
            yield out
    else:
        yield where
