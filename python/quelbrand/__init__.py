"""Companion tools for quelbrand_kernels: a command line, Arrow and pandas
adapters, and helpers for scaling out on Dask. The native module's own
surface is untouched; everything here is built on it."""

from __future__ import annotations

import importlib
from types import ModuleType

__version__ = "0.1.0"

__all__ = ["MissingExtraError", "require_extra"]


class MissingExtraError(ImportError):
    """An optional dependency is not installed; the message names the extra
    that provides it."""


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
