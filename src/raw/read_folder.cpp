#include "raw/read_folder.h"

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

// Reads one folder entry if it is a regular file whose path ends in ".json";
// other regular files are announced and passed over, anything else silently.
std::optional<std::vector<JaegerTrace>> read_folder_entry(std::string_view folder, std::string_view name,
                                                          std::int32_t& file_count, const ReadInto& into,
                                                          System& system) {
  std::string path = join_path(folder, name);

  struct stat status;
  if (Status found = system.stat(path, status); !found.ok()) throw Stop(found.detail());
  if (!S_ISREG(status.st_mode)) return std::nullopt;

  if (!is_valid_utf8(path)) throw Stop(messages::kPathNotText);
  if (!std::string_view(path).ends_with(".json")) {
    print_stdout(messages::ignored_file(path));
    return std::nullopt;
  }
  ++file_count;
  return read_and_split_file(path, into, system);
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
    for (;;) {
      std::string_view name;
      if (Status listed = listing.next(name); !listed.ok()) throw Stop(messages::entry_unreadable(listed.detail()));
      if (name.empty()) break;
      if (name == "." || name == "..") continue;
      if (auto read = read_folder_entry(input, name, file_count, records.into(), system)) {
        records.add(std::move(*read));
      }
    }
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
