"""Entities beyond the predefined five in the companion reader: a document's
internal subset, entities="html", a mapping, a DTD file, their limits, split
reading with them, and the kernels module, which still refuses them."""

import json
import subprocess
import sys

import pytest
from test_hostile import BILLION_LAUGHS, assert_peak_below, run_child, stream_outcomes

import quelbrand
import quelbrand.convert
import quelbrand_kernels as qk

pa = pytest.importorskip("pyarrow")

# A bibliographic dump's shape: the DOCTYPE declares what its records use.
DBLP = """<?xml version="1.0" encoding="ISO-8859-1"?>
<!DOCTYPE dblp SYSTEM "dblp.dtd" [
  <!ENTITY ouml "&#246;">
  <!ENTITY uuml "&#252;">
  <!ENTITY pub "ACM &amp; IEEE">
  <!ENTITY venue "Proc. of &pub;">
  <!ENTITY ext SYSTEM "file:///etc/passwd">
  <!ENTITY tag "<i>x</i>">
  <!ENTITY % local SYSTEM "local.dtd">
]>
<dblp>
<article key="a/&ouml;1"><author>J&ouml;rg M&uuml;ller</author><journal>&venue;</journal></article>
<article key="a/2"><author>Ann &#x42;</author><journal>&pub;</journal></article>
</dblp>
"""

WANT = [
    {"key": "a/ö1", "author": "Jörg Müller", "journal": "Proc. of ACM & IEEE"},
    {"key": "a/2", "author": "Ann B", "journal": "ACM & IEEE"},
]


def rows(source, **options):
    return quelbrand.read_xml(source, attributes=True, **options).to_arrow().to_pylist()


def record(body, head=""):
    return f"<?xml version='1.0'?>{head}<r><rec><v>{body}</v></rec></r>".encode()


def test_a_doctype_declares_entities_for_text_and_attributes(write_xml):
    assert rows(write_xml(DBLP.encode("latin-1"))) == WANT
    assert rows(DBLP.encode("latin-1")) == WANT


@pytest.mark.parametrize(
    "body, message",
    [
        ("&ext;", "entity `ext` is external (SYSTEM or PUBLIC), and external entities are never read"),
        ("&tag;", "entity `tag` holds markup (`<`)"),
        ("&local;", "unrecognized entity `local` at line 13"),
        ("&nbsp;", "unrecognized entity `nbsp` at line 13, byte "),
    ],
)
def test_entities_that_cannot_be_text_are_errors_naming_them(body, message):
    doc = DBLP.replace("Ann &#x42;", body).encode("latin-1")
    with pytest.raises(ValueError, match="failed to parse XML file") as info:
        rows(doc)
    assert message in str(info.value)
    if "unrecognized" in message:
        hint = "(declare it in the DOCTYPE, or pass entities='html', entities={...} or dtd=...)"
        assert str(info.value).endswith(hint)


def test_html_names_a_mapping_and_a_dtd_file(tmp_path):
    two = "\u2242\u0338"  # &NotEqualTilde; is two code points
    assert rows(record("&eacute;x&nbsp;y&NotEqualTilde;&amp;"), entities="html") == [{"v": f"éx\xa0y{two}&"}]
    assert rows(record("&co;|&b;"), entities={"co": "Acme & <Co>", "b": "&amp;"}) == [{"v": "Acme & <Co>|&amp;"}]
    dtd = tmp_path / "names.dtd"
    dtd.write_text('<?xml encoding="UTF-8"?>\n<!ENTITY % p "x"><!ENTITY ouml "&#246;"><!ENTITY ou "&ouml;&ouml;">\n')
    assert rows(record("&ou;!"), dtd=dtd) == [{"v": "öö!"}]
    # The document's own declaration wins over the DTD file's, a given text over both.
    head = '<!DOCTYPE r [<!ENTITY ouml "OE">]>'
    assert rows(record("&ouml;", head), dtd=str(dtd)) == [{"v": "OE"}]
    assert rows(record("&ouml;", head), dtd=str(dtd), entities={"ouml": "given"}) == [{"v": "given"}]


@pytest.mark.parametrize(
    "options, error",
    [
        ({"entities": "xhtml"}, ValueError),
        ({"entities": {"a": 1}}, TypeError),
        ({"entities": ["html"]}, TypeError),
        ({"entities": {"a;b": "x"}}, ValueError),
        ({"dtd": "/nonexistent/names.dtd"}, ValueError),
    ],
)
def test_bad_entity_options_are_refused(options, error):
    with pytest.raises(error):
        rows(record("x"), **options)


def test_billion_laughs_is_refused_quickly_in_bounded_memory(write_xml):
    path = write_xml(BILLION_LAUGHS)
    out, peak = run_child(f"""
        import quelbrand
        try:
            quelbrand.read_xml({path!r}).to_arrow()
        except ValueError as e:
            print(e)
    """)
    text = "\n".join(out)
    assert "entity `lol9` expands past 1 MiB" in text and "lollol" not in text
    assert_peak_below(peak, 120)


def test_one_large_text_referenced_over_and_over_meets_the_document_total():
    doc = '<!DOCTYPE r [<!ENTITY big "' + "x" * 1_000_000 + '">]><r><rec><v>' + "&big;" * 100 + "</v></rec></r>"
    with pytest.raises(ValueError, match="entity references expand past 67 MiB in this document, at `big`"):
        rows(doc.encode())


def test_the_kernels_module_still_refuses_declared_entities(write_xml):
    path = write_xml(DBLP.encode("latin-1"))
    assert qk.count_xml_records(path) == 2
    outcomes = stream_outcomes(path)
    assert "unrecognized entity `ouml`" in outcomes[0] and "declare it" not in outcomes[0]


def big_dblp(records=3000):
    body = "".join(
        f"<article><author>&ouml;{i} &eacute;</author><journal>&venue;</journal><!-- </article> --></article>\n"
        for i in range(records)
    )
    return DBLP.split("<dblp>")[0] + "<dblp>" + body + "</dblp>\n"


def test_convert_with_jobs_and_the_command_flags(tmp_path, write_xml):
    path = write_xml(big_dblp(2000).encode("latin-1"))
    one, many = tmp_path / "one.jsonl", tmp_path / "many.jsonl"
    quelbrand.convert.convert(path, one, entities="html")
    # Ranges from guessed split points resolve as the whole reading does.
    quelbrand.convert.convert(path, many, entities="html", jobs=3, blocksize=4096)
    assert one.read_bytes() == many.read_bytes()
    assert json.loads(one.read_text().splitlines()[5]) == {"author": "ö5 é", "journal": "Proc. of ACM & IEEE"}

    small = write_xml(record("&eacute;&co;"))
    dtd = tmp_path / "co.dtd"
    dtd.write_text('<!ENTITY co "Co">')
    out = tmp_path / "out.jsonl"
    cli = [sys.executable, "-m", "quelbrand", "convert", small, "--to", str(out), "--quiet"]
    done = subprocess.run([*cli, "--entities", "html", "--dtd", str(dtd)], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert json.loads(out.read_text()) == {"v": "éCo"}
    failed = subprocess.run(cli, capture_output=True, text=True)
    assert failed.returncode != 0 and "unrecognized entity `eacute`" in failed.stderr
    assert "Traceback" not in failed.stderr
