"""A minimal text progress bar for a terminal.

It redraws one line in place with a carriage return, at most every
`interval` seconds, so that a fast stream of updates costs next to nothing
and the terminal is not flooded. The last state is always drawn on close.
"""

from __future__ import annotations

import time
from collections.abc import Callable
from types import TracebackType
from typing import TextIO

__all__ = ["ProgressBar"]


class ProgressBar:
    """Counts rows towards `total` and draws `label |####....| done/total pct%`
    on `stream`. With `stream` None it only counts. With `unit="bytes"` it
    counts bytes and shows them in MB; with `total` None (a pipe, whose size
    is unknown) it shows only what is done."""

    def __init__(
        self,
        stream: TextIO | None,
        total: int | None,
        label: str,
        *,
        unit: str = "rows",
        width: int = 30,
        interval: float = 0.1,
        clock: Callable[[], float] = time.monotonic,
    ) -> None:
        self.stream = stream
        self.total = total
        self.unit = unit
        self.label = label
        self.done = 0
        self._width = width
        self._interval = interval
        self._clock = clock
        self._last_draw = clock()
        self._closed = False
        self._draw()

    def advance(self, rows: int) -> None:
        self.done += rows
        if self._clock() - self._last_draw >= self._interval:
            self._draw()

    def update(self, done: int) -> None:
        """Sets how much is done, for callers that know the position."""
        self.advance(done - self.done)

    def close(self) -> None:
        """Draws the final state and ends the line; later calls do nothing."""
        if self._closed:
            return
        self._closed = True
        self._draw()
        if self.stream is not None:
            self.stream.write("\n")
            self.stream.flush()

    def __enter__(self) -> ProgressBar:
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        self.close()

    def _draw(self) -> None:
        self._last_draw = self._clock()
        if self.stream is None:
            return
        if self.total is None:
            self.stream.write(f"\r{self.label} {self._amount(self.done)}{self._suffix()}")
            self.stream.flush()
            return
        # Rows delivered can differ from the record count (a batch whose
        # records have no values has no rows to count); stay within the bar.
        fraction = min(self.done / self.total, 1.0) if self.total > 0 else 1.0
        filled = int(fraction * self._width)
        bar = "#" * filled + "." * (self._width - filled)
        amounts = f"{self._amount(self.done)}/{self._amount(self.total)}{self._suffix()}"
        self.stream.write(f"\r{self.label} |{bar}| {amounts} {int(fraction * 100):3d}%")
        self.stream.flush()

    def _amount(self, n: int) -> str:
        return f"{n / 1e6:.1f}" if self.unit == "bytes" else str(n)

    def _suffix(self) -> str:
        return " MB" if self.unit == "bytes" else ""


class Phase:
    def __init__(self, bar: ProgressBar):
        self._bar = bar

    def update(self, done: int, rows: int | None = None) -> None:
        self._bar.update(done)

    def close(self) -> None:
        self._bar.close()

    def __enter__(self) -> Phase:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


class Progress:
    def __init__(self, stream: TextIO | None, *, clock: Callable[[], float] = time.monotonic, interval: float = 0.2):
        self.stream = stream

    def phase(self, label: str, total: int | None = None, *, done: Callable[[], int] | None = None) -> Phase:
        return Phase(ProgressBar(self.stream, total, label, unit="bytes"))

    def summary(self, *, rows: int, columns: int, bytes_written: int) -> None:
        pass
