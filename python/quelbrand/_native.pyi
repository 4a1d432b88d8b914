# The companion extension: XML batches built in C++ and handed over through
# the Arrow PyCapsule protocol. Used by quelbrand.reader and quelbrand.arrow.
from collections.abc import Iterator, Mapping, Sequence
from typing import Any, final

@final
class Batch:
    @property
    def num_rows(self) -> int: ...
    @property
    def column_names(self) -> list[str]: ...
    def __len__(self) -> int: ...
    def __arrow_c_array__(self, requested_schema: object | None = None) -> tuple[object, object]: ...
    def __arrow_c_schema__(self) -> object: ...

@final
class Reader:
    @property
    def bytes_read(self) -> int: ...
    @property
    def columns(self) -> list[str] | None: ...
    # With skip=, or after a document cut off: where the last failed step's
    # fault lies.
    @property
    def fault(self) -> Fault | None: ...
    # (values, records): what flattening lost in the batches built so far.
    @property
    def lost(self) -> tuple[int, int]: ...
    @property
    def records(self) -> int | None: ...
    # With until=: where reading stopped, once the reader has run out.
    @property
    def stop(self) -> SplitPoint | None: ...
    @property
    def types(self) -> dict[str, str] | None: ...
    def __iter__(self) -> Iterator[Batch]: ...
    def __next__(self) -> Batch: ...
    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object: ...
    def __arrow_c_schema__(self) -> object: ...

@final
class Tally:
    """How far a native pass has read, in bytes, as it runs."""

    def __init__(self) -> None: ...
    @property
    def value(self) -> int: ...

@final
class Discovery(tuple[Any, ...]):
    @property
    def columns(self) -> list[str]: ...
    @property
    def records(self) -> int: ...
    @property
    def types(self) -> list[str] | None: ...
    @property
    def states(self) -> list[int] | None: ...
    @property
    def stop(self) -> SplitPoint | None: ...
    @property
    def fault(self) -> Fault | None: ...

# (file offset, records before it, the state to resume with)
SplitPoint = tuple[int, int, bytes]
# (error text, whether the input was cut off, the error's offset, the start
# of the record it fell in or None, the split point at the end of the last
# complete record, the elements open there)
Fault = tuple[str, bool, int, int | None, SplitPoint, list[str]]

# `source` (and `companion`) is a str path, bytes, or a readable binary file
# object, read through readinto, else read.
def open(
    source: object,
    batch_rows: int,
    *,
    columns: Sequence[str] | None = None,
    project: bool = False,
    prefetch: bool = False,
    discover: bool = False,
    companion: object = None,
    types: bool = False,
    known_types: Sequence[str] | None = None,
    attributes: bool = False,
    start: SplitPoint | bytes | None = None,
    records: int | None = None,
    end: int | None = None,
    doctype: bool = True,
    html: bool = False,
    entities: Mapping[str, str] | None = None,
    dtd: str | None = None,
    record: str | Sequence[str] | None = None,
    record_column: str | None = None,
    until: int | None = None,
    first_rows: int | None = None,
    skip: bool = False,
    expect_rows: int | None = None,
    pass_over: int | None = None,
) -> Reader: ...
def discover(
    source: object,
    *,
    check_text: bool = True,
    types: bool = False,
    attributes: bool = False,
    start: SplitPoint | bytes | None = None,
    records: int | None = None,
    end: int | None = None,
    until: int | None = None,
    tally: Tally | None = None,
    doctype: bool = True,
    html: bool = False,
    entities: Mapping[str, str] | None = None,
    dtd: str | None = None,
    record: str | Sequence[str] | None = None,
    record_column: str | None = None,
    skip: bool = False,
) -> Discovery: ...
def split(
    source: object,
    blocksize: int,
    *,
    start: SplitPoint | bytes | None = None,
    until: int | None = None,
    tally: Tally | None = None,
    doctype: bool = True,
    html: bool = False,
    entities: Mapping[str, str] | None = None,
    dtd: str | None = None,
    record: str | Sequence[str] | None = None,
    check_end: bool = False,
) -> tuple[int, list[SplitPoint]]: ...
def split_at(state: bytes, offset: int, line: int | None = None) -> bytes | None: ...
def merge_state(a: int, b: int) -> int: ...
def decide_types(states: Sequence[int]) -> list[str]: ...
def typed(batch: object, types: Sequence[str]) -> Batch: ...

# Nested reading: a record shape travels as bytes.
@final
class NestedBatch:
    @property
    def num_rows(self) -> int: ...
    def __len__(self) -> int: ...
    def __arrow_c_array__(self, requested_schema: object | None = None) -> tuple[object, object]: ...
    def __arrow_c_schema__(self) -> object: ...

@final
class NestedReader:
    @property
    def bytes_read(self) -> int: ...
    @property
    def stop(self) -> SplitPoint | None: ...
    @property
    def missed(self) -> bool: ...
    def __iter__(self) -> Iterator[NestedBatch]: ...
    def __next__(self) -> NestedBatch: ...

def discover_nested(
    source: object,
    *,
    types: bool = False,
    attributes: bool = False,
    text_of: Sequence[str] | None = None,
    start: SplitPoint | bytes | None = None,
    records: int | None = None,
    end: int | None = None,
    until: int | None = None,
    doctype: bool = True,
    html: bool = False,
    entities: Mapping[str, str] | None = None,
    dtd: str | None = None,
    record: str | Sequence[str] | None = None,
    record_column: str | None = None,
) -> tuple[bytes, int, SplitPoint | None]: ...
def open_nested(
    source: object,
    batch_rows: int,
    *,
    shape: bytes,
    types: bool = False,
    attributes: bool = False,
    text_of: Sequence[str] | None = None,
    start: SplitPoint | bytes | None = None,
    records: int | None = None,
    end: int | None = None,
    doctype: bool = True,
    html: bool = False,
    entities: Mapping[str, str] | None = None,
    dtd: str | None = None,
    record: str | Sequence[str] | None = None,
    record_column: str | None = None,
    first_rows: int | None = None,
    until: int | None = None,
) -> NestedReader: ...
def merge_shapes(a: bytes, b: bytes) -> bytes: ...
def nested_schema(shape: bytes, *, types: bool = False) -> object: ...
def nested_columns(shape: bytes) -> list[str]: ...

# Record batches (anything with __arrow_c_array__ whose columns are
# `columns`, in order) as CSV ("csv") or JSON Lines ("jsonl") bytes.
@final
class TextEncoder:
    def __init__(
        self, format: str, columns: Sequence[str], *, literal: Sequence[bool] | None = None, nulls: bool = False
    ) -> None: ...
    def header(self) -> bytes: ...
    def encode(self, batch: object) -> bytes: ...
