"""Companion tools for quelbrand_kernels: XML files as Arrow tables
(`read_xml`), a command line, Arrow and pandas adapters, and helpers for
scaling out on Dask. The native module's own surface is untouched; the
tables come from a companion extension built on the same XML core."""

from __future__ import annotations

from quelbrand._version import __version__ as __version__

__all__ = [
    "ConversionError",
    "FlatteningWarning",
    "MissingExtraError",
    "NestedTable",
    "XmlTable",
    "is_xml_error",
    "read_xml",
    "require_extra",
]

from quelbrand.errors import ConversionError, FlatteningWarning, MissingExtraError, is_xml_error, require_extra
from quelbrand.nested import NestedTable
from quelbrand.reader import XmlTable, read_xml
