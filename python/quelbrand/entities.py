"""The `entities=` and `dtd=` options of read_xml, convert and Dask, as the
native reader's keyword arguments."""

from __future__ import annotations

import os
from collections.abc import Mapping
from typing import Any


def entity_options(entities: Any = None, dtd: Any = None) -> dict[str, Any]:
    """The keyword arguments of quelbrand._native.open, discover and split
    for `entities` (None, "html" for the HTML named character references,
    or a mapping of name to replacement text, taken as it is) and `dtd` (a
    path to a local DTD file whose general entity declarations are read).
    A document's own DOCTYPE declarations are always read."""
    out: dict[str, Any] = {}
    if entities is None:
        pass
    elif isinstance(entities, str):
        if entities != "html":
            raise ValueError(f"entities must be 'html' or a mapping of name to text, not {entities!r}")
        out["html"] = True
    elif isinstance(entities, Mapping):
        given = dict(entities)
        for name, text in given.items():
            if not isinstance(name, str) or not isinstance(text, str):
                raise TypeError("entities must be a mapping of str to str")
        if given:
            out["entities"] = given
    else:
        raise TypeError(f"entities must be 'html' or a mapping of name to text, not {type(entities).__name__}")
    if dtd is not None:
        out["dtd"] = os.fsdecode(os.fspath(dtd))
    return out
