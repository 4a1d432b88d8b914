"""The `record=` and `record_column=` options of read_xml, convert, count and
Dask, as the native reader's keyword arguments.

By default every child element of a top-level element is a record. With
`record`, the records are the elements named: a local name ("item"), a path
of local names matched as the innermost open elements ("channel/item"), or
one from the root ("/rss/channel/item"); or a list of those. An element
named inside a record is part of that record, and everything outside
records is skipped (still checked for well-formedness)."""

from __future__ import annotations

import functools
import re
from collections.abc import Sequence
from typing import Any

__all__ = ["counting", "record_options", "with_record_column"]

# XML's NameStartChar and NameChar, without ':' (names here are local).
_START = (
    "A-Z_a-z\u00c0-\u00d6\u00d8-\u00f6\u00f8-\u02ff\u0370-\u037d\u037f-\u1fff\u200c-\u200d"
    "\u2070-\u218f\u2c00-\u2fef\u3001-\ud7ff\uf900-\ufdcf\ufdf0-\ufffd\U00010000-\U000effff"
)


@functools.cache
def _name() -> re.Pattern[str]:
    # Compiled when first needed: compiling it took a tenth of the
    # package's import, which every command pays, for a check of record=.
    return re.compile(f"[{_START}][{_START}\\-.0-9\u00b7\u0300-\u036f\u203f-\u2040]*")


def _checked_path(text: object) -> str:
    if not isinstance(text, str):
        raise TypeError(f"record takes element names (str), not {type(text).__name__}")
    steps = text[1:] if text.startswith("/") else text
    if not steps:
        raise ValueError("record: an empty name")
    for step in steps.split("/"):
        if not step:
            raise ValueError(f"record: {text!r} has an empty step between slashes")
        if ":" in step:
            local = step.rsplit(":", 1)[1]
            raise ValueError(f"record: names are matched by their local name: give {local!r}, not {step!r}")
        if not _name().fullmatch(step):
            raise ValueError(f"record: {step!r} is not an XML name")
    return text


def record_options(record: str | Sequence[str] | None = None, record_column: str | None = None) -> dict[str, Any]:
    """The keyword arguments of quelbrand._native.open and discover for
    `record` (None: the children of top-level elements; a name or path, or
    a list or tuple of them) and `record_column` (the name of a first
    column holding each record's element name), checked now."""
    out: dict[str, Any] = {}
    if record is not None:
        names = [record] if isinstance(record, str) else record
        if not isinstance(names, (list, tuple)):
            raise TypeError(f"record takes a name or a list of names, not {type(record).__name__}")
        if not names:
            raise ValueError("record takes at least one name")
        out["record"] = tuple(_checked_path(name) for name in names)
    if record_column is not None:
        if not isinstance(record_column, str):
            raise TypeError(f"record_column must be a str, not {type(record_column).__name__}")
        if not record_column:
            raise ValueError("record_column must not be empty")
        out["record_column"] = record_column
    return out


def counting(options: dict[str, Any] | None) -> dict[str, Any]:
    """The reader keywords a counting pass (quelbrand._native.split) takes:
    all but the record-name column, which only a reading builds."""
    return {k: v for k, v in (options or {}).items() if k != "record_column"}


def with_record_column(columns: Sequence[str] | None, options: dict[str, Any]) -> list[str] | None:
    """Listed columns with the record-name column in front, unless listed."""
    if columns is None:
        return None
    name = options.get("record_column")
    return list(columns) if name is None or name in columns else [name, *columns]
