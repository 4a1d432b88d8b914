// Helpers shared by the native tests of the record pipeline: a reader-free
// tree builder, and printers of records and batches.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "check.h"
#include "xmlstream/batch.h"
#include "xmlstream/count.h"
#include "xmlstream/flatten.h"
#include "xmlstream/text.h"

namespace qk::xml::testing {


// Builds a record tree from simple markup (tags, empty tags, plain text;
// attributes skipped), independent of the reader.
inline XmlNode tree(std::string_view xml) {
  std::vector<XmlNode> open;
  XmlNode done;
  for (std::size_t i = 0; i < xml.size();) {
    if (xml[i] != '<') {
      std::size_t j = xml.find('<', i);
      open.back().text.append(xml.substr(i, j - i));
      i = j;
      continue;
    }
    std::size_t j = xml.find('>', i);
    std::string_view inner = xml.substr(i + 1, j - i - 1);
    i = j + 1;
    if (inner[0] == '/') {
      XmlNode n = std::move(open.back());
      open.pop_back();
      if (open.empty()) done = std::move(n); else open.back().children.push_back(std::move(n));
      continue;
    }
    bool empty = inner.back() == '/';
    XmlNode n;
    n.name = local_name(inner.substr(0, inner.find_first_of(" /")));
    if (!empty) open.push_back(std::move(n));
    else if (open.empty()) done = std::move(n);
    else open.back().children.push_back(std::move(n));
  }
  return done;
}

inline std::string show_flat(const FlatRecord& r) {
  std::string keys, values;
  for (std::size_t i = 0; i < r.keys.size(); ++i) {
    keys += (i ? ", " : "") + r.keys[i];
    values += (i ? ", " : "") + (r.values[i] ? *r.values[i] : std::string("null"));
  }
  return keys + " | " + values;
}

// A batch in the shape Python sees: (['a', 'b'], [['1', None], ...]).
inline std::string show_batch(const Batch& b) {
  std::string s = "([";
  for (std::size_t i = 0; i < b.columns.size(); ++i) s += (i ? ", '" : "'") + b.columns[i] + "'";
  s += "], [";
  for (std::size_t i = 0; i < b.column_values.size(); ++i) {
    const Column& c = b.column_values[i];
    s += i ? ", [" : "[";
    for (std::size_t r = 0; r < c.rows(); ++r)
      s += (r ? ", " : "") + (c.is_null(r) ? std::string("None") : "'" + std::string(c.value(r)) + "'");
    s += "]";
  }
  return s + "])";
}

// Every step of an iterator over `xml` until it finishes: a batch, or
// "error: <text>" for a failed step.
inline std::vector<std::string> steps(const std::string& xml, std::uint64_t batch_rows,
                               std::size_t chunk = Reader::kReadBufferSize) {
  XmlBatchInner inner(Reader::from_bytes(xml, chunk), batch_rows, "doc.xml");
  std::vector<std::string> out;
  for (int guard = 0; guard < 1000; ++guard) {
    XmlStreamError err;
    switch (inner.next_batch(err)) {
      case XmlBatchInner::Step::Finished:
        CHECK(inner.next_batch(err) == XmlBatchInner::Step::Finished);  // sticky
        return out;
      case XmlBatchInner::Step::Error:
        CHECK(err.kind == XmlStreamError::Kind::Xml);
        CHECK(err.text.find('\n') == std::string::npos);
        out.push_back("error: " + check::without_position(err.text));
        break;
      case XmlBatchInner::Step::Batch: {
        Batch b = inner.take_batch();
        for (const Column& c : b.column_values) CHECK_EQ(c.rows(), b.column_values[0].rows());
        out.push_back(show_batch(b));
        break;
      }
    }
  }
  CHECK(!"iterator did not finish");
  return out;
}

inline std::string joined(const std::vector<std::string>& v) {
  std::string s;
  for (const std::string& x : v) s += x + "\n";
  return s;
}

// Steps must not depend on how the input is split into reads.
inline std::vector<std::string> steps_all_chunks(const std::string& xml, std::uint64_t batch_rows) {
  std::vector<std::string> ref = steps(xml, batch_rows);
  for (std::size_t chunk : {1, 2, 3, 7, 64})
    CHECK_EQ(joined(steps(xml, batch_rows, chunk)), joined(ref));
  return ref;
}

struct TempFile {
  std::string path;
  explicit TempFile(const std::string& content) {
    char name[] = "/tmp/qk_records_XXXXXX";
    int fd = mkstemp(name);
    path = name;
    CHECK(fd >= 0 && write(fd, content.data(), content.size()) == ssize_t(content.size()));
    close(fd);
  }
  ~TempFile() { unlink(path.c_str()); }
};

// With one row per batch, the batches count the rows, even rows without keys.
inline std::uint64_t total_rows(const std::string& xml) {
  XmlBatchInner inner(Reader::from_bytes(xml), 1, "doc.xml");
  std::uint64_t rows = 0;
  XmlStreamError err;
  XmlBatchInner::Step s;
  while ((s = inner.next_batch(err)) == XmlBatchInner::Step::Batch) ++rows;
  CHECK(s == XmlBatchInner::Step::Finished);
  return rows;
}


inline FlatRecord rec(std::vector<std::string> keys, std::vector<std::optional<std::string>> values) {
  return FlatRecord{std::move(keys), std::move(values)};
}

}  // namespace qk::xml::testing
