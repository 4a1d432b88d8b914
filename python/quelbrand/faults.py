"""The first fault in a file, whichever pass meets a fault first.

A pass that skims text (finding the columns, the record shape, or the
split points) sees only markup, so where it fails on markup a fault in text
before it (an undeclared entity, bytes the encoding cannot decode) is the
one the file holds first. Where such a pass fails, the values are read up to
its fault, and the first fault that reading meets is the one raised: never
later than the skim's, since reading values checks everything a skim does.
"""

from __future__ import annotations

from collections.abc import Callable, Iterable, Sequence
from typing import Any

import quelbrand._native as _native
from quelbrand.errors import is_xml_error

__all__ = ["first_fault", "input_fault", "range_fault", "reading_fault"]

# Batches are dropped as they come: large ones cost fewer calls.
_ROWS = 1 << 16


def _values_options(options: dict[str, Any] | None) -> dict[str, Any]:
    # A record-name column that clashes is a fault of the options, not of
    # the bytes, and has no place in the file to compare.
    return {k: v for k, v in (options or {}).items() if k != "record_column"}


def reading_fault(batches: Callable[[], Iterable[Any]]) -> BaseException | None:
    """The XML fault that reading `batches()` through raises, or None."""
    try:
        for _ in batches():
            pass
    except ValueError as error:
        if is_xml_error(error):
            return error
        raise
    return None


def input_fault(source: Any, error: BaseException, attributes: bool, options: dict[str, Any] | None) -> BaseException:
    """The first fault of the document `source` (what the native reader
    takes), where a skim of it failed with `error`."""
    if not is_xml_error(error):
        return error
    opened = lambda: _native.open(source, _ROWS, attributes=attributes, **_values_options(options))  # noqa: E731
    return reading_fault(opened) or error


def range_fault(part: Any, attributes: bool = False) -> BaseException | None:
    """The first XML fault that a reading of the values of `part` (a
    quelbrand.split.Range) meets, or None."""
    where = _values_options(part.where())
    return reading_fault(lambda: _native.open(part.source(), _ROWS, attributes=attributes, **where))


def first_fault(
    parts: Sequence[Any],
    error: BaseException,
    attributes: bool = False,
    run: Callable[[Callable[[Any], BaseException | None], Sequence[Any]], Iterable[BaseException | None]] = map,
) -> BaseException:
    """The first fault of a file whose survey, skimming text, failed with
    `error` after the ranges `parts` (the last one from the failed piece's
    start): the first that reading their values meets (`run` maps
    range_fault over them, results in order), else `error`."""
    if not is_xml_error(error):
        return error
    for fault in run(lambda part: range_fault(part, attributes), parts):
        if fault is not None:
            return fault
    return error
