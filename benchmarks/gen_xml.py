"""Deterministic XML test files for the streaming benchmarks.

Three shapes:

* ``records``: indented records of 5 to 15 fields, with nested groups, repeated
  names (so column names collide and get prefixed), namespaced names, entity and
  character references, CDATA sections, comments, attributes (which the streamer
  ignores) and some empty or whitespace-only leaves.
* ``wide``: about 40 short leaves per record, no indentation, no markup beyond
  elements: the case where per-value overhead dominates.
* ``posts``: a question-and-answer site's dump, one empty ``row`` element per
  record holding 10 to 15 attributes (read with ``attributes=True``).

The same seed and size always give the same bytes.  Records are built in chunks
of a few thousand and written with one ``write`` per chunk, so 100 MB take a few
seconds.

    python benchmarks/gen_xml.py records out.xml --mb 100
"""

from __future__ import annotations

import argparse
import random
import sys

# ---------------------------------------------------------------------------
# Value pools.  Everything below is already escaped for element content.

_WORDS = (
    "alpha bravo charlie delta echo foxtrot golf hotel india juliet kilo lima "
    "mike november oscar papa quebec romeo sierra tango uniform victor whiskey "
    "xray yankee zulu"
).split()
_NAMES = [
    "Ann Smith",
    "Bob &amp; Co",
    "Zo&#235; Martin",
    "Jos&#233; Garc&#237;a",
    "M&#252;ller GmbH",
    "O&apos;Brien",
    "Ren\u00e9e Dubois",
    "\u6771\u4eac Trading",
    "&quot;Quoted&quot; Ltd",
    "Smith &lt;Jr&gt;",
    "\u00c5sa Lindstr\u00f6m",
    "Li Wei",
]
_CITIES = [
    "Oslo",
    "Bergen",
    "Z&#252;rich",
    "M\u00fcnchen",
    "S\u00e3o Paulo",
    "Lyon",
    "Krak&#x00F3;w",
    "Reykjav\u00edk",
    "Porto",
    "Gen\u00e8ve",
    "Tallinn",
    "Cork",
]
_STREETS = ["Main St", "High Street", "Rue de la Paix", "K&#246;nigsallee", "Elm &amp; 5th"]
_STATUS = ["active", "closed", "pending", "on hold"]
_CURRENCIES = ["EUR", "USD", "NOK", "JPY"]
_SHORT = [
    "0",
    "1",
    "7",
    "42",
    "x",
    "ab",
    "no",
    "yes",
    "3.14",
    "-2",
    "N/A",
    "ok",
    "12.5",
    "Z",
    "qq",
    "1e3",
    "red",
    "blue",
    "&amp;",
    "&#233;t&#233;",
]

ROOT_OPEN = (
    '<?xml version="1.0" encoding="UTF-8"?>\n'
    "<!-- synthetic data for streaming benchmarks -->\n"
    '<catalog xmlns:x="urn:example:x" generator="gen_xml" version="1">\n'
)
ROOT_CLOSE = "</catalog>\n"

# ---------------------------------------------------------------------------
# "records": one optional field each; a record draws 5..15 of them.


def _f_email(rng, i):
    return f"    <email>{rng.choice(_WORDS)}.{i}@example.com</email>\n"


def _f_code(rng, i):
    # Namespaced name: the column is "code".
    return f'    <x:code scheme="int">{rng.randrange(10**6):06d}</x:code>\n'


def _f_amount(rng, i):
    cents = rng.randrange(10**7)
    return f'    <amount currency="{rng.choice(_CURRENCIES)}" exact="true">{cents // 100}.{cents % 100:02d}</amount>\n'


def _f_created(rng, i):
    return (
        f"    <created>20{rng.randrange(10, 25)}-{rng.randrange(1, 13):02d}-"
        f"{rng.randrange(1, 29):02d}T{rng.randrange(24):02d}:00:00Z</created>\n"
    )


def _f_status(rng, i):
    return f"    <status>{rng.choice(_STATUS)}</status>\n"


def _f_note(rng, i):
    # CDATA content is kept raw: "&amp;" here is five characters.
    return f"    <note><![CDATA[raw <b>{rng.choice(_WORDS)}</b> & &amp; kept]]> and {rng.choice(_WORDS)}</note>\n"


def _f_address(rng, i):
    return (
        '    <address kind="home">\n'
        f"      <street>{rng.randrange(1, 300)} {rng.choice(_STREETS)}</street>\n"
        f"      <city>{rng.choice(_CITIES)}</city>\n"
        f"      <zip>{rng.randrange(10000, 99999)}</zip>\n"
        "    </address>\n"
    )


def _f_city(rng, i):
    # Collides with address/city when both are present.
    return f"    <city>{rng.choice(_CITIES)}</city>\n"


def _f_phones(rng, i):
    # The same leaf name several times directly under the record.
    n = rng.randrange(2, 4)
    return "".join(
        f'    <phone type="{t}">+47 {rng.randrange(10**7, 10**8)}</phone>\n' for t in ("home", "work", "cell")[:n]
    )


def _f_tags(rng, i):
    n = rng.randrange(1, 5)
    inner = "".join(f"<tag>{rng.choice(_WORDS)}</tag>" for _ in range(n))
    return f"    <tags>{inner}</tags>\n"


def _f_geo(rng, i):
    return (
        "    <geo>\n"
        "      <pos>\n"
        f"        <lat>{rng.uniform(-90, 90):.5f}</lat>\n"
        f"        <lon>{rng.uniform(-180, 180):.5f}</lon>\n"
        "      </pos>\n"
        "      <!-- WGS84 -->\n"
        "    </geo>\n"
    )


def _f_empty(rng, i):
    return rng.choice(("    <flag/>\n", "    <remark>   </remark>\n", "    <remark></remark>\n"))


def _f_comment(rng, i):
    return f"    <!-- reviewed by {rng.choice(_WORDS)} -->\n"


def _f_description(rng, i):
    words = " ".join(rng.choice(_WORDS) for _ in range(rng.randrange(3, 12)))
    return f"    <description>\n      {words} &#x2014; {rng.choice(_WORDS)}\n    </description>\n"


_OPTIONAL = (
    _f_email,
    _f_code,
    _f_amount,
    _f_created,
    _f_status,
    _f_note,
    _f_address,
    _f_city,
    _f_phones,
    _f_tags,
    _f_geo,
    _f_empty,
    _f_comment,
    _f_description,
)


def _records_chunk(rng: random.Random, first: int, count: int) -> str:
    out = []
    for i in range(first, first + count):
        fields = rng.sample(_OPTIONAL, rng.randrange(3, 14))
        out.append(
            f'  <record id="{i}" status="{rng.choice(_STATUS)}">\n'
            f"    <id>{i}</id>\n"
            f"    <name>{rng.choice(_NAMES)}</name>\n"
        )
        out.extend(f(rng, i) for f in fields)
        out.append("  </record>\n")
    return "".join(out)


# ---------------------------------------------------------------------------
# "wide": 40 leaves f00..f39 plus an id, each present with probability 0.95.

_WIDE_FIELDS = 40
_WIDE_OPEN = [f"<f{j:02d}>" for j in range(_WIDE_FIELDS)]
_WIDE_CLOSE = [f"</f{j:02d}>" for j in range(_WIDE_FIELDS)]


def _wide_chunk(rng: random.Random, first: int, count: int) -> str:
    values = rng.choices(_SHORT, k=count * _WIDE_FIELDS)
    present = rng.choices((True, False), weights=(19, 1), k=count * _WIDE_FIELDS)
    out = []
    k = 0
    for i in range(first, first + count):
        out.append(f"<row><id>{i}</id>")
        for j in range(_WIDE_FIELDS):
            if present[k]:
                out += (_WIDE_OPEN[j], values[k], _WIDE_CLOSE[j])
            k += 1
        out.append("</row>")
    out.append("\n")
    return "".join(out)


_LICENSES = ("CC BY-SA 2.5", "CC BY-SA 3.0", "CC BY-SA 4.0")
_TAGS = ("python", "xml", "parquet", "c++", "pandas", "arrow", "regex", "linux", "sql", "dask")


def _posts_chunk(rng: random.Random, first: int, count: int) -> str:
    # A question-and-answer site's posts dump: one empty `row` per record,
    # every value in an attribute, bodies of escaped HTML with encoded
    # line breaks; answers lack the question-only attributes.
    out = []
    for i in range(first, first + count):
        question = rng.random() < 0.4
        day = f"20{rng.randint(10, 24):02d}-{rng.randint(1, 12):02d}-{rng.randint(1, 28):02d}"
        clock = f"{rng.randint(0, 23):02d}:{rng.randint(0, 59):02d}:{rng.randint(0, 59):02d}"
        when = f"{day}T{clock}.{rng.randint(0, 999):03d}"
        words = " ".join(rng.choices(_WORDS, k=rng.randint(20, 90)))
        body = f"&lt;p&gt;{words}&lt;/p&gt;&#xA;&#xA;&lt;pre&gt;&lt;code&gt;x = {i}&lt;/code&gt;&lt;/pre&gt;&#xA;"
        attrs = [f'Id="{i}"', f'PostTypeId="{1 if question else 2}"']
        if question and rng.random() < 0.6:
            attrs.append(f'AcceptedAnswerId="{i + rng.randint(1, 50)}"')
        if not question:
            attrs.append(f'ParentId="{max(1, i - rng.randint(1, 50))}"')
        attrs += [f'CreationDate="{when}"', f'Score="{rng.randint(-5, 500)}"']
        if question:
            attrs.append(f'ViewCount="{rng.randint(10, 100000)}"')
        attrs += [f'Body="{body}"', f'OwnerUserId="{rng.randint(1, 10**6)}"']
        if rng.random() < 0.3:
            attrs += [f'LastEditorUserId="{rng.randint(1, 10**6)}"', f'LastEditDate="{when}"']
        attrs.append(f'LastActivityDate="{when}"')
        if question:
            tags = "".join(f"|{t}" for t in rng.sample(_TAGS, rng.randint(1, 4))) + "|"
            title = " ".join(rng.choices(_WORDS, k=rng.randint(4, 10))).capitalize()
            attrs += [f'Title="{title}"', f'Tags="{tags}"', f'AnswerCount="{rng.randint(0, 9)}"']
        attrs += [f'CommentCount="{rng.randint(0, 12)}"', f'ContentLicense="{rng.choice(_LICENSES)}"']
        out.append("  <row " + " ".join(attrs) + " />\n")
    return "".join(out)


# ---------------------------------------------------------------------------


def _feed_chunk(rng: random.Random, first: int, count: int) -> str:
    # The records of "records" as a feed's items, one level deeper.
    return _records_chunk(rng, first, count).replace("<record ", "<item ").replace("</record>", "</item>")


# A feed: the items sit inside <rss><channel>, after the channel's own leaves.
FEED_OPEN = (
    '<?xml version="1.0" encoding="UTF-8"?>\n<rss version="2.0">\n<channel>\n'
    "  <title>synthetic feed</title>\n  <link>https://example.org/</link>\n"
)
FEED_CLOSE = "</channel>\n</rss>\n"

KINDS = {"records": _records_chunk, "wide": _wide_chunk, "posts": _posts_chunk, "feed": _feed_chunk}
# The random stream each kind draws from: a feed holds the records file's records.
_SEEDS = {"feed": "records"}
CHUNK_RECORDS = 4000


def generate(kind: str, path: str, mb: float, seed: int = 1) -> int:
    """Write a file of at least ``mb`` * 10^6 characters (rounded up to a whole
    chunk of records, then closed); return the number of records."""
    chunk = KINDS[kind]
    rng = random.Random(f"{_SEEDS.get(kind, kind)}:{seed}")
    target = int(mb * 1_000_000)
    records = 0
    with open(path, "w", encoding="utf-8", newline="\n") as f:
        written = f.write(FEED_OPEN if kind == "feed" else ROOT_OPEN)
        while written < target:
            # Small files get smaller chunks, so --mb 0.1 stays near 0.1 MB.
            n = min(CHUNK_RECORDS, max(1, target // 2000))
            written += len(s := chunk(rng, records, n))
            f.write(s)
            records += n
        f.write(FEED_CLOSE if kind == "feed" else ROOT_CLOSE)
    return records


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("kind", choices=sorted(KINDS))
    ap.add_argument("path")
    ap.add_argument("--mb", type=float, default=100.0, help="approximate size in 10^6 bytes")
    ap.add_argument("--seed", type=int, default=1)
    a = ap.parse_args(argv)
    n = generate(a.kind, a.path, a.mb, a.seed)
    print(f"{a.path}: {n} records", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
