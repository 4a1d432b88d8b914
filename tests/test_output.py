"""open_output: the whole output or nothing, and special files written in place.

Special files are made here in tmp_path; of the system's own devices only
/dev/null and /dev/full are opened, for writing, which is harmless.
"""

import errno
import os
import stat
import subprocess
import sys
import textwrap
import threading
from pathlib import Path

import pytest

from quelbrand.output import open_output

DATA = b"a,b\r\n1,2\r\n"

HANG_GUARD = 60  # seconds; only a fault waits this long


def leftovers(directory):
    return sorted(name for name in os.listdir(directory) if name.endswith(".tmp"))


@pytest.mark.parametrize("existing", [False, True])
def test_a_regular_target_is_replaced_whole_keeping_its_mode_or_taking_the_umask_s(tmp_path, existing):
    out = tmp_path / "out.csv"
    if existing:
        out.write_bytes(b"old")
        out.chmod(0o600)
    old = os.umask(0o027)
    try:
        with open_output(out) as file:
            file.write(DATA)
            # Written beside the target, which is not touched until the end.
            assert leftovers(tmp_path) != []
            assert out.exists() == existing and (not existing or out.read_bytes() == b"old")
    finally:
        os.umask(old)
    assert out.read_bytes() == DATA
    # A file replaced keeps its permissions; a new one takes the umask's.
    assert out.stat().st_mode & 0o777 == (0o600 if existing else 0o640)
    assert os.listdir(tmp_path) == ["out.csv"]


@pytest.mark.parametrize("error", [ValueError, KeyboardInterrupt, SystemExit])
@pytest.mark.parametrize("existing", [False, True])
def test_a_failing_block_leaves_nothing_and_keeps_the_target(tmp_path, error, existing):
    out = tmp_path / "out.csv"
    if existing:
        out.write_bytes(b"old")
    with pytest.raises(error) as excinfo:
        with open_output(str(out)) as file:
            file.write(DATA * 10_000)  # past the buffer: bytes are on disk
            raise error()
    assert os.listdir(tmp_path) == (["out.csv"] if existing else [])
    if existing:
        assert out.read_bytes() == b"old"
    # The exception says what became of the output.
    left = "the file there is as it was" if existing else "no file was left there"
    assert excinfo.value.__notes__ == [f"nothing was written to {os.path.realpath(out)!r}: {left}"]


@pytest.mark.parametrize("dangling", [False, True])
def test_a_symlink_keeps_its_place_and_its_target_is_written(tmp_path, dangling):
    (tmp_path / "links").mkdir()
    (tmp_path / "data").mkdir()
    target = tmp_path / "data" / "real.csv"
    if not dangling:
        target.write_bytes(b"old")
    link = tmp_path / "links" / "out.csv"
    link.symlink_to(target)
    with open_output(link) as file:
        file.write(DATA)
        # The temporary file is beside the target, so the rename stays on its
        # file system.
        assert len(leftovers(tmp_path / "data")) == 1 and leftovers(tmp_path / "links") == []
    assert link.is_symlink() and os.readlink(link) == str(target)
    assert target.read_bytes() == DATA
    assert sorted(os.listdir(tmp_path / "data")) == ["real.csv"]


@pytest.mark.parametrize("fail", [False, True])
def test_a_fifo_is_written_in_place(tmp_path, fail):
    fifo = tmp_path / "out.fifo"
    os.mkfifo(fifo)
    received = []
    reader = threading.Thread(target=lambda: received.append(fifo.read_bytes()))
    reader.start()
    try:
        with open_output(fifo) as file:
            file.write(DATA)
            if fail:
                raise ValueError("stop")
    except ValueError:
        assert fail
    finally:
        reader.join(HANG_GUARD)
        if reader.is_alive():  # the FIFO was never opened for writing
            open(fifo, "wb").close()
            pytest.fail("the FIFO was not written")
    # What was written before a failure was sent already; nothing is unlinked.
    assert received == [DATA]
    assert stat.S_ISFIFO(os.lstat(fifo).st_mode)
    assert os.listdir(tmp_path) == ["out.fifo"]


def test_a_device_node_is_written_in_place(tmp_path):
    if os.geteuid() != 0:
        pytest.skip("making a device node needs root")
    node = tmp_path / "null"
    try:
        os.mknod(node, stat.S_IFCHR | 0o666, os.makedev(1, 3))  # the null device
    except PermissionError:
        pytest.skip("no permission to make device nodes here")
    with open_output(node) as file:
        file.write(DATA)
    assert stat.S_ISCHR(os.lstat(node).st_mode)
    assert os.listdir(tmp_path) == ["null"]


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
def test_system_devices_in_place_and_a_full_one_fails():
    with open_output("/dev/null") as file:
        file.write(DATA)
    with pytest.raises(OSError) as caught:
        with open_output("/dev/full") as file:
            file.write(DATA)
    assert caught.value.errno == errno.ENOSPC
    assert stat.S_ISCHR(os.lstat("/dev/full").st_mode)


def test_a_directory_is_refused_and_kept(tmp_path):
    with pytest.raises(IsADirectoryError):
        with open_output(tmp_path) as file:
            file.write(DATA)
    assert os.listdir(tmp_path) == []


def test_only_the_string_dash_is_stdout(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    with open_output(Path("-")) as file:
        file.write(DATA)
    assert (tmp_path / "-").read_bytes() == DATA


# What a child prints through the text layer, then writes through
# open_output to `destination`, then prints again: stdout is neither closed
# nor out of order.
CHILD = textwrap.dedent("""
    import sys
    from quelbrand.output import open_output
    print("before")
    with open_output(sys.argv[1]) as file:
        file.write(b"data\\n")
    print("after")
""")


@pytest.mark.parametrize("destination", ["-", "/dev/stdout", "/proc/self/fd/1"])
@pytest.mark.parametrize("stdout", ["pipe", "file", "appended file"])
def test_stdout_and_descriptor_paths(tmp_path, destination, stdout):
    command = [sys.executable, "-c", CHILD, destination]
    if stdout == "pipe":
        result = subprocess.run(command, capture_output=True, timeout=120)
        assert result.returncode == 0, result.stderr
        written = result.stdout
        expected = b"before\ndata\nafter\n"
    else:
        out = tmp_path / "stdout.txt"
        out.write_bytes(b"kept\n")
        # A file opened for appending keeps what it had; one opened anew is
        # cut by its opener, and the output goes where the shell left it.
        with open(out, "ab" if stdout == "appended file" else "wb") as sink:
            result = subprocess.run(command, stdout=sink, stderr=subprocess.PIPE, timeout=120)
        assert result.returncode == 0, result.stderr
        written = out.read_bytes()
        expected = (b"kept\n" if stdout == "appended file" else b"") + b"before\ndata\nafter\n"
        assert os.listdir(tmp_path) == ["stdout.txt"]
    assert written == expected


@pytest.mark.parametrize(
    ("how", "expected"),
    [("new file", True), ("appending", False), ("written to", False), ("pipe", False), ("in memory", False)],
)
def test_only_an_output_of_ours_from_its_start_is_restartable(tmp_path, how, expected):
    import io

    from quelbrand.output import restart, restartable

    target = tmp_path / "out"
    target.write_bytes(b"kept")
    if how == "pipe":
        read, write = os.pipe()
        os.close(read)
        file = os.fdopen(write, "wb")
    elif how == "in memory":
        file = io.BytesIO()
    else:
        # As a shell's >> opens it: at offset 0 until the first write, and
        # cutting it back would destroy what was there.
        flags = os.O_WRONLY | (os.O_APPEND if how == "appending" else os.O_TRUNC)
        file = os.fdopen(os.open(target, flags), "wb")
        if how == "written to":
            file.write(b"x")
    with file:
        assert restartable(file) is expected
        if expected:
            file.write(b"first try")
            restart(file)
            file.write(b"ok")
    if how != "pipe" and how != "in memory":
        assert target.read_bytes() == {"new file": b"ok", "appending": b"kept", "written to": b"x"}[how]
