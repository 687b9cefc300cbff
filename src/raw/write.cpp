#include "raw/write.h"

#include <cerrno>
#include <optional>
#include <sys/stat.h>
#include <utility>

#include "raw/json/json_write.h"
#include "raw/model_store.h"
#include "utils/file.h"
#include "utils/interrupt.h"
#include "utils/messages.h"
#include "utils/report.h"
#include "utils/stop.h"
#include "utils/text.h"

namespace spansift {

TraceSelection parse_trace_ids(std::string_view trace_ids) {
  TraceSelection selection;
  while (true) {
    std::size_t comma = trace_ids.find(',');
    std::string_view piece = trace_ids.substr(0, comma);
    if (!piece.empty()) selection.emplace(piece);
    if (comma == std::string_view::npos) break;
    trace_ids.remove_prefix(comma + 1);
  }
  return selection;
}

namespace {

// Messages are built before anything is cleaned up, and a path that isn't
// text can't be shown in one.
std::string create_message(const std::string& path, std::string_view reason) {
  if (!is_valid_utf8(path)) return messages::kPathNotShown;
  return messages::file_not_created(path, reason);
}

std::string write_message(const std::string& path, std::string_view reason) {
  if (!is_valid_utf8(path)) return messages::kPathNotShown;
  return messages::write_failed(path, reason);
}

// The staged file of a record, being written into the staging folder. Its
// owner keeps it, or discards it on any fault: both inside the step that
// made it, where the thread-safety analysis checks them (it does not look
// into destructors, so this one only closes the file).
class StagedFile {
 public:
  // Made with the mode 0666 at creation, so that the kernel applies the
  // process's umask itself; no process-wide state is read or changed.
  StagedFile(StagingFolder& staging, std::size_t slot) REQUIRES_SHARED(staging.step())
      : staging_(staging), slot_(slot) {
    created_ = staging_.create(slot, 0666, file_);
  }
  StagedFile(const StagedFile&) = delete;
  StagedFile& operator=(const StagedFile&) = delete;
  // Only reached still open after another fault, whose message is the one
  // to show: closing can only be tried.
  ~StagedFile() { (void)file_.close(); }

  const File& file() const { return file_; }
  Status created() const { return created_; }

  // Some file systems (NFS, FUSE, quotas) report write errors only here.
  Status close() { return file_.close(); }

  // Removes the file, if it was made; failures are ignored.
  void discard() noexcept REQUIRES_SHARED(staging_.step()) {
    (void)file_.close();
    if (created_.ok()) staging_.discard(slot_);
  }

 private:
  StagingFolder& staging_;
  std::size_t slot_;
  File file_;
  Status created_;
};

// Writes `text` whole into the staged file, with the mode that the final
// file keeps, and closes it.
void write_staged(StagedFile& staged, const std::string& path, std::string_view text, std::optional<mode_t> kept_mode,
                  System& system) {
  if (kept_mode) {
    if (Status set = system.change_mode(staged.file(), *kept_mode); !set.ok()) {
      throw Stop(create_message(path, set.display()));
    }
  }
  if (Status written = system.write_all(staged.file(), text); !written.ok()) {
    throw Stop(write_message(path, written.display()));
  }
  if (Status closed = staged.close(); !closed.ok()) throw Stop(write_message(path, closed.display()));
}

}  // namespace

std::string output_name(const JaegerTrace& record) {
  std::string_view trace_id = trace_id_of(record);
  // Joined onto the folder, a "/" in the ID could name any file on the
  // system ("../../x", "/etc/x"); such an ID is refused outright.
  if (trace_id.find('/') != std::string_view::npos) throw Stop(messages::unsafe_trace_id(trace_id));
  std::string name(trace_id);
  name += ".json";
  return name;
}

std::optional<mode_t> check_final_name(StagingFolder& staging, const std::string& path, const std::string& name) {
  System& system = staging.system();
  struct stat st;
  if (Status looked = system.status_at(staging.output_folder(), name.c_str(), st); !looked.ok()) {
    if (looked.code != ENOENT) throw Stop(create_message(path, looked.display()));
    return std::nullopt;
  }
  if (S_ISDIR(st.st_mode)) throw Stop(create_message(path, Status{EISDIR}.display()));
  if (S_ISREG(st.st_mode)) {
    if (Status writable = system.check_writable_at(staging.output_folder(), name.c_str()); !writable.ok()) {
      throw Stop(create_message(path, writable.display()));
    }
    return st.st_mode & 0777;
  }
  // Anything else, a symbolic link above all, is replaced and never written
  // through.
  return std::nullopt;
}

void stage_record(StagingFolder& staging, std::size_t slot, const std::string& path, const std::string& name,
                  const JaegerTrace& record, std::string& buffer) {
  std::string error;
  std::optional<std::string_view> text = render_pretty_json(record, buffer, error);
  if (!text) {
    if (!is_valid_utf8(path)) throw Stop(messages::kPathNotShown);
    throw Stop(messages::json_not_made(path, error));
  }
  // The system would read the name only up to the NUL and so write some
  // other file.
  if (name.find('\0') != std::string::npos) throw Stop(create_message(path, messages::kNulInName));
  // The output folder could not be held: nothing can be looked at in it.
  if (!staging.output_folder().is_open()) throw Stop(create_message(path, staging.error().display()));
  std::optional<mode_t> kept_mode = check_final_name(staging, path, name);

  StagedFile staged(staging, slot);
  if (!staged.created().ok()) {
    // What is in the way is named, rather than a trace's file that has no fault.
    const std::string& failed = staging.in_the_way().empty() ? path : staging.in_the_way();
    throw Stop(create_message(failed, staged.created().display()));
  }
  try {
    write_staged(staged, path, *text, kept_mode, staging.system());
  } catch (...) {
    staged.discard();
    throw;
  }
}

void commit_staged(StagingFolder& staging, std::size_t slot, const std::string& path, const std::string& name) {
  if (Status renamed = staging.put_in_place(slot, name); !renamed.ok()) {
    staging.discard(slot);
    throw Stop(create_message(path, renamed.display()));
  }
}

std::uint64_t write_traces(std::string_view base_folder, std::vector<JaegerTrace>&& records, std::string_view trace_ids,
                           System& system) {
  // Taken over here, so the caller's list is empty whatever happens below.
  std::vector<JaegerTrace> owned = std::move(records);

  TraceSelection selection = parse_trace_ids(trace_ids);
  std::string folder = create_folder(base_folder, "Jaeger", system);
  StagingFolder staging(system, folder);
  InterruptRegistration cleanup(staging);

  std::uint64_t count = 0;
  std::string json;  // reused across records: it only grows, and is never cleared
  for (JaegerTrace& held : owned) {
    // Moved out so that each record's memory goes as soon as it is handled.
    JaegerTrace record = std::move(held);
    if (record.data.empty()) throw Stop(messages::kEmptyRecord);
    if (!is_selected(selection, record)) continue;
    std::string name = output_name(record);
    std::string path = join_path(folder, name);
    if (record.data.size() > 1) {
      if (!is_valid_utf8(path)) throw Stop(messages::kPathNotShown);
      print_stdout(system, messages::multi_item_notice(record.data.size(), path));
    }
    StagingFolder::Step step(staging);
    if (!step.began()) wait_for_interrupt_to_end_process();
    stage_record(staging, 0, path, name, record, json);
    commit_staged(staging, 0, path, name);
    ++count;
  }
  return count;
}

}  // namespace spansift
