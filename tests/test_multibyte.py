"""The multi-byte decoders (Shift_JIS, EUC-JP, ISO-2022-JP, EUC-KR, Big5, GBK,
gb18030) through stream_xml_file, against a reference decoder written here
from the Encoding Standard's index files (not Python's codecs, whose tables
differ).

The index files are in tests/data/encoding-standard/ (see its README), the
same copy tools/gen_encoding_tables.py builds the module's tables from.
"""

import filecmp
import subprocess
import sys
from pathlib import Path

import pytest

import quelbrand_kernels as qk

ROOT = Path(__file__).resolve().parent.parent
DATA = ROOT / "tests" / "data" / "encoding-standard"

# What the module trims off values.
WHITE_SPACE = (
    "\t\n\x0b\x0c\r \x85\xa0\u1680\u2000\u2001\u2002\u2003\u2004\u2005\u2006"
    "\u2007\u2008\u2009\u200a\u2028\u2029\u202f\u205f\u3000"
)
ERROR = object()


def decode_all(write_xml, label, texts):
    """Each byte string as the text of its own record, decoded by the module:
    a list of str, or ERROR where decoding failed."""
    doc = b"".join(b"<e><v>" + t + b"</v></e>" for t in texts)
    path = write_xml(f'<?xml version="1.0" encoding="{label}"?><r>'.encode() + doc + b"</r>")
    it = qk.stream_xml_file(path, 1)  # one record a batch: an error then names its record
    out, failed = [], False
    while True:
        try:
            _, columns = next(it)
        except StopIteration:
            break
        except ValueError as e:
            assert f"malformed {qk_name(label)} byte sequence" in str(e)
            failed = True
            continue
        value = columns[0][0] if columns else None
        if failed:
            assert value is None
        out.append(ERROR if failed else value)
        failed = False
    assert len(out) == len(texts)
    return out


def qk_name(label):
    return {"gbk": "GBK", "shift_jis": "Shift_JIS"}.get(label.lower(), label)


# ---- Fixed cases, no data needed ---------------------------------------------------

E = ERROR


@pytest.mark.parametrize(
    "label, data, want",
    [
        # EUC-JP: the web's JIS X 0208 mapping, NEC row 13, katakana, JIS X 0212.
        ("EUC-JP", b"\xa1\xc1\xa1\xdd\xa1\xc2\xa1\xf1\xa1\xf2\xa2\xcc", "\uff5e\uff0d\u2225\uffe0\uffe1\uffe2"),
        ("EUC-JP", b"\xad\xa1\xad\xe2", "\u2460\u2116"),
        ("EUC-JP", b"\x8e\xb1\x8f\xb0\xa1", "\uff71\u4e02"),
        ("EUC-JP", b"\x80", E),
        ("EUC-JP", b"\x8d", E),
        ("EUC-JP", b"\x8e\xe0", E),
        ("EUC-JP", b"\x8f\xa1\xa1", E),
        ("EUC-JP", b"\x8f\xb0", E),
        ("EUC-JP", b"\xa4", E),
        # Big5: HKSCS rows, pairs of code points, plane 2.
        ("Big5", b"\x8e\x69\x8e\xab\xa1\xfe\xa1\x45", "\u7bb8\u7dd2\uff0f\u2027"),
        ("Big5", b"\x88\x62\x88\x64\x88\xa3\x88\xa5", "\xca\u0304\xca\u030c\xea\u0304\xea\u030c"),
        ("Big5", b"\x87\x40\xfe\xfe", "\u43f0\u79d4"),
        ("Big5", b"\x87\x45", "\U00027267"),
        ("Big5", b"\x80", E),
        ("Big5", b"\xa1\x80", E),
        ("Big5", b"\x81\x40", E),
        ("Big5", b"\xa4", E),
        # Shift_JIS: 0x80 is U+0080, user-defined rows are private use.
        ("Shift_JIS", b"\x80\xb1\x80", "\x80\uff71\x80"),
        ("Shift_JIS", b"\xf0\x40\xf9\xfc", "\ue000\ue757"),
        ("Shift_JIS", b"\x81\x60", "\uff5e"),
        ("Shift_JIS", b"\xa0", E),
        ("Shift_JIS", b"\xfd", E),
        ("Shift_JIS", b"\x81\x7f", E),
        ("Shift_JIS", b"\x93", E),
        # gb18030 and GBK: the index's U+3000 and private use, four-byte ranges.
        ("gb18030", b"\xa3\xa0", "\u3000"),
        ("GBK", b"\xfe\x51\xfe\x52", "\ue816\ue817"),
        ("gb18030", b"\x82\x35\x91\x33\x81\x30\x81\x30\x84\x31\xa4\x39", "\u9fba\x80\uffff"),
        ("gb18030", b"\x81\x35\xf4\x37\x90\x30\x81\x30\xe3\x32\x9a\x35", "\ue7c7\U00010000\U0010ffff"),
        ("gb18030", b"a\x80\xd6\xd0\x80", "a\u20ac\u4e2d\u20ac"),
        ("gb18030", b"\x84\x31\xa5\x30", E),
        ("gb18030", b"\x8f\x39\xfe\x39", E),
        ("gb18030", b"\xe3\x32\x9a\x36", E),
        ("gb18030", b"\x81\x30\x81", E),
        ("gb18030", b"\x81\x30\x7f\x30", E),
        ("gb18030", b"\xff", E),
        ("EUC-KR", b"\xc7\xd1\x81\x41", "\ud55c\uac02"),
        ("EUC-KR", b"\x80", E),
        ("EUC-KR", b"\xc7\x40", E),
        # ISO-2022-JP: modes, and what the states refuse.
        ("ISO-2022-JP", b"\x1b$BF|K\\\x1b(B!", "\u65e5\u672c!"),
        ("ISO-2022-JP", b"\x1b(J\\~\x1b(I1\x1b$@F|", "\xa5\u203e\uff71\u65e5"),
        ("ISO-2022-JP", b"\x1b$B", ""),
        ("ISO-2022-JP", b"\x1b$", E),
        ("ISO-2022-JP", b"\x1b", E),
        ("ISO-2022-JP", b"\x0e", E),
        ("ISO-2022-JP", b"a\x0f", E),
        ("ISO-2022-JP", b"\x1b(Ia", E),
        ("ISO-2022-JP", b"\x1b(B\x1b(Bx", E),
        ("ISO-2022-JP", b"\x1b$BF|\x1b$B\x1b(B", E),
        ("ISO-2022-JP", b"\x1b$BF", E),
        ("ISO-2022-JP", b"\x1b$BF\x1b(B", E),
        ("ISO-2022-JP", b"\x1b$B\n", E),
        ("ISO-2022-JP", b"\x1b(D", E),
        ("ISO-2022-JP", b"\x80", E),
    ],
)
def test_fixed_cases(write_xml, label, data, want):
    # '#' after the bytes would be a character in ISO-2022-JP's other modes.
    end = "" if label == "ISO-2022-JP" else "#"
    got = decode_all(write_xml, label, [b"#" + data + end.encode()])[0]
    assert got == (E if want is E else "#" + want + end)


# ---- The reference decoder --------------------------------------------------------

EOS = None
CONTINUE = ()


class Err(Exception):
    pass


def load_index(name):
    index = {}
    for line in (DATA / "whatwg-index" / f"index-{name}.txt").read_text(encoding="utf-8").splitlines():
        if line.strip() and not line.startswith("#"):
            pointer, code = line.split("\t")[:2]
            index[int(pointer)] = int(code, 16)
    return index


class Indexes:
    def __init__(self):
        for name in ("jis0208", "jis0212", "euc-kr", "big5", "gb18030"):
            setattr(self, name.replace("-", "_"), load_index(name))
        self.ranges = sorted(load_index("gb18030-ranges").items())

    def gb18030_range(self, pointer):
        if 39419 < pointer < 189000 or pointer > 1237575:
            return None
        if pointer == 7457:
            return 0xE7C7
        offset, code = max(r for r in self.ranges if r[0] <= pointer)
        return code + pointer - offset


def shift_jis(ix):
    lead = 0

    def step(b):
        nonlocal lead
        if b is EOS:
            if lead:
                raise Err
            return CONTINUE
        if lead:
            l, lead = lead, 0
            pointer = None
            if 0x40 <= b <= 0x7E or 0x80 <= b <= 0xFC:
                pointer = (l - (0x81 if l < 0xA0 else 0xC1)) * 188 + b - (0x40 if b < 0x7F else 0x41)
            if pointer is not None and 8836 <= pointer <= 10715:
                return (0xE000 - 8836 + pointer,)
            if pointer in ix.jis0208:
                return (ix.jis0208[pointer],)
            raise Err
        if b <= 0x80:
            return (b,)
        if 0xA1 <= b <= 0xDF:
            return (0xFF61 - 0xA1 + b,)
        if 0x81 <= b <= 0x9F or 0xE0 <= b <= 0xFC:
            lead = b
            return CONTINUE
        raise Err

    return step


def euc_jp(ix):
    lead, jis0212 = 0, False

    def step(b):
        nonlocal lead, jis0212
        if b is EOS:
            if lead:
                raise Err
            return CONTINUE
        if lead == 0x8E and 0xA1 <= b <= 0xDF:
            lead = 0
            return (0xFF61 - 0xA1 + b,)
        if lead == 0x8F and 0xA1 <= b <= 0xFE:
            jis0212, lead = True, b
            return CONTINUE
        if lead:
            l, lead = lead, 0
            index = ix.jis0212 if jis0212 else ix.jis0208
            jis0212 = False
            if 0xA1 <= l <= 0xFE and 0xA1 <= b <= 0xFE and (l - 0xA1) * 94 + b - 0xA1 in index:
                return (index[(l - 0xA1) * 94 + b - 0xA1],)
            raise Err
        if b < 0x80:
            return (b,)
        if b in (0x8E, 0x8F) or 0xA1 <= b <= 0xFE:
            lead = b
            return CONTINUE
        raise Err

    return step


def euc_kr(ix):
    lead = 0

    def step(b):
        nonlocal lead
        if b is EOS:
            if lead:
                raise Err
            return CONTINUE
        if lead:
            l, lead = lead, 0
            if 0x41 <= b <= 0xFE and (l - 0x81) * 190 + b - 0x41 in ix.euc_kr:
                return (ix.euc_kr[(l - 0x81) * 190 + b - 0x41],)
            raise Err
        if b < 0x80:
            return (b,)
        if 0x81 <= b <= 0xFE:
            lead = b
            return CONTINUE
        raise Err

    return step


BIG5_PAIRS = {1133: (0xCA, 0x304), 1135: (0xCA, 0x30C), 1164: (0xEA, 0x304), 1166: (0xEA, 0x30C)}


def big5(ix):
    lead = 0

    def step(b):
        nonlocal lead
        if b is EOS:
            if lead:
                raise Err
            return CONTINUE
        if lead:
            l, lead = lead, 0
            pointer = None
            if 0x40 <= b <= 0x7E or 0xA1 <= b <= 0xFE:
                pointer = (l - 0x81) * 157 + b - (0x40 if b < 0x7F else 0x62)
            if pointer in BIG5_PAIRS:
                return BIG5_PAIRS[pointer]
            if pointer in ix.big5:
                return (ix.big5[pointer],)
            raise Err
        if b < 0x80:
            return (b,)
        if 0x81 <= b <= 0xFE:
            lead = b
            return CONTINUE
        raise Err

    return step


def gb18030(ix):
    first = second = third = 0

    def step(b):
        nonlocal first, second, third
        if b is EOS:
            if first or second or third:
                raise Err
            return CONTINUE
        if third:
            if not 0x30 <= b <= 0x39:
                raise Err
            code = ix.gb18030_range(
                ((first - 0x81) * 10 * 126 * 10) + ((second - 0x30) * 10 * 126) + ((third - 0x81) * 10) + b - 0x30
            )
            first = second = third = 0
            if code is None:
                raise Err
            return (code,)
        if second:
            if not 0x81 <= b <= 0xFE:
                raise Err
            third = b
            return CONTINUE
        if first:
            if 0x30 <= b <= 0x39:
                second = b
                return CONTINUE
            l, first = first, 0
            if 0x40 <= b <= 0x7E or 0x80 <= b <= 0xFE:
                pointer = (l - 0x81) * 190 + b - (0x40 if b < 0x7F else 0x41)
                if pointer in ix.gb18030:
                    return (ix.gb18030[pointer],)
            raise Err
        if b < 0x80:
            return (b,)
        if b == 0x80:
            return (0x20AC,)
        if 0x81 <= b <= 0xFE:
            first = b
            return CONTINUE
        raise Err

    return step


def iso_2022_jp(ix):
    st = {"state": "ascii", "output_state": "ascii", "lead": 0, "flag": False}

    def emit(codes):
        st["flag"] = False
        return codes

    def step(b):
        s = st["state"]
        if s in ("ascii", "roman", "katakana", "lead") and b == 0x1B:
            st["state"] = "escape start"
            return CONTINUE
        if s == "ascii":
            if b is EOS:
                return CONTINUE
            if b < 0x80 and b not in (0x0E, 0x0F):
                return emit((b,))
            raise Err
        if s == "roman":
            if b is EOS:
                return CONTINUE
            if b == 0x5C:
                return emit((0xA5,))
            if b == 0x7E:
                return emit((0x203E,))
            if b < 0x80 and b not in (0x0E, 0x0F):
                return emit((b,))
            raise Err
        if s == "katakana":
            if b is EOS:
                return CONTINUE
            if 0x21 <= b <= 0x5F:
                return emit((0xFF61 - 0x21 + b,))
            raise Err
        if s == "lead":
            if b is EOS:
                return CONTINUE
            if 0x21 <= b <= 0x7E:
                st["flag"], st["lead"], st["state"] = False, b, "trail"
                return CONTINUE
            raise Err
        if s == "trail":
            st["state"] = "lead"
            if b is not EOS and 0x21 <= b <= 0x7E:
                pointer = (st["lead"] - 0x21) * 94 + b - 0x21
                if pointer in ix.jis0208:
                    return (ix.jis0208[pointer],)
            raise Err  # also ESC here, and the end of input
        if s == "escape start":
            if b in (0x24, 0x28):
                st["lead"], st["state"] = b, "escape"
                return CONTINUE
            raise Err
        # escape
        new = {
            (0x28, 0x42): "ascii",
            (0x28, 0x4A): "roman",
            (0x28, 0x49): "katakana",
            (0x24, 0x40): "lead",
            (0x24, 0x42): "lead",
        }.get((st["lead"], b))
        if new is None:
            raise Err
        st["state"] = st["output_state"] = new
        if st["flag"]:
            raise Err
        st["flag"] = True
        return CONTINUE

    return step


DECODERS = {
    "Shift_JIS": shift_jis,
    "EUC-JP": euc_jp,
    "ISO-2022-JP": iso_2022_jp,
    "EUC-KR": euc_kr,
    "Big5": big5,
    "GBK": gb18030,
    "gb18030": gb18030,
}


def reference(ix, label, data):
    """The decoded text, or ERROR; the module trims values, so this does too."""
    step = DECODERS[label](ix)
    out = []
    try:
        for b in list(data) + [EOS]:
            out.extend(step(b))
    except Err:
        return ERROR
    return "".join(map(chr, out)).strip(WHITE_SPACE) or None


@pytest.fixture(scope="module")
def ix():
    return Indexes()


def check_against_reference(write_xml, ix, label, texts):
    texts = [t for t in texts if b"<" not in t and b"&" not in t]  # markup, not text
    got = decode_all(write_xml, label, texts)
    bad = [(t, g, w) for t, g, w in zip(texts, got, (reference(ix, label, t) for t in texts)) if g != w]
    assert not bad[:20], f"{len(bad)} of {len(texts)} differ (bytes, module, reference)"


# ---- Exhaustive and sampled checks against the reference ----------------------------------

ONE_AND_TWO = [bytes([a]) for a in range(256)] + [bytes([a, b]) for a in range(0x80, 256) for b in range(256)]


@pytest.mark.parametrize("label", ["Shift_JIS", "EUC-JP", "EUC-KR", "Big5", "gb18030", "GBK"])
def test_every_one_and_two_byte_sequence(write_xml, ix, label):
    # '#' around each sequence: never a trail byte, so an unfinished sequence
    # stays unfinished, and trimming cannot hide a decoded space.
    check_against_reference(write_xml, ix, label, [b"#" + s + b"#" for s in ONE_AND_TWO])


def test_every_euc_jp_jis0212_sequence(write_xml, ix):
    check_against_reference(
        write_xml, ix, "EUC-JP", [bytes([0x8F, a, b, 0x23]) for a in range(0x80, 256) for b in range(256)]
    )


def gb18030_four(pointer):
    b1, rest = divmod(pointer, 12600)
    b2, rest = divmod(rest, 1260)
    b3, b4 = divmod(rest, 10)
    return bytes([0x81 + b1, 0x30 + b2, 0x81 + b3, 0x30 + b4])


@pytest.mark.parametrize("label", ["gb18030", "GBK"])
def test_gb18030_four_byte_sequences(write_xml, ix, rng, label):
    pointers = {
        7456,
        7457,
        7458,
        39418,
        39419,
        39420,
        188999,
        189000,
        189001,
        1237574,
        1237575,
        1237576,
        126 * 12600 - 1,
    }
    for start, _ in ix.ranges:
        pointers.update((start - 1, start, start + 1))
    pointers.update(rng.randrange(0, 39420) for _ in range(3000))
    pointers.update(rng.randrange(39420, 189000) for _ in range(300))
    pointers.update(rng.randrange(189000, 1237576) for _ in range(3000))
    pointers.update(rng.randrange(1237576, 126 * 12600) for _ in range(300))
    texts = [b"#" + gb18030_four(p) + b"#" for p in sorted(pointers) if p >= 0]
    # Every byte in each position after valid ones.
    texts += [b"#\x81" + bytes([b]) + b"\x81\x30#" for b in range(256)]
    texts += [b"#\x81\x30" + bytes([b]) + b"\x30#" for b in range(256)]
    texts += [b"#\x81\x30\x81" + bytes([b]) + b"#" for b in range(256)]
    texts += [b"#\x81\x30#", b"#\x81\x30\x81#", b"#\x90\x30\x81#", b"#\xe3\x32\x9a#"]
    check_against_reference(write_xml, ix, label, texts)


def test_iso_2022_jp_every_sequence_in_each_mode(write_xml, ix):
    esc = {"ascii": b"\x1b(B", "roman": b"\x1b(J", "katakana": b"\x1b(I", "jis": b"\x1b$B"}
    texts = [b"#" + bytes([b]) + b"#" for b in range(256)]
    for mode in ("roman", "katakana"):
        texts += [b"#" + esc[mode] + bytes([b]) for b in range(256)]
        texts += [b"#" + esc[mode] + bytes([b]) + esc["ascii"] + b"#" for b in range(256)]
    texts += [b"#\x1b$@" + bytes([a, b]) + b"\x1b(B#" for a in range(256) for b in range(256)]
    texts += [b"#\x1b$B" + bytes([b]) for b in range(256)]
    # Every escape sequence, with and without a character after it, and each
    # after another escape sequence.
    texts += [b"#\x1b" + bytes([a, b]) for a in range(256) for b in range(256)]
    for first in esc.values():
        for second in esc.values():
            texts += [b"#" + first + second + b"!", b"#" + first + b"!" + second + b"!"]
            texts += [first + second, first + b"!" + second]
    texts += [b"\x1b", b"#\x1b", b"#\x1b$", b"#\x1b(", b"\x1b$B!", b"\x1b$B!!", b"#\x1b$B!!\x1b"]
    check_against_reference(write_xml, ix, "ISO-2022-JP", texts)


def valid_sequences(ix, label):
    """Single characters of the encoding, as bytes, beyond ASCII."""
    if label == "ISO-2022-JP":
        return (
            [b"\x1b$B" + bytes([0x21 + p // 94, 0x21 + p % 94]) for p in ix.jis0208 if p < 94 * 94]
            + [b"\x1b(I" + bytes([b]) for b in range(0x21, 0x60)]
            + [b"\x1b(J\\~"]
        )
    seqs = [s for s in ONE_AND_TWO if s[0] >= 0x80 and reference(ix, label, s) is not ERROR]
    if label == "EUC-JP":
        seqs += [bytes([0x8F, 0xA1 + p // 94, 0xA1 + p % 94]) for p in ix.jis0212]
    if label == "gb18030":
        seqs += [gb18030_four(p) for p in range(0, 39420, 7)] + [gb18030_four(p) for p in range(189000, 1237576, 997)]
    return seqs


@pytest.mark.parametrize("label", ["Shift_JIS", "EUC-JP", "ISO-2022-JP", "EUC-KR", "Big5", "gb18030"])
def test_random_text(write_xml, ix, rng, label):
    """Characters and ASCII runs of every length side by side, decoded whole;
    then the same texts with one byte cut off the end or a stray byte added."""
    chars = valid_sequences(ix, label)
    ascii_ = [c for c in range(0x21, 0x7F) if c not in b"<&\\~"]
    texts = []
    for _ in range(3000):
        parts = [b"#"]
        for _ in range(rng.randrange(1, 12)):
            if rng.random() < 0.3:
                parts.append(bytes(rng.choice(ascii_) for _ in range(rng.choice([1, 2, 7, 15, 16, 17, 40]))))
                if label == "ISO-2022-JP":
                    parts[-1] = b"\x1b(B" + parts[-1]
            else:
                parts.append(rng.choice(chars))
        texts.append(b"".join(parts))
    texts += [t[:-1] for t in texts[:500]] + [t + bytes([rng.randrange(0x80, 0x100)]) for t in texts[500:1000]]
    check_against_reference(write_xml, ix, label, texts)


# ---- The generated tables ---------------------------------------------------------


def test_generated_tables_are_reproduced(tmp_path):
    subprocess.run(
        [sys.executable, str(ROOT / "tools" / "gen_encoding_tables.py"), str(DATA), str(tmp_path)], check=True
    )
    for name in ("encoding_tables.inc", "encoding_cjk_tables.inc"):
        assert filecmp.cmp(tmp_path / name, ROOT / "src" / "xmlstream" / name, shallow=False), name
