"""Ctrl-C stops long native calls, and a handler that does not raise lets them
finish. Each case runs in a child process that the test signals.

Timeouts here only catch a hang: a module that ignores SIGINT never ends
these calls, so the guard fails it, while a correct one ends them at once.
Each child says "ready" only once it stands where a KeyboardInterrupt is
handled, and is then sent one SIGINT: no sleep guesses when it got there,
and no second signal can land in its cleanup, however slow a loaded machine
makes it.
"""

import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

HANG_GUARD = 60  # seconds; a correct module ends each call within milliseconds


def default_sigint():
    # A shell starts background jobs with SIGINT ignored, and Python then
    # installs no handler of its own: a child started from such a job (CI run
    # in the background, say) would never see Ctrl-C, whatever the module does.
    signal.signal(signal.SIGINT, signal.SIG_DFL)


def child(code):
    return subprocess.Popen(
        [sys.executable, "-c", textwrap.dedent(code)],
        preexec_fn=default_sigint,
        stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )


def interrupt_until_done(proc):
    """Waits for the child's "ready", sends it one SIGINT and waits for it to
    exit; returns (returncode, rest of stdout, stderr)."""
    assert proc.stdout.readline().strip() == "ready", proc.stderr.read()
    proc.send_signal(signal.SIGINT)
    try:
        out, err = proc.communicate(timeout=HANG_GUARD)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.communicate()
        pytest.fail("the call ignored SIGINT")
    return proc.returncode, out, err


def test_count_of_an_endless_file_stops():
    proc = child("""
        import quelbrand_kernels as qk
        try:
            print("ready", flush=True)
            qk.count_xml_records("/dev/zero")
        except KeyboardInterrupt:
            print("interrupted")
    """)
    rc, out, err = interrupt_until_done(proc)
    assert (rc, out.strip()) == (0, "interrupted"), err


@pytest.mark.parametrize("fn", ["keyed_hash", "keyed_uniforms", "inv_norm_cdf"])
def test_a_numeric_call_stops_between_blocks(fn):
    # A call that ignores signals also ends in KeyboardInterrupt, raised as it
    # returns, so what shows an interruptible one is where the handler ran:
    # inside the call (the kernel polls between blocks), or only after it.
    # A profile hook runs as the call begins and as it ends, so a handler run
    # from within the hook is outside the call, and one run with the hook
    # off the stack is inside: no clock decides. The signal comes from a
    # thread of the child's own once the call has begun, again until the
    # handler has run somewhere other than the hook's start of the call.
    code = f"""
        import signal, sys, threading
        import numpy as np
        import quelbrand_kernels as qk
        n = 100_000_000
        if {fn!r} == "inv_norm_cdf":
            data, call = np.full(n, 1e-5), qk.inv_norm_cdf  # the slow branch
        else:
            data = np.arange(n, dtype=np.uint64)
            call = lambda keys: getattr(qk, {fn!r})(7, "stop", keys, 3)
        call(data[:1])  # NumPy's table loads on the first call, running Python code
        begun, decided, where = threading.Event(), threading.Event(), []
        def profile(frame, event, arg):
            if event == "c_call" and arg is getattr(qk, {fn!r}):
                begun.set()
        def hook_event(frame):
            while frame is not None:
                if frame.f_code is profile.__code__:
                    return frame.f_locals["event"]
                frame = frame.f_back
        def handler(signum, frame):
            event = hook_event(frame)
            if decided.is_set() or event == "c_call":
                return  # a late signal, or one before the call began
            where.append("after" if event else "inside")
            decided.set()
            raise KeyboardInterrupt
        signal.signal(signal.SIGINT, handler)
        main = threading.get_ident()
        def sender():
            begun.wait()
            while not decided.is_set():
                signal.pthread_kill(main, signal.SIGINT)
                decided.wait(0.1)
        threading.Thread(target=sender, daemon=True).start()
        sys.setprofile(profile)
        try:
            call(data)
            where.append("finished")
        except KeyboardInterrupt:
            pass
        sys.setprofile(None)
        print(*where)
    """
    out = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=HANG_GUARD * 5,
        preexec_fn=default_sigint,
    )
    assert (out.returncode, out.stdout.strip()) == (0, "inside"), out.stderr


@pytest.mark.parametrize("fn", ["keyed_hash", "keyed_uniforms", "inv_norm_cdf"])
def test_blocks_give_the_same_bits(fn):
    np = pytest.importorskip("numpy")
    import quelbrand_kernels as qk

    n = 3 * (1 << 18) + 5  # past several block boundaries, ending mid-block
    if fn == "inv_norm_cdf":
        data = np.linspace(1e-9, 1 - 1e-9, n)
        call = qk.inv_norm_cdf
    else:
        data = np.arange(n, dtype=np.uint64) * np.uint64(0x9E3779B97F4A7C15)
        call = lambda a: getattr(qk, fn)(7, "blocks", a, 3)  # noqa: E731
    whole = call(data)
    pieces = np.concatenate([call(data[i : i + 1000]) for i in range(0, n, 1000)])
    assert whole.tobytes() == pieces.tobytes()


def test_next_on_an_endless_pipe_stops_and_the_iterator_goes_on(tmp_path):
    fifo = tmp_path / "feed.fifo"
    os.mkfifo(fifo)
    finish = threading.Event()

    def feed():
        with open(fifo, "wb") as f:
            f.write(b"<root>")
            try:
                while not finish.is_set():
                    f.write(b"ignored text between records\n" * 1000)
                f.write(b"<r><a>1</a></r></root>")
            except BrokenPipeError:
                pass

    writer = threading.Thread(target=feed)
    writer.start()
    proc = child(f"""
        import quelbrand_kernels as qk
        it = qk.stream_xml_file({str(fifo)!r}, 10)
        try:
            print("ready", flush=True)
            next(it)
        except KeyboardInterrupt:
            print("interrupted", flush=True)
        print(list(it))
    """)
    try:
        assert proc.stdout.readline().strip() == "ready", proc.stderr.read()
        proc.send_signal(signal.SIGINT)
        # The child prints as soon as next() gives up.
        if not _readable(proc, HANG_GUARD):
            pytest.fail("next() ignored SIGINT")
        assert proc.stdout.readline().strip() == "interrupted"
        finish.set()
        out, err = proc.communicate(timeout=HANG_GUARD)
        assert proc.returncode == 0, err
        # Reading went on where it stopped: the record after the text arrives.
        assert out.strip() == "[(['a'], [['1']])]"
    finally:
        finish.set()
        if proc.poll() is None:
            proc.kill()
        writer.join(HANG_GUARD)


def _readable(proc, timeout):
    import select

    return bool(select.select([proc.stdout], [], [], timeout)[0])


def test_the_command_exits_130_without_a_traceback():
    # "ready" comes from inside main(), where the command handles Ctrl-C;
    # before it, a signal would end the child with Python's own traceback.
    proc = child("""
        import sys
        import quelbrand._native as native
        from quelbrand.cli import main
        count = native.split
        def announced(*args, **kwargs):
            print("ready", flush=True)
            return count(*args, **kwargs)
        native.split = announced
        sys.exit(main(["count", "/dev/zero"]))
    """)
    rc, _, err = interrupt_until_done(proc)
    assert rc == 130
    assert "Traceback" not in err and "interrupted" in err


@pytest.mark.parametrize("call", ["count", "next"])
def test_a_handler_that_does_not_raise_lets_the_call_finish(tmp_path, call):
    # The pipe's last bytes are written only after the signals were sent, so
    # they necessarily arrive while the call is running.
    fifo = tmp_path / "feed.fifo"
    os.mkfifo(fifo)
    signals_sent = threading.Event()

    def feed():
        with open(fifo, "wb") as f:
            f.write(b"<root><r><a>1</a></r>" + b" " * 100000)
            f.flush()
            signals_sent.wait(HANG_GUARD)
            f.write(b"<r><a>2</a></r></root>")

    writer = threading.Thread(target=feed)
    writer.start()
    reading = (
        "qk.count_xml_records(path)" if call == "count" else "[values for _, values in qk.stream_xml_file(path, 10)]"
    )
    proc = child(f"""
        import signal
        import quelbrand_kernels as qk
        seen = []
        signal.signal(signal.SIGINT, lambda *args: seen.append(1))
        path = {str(fifo)!r}
        print("ready", flush=True)
        result = {reading}
        print(repr(result), bool(seen))
    """)
    try:
        assert proc.stdout.readline().strip() == "ready", proc.stderr.read()
        time.sleep(0.3)
        for _ in range(3):
            proc.send_signal(signal.SIGINT)
            time.sleep(0.05)
        signals_sent.set()
        out, err = proc.communicate(timeout=HANG_GUARD)
    finally:
        signals_sent.set()
        if proc.poll() is None:
            proc.kill()
        writer.join(HANG_GUARD)
    want = "2" if call == "count" else "[[['1', '2']]]"
    assert (proc.returncode, out.strip()) == (0, f"{want} True"), err


def test_a_table_waiting_on_a_silent_pipe_stops(tmp_path):
    # The batches are built on a worker thread, here blocked reading a pipe
    # whose writer stays open and silent; the caller waiting for them still
    # sees Ctrl-C, and dropping the reader does not wait for the worker's
    # read. The child says "ready" once it holds the first batch, which may
    # take long to come on a loaded machine.
    fifo = tmp_path / "feed.fifo"
    os.mkfifo(fifo)
    proc = child(f"""
        import os
        import quelbrand
        writer = os.open({str(fifo)!r}, os.O_RDWR)  # a writer that never writes again
        os.write(writer, b"<r><row><a>1</a></row>")
        batches = iter(quelbrand.read_xml({str(fifo)!r}, batch_rows=1, columns=["a"]))
        rows = next(batches).num_rows
        try:
            print("ready", flush=True)
            for batch in batches:  # waits for good on the silent pipe
                rows += batch.num_rows
        except KeyboardInterrupt:
            del batches  # dropping the reader must not wait for the worker
            print("interrupted", rows, flush=True)
        # The worker is still blocked on the silent pipe, which this process
        # itself keeps open; what is tested ends here.
        os._exit(0)
    """)
    rc, out, err = interrupt_until_done(proc)
    assert (rc, out.strip()) == (0, "interrupted 1"), err


# ---- SIGTERM and SIGHUP end a conversion as Ctrl-C does --------------------------


def default_terminating_signals():
    # The runner's own dispositions (nohup ignores SIGHUP) are not the test's.
    for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, signal.SIG_DFL)


def feed_until(fifo, stop):
    """Writes a record, then markup the reader skips, into `fifo` until
    `stop` is set or the reader goes away; never blocks for good on a reader
    that never came."""
    while True:
        try:
            fd = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
            break
        except OSError:  # ENXIO: no reader yet
            if stop.wait(0.01):
                return
    os.set_blocking(fd, True)
    try:
        with open(fd, "wb") as f:
            f.write(b"<root><r><a>1</a></r>")
            while not stop.is_set():
                f.write(b"<!-- not a record -->\n" * 1000)
    except BrokenPipeError:
        pass


@pytest.mark.parametrize("fmt", ["csv", "jsonl", "parquet"])
@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGHUP])
def test_a_terminating_signal_removes_the_temporary_output(tmp_path, signum, fmt):
    # The input is a pipe that never ends, so the conversion is still running
    # whenever the signal comes.
    fifo, spool, out = tmp_path / "feed.fifo", tmp_path / "spool", tmp_path / f"out.{fmt}"
    os.mkfifo(fifo)
    spool.mkdir()  # where the pipe's batches are spooled: left empty too
    stop = threading.Event()
    writer = threading.Thread(target=feed_until, args=(fifo, stop))
    writer.start()
    proc = subprocess.Popen(
        [sys.executable, "-m", "quelbrand", "convert", str(fifo), "--to", str(out)],
        env={**os.environ, "TMPDIR": str(spool)},
        preexec_fn=default_terminating_signals,
        stdin=subprocess.DEVNULL,
        stdout=subprocess.DEVNULL,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        deadline = time.monotonic() + HANG_GUARD
        while not any(name.endswith(".tmp") for name in os.listdir(tmp_path)):
            assert proc.poll() is None, proc.stderr.read()
            assert time.monotonic() < deadline, "no temporary output appeared"
            time.sleep(0.01)
        proc.send_signal(signum)
        _, err = proc.communicate(timeout=HANG_GUARD)
    finally:
        stop.set()
        if proc.poll() is None:
            proc.kill()
            proc.communicate()
        writer.join(HANG_GUARD)
    assert proc.returncode == 128 + signum, err
    assert err == (
        f"quelbrand: stopped by {signal.Signals(signum).name}\n"
        f"quelbrand: note: nothing was written to {os.path.realpath(out)!r}: no file was left there\n"
    )
    assert sorted(os.listdir(tmp_path)) == ["feed.fifo", "spool"]
    assert os.listdir(spool) == []


@pytest.mark.parametrize("ignored", [False, True])
def test_the_command_s_handlers_last_only_while_it_converts(tmp_path, monkeypatch, capsys, ignored):
    # In process: the fake conversion signals itself mid-output. An ignored
    # SIGHUP (nohup) stays ignored and the conversion finishes.
    from quelbrand import cli
    from quelbrand.output import open_output

    out = tmp_path / "out.csv"

    def convert(source, destination, **kwargs):
        with open_output(destination) as file:
            file.write(b"partial")
            signal.raise_signal(signal.SIGHUP)
        return 1

    def own(signum, frame):
        raise AssertionError("the command's handler should have run")

    monkeypatch.setattr(cli, "convert", convert)
    previous = {s: signal.getsignal(s) for s in (signal.SIGTERM, signal.SIGHUP)}
    signal.signal(signal.SIGTERM, own)
    signal.signal(signal.SIGHUP, signal.SIG_IGN if ignored else own)
    try:
        rc = cli.main(["convert", str(tmp_path / "in.xml"), "--to", str(out)])
        after = signal.getsignal(signal.SIGTERM), signal.getsignal(signal.SIGHUP)
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)
    assert after == (own, signal.SIG_IGN if ignored else own)
    if ignored:
        assert rc == 0 and out.read_bytes() == b"partial"
    else:
        assert rc == 128 + signal.SIGHUP
        assert capsys.readouterr().err == (
            "quelbrand: stopped by SIGHUP\n"
            f"quelbrand: note: nothing was written to {os.path.realpath(out)!r}: no file was left there\n"
        )
        assert os.listdir(tmp_path) == []


def test_a_terminating_signal_during_an_import_still_stops_the_command(tmp_path, monkeypatch, capsys):
    # Python wraps an exception raised while a class is made (as a module
    # being imported makes its classes) in a RuntimeError; the signal that
    # raised it must still be what the command reports.
    from quelbrand import cli
    from quelbrand.output import open_output

    out = tmp_path / "out.csv"

    class Named:
        def __set_name__(self, owner, name):
            signal.raise_signal(signal.SIGTERM)

    def convert(source, destination, **kwargs):
        with open_output(destination) as file:
            file.write(b"partial")
            type("Made", (), {"field": Named()})
        return 1

    monkeypatch.setattr(cli, "convert", convert)
    previous = signal.getsignal(signal.SIGTERM)
    try:
        rc = cli.main(["convert", str(tmp_path / "in.xml"), "--to", str(out)])
    finally:
        signal.signal(signal.SIGTERM, previous)
    assert rc == 128 + signal.SIGTERM
    assert capsys.readouterr().err == "quelbrand: stopped by SIGTERM\n"
    assert os.listdir(tmp_path) == []


def test_a_terminating_signal_swallowed_by_a_callback_is_sent_again():
    # A signal whose exception lands in a weakref callback is only printed
    # by Python; the conversion must still stop.
    import weakref

    from quelbrand.cli import _signals_unwind, _Terminated

    class Target:
        pass

    def callback(ref):
        os.kill(os.getpid(), signal.SIGTERM)
        sum(range(1000))  # the handler runs here, inside the callback

    with pytest.raises(_Terminated):
        with _signals_unwind([signal.SIGTERM]):
            target = Target()
            ref = weakref.ref(target, callback)
            del target
            deadline = time.monotonic() + 60
            while time.monotonic() < deadline:  # the signal sent again lands here
                pass
    assert ref() is None
