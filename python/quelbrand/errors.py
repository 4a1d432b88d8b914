"""The package's errors, and the test for the native module's XML errors.

Every other module of the package takes these from here, never from the
package's face, so that importing any one of them runs no import back up.
"""

from __future__ import annotations

import importlib
import os
import sys
import warnings
from types import FrameType, ModuleType

__all__ = [
    "ConversionError",
    "FlatteningWarning",
    "MissingExtraError",
    "have_pyarrow",
    "is_xml_error",
    "loss_message",
    "require_extra",
    "warn_loss",
]

# The fixed start of every message the native module gives an XML failure.
XML_ERROR_PREFIX = "failed to parse XML file '"


class MissingExtraError(ImportError):
    """An optional dependency is not installed; the message names the extra
    that provides it."""


class Misguessed(Exception):
    """A reading with a schema guessed from the file's first records met a
    record outside it: what was made of it is thrown away."""


class ConversionError(ValueError):
    """A table cannot be made as asked: the input can be read only once where
    the output needs two passes, the output format is unknown, or a batch does
    not fit the requested columns. A ValueError, like the module's own XML
    errors, so one `except ValueError` catches both."""


class FlatteningWarning(UserWarning):
    """A flat reading lost values: a repeated element whose value a later
    one with the same column replaced, or the text of an element that also
    has child elements (such text is never a value). Given once per reading
    of a table, with the counts; reading with nested=True keeps every value.
    Silence it with
    `warnings.filterwarnings("ignore", category=quelbrand.FlatteningWarning)`."""


def loss_message(values: int, records: int, total: int | None, how: str = "read with nested=True") -> str:
    """What a flat reading lost, in words: `values` in `records` of `total`
    records (None: not known), and `how` to keep them."""
    of = "" if total is None else f" of {total:,}"
    noun = "value" if values == 1 else "values"
    rows = "record" if (records if total is None else total) == 1 else "records"
    return (
        f"flat reading dropped {values:,} {noun} in {records:,}{of} {rows} "
        f"(repeated elements or text beside child elements); {how} to keep every value"
    )


def warn_loss(values: int, records: int, total: int | None, where: str = "") -> None:
    """Gives the FlatteningWarning for a reading that lost `values` in
    `records` of `total` records, pointed at the first caller outside this
    package (readings end deep inside generators of its own)."""
    package = os.path.dirname(__file__) + os.sep
    frame: FrameType | None = sys._getframe(0)
    level = 1
    while frame is not None and frame.f_code.co_filename.startswith(package):
        frame, level = frame.f_back, level + 1
    warnings.warn(FlatteningWarning(where + loss_message(values, records, total)), stacklevel=level)


# The libraries that take our batches as an Arrow stream raise its errors as
# their own exceptions, our message inside theirs.
_WRAPPERS = ("pyarrow", "polars", "duckdb", "_duckdb")


def is_xml_error(exc: BaseException) -> bool:
    """Whether `exc` is our report of a malformed or unreadable XML document:
    the ValueError that reading raises, whose message starts with "failed to
    parse XML file '", or the same message inside the exception of a library
    that read our Arrow stream (pyarrow's ArrowInvalid, a Polars or DuckDB
    error). A missing file is a FileNotFoundError instead."""
    if type(exc) is not ValueError and type(exc).__module__.split(".")[0] not in _WRAPPERS:
        return False
    # Ours from its start, or after the words a wrapper puts in front
    # ("got external error: ", "Invalid Input Error: ... failed: ValueError: ").
    text = str(exc)
    at = 0 if text.startswith(XML_ERROR_PREFIX) else text.find(": " + XML_ERROR_PREFIX) + 2
    if at == 1:
        return False
    # Then the path, and what went wrong.
    return "': " in text[at + len(XML_ERROR_PREFIX) :]


def have_pyarrow() -> bool:
    """Whether pyarrow can be imported."""
    try:
        import pyarrow  # type: ignore[import-untyped, unused-ignore]  # noqa: F401
    except ImportError:
        return False
    return True


def require_extra(module: str, extra: str, purpose: str) -> ModuleType:
    """Imports `module`, or raises MissingExtraError telling the user which
    extra of quelbrand_kernels to install for `purpose`."""
    try:
        return importlib.import_module(module)
    except ImportError as exc:
        raise MissingExtraError(
            f"{purpose} needs {module.split('.')[0]}, which is not installed; "
            f'install it with: pip install "quelbrand_kernels[{extra}]"'
        ) from exc
