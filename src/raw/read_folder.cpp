#include "raw/read_folder.h"

#include <algorithm>
#include <cerrno>
#include <deque>
#include <exception>
#include <iterator>
#include <memory>
#include <optional>
#include <sys/stat.h>
#include <utility>
#include <variant>

#include "raw/read_trace_file.h"
#include "raw/split_export.h"
#include "utils/ahead_window.h"
#include "utils/file.h"
#include "utils/messages.h"
#include "utils/report.h"
#include "utils/stop.h"
#include "utils/text.h"

namespace spansift {

namespace {

// The path without trailing slashes; empty for "" and for a path of slashes only.
std::string_view without_trailing_slashes(std::string_view path) {
  std::size_t last = path.find_last_not_of('/');
  return last == std::string_view::npos ? std::string_view() : path.substr(0, last + 1);
}

// The last path component, or empty when there is none ("", "/").
std::string_view last_component(std::string_view path) {
  std::string_view trimmed = without_trailing_slashes(path);
  std::size_t slash = trimmed.rfind('/');
  return slash == std::string_view::npos ? trimmed : trimmed.substr(slash + 1);
}

// The extension test for a single input file: the text after the last "." of
// the last component is exactly "json". A leading "." alone (".json") and ".."
// give no extension.
bool has_json_extension(std::string_view path) {
  std::string_view name = last_component(path);
  if (name == "..") return false;
  std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return false;
  return name.substr(dot + 1) == "json";
}

// The path with its last component removed, as a view into `path`: empty for
// a bare name (the current folder), "/" for a name directly under the root.
// `path` has a last component: it has the extension "json".
std::string_view parent_of(std::string_view path) {
  std::string_view trimmed = without_trailing_slashes(path);
  std::size_t slash = trimmed.rfind('/');
  if (slash == std::string_view::npos) return path.substr(0, 0);
  std::string_view parent = without_trailing_slashes(trimmed.substr(0, slash));
  if (parent.empty()) return path.substr(0, 1);  // only the root is left
  return parent;
}

}  // namespace

namespace {

// Announces, reads and splits one export file; what stopped it, if anything.
std::variant<std::vector<JaegerTrace>, TraceFileError> read_export(const std::string& path, ReadInto into,
                                                                   System& system, Output& output, Workers* workers) {
  output.print(messages::reading_file(path));
  std::variant<JaegerTrace, TraceFileError> result = read_trace_file(path, std::move(into), system, output, workers);
  if (auto* error = std::get_if<TraceFileError>(&result)) return std::move(*error);
  return split_export(std::get<JaegerTrace>(std::move(result)), output);
}

// A fault of the machine, not of the export: what a worker meets reading
// ahead that reading in turn, one file at a time, may not.
bool is_resource_fault(const TraceFileError& error) {
  const auto* os = std::get_if<Status>(&error.error);
  return os != nullptr && (os->code == EMFILE || os->code == ENFILE || os->code == ENOMEM || os->code == ENOBUFS);
}

}  // namespace

std::vector<JaegerTrace> read_and_split_file(const std::string& path, ReadInto into, System& system, Output& output,
                                             Workers* workers) {
  auto result = read_export(path, std::move(into), system, output, workers);
  if (const auto* error = std::get_if<TraceFileError>(&result)) throw Stop(error->detail());
  return std::get<std::vector<JaegerTrace>>(std::move(result));
}

namespace {

// Where the records of a run go: into the result, or to the sink, either an
// export at a time or item by item as it asked.
class RecordRouter final : private ItemSink {
 public:
  RecordRouter(RecordSink* sink, ReadResult& result, std::shared_ptr<StorePool> stores)
      : sink_(sink), result_(result), stores_(std::move(stores)) {
    into_.store = std::make_shared<ModelStore>();
  }
  RecordRouter(const RecordRouter&) = delete;
  RecordRouter& operator=(const RecordRouter&) = delete;

  // True when the sink takes items one by one.
  bool open(std::string_view base_folder) {
    if (sink_ == nullptr || !sink_->open(base_folder)) return false;
    into_.items = this;
    if (sink_->selective()) into_.selects = this;
    return true;
  }

  // How the next export is read: by default into one store for every file of
  // the run, so that texts repeated across files are held once.
  const ReadInto& into() const { return into_; }

  void add(std::vector<JaegerTrace>&& records) {
    result_.trace_count += records.size();
    if (sink_ != nullptr) {
      for (JaegerTrace& record : records) sink_->receive(std::move(record));
    } else if (result_.traces.empty()) {
      result_.traces = std::move(records);
    } else {
      result_.traces.insert(result_.traces.end(), std::make_move_iterator(records.begin()),
                            std::make_move_iterator(records.end()));
    }
  }

 private:
  // A store per item, so that an item's memory goes once the sink is done
  // with it; stores are used again, not made anew (on any thread).
  std::shared_ptr<ModelStore> new_store() override { return stores_->get(); }
  void receive(JaegerItem&& item, std::shared_ptr<ModelStore>&& store) override {
    ++result_.trace_count;
    sink_->receive(single_item_record(std::move(item), std::move(store)));
  }
  bool wants(std::string_view trace_id) const override { return sink_->wants(trace_id); }
  void passed_over(std::string_view) override { ++result_.trace_count; }

  RecordSink* sink_;
  ReadResult& result_;
  std::shared_ptr<StorePool> stores_;
  ReadInto into_;
};

// A small export of a folder read whole by a worker into one store, and what
// it printed and reported, kept until the reader hands them on in listing order.
class ExportTask final : public OnceTask {
 public:
  ExportTask(std::string path, System& system, std::shared_ptr<StorePool> stores, const ItemSink* selects)
      : path_(std::move(path)), system_(system), stores_(std::move(stores)), selects_(selects) {}

  // Once done: prints and files what reading it did, then hands on its
  // records, or throws what stopped it, as reading it in turn would have.
  // One that met a fault of the machine is read again in turn instead.
  void hand_on(RecordRouter& records, Output& output, Workers* workers) {
    if (in_turn_) return read_in_turn(records, output, workers);
    kept_.replay(output);
    if (const auto* error = std::get_if<TraceFileError>(&result_)) throw Stop(error->detail());
    records.add(std::get<std::vector<JaegerTrace>>(std::move(result_)));
  }

  // Read in turn: no worker had begun it.
  void read_in_turn(RecordRouter& records, Output& output, Workers* workers) {
    records.add(read_and_split_file(path_, records.into(), system_, output, workers));
  }

 private:
  void work() noexcept override {
    try {
      ReadInto into;
      into.store = stores_->get();
      // Items not wanted stay in the export with nothing but their trace
      // IDs, which the sink passes over.
      into.selects = selects_;
      result_ = read_export(path_, std::move(into), system_, kept_, nullptr);
      if (const auto* error = std::get_if<TraceFileError>(&result_)) in_turn_ = is_resource_fault(*error);
    } catch (...) {
      in_turn_ = true;  // no memory, say
    }
  }

  const std::string path_;
  System& system_;
  std::shared_ptr<StorePool> stores_;
  const ItemSink* selects_;
  CapturedOutput kept_;  // what reading it printed and filed
  std::variant<std::vector<JaegerTrace>, TraceFileError> result_;
  bool in_turn_ = false;
};

// The small exports of a folder read several at a time by the workers, and
// handed on in listing order with the lines between them: the first fault in
// listing order ends the run, and nothing after it is shown. An export larger
// than kWholeExport is read in turn (its items ahead), once every earlier one
// has been handed on. At most 4 exports per worker and kBytesInFlight of them
// are read ahead at once.
class ExportsAhead {
 public:
  static constexpr off_t kWholeExport = off_t{4} << 20;
  static constexpr off_t kBytesInFlight = off_t{16} << 20;

  ExportsAhead(RecordRouter& records, System& system, Output& output, Workers* workers,
               std::shared_ptr<StorePool> stores)
      : records_(records), system_(system), output_(output), workers_(workers), stores_(std::move(stores)) {
    if (workers_ != nullptr) window_.emplace(*workers_);
  }
  ExportsAhead(const ExportsAhead&) = delete;
  ExportsAhead& operator=(const ExportsAhead&) = delete;

  void print(std::string line) {
    if (!window_ || window_->empty()) return output_.print(line);
    // Kept until the exports listed before it are handed on; a long run of
    // them hands those on first, so that lines are not kept by the thousand.
    if (lines_.size() >= kLinesKept) hand_on_all();
    if (window_->empty()) return output_.print(line);
    lines_.push_back({posted_, std::move(line)});
  }

  void read(std::string path, off_t size) {
    if (!window_ || size > kWholeExport || !workers_->may_read_ahead()) {
      hand_on_all();
      records_.add(read_and_split_file(path, records_.into(), system_, output_, workers_));
      return;
    }
    auto read = std::make_shared<ExportTask>(std::move(path), system_, stores_, records_.into().selects);
    window_->push(std::move(read));
    ++posted_;
    sizes_.push_back(size);
    bytes_ += size;
    while (window_->size() > 4 * (window_->workers().threads() + std::size_t{1}) || bytes_ > kBytesInFlight) {
      hand_on_first();
    }
  }

  // Hands on every export read or being read, and the lines between them, in order.
  void hand_on_all() {
    while (window_ && !window_->empty()) hand_on_first();
    flush_lines();
  }

 private:
  static constexpr std::size_t kLinesKept = 1024;

  // A line printed once `after` exports had been posted.
  struct Line {
    std::uint64_t after;
    std::string text;
  };

  void flush_lines() {
    while (!lines_.empty() && lines_.front().after <= handed_on_) {
      output_.print(lines_.front().text);
      lines_.pop_front();
    }
  }

  void hand_on_first() {
    flush_lines();
    std::shared_ptr<ExportTask> first;
    const bool done = window_->pop_front(first);
    bytes_ -= sizes_.front();
    sizes_.pop_front();
    ++handed_on_;
    if (done) {
      first->hand_on(records_, output_, workers_);
    } else {
      // No worker had begun it: read in turn here, announced before it is opened.
      first->read_in_turn(records_, output_, workers_);
    }
    flush_lines();
  }

  RecordRouter& records_;
  System& system_;
  Output& output_;
  Workers* workers_;
  std::shared_ptr<StorePool> stores_;
  std::deque<Line> lines_;       // in order, each after the exports listed before it
  std::uint64_t posted_ = 0;     // exports posted to the window
  std::uint64_t handed_on_ = 0;  // of those, taken off it
  std::deque<off_t> sizes_;
  off_t bytes_ = 0;
  // Last: it waits for the exports being read, which refer to the above.
  std::optional<AheadWindow<ExportTask>> window_;
};

}  // namespace

ReadResult read_file_or_folder(std::string_view input, System& system, Output& output, RecordSink* sink,
                               Workers* workers) {
  output.report(kRowStdout, messages::reading_input(input));
  ReadResult result;
  auto stores = std::make_shared<StorePool>();
  RecordRouter records(sink, result, stores);
  std::string path(input);

  struct stat status;
  bool found = system.stat(path, status).ok();
  if (found && S_ISREG(status.st_mode) && has_json_extension(input)) {
    std::string_view parent = parent_of(input);
    if (!records.open(parent)) workers = nullptr;  // items are read ahead only when they go one by one
    records.add(read_and_split_file(path, records.into(), system, output, workers));
    result.base_folder = parent;
    result.file_count = 1;
  } else if (found && S_ISDIR(status.st_mode)) {
    std::int32_t file_count = 0;
    Listing listing;
    if (Status opened = system.list_folder(path, listing); !opened.ok()) {
      throw Stop(messages::folder_unreadable(opened.detail()));
    }
    if (!records.open(input)) workers = nullptr;
    ExportsAhead exports(records, system, output, workers, stores);
    for (;;) {
      std::string_view name;
      if (Status listed = listing.next(name); !listed.ok()) {
        exports.hand_on_all();  // what comes first in listing order is shown first
        throw Stop(messages::entry_unreadable(listed.detail()));
      }
      if (name.empty()) break;
      if (name == "." || name == "..") continue;
      // A regular file whose path ends in ".json" is read; other regular
      // files are announced and passed over, anything else silently.
      std::string entry = join_path(input, name);
      struct stat entry_status;
      if (Status stated = system.stat(entry, entry_status); !stated.ok()) {
        exports.hand_on_all();
        throw Stop(stated.detail());
      }
      if (!S_ISREG(entry_status.st_mode)) continue;
      if (!is_valid_utf8(entry)) {
        exports.hand_on_all();
        throw Stop(messages::kPathNotText);
      }
      if (!entry.ends_with(".json")) {
        exports.print(messages::ignored_file(entry));
        continue;
      }
      ++file_count;
      exports.read(std::move(entry), entry_status.st_size);
    }
    exports.hand_on_all();
    // Every name has been read: a listing that fails to close lost none.
    (void)listing.close();
    result.base_folder = input;
    result.file_count = file_count;
  } else {
    throw Stop(messages::not_json_file_or_folder(path));
  }

  output.report(kRowStdout, messages::read_summary(result.trace_count, result.file_count));
  return result;
}

}  // namespace spansift
