#include "raw/read_folder.h"

#include <algorithm>
#include <deque>
#include <exception>
#include <iterator>
#include <memory>
#include <sys/stat.h>
#include <utility>
#include <variant>

#include "raw/read_trace_file.h"
#include "raw/split_export.h"
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

std::vector<JaegerTrace> read_and_split_file(const std::string& path, ReadInto into, System& system) {
  print_stdout(messages::reading_file(path));
  std::variant<JaegerTrace, TraceFileError> result = read_trace_file(path, std::move(into), system);
  if (const auto* error = std::get_if<TraceFileError>(&result)) throw Stop(error->detail());
  return split_export(std::get<JaegerTrace>(std::move(result)));
}

namespace {

// Where the records of a run go: into the result, or to the sink, either an
// export at a time or item by item as it asked.
class RecordRouter final : private ItemSink {
 public:
  RecordRouter(RecordSink* sink, ReadResult& result) : sink_(sink), result_(result) {
    into_.store = std::make_shared<ModelStore>();
  }
  RecordRouter(const RecordRouter&) = delete;
  RecordRouter& operator=(const RecordRouter&) = delete;

  void open(std::string_view base_folder) {
    if (sink_ == nullptr || !sink_->open(base_folder)) return;
    pool_ = std::make_shared<StorePool>();
    into_.items = this;
    into_.tasks = sink_->tasks();
  }

  // How the next export is read: by default into one store for every file of
  // the run, so that texts repeated across files are held once.
  const ReadInto& into() const { return into_; }

  // The threads that read ahead, once opened; or none.
  TaskPool* tasks() const { return into_.tasks; }

  // One item read elsewhere, with its store.
  void add_item(JaegerItem&& item, std::shared_ptr<ModelStore>&& store) { take(std::move(item), std::move(store)); }

  void add(std::vector<JaegerTrace>&& records) {
    result_.trace_count += records.size();
    if (sink_ != nullptr) {
      for (JaegerTrace& record : records) sink_->take(std::move(record));
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
  std::shared_ptr<ModelStore> store_for_item() override { return pool_->get(); }
  void take(JaegerItem&& item, std::shared_ptr<ModelStore>&& store) override {
    ++result_.trace_count;
    sink_->take(single_item_record(std::move(item), std::move(store)));
  }

  RecordSink* sink_;
  ReadResult& result_;
  ReadInto into_;
  std::shared_ptr<StorePool> pool_;
};

// An export of a folder read whole on another thread: its items, what it
// printed and reported, and how it ended, kept until the reader hands them on
// in listing order.
class ExportAhead final : public OnceTask, private ItemSink {
 public:
  ExportAhead(std::string path, System& system, std::shared_ptr<StorePool> stores)
      : path_(std::move(path)), system_(system), stores_(std::move(stores)) {}

  const std::string& path() const { return path_; }

  // Once done: prints and files what reading it did, then hands on its
  // items, or throws what stopped it, as reading it in turn would have.
  void hand_on(RecordRouter& records) {
    output_.replay();
    if (error_) std::rethrow_exception(error_);
    for (auto& [item, store] : items_) records.add_item(std::move(item), std::move(store));
    items_.clear();
  }

 private:
  void work() noexcept override {
    CaptureOutput capture(output_);
    try {
      ReadInto into;
      into.items = this;
      (void)read_and_split_file(path_, into, system_);  // every item came to take()
    } catch (...) {
      error_ = std::current_exception();
    }
  }

  std::shared_ptr<ModelStore> store_for_item() override { return stores_->get(); }
  void take(JaegerItem&& item, std::shared_ptr<ModelStore>&& store) override {
    items_.emplace_back(std::move(item), std::move(store));
  }

  const std::string path_;
  System& system_;
  std::shared_ptr<StorePool> stores_;
  CapturedOutput output_;
  std::vector<std::pair<JaegerItem, std::shared_ptr<ModelStore>>> items_;
  std::exception_ptr error_;
};

// The exports of a folder read several at a time by the threads that read
// ahead, and handed on in listing order with the lines between them: the
// first fault in listing order ends the run, and nothing after it is shown.
// An export larger than kWholeExport is read in turn (its items ahead), once
// every earlier one has been handed on.
class ExportsAhead {
 public:
  static constexpr off_t kWholeExport = off_t{4} << 20;
  static constexpr off_t kBytesInFlight = off_t{16} << 20;

  ExportsAhead(RecordRouter& records, System& system) : records_(records), system_(system) {}
  // A fault: those read meanwhile are dropped, and those being read waited for.
  ~ExportsAhead() {
    for (const Pending& pending : pending_) {
      if (pending.read && !pending.read->cancel()) pending.read->wait_while_running();
    }
  }
  ExportsAhead(const ExportsAhead&) = delete;
  ExportsAhead& operator=(const ExportsAhead&) = delete;

  void print(std::string line) {
    if (pending_.empty()) {
      print_stdout(line);
    } else {
      pending_.push_back({nullptr, std::move(line), 0});
    }
  }

  void read(std::string path, off_t size) {
    TaskPool* tasks = records_.tasks();
    if (tasks == nullptr || size > kWholeExport) {
      hand_on_all();
      records_.add(read_and_split_file(path, records_.into(), system_));
      return;
    }
    if (!stores_) stores_ = std::make_shared<StorePool>();
    auto read = std::make_shared<ExportAhead>(std::move(path), system_, stores_);
    tasks->post(read);
    pending_.push_back({std::move(read), {}, size});
    bytes_ += size;
    while (pending_.size() > 4 * (tasks->threads() + 1) || bytes_ > kBytesInFlight) hand_on_first();
  }

  // Hands on every export read or being read, in order.
  void hand_on_all() {
    while (!pending_.empty()) hand_on_first();
  }

 private:
  struct Pending {
    std::shared_ptr<ExportAhead> read;
    std::string line;  // printed, where there is no export
    off_t size;
  };

  void hand_on_first() {
    Pending first = std::move(pending_.front());
    pending_.pop_front();
    bytes_ -= first.size;
    if (!first.read) return print_stdout(first.line);
    if (first.read->cancel()) {
      // No thread has taken it: read in turn here, announced before it is opened.
      records_.add(read_and_split_file(first.read->path(), records_.into(), system_));
      return;
    }
    // Another thread reads it: meanwhile read a later one that no thread has taken.
    first.read->finish([this] {
      auto later =
          std::find_if(pending_.begin(), pending_.end(), [](const Pending& p) { return p.read && p.read->waiting(); });
      if (later == pending_.end()) return false;
      later->read->run();
      return true;
    });
    first.read->hand_on(records_);
  }

  RecordRouter& records_;
  System& system_;
  std::shared_ptr<StorePool> stores_;
  std::deque<Pending> pending_;
  off_t bytes_ = 0;
};

}  // namespace

ReadResult read_file_or_folder(std::string_view input, System& system, RecordSink* sink) {
  report(kRowStdout, messages::reading_input(input));
  ReadResult result;
  RecordRouter records(sink, result);
  std::string path(input);

  struct stat status;
  bool found = system.stat(path, status).ok();
  if (found && S_ISREG(status.st_mode) && has_json_extension(input)) {
    std::string_view parent = parent_of(input);
    records.open(parent);
    records.add(read_and_split_file(path, records.into(), system));
    result.base_folder = parent;
    result.file_count = 1;
  } else if (found && S_ISDIR(status.st_mode)) {
    std::int32_t file_count = 0;
    Listing listing;
    if (Status opened = system.list_folder(path, listing); !opened.ok()) {
      throw Stop(messages::folder_unreadable(opened.detail()));
    }
    records.open(input);
    ExportsAhead exports(records, system);
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

  report(kRowStdout, messages::read_summary(result.trace_count, result.file_count));
  return result;
}

}  // namespace spansift
