"""The `quelbrand` command: convert XML files to tables, count records, and
print keyed draws. Run without arguments (or as `quelbrand demo`) it tours a
small bundled XML file.

Expected failures (a malformed or missing file, an unwritable output, a
missing optional dependency) print one line on stderr and set the exit code;
they never show a traceback.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import signal
import stat
import sys
import threading
from collections.abc import Callable, Iterator, Sequence
from typing import Any, TextIO

# The command's Arrow buffers come from the C library's allocator (unless
# the environment chooses): Parquet is encoded on several threads, and
# Arrow's default pool keeps what each thread freed for that thread, so a
# conversion's memory grew through the file (by 40 MB on a 100 MB file)
# where the C library's gives large blocks back. Arrow reads this when it
# loads, which the command makes happen later.
if "pyarrow" not in sys.modules:
    os.environ.setdefault("ARROW_DEFAULT_MEMORY_POOL", "system")

import quelbrand._native as _native
from quelbrand._version import __version__
from quelbrand.batches import DEFAULT_BATCH_ROWS, is_read_once
from quelbrand.convert import FORMATS, convert, format_of
from quelbrand.errors import XML_ERROR_PREFIX, ConversionError, MissingExtraError, is_xml_error, require_extra
from quelbrand.inputs import is_plain_path, open_input
from quelbrand.parallel import count_records, usable_cores
from quelbrand.records import record_options
from quelbrand.recover import ON_ERROR, Rejects, plain_path, recovered_discovery
from quelbrand.remote import is_url, parse_storage_option
from quelbrand.split import splittable

__all__ = ["main"]

PROG = "quelbrand"
U64_LIMIT = 2**64

# Keys are drawn this many at a time, so a huge range runs in bounded memory.
DRAW_CHUNK = 65536

EXIT_FAILURE = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130

# Signals that end a conversion as Ctrl-C does, its temporary file removed;
# the exit status is then 128 + the signal's number, as a shell reports it.
TERMINATING_SIGNALS = (signal.SIGTERM, signal.SIGHUP)

CONVERT_DESCRIPTION = """\
Stream the XML file FILE into a table at OUT, in memory bounded by a batch,
whatever the size of the file. FILE may be `-` for stdin, a pipe, or a file
compressed with gzip, bzip2, xz or zstd (known by its first bytes; zstd needs
the zstandard package). Every child element of a top-level element is one
row; nested elements flatten into columns. No column is dropped, however late
in the file it first appears.

Values are text. With --types a column whose values all read as one type
(int64, float64, bool, date32, timestamp) takes that type, decided over the
whole file before the first row is written.

The format comes from OUT's extension or --format:
  csv      RFC 4180: UTF-8, one header row, CRLF line ends, a field quoted
           only when it needs to be; a missing value is an empty field, an
           empty string is "". Always text.
  jsonl    one JSON object per record, its members in the file's column
           order; a missing value has no member. With --types, numbers and
           booleans are written as JSON numbers and booleans.
  parquet  needs pyarrow (the pyarrow extra); typed columns with --types.

With --threads N (or --jobs N) a plain file is split between records into
ranges that N threads read at once; OUT is byte for byte what --threads 1
writes. A gzip or bzip2 file is split too, through an index one pass builds
(with the compressed extra; without it, only one of several streams), and N
also caps its decompression threads. Other compressed input, pipes and stdin
are read by one thread.

OUT may be `-` for stdout (name the format with --format). An OUT that is a
device or a FIFO is written in place. Any other OUT is written to a temporary
file beside it and moved into place only when the conversion succeeds: after
a failure, Ctrl-C, SIGTERM or SIGHUP no file exists under OUT that was not
there before, and an existing OUT is left untouched.
"""

DRAW_DESCRIPTION = """\
Print, one per line, each key of the range A:B followed by its keyed uniform
in (0, 1] (or, with --normal, the standard normal quantile of it), as the
shortest decimal that reads back to the exact double. The range is half-open,
as in Python: A:B means A, A+1, ..., B-1. Needs numpy (the numpy extra).
"""


# ---------------------------------------------------------------------------
# Argument types


def _integer(text: str, low: int, high: int) -> int:
    """Parses a decimal integer in low ... high for argparse."""
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if not low <= value <= high:
        raise argparse.ArgumentTypeError(f"{value} is outside {low} ... {high}")
    return value


def _u64(text: str) -> int:
    return _integer(text, 0, U64_LIMIT - 1)


def _positive(text: str) -> int:
    return _integer(text, 1, U64_LIMIT - 1)


def _key_range(text: str) -> range:
    start, colon, stop = text.partition(":")
    if not colon:
        raise argparse.ArgumentTypeError(f"expected A:B, not {text!r}")
    # B is one past the last key, so it may be 2**64 to reach the last key.
    first, end = _u64(start), _integer(stop, 0, U64_LIMIT)
    if end < first:
        raise argparse.ArgumentTypeError(f"the range {text!r} ends before it starts")
    return range(first, end)


# ---------------------------------------------------------------------------
# Parser


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Stream huge XML files into tables and draw deterministic keyed random numbers. "
        "Without a command, runs the demo.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")

    convert_parser = commands.add_parser(
        "convert",
        help="convert an XML file to CSV, JSON Lines or Parquet",
        description=CONVERT_DESCRIPTION,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    convert_parser.add_argument("file", metavar="FILE", help="the XML file to read; - for stdin")
    convert_parser.add_argument(
        "--to",
        required=True,
        metavar="OUT",
        help="the output file, or - for stdout; its extension (.csv, .jsonl, .parquet) picks the format",
    )
    convert_parser.add_argument("--format", choices=FORMATS, help="the output format, whatever OUT's extension")
    convert_parser.add_argument(
        "--batch-rows",
        type=_positive,
        default=DEFAULT_BATCH_ROWS,
        metavar="N",
        help=f"records read per batch (default {DEFAULT_BATCH_ROWS}); memory grows with it",
    )
    convert_parser.add_argument(
        "--types",
        action="store_true",
        help="typed columns for Parquet and JSON Lines: int64, float64, bool, date32 or timestamp where every "
        "value of a column is one (found over the whole file first); CSV stays text",
    )
    convert_parser.add_argument(
        "--quiet", action="store_true", help="no progress bar (it is shown only when stderr is a terminal)"
    )
    # Draws the progress bar even when stderr is not a terminal; for tests.
    convert_parser.add_argument(
        "--attributes",
        action="store_true",
        help="read attributes as values: each becomes a column named by its local name",
    )
    convert_parser.add_argument(
        "--nested",
        action="store_true",
        help="one row per record keeping every value: repeated elements as lists, elements with children or "
        "attributes as structs (text beside children in #text); CSV writes a nested value as its JSON text",
    )
    convert_parser.add_argument(
        "--text-of",
        action="append",
        metavar="NAME",
        help="with --nested: take the element NAME as its whole text, inline markup dropped "
        "(kg/m<sup>2</sup> reads kg/m2); repeatable",
    )
    convert_parser.add_argument(
        "--entities",
        choices=["html"],
        help="also accept the HTML named character references (&eacute; &nbsp; ...); entities the "
        "document's DOCTYPE declares are always read",
    )
    convert_parser.add_argument(
        "--dtd",
        metavar="FILE",
        help="also accept the general entities declared in this local DTD file",
    )
    _add_threads_argument(
        convert_parser,
        "read a plain file as N ranges at once",
        "; the output is the same for any N. Compressed input and stdin use one",
    )
    _add_record_arguments(convert_parser)
    _add_storage_argument(convert_parser)
    convert_parser.add_argument(
        "--record-column",
        metavar="NAME",
        help="add a first column NAME holding each record's element name (for several --record names)",
    )
    _add_error_arguments(convert_parser)
    convert_parser.add_argument("--force-progress", action="store_true", help=argparse.SUPPRESS)
    convert_parser.set_defaults(run=_run_convert)

    count_parser = commands.add_parser("count", help="print the number of records in an XML file")
    count_parser.add_argument("file", metavar="FILE", help="the XML file to read; - for stdin")
    _add_threads_argument(count_parser, "count a plain file's records in pieces at once")
    _add_record_arguments(count_parser)
    _add_storage_argument(count_parser)
    _add_error_arguments(count_parser)
    count_parser.set_defaults(run=_run_count)

    draw_parser = commands.add_parser(
        "draw",
        help="print deterministic keyed uniforms or normals",
        description=DRAW_DESCRIPTION,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    draw_parser.add_argument("--seed", type=_u64, required=True, metavar="S", help="the seed, 0 ... 2**64-1")
    draw_parser.add_argument("--namespace", required=True, metavar="NS", help="the namespace string")
    draw_parser.add_argument(
        "--keys", type=_key_range, required=True, metavar="A:B", help="the keys A, A+1, ..., B-1 (B excluded)"
    )
    draw_parser.add_argument("--draw", type=_u64, default=0, metavar="D", help="the draw number (default 0)")
    draw_parser.add_argument("--normal", action="store_true", help="print standard normals instead of uniforms")
    draw_parser.set_defaults(run=_run_draw)

    demo_parser = commands.add_parser("demo", help="tour a small bundled XML file (the default)")
    demo_parser.set_defaults(run=_run_demo)
    return parser


def _add_record_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--record",
        action="append",
        metavar="NAME",
        help="the records are the elements of this local name, or path of names (channel/item; from the root: "
        "/rss/channel/item); repeat for several names. Default: the children of top-level elements",
    )


def _add_storage_argument(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--storage-option",
        action="append",
        metavar="KEY=VALUE",
        help="for a URL FILE (s3://, gs://, https://, ...): an option of its filesystem, such as "
        "anon=true or endpoint_url=http://...; VALUE is read as JSON where it parses, else as text; repeatable",
    )


def _storage_options(args: argparse.Namespace, parser: argparse.ArgumentParser) -> dict[str, Any] | None:
    if not args.storage_option:
        return None
    if not is_url(args.file):
        parser.error("--storage-option applies only to a URL FILE (s3://, https://, ...)")
    try:
        return dict(parse_storage_option(text) for text in args.storage_option)
    except ValueError as exc:
        parser.error(f"--storage-option: {exc}")


def _add_error_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--on-error",
        choices=ON_ERROR,
        default="raise",
        help="raise: stop at the first malformed record (default); skip: leave each faulty record out, "
        "read on from the next one, and end with a count of the records rejected",
    )
    parser.add_argument(
        "--max-errors",
        type=_integer_at_least(0),
        metavar="N",
        help="with --on-error skip, fail once more than N records are rejected (default: no limit)",
    )
    parser.add_argument(
        "--rejects",
        metavar="FILE",
        help="with --on-error skip, write each rejected span (start and end byte, line, error, element) "
        "to FILE as JSON Lines",
    )


def _integer_at_least(low: int) -> Callable[[str], int]:
    def parse(text: str) -> int:
        return _integer(text, low, 1 << 62)

    return parse


def _error_options(args: argparse.Namespace, parser: argparse.ArgumentParser) -> dict[str, Any]:
    if args.on_error != "skip" and (args.max_errors is not None or args.rejects is not None):
        parser.error("--max-errors and --rejects need --on-error skip")
    if args.on_error != "skip":
        return {}
    return {"on_error": "skip", "max_errors": args.max_errors, "rejects": args.rejects}


def _rejected_line(rows: int, rejected: int, rejects: str | None, what: str = "rows written") -> None:
    """The closing line of a command that skipped faulty records."""
    where = f"report in {rejects}" if rejects is not None else "pass --rejects FILE for a report"
    print(f"{PROG}: {rows:,} {what}, {rejected:,} records rejected; {where}", file=sys.stderr)


def _record_options(args: argparse.Namespace, parser: argparse.ArgumentParser) -> dict[str, Any]:
    """The records the command was given, checked before anything is read."""
    try:
        return record_options(args.record, getattr(args, "record_column", None))
    except ValueError as exc:
        parser.error(str(exc))


# ---------------------------------------------------------------------------
# Commands


def _run_convert(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    fmt = args.format
    if fmt is None and args.to == "-":
        parser.error(f"--to - needs --format ({', '.join(FORMATS)})")
    if fmt is None:
        try:
            fmt = format_of(args.to)
        except ValueError as exc:
            parser.error(f"{exc} (or pass --format)")
    records = _record_options(args, parser)
    storage_options = _storage_options(args, parser)
    errors = _error_options(args, parser)
    rejected = 0

    def count_reject(reject: Any) -> None:
        nonlocal rejected
        rejected += 1

    if errors:
        errors["on_reject"] = count_reject
    if args.text_of and not args.nested:
        parser.error("--text-of needs --nested")
    show_progress = not args.quiet and (args.force_progress or sys.stderr.isatty())
    # The first use of the temporary folder writes and removes a probe file
    # there, which a signal in between would leave behind: done first, for
    # an input that may be copied there (all but a plain, uncompressed
    # regular file, which is read in place).
    if not splittable(args.file):
        import tempfile

        tempfile.gettempdir()
    try:
        with _signals_unwind(TERMINATING_SIGNALS):
            rows = convert(
                _input_arg(args.file),
                args.to,
                fmt=fmt,
                batch_rows=args.batch_rows,
                progress=sys.stderr if show_progress else None,
                types=args.types,
                attributes=args.attributes,
                on_note=_note,
                on_loss=_note,
                jobs=args.jobs,
                entities=args.entities,
                dtd=args.dtd,
                record=records.get("record"),
                record_column=records.get("record_column"),
                nested=args.nested,
                text_of=args.text_of,
                storage_options=storage_options,
                **errors,
            )
        if errors:
            _rejected_line(rows, rejected, args.rejects)
    except _Terminated as exc:
        _error(f"stopped by {signal.Signals(exc.signum).name}")
        _notes(exc)
        return 128 + exc.signum
    except OSError as exc:
        if _is_input_error(exc, args):
            _error(f"cannot read {args.file!r}: {exc.strerror or exc}")
        else:
            # The XML side reports its failures as ValueError, so this is the output.
            _error(f"cannot write {args.to!r}: {exc.strerror or exc}")
        _notes(exc)
        return EXIT_FAILURE
    return 0


def _is_input_error(exc: OSError, args: argparse.Namespace) -> bool:
    """Whether `exc` is the input file's failing to open (it names it)."""
    file = getattr(args, "file", None)
    return file not in (None, "-") and exc.filename is not None and os.fspath(exc.filename) == file


class _Terminated(BaseException):
    """A terminating signal, raised where the main thread is when it comes,
    so that the conversion unwinds and removes its temporary file as it does
    on Ctrl-C. Not an Exception: nothing on the way may take it for an
    error to handle."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


@contextlib.contextmanager
def _signals_unwind(signums: Sequence[int]) -> Iterator[None]:
    """Turns each of `signums` into _Terminated inside the block, and puts
    the previous handlers back after it. A signal that was ignored stays
    ignored (the command was started under nohup, say). Only the first
    signal raises: a second one must not cut short the cleanup the first
    started."""
    if threading.current_thread() is not threading.main_thread():
        yield  # handlers can be set only from the main thread
        return
    fired = False

    def handler(signum: int, frame: object) -> None:
        nonlocal fired
        if not fired:
            fired = True
            raise _Terminated(signum)

    # Raised where the main thread happens to be, the exception can land in
    # a callback whose exceptions Python only prints (a weakref callback of
    # the import machinery, a finaliser), and the block would go on as if
    # no signal had come. Such a loss reaches the unraisable hook: the
    # signal is then sent again, a moment later from another thread (sent
    # from here, its handler would run inside the hook and be lost again),
    # to land where it can unwind the block.
    previous_hook = sys.unraisablehook

    def unraisable(info: Any) -> None:
        nonlocal fired
        if isinstance(info.exc_value, _Terminated):
            fired = False
            threading.Timer(0.05, os.kill, (os.getpid(), info.exc_value.signum)).start()
            return
        previous_hook(info)

    previous = {}
    try:
        for signum in signums:
            if signal.getsignal(signum) is not signal.SIG_IGN:
                previous[signum] = signal.signal(signum, handler)
        sys.unraisablehook = unraisable
        yield
    except BaseException as exc:
        # Raised where the main thread happened to be, _Terminated can come
        # out wrapped in another exception (Python turns one raised while a
        # class is made, as during an import, into a RuntimeError). The
        # signal is what ended the block either way.
        terminated = _terminated_in(exc)
        if terminated is None or terminated is exc:
            raise
        raise terminated from exc
    finally:
        sys.unraisablehook = previous_hook
        for signum, old in previous.items():
            if old is not None:  # None: set outside Python, which cannot be put back
                signal.signal(signum, old)


def _terminated_in(exc: BaseException | None) -> _Terminated | None:
    """The _Terminated that `exc` is or was caused by, if any."""
    seen = set()
    while exc is not None and id(exc) not in seen:
        if isinstance(exc, _Terminated):
            return exc
        seen.add(id(exc))
        exc = exc.__cause__ or exc.__context__
    return None


def _add_threads_argument(parser: argparse.ArgumentParser, what: str, more: str = "") -> None:
    parser.add_argument(
        "--threads",
        "--jobs",
        dest="jobs",
        type=_positive,
        default=usable_cores(),
        metavar="N",
        help=f"{what}, on N threads (default: the usable cores, here {usable_cores()}){more}",
    )


def _input_arg(file: str) -> object:
    """FILE as the readers take it: `-` is stdin's bytes."""
    return sys.stdin.buffer if file == "-" else file


def _run_count(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    source = _input_arg(args.file)
    records = _record_options(args, parser)
    storage_options = _storage_options(args, parser)
    if is_url(source):
        fetched = open_input(source, storage_options=storage_options)
        if is_plain_path(fetched):  # a file:// URL
            source = fetched.name
        else:
            print(_native.split(fetched.native(), 1 << 62, check_end=True, **records)[0])
            return 0
    errors = _error_options(args, parser)
    if errors:
        # The records a skipping reading keeps, counted by its column pass.
        report = Rejects(args.file, path=args.rejects, max_errors=args.max_errors)
        path = plain_path(source, report)
        report.start(path)

        def discover_at(start: bytes | None, until: int | None) -> Any:
            return _native.discover(path, check_text=True, start=start, skip=True, **records)

        stretches, _, ending = recovered_discovery(path, discover_at, report.add)
        kept = sum(found.records for _, found in stretches)
        report.finish(kept)
        print(kept)
        _rejected_line(kept, len(report.items), args.rejects, "records counted")
        if ending is not None:
            raise ValueError(f"{XML_ERROR_PREFIX}{args.file}': {ending}")
        return 0
    counted = count_records(source, args.jobs, records) if isinstance(source, str) else None
    if counted is not None:
        print(counted)
        return 0
    if records:
        # The record counter's pass, following the chosen records.
        print(_native.split(open_input(source).native(), 1 << 62, check_end=True, **records)[0])
        return 0
    inp = None if isinstance(source, str) and is_read_once(source) else open_input(source)
    if inp is None or is_plain_path(inp):
        path = inp.name if inp is not None else args.file
        # The command, unlike the kernels module, fails on a document cut off
        # inside open elements or holding none.
        try:
            count = _native.split(path, 1 << 62, check_end=True)[0]
        except ValueError:
            # A file that cannot be opened is an OSError naming it, as for
            # every other command.
            if stat.S_ISREG(os.stat(path).st_mode):
                open(path, "rb").close()
            raise
        print(count)
    else:
        print(_native.discover(inp.native()).records)
    return 0


def _run_draw(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    _print_draws(sys.stdout, args.seed, args.namespace, args.keys, args.draw, args.normal)
    return 0


def _print_draws(out: TextIO, seed: int, namespace: str, keys: range, draw: int, normal: bool) -> None:
    import quelbrand_kernels as qk

    np = require_extra("numpy", "numpy", "Keyed draws")
    for start in range(keys.start, keys.stop, DRAW_CHUNK):
        chunk = range(start, min(start + DRAW_CHUNK, keys.stop))
        values = qk.keyed_uniforms(seed, namespace, np.arange(chunk.start, chunk.stop, dtype=np.uint64), draw)
        if normal:
            values = qk.inv_norm_cdf(values)
        # tolist() gives Python floats, whose repr is the shortest exact form.
        out.writelines(f"{key}\t{value!r}\n" for key, value in zip(chunk, values.tolist()))


def _run_demo(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    import importlib.resources
    import tempfile

    import quelbrand_kernels as qk

    sample_resource = importlib.resources.files("quelbrand") / "data" / "sample.xml"
    with importlib.resources.as_file(sample_resource) as sample, tempfile.TemporaryDirectory() as scratch:
        table = os.path.join(scratch, "sample.csv")
        count = qk.count_xml_records(str(sample))
        rows = convert(sample, table)
        print(f"The bundled sample XML file holds {count} records; as CSV ({rows} rows):\n")
        with open(table, encoding="utf-8", newline="") as file:
            for line in file.read().splitlines()[:6]:
                print(f"  {line}")
    print(f"\nConvert your own file with: {PROG} convert FILE --to OUT.csv (or .jsonl, .parquet)\n")
    print("Keyed draws for keys 0:5 (seed 42, namespace 'demo', draw 0); the same on every machine:\n")
    try:
        np = require_extra("numpy", "numpy", "Keyed draws")
    except MissingExtraError as exc:
        print(f"  ({exc})")
        return 0
    keys = np.arange(5, dtype=np.uint64)
    uniforms = qk.keyed_uniforms(42, "demo", keys, 0)
    normals = qk.inv_norm_cdf(uniforms)
    print(f"  {'key':>3}  {'uniform':<20}  normal")
    for key, uniform, normal in zip(keys.tolist(), uniforms.tolist(), normals.tolist()):
        print(f"  {key:>3}  {uniform!r:<20}  {normal!r}")
    print(f"\nPrint more with: {PROG} draw --seed 42 --namespace demo --keys 0:5 [--normal]")
    return 0


# ---------------------------------------------------------------------------
# Entry point


def _error(message: object) -> None:
    print(f"{PROG}: {message}", file=sys.stderr)


def _note(message: object) -> None:
    print(f"{PROG}: note: {message}", file=sys.stderr)


def _notes(exc: BaseException) -> None:
    """The notes an exception carries (what became of the output)."""
    for note in getattr(exc, "__notes__", ()):
        _note(note)


def _discard_stdout() -> None:
    """Points stdout at /dev/null, so that the interpreter's final flush of
    the output still buffered goes nowhere instead of failing again with a
    traceback."""
    os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    run = getattr(args, "run", _run_demo)
    try:
        result: int = run(args, parser)
        sys.stdout.flush()
        return result
    except MissingExtraError as exc:
        _error(exc)
        return EXIT_USAGE
    except ValueError as exc:
        # The module's XML failures and our own refusals say which file and
        # what went wrong. Any other ValueError is a bug, and its traceback
        # is what a report needs.
        if not (isinstance(exc, ConversionError) or is_xml_error(exc)):
            raise
        _error(exc)
        _notes(exc)
        return EXIT_FAILURE
    except BrokenPipeError:
        # The reader of our output went away (`quelbrand draw ... | head`).
        _discard_stdout()
        return EXIT_FAILURE
    except OSError as exc:
        if _is_input_error(exc, args):
            _error(f"cannot read {exc.filename!r}: {exc.strerror or exc}")
            return EXIT_FAILURE
        # Printing failed, say into a full disk behind a redirect.
        _error(f"cannot write the output: {exc.strerror or exc}")
        _discard_stdout()
        return EXIT_FAILURE
    except KeyboardInterrupt as exc:
        _error("interrupted")
        _notes(exc)
        return EXIT_INTERRUPTED
