"""Documents behind URLs, read through fsspec: `s3://`, `gs://`, `abfs://`,
`http(s)://`, `file://` and any other protocol it knows (the `remote`
extra installs it with the S3 and HTTP ones).

A plain object is read in large ranged reads, the next block fetched while
the reader parses the one before, so the network and the parser overlap;
a compressed one is decompressed as those blocks come. Every pass of a
table opens the object again, with ranged reads of its own: the columns'
pass then runs beside the first batch, as for a local file, and nothing is
kept on local disk. A server that ignores ranges is read as a stream from
the start instead, each pass again.

A `Remote` names one object and the filesystem it lives on; it travels to
Dask's workers, which open their own ranges of it, so the bytes never pass
through the client.
"""

from __future__ import annotations

import contextlib
import dataclasses
import errno
import json
import re
import threading
from concurrent.futures import Future, ThreadPoolExecutor
from typing import Any

from quelbrand.errors import ConversionError, MissingExtraError
from quelbrand.inputs import _HEAD, Input, Reopened, codec_of

__all__ = [
    "BLOCK",
    "Remote",
    "RangedFile",
    "expand",
    "is_url",
    "open_remote",
    "parse_storage_option",
    "remote_of",
]

# Bytes fetched per ranged read: large, so that a request's latency is paid
# rarely, and small enough that a block beyond a partition's end costs little.
BLOCK = 8 << 20

_URL = re.compile(r"^[A-Za-z][A-Za-z0-9+.\-]*(::[A-Za-z][A-Za-z0-9+.\-]*)*://")
_INSTALL = "install it with: pip install 'quelbrand_kernels[remote]'"


def is_url(source: Any) -> bool:
    """Whether `source` is a URL that fsspec reads (or a Remote already)."""
    return isinstance(source, Remote) or (isinstance(source, str) and bool(_URL.match(source)))


def _fsspec() -> Any:
    try:
        import fsspec  # type: ignore[import-untyped, unused-ignore]
    except ImportError:
        raise MissingExtraError(f"reading URLs needs fsspec, which is not installed; {_INSTALL}") from None
    return fsspec


def _filesystem(url: str, storage_options: dict[str, Any] | None) -> tuple[Any, str]:
    fsspec = _fsspec()
    try:
        fs, path = fsspec.core.url_to_fs(url, **(storage_options or {}))
    except ImportError as exc:
        protocol = url.split("://", 1)[0]
        raise MissingExtraError(
            f"reading {protocol}:// URLs needs a package that is not installed ({exc}); {_INSTALL}"
        ) from None
    return fs, path


def _checked_options(storage_options: Any) -> dict[str, Any] | None:
    if storage_options is None:
        return None
    if not isinstance(storage_options, dict):
        raise TypeError(f"storage_options must be a dict, not {type(storage_options).__name__}")
    return storage_options


# What tells one version of an object from another, by store: S3's ETag,
# Google's generation and hash, Azure's etag, a file's or server's mtime.
_VERSION_KEYS = (
    "ETag",
    "etag",
    "generation",
    "md5Hash",
    "version_id",
    "VersionId",
    "mtime",
    "LastModified",
    "last_modified",
    "updated",
    "Last-Modified",
)


def _version_of(info: dict[str, Any]) -> tuple[Any, ...]:
    return tuple(str(info[key]) for key in _VERSION_KEYS if info.get(key) is not None)


@dataclasses.dataclass(frozen=True)
class Remote:
    """One object: its URL (for messages), the filesystem and the path on it,
    its size and its version as the store gave them when first seen."""

    url: str
    fs: Any
    path: str
    size: int
    version: tuple[Any, ...]
    ranges: bool = True  # whether the server answers range requests

    def __str__(self) -> str:
        return self.url

    def __repr__(self) -> str:
        # As a path is shown in messages.
        return repr(self.url)

    @property
    def stamp(self) -> tuple[Any, ...]:
        return (self.size, *self.version)

    def current_stamp(self) -> tuple[Any, ...]:
        """The object's size and version now, asked of the store afresh."""
        with contextlib.suppress(Exception):
            self.fs.invalidate_cache(self.path)
        info = _info(self.fs, self.path, self.url)
        return (_size_of(info, self.url), *_version_of(info))

    def check(self) -> None:
        """Raises ConversionError when the object changed since first seen."""
        if self.current_stamp() != self.stamp:
            raise ConversionError(
                f"{self.url!r} differs in size or version from when it was first read: was it changed since?"
            )

    def file(self, prefetch: bool = True, near: int | None = None) -> Any:
        """A fresh binary file of the object's bytes, from its start; one
        read as far as about `near` fetches no block beyond it ahead of time."""
        if not self.ranges:
            return _Streamed(self)
        return RangedFile(self, prefetch=prefetch, near=near)

    def fetch(self, start: int, end: int) -> bytes:
        """Bytes start..end of the object, in one ranged read."""
        end = min(end, self.size)
        if end <= start:
            return b""
        with _reading(self.url):
            data = bytes(self.fs.cat_file(self.path, start=start, end=end))
        if len(data) > end - start:
            raise ConversionError(f"{self.url!r}: the server ignored a range request and sent {len(data)} bytes")
        if len(data) < end - start:
            raise _short(self, start, end, len(data))
        return data

    def source(self, whole: bool, end: int | None = None) -> Any:
        """What a native reader reads: the whole object as it comes (a
        compressed one decompressed), or its raw bytes for a range that
        ends about `end`."""
        return RemoteInput(self).native() if whole else self.file(near=end)

    def guess(self, blocksize: int, reader: dict[str, Any] | None = None) -> Any:
        """quelbrand.split.guess of the object (see guess below)."""
        return guess(self, blocksize, reader)

    def head(self) -> bytes:
        return self.fetch(0, _HEAD)

    def splittable(self) -> bool:
        """Whether a reader can enter the object in the middle: it answers
        range requests and is not compressed."""
        return self.ranges and codec_of(self.head()) is None


@contextlib.contextmanager
def _reading(url: str) -> Any:
    """A failure of the store as the OSError a local file's would be,
    naming the URL as its filename (FileNotFoundError for a missing object)."""
    try:
        yield
    except FileNotFoundError:
        raise FileNotFoundError(errno.ENOENT, "no such object", url) from None
    except OSError as exc:
        raise OSError(exc.errno or errno.EIO, exc.strerror or str(exc), url) from exc


def _short(remote: Remote, start: int, end: int, got: int) -> ConversionError:
    return ConversionError(
        f"{remote.url!r}: asked for bytes {start}..{end} of {remote.size}, the store gave {got}: "
        "was it changed since it was first read?"
    )


def _info(fs: Any, path: str, url: str) -> dict[str, Any]:
    with _reading(url):
        info: dict[str, Any] = fs.info(path)
    if info.get("type") == "directory":
        raise IsADirectoryError(errno.EISDIR, "a directory, not an XML file", url)
    return info


def _size_of(info: dict[str, Any], url: str) -> int:
    size = info.get("size")
    if size is None:
        raise ConversionError(f"the store does not give the size of {url!r}, which a ranged read needs")
    return int(size)


def _answers_ranges(fs: Any, path: str, size: int) -> bool:
    """Whether a server of HTTP answers range requests, asked by reading
    the last byte; other stores always do."""
    if "http" not in fs.protocol and "https" not in fs.protocol:
        return True
    if size < 2:
        return True
    try:
        # fsspec's file refuses a reply to a range that is the whole object
        # before its body is read: a cheap probe.
        with fs.open(path, "rb", block_size=1, cache_type="none", size=size) as file:
            file.seek(size - 1)
            return len(file.read(1)) == 1
    except ValueError:
        return False


def remote_of(url: str | Remote, storage_options: dict[str, Any] | None = None) -> Remote:
    """The Remote a URL names, its size and version asked of the store."""
    if isinstance(url, Remote):
        return url
    fs, path = _filesystem(url, _checked_options(storage_options))
    return _remote(url, fs, path, _info(fs, path, url))


def _remote(url: str, fs: Any, path: str, info: dict[str, Any]) -> Remote:
    size = _size_of(info, url)
    ranges = info.get("partial") is not False and _answers_ranges(fs, path, size)
    return Remote(url, fs, path, size, _version_of(info), ranges)


def expand(urls: list[str], storage_options: dict[str, Any] | None = None) -> list[Remote]:
    """Every object the URLs name, in order, a glob pattern's matches
    sorted as Dask sorts them; a pattern that matches nothing is an error."""
    out: list[Remote] = []
    for url in urls:
        fs, path = _filesystem(url, _checked_options(storage_options))
        if not any(c in path for c in "*?["):
            out.append(remote_of(url, storage_options))
            continue
        with _reading(url):
            found = sorted(fs.glob(path))
        if not found:
            raise FileNotFoundError(errno.ENOENT, "no object matches", url)
        for match in found:
            full = fs.unstrip_protocol(match)
            with _reading(full):
                info = fs.info(match)
            if info.get("type") != "directory":
                out.append(_remote(full, fs, match, info))
    return out


class RangedFile:
    """A seekable binary file over an object, read in blocks of `BLOCK`
    bytes by ranged reads; from the second block on, the next block is
    fetched on a thread of its own while the reader reads one, up to
    `near` (the end of the range wanted) if given. A reader that stops
    early so costs at most one block it did not read."""

    def __init__(self, remote: Remote, block: int = BLOCK, prefetch: bool = True, near: int | None = None):
        self.name = remote.url
        self._remote = remote
        self._block = block
        self._pos = 0
        self._data = b""
        self._at = 0  # the object offset where _data begins
        self._prefetch = prefetch
        self._near = remote.size if near is None else min(near, remote.size)
        self._loads = 0
        self._pool: ThreadPoolExecutor | None = None
        self._next: tuple[int, Future[bytes]] | None = None
        self._lock = threading.Lock()
        self.closed = False

    def readable(self) -> bool:
        return True

    def seekable(self) -> bool:
        return True

    def tell(self) -> int:
        return self._pos

    def seek(self, offset: int, whence: int = 0) -> int:
        base = {0: 0, 1: self._pos, 2: self._remote.size}[whence]
        if base + offset < 0:
            raise ValueError("negative seek position")
        self._pos = base + offset
        return self._pos

    def _fetch(self, start: int) -> Future[bytes]:
        if self._pool is None:
            self._pool = ThreadPoolExecutor(1, thread_name_prefix="quelbrand-fetch")
        return self._pool.submit(self._remote.fetch, start, start + self._block)

    def _load(self) -> None:
        """The block holding the current position in _data."""
        start = self._pos
        if self._next is not None and self._next[0] == start:
            data = self._next[1].result()
        else:
            if self._next is not None:
                self._next[1].cancel()
            data = self._remote.fetch(start, start + self._block)
        self._next = None
        self._data, self._at = data, start
        self._loads += 1
        after = start + len(data)
        if self._prefetch and self._loads > 1 and after < self._near:
            self._next = (after, self._fetch(after))

    def readinto(self, buffer: Any) -> int:
        view = memoryview(buffer).cast("B")
        if self._pos >= self._remote.size or not len(view):
            return 0
        if not (self._at <= self._pos < self._at + len(self._data)):
            self._load()
        offset = self._pos - self._at
        n = min(len(view), len(self._data) - offset)
        view[:n] = self._data[offset : offset + n]
        self._pos += n
        return n

    def read(self, size: int = -1) -> bytes:
        if size is None or size < 0:
            size = max(self._remote.size - self._pos, 0)
        out = bytearray(size)
        view = memoryview(out)
        got = 0
        while got < size:
            n = self.readinto(view[got:])
            if n == 0:
                break
            got += n
        return bytes(out[:got])

    def close(self) -> None:
        self.closed = True
        self._next = None
        if self._pool is not None:
            self._pool.shutdown(wait=False, cancel_futures=True)
            self._pool = None

    def __enter__(self) -> RangedFile:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        with contextlib.suppress(Exception):
            self.close()


class _Streamed:
    """An object of a server that ignores ranges, read as one stream from
    its start; its position counts the bytes read, for progress."""

    def __init__(self, remote: Remote):
        self.name = remote.url
        self._url = remote.url
        with _reading(remote.url):
            self._file = remote.fs.open(remote.path, "rb", block_size=0)
        self._pos = 0

    def read(self, size: int = -1) -> bytes:
        with _reading(self._url):
            data: bytes = self._file.read(size if size is not None and size >= 0 else -1)
        self._pos += len(data)
        return data

    def tell(self) -> int:
        return self._pos

    def close(self) -> None:
        self._file.close()

    def __del__(self) -> None:
        with contextlib.suppress(Exception):
            self.close()


class RemoteInput(Reopened):
    """An object behind a URL, opened again for every pass (see the
    module's description); progress counts its bytes, compressed or not."""

    def __init__(self, remote: Remote):
        head = remote.head() if remote.ranges else _Streamed(remote).read(_HEAD)
        super().__init__(remote.url, remote.file, codec_of(head), remote.size)
        self.remote = remote
        self._opens = 0

    def _open(self) -> Any:
        # Every pass after the first reads the object as first seen, or fails:
        # columns found in one version would not fit batches of another.
        if self._opens:
            self.remote.check()
        self._opens += 1
        return super()._open()


def open_remote(source: str | Remote, storage_options: dict[str, Any] | None = None) -> Input:
    """The Input for a URL: a `file://` one is the local file itself, read
    as a path is; any other is read through fsspec."""
    from quelbrand.inputs import open_input

    if isinstance(source, str):
        fs, path = _filesystem(source, _checked_options(storage_options))
        if _is_local(fs):
            return open_input(path)
    return RemoteInput(remote_of(source, storage_options))


def _is_local(fs: Any) -> bool:
    protocol = fs.protocol if isinstance(fs.protocol, tuple) else (fs.protocol,)
    return "file" in protocol and type(fs).__name__ == "LocalFileSystem"


def parse_storage_option(text: str) -> tuple[str, Any]:
    """KEY=VALUE as the command takes it: VALUE as JSON where it parses
    (numbers, true/false, null, objects), else as the string it is."""
    key, sep, value = text.partition("=")
    if not sep or not key:
        raise ValueError(f"expected KEY=VALUE, not {text!r}")
    try:
        parsed: Any = json.loads(value)
    except ValueError:
        parsed = value
    return key, parsed


# ---- Split points guessed by ranged reads ---------------------------------------------

# Bytes read near each guessed offset, doubled while no record ends there.
_NEAR = 1 << 18


def guess(remote: Remote, blocksize: int, reader: dict[str, Any] | None = None) -> Any:
    """quelbrand.split.guess for an object: its start read for the names of
    its records, then a few ranged reads near each block's start instead of
    mapping the whole file."""
    import quelbrand._native as _native
    from quelbrand import split

    size = remote.size
    none = split.Guesses(remote, [], [])
    if size < 2 * blocksize:
        return none
    # Read as a file, as far as the record at the head's end goes.
    start = RangedFile(remote, block=split.HEAD_BYTES, prefetch=False)
    _, points = _native.split(start, split.HEAD_STEP, until=min(split.HEAD_BYTES, size), **split._records_only(reader))
    if not points or _native.split_at(points[0][2], 0) is None:
        return none
    ends = [point[0] for point in points]
    names = split._record_names(remote.fetch(0, max(ends)), ends)
    if not names:
        return none
    offsets: list[int] = []
    for lo in range(blocksize, size, blocksize):
        hi = min(lo + blocksize, size)
        at = _first_record_end_near(remote, names, max(lo, offsets[-1] if offsets else 0), hi)
        if at is not None and at < size:
            offsets.append(at)
    return split.Guesses.at(remote, offsets, points[0][2])


def _first_record_end_near(remote: Remote, names: list[bytes], lo: int, hi: int) -> int | None:
    from quelbrand import split

    near = _NEAR
    while True:
        # Past the window by a tag's length, so a tag the window cuts is whole.
        window = remote.fetch(lo, min(lo + near, hi) + split.TAG_BYTES)
        at = split._first_record_end(window, names, 0, min(near, hi - lo))
        if at is not None:
            return lo + at
        if lo + near >= hi:
            return None
        near *= 2
