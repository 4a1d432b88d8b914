"""Every XML error says where it is: the line (counting LF) and the byte offset
in the file of the markup or text at fault."""

import os
import re
import subprocess
import sys
import textwrap

import pytest

import quelbrand_kernels as qk

# (document, message start, line, byte of the fault's first byte)
CASES = [
    ("wrong end tag", b"<r>\n<a>1</b>\n</r>", "expected `</a>`, found `</b>`", 2, 8),
    ("unmatched end tag", b"<r>\n</r>\n</x>", "unexpected end tag `</x>` with no open element", 3, 9),
    ("cut-off tag", b"<r>\n<a>1</a>\n<b", "unexpected end of file", 3, 13),
    ("cut-off comment", b"<r>\n<a>1</a><!-- cut", "unexpected end of file inside a comment", 2, 12),
    ("undecodable bytes", b"<r>\n\n<a>x\xffy</a></r>", "invalid UTF-8 in text", 3, 8),
    ("bad reference", b"<r>\n<a>&bogus;</a></r>", "unrecognized entity `bogus`", 2, 7),
    ("nameless DOCTYPE", b"<r>\n<!DOCTYPE>", "DOCTYPE declaration has no name", 2, 4),
]


def error_of(path, reader):
    with pytest.raises(ValueError) as info:
        if reader == "count":
            qk.count_xml_records(path)
        else:
            list(qk.stream_xml_file(path, 10))
    return str(info.value)


def where(message):
    found = re.search(r" at (?:line (\d+), )?byte (\d+)$", message)
    assert found, message
    return (int(found[1]) if found[1] else None), int(found[2])


@pytest.mark.parametrize("name, doc, what, line, byte", CASES, ids=[c[0] for c in CASES])
@pytest.mark.parametrize("shift", [0, 8190, 8192, 8193, 16383])
def test_positions(write_xml, name, doc, what, line, byte, shift):
    # Leading white space moves the fault across the reader's 8 KiB refills.
    pad = b" " * shift
    path = write_xml(pad + doc)
    message = error_of(path, "stream")
    assert message.startswith(f"failed to parse XML file '{path}': {what}")
    assert where(message) == (line, byte + shift)
    # The counter does not decode text, so only markup faults reach it.
    if name not in ("undecodable bytes", "bad reference"):
        assert error_of(path, "count") == message


@pytest.mark.parametrize("bom", [True, False])
@pytest.mark.parametrize("codec", ["utf-16-le", "utf-16-be"])
def test_utf16_positions_count_the_files_own_bytes(write_xml, codec, bom):
    text = '<?xml version="1.0"?><r>\n<a>é😀</a>\n<a>1</b></r>'
    data = ("\ufeff" if bom else "") + text
    path = write_xml(data.encode(codec))
    fault = data.index("</b>")
    # Every character is one code unit but the emoji, which is two.
    units = fault + data[:fault].count("😀")
    assert where(error_of(path, "stream")) == (3, 2 * units)


def test_many_errors_each_say_where(write_xml):
    # Each error is found again from where the last one was, and all are right.
    doc = b"<r>" + b"".join(b"\n<a>%d</b>" % i for i in range(50)) + b"</r>"
    path = write_xml(doc)
    it = qk.stream_xml_file(path, 1)
    places = []
    while True:
        try:
            next(it)
        except ValueError as e:
            places.append(where(str(e)))
        except StopIteration:
            break
    starts = [m.start() for m in re.finditer(rb"</b>", doc)]
    assert places == [(i + 2, s) for i, s in enumerate(starts)]


def test_a_pipe_gives_the_byte_alone(tmp_path):
    fifo = tmp_path / "x.fifo"
    os.mkfifo(fifo)
    code = textwrap.dedent(f"""
        import threading
        import quelbrand_kernels as qk
        def write():
            with open({str(fifo)!r}, "wb") as f:
                f.write(b"<r>\\n<a>1</b></r>")
        threading.Thread(target=write).start()
        try:
            list(qk.stream_xml_file({str(fifo)!r}, 10))
        except ValueError as e:
            print(e)
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert out.stdout.strip().endswith("found `</b>` at byte 8"), out.stderr
