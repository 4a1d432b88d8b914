"""gzip and bzip2 documents decompressed on several threads, and split.

The decompressor is chosen by what is installed (the `compressed` extra):
gzip by `rapidgzip`, bzip2 by `indexed_bzip2`, both parallel and seekable;
without them the standard library, or `isal` for gzip when present.
`threads` caps the decompression threads of one reading.

A compressed file can be entered in the middle only through an index of
places where decompression can start. One pass over the file builds it:
rapidgzip's seek points, indexed_bzip2's block offsets, or, with the
standard library alone, the starts of the file's independent streams (a
multistream bzip2 file, concatenated gzip members). The index travels with
the split survey and its ranges, so every piece and partition seeks
through it instead of decompressing from the start or building its own.
Offsets in the index, the split points and the ranges are decompressed
bytes; progress counts compressed ones.

A cut-off or damaged archive is a ConversionError that names the file,
whatever the decompressor.
"""

from __future__ import annotations

import atexit
import bisect
import contextlib
import dataclasses
import importlib
import io
import mmap
import os
import re
import threading
import weakref
import zlib
from concurrent.futures import ThreadPoolExecutor
from typing import Any

from quelbrand.errors import ConversionError
from quelbrand.inputs import Input, codec_of

__all__ = [
    "CompressedPath",
    "Index",
    "Reading",
    "backend",
    "build_index",
    "guess",
    "index_of",
    "open_reading",
    "splittable",
]

# The codecs that can be read in parallel and split.
CODECS = ("gzip", "bzip2")
_FAST = {"gzip": "rapidgzip", "bzip2": "indexed_bzip2"}

# Compressed bytes read at a time by the standard library's index pass; small
# enough that what one piece decompresses to stays modest.
_RAW_PIECE = 1 << 16
# Bytes after a guessed piece start searched for a record's end.
_WINDOW = 1 << 20


def _module(name: str) -> Any:
    """The module `name`, or None when it is not installed (tests replace
    this to force the standard library)."""
    try:
        return importlib.import_module(name)
    except ImportError:
        return None


def backend(codec: str) -> str:
    """The decompressor a reading of `codec` uses here: "rapidgzip",
    "indexed_bzip2", "isal" or "stdlib"."""
    fast = _FAST.get(codec)
    if fast is not None and _module(fast) is not None:
        return fast
    if codec == "gzip" and _module("isal.igzip") is not None:
        return "isal"
    return "stdlib"


def codec_of_path(path: str) -> str | None:
    """The compression of the regular file at `path` when it is one this
    module reads (gzip or bzip2), else None."""
    try:
        with open(path, "rb") as file:
            codec = codec_of(file.read(8))
    except OSError:
        return None
    return codec if codec in CODECS else None


# ---- Readings ---------------------------------------------------------------------------

# The parallel decompressors' files still open: their threads must be
# stopped before the interpreter goes, or it aborts.
_LIVE: weakref.WeakSet[Reading] = weakref.WeakSet()
_LIVE_LOCK = threading.Lock()


@atexit.register
def _close_all() -> None:
    with _LIVE_LOCK:
        live = list(_LIVE)
    for reading in live:
        with contextlib.suppress(Exception):
            reading.close()


def _decompression_errors() -> tuple[type[BaseException], ...]:
    # The standard library's codecs are imported where used, as they load
    # shared libraries of their own that a plain file never needs.
    import gzip

    errors: list[type[BaseException]] = [EOFError, RuntimeError, zlib.error, gzip.BadGzipFile]
    isal_zlib = _module("isal.isal_zlib")
    if isal_zlib is not None:
        errors.append(isal_zlib.error)
    return tuple(errors)


def cut_off(name: str, codec: str, exc: BaseException) -> ConversionError:
    """The error for an archive that cannot be decompressed to its end."""
    return ConversionError(
        f"cannot decompress {name!r} ({codec}): the archive is cut off or damaged ({exc or type(exc).__name__})"
    )


def check_used(path: str, codec: str, used: int) -> None:
    """Raises when a decompressor that reached its end used only `used` of
    the file's compressed bytes, and what it left is not zero padding."""
    size = os.path.getsize(path)
    if used >= size:
        return
    with open(path, "rb") as file:
        file.seek(used)
        rest = file.read(1 << 16)
    if size - used > len(rest) or rest.strip(b"\x00"):
        raise cut_off(path, codec, EOFError(f"the stream ends at byte {used} of {size}"))


class Reading:
    """A compressed file read as its decompressed bytes, seekable where its
    decompressor is (the parallel ones, or the standard library's through an
    index of streams). `raw_position` is how far the compressed bytes have
    been read, for progress."""

    def __init__(self, inner: Any, raw: Any, name: str, codec: str, kind: str):
        self.name = name
        self.codec = codec
        self.kind = kind
        self._inner = inner
        self._raw = raw  # the compressed file, where the library does not hold it
        # OSError too: bz2 reports bad data so, without an errno.
        self._errors: tuple[type[BaseException], ...] = (*_decompression_errors(), OSError)
        self._closed = False
        self._ended = False  # read to the end
        if kind in _FAST.values():
            with _LIVE_LOCK:
                _LIVE.add(self)

    def _failed(self, exc: BaseException) -> BaseException:
        if isinstance(exc, OSError) and exc.errno is not None:
            return exc  # the file's own failure, not its content
        return cut_off(self.name, self.codec, exc)

    def _at_end(self) -> None:
        """At the end of the decompressed bytes: rapidgzip ends quietly
        where a cut-off file does, having used fewer compressed bytes than
        the file has, which is the sign (past any zero padding)."""
        self._ended = True
        if self.kind == "rapidgzip":
            used = -(-int(self._inner.tell_compressed()) // 8)
            check_used(self.name, self.codec, used)

    def read(self, size: int = -1) -> bytes:
        try:
            data: bytes = self._inner.read(size)
            if not data and size != 0 and not self._ended:
                self._at_end()
            return data
        except self._errors as exc:
            failed = self._failed(exc)
            if failed is exc:
                raise
            raise failed from exc

    def readinto(self, buffer: Any) -> int:
        try:
            got: int = self._inner.readinto(buffer)
            if got == 0 and len(memoryview(buffer)) > 0 and not self._ended:
                self._at_end()
            return got
        except self._errors as exc:
            failed = self._failed(exc)
            if failed is exc:
                raise
            raise failed from exc

    def seekable(self) -> bool:
        return True

    def seek(self, offset: int, whence: int = io.SEEK_SET) -> int:
        self._ended = False
        try:
            at: int = self._inner.seek(offset, whence)
            return at
        except self._errors as exc:
            failed = self._failed(exc)
            if failed is exc:
                raise
            raise failed from exc

    def tell(self) -> int:
        at: int = self._inner.tell()
        return at

    @property
    def raw_position(self) -> int | None:
        with contextlib.suppress(Exception):
            if self.kind not in _FAST.values():
                return None if self._raw is None else int(self._raw.tell())
            if self._ended:
                return os.path.getsize(self.name)
            at = int(self._inner.tell_compressed()) // 8
            if at == 0 and self._inner.tell() > 0:
                # A parallel reader may not say; the last block it started
                # is near enough.
                done = self._inner.tell()
                at = max(
                    (bits // 8 for bits, out in self._inner.available_block_offsets().items() if out <= done), default=0
                )
            return at
        return None

    def close(self) -> None:
        if self._closed:
            return
        self._closed = True
        with contextlib.suppress(Exception):
            self._inner.close()
        if self._raw is not None:
            with contextlib.suppress(Exception):
                self._raw.close()

    def __enter__(self) -> Reading:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        with contextlib.suppress(Exception):
            self.close()


def _threads(threads: int | None) -> int:
    from quelbrand.parallel import checked_threads

    return checked_threads(threads)


def _stdlib_file(raw: Any, codec: str, kind: str) -> Any:
    if codec == "bzip2":
        import bz2

        return bz2.BZ2File(raw, "rb")
    if kind == "isal":
        return _module("isal.igzip").IGzipFile(fileobj=raw, mode="rb")
    import gzip

    return gzip.GzipFile(fileobj=raw, mode="rb")


def stream_file(raw: Any, codec: str) -> Any:
    """A streaming decompressor of `codec` over the compressed stream
    `raw`: isal's for gzip when present, else the standard library's."""
    return _stdlib_file(raw, codec, backend(codec) if codec == "gzip" else "stdlib")


def _parallel(threads: int | None, beside_parser: bool = True) -> int:
    """The decompressor's threads out of `threads`: one is the parser's,
    and on two cores a second decompressing thread costs more than it
    gives (measured: rapidgzip's parallel decoding takes twice the CPU of
    its sequential one, indexed_bzip2's a third more)."""
    n = _threads(threads)
    if n <= 2:
        return 1
    return n - 1 if beside_parser else n


def open_reading(
    path: str,
    codec: str,
    threads: int | None = None,
    *,
    kind: str | None = None,
    whole: bool = False,
    alone: bool = False,
) -> Reading:
    """The compressed file at `path` read from its start, on up to
    `threads` threads where its decompressor is parallel. A `whole`
    reading, which never seeks, of gzip on one or two threads is isal's
    where present: a sequential decoder that costs a fraction of the
    others'. A reading `alone` has no parser beside it to leave a core to."""
    if kind is None:
        kind = backend(codec)
        if whole and kind == "rapidgzip" and _threads(threads) <= 2 and _module("isal.igzip") is not None:
            kind = "isal"
    if kind in _FAST.values():
        module = _module(kind)
        opener = module.RapidgzipFile if kind == "rapidgzip" else module.IndexedBzip2File
        try:
            return Reading(
                opener(path, parallelization=_parallel(threads, beside_parser=not alone)), None, path, codec, kind
            )
        except (RuntimeError, ValueError) as exc:
            raise cut_off(path, codec, exc) from exc
    raw = open(path, "rb")  # noqa: SIM115
    return Reading(_stdlib_file(raw, codec, kind), raw, path, codec, kind)


# ---- The index --------------------------------------------------------------------------


@dataclasses.dataclass(frozen=True)
class Index:
    """Where decompression of one compressed file can start: `points` are
    the decompressed offsets of those places, `size` the decompressed size.
    `data` is the decompressor's own index (rapidgzip's exported index,
    indexed_bzip2's block offsets, or the (compressed, decompressed)
    offsets of the streams). Small enough to travel with every task."""

    codec: str
    kind: str
    size: int
    points: tuple[int, ...]
    data: Any

    def open(self, path: str, threads: int | None = 1) -> Any:
        """A seekable reading of the file at `path` through the index."""
        if self.kind == "streams":
            return _Streams(path, self.codec, self.data)
        module = _module(self.kind)
        if module is None:
            raise ConversionError(f"{path!r} was indexed with {self.kind}, which is not installed here")
        reading = open_reading(path, self.codec, threads, kind=self.kind)
        try:
            if self.kind == "rapidgzip":
                reading._inner.import_index(io.BytesIO(self.data))
            else:
                reading._inner.set_block_offsets(dict(self.data))
        except (RuntimeError, ValueError) as exc:
            reading.close()
            raise ConversionError(f"the index of {path!r} does not fit it: was it changed since? ({exc})") from exc
        return reading

    def near(self, offset: int, within: int) -> int:
        """The seek point at or before `offset` when it is `within` bytes
        of it, else `offset`: a piece that starts there decompresses hardly
        anything it does not read."""
        i = bisect.bisect_right(self.points, offset) - 1
        point = self.points[i] if i >= 0 else 0
        return point if 0 < point and offset - point <= within else offset


def build_index(path: str, codec: str, threads: int | None = None) -> Index | None:
    """One pass over the compressed file at `path` for its index, on up to
    `threads` threads; None where it has no place to start but its own
    start (a single stream read by the standard library)."""
    kind = backend(codec)
    if kind in _FAST.values():
        # Nothing else runs beside the index pass.
        with open_reading(path, codec, threads, kind=kind, alone=True) as reading:
            inner = reading._inner
            size = reading.seek(0, io.SEEK_END)
            try:
                if kind == "rapidgzip":
                    check_used(path, codec, -(-int(inner.tell_compressed()) // 8))
                offsets = inner.block_offsets()
                if kind == "rapidgzip":
                    out = io.BytesIO()
                    inner.export_index(out)
                    data: Any = out.getvalue()
                else:
                    data = dict(offsets)
            except (RuntimeError, ValueError) as exc:
                raise cut_off(path, codec, exc) from exc
        points = tuple(sorted(set(offsets.values())))
        return Index(codec, kind, size, points, data)
    streams = _stream_starts(path, codec, threads)
    if len(streams) < 3:
        return None  # one stream: no place to start but its own
    return Index(codec, "streams", streams[-1][1], tuple(d for _, d in streams[:-1]), tuple(streams[:-1]))


def index_of(path: str, threads: int | None = None) -> Index | None:
    """The index of the file at `path` when it is compressed as this module
    reads (None otherwise, or where it has no place to start but its own)."""
    codec = codec_of_path(path)
    return None if codec is None else build_index(path, codec, threads)


def splittable(path: str) -> bool:
    """Whether `path` is a regular gzip or bzip2 file, which may be split:
    always with the parallel decompressors; with the standard library when
    it holds several streams, which its index pass finds."""
    return os.path.isfile(path) and codec_of_path(path) is not None


def guess(
    path: str,
    blocksize: int,
    reader: dict[str, Any] | None = None,
    threads: int | None = None,
    index: Index | None = None,
) -> Any:
    """split.guess for a compressed file: the pieces' guessed starts in
    decompressed offsets, with the index they are read through (built here
    unless given). No guesses where split.guess would have none, or the
    file has no index."""
    import quelbrand._native as _native
    from quelbrand import split

    none = split.Guesses(path, [], [])
    if index is None:
        index = index_of(path, threads)
    if index is None or index.size < 2 * blocksize:
        return none
    size = index.size
    with index.open(path, threads) as reading:
        records = split._records_only(reader)
        _, head = _native.split(reading, split.HEAD_STEP, until=min(split.HEAD_BYTES, size), **records)
        if not head or _native.split_at(head[0][2], 0) is None:
            return none
        ends = [point[0] for point in head]
        reading.seek(0)
        names = split._record_names(reading.read(max(ends)), ends)
        if not names:
            return none
        offsets: list[int] = []
        width = min(blocksize, _WINDOW)
        for lo in range(blocksize, size, blocksize):
            begin = max(index.near(lo, blocksize // 2), offsets[-1] if offsets else 0)
            reading.seek(begin)
            window = reading.read(width + split.TAG_BYTES)
            at = split._first_record_end(window, names, 0, min(width, len(window)))
            if at is not None and begin + at < size and (not offsets or begin + at > offsets[-1]):
                offsets.append(begin + at)
    return split.Guesses.at(path, offsets, head[0][2], index)


# ---- Independent streams, with the standard library -------------------------------------


def _new_decompressor(codec: str) -> Any:
    if codec == "bzip2":
        import bz2

        return bz2.BZ2Decompressor()
    return zlib.decompressobj(wbits=31)


# A stream's first bytes: bzip2's header and first block's magic (an empty
# stream has no block and is not worth a start), gzip's header for deflate.
_STREAM_MAGIC = {"bzip2": re.compile(rb"BZh[1-9]1AY&SY"), "gzip": re.compile(rb"\x1f\x8b\x08")}
# Compressed bytes a candidate start must decompress without a fault.
_PLAUSIBLE = 1 << 12


def _plausible(data: Any, at: int, codec: str) -> bool:
    try:
        _new_decompressor(codec).decompress(bytes(data[at : at + _PLAUSIBLE]), _PLAUSIBLE)
        return True
    except (OSError, EOFError, ValueError, zlib.error):
        return False


def _stream_candidates(path: str, codec: str) -> list[int]:
    """Where the file's streams may begin, compressed, by their first bytes:
    candidates only, each proven when the stream before it ends there."""
    found = [0]
    with open(path, "rb") as file, mmap.mmap(file.fileno(), 0, access=mmap.ACCESS_READ) as data:
        for match in _STREAM_MAGIC[codec].finditer(data, 1):
            if _plausible(data, match.start(), codec):
                found.append(match.start())
    return found


def _decompressed_length(path: str, codec: str, begin: int, end: int | None) -> tuple[int, int, bool]:
    """The decompressed length of the streams from `begin` through the
    first that ends at or past `end`, where that one ends, and whether the
    file ends there."""
    total = 0
    with open(path, "rb") as file:
        file.seek(begin)
        at = begin
        decompressor = _new_decompressor(codec)
        data = b""
        while True:
            data = data or file.read(_RAW_PIECE)
            if not data:
                raise EOFError("the file ends inside a stream")
            total += len(decompressor.decompress(data))
            if not decompressor.eof:
                at += len(data)
                data = b""
                continue
            at += len(data) - len(decompressor.unused_data)
            data = decompressor.unused_data or file.read(_RAW_PIECE)
            if not data.strip(b"\x00"):
                return total, at, True  # the file's end, or gzip's zero padding
            if end is not None and at >= end:
                return total, at, False
            decompressor = _new_decompressor(codec)


def _stream_starts(path: str, codec: str, threads: int | None) -> list[tuple[int, int]]:
    """Some streams' (compressed, decompressed) starts, the first's (0, 0),
    and last the file's (compressed size, decompressed size); just that for
    a file of one stream. Candidate starts are grouped into runs decompressed
    at once; a run counts only where the decompression before it ended on
    its start, and is decompressed again from where it did end otherwise."""
    candidates = _stream_candidates(path, codec)
    if len(candidates) < 2:
        return [(0, 0)]
    size = os.path.getsize(path)
    jobs = _threads(threads)
    step = max(size // (jobs * 4), 1)
    runs = [0]
    for at in candidates[1:]:
        if at - runs[-1] >= step:
            runs.append(at)

    def run_end(at: int) -> int | None:
        j = bisect.bisect_right(runs, at)
        return runs[j] if j < len(runs) else None

    def measure(at: int) -> tuple[int, int, bool] | BaseException:
        try:
            return _decompressed_length(path, codec, at, run_end(at))
        except (EOFError, OSError, zlib.error, ValueError) as exc:
            return exc

    with ThreadPoolExecutor(jobs) as pool:
        measured = dict(zip(runs, pool.map(measure, runs)))
    starts = [(0, 0)]
    at = out = 0
    while True:
        result = measured.pop(at, None) or measure(at)
        if isinstance(result, BaseException):
            raise cut_off(path, codec, result)
        length, at, last = result
        out += length
        if last:
            starts.append((size, out))
            return starts
        starts.append((at, out))


class _Streams:
    """The standard library's reading of a file of independent streams,
    seekable through their starts."""

    def __init__(self, path: str, codec: str, streams: tuple[tuple[int, int], ...]):
        self.name = path
        self.codec = codec
        self._path = path
        self._streams = streams
        self._reading = open_reading(path, codec, kind="stdlib")
        self._at = 0

    def seekable(self) -> bool:
        return True

    def seek(self, offset: int, whence: int = io.SEEK_SET) -> int:
        if whence != io.SEEK_SET:
            raise io.UnsupportedOperation("a stream index seeks from the start only")
        if offset == self._at:
            return offset
        i = bisect.bisect_right([d for _, d in self._streams], offset) - 1
        compressed, decompressed = self._streams[max(i, 0)]
        if not (decompressed <= self._at <= offset):
            self._reading.close()
            raw = open(self._path, "rb")  # noqa: SIM115
            raw.seek(compressed)
            self._reading = Reading(_stdlib_file(raw, self.codec, "stdlib"), raw, self.name, self.codec, "stdlib")
            self._at = decompressed
        while self._at < offset:
            skipped = self._reading.read(min(offset - self._at, 1 << 20))
            if not skipped:
                break
            self._at += len(skipped)
        return self._at

    def tell(self) -> int:
        return self._at

    def read(self, size: int = -1) -> bytes:
        data = self._reading.read(size)
        self._at += len(data)
        return data

    def readinto(self, buffer: Any) -> int:
        got = self._reading.readinto(buffer)
        self._at += got
        return got

    @property
    def raw_position(self) -> int | None:
        return self._reading.raw_position

    def close(self) -> None:
        self._reading.close()

    def __enter__(self) -> _Streams:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


class CompressedPath(Input):
    """A gzip or bzip2 file by path, decompressed on up to `threads` threads
    for every pass; progress follows the compressed bytes."""

    compressed = True

    def __init__(self, path: str, codec: str, threads: int | None):
        self.name = path
        self.codec = codec
        self.threads = threads
        self.size = os.path.getsize(path)
        self._last: Reading | None = None

    def native(self) -> Any:
        self._last = open_reading(self.name, self.codec, self.threads, whole=True)
        return self._last

    def companion(self) -> Any:
        return open_reading(self.name, self.codec, self.threads, whole=True)

    def position(self, reader: Any) -> int:
        at = None if self._last is None else self._last.raw_position
        return at if at is not None else 0
