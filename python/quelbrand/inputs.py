"""Where a document comes from: a path, bytes, or a readable binary file
object, each of them plain or compressed.

Compression is recognised by the first bytes, whatever the name: gzip, bzip2
and xz with the standard library, zstd with the `zstandard` package (the
`zstd` extra); a gzip or bzip2 file by path on several threads where the
`compressed` extra is installed (see quelbrand.compressed). No XML document starts with any of those bytes, so sniffing
never mistakes one for the other. Decompression is a stream: memory holds a
block at a time.

Reading the columns of a document needs all of it before the first batch,
so a table may read its input more than once. An `Input` says how:

- a path is opened again for every pass, and a compressed one decompressed
  again; bytes are read in place every time;
- a seekable file object is read from where it stood when first used,
  seeking back there before every later pass; a plain open file of the
  system is also reopened alongside, so that the columns are found beside
  the first batch instead of in a pass of their own;
- anything else (a pipe, stdin, a socket, a non-seekable object) can be
  read only once, and the table spools it.
"""

from __future__ import annotations

import contextlib
import io
import os
import stat
import zlib
from typing import Any

from quelbrand.errors import ConversionError, MissingExtraError

__all__ = ["Decompressed", "Input", "Reopened", "codec_of", "is_plain_path", "open_input"]

# The first bytes of each compressed format; the longest is xz's six.
_MAGIC = (
    (b"\x1f\x8b", "gzip"),
    (b"BZh", "bzip2"),
    (b"\xfd7zXZ\x00", "xz"),
    (b"\x28\xb5\x2f\xfd", "zstd"),
)
_HEAD = 6

# Compressed input is read this much at a time.
_RAW_BLOCK = 1 << 20
# A zstd stream is decompressed from pieces this small, which bounds what
# one piece can decompress to even in a stream compressed very tightly.
_ZSTD_PIECE = 1 << 14


def codec_of(head: bytes) -> str | None:
    """The compression whose magic bytes begin `head`, or None."""
    return next((codec for magic, codec in _MAGIC if head.startswith(magic)), None)


def _decompressor_errors() -> tuple[type[BaseException], ...]:
    # Imported where used: most inputs are not compressed, and these load
    # shared libraries of their own.
    import gzip
    import lzma

    errors: list[type[BaseException]] = [EOFError, gzip.BadGzipFile, lzma.LZMAError, zlib.error]
    with contextlib.suppress(ImportError):
        from isal import isal_zlib  # type: ignore[import-not-found, unused-ignore]

        isal_error: Any = isal_zlib.error
        errors.append(isal_error)
    with contextlib.suppress(ImportError):
        import zstandard  # type: ignore[import-not-found, unused-ignore]

        errors.append(zstandard.ZstdError)
    return tuple(errors)


class _Zstd:
    """A zstd stream's bytes, frame after frame. The package's own stream
    reader ends quietly where the input does, so a cut-off frame would pass
    for a whole one; a frame open at the end is an EOFError here."""

    def __init__(self, raw: Any):
        try:
            import zstandard
        except ImportError:
            raise MissingExtraError(
                "reading zstd-compressed input needs the 'zstandard' package; install it with: "
                "pip install 'quelbrand_kernels[zstd]'"
            ) from None
        self._zstd = zstandard
        self._raw = raw
        self._frame = zstandard.ZstdDecompressor().decompressobj()
        self._fed = False  # the current frame has had input
        self._input = b""
        self._out = bytearray()
        self._ended = False

    def read(self, size: int = -1) -> bytes:
        want = size if size >= 0 else 1 << 62
        while len(self._out) < want and not self._ended:
            if not self._input:
                self._input = self._raw.read(_RAW_BLOCK)
                if not self._input:
                    self._ended = True
                    if self._fed:
                        raise EOFError("the zstd stream ends inside a frame: the input is truncated")
                    break
            piece, self._input = self._input[:_ZSTD_PIECE], self._input[_ZSTD_PIECE:]
            self._fed = True
            self._out += self._frame.decompress(piece)
            if self._frame.eof:
                # The next frame starts right after this one.
                self._input = self._frame.unused_data + self._input
                self._frame = self._zstd.ZstdDecompressor().decompressobj()
                self._fed = False
        out = bytes(self._out[:want])
        del self._out[:want]
        return out


def _decompressing(raw: Any, codec: str) -> Any:
    if codec in ("gzip", "bzip2"):
        from quelbrand.compressed import stream_file

        return stream_file(raw, codec)
    if codec == "xz":
        import lzma

        return lzma.LZMAFile(raw, "rb")
    return _Zstd(raw)


class Decompressed:
    """A compressed stream read as its decompressed bytes. A damaged or
    truncated stream is a ConversionError that names the input; what the
    underlying object raises itself passes unchanged. `raw_position` is how
    far the compressed bytes have been read, for progress."""

    def __init__(self, raw: Any, codec: str, name: str, *, owns_raw: bool):
        self.name = name
        self.codec = codec
        self._raw = raw
        self._owns_raw = owns_raw
        self._inner = _decompressing(raw, codec)
        self._errors = _decompressor_errors()

    def read(self, size: int = -1) -> bytes:
        try:
            data: bytes = self._inner.read(size)
            return data
        except self._errors as exc:
            raise self._damaged(exc) from exc
        except OSError as exc:
            # bz2 reports bad data as an OSError without an errno; one with
            # an errno is the underlying file's own failure.
            if exc.errno is not None:
                raise
            raise self._damaged(exc) from exc

    def _damaged(self, exc: BaseException) -> ConversionError:
        if isinstance(exc, EOFError):
            return ConversionError(f"cannot decompress {self.name!r} ({self.codec}): the archive is cut off ({exc})")
        return ConversionError(f"cannot decompress {self.name!r} ({self.codec}): {exc}")

    @property
    def raw_position(self) -> int | None:
        try:
            position: int = self._raw.tell()
            return position
        except (OSError, ValueError, AttributeError):
            return None

    def close(self) -> None:
        if self._owns_raw:
            self._raw.close()

    def __del__(self) -> None:
        with contextlib.suppress(Exception):
            self.close()


class _Prefixed:
    """A non-seekable stream whose first bytes were read to sniff it: those
    first, then the rest from the stream."""

    def __init__(self, head: bytes, stream: Any, name: str):
        self.name = name
        self._head = head
        self._stream = stream

    def read(self, size: int = -1) -> bytes:
        if self._head:
            if size < 0:
                rest: bytes = self._stream.read()
                out, self._head = self._head + rest, b""
                return out
            out, self._head = self._head[:size], self._head[size:]
            return out
        if not hasattr(self._stream, "read"):
            buffer = bytearray(size if size >= 0 else _RAW_BLOCK)
            return bytes(buffer[: self.readinto(buffer)])
        data: bytes = self._stream.read(size)
        return data

    def readinto(self, buffer: Any) -> int:
        if self._head:
            view = memoryview(buffer).cast("B")
            n = min(len(view), len(self._head))
            view[:n] = self._head[:n]
            self._head = self._head[n:]
            return n
        if hasattr(self._stream, "readinto"):
            got: int = self._stream.readinto(buffer)
            return got
        data: bytes = self._stream.read(len(buffer))
        memoryview(buffer).cast("B")[: len(data)] = data
        return len(data)


class _Owned:
    """A file this module opened, closed once the native reader lets it go."""

    def __init__(self, file: Any):
        self.file = file
        self.name = file.name
        self.read = file.read
        self.readinto = file.readinto

    def __del__(self) -> None:
        with contextlib.suppress(Exception):
            self.file.close()


def _name_of(obj: Any, fallback: str) -> str:
    name = getattr(obj, "name", None)
    return name if isinstance(name, str) else fallback


def _read_head(obj: Any) -> bytes:
    """The first bytes of a stream, reading until there are enough or it ends."""

    def read(n: int) -> Any:
        if hasattr(obj, "read"):
            return obj.read(n)
        buffer = bytearray(n)
        got = obj.readinto(buffer)
        if not isinstance(got, int):
            raise TypeError(f"readinto() of a {type(obj).__name__} returned {got!r}: XML input needs a blocking file")
        return bytes(buffer[:got])

    head = b""
    while len(head) < _HEAD:
        piece = read(_HEAD - len(head))
        if not isinstance(piece, (bytes, bytearray)):
            raise TypeError(
                f"read() should return bytes, not {type(piece).__name__} (is the file opened in text mode?)"
            )
        if not piece:
            break
        head += piece
    return bytes(head)


class Input:
    """One source of a table; see the module's description. `native()` is
    what a native reader reads for one pass (a str path, bytes, or a file
    object), `companion()` a second, independent one for finding the columns
    alongside, or None when there is none."""

    name: str
    read_once = False
    compressed = False
    size: int | None = None  # of the bytes progress counts, when known
    # Whether native() is a path or bytes, which a native stream may read on
    # its own; a file object's table is streamed through Python instead.
    native_stream = False

    def native(self) -> Any:
        raise NotImplementedError

    def companion(self) -> Any:
        return None

    def position(self, reader: Any) -> int:
        """How far the pass of `reader`, the last one made, has read, in the
        bytes `size` counts."""
        return int(reader.bytes_read) if reader is not None else 0


class _Path(Input):
    native_stream = True

    def __init__(self, path: str):
        self.name = path
        self.size = _size(path)

    def native(self) -> Any:
        return self.name

    def companion(self) -> Any:
        return self.name


class _Bytes(Input):
    native_stream = True

    def __init__(self, data: bytes):
        self.name = "<bytes>"
        self._data = data
        self.size = len(data)

    def native(self) -> Any:
        return self._data

    def companion(self) -> Any:
        return self._data


class Reopened(Input):
    """An input opened again by `opener` for every pass: a compressed path
    or compressed bytes, decompressed (or, without `codec`, the raw file
    object as it is); progress follows the bytes opened."""

    def __init__(self, name: str, opener: Any, codec: str | None, size: int | None):
        self.name = name
        self._opener = opener
        self._codec = codec
        self.compressed = codec is not None
        self.size = size
        self._last: Any = None

    def _open(self) -> Any:
        raw = self._opener()
        return raw if self._codec is None else Decompressed(raw, self._codec, self.name, owns_raw=True)

    def native(self) -> Any:
        self._last = self._open()
        return self._last

    def companion(self) -> Any:
        return self._open()

    def position(self, reader: Any) -> int:
        last = self._last
        if last is None:
            return 0
        if isinstance(last, Decompressed):
            return last.raw_position or 0
        return int(last.tell())


class _Seekable(Input):
    """A seekable file object, read from `start` on every pass."""

    def __init__(self, obj: Any, start: int, codec: str | None):
        self.name = _name_of(obj, f"<{type(obj).__name__}>")
        self._obj = obj
        self._start = start
        self._codec = codec
        self.compressed = codec is not None
        self._last: Decompressed | None = None
        self.size = None
        with contextlib.suppress(OSError, ValueError, AttributeError):
            if stat.S_ISREG(os.fstat(obj.fileno()).st_mode):
                self.size = os.fstat(obj.fileno()).st_size - start

    def native(self) -> Any:
        self._obj.seek(self._start)
        if self._codec is None:
            return self._obj
        self._last = Decompressed(self._obj, self._codec, self.name, owns_raw=False)
        return self._last

    def companion(self) -> Any:
        # Only a plain file of the system can be opened again on its own,
        # with an offset of its own, without touching the caller's object.
        if type(self._obj) not in (io.BufferedReader, io.FileIO, io.BufferedRandom) or self.size is None:
            return None
        try:
            again = open(f"/proc/self/fd/{self._obj.fileno()}", "rb")  # noqa: SIM115
        except OSError:
            return None
        again.seek(self._start)
        if self._codec is None:
            return _Owned(again)
        return Decompressed(again, self._codec, self.name, owns_raw=True)

    def position(self, reader: Any) -> int:
        if self._codec is None:
            return super().position(reader)
        at = None if self._last is None else self._last.raw_position
        return at - self._start if at is not None else 0


class _Stream(Input):
    """Read once, straight through."""

    read_once = True

    def __init__(self, obj: Any, name: str):
        self.name = name
        head = _read_head(obj)
        codec = codec_of(head)
        stream = _Prefixed(head, obj, name)
        self.compressed = codec is not None
        self._stream: Any = stream if codec is None else Decompressed(stream, codec, name, owns_raw=False)

    def native(self) -> Any:
        return self._stream

    def position(self, reader: Any) -> int:
        if not self.compressed:
            return super().position(reader)
        return 0  # a pipe's compressed bytes are not counted


class _Spooled(Input):
    """A read-once input copied, as it comes, to a temporary file that goes
    with it: read from there as often as needed, under the input's name."""

    # Bytes copied at a time: large, so the copy costs about a memcpy.
    CHUNK = 1 << 20

    def __init__(self, inp: Input):
        import tempfile

        self.name = inp.name
        self._file = tempfile.TemporaryFile(prefix="quelbrand-spool-")  # noqa: SIM115
        try:
            source = inp.native()
            while chunk := source.read(self.CHUNK):
                self._file.write(chunk)
            self._file.flush()
        except BaseException:
            self._file.close()
            raise
        self.size = self._file.tell()

    def native(self) -> Any:
        return self._again()

    def companion(self) -> Any:
        return self._again()

    def _again(self) -> Any:
        # Its own open file, so its own offset: a pass and the columns' pass
        # read it side by side. It answers to the input's name, for messages.
        again = _Owned(open(f"/proc/self/fd/{self._file.fileno()}", "rb"))  # noqa: SIM115
        again.name = self.name
        return again


def spooled(inp: Input) -> Input:
    """`inp`, if it can be read only once, copied to a temporary file that
    can be read again: for when nothing else can keep its batches."""
    return _Spooled(inp) if inp.read_once else inp


def _size(path: str) -> int | None:
    try:
        return os.stat(path).st_size
    except OSError:
        return None


def _is_read_once_path(path: str) -> bool:
    try:
        mode = os.stat(path).st_mode
    except OSError:
        return False
    return stat.S_ISFIFO(mode) or stat.S_ISSOCK(mode) or stat.S_ISCHR(mode)


def _path_input(path: str, threads: int | None = None) -> Input:
    if _is_read_once_path(path):
        # Unbuffered: each read returns what the pipe holds, so batches come
        # as the writer writes instead of a block at a time.
        return _Stream(_Owned(open(path, "rb", buffering=0)), path)
    try:
        with open(path, "rb") as file:
            head = file.read(_HEAD)
    except OSError:
        return _Path(path)  # the native reader reports it as it always has
    codec = codec_of(head)
    if codec is None:
        return _Path(path)
    if codec in ("gzip", "bzip2"):
        from quelbrand.compressed import CompressedPath

        return CompressedPath(path, codec, threads)
    return Reopened(path, lambda: open(path, "rb"), codec, _size(path))


def is_plain_path(inp: Input) -> bool:
    """Whether the input is an uncompressed file by path, which the
    path-only functions of quelbrand_kernels can read."""
    return isinstance(inp, _Path)


def open_input(source: Any, threads: int | None = None, *, storage_options: dict[str, Any] | None = None) -> Input:
    """The Input for a path (str or os.PathLike), a URL (read through
    fsspec with `storage_options`; see quelbrand.remote), bytes-like data,
    or a readable binary file object. A read-once object's first bytes are
    read here, to tell its compression. An Input is returned as it is.
    `threads` caps the threads that decompress a gzip or bzip2 file by path
    (None: the usable cores)."""
    if isinstance(source, Input):
        return source
    from quelbrand import remote

    if remote.is_url(source):
        return remote.open_remote(source, storage_options)
    if storage_options:
        raise ValueError("storage_options apply only to URLs (s3://, https://, ...), not to a local path or data")
    if isinstance(source, (str, os.PathLike)):
        path = os.fspath(source)
        if not isinstance(path, str):
            raise TypeError(f"expected a str path, not {type(path).__name__}")
        return _path_input(path, threads)
    if isinstance(source, (bytes, bytearray, memoryview)):
        # A bytearray could change under the reader, so it is copied once.
        data = source if isinstance(source, bytes) else bytes(source)
        codec = codec_of(data[:_HEAD])
        if codec is None:
            return _Bytes(data)
        return Reopened("<bytes>", lambda: io.BytesIO(data), codec, len(data))
    if not (hasattr(source, "read") or hasattr(source, "readinto")):
        raise TypeError(f"expected a path, bytes or a readable binary file object, not {type(source).__name__}")
    seekable = False
    with contextlib.suppress(Exception):
        seekable = bool(source.seekable())
    if seekable:
        start = source.tell()
        head = source.read(_HEAD)
        source.seek(start)
        codec = codec_of(head) if isinstance(head, bytes) else None
        return _Seekable(source, start, codec)
    return _Stream(source, _name_of(source, f"<{type(source).__name__}>"))
