"""One file read as many ranges, each on its own, in any order.

The native discovery pass can note a split point between two records every
`blocksize` bytes or so: the state a reader needs to resume there exactly
as the reader from the file's start would have gone on (the encoding, the
open elements). A range runs from one split point (or the start) through a
known number of records; the last one reads to the end of the file, so an
error after the last record is still found. The ranges' rows, concatenated,
are the rows of reading the whole file, value for value.

Only a plain file named by its path can be split: compressed input, bytes,
file objects and pipes are read as one range.
"""

from __future__ import annotations

import dataclasses
import os
import stat
from typing import Any

import quelbrand._native as _native
from quelbrand.inputs import codec_of

__all__ = ["Range", "Survey", "ranges", "splittable", "survey", "whole"]


@dataclasses.dataclass(frozen=True)
class Range:
    """Records `first` .. `first + count - 1` of the file at `path`."""

    path: str
    first: int  # the file's record position where the range begins
    count: int
    start: bytes | None = None  # the split point's state; None: the file's start
    # The range's end: where the next range begins, or None for the last,
    # which reads to the end of the file.
    end: int | None = None

    def open(self, batch_rows: int, columns: list[str] | None, *, types: Any = False, attributes: bool = False) -> Any:
        """A native reader of the range's records (see quelbrand._native.open)."""
        return _native.open(
            self.path,
            batch_rows,
            columns,
            False,
            False,
            types=types,
            attributes=attributes,
            start=self.start,
            records=None if self.end is None else self.count,
            end=self.end,
        )

    def columns(self, *, attributes: bool = False) -> list[str]:
        """The columns of the range's records, in order of first appearance,
        from a native pass that skims their text."""
        names, _ = _native.discover(
            self.path,
            False,
            attributes=attributes,
            start=self.start,
            records=None if self.end is None else self.count,
            end=self.end,
        )
        return list(names)


@dataclasses.dataclass(frozen=True)
class Survey:
    """A file's columns, record count and ranges, from one native pass."""

    columns: list[str]
    records: int
    ranges: list[Range]
    types: list[str] | None = None


def splittable(path: str) -> bool:
    """Whether `path` is a regular file that holds XML as it stands: not
    compressed, which a reader cannot enter in the middle."""
    try:
        if not stat.S_ISREG(os.stat(path).st_mode):
            return False
        with open(path, "rb") as file:
            return codec_of(file.read(8)) is None
    except OSError:
        return False


def whole(path: str, records: int) -> list[Range]:
    """The file as one range."""
    return [Range(path, 0, records)]


def survey(
    path: str,
    blocksize: int,
    *,
    align: int = 1,
    check_text: bool = False,
    types: bool = False,
    attributes: bool = False,
) -> Survey:
    """One native pass over the plain file at `path` for its columns, record
    count (and types, with `types`) and ranges of about `blocksize` bytes,
    each but the last holding a multiple of `align` records. XML failures
    raise the module's ValueError."""
    found = _native.discover(path, check_text, types, attributes=attributes, blocksize=max(blocksize, 1), align=align)
    if types:
        names, records, kinds, splits = found
    else:
        (names, records, splits), kinds = found, None
    return Survey(list(names), records, plan(path, records, splits), kinds)


def ranges(path: str, blocksize: int, *, align: int = 1) -> list[Range]:
    """The plain file's ranges, as survey() finds them, from the record
    counter's pass: it finds no columns, and costs a third as much. Malformed
    markup raises the module's ValueError."""
    records, splits = _native.split(path, max(blocksize, 1), align)
    return plan(path, records, splits)


def plan(path: str, records: int, splits: list[tuple[int, int, bytes]]) -> list[Range]:
    """The ranges between `splits` (as discover gives them) of a file of
    `records` records."""
    # A split point after the last record would leave an empty last range;
    # the range before it then reads to the end instead.
    points = [point for point in splits if point[1] < records]
    ranges: list[Range] = []
    starts: list[tuple[int, int, bytes] | None] = [None, *points]
    for i, point in enumerate(starts):
        first = 0 if point is None else point[1]
        following = points[i] if i < len(points) else None
        count = (records if following is None else following[1]) - first
        ranges.append(
            Range(
                path,
                first,
                count,
                None if point is None else point[2],
                None if following is None else following[0],
            )
        )
    return ranges
