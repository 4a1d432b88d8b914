"""Seeded random documents: the extension must deliver exactly what the small
pure-Python model in xml_model.py delivers, batch by batch and error by error."""

from xml_model import model_steps

import quelbrand_kernels as qk

NAMES = ["a", "b", "id", "name", "x", "p:a", "q:a", "ns:id", "a_b", "row", "v:", "é", "data"]
TEXTS = [
    "1",
    " 2 ",
    "",
    "   ",
    "Ann",
    "x y",
    "&lt;&gt;",
    "&amp;&apos;&quot;",
    "&#65;&#x42;",
    "é",
    "tab\there",
    "\u3000 wide \u3000",
]
BAD_TEXTS = ["&nbsp;", "&#0;", "&#xD800;", "&#x110000;", "&unterminated", "&#-1;", "&#X41;"]
DECLS = [
    '<?xml version="1.0"?>',
    '<?xml version="1.0" encoding="UTF-8"?>',
    "<?xml version='1.0' encoding='latin1'?>",
    '<?xml version="1.0" encoding="utf-16"?>',
]


def random_document(rng):
    out = []
    if rng.random() < 0.4:
        out.append(rng.choice(DECLS))

    def misc():
        r = rng.random()
        if r < 0.05:
            return "<!-- c -- d -->"
        if r < 0.08:
            return "<?pi data?>"
        if r < 0.12:
            return rng.choice(["\n  ", "text", "&nbsp;", "&#0;"])
        return ""

    def element(depth):
        name = rng.choice(NAMES)
        parts = [misc()]
        r = rng.random()
        if r < 0.15:
            return f"<{name}/>"
        if depth > 5 or r < 0.5:
            text = rng.choice(TEXTS) if rng.random() < 0.97 else rng.choice(BAD_TEXTS)
            if rng.random() < 0.1:
                text += "<![CDATA[<&raw]]>"
            if rng.random() < 0.05:
                text += "\x00RAW\x00"  # becomes a lone 0xE9 byte: malformed in UTF-8
            parts.append(text)
        else:
            for _ in range(rng.randint(0, 5)):
                parts.append(element(depth + 1))
                parts.append(misc())
        close = name
        if rng.random() < 0.01:
            close = "wrong"
        attrs = ' k="v > w"' if rng.random() < 0.1 else ""
        return f"<{name}{attrs}>" + "".join(parts) + f"</{close}>"

    for _ in range(1 if rng.random() < 0.8 else rng.randint(2, 3)):
        out.append(misc())
        out.append(
            element(0)
            if rng.random() < 0.2
            else "<root>" + "".join(element(1) + misc() for _ in range(rng.randint(0, 12))) + "</root>"
        )
    doc = "".join(out)
    latin1 = "latin1" in doc[:60]
    data = doc.encode("latin-1" if latin1 else "utf-8", errors="replace")
    data = data.replace(b"\x00RAW\x00", b"\xe9")
    if rng.random() < 0.1:
        data = data[: rng.randrange(len(data) + 1)]  # truncated
    return data


def actual_steps(path, batch_rows):
    steps, it = [], qk.stream_xml_file(path, batch_rows)
    while True:
        try:
            names, values = next(it)
        except StopIteration:
            return steps
        except ValueError as e:
            steps.append(("error",))
            assert str(e).startswith(f"failed to parse XML file '{path}': ")
            continue
        steps.append(("batch", names, values))
        assert len(steps) < 10_000


def test_random_documents_match_the_model(rng, write_xml):
    for i in range(300):
        data = random_document(rng)
        path = write_xml(data, name="random.xml")
        for batch_rows in (0, 1, 2, 7, 1000):
            expected = [s if s[0] == "batch" else ("error",) for s in model_steps(data, batch_rows)]
            assert actual_steps(path, batch_rows) == expected, (i, batch_rows, data)
        rows = sum(len(s[2][0]) if s[2] else 0 for s in expected if s[0] == "batch")
        if all(s[0] == "batch" and s[2] for s in expected):
            assert qk.count_xml_records(path) == rows, data
