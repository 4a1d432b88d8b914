#!/usr/bin/env python3
"""Writes tests/data/encodings/: small XML files crossing byte-order marks
with declared encodings, and expected.txt, which gives for each file the
UTF-8 text of its <r> element, or "!error" when decoding must fail.

The files are committed; re-run this script after changing the matrix.
"""

from pathlib import Path

OUT = Path(__file__).resolve().parent.parent / "tests" / "data" / "encodings"

BOMS = {"nobom": b"", "utf8bom": b"\xef\xbb\xbf", "utf16le": b"\xff\xfe", "utf16be": b"\xfe\xff"}
# Declared label -> the codec the document's text is then decoded with when
# it is read as bytes (a UTF-16 label in such a document means UTF-8).
DECLS = {
    None: "utf-8",
    "UTF-8": "utf-8",
    "ISO-8859-1": "cp1252",
    " Windows-1251 ": "cp1251",
    "utf-16": "utf-8",
    "bogus": "utf-8",
    "Shift_JIS": "cp932",
}
SAMPLES = {"utf-8": "é日€", "cp1252": "é€", "cp1251": "йЖ", "cp932": "日本"}


def document(decl, text):
    head = "" if decl is None else f'<?xml version="1.0" encoding="{decl}"?>'
    return f"{head}<r>{text}</r>"


def main():
    OUT.mkdir(parents=True, exist_ok=True)
    expected = []

    def emit(name, data, want):
        (OUT / name).write_bytes(data)
        expected.append(f"{name}\t{want}")

    for bom_name, bom in BOMS.items():
        for decl, codec in DECLS.items():
            tag = "none" if decl is None else decl.strip().lower()
            name = f"{bom_name}__{tag}.xml"
            if bom_name.startswith("utf16"):
                # UTF-16 is fixed by the mark; the declaration changes nothing.
                text = SAMPLES["utf-8"]
                data = bom + document(decl, text).encode(bom_name.replace("utf16", "utf-16-"))
            else:
                text = SAMPLES[codec]
                data = bom + document(decl, text).encode(codec)
            emit(name, data, text)

    # UTF-16 recognised from `<?` without a mark.
    for codec in ("utf-16-le", "utf-16-be"):
        emit(f"nobom__{codec}-sniffed.xml", document("UTF-16", "é日").encode(codec), "é日")
    # Failures: Latin-1 bytes read as UTF-8, an unknown label, a lone surrogate.
    emit("nobom__none-latin1-bytes.xml", document(None, "é").encode("latin-1"), "!error")
    emit("nobom__bogus-latin1-bytes.xml", document("bogus", "é").encode("latin-1"), "!error")
    emit(
        "utf16le__lone-surrogate.xml",
        b"\xff\xfe" + "<r>a".encode("utf-16-le") + b"\x00\xd8" + "b</r>".encode("utf-16-le"),
        "!error",
    )
    (OUT / "expected.txt").write_text("\n".join(expected) + "\n", encoding="utf-8")


if __name__ == "__main__":
    main()
