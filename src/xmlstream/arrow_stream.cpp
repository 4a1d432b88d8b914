// Batches built ahead on a worker thread, and the Arrow stream around them.
#include "xmlstream/arrow_stream.h"

#include <cerrno>
#include <chrono>
#include <new>

#include "xmlstream/discover.h"

namespace qk::xml {

BatchSource::BatchSource(std::unique_ptr<Reader> reader, std::uint64_t batch_rows,
                         std::string path, std::optional<std::vector<std::string>> columns,
                         bool prefetch, std::unique_ptr<Reader> discovery)
    : inner_(std::move(reader), batch_rows, std::move(path)) {
  stop_interrupt_ = {[](void* self, bool) {
                       return static_cast<BatchSource*>(self)->stop_.load(
                           std::memory_order_relaxed);
                     },
                     this};
  if (columns) {
    columns_.emplace(std::move(*columns));
    fixed_ = true;
  } else if (discovery) {
    fixed_ = discovering_ = true;
    discoverer_ = std::thread([this, r = std::move(discovery)]() mutable { discover(std::move(r)); });
  }
  if (prefetch) worker_ = std::thread([this] { work(); });
}

BatchSource::~BatchSource() {
  {
    std::lock_guard lock(m_);
    stop_ = true;
  }
  cv_.notify_all();
  if (worker_.joinable()) worker_.join();
  if (discoverer_.joinable()) discoverer_.join();
}

void BatchSource::discover(std::unique_ptr<Reader> reader) {
  Discovery found;
  XmlStreamError err;
  bool ok = false;
  try {
    XmlBatchInner inner(std::move(reader), 0, inner_.path());
    inner.set_interrupt(&stop_interrupt_);
    // Reading reports every error in text itself, at its place among the
    // batches, so discovery need not read text at all.
    ok = discover_columns(inner, found, err, false);
  } catch (const std::bad_alloc&) {
    err = XmlStreamError{XmlStreamError::Kind::Xml, "out of memory finding the columns", false};
  }
  std::lock_guard lock(m_);
  if (ok) {
    columns_.emplace(std::move(found.columns));
    records_ = found.records;
    records_known_ = true;
  } else {
    discovery_error_ = std::move(err);
  }
  discovering_ = false;
  cv_.notify_all();
}

std::optional<std::uint64_t> BatchSource::records() const {
  std::lock_guard lock(const_cast<std::mutex&>(m_));
  if (!records_known_) return std::nullopt;
  return records_;
}

template <class Ready>
bool BatchSource::wait(std::unique_lock<std::mutex>& lock, Ready ready, const Interrupt* interrupt) {
  while (!ready()) {
    cv_.wait_for(lock, std::chrono::milliseconds(20));
    if (!ready() && interrupt && interrupt->stop(interrupt->context, false)) return false;
  }
  return true;
}

bool BatchSource::columns(const ColumnSet*& out, XmlStreamError& err, const Interrupt* interrupt) {
  std::unique_lock lock(m_);
  if (!wait(lock, [&] { return !discovering_; }, interrupt)) {
    err = XmlStreamError{XmlStreamError::Kind::Interrupted, {}, false};
    return false;
  }
  if (discovery_error_) {
    // Reported once. Without the file's columns there is no schema to line
    // later batches up to, so the source ends there rather than raising
    // the same error for ever.
    err = std::move(*discovery_error_);
    discovery_error_.reset();
    discovery_failed_ = true;
    return false;
  }
  if (discovery_failed_) {
    out = nullptr;
    return true;
  }
  out = columns_ ? &*columns_ : nullptr;
  return true;
}

BatchSource::Item BatchSource::build(const Interrupt* interrupt) {
  Item item;
  inner_.set_interrupt(interrupt);
  switch (inner_.next_batch(item.err)) {
    case XmlBatchInner::Step::Batch:
      item.step = Step::Batch;
      item.raw = inner_.take_batch();
      break;
    case XmlBatchInner::Step::Finished:
      item.step = Step::Finished;
      break;
    case XmlBatchInner::Step::Error:
      item.step = Step::Error;
      break;
  }
  inner_.set_interrupt(nullptr);
  bytes_read_.store(inner_.offset(), std::memory_order_relaxed);
  return item;
}

void BatchSource::work() {
  while (true) {
    {
      // Build only once the last batch has been taken, so that the caller's
      // batch, one waiting and one being built are all there is. While
      // discovery runs the caller holds none yet, and one more may wait.
      std::unique_lock lock(m_);
      cv_.wait(lock, [&] { return stop_ || ready_.size() < (discovering_ ? 2u : 1u); });
      if (stop_) break;
    }
    Item item;
    try {
      item = build(&stop_interrupt_);
    } catch (...) {
      item = Item{};
      item.step = Step::Error;
      item.fault = std::current_exception();
    }
    if (item.step == Step::Error && item.err.kind == XmlStreamError::Kind::Interrupted &&
        !item.fault)
      break;  // only stop_ interrupts the worker
    const bool last = item.step == Step::Finished;
    {
      std::lock_guard lock(m_);
      ready_.push_back(std::move(item));
    }
    cv_.notify_all();
    if (last) break;
  }
  std::lock_guard lock(m_);
  worker_done_ = true;
  cv_.notify_all();
}

BatchSource::Step BatchSource::next(std::optional<ArrowBatch>& out, XmlStreamError& err,
                                    const Interrupt* interrupt) {
  std::lock_guard consume(consume_);
  out.reset();
  const ColumnSet* fixed = nullptr;
  if (!columns(fixed, err, interrupt)) return Step::Error;
  if (discovery_failed_) return Step::Finished;
  Item item;
  if (!worker_.joinable()) {
    item = build(interrupt);
  } else {
    std::unique_lock lock(m_);
    if (!wait(lock, [&] { return !ready_.empty() || worker_done_; }, interrupt)) {
      err = XmlStreamError{XmlStreamError::Kind::Interrupted, {}, false};
      return Step::Error;
    }
    if (ready_.empty()) return Step::Finished;
    // Finished stays in place for every later call.
    if (ready_.front().step == Step::Finished) return Step::Finished;
    item = std::move(ready_.front());
    ready_.pop_front();
    lock.unlock();
    cv_.notify_all();
  }
  if (item.fault) std::rethrow_exception(item.fault);
  if (item.step != Step::Batch) {
    err = std::move(item.err);
    return item.step;
  }
  // Lined up here rather than by the worker, which may have built the batch
  // before discovery knew the columns.
  if (fixed && !align_batch(item.raw, *fixed, err.text)) return Step::Stray;
  out.emplace(std::move(item.raw));
  return Step::Batch;
}

// ---- The stream --------------------------------------------------------------------

namespace {

struct StreamState {
  std::shared_ptr<BatchSource> source;
  std::string last_error;
};

StreamState& state(ArrowArrayStream* s) { return *static_cast<StreamState*>(s->private_data); }

int stream_schema(ArrowArrayStream* s, ArrowSchema* out) {
  try {
    StreamState& st = state(s);
    const ColumnSet* columns = nullptr;
    XmlStreamError err;
    if (!st.source->columns(columns, err, nullptr)) {
      st.last_error = "failed to parse XML file '" + st.source->path() + "': " + err.text;
      return EIO;
    }
    if (!columns) {
      st.last_error = "the batches have no single schema";
      return EINVAL;
    }
    export_schema(columns->names(), out);
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
        return EIO;
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
