"""A small pure-Python model of XML record streaming, for randomized tests.

It tokenizes a document the way the extension's reader does, builds each
record (every child element of a top-level element), flattens it into keys
and values and gathers rows into column batches, including what happens
after an error. It is written to be obviously right rather than fast.

Scope: ASCII-compatible documents, UTF-8 or declared with one of the
labels in LABELS (any other label is treated as unknown and changes
nothing, so generated documents must not use other real encoding labels).
UTF-16 documents raise NotImplementedError. Error messages are indicative:
compare where errors happen, not their wording. Records nest at most as
deep as Python's recursion limit allows.
"""

ASCII_WS = b" \t\r\n"
# Unicode White_Space, used to trim values (str.strip() would also remove
# U+001C..U+001F, which are not white space).
WHITE_SPACE = (
    "\t\n\x0b\x0c\r \x85\xa0\u1680" + "".join(map(chr, range(0x2000, 0x200B))) + "\u2028\u2029\u202f\u205f\u3000"
)


def _windows_1252(data):
    # The five bytes cp1252 leaves undefined decode to the C1 controls.
    return "".join(bytes([b]).decode("cp1252") if b not in b"\x81\x8d\x8f\x90\x9d" else chr(b) for b in data)


_LATIN1 = (
    "ansi_x3.4-1968 ascii cp1252 cp819 csisolatin1 ibm819 iso-8859-1 iso-ir-100 "
    "iso8859-1 iso88591 iso_8859-1 iso_8859-1:1987 l1 latin1 us-ascii windows-1252 x-cp1252"
)
_UTF8 = "unicode-1-1-utf-8 unicode11utf8 unicode20utf8 utf-8 utf8 x-unicode20utf8"
# A UTF-16 label in a document read as bytes is wrong about it: UTF-8 stays.
_UTF16 = "csunicode iso-10646-ucs-2 ucs-2 unicode unicodefeff utf-16 utf-16le utf-16be unicodefffe"
LABELS = {
    **{k: _windows_1252 for k in _LATIN1.split()},
    **{k: (lambda d: d.decode("utf-8")) for k in (_UTF8 + " " + _UTF16).split()},
}


class ModelError(ValueError):
    """A failed next(); `batches` holds the batches delivered before it."""

    def __init__(self, message, batches):
        super().__init__(message)
        self.batches = batches


class _Decoder:
    def __init__(self):
        self.decode = LABELS["utf-8"]
        self.declared = False

    def declaration(self, content):
        """Applies the first known `encoding` label of XML declarations."""
        import re

        m = re.search(rb"[ \t\r\n]encoding[ \t\r\n]*=[ \t\r\n]*(['\"])(.*?)\1", content)
        label = m and m.group(2).strip(b" \t\n\f\r").decode("latin-1").lower()
        if not self.declared and label in LABELS:
            self.decode, self.declared = LABELS[label], True


def _events(data, decoder):
    """Yields (kind, bytes) events; ('error', text) for a failure. After a
    fatal (syntax or end-of-file) error it stops, which reads as end of input."""
    if data[:2] in (b"\xfe\xff", b"\xff\xfe") or data[:4] in (b"\0<\0?", b"<\0?\0"):
        raise NotImplementedError("UTF-16 documents are not modelled")
    i = 3 if data.startswith(b"\xef\xbb\xbf") else 0
    open_names = []
    while True:
        j = data.find(b"<", i)
        if j < 0:
            if i < len(data):
                yield "text", data[i:]
            return
        if j > i:
            yield "text", data[i:j]
        i = j + 1
        if data.startswith(b"/", i):
            k = data.find(b">", i)
            if k < 0:
                yield "error", "unexpected end of file inside an end tag"
                return
            name, i = data[i + 1 : k].rstrip(ASCII_WS), k + 1
            if not open_names:
                yield "error", f"unexpected end tag {name!r} with no open element"
            elif open_names.pop() != name:
                yield "error", f"mismatched end tag {name!r}"
            else:
                yield "end", name
        elif data.startswith(b"?", i):
            k = data.find(b"?>", i + 1)
            if k < 0:
                yield "error", "unexpected end of file inside a processing instruction"
                return
            content, i = data[i + 1 : k], k + 2
            if content[:3] == b"xml" and (len(content) == 3 or content[3] in ASCII_WS):
                decoder.declaration(content)
                yield "decl", content
            else:
                yield "pi", content
        elif data.startswith(b"!--", i) or data.startswith(b"![CDATA[", i):
            cdata = data.startswith(b"![CDATA[", i)
            start = i + (8 if cdata else 3)
            k = data.find(b"]]>" if cdata else b"-->", start)
            if k < 0:
                yield "error", "unexpected end of file inside a comment or CDATA section"
                return
            yield ("cdata" if cdata else "comment"), data[start:k]
            i = k + 3
        elif data.startswith(b"!", i):
            if data[i + 1 : i + 8].upper() != b"DOCTYPE":
                yield "error", "`<!` must begin a comment, a CDATA section or a DOCTYPE"
                return
            k = _doctype_end(data, i + 8)
            if k < 0:
                yield "error", "unexpected end of file inside a DOCTYPE declaration"
                return
            content, i = data[i + 8 : k].lstrip(ASCII_WS), k + 1
            if content[:1] in (b"", b"[", b"'", b'"'):
                yield "error", "DOCTYPE declaration has no name"
            else:
                yield "doctype", content
        else:
            k, quote = i, None
            while k < len(data) and (quote or data[k] != ord(">")):
                if quote and data[k] == quote:
                    quote = None
                elif not quote and data[k] in b"'\"":
                    quote = data[k]
                k += 1
            if k >= len(data):
                yield "error", "unexpected end of file inside a tag"
                return
            content, i = data[i:k], k + 1
            if content.endswith(b"/"):
                yield "empty", _tag_name(content[:-1])
            else:
                open_names.append(_tag_name(content))
                yield "start", open_names[-1]


def _doctype_end(data, i):
    """Index of the '>' closing a DOCTYPE, skipping quotes, the internal
    subset and comments or PIs in it; -1 if the input ends first."""
    subset, quote = False, None
    while i < len(data):
        c = data[i : i + 1]
        if quote:
            quote = None if c == quote else quote
        elif c in (b"'", b'"'):
            quote = c
        elif subset and data.startswith(b"<!--", i):
            i = data.find(b"-->", i + 4) + 2
            if i < 2:
                return -1
        elif subset and data.startswith(b"<?", i):
            i = data.find(b"?>", i + 2) + 1
            if i < 1:
                return -1
        elif c == b"[" and not subset or c == b"]" and subset:
            subset = not subset
        elif c == b">" and not subset:
            return i
        i += 1
    return -1


def _tag_name(content):
    for k, b in enumerate(content):
        if b in ASCII_WS:
            return content[:k]
    return content


def local_name(raw):
    return raw.decode("utf-8", "replace").rpartition(":")[2]


def resolve_references(text):
    """Expands the five predefined entities and character references."""
    out, i = [], 0
    while (amp := text.find("&", i)) >= 0:
        out.append(text[i:amp])
        ends = [k for k in (text.find("&", amp + 1), text.find(";", amp + 1)) if k >= 0]
        if not ends or text[min(ends)] == "&":
            raise ValueError("unterminated reference in text")
        end = min(ends)
        ref = text[amp + 1 : end]
        if ref.startswith("#"):
            hexa = ref.startswith("#x")
            digits = ref[2:] if hexa else ref[1:]
            allowed = "0123456789abcdefABCDEF" if hexa else "0123456789"
            cp = int(digits, 16 if hexa else 10) if digits and all(c in allowed for c in digits) else 0
            if cp == 0 or 0xD800 <= cp <= 0xDFFF or cp > 0x10FFFF:
                raise ValueError(f"invalid character reference `{ref}`")
            out.append(chr(cp))
        elif ref in ("lt", "gt", "amp", "apos", "quot"):
            out.append({"lt": "<", "gt": ">", "amp": "&", "apos": "'", "quot": '"'}[ref])
        else:
            raise ValueError(f"unrecognized entity `{ref}`")
        i = end + 1
    return "".join(out) + text[i:]


def flatten(node):
    """node = [name, text, children] -> (keys, values); None for null."""
    keys, values, index = [], [], {}

    def assign(key, value):
        if key in index:
            values[index[key]] = value
        else:
            index[key] = len(keys)
            keys.append(key)
            values.append(value)

    for child in node[2]:
        if child[2]:
            for k, v in zip(*flatten(child)):
                assign(child[0] + "_" + k if k in index else k, v)
        else:
            assign(node[0] + "_" + child[0] if child[0] in index else child[0], child[1].strip(WHITE_SPACE) or None)
    return keys, values


def model_steps(xml_bytes, batch_rows):
    """Every next() of an iterator over the document until it stops: either
    ("batch", names, values) or ("error", message)."""
    decoder = _Decoder()
    events = _events(xml_bytes, decoder)
    depth, stack, steps = 0, [], []
    while True:
        names, columns, rows, outcome = [], [], 0, None
        while outcome is None:
            kind, data = next(events, ("eof", None))
            record = None  # (keys, values) of a record that has just ended
            try:
                if kind == "error":
                    raise ValueError(data)
                if kind == "eof":
                    outcome = "eof"
                elif kind == "start":
                    if depth >= 1:
                        stack.append([local_name(data), "", []])
                    depth += 1
                elif kind == "end" and depth > 0:
                    depth -= 1
                    if depth == 1 and stack:
                        record = flatten(stack.pop())
                    elif depth >= 2 and stack:
                        node = stack.pop()
                        if stack:
                            stack[-1][2].append(node)
                elif kind == "empty" and depth == 1:
                    record = [], []
                elif kind == "empty" and depth >= 2 and stack:
                    stack[-1][2].append([local_name(data), "", []])
                elif kind in ("text", "cdata") and stack:
                    try:
                        text = decoder.decode(data)
                    except UnicodeDecodeError as e:
                        raise ValueError(f"cannot decode text: {e.reason}") from None
                    stack[-1][1] += resolve_references(text) if kind == "text" else text
            except ValueError as e:
                steps.append(("error", str(e)))
                outcome = "error"
            if record is not None:
                keys, values = record
                for key in keys:
                    if key not in names:
                        names.append(key)
                        columns.append([None] * rows)
                by_key = dict(zip(keys, values))
                for name, column in zip(names, columns):
                    column.append(by_key.get(name))
                rows += 1
                if rows >= batch_rows:
                    outcome = "full"
        if outcome == "eof" and rows == 0:
            return steps
        if outcome != "error":
            steps.append(("batch", names, columns))


def model_batches(xml_bytes, batch_rows):
    """The batches of an iterator over the document, as (names, values)
    lists; raises ModelError (a ValueError) at the first failing next()."""
    batches = []
    for step in model_steps(xml_bytes, batch_rows):
        if step[0] == "error":
            raise ModelError(step[1], batches)
        batches.append((step[1], step[2]))
    return batches
