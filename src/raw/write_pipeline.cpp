#include "raw/write_pipeline.h"

#include <algorithm>
#include <cassert>
#include <exception>
#include <functional>
#include <limits>
#include <string>
#include <sys/stat.h>
#include <unordered_set>
#include <utility>
#include <vector>

#include "raw/staging.h"
#include "raw/write.h"
#include "utils/file.h"
#include "utils/mutex.h"

namespace spansift {

namespace {

constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

// The name that each slot's staged file goes to. Names, not paths, so that a
// run of many small traces holds a few bytes per trace.
class Ledger {
 public:
  void add(std::size_t slot, std::string_view name) EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    if (at_.size() <= slot) at_.resize(slot + 1, kNone);
    at_[slot] = names_.size();
    names_.append(name).push_back('\0');  // a name with a NUL is never staged
  }

  // The name of a slot that was staged, once the workers are gone; empty
  // for one that was not.
  std::string_view name(std::size_t slot) EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    if (slot >= at_.size() || at_[slot] == kNone) return {};
    return names_.c_str() + at_[slot];
  }

 private:
  Mutex mutex_;
  std::vector<std::size_t> at_ GUARDED_BY(mutex_);  // where each slot's name begins in names_, or kNone
  std::string names_ GUARDED_BY(mutex_);
};

// The failure of the first record that could not be staged.
class FirstFailure {
 public:
  // Kept when it comes before the one kept so far.
  void keep(std::size_t slot, std::exception_ptr error) noexcept EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    if (slot < slot_) {
      slot_ = slot;
      error_ = std::move(error);
    }
  }
  // The failed slot, or kNone.
  std::size_t slot() EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    return slot_;
  }
  std::exception_ptr error() EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    return error_;
  }

 private:
  Mutex mutex_;
  std::size_t slot_ GUARDED_BY(mutex_) = kNone;
  std::exception_ptr error_ GUARDED_BY(mutex_);
};

// The output folder when this run made it: removed again if the run stops
// before its records are put in place, so that a fault in reading leaves the
// base folder as it was.
class MadeFolder {
 public:
  // Makes `path` (mode 0777 less the umask); false when it can't.
  bool make(System& system, const std::string& path) EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    if (!system.make_folder(path, 0777).ok()) return false;
    path_ = path;
    return true;
  }
  // From the commit on, the folder is part of the result, as any written file is.
  void keep() EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    path_.clear();
  }
  // Removes it, if it is empty.
  void remove(System& system) noexcept EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    if (!path_.empty()) (void)system.remove_folder(path_);
    path_.clear();
  }

 private:
  Mutex mutex_;
  std::string path_ GUARDED_BY(mutex_);
};

// The names that more than one slot goes to: each one's file is looked at
// again before the later one replaces it. Hashes first, so that a run of
// distinct names costs eight bytes a name.
class RepeatedNames {
 public:
  RepeatedNames(Ledger& ledger, std::size_t slots) {
    std::vector<std::uint64_t> hashes;
    hashes.reserve(slots);
    for (std::size_t slot = 0; slot < slots; ++slot) hashes.push_back(hash(ledger.name(slot)));
    std::sort(hashes.begin(), hashes.end());
    for (std::size_t i = 1; i < hashes.size(); ++i) {
      if (hashes[i] == hashes[i - 1]) repeated_.insert(hashes[i]);
    }
  }
  // Whether an earlier slot went to `name`.
  bool seen_before(std::string_view name) {
    if (repeated_.empty() || !repeated_.contains(hash(name))) return false;
    return !seen_.emplace(name).second;
  }

 private:
  static std::uint64_t hash(std::string_view name) { return std::hash<std::string_view>{}(name); }
  std::unordered_set<std::uint64_t> repeated_;
  std::unordered_set<std::string> seen_;
};

}  // namespace

struct WritePipeline::State {
  State(std::string_view ids, System& sys, Workers& pool)
      : trace_ids(ids), selection(parse_trace_ids(ids)), system(sys), workers(pool) {}

  // Stages the record of `slot`, on a worker.
  void stage(std::size_t slot, JaegerTrace& record);
  // The one way out of a run that stopped before its commit: every staged
  // file, the staging folder, the output folder it made.
  void abandon() noexcept;

  // Constant after construction.
  const std::string trace_ids;
  const TraceSelection selection;
  System& system;
  Workers& workers;

  // Set by open(), before the first record is posted, and constant after:
  // the workers read them.
  std::string folder;                      // the output folder
  std::unique_ptr<StagingFolder> staging;  // when records are staged

  // The reader's thread only.
  bool opened = false;
  bool committed = false;
  std::string base_folder;
  std::vector<JaegerTrace> kept;  // when records are not staged
  std::size_t slots = 0;          // records posted

  // Thread-safe.
  Ledger ledger;
  FirstFailure failure;
  MadeFolder made_folder;
  Mutex mutex;

  // Protected by mutex: what an interrupt abandons, once open() has made it.
  StagingFolder* to_abandon GUARDED_BY(mutex) = nullptr;
};

namespace {

// A selected record, staged by a worker.
class StageRecord final : public Task {
 public:
  StageRecord(WritePipeline::State& state, std::size_t slot, JaegerTrace&& record)
      : state_(state), slot_(slot), record_(std::move(record)) {}
  void run() noexcept override { state_.stage(slot_, record_); }

 private:
  WritePipeline::State& state_;
  std::size_t slot_;
  JaegerTrace record_;
};

}  // namespace

void WritePipeline::State::stage(std::size_t slot, JaegerTrace& record) {
  // The rendered text, reused from record to record on each worker.
  thread_local std::string buffer;
  // Nothing after a record that failed is written.
  if (slot >= failure.slot()) return;
  StagingFolder::Step step(*staging);  // does nothing once an interrupt is cleaning up
  if (!step.began()) return;
  try {
    std::string name = output_name(record);
    stage_record(*staging, slot, join_path(folder, name), name, record, buffer);
    ledger.add(slot, name);
  } catch (...) {
    // Thrown again by the commit; a file staged before the fault is removed
    // with the staging folder.
    failure.keep(slot, std::current_exception());
  }
}

void WritePipeline::State::abandon() noexcept {
  StagingFolder* staged = nullptr;
  {
    MutexLock lock(mutex);
    staged = to_abandon;
  }
  if (staged != nullptr) staged->abandon();
  made_folder.remove(system);
}

WritePipeline::WritePipeline(std::string_view trace_ids, System& system, Workers& workers)
    : state_(std::make_unique<State>(trace_ids, system, workers)) {}

WritePipeline::~WritePipeline() {
  State& s = *state_;
  s.workers.drop_writes();
  s.abandon();
}

void WritePipeline::on_interrupt() noexcept { state_->abandon(); }

bool WritePipeline::open(std::string_view base_folder) {
  State& s = *state_;
  assert(!s.opened && "open() is called once");
  s.opened = true;
  s.base_folder = base_folder;
  s.folder = join_path(base_folder, "Jaeger");
  // An interrupt waits for the folders to be made, and then removes them.
  MutexLock lock(s.mutex);
  // A failing run beside this one removes the empty folder it made, maybe
  // between this run's finding it and staging in it: it is then looked for,
  // and made, again. So is one that another run made since it was looked for.
  constexpr int kAttempts = 5;
  for (int attempt = 1;; ++attempt) {
    struct stat st;
    bool exists = s.system.stat(s.folder, st).ok() && S_ISDIR(st.st_mode);
    if (!exists && !s.made_folder.make(s.system, s.folder)) {
      if (attempt < kAttempts) continue;
      return false;  // commit() stops with the message
    }
    s.staging = std::make_unique<StagingFolder>(s.system, s.folder);
    if (!s.staging->folder_gone() || attempt == kAttempts) break;
  }
  s.to_abandon = s.staging.get();
  return true;
}

void WritePipeline::receive(JaegerTrace&& record) {
  State& s = *state_;
  assert(s.opened && !s.committed && "records come between open() and commit()");
  if (!is_selected(s.selection, record)) return;
  if (!s.staging) {
    s.kept.push_back(std::move(record));
    return;
  }
  if (s.failure.slot() != kNone) return;  // nothing after a record that failed is written
  const std::size_t bytes = record.store ? record.store->used_bytes() : 0;
  s.workers.post_write(std::make_unique<StageRecord>(s, s.slots++, std::move(record)), bytes);
}

bool WritePipeline::selective() const { return !state_->selection.empty(); }

bool WritePipeline::wants(std::string_view trace_id) const { return is_selected(state_->selection, trace_id); }

std::uint64_t WritePipeline::commit() {
  State& s = *state_;
  assert(s.opened && !s.committed && "commit() is called once, after open()");
  s.committed = true;
  if (!s.staging) return write_traces(s.base_folder, std::move(s.kept), s.trace_ids, s.system);
  s.workers.finish_writes();
  StagingFolder& staging = *s.staging;
  const std::size_t failed = s.failure.slot();
  {
    StagingFolder::Step step(staging);
    if (!step.began()) wait_for_interrupt_to_end_process();
    // As write_traces does, in case the folder went away meanwhile.
    create_folder(s.base_folder, "Jaeger", s.system);
    s.made_folder.keep();
  }
  const std::size_t staged = std::min(failed, s.slots);
  RepeatedNames repeated(s.ledger, staged);
  for (std::size_t slot = 0; slot < staged; ++slot) {
    // An interrupt waits for the rename under way; none begins after it.
    StagingFolder::Step step(staging);
    if (!step.began()) wait_for_interrupt_to_end_process();
    std::string name(s.ledger.name(slot));
    std::string path = join_path(s.folder, name);
    // Writing in turn looks at the name again, now that the earlier file is there.
    if (repeated.seen_before(name)) check_final_name(staging, path, name);
    commit_staged(staging, slot, path, name);
  }
  if (failed != kNone) std::rethrow_exception(s.failure.error());
  return staged;
}

}  // namespace spansift
