"""Progress lines and the summary, on a StringIO with a clock the test moves."""

import io
import re
import threading

import pytest

from quelbrand.progress import Progress

HANG_GUARD = 60  # seconds; only a fault waits this long
MB = 1_000_000


class Clock:
    def __init__(self):
        self.now = 100.0

    def __call__(self):
        return self.now


def draws(stream):
    """Each state drawn, as the terminal would show it last."""
    return [d.rstrip(" \n") for d in stream.getvalue().split("\r")[1:]]


def make(interval=0.2):
    clock, stream = Clock(), io.StringIO()
    return Progress(stream, clock=clock, interval=interval), clock, stream


def test_redraws_at_most_every_interval_and_always_at_close():
    progress, clock, stream = make(interval=0.25)
    with progress.phase("finding columns", 1000 * MB) as phase:
        for i in range(100):
            phase.update(i * MB)  # no time passes: no redraw
        clock.now += 0.125
        phase.update(200 * MB)
        clock.now += 0.125
        phase.update(300 * MB)
    amounts = [re.search(r"\S+ MB", d).group() for d in draws(stream)]
    assert amounts == ["0.0/1000.0 MB", "300.0/1000.0 MB", "300.0/1000.0 MB"]
    assert stream.getvalue().endswith("\n") and stream.getvalue().count("\n") == 1


@pytest.mark.parametrize(
    "total, rows, expected",
    [
        (1000 * MB, 5000, "writing CSV  [####................]  20%  200.0/1000.0 MB  5,000 rows  20.0 MB/s  ETA 0:40"),
        (1000 * MB, None, "writing CSV  [####................]  20%  200.0/1000.0 MB  20.0 MB/s  ETA 0:40"),
        (None, 1, "writing CSV  200.0 MB  1 row  20.0 MB/s"),
        # A total taken before the pass may be passed; the bar stays whole.
        (100 * MB, None, "writing CSV  [####################] 100%  200.0/100.0 MB  20.0 MB/s  ETA 0:00"),
        (0, None, "writing CSV  [####################] 100%  200.0/0.0 MB  20.0 MB/s  ETA 0:00"),
    ],
)
def test_line(total, rows, expected):
    progress, clock, stream = make()
    phase = progress.phase("writing CSV", total)
    clock.now += 10
    phase.update(200 * MB, rows=rows)
    assert draws(stream)[-1] == expected


def test_the_rate_is_recent_and_the_closing_line_gives_the_average():
    progress, clock, stream = make()
    with progress.phase("decompressing", 2000 * MB) as phase:
        done = 0
        for speed in [100] * 10 + [10] * 10:  # MB/s, a second at a time
            clock.now += 1
            done += speed * MB
            phase.update(done)
        # 10 MB/s lately, whatever the first seconds did: 900 MB left take 90 s.
        assert draws(stream)[-1].endswith("1100.0/2000.0 MB  10.0 MB/s  ETA 1:30")
    assert draws(stream)[-1] == "decompressing  [###########.........]  55%  1100.0/2000.0 MB  55.0 MB/s  20.0 s"


def test_a_shorter_line_clears_the_longer_one_before_it():
    progress, clock, stream = make()
    with progress.phase("spooling stdin") as phase:
        clock.now += 1
        phase.update(1000 * MB)
        clock.now += 999
        phase.update(1001 * MB)
    segments = stream.getvalue().split("\r")
    assert segments[2] == "spooling stdin  1000.0 MB  1000.0 MB/s"
    assert segments[3] == "spooling stdin  1001.0 MB  0.0 MB/s   "


def test_an_interrupted_phase_draws_where_it_stopped():
    progress, clock, stream = make()
    with pytest.raises(KeyboardInterrupt):
        with progress.phase("finding types", 100 * MB) as phase:
            clock.now += 2
            phase.update(50 * MB)
            raise KeyboardInterrupt
    assert draws(stream)[-1] == "finding types  [##########..........]  50%  50.0/100.0 MB  25.0 MB/s  2.0 s"
    phase.close()  # again: nothing more
    assert stream.getvalue().count("\n") == 1


def test_a_done_callable_is_polled_until_the_phase_closes():
    clock, stream = Clock(), io.StringIO()

    def ticking():
        clock.now += 1  # every look at the clock is a second later
        return clock.now

    progress = Progress(stream, clock=ticking, interval=0.001)
    polled, enough = [], threading.Event()

    def done():
        polled.append(len(polled) + 1)
        if len(polled) >= 3:
            enough.set()
        return len(polled) * MB

    phase = progress.phase("finding columns", 100 * MB, done=done)
    assert enough.wait(HANG_GUARD)
    phase.close()
    count = len(polled)
    assert not any(t.name == "progress: finding columns" for t in threading.enumerate())
    assert polled == list(range(1, count + 1))
    assert f"{count:.1f}/100.0 MB" in draws(stream)[-1]


def test_without_a_stream_nothing_is_drawn_and_nothing_polled():
    def done():
        raise AssertionError("polled")

    threads = threading.active_count()
    progress = Progress(None)
    with progress.phase("writing Parquet", 10, done=done) as phase:
        assert threading.active_count() == threads
        phase.update(5, rows=1)
    progress.summary(rows=1, columns=1, bytes_written=1)


@pytest.mark.parametrize(
    "rows, columns, written, expected",
    [
        (1_234_567, 40, 812_300_000, "wrote 1,234,567 rows × 40 columns, 812.3 MB in 9.8 s"),
        (1, 1, 999, "wrote 1 row × 1 column, 999 B in 9.8 s"),
        (0, 0, 0, "wrote 0 rows × 0 columns, 0 B in 9.8 s"),
        (2, 3, 1_500, "wrote 2 rows × 3 columns, 1.5 kB in 9.8 s"),
        (2, 3, 12_345_000_000_000, "wrote 2 rows × 3 columns, 12345.0 GB in 9.8 s"),
    ],
)
def test_summary(rows, columns, written, expected):
    progress, clock, stream = make()
    clock.now += 9.8
    progress.summary(rows=rows, columns=columns, bytes_written=written)
    assert stream.getvalue() == expected + "\n"


def test_summary_on_a_stream_that_cannot_encode_the_times_sign():
    stream = io.TextIOWrapper(io.BytesIO(), encoding="ascii")
    clock = Clock()
    progress = Progress(stream, clock=clock)
    progress.summary(rows=2, columns=3, bytes_written=0)
    stream.seek(0)
    assert stream.read() == "wrote 2 rows x 3 columns, 0 B in 0.0 s\n"
