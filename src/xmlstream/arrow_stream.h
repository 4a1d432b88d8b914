// A file read as a stream of Arrow batches, optionally built one batch
// ahead on a thread of its own, and exported as an ArrowArrayStream. No
// Python here.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "xmlstream/arrow_export.h"
#include "xmlstream/column.h"
#include "xmlstream/read_options.h"
#include "xmlstream/reader.h"
#include "xmlstream/split.h"
#include "xmlstream/types.h"

namespace qk::xml {

// How a BatchSource reads; see BatchSource.
struct BatchSourceOptions {
  std::uint64_t batch_rows = 0;
  std::uint64_t first_batch_rows = 0;  // see XmlBatchInner::set_first_batch_rows
  std::uint64_t expect_rows = 0;       // see XmlBatchInner::expect_rows
  std::string path{};  // for error texts
  std::optional<std::vector<std::string>> columns{};
  bool prefetch = false;
  std::unique_ptr<Reader> discovery{};  // a second reader of the same input
  ReadOptions read{};
  bool types = false;
  std::vector<ValueType> known_types{};
  // With `columns`: only those are built (ReadOptions::project), by the
  // reading and by any discovery, so that a column not listed is skipped
  // rather than reported as stray.
  bool project = false;
};

class BatchSource {
 public:
  // With `columns`, every batch is lined up against them; without, each
  // batch has its own. With `prefetch`, a worker thread builds the next
  // batch while the caller uses the current one: at most one finished batch
  // waits (two while discovery runs and the caller holds none), so memory
  // stays at about three batches.
  //
  // With `discovery` (a second reader of the same file) and no `columns`,
  // the columns are those of the whole file, found by discover_columns on a
  // thread of its own while the first batch is being built; the first step
  // waits for it. A failed discovery is the first step's error, and the
  // source has ended after it.
  //
  // With `types`, discovery also decides each column's type over the whole
  // file (discover_types; it runs with `columns` too), and every batch is
  // converted to those types: the first step waits for the whole file to
  // have been read once. Without discovery, each batch's values are
  // classified instead, for seen_types() once the source has finished, and
  // the batches stay strings. `known_types` (one per column of `columns`)
  // are the types found by an earlier pass: no discovery then.
  BatchSource(std::unique_ptr<Reader> reader, BatchSourceOptions options);
  // Stops the threads, even in the middle of a batch. One still blocked in
  // a read after a moment is left to end on its own when the read returns.
  ~BatchSource();
  BatchSource(const BatchSource&) = delete;
  BatchSource& operator=(const BatchSource&) = delete;

  enum class Step : std::uint8_t {
    Batch,
    Finished,  // sticky
    Error,     // `err` says what; the next step goes on where reading stopped
    Stray,     // a batch had a column not listed; `err.text` is its name
  };

  // The next batch. `interrupt` (may be null) is asked now and then, while
  // building or while waiting for the worker; when it says stop the step is
  // an Error of Kind::Interrupted. Safe to call from any thread; calls are
  // serialised. Rethrows what the worker threw (std::bad_alloc).
  Step next(std::optional<ArrowBatch>& out, XmlStreamError& err, const Interrupt* interrupt);

  // Bytes of the file read so far, as far as batches have been built.
  std::uint64_t bytes_read() const;
  // Values flattening lost, and records that lost any, in the batches
  // built so far (see XmlBatchInner::values_lost); final once next() has
  // reported Finished.
  std::pair<std::uint64_t, std::uint64_t> lost() const;
  // The fixed columns, or null for batches with their own; waits for a
  // discovery under way. Returns false, with `err` filled, when discovery
  // failed or `interrupt` said stop.
  bool columns(const ColumnSet*& out, XmlStreamError& err, const Interrupt* interrupt);
  // With ReadOptions::until: the split point where reading stopped, once
  // next() has reported Finished; nullopt before, or when the input ended
  // first.
  std::optional<SplitPoint> stop();
  // Whether batches have fixed columns (known at once, discovery or not).
  bool fixed_columns() const;
  // The fixed columns' types (empty without types); waits as columns() does.
  bool column_types(const std::vector<ValueType>*& out, XmlStreamError& err,
                    const Interrupt* interrupt);
  // With types and no discovery: every column the batches built so far had
  // (before any lining up), in order of first appearance, and the type of
  // each over those batches. Final once next() has reported Finished.
  void seen_types(std::vector<std::string>& names, std::vector<ValueType>& types) const;
  bool types() const;
  bool tallies_types() const;  // types without discovery
  // The file's record count, once discovery has finished; else nullopt.
  std::optional<std::uint64_t> records() const;
  const std::string& path() const;
  // Where the last failed step's fault lies (see XmlBatchInner::fault).
  std::optional<Fault> fault();

 private:
  // Everything the threads touch lives in the core, which they share: a
  // thread blocked in a read (a pipe whose writer has gone quiet) can then
  // be let go when the source is dropped, instead of holding up the caller.
  struct Core;
  std::shared_ptr<Core> core_;
  std::mutex consume_;  // one caller at a time
  bool finished_ = false;  // next() has reported Finished
};

// Exports the source as a stream; the source must have fixed columns.
// Error texts are those of the failed step.
void export_stream(std::shared_ptr<BatchSource> source, ArrowArrayStream* out);

}  // namespace qk::xml
