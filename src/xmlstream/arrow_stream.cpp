// Batches built ahead on a worker thread, and the Arrow stream around them.
#include "xmlstream/arrow_stream.h"

#include <cxxabi.h>

#include <cerrno>
#include <chrono>
#include <deque>
#include <new>

#include "xmlstream/batch.h"
#include "xmlstream/discover.h"

namespace qk::xml {

struct BatchSource::Core {
  struct Item {
    Step step = Step::Finished;
    Batch raw;
    std::optional<ArrowBatch> done;  // lined up and converted, by the worker
    XmlStreamError err;
    std::exception_ptr fault;
    std::optional<Fault> where;  // of an Error, where the batch loop noted one
  };

  Core(std::unique_ptr<Reader> reader, std::uint64_t batch_rows, std::string path,
       const ReadOptions& options)
      : inner(std::move(reader), batch_rows, std::move(path)), options(options) {
    inner.set_options(options);
    // Pacing far beyond any file: only the stop at `until` is noted.
    if (options.until != ReadOptions::kNoEnd) inner.set_splits(std::uint64_t{1} << 62, 1, &stops);
  }

  Item build(const Interrupt* interrupt);  // one step of the batch loop
  void work();                             // the worker's loop
  void discover(std::unique_ptr<Reader> reader);
  // Waits, with m held, until `ready` holds or `interrupt` says stop.
  template <class Ready>
  bool wait(std::unique_lock<std::mutex>& lock, Ready done, const Interrupt* interrupt);
  bool columns(const ColumnSet*& out, XmlStreamError& err, const Interrupt* interrupt);
  // After a failed discovery: the reading's own first fault in `err`, read
  // for with m held by `lock`; false when `interrupt` said stop first.
  bool first_fault(std::unique_lock<std::mutex>& lock, XmlStreamError& err, const Interrupt* interrupt);
  Step next(std::optional<ArrowBatch>& out, XmlStreamError& err, const Interrupt* interrupt);
  // Lines a built batch up to `columns` (if any) and converts it to `types`.
  static void finish(Item& item, const ColumnSet* columns, const std::vector<ValueType>& types);
  // Runs `body` on a thread of its own that holds the core alive.
  template <class Body>
  void start(std::shared_ptr<Core> self, Body body);

  XmlBatchInner inner;
  std::deque<Batch> pieces;  // of a batch cut by build, still to go out
  ReadOptions options;
  std::optional<ColumnSet> column_set;  // set before any caller sees it, under m
  bool fixed = false;
  bool types = false;
  bool tally_types = false;  // types without discovery: classify what is built
  std::vector<ValueType> column_types;  // set with column_set by discovery
  // Without discovery: the batches' own verdicts.
  mutable std::mutex tally_m;
  TypeTally tally;
  std::atomic<std::uint64_t> bytes_read{0};
  std::atomic<std::uint64_t> lost_values{0}, lost_records{0};  // see XmlBatchInner::values_lost
  std::vector<SplitPoint> stops;  // with `until`: where reading stopped
  bool prefetch = false;

  // Between the threads and the caller.
  std::mutex m;
  std::condition_variable cv;
  std::deque<Item> ready;
  bool worker_done = false;
  int threads = 0;  // running
  std::atomic<bool> stop{false};
  Interrupt stop_interrupt{[](void* self, bool) {
                             return static_cast<Core*>(self)->stop.load(std::memory_order_relaxed);
                           },
                           this};
  // Discovery on a thread of its own.
  bool discovering = false;  // until its outcome is known
  std::optional<XmlStreamError> discovery_error;
  bool discovery_failed = false;  // its error has been reported: the source has ended
  std::uint64_t records = 0;
  bool records_known = false;
  std::optional<Fault> last_fault;  // the caller's, under consume_
};

template <class Body>
void BatchSource::Core::start(std::shared_ptr<Core> self, Body body) {
  {
    std::lock_guard lock(m);
    ++threads;
  }
  std::thread([self = std::move(self), body = std::move(body)]() mutable {
    body();
    std::lock_guard lock(self->m);
    --self->threads;
    self->cv.notify_all();
  }).detach();
}

namespace {
ReadOptions projected(BatchSourceOptions& o) {
  ReadOptions read = std::move(o.read);
  if (o.project && o.columns) read.project = *o.columns;
  return read;
}
}  // namespace

BatchSource::BatchSource(std::unique_ptr<Reader> reader, BatchSourceOptions o)
    : core_(std::make_shared<Core>(std::move(reader), o.batch_rows, std::move(o.path), projected(o))) {
  Core& c = *core_;
  c.inner.set_first_batch_rows(o.first_batch_rows);
  c.inner.expect_rows(o.expect_rows);
  const bool types = o.types, prefetch = o.prefetch;
  std::optional<std::vector<std::string>>& columns = o.columns;
  std::unique_ptr<Reader>& discovery = o.discovery;
  std::vector<ValueType>& known_types = o.known_types;
  c.types = types;
  const bool known = types && columns && known_types.size() == columns->size();
  c.tally_types = types && !discovery && !known;
  if (columns) {
    c.column_set.emplace(std::move(*columns));
    c.fixed = true;
  }
  if (known) {
    c.column_types = std::move(known_types);
  } else if (types && discovery) {
    c.fixed = c.discovering = true;
    c.start(core_, [&c, r = std::move(discovery)]() mutable { c.discover(std::move(r)); });
  } else if (!columns && discovery) {
    c.fixed = c.discovering = true;
    c.start(core_, [&c, r = std::move(discovery)]() mutable { c.discover(std::move(r)); });
  }
  if (prefetch) {
    c.prefetch = true;
    c.start(core_, [&c] { c.work(); });
  }
}

BatchSource::~BatchSource() {
  std::unique_lock lock(core_->m);
  core_->stop = true;
  core_->cv.notify_all();
  // Threads see the stop at their next check, within a few thousand events;
  // only one blocked in a read can take longer.
  core_->cv.wait_for(lock, std::chrono::seconds(1), [&] { return core_->threads == 0; });
}

std::uint64_t BatchSource::bytes_read() const {
  return core_->bytes_read.load(std::memory_order_relaxed);
}
std::pair<std::uint64_t, std::uint64_t> BatchSource::lost() const {
  return {core_->lost_values.load(std::memory_order_relaxed), core_->lost_records.load(std::memory_order_relaxed)};
}
bool BatchSource::fixed_columns() const { return core_->fixed; }
std::optional<SplitPoint> BatchSource::stop() {
  // The worker appends to `stops` while it builds, under no lock; it has
  // built its last batch once the caller has been told Finished.
  std::lock_guard lock(consume_);
  if (!finished_ || core_->stops.empty()) return std::nullopt;
  return core_->stops.back();
}
const std::string& BatchSource::path() const { return core_->inner.path(); }
std::optional<Fault> BatchSource::fault() {
  std::lock_guard lock(consume_);
  return core_->last_fault;
}

bool BatchSource::columns(const ColumnSet*& out, XmlStreamError& err, const Interrupt* interrupt) {
  return core_->columns(out, err, interrupt);
}

BatchSource::Step BatchSource::next(std::optional<ArrowBatch>& out, XmlStreamError& err,
                                    const Interrupt* interrupt) {
  std::lock_guard consume(consume_);
  const Step step = core_->next(out, err, interrupt);
  if (step == Step::Finished) finished_ = true;
  return step;
}

void BatchSource::Core::discover(std::unique_ptr<Reader> reader) {
  Discovery found;
  XmlStreamError err;
  bool ok = false;
  // The reading reports how the input ends, after its rows.
  ReadOptions options = this->options;
  options.check_end = options.check_element = false;
  try {
    if (types) {
      ok = discover_types(std::move(reader), inner.path(), found, err, &stop_interrupt, options);
    } else {
      XmlBatchInner names(std::move(reader), 0, inner.path());
      names.set_interrupt(&stop_interrupt);
      names.set_options(options);
      // Reading reports every error in text itself, at its place among the
      // batches, so discovery need not read text at all.
      ok = discover_columns(names, found, err, options.skip);
    }
  } catch (const std::bad_alloc&) {
    err = XmlStreamError{XmlStreamError::Kind::Xml, "out of memory finding the columns", false};
  }
  std::lock_guard lock(m);
  if (ok) {
    if (types && column_set) {
      // The columns were given: each takes the type its name was found with.
      ColumnSet found_set(found.columns);
      column_types.clear();
      for (const std::string& name : column_set->names()) {
        const std::uint32_t p = found_set.find(name);
        column_types.push_back(p == KeyIndex::npos ? ValueType::String : found.types[p]);
      }
    } else {
      column_set.emplace(std::move(found.columns));
      column_types = std::move(found.types);
    }
    records = found.records;
    records_known = true;
  } else {
    discovery_error = std::move(err);
  }
  discovering = false;
  cv.notify_all();
}

bool BatchSource::column_types(const std::vector<ValueType>*& out, XmlStreamError& err,
                               const Interrupt* interrupt) {
  const ColumnSet* columns = nullptr;
  if (!core_->columns(columns, err, interrupt)) return false;
  out = &core_->column_types;  // settled once discovery has finished
  return true;
}

void BatchSource::seen_types(std::vector<std::string>& names, std::vector<ValueType>& types) const {
  std::lock_guard lock(core_->tally_m);
  names = core_->tally.names();
  types = core_->tally.decide();
}

bool BatchSource::types() const { return core_->types; }
bool BatchSource::tallies_types() const { return core_->tally_types; }

std::optional<std::uint64_t> BatchSource::records() const {
  std::lock_guard lock(core_->m);
  if (!core_->records_known) return std::nullopt;
  return core_->records;
}

template <class Ready>
bool BatchSource::Core::wait(std::unique_lock<std::mutex>& lock, Ready done, const Interrupt* interrupt) {
  while (!done()) {
    cv.wait_for(lock, std::chrono::milliseconds(20));
    if (!done() && interrupt && interrupt->stop(interrupt->context, false)) return false;
  }
  return true;
}

bool BatchSource::Core::columns(const ColumnSet*& out, XmlStreamError& err, const Interrupt* interrupt) {
  std::unique_lock lock(m);
  if (!wait(lock, [&] { return !discovering; }, interrupt)) {
    err = XmlStreamError{XmlStreamError::Kind::Interrupted, {}, false};
    return false;
  }
  if (discovery_error) {
    // Discovery skims text, so a fault in text before the markup it failed
    // on is not its to see: the batches are read on, and dropped, to the
    // reading's first fault, which is never later than discovery's.
    if (!first_fault(lock, err, interrupt)) return false;
    // Reported once. Without the file's columns there is no schema to line
    // later batches up to, so the source ends there rather than raising
    // the same error for ever.
    discovery_error.reset();
    discovery_failed = true;
    return false;
  }
  if (discovery_failed) {
    out = nullptr;
    return true;
  }
  out = column_set ? &*column_set : nullptr;
  return true;
}

bool BatchSource::Core::first_fault(std::unique_lock<std::mutex>& lock, XmlStreamError& err,
                                    const Interrupt* interrupt) {
  while (true) {
    Item item;
    if (!prefetch) {
      lock.unlock();
      item = build(interrupt);
      lock.lock();
    } else {
      if (!wait(lock, [&] { return !ready.empty() || worker_done; }, interrupt)) {
        err = XmlStreamError{XmlStreamError::Kind::Interrupted, {}, false};
        return false;
      }
      if (ready.empty() || ready.front().step == Step::Finished) break;
      item = std::move(ready.front());
      ready.pop_front();
      cv.notify_all();
    }
    if (item.fault || item.step == Step::Finished) break;
    if (item.step != Step::Error) continue;
    // Interrupted: the next call goes on looking.
    if (item.err.kind == XmlStreamError::Kind::Interrupted) {
      err = std::move(item.err);
      return false;
    }
    err = std::move(item.err);
    return true;
  }
  // The reading met no fault of its own (discovery ran out of memory).
  err = std::move(*discovery_error);
  return true;
}

BatchSource::Core::Item BatchSource::Core::build(const Interrupt* interrupt) {
  Item item;
  if (!pieces.empty()) {
    item.step = Step::Batch;
    item.raw = std::move(pieces.front());
    pieces.pop_front();
  } else {
    inner.set_interrupt(interrupt);
    switch (inner.next_batch(item.err)) {
      case XmlBatchInner::Step::Batch: {
        item.step = Step::Batch;
        // A batch with a column past what Arrow strings hold goes out in
        // pieces that fit, one per step.
        std::vector<Batch> cut;
        if (!cut_wide(inner.take_batch(), cut, item.err.text)) {
          item.step = Step::Error;
          item.err.kind = XmlStreamError::Kind::Xml;
          break;
        }
        item.raw = std::move(cut.front());
        for (std::size_t i = 1; i < cut.size(); ++i) pieces.push_back(std::move(cut[i]));
        break;
      }
      case XmlBatchInner::Step::Finished:
        item.step = Step::Finished;
        break;
      case XmlBatchInner::Step::Error:
        item.step = Step::Error;
        if (inner.fault()) item.where = *inner.fault();
        break;
    }
    inner.set_interrupt(nullptr);
  }
  if (item.step == Step::Batch && tally_types) {
    std::lock_guard lock(tally_m);
    tally.add(item.raw);
  }
  bytes_read.store(inner.offset(), std::memory_order_relaxed);
  lost_values.store(inner.values_lost(), std::memory_order_relaxed);
  lost_records.store(inner.records_with_loss(), std::memory_order_relaxed);
  return item;
}

void BatchSource::Core::work() {
  while (true) {
    {
      // Build only once the last batch has been taken, so that the caller's
      // batch, one waiting and one being built are all there is. While
      // discovery runs the caller holds none yet, and one more may wait.
      std::unique_lock lock(m);
      cv.wait(lock, [&] { return stop || ready.size() < (discovering ? 2u : 1u); });
      if (stop) break;
    }
    Item item;
    try {
      item = build(&stop_interrupt);
      // Once the columns are known the worker lines its batches up and
      // converts them itself, beside the caller.
      const ColumnSet* columns = nullptr;
      bool known = false;
      {
        std::lock_guard lock(m);
        known = fixed && !discovering && column_set;
        if (known) columns = &*column_set;
      }
      if (known) finish(item, columns, column_types);
    } catch (const abi::__forced_unwind&) {
      throw;  // the thread is being ended (a reader's callback may end it)
    } catch (...) {
      item = Item{};
      item.step = Step::Error;
      item.fault = std::current_exception();
    }
    if (item.step == Step::Error && item.err.kind == XmlStreamError::Kind::Interrupted &&
        !item.fault)
      break;  // only stop interrupts the worker
    const bool last = item.step == Step::Finished;
    {
      std::lock_guard lock(m);
      ready.push_back(std::move(item));
    }
    cv.notify_all();
    if (last) break;
  }
  std::lock_guard lock(m);
  worker_done = true;
  cv.notify_all();
}

BatchSource::Step BatchSource::Core::next(std::optional<ArrowBatch>& out, XmlStreamError& err,
                                    const Interrupt* interrupt) {
  out.reset();
  const ColumnSet* lined_up = nullptr;
  if (!columns(lined_up, err, interrupt)) return Step::Error;
  if (discovery_failed) return Step::Finished;
  Item item;
  if (!prefetch) {
    item = build(interrupt);
  } else {
    std::unique_lock lock(m);
    if (!wait(lock, [&] { return !ready.empty() || worker_done; }, interrupt)) {
      err = XmlStreamError{XmlStreamError::Kind::Interrupted, {}, false};
      return Step::Error;
    }
    if (ready.empty()) return Step::Finished;
    // Finished stays in place for every later call.
    if (ready.front().step == Step::Finished) return Step::Finished;
    item = std::move(ready.front());
    ready.pop_front();
    lock.unlock();
    cv.notify_all();
  }
  if (item.fault) std::rethrow_exception(item.fault);
  // Lined up here when the worker built the batch before discovery knew
  // the columns.
  if (item.step == Step::Batch && !item.done) finish(item, lined_up, column_types);
  if (item.step != Step::Batch) {
    err = std::move(item.err);
    if (item.where) last_fault = std::move(item.where);
    return item.step;
  }
  out = std::move(item.done);
  return Step::Batch;
}

void BatchSource::Core::finish(Item& item, const ColumnSet* columns,
                               const std::vector<ValueType>& types) {
  if (item.step != Step::Batch) return;
  if (columns && !align_batch(item.raw, *columns, item.err.text)) {
    item.step = Step::Stray;
    return;
  }
  if (types.empty()) {
    item.done.emplace(std::move(item.raw));
    return;
  }
  std::string why;
  if (!ArrowBatch::typed(std::move(item.raw), types, item.done, why)) {
    item.step = Step::Error;
    item.err = XmlStreamError{XmlStreamError::Kind::Xml, std::move(why), false};
  }
}

// ---- The stream --------------------------------------------------------------------

namespace {

struct StreamState {
  std::shared_ptr<BatchSource> source;
  std::string last_error;
};

StreamState& state(ArrowArrayStream* s) { return *static_cast<StreamState*>(s->private_data); }

// Every failure iteration raises as a ValueError is EINVAL, which consumers
// raise as one too (EIO would be an OSError).
int stream_errno(const XmlStreamError&) { return EINVAL; }

int stream_schema(ArrowArrayStream* s, ArrowSchema* out) {
  try {
    StreamState& st = state(s);
    const ColumnSet* columns = nullptr;
    XmlStreamError err;
    if (!st.source->columns(columns, err, nullptr)) {
      st.last_error = "failed to parse XML file '" + st.source->path() + "': " + err.text;
      return stream_errno(err);
    }
    if (!columns) {
      st.last_error = "the batches have no single schema";
      return EINVAL;
    }
    const std::vector<ValueType>* types = nullptr;
    if (!st.source->column_types(types, err, nullptr)) {
      st.last_error = "failed to parse XML file '" + st.source->path() + "': " + err.text;
      return stream_errno(err);
    }
    export_schema(columns->names(), *types, out);
    return 0;
  } catch (...) {
    state(s).last_error = "out of memory";
    return ENOMEM;
  }
}

int stream_next(ArrowArrayStream* s, ArrowArray* out) {
  StreamState& st = state(s);
  try {
    std::optional<ArrowBatch> batch;
    XmlStreamError err;
    switch (st.source->next(batch, err, nullptr)) {
      case BatchSource::Step::Batch:
        batch->export_array(out);
        return 0;
      case BatchSource::Step::Finished:
        out->release = nullptr;
        return 0;
      case BatchSource::Step::Stray:
        st.last_error = "the XML batch has a column '" + err.text +
                        "' that is not among the requested columns";
        return EINVAL;
      case BatchSource::Step::Error:
        st.last_error = "failed to parse XML file '" + st.source->path() + "': " + err.text;
        return stream_errno(err);
    }
  } catch (...) {
    st.last_error = "out of memory";
    return ENOMEM;
  }
  return EIO;
}

const char* stream_error(ArrowArrayStream* s) {
  const std::string& e = state(s).last_error;
  return e.empty() ? nullptr : e.c_str();
}

void stream_release(ArrowArrayStream* s) {
  delete static_cast<StreamState*>(s->private_data);
  s->release = nullptr;
}

}  // namespace

void export_stream(std::shared_ptr<BatchSource> source, ArrowArrayStream* out) {
  auto st = std::make_unique<StreamState>(StreamState{std::move(source), {}});
  *out = ArrowArrayStream{&stream_schema, &stream_next, &stream_error, &stream_release, st.get()};
  st.release();
}

}  // namespace qk::xml
