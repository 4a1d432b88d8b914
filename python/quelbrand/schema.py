"""The Arrow types of the reader's columns, and the pandas dtypes they become.

A column's type is named as the native reader names it ("string", "int64",
...); these maps are the one place that says what each name is in Arrow and
in pandas. pyarrow and pandas are imported by the caller and passed in, so
this module imports neither.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

__all__ = ["arrow_type", "pandas_dtypes", "schema", "string_schema", "types_of"]


def arrow_type(pa: Any, name: str) -> Any:
    """The Arrow type of the column type `name`."""
    return {
        "string": pa.string(),
        "int64": pa.int64(),
        "float64": pa.float64(),
        "bool": pa.bool_(),
        "date32": pa.date32(),
        "timestamp[us]": pa.timestamp("us"),
        "timestamp[us, tz=UTC]": pa.timestamp("us", tz="UTC"),
    }[name]


def string_schema(pa: Any, names: Sequence[str]) -> Any:
    """Every column a nullable string. (A batch whose column would hold more
    text than 32-bit offsets reach is read as several batches that fit.)"""
    return pa.schema([pa.field(name, pa.string()) for name in names])


def schema(pa: Any, names: Sequence[str], kinds: Sequence[str] | None) -> Any:
    """The schema of columns `names` of types `kinds` (None: all strings)."""
    if kinds is None:
        return string_schema(pa, names)
    return pa.schema([pa.field(name, arrow_type(pa, kind)) for name, kind in zip(names, kinds)])


def types_of(names: Sequence[str], found: dict[str, str] | None) -> list[str]:
    """Each column's type; a column the file never had is a string."""
    found = found or {}
    return [found.get(name, "string") for name in names]


def pandas_dtypes(pa: Any, pd: Any) -> dict[Any, Any]:
    """Arrow type -> pandas dtype, for Table.to_pandas(types_mapper=...).
    Strings become string[pyarrow], and typed columns keep pd.NA for a
    missing value too: an int64 column with nulls would otherwise turn into
    floats and lose digits."""
    text = pd.StringDtype("pyarrow")
    return {
        pa.large_string(): text,
        pa.string(): text,
        pa.int64(): pd.Int64Dtype(),
        pa.float64(): pd.Float64Dtype(),
        pa.bool_(): pd.BooleanDtype(),
    }
