"""Parquet row groups encoded at once, on many threads, written as one file.

pyarrow's ParquetWriter encodes a file's row groups one after another, on
the thread that writes. A row group's bytes do not depend on where in the
file they land, though: only the footer says where each group is. So each
row group is encoded on its own, as a file of that one group in memory,
and the output is put together from them: "PAR1", every group's bytes in
order, then the footer of one group's file holding every group's metadata,
its offsets moved to where the group's bytes landed. The result is, byte for
byte, the file one writer makes of the same row groups. Column chunks do not
depend on each other either, so one group's columns can be encoded in runs
at once, each run a file of its own, and joined into that one group.

The footer is a Thrift struct in the compact protocol. It is decoded here
into fields kept in their order, and encoded again the way Thrift writes
them, so that what is not changed comes out unchanged.

pyarrow has no way to join row groups encoded apart into one file, hence
this module. A dataset folder (one Parquet file per group, read back with
`pyarrow.dataset`) would need none of it, but users asked for one file,
byte for byte the one a conversion on one thread writes: a single file
goes wherever a path can, and the same input always gives the same bytes.
That identity rests on pyarrow's writer defaults, so CI runs the stitching
tests against the lowest pyarrow the package allows as well. It also rests
on the group's bytes holding nothing but its column chunks' pages, which
pyarrow's writer gives from 18 on (before, it put a copy of each chunk's
metadata after the pages, with offsets of its own); a file laid out any
other way is refused, never joined wrong.
"""

from __future__ import annotations

import struct
from typing import Any, BinaryIO

__all__ = ["Stitcher", "encode_group", "encode_empty"]

MAGIC = b"PAR1"

# Compact protocol types.
_STOP, _TRUE, _FALSE, _BYTE, _I16, _I32, _I64, _DOUBLE, _BINARY, _LIST, _SET, _MAP, _STRUCT = range(13)

# Field ids of the metadata this module changes (parquet.thrift).
_FILE_NUM_ROWS, _FILE_ROW_GROUPS = 3, 4
_GROUP_COLUMNS, _GROUP_TOTAL_BYTES, _GROUP_NUM_ROWS, _GROUP_FILE_OFFSET, _GROUP_TOTAL_COMPRESSED, _GROUP_ORDINAL = (
    1,
    2,
    3,
    5,
    6,
    7,
)
_CHUNK_FILE_PATH, _CHUNK_FILE_OFFSET, _CHUNK_META, _CHUNK_OFFSET_INDEX, _CHUNK_COLUMN_INDEX = 1, 2, 3, 4, 6
_META_TOTAL_COMPRESSED = 7
_META_DATA_PAGE, _META_INDEX_PAGE, _META_DICTIONARY_PAGE, _META_BLOOM_FILTER = 9, 10, 11, 14


class _Struct:
    """A Thrift struct's fields as (id, type, value), in the order read."""

    __slots__ = ("fields",)

    def __init__(self, fields: list[list[Any]]):
        self.fields = fields

    def get(self, field: int) -> Any:
        return next((f[2] for f in self.fields if f[0] == field), None)

    def set(self, field: int, value: Any) -> None:
        for f in self.fields:
            if f[0] == field:
                f[2] = value
                return
        raise KeyError(field)


# ---- The compact protocol ---------------------------------------------------------


class _Reader:
    def __init__(self, data: bytes):
        self.data, self.pos = data, 0

    def byte(self) -> int:
        b = self.data[self.pos]
        self.pos += 1
        return b

    def varint(self) -> int:
        shift = value = 0
        while True:
            b = self.byte()
            value |= (b & 0x7F) << shift
            if not b & 0x80:
                return value
            shift += 7

    def zigzag(self) -> int:
        n = self.varint()
        return (n >> 1) ^ -(n & 1)

    def value(self, kind: int) -> Any:
        if kind in (_TRUE, _FALSE):
            return kind == _TRUE
        if kind == _BYTE:
            return struct.unpack("b", bytes([self.byte()]))[0]
        if kind in (_I16, _I32, _I64):
            return self.zigzag()
        if kind == _DOUBLE:
            self.pos += 8
            return struct.unpack("<d", self.data[self.pos - 8 : self.pos])[0]
        if kind == _BINARY:
            n = self.varint()
            self.pos += n
            return self.data[self.pos - n : self.pos]
        if kind in (_LIST, _SET):
            head = self.byte()
            size = head >> 4 if head >> 4 != 15 else self.varint()
            element = head & 0x0F
            items = [self.byte() == _TRUE if element in (_TRUE, _FALSE) else self.value(element) for _ in range(size)]
            return (element, items)
        if kind == _MAP:
            size = self.varint()
            types = self.byte() if size else 0
            pairs = [(self.value(types >> 4), self.value(types & 0x0F)) for _ in range(size)]
            return (types, pairs)
        if kind == _STRUCT:
            return self.struct()
        raise ValueError(f"unknown Thrift compact type {kind}")

    def struct(self) -> _Struct:
        fields: list[list[Any]] = []
        last = 0
        while True:
            head = self.byte()
            kind = head & 0x0F
            if kind == _STOP:
                return _Struct(fields)
            delta = head >> 4
            field = last + delta if delta else self.zigzag()
            fields.append([field, kind, self.value(kind)])
            last = field


class _Writer:
    def __init__(self) -> None:
        self.out = bytearray()

    def varint(self, n: int) -> None:
        while n >= 0x80:
            self.out.append((n & 0x7F) | 0x80)
            n >>= 7
        self.out.append(n)

    def zigzag(self, n: int) -> None:
        self.varint((n << 1) ^ (n >> 63))

    def value(self, kind: int, value: Any) -> None:
        if kind in (_TRUE, _FALSE):
            return  # in the field's header
        if kind == _BYTE:
            self.out += struct.pack("b", value)
        elif kind in (_I16, _I32, _I64):
            self.zigzag(value)
        elif kind == _DOUBLE:
            self.out += struct.pack("<d", value)
        elif kind == _BINARY:
            self.varint(len(value))
            self.out += value
        elif kind in (_LIST, _SET):
            element, items = value
            if len(items) < 15:
                self.out.append(len(items) << 4 | element)
            else:
                self.out.append(0xF0 | element)
                self.varint(len(items))
            for item in items:
                if element in (_TRUE, _FALSE):
                    self.out.append(_TRUE if item else _FALSE)
                else:
                    self.value(element, item)
        elif kind == _MAP:
            types, pairs = value
            self.varint(len(pairs))
            if pairs:
                self.out.append(types)
            for k, v in pairs:
                self.value(types >> 4, k)
                self.value(types & 0x0F, v)
        elif kind == _STRUCT:
            self.struct(value)
        else:
            raise ValueError(f"unknown Thrift compact type {kind}")

    def struct(self, s: _Struct) -> None:
        last = 0
        for field, kind, value in s.fields:
            if kind in (_TRUE, _FALSE):
                kind = _TRUE if value else _FALSE
            if 0 < field - last <= 15:
                self.out.append((field - last) << 4 | kind)
            else:
                self.out.append(kind)
                self.zigzag(field)
            self.value(kind, value)
            last = field
        self.out.append(_STOP)


def _footer(data: bytes | memoryview) -> tuple[_Struct, int]:
    """A Parquet file's metadata, and where its footer begins."""
    data = memoryview(data)
    if bytes(data[:4]) != MAGIC or bytes(data[-4:]) != MAGIC:
        raise ValueError("not a Parquet file")
    (size,) = struct.unpack("<I", data[-8:-4])
    start = len(data) - 8 - size
    return _Reader(bytes(data[start : len(data) - 8])).struct(), start


def _check_layout(groups: list[_Struct], footer_start: int) -> None:
    """Refuses a file whose bytes between the magic and the footer are not
    exactly its column chunks' pages, back to back. Only offsets in the
    footer are moved, so anything else there that holds an offset (page
    indexes, bloom filters, the copy of each chunk's metadata that pyarrow
    before 18 writes after the chunk's pages) would point at the wrong
    place in the joined file: better no file than a wrong one."""
    at = len(MAGIC)
    for group in groups:
        # A group of no columns has no bytes, and no offset of its own.
        if group.get(_GROUP_COLUMNS)[1] and group.get(_GROUP_FILE_OFFSET) not in (None, at):
            raise ValueError("a row group's offset is not where its first column chunk begins")
        for chunk in group.get(_GROUP_COLUMNS)[1]:
            if chunk.get(_CHUNK_OFFSET_INDEX) is not None or chunk.get(_CHUNK_COLUMN_INDEX) is not None:
                raise ValueError("row groups with page indexes cannot be put together")
            meta = chunk.get(_CHUNK_META)
            if chunk.get(_CHUNK_FILE_PATH) is not None or meta is None:
                raise ValueError("column chunks kept in another file cannot be put together")
            if meta.get(_META_BLOOM_FILTER) is not None:
                raise ValueError("row groups with bloom filters cannot be put together")
            pages = [meta.get(f) for f in (_META_DATA_PAGE, _META_INDEX_PAGE, _META_DICTIONARY_PAGE)]
            first = min(p for p in pages if p is not None)
            end = first + meta.get(_META_TOTAL_COMPRESSED)
            # Writers that set the chunk's own offset point it at its first
            # page, or at a copy of its metadata after the pages.
            if first != at or chunk.get(_CHUNK_FILE_OFFSET) not in (None, 0, first):
                raise ValueError(
                    "a column chunk is not where the footer says, or holds more than its pages; "
                    "row groups written this way cannot be put together (pyarrow 18 or later writes them as needed)"
                )
            at = end
    if at != footer_start:
        raise ValueError("bytes other than column chunks lie before the footer; row groups cannot be put together")


# ---- Groups, encoded apart and put together ---------------------------------------


def _joined(groups: list[_Struct]) -> _Struct:
    """One row group of the column chunks of `groups`, in order: the rows'
    metadata as the first has it, the sizes summed. A writer's own group
    has the same fields, its sizes being the sums over its chunks."""
    first = groups[0]
    element = first.get(_GROUP_COLUMNS)[0]
    chunks = [chunk for group in groups for chunk in group.get(_GROUP_COLUMNS)[1]]
    first.set(_GROUP_COLUMNS, (element, chunks))
    for field in (_GROUP_TOTAL_BYTES, _GROUP_TOTAL_COMPRESSED):
        if first.get(field) is not None:
            first.set(field, sum(group.get(field) for group in groups))
    return first


def encode_group(table: Any, schema: Any) -> memoryview:
    """`table` as a Parquet file of one row group, in memory."""
    return _encode(schema, table)


def encode_empty(schema: Any) -> memoryview:
    """A Parquet file of no row groups, in memory: what one writer makes
    when nothing is written."""
    return _encode(schema, None)


def _encode(schema: Any, table: Any) -> memoryview:
    import pyarrow as pa  # type: ignore[import-untyped, unused-ignore]
    import pyarrow.parquet as pq  # type: ignore[import-untyped, unused-ignore]

    sink = pa.BufferOutputStream()
    with pq.ParquetWriter(sink, schema) as writer:
        if table is not None:
            writer.write_table(table, row_group_size=max(table.num_rows, 1))
    # A view of Arrow's buffer, not a copy: a group's file runs to tens of
    # megabytes, and is only written out.
    return memoryview(sink.getvalue())


class Stitcher:
    """One Parquet file written from files of one row group each, added in
    order (from encode_group, all with the same schema and options).
    `empty` is encode_empty() of the whole schema; a group given in parts
    (see add) needs it, since no part's footer holds the whole schema."""

    def __init__(self, out: BinaryIO, empty: bytes | memoryview | None = None):
        self._out = out
        self._empty = empty
        self._at = len(MAGIC)
        self._meta: _Struct | None = None
        self._groups: list[_Struct] = []
        self._rows = 0

    def add(self, data: bytes | memoryview, *more: bytes | memoryview) -> None:
        """Adds the row group of `data`, or of `data` and `more` together:
        files of the same rows, each holding the next run of the schema's
        columns, so that a group's columns can be encoded at once."""
        parts = []
        for part in (data, *more):
            meta, start = _footer(part)
            groups = meta.get(_FILE_ROW_GROUPS)[1]
            _check_layout(groups, start)
            parts.append((part, meta, start, groups))
        empty = self._empty
        if more:
            if empty is None:
                raise ValueError("a row group in parts needs the whole schema's empty file")
            if any(len(groups) != 1 for *_, groups in parts):
                raise ValueError("each part of a row group must hold that one group")
            if len({groups[0].get(_GROUP_NUM_ROWS) for *_, groups in parts}) != 1:
                raise ValueError("the parts of a row group hold different numbers of rows")
        if self._meta is None:
            self._meta = _footer(empty)[0] if more and empty is not None else parts[0][1]
            self._out.write(MAGIC)
        at = self._at
        for _, _, start, groups in parts:
            for group in groups:
                self._move(group, at - len(MAGIC))
            at += start - len(MAGIC)
        if more:
            self._groups.append(_joined([groups[0] for *_, groups in parts]))
        else:
            self._groups.extend(parts[0][3])
        self._rows += parts[0][1].get(_FILE_NUM_ROWS)
        for part, _, start, _ in parts:
            self._out.write(memoryview(part)[len(MAGIC) : start])
        self._at = at

    def _move(self, group: _Struct, shift: int) -> None:
        if group.get(_GROUP_FILE_OFFSET) is not None:
            group.set(_GROUP_FILE_OFFSET, group.get(_GROUP_FILE_OFFSET) + shift)
        if group.get(_GROUP_ORDINAL) is not None:
            group.set(_GROUP_ORDINAL, len(self._groups))
        for chunk in group.get(_GROUP_COLUMNS)[1]:
            if chunk.get(_CHUNK_FILE_OFFSET):
                chunk.set(_CHUNK_FILE_OFFSET, chunk.get(_CHUNK_FILE_OFFSET) + shift)
            meta = chunk.get(_CHUNK_META)
            for field in (_META_DATA_PAGE, _META_INDEX_PAGE, _META_DICTIONARY_PAGE):
                if meta.get(field) is not None:
                    meta.set(field, meta.get(field) + shift)

    def close(self, empty: bytes | memoryview) -> None:
        """Writes the footer, or `empty` (from encode_empty) when no row
        group was added."""
        if self._meta is None:
            self._out.write(empty)
            return
        self._meta.set(_FILE_NUM_ROWS, self._rows)
        element, _ = self._meta.get(_FILE_ROW_GROUPS)
        self._meta.set(_FILE_ROW_GROUPS, (element, self._groups))
        writer = _Writer()
        writer.struct(self._meta)
        self._out.write(writer.out)
        self._out.write(struct.pack("<I", len(writer.out)))
        self._out.write(MAGIC)
