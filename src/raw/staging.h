// Where a run writes each trace file whole before it renames it onto its
// name: a hidden folder of the run's own in the output folder,
//
//   Jaeger/.spansift-staging/run-XXXXXX/{slot}
//
// (below .spansift-staging-1 or -2 when something else is in the way at that
// name), locked (flock) for as long as the run lives. A run killed before it
// could clean up leaves its folder unlocked, and the next run in the same
// output folder removes it; a live run's folder is never touched, as its lock can't
// be taken. Everything below the output folder is reached through held
// folders, without following a link, and only names of this program's own
// making are ever removed.
#pragma once

#include <cerrno>
#include <cstddef>
#include <string>

#include "utils/interrupt.h"
#include "utils/mutex.h"
#include "utils/system.h"

namespace spansift {

class StagingFolder final : public InterruptCleanup {
  // Held, shared, by each step that began: the thread-safety analysis then
  // checks that what touches the staged files is only called inside one.
  class CAPABILITY("staging step") StepCapability {};

 public:
  // Holds the output folder `folder` (which exists), removes what dead runs
  // left in it, and makes this run's staging folder. A failure is kept, and
  // creating a file reports it.
  StagingFolder(System& system, const std::string& folder);
  // abandon()
  ~StagingFolder();
  StagingFolder(const StagingFolder&) = delete;
  StagingFolder& operator=(const StagingFolder&) = delete;

  System& system() const { return system_; }
  // The held output folder, for looking at the names files go to; not open
  // when it could not be held (create() then fails). Closed by abandon().
  const File& output_folder() const REQUIRES_SHARED(step_) { return output_; }
  // Why there is no staging folder, or ok.
  Status error() const { return error_; }
  // The path of the entry that kept the staging folder from being made when
  // something was in the way at every name it may have; else empty.
  const std::string& in_the_way() const { return in_the_way_; }
  // Whether the output folder was gone by the time it was to be held or
  // staged in: another run removed it (a failing run removes the empty
  // output folder it made), and it may be made again.
  bool folder_gone() const { return error_.code == ENOENT; }

  // What steps hold, for functions outside this class to require.
  const StepCapability& step() const RETURN_CAPABILITY(step_) { return step_; }

  // A step that creates, renames or removes a staged file holds one of
  // these; began() is false once the folder has been abandoned, and the
  // step must then do nothing. abandon() waits for the steps under way.
  // The analysis counts the step as held only where began() returned true,
  // so that a caller can't skip asking.
  class SCOPED_CAPABILITY Step {
   public:
    explicit Step(StagingFolder& folder) EXCLUDES(folder.step_) : folder_(folder), began_(folder.begin_step()) {}
    ~Step() RELEASE() {
      if (began_) folder_.end_step();
    }
    Step(const Step&) = delete;
    Step& operator=(const Step&) = delete;
    bool began() const TRY_ACQUIRE_SHARED(true) { return began_; }

   private:
    StagingFolder& folder_;
    bool began_;
  };

  // Creates the staged file of `slot` (which has none) for writing, with
  // `mode` less the umask.
  Status create(std::size_t slot, mode_t mode, File& file) REQUIRES_SHARED(step_);
  // Renames the staged file of `slot` onto `name` in the output folder.
  Status put_in_place(std::size_t slot, const std::string& name) REQUIRES_SHARED(step_);
  // Removes the staged file of `slot`, if any; failures are ignored.
  void discard(std::size_t slot) noexcept REQUIRES_SHARED(step_);

  // Once every step under way has ended: removes every staged file and the
  // folder, and lets no step begin after. Done once; later calls return.
  void abandon() noexcept EXCLUDES(mutex_);
  void on_interrupt() noexcept override { abandon(); }

 private:
  // How a part of making the run folder ended.
  struct Attempt;

  bool begin_step() EXCLUDES(mutex_);
  void end_step() EXCLUDES(mutex_);
  // For abandon(), once the steps under way have ended and none can begin.
  void assert_no_step() REQUIRES(mutex_) ASSERT_CAPABILITY(step_);
  void remove_run_folder() noexcept REQUIRES(step_);

  // Making the run folder: by the constructor, before any step can begin.
  void make_run_folder(const std::string& folder) REQUIRES(step_);
  Attempt attempt_run_folder(const std::string& folder, std::size_t& cleaned) REQUIRES(step_);
  Attempt hold_parent(const std::string& folder) REQUIRES(step_);
  Attempt make_run(const std::string& folder, const std::string& name) REQUIRES(step_);
  Attempt hold_and_lock(const std::string& name, File& run) REQUIRES(step_);
  // Closes the staging parent for the next name; false after the last.
  bool next_parent(const std::string& folder) REQUIRES(step_);
  void remove_later_parents() REQUIRES(step_);

  // Constant after construction.
  System& system_;
  std::size_t parent_index_ = 0;  // of the staging parent's name in use
  std::string name_;              // of this run's folder
  Status error_;                  // why there is no run folder
  std::string in_the_way_;        // the entry at the last name, when each was in the way

  // Opened by the constructor, closed by abandon() once no step is under
  // way: read inside a step, written only with every step held off.
  File output_ GUARDED_BY(step_);  // the output folder
  File parent_ GUARDED_BY(step_);  // .spansift-staging in it, or the name in use after it
  File run_ GUARDED_BY(step_);     // this run's folder, locked

  // Protected by mutex_.
  int steps_ GUARDED_BY(mutex_) = 0;  // under way
  bool abandoned_ GUARDED_BY(mutex_) = false;

  // Thread-safe.
  StepCapability step_;
  Mutex mutex_;
  CondVar no_steps_;
};

// Removes the folders that dead runs left in the held staging parent
// `parent`: those named as this program names them, that are folders (not
// links), and whose lock can be taken. In each, only the names of staged
// files are removed; a folder holding anything else stays.
void remove_dead_runs(System& system, const File& parent) noexcept;

}  // namespace spansift
