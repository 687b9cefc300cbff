#include "raw/write_pipeline.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <limits>
#include <mutex>
#include <new>
#include <sched.h>
#include <sys/stat.h>
#include <thread>
#include <utility>
#include <vector>

#include "raw/write.h"
#include "utils/file.h"
#include "utils/interrupt.h"
#include "utils/messages.h"
#include "utils/stop.h"

namespace spansift {

namespace {

constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

// The queue between the reader and the workers holds at most this many
// records per worker, and at most kQueuedBytes of their stores (but always
// one). On a virtual machine a wake-up costs more than rendering a small
// trace, so while a worker is at work the reader wakes another only once
// kWakeRecords records or kWakeBytes wait, and the workers wake the reader
// only once the queue is half empty.
constexpr std::size_t kQueuedPerWorker = 16;
constexpr std::size_t kQueuedBytes = std::size_t{32} << 20;
constexpr std::size_t kWakeRecords = 8;
constexpr std::size_t kWakeBytes = std::size_t{1} << 20;

// The last component of a path.
std::string_view file_name(std::string_view path) { return path.substr(path.rfind('/') + 1); }

struct Job {
  std::size_t slot = 0;
  JaegerTrace record;
  std::size_t bytes = 0;  // of its store
};

}  // namespace

unsigned default_worker_count() {
  cpu_set_t cpus;
  if (sched_getaffinity(0, sizeof cpus, &cpus) == 0) return static_cast<unsigned>(std::max(1, CPU_COUNT(&cpus) - 1));
  return std::max(1U, std::thread::hardware_concurrency());
}

struct WritePipeline::State {
  State(std::string_view ids, System& sys, unsigned n)
      : trace_ids(ids), selection(parse_trace_ids(ids)), system(sys), workers(std::max(1U, n)) {}

  void work();
  void stop_workers();
  // Removes every file still staged; takes the lock.
  void remove_staged();
  bool queue_full() const {
    return queue.size() >= kQueuedPerWorker * workers || (queued_bytes >= kQueuedBytes && !queue.empty());
  }

  const std::string trace_ids;
  const TraceSelection selection;
  System& system;
  const unsigned workers;

  std::string base_folder;
  std::string folder;    // the output folder, once made or found
  bool staging = false;  // records go to the workers; else they are kept
  bool made_folder = false;
  bool read_all = false;  // commit() has begun: reading ended without a fault
  std::uint64_t records = 0;
  std::vector<JaegerTrace> kept;  // when not staging

  // Shared with the workers, under `lock`.
  std::mutex lock;
  std::condition_variable work_ready;
  std::condition_variable room;     // for the reader, in the queue
  std::condition_variable drained;  // for commit(), every job done
  std::deque<Job> queue;
  // Per selected record, in order: where the names of its staged file begin
  // in `names` (the temporary file's, then its own, each ended by a NUL; a
  // trace ID with a NUL is never staged), or kNone. Names, not paths, so
  // that a run of many small traces holds a few bytes per trace.
  std::vector<std::size_t> slots;
  std::string names;
  std::string failure;  // the stop message of the record first_failure
  std::size_t queued_bytes = 0;
  unsigned idle_workers = 0;
  bool reader_waiting = false;
  std::size_t first_failure = kNone;  // the slot whose message ends the run
  unsigned busy = 0;                  // jobs taken and not done
  bool closing = false;               // no more jobs will come
  bool cancelled = false;             // drop what is left

  std::vector<std::thread> threads;
};

void WritePipeline::State::work() {
  std::string buffer;  // the rendered text, reused from record to record
  for (;;) {
    Job job;
    {
      std::unique_lock<std::mutex> guard(lock);
      while (queue.empty() && !closing && !cancelled) {
        ++idle_workers;
        work_ready.wait(guard);
        --idle_workers;
      }
      if (cancelled || queue.empty()) return;
      job = std::move(queue.front());
      queue.pop_front();
      queued_bytes -= job.bytes;
      if (reader_waiting && queue.size() <= kQueuedPerWorker * workers / 2 && queued_bytes <= kQueuedBytes / 2) {
        room.notify_one();
      }
      // Records after one that failed are never written.
      if (job.slot > first_failure) {
        if (closing && busy == 0 && queue.empty()) drained.notify_all();
        continue;
      }
      ++busy;
    }

    StagedFile staged;
    std::string error;
    const bool began = begin_staging();  // false once an interrupt is being handled
    if (began) {
      try {
        staged = stage_record(system, folder, output_path(folder, job.record), job.record, buffer);
      } catch (const Stop& stop) {
        error = stop.message();
      } catch (const std::bad_alloc&) {
        error = messages::kOutOfMemory;
      } catch (const std::exception& e) {
        error = e.what();
      }
    }
    job.record = JaegerTrace();  // its memory goes now, outside the lock
    {
      std::lock_guard<std::mutex> guard(lock);
      if (--busy == 0 && closing && queue.empty()) drained.notify_all();
      if (!staged.temp_path.empty()) {
        if (cancelled) {
          discard_staged(system, staged);
        } else {
          slots[job.slot] = names.size();
          names.append(file_name(staged.temp_path)).push_back('\0');
          names.append(file_name(staged.path)).push_back('\0');
        }
      } else if (!error.empty() && job.slot < first_failure) {
        first_failure = job.slot;
        failure = std::move(error);
      }
    }
    // Only now, with the file known to remove_staged(), may an interrupt go on.
    if (began) end_staging();
  }
}

void WritePipeline::State::remove_staged() {
  std::lock_guard<std::mutex> guard(lock);
  for (std::size_t& at : slots) {
    if (at == kNone) continue;
    system.unlink(join_path(folder, names.c_str() + at).c_str());
    at = kNone;
  }
}

void WritePipeline::State::stop_workers() {
  for (std::thread& thread : threads) thread.join();
  threads.clear();
}

WritePipeline::WritePipeline(std::string_view trace_ids, System& system, unsigned workers)
    : state_(std::make_unique<State>(trace_ids, system, workers)) {}

WritePipeline::~WritePipeline() {
  State& s = *state_;
  {
    std::lock_guard<std::mutex> guard(s.lock);
    s.cancelled = true;
    s.work_ready.notify_all();
  }
  s.stop_workers();
  s.remove_staged();
  // A fault in reading leaves the output folder as it was before the run.
  if (s.made_folder && !s.read_all) {
    s.system.rmdir(s.folder.c_str());
    set_made_folder({});
  }
  if (s.staging) set_staged_remover({});
}

void WritePipeline::open(std::string_view base_folder) {
  State& s = *state_;
  s.base_folder = base_folder;
  std::string folder = join_path(base_folder, "Jaeger");
  struct stat st;
  if (s.system.stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    s.staging = true;
  } else if (s.system.mkdir(folder.c_str(), 0777) == 0) {
    s.staging = true;
    s.made_folder = true;
    set_made_folder(folder);
  } else {
    return;  // commit() tries again and stops with the message
  }
  s.folder = std::move(folder);
  set_staged_remover([&s] { s.remove_staged(); });
  for (unsigned i = 0; i < s.workers; ++i) s.threads.emplace_back([&s] { s.work(); });
}

void WritePipeline::take(JaegerTrace&& record) {
  State& s = *state_;
  ++s.records;
  if (!s.staging) {
    if (is_selected(s.selection, record)) s.kept.push_back(std::move(record));
    return;
  }
  if (!is_selected(s.selection, record)) return;
  std::unique_lock<std::mutex> guard(s.lock);
  // Nothing after a record that failed is written.
  if (s.first_failure != kNone) return;
  if (s.queue_full()) {
    s.work_ready.notify_all();
    s.reader_waiting = true;
    s.room.wait(guard, [&] { return !s.queue_full() || s.cancelled; });
    s.reader_waiting = false;
  }
  s.slots.push_back(kNone);
  const std::size_t bytes = record.store ? record.store->used_bytes() : 0;
  s.queue.push_back(Job{s.slots.size() - 1, std::move(record), bytes});
  s.queued_bytes += bytes;
  // A worker is woken when none is at work, so that every record is staged
  // soon, and another only once records pile up.
  if (s.idle_workers == s.workers ||
      (s.idle_workers > 0 && (s.queue.size() >= kWakeRecords || s.queued_bytes >= kWakeBytes))) {
    s.work_ready.notify_one();
  }
}

std::uint64_t WritePipeline::record_count() const { return state_->records; }

std::uint64_t WritePipeline::commit() {
  State& s = *state_;
  s.read_all = true;
  if (!s.staging) return write_traces(s.base_folder, std::move(s.kept), s.trace_ids, s.system);
  {
    std::unique_lock<std::mutex> guard(s.lock);
    s.closing = true;
    s.work_ready.notify_all();
    s.drained.wait(guard, [&] { return s.queue.empty() && s.busy == 0; });
  }
  s.stop_workers();
  // As write_traces does, in case the folder went away meanwhile.
  create_folder(s.base_folder, "Jaeger", s.system);
  // From here the folder is part of the result, as any written file is.
  if (s.made_folder) set_made_folder({});
  s.made_folder = false;

  std::uint64_t count = 0;
  for (std::size_t i = 0; i < s.slots.size(); ++i) {
    if (i == s.first_failure) throw Stop(s.failure);
    std::unique_lock<std::mutex> guard(s.lock);  // an interrupt's remove_staged() may run meanwhile
    if (s.slots[i] == kNone) continue;           // removed by that interrupt, which ends the run
    const char* temp_name = s.names.c_str() + s.slots[i];
    StagedFile staged{join_path(s.folder, temp_name), join_path(s.folder, temp_name + std::strlen(temp_name) + 1)};
    s.slots[i] = kNone;
    guard.unlock();
    commit_staged(s.system, staged);
    ++count;
  }
  return count;
}

}  // namespace spansift
