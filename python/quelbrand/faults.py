"""The first fault in a file, whichever pass meets a fault first.

A pass that skims text (finding the columns, the record shape, or the
split points) sees only markup, so where it fails on markup a fault in text
before it (an undeclared entity, bytes the encoding cannot decode) is the
one the file holds first. Where such a pass fails, the same pass is made
again checking text, up to its fault, and the earlier of the two faults, by
byte position, is the one raised.
"""

from __future__ import annotations

import re
from collections.abc import Callable, Iterable, Sequence
from typing import Any

import quelbrand._native as _native
from quelbrand.errors import is_xml_error

__all__ = ["first_fault", "input_fault", "range_fault"]

# Where a message places its fault: "... at line L, byte B" or "... at byte B".
_BYTE = re.compile(r" at (?:line \d+, )?byte (\d+)")


def _byte(error: BaseException) -> int | None:
    found = _BYTE.findall(str(error))
    return int(found[-1]) if found else None


def _earlier(fault: BaseException | None, error: BaseException) -> BaseException:
    """`fault` where it lies before `error` in the file (or where they are
    one), else `error`."""
    if fault is None or not is_xml_error(fault):
        return error
    at, limit = _byte(fault), _byte(error)
    return fault if at is not None and (limit is None or at <= limit) else error


def _checked(source: Any, attributes: bool, nested: Any, keywords: dict[str, Any]) -> BaseException | None:
    """The fault a pass over `source` that checks text meets, or None: the
    flat discovery with its text checked, or with `nested` (the text_of
    names, or True) the nested one with types, which reads every value."""
    try:
        if nested is None or nested is False:
            _native.discover(source, check_text=True, attributes=attributes, **keywords)
        else:
            text_of = None if nested is True else nested
            _native.discover_nested(source, types=True, attributes=attributes, text_of=text_of, **keywords)
    except ValueError as fault:
        if is_xml_error(fault):
            return fault
        raise
    return None


def input_fault(
    source: Any, error: BaseException, attributes: bool, options: dict[str, Any] | None, nested: Any = None
) -> BaseException:
    """The first fault of the document `source` (what the native reader
    takes), where a skim of it failed with `error`; `options` are the
    reader's keywords for entities and records, `nested` as for range_fault."""
    if not is_xml_error(error):
        return error
    return _earlier(_checked(source, attributes, nested, dict(options or {})), error)


def range_fault(part: Any, attributes: bool = False, nested: Any = None) -> BaseException | None:
    """The first XML fault that a pass over `part` (a quelbrand.split.Range)
    that checks text meets, or None. `nested`: read as nested records, with
    these text_of names (True: none)."""
    return _checked(part.source(), attributes, nested, part.where())


def first_fault(
    parts: Sequence[Any],
    error: BaseException,
    attributes: bool = False,
    run: Callable[[Callable[[Any], BaseException | None], Sequence[Any]], Iterable[BaseException | None]] = map,
    nested: Any = None,
) -> BaseException:
    """The first fault of a file whose survey, skimming text, failed with
    `error` after the ranges `parts` (the last one from the failed piece's
    start): the first that checking their text meets (`run` maps
    range_fault over them, results in order), else `error`."""
    if not is_xml_error(error):
        return error
    for fault in run(lambda part: range_fault(part, attributes, nested), parts):
        if fault is not None:
            return _earlier(fault, error)
    return error
