"""Progress of a conversion on a terminal: one line per pass, and a summary.

Hand-made rather than built on a progress library: the line is a few dozen
lines of formatting, `pip install .` keeps needing nothing at run time, and
the clock must be one the tests can drive, which such libraries take no
argument for.

A `Progress` draws, for each pass it is asked for (`phase`), one line
redrawn in place with a carriage return at most every `interval` seconds, so
a fast stream of updates costs a clock call each and the terminal is not
flooded:

    writing CSV  [#########...........]  45%  365.4/812.3 MB  1,234,567 rows  81.2 MB/s  ETA 0:06

The bar, the percentage and the ETA need the pass's total bytes; rows are
shown once the pass reports them. The rate is that of the last few seconds,
so the ETA follows a pass that speeds up or slows down. A closed phase draws
its final state with the pass's average rate and its duration, and ends its
line. One phase is drawn at a time. With no stream nothing is drawn, no
thread is started, and an update returns at once.
"""

from __future__ import annotations

import collections
import contextlib
import os
import threading
import time
from collections.abc import Callable
from types import TracebackType
from typing import TextIO

__all__ = ["Phase", "Progress"]

BAR_WIDTH = 20

# The rate is measured over about this many seconds of the latest draws.
RATE_WINDOW = 5.0


class Progress:
    """Progress lines for the passes of one conversion, drawn on `stream`
    (None: nothing is drawn), and its closing summary."""

    def __init__(
        self, stream: TextIO | None, *, clock: Callable[[], float] = time.monotonic, interval: float = 0.2
    ) -> None:
        self.stream = stream
        self.clock = clock
        self.interval = interval
        self.started = clock()

    def phase(self, label: str, total: int | None = None, *, done: Callable[[], int] | None = None) -> Phase:
        """A line for one pass over `total` bytes (None: unknown, as for a
        pipe). With `done`, a background thread polls it every `interval`
        for the bytes done, for a pass that cannot report them itself
        (one that blocks inside native code); it stops when the phase
        closes."""
        return Phase(self, label, total, done)

    def summary(self, *, rows: int, columns: int, bytes_written: int) -> None:
        """Prints the closing line: what was written, and how long it took
        since the Progress was made."""
        if self.stream is None:
            return
        elapsed = self.clock() - self.started
        times = "×" if _can_encode(self.stream, "×") else "x"
        self.stream.write(
            f"wrote {_count(rows, 'row')} {times} {_count(columns, 'column')}, "
            f"{_size(bytes_written)} in {elapsed:.1f} s\n"
        )
        self.stream.flush()


class Phase:
    """One pass's line; a context manager that closes it on the way out."""

    def __init__(self, progress: Progress, label: str, total: int | None, done: Callable[[], int] | None) -> None:
        self._stream = progress.stream
        self._clock = progress.clock
        self._interval = progress.interval
        self.label = label
        self.total = total
        self.done = 0
        self.rows: int | None = None
        self._closed = False
        if self._stream is None:
            return
        self._lock = threading.Lock()
        self._started = self._last_draw = self._clock()
        self._samples: collections.deque[tuple[float, int]] = collections.deque([(self._started, 0)])
        self._drawn_width = 0
        self._draw(self._started)
        self._stop = threading.Event()
        self._poller: threading.Thread | None = None
        if done is not None:
            self._poller = threading.Thread(target=self._poll, args=(done,), name=f"progress: {label}", daemon=True)
            self._poller.start()

    def update(self, done: int, rows: int | None = None) -> None:
        """Sets the bytes done so far and, if known, the rows so far (both
        absolute); redraws if `interval` has passed since the last draw."""
        if self._stream is None:
            return
        self.done = done
        if rows is not None:
            self.rows = rows
        now = self._clock()
        if now - self._last_draw >= self._interval:
            self._draw(now)

    def close(self) -> None:
        """Stops the poller, draws the final state and ends the line; later
        calls do nothing."""
        if self._closed:
            return
        self._closed = True
        if self._stream is None:
            return
        if self._poller is not None:
            self._stop.set()
            self._poller.join()
        self._draw(self._clock(), final=True)
        self._stream.write("\n")
        self._stream.flush()

    def __enter__(self) -> Phase:
        return self

    def __exit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None
    ) -> None:
        self.close()

    def _poll(self, done: Callable[[], int]) -> None:
        while not self._stop.wait(self._interval):
            self.update(done())

    def _draw(self, now: float, final: bool = False) -> None:
        assert self._stream is not None
        with self._lock:
            if self._closed and not final:
                return  # a poll that raced the close
            self._last_draw = now
            line = self._line(now, final)
            width = _terminal_width(self._stream)
            if width is not None:
                line = line[: width - 1]
            # Spaces clear what is left of a longer line drawn before.
            self._stream.write("\r" + line + " " * max(self._drawn_width - len(line), 0))
            self._stream.flush()
            self._drawn_width = len(line)

    def _line(self, now: float, final: bool) -> str:
        parts = [self.label]
        total = self.total
        if total is not None:
            # A total taken before the pass (a file's size) may be passed.
            fraction = min(self.done / total, 1.0) if total > 0 else 1.0
            filled = int(fraction * BAR_WIDTH)
            parts.append(f"[{'#' * filled}{'.' * (BAR_WIDTH - filled)}] {int(fraction * 100):3d}%")
            parts.append(f"{self.done / 1e6:.1f}/{total / 1e6:.1f} MB")
        else:
            parts.append(f"{self.done / 1e6:.1f} MB")
        if self.rows is not None:
            parts.append(_count(self.rows, "row"))
        if final:
            elapsed = now - self._started
            if elapsed > 0:
                parts.append(f"{self.done / elapsed / 1e6:.1f} MB/s")
            parts.append(f"{elapsed:.1f} s")
            return "  ".join(parts)
        rate = self._rate(now)
        if rate is not None:
            parts.append(f"{rate / 1e6:.1f} MB/s")
            if total is not None and rate > 0:
                parts.append(f"ETA {_duration(max(total - self.done, 0) / rate)}")
        return "  ".join(parts)

    def _rate(self, now: float) -> float | None:
        """Bytes a second over the last RATE_WINDOW seconds of draws."""
        samples = self._samples
        samples.append((now, self.done))
        while len(samples) > 2 and now - samples[1][0] >= RATE_WINDOW:
            samples.popleft()
        then, done_then = samples[0]
        if now <= then:
            return None
        return (self.done - done_then) / (now - then)


def _count(n: int, noun: str) -> str:
    return f"{n:,} {noun}{'' if n == 1 else 's'}"


def _size(n: int) -> str:
    """Bytes in decimal units, as the progress lines count them."""
    if n < 1000:
        return f"{n} B"
    for unit, scale in (("kB", 1e3), ("MB", 1e6), ("GB", 1e9)):
        if n < scale * 1000 or unit == "GB":
            return f"{n / scale:.1f} {unit}"
    raise AssertionError("unreachable")


def _duration(seconds: float) -> str:
    whole = int(seconds + 0.5)
    hours, rest = divmod(whole, 3600)
    minutes, secs = divmod(rest, 60)
    return f"{hours}:{minutes:02d}:{secs:02d}" if hours else f"{minutes}:{secs:02d}"


def _terminal_width(stream: TextIO) -> int | None:
    """The width of the terminal `stream` draws on; None if it is not one,
    and then lines are not cut."""
    with contextlib.suppress(AttributeError, OSError, ValueError):
        if stream.isatty():
            return os.get_terminal_size(stream.fileno()).columns
    return None


def _can_encode(stream: TextIO, text: str) -> bool:
    encoding = getattr(stream, "encoding", None) or "utf-8"
    try:
        text.encode(encoding)
    except (UnicodeEncodeError, LookupError):
        return False
    return True
