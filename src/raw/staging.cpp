#include "raw/staging.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <cerrno>
#include <random>
#include <string_view>
#include <vector>

namespace spansift {

namespace {

// Where runs stage, in the order tried. Anything else at one of these names
// (a file, a link, a FIFO, a folder this user may not write in) is left alone
// and the next name is taken: a stray entry must not stop every run.
constexpr std::array<const char*, 3> kParents = {".spansift-staging", ".spansift-staging-1", ".spansift-staging-2"};
constexpr std::string_view kRunPrefix = "run-";
constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
constexpr std::size_t kRandomLetters = 6;
// Names taken by other runs are passed over; so many in a row means
// something else is wrong.
constexpr int kNameAttempts = 100;

std::string random_run_name() {
  thread_local std::mt19937_64 generator{std::random_device{}()};
  std::uniform_int_distribution<std::size_t> pick(0, kAlphabet.size() - 1);
  std::string name(kRunPrefix);
  for (std::size_t i = 0; i < kRandomLetters; ++i) name += kAlphabet[pick(generator)];
  return name;
}

bool is_run_name(std::string_view name) {
  return name.size() == kRunPrefix.size() + kRandomLetters && name.starts_with(kRunPrefix) &&
         name.find_first_not_of(kAlphabet, kRunPrefix.size()) == std::string_view::npos;
}

// Whether `error`, met holding a staging parent or making a folder in it, is
// that entry's own rather than the output folder's.
bool blocks_staging(Status error) {
  return error.code == ENOTDIR || error.code == ELOOP || error.code == EACCES || error.code == EPERM ||
         error.code == EROFS;
}

// A staged file is named after its slot, in decimal.
bool is_staged_name(std::string_view name) {
  return !name.empty() && name.size() <= 20 && name.find_first_not_of("0123456789") == std::string_view::npos;
}

// The names in the held `folder` that `keep` accepts; empty when it can't be listed.
template <class Keep>
std::vector<std::string> names_in(System& system, const File& folder, Keep keep) {
  std::vector<std::string> names;
  Listing listing;
  if (!system.list_held_folder(folder, listing).ok()) return names;
  std::string_view name;
  while (listing.next(name).ok() && !name.empty()) {
    if (keep(name)) names.emplace_back(name);
  }
  return names;
}

// Removed while listing, so that it needs no memory: a folder's entries are
// all listed even as some are removed.
void remove_staged_files(System& system, const File& run) noexcept {
  Listing listing;
  if (!system.list_held_folder(run, listing).ok()) return;
  std::string_view name;
  // A name from the listing ends in a NUL, as the system's calls need.
  while (listing.next(name).ok() && !name.empty()) {
    if (is_staged_name(name)) (void)system.remove_file_at(run, name.data());
  }
}

}  // namespace

void remove_dead_runs(System& system, const File& parent) noexcept {
  try {
    for (const std::string& name : names_in(system, parent, is_run_name)) {
      File run;
      // Gone, or not a folder: a link is never followed.
      if (!system.hold_folder_at(parent, name.c_str(), run).ok()) continue;
      // Held by a run that is alive, or whose lock can't be had here.
      if (system.try_lock(run).ok()) {
        remove_staged_files(system, run);
        (void)system.remove_folder_at(parent, name.c_str());
      }
    }
  } catch (...) {
    // Out of memory for the names: what is left stays for a later run.
  }
}

// How a part of making the run folder ended: done, to be tried again with a
// new name (one was taken, a folder went away meanwhile), or failed for good;
// `status` says why for the last two.
struct StagingFolder::Attempt {
  enum Kind { kDone, kAgain, kFailed };
  Kind kind = kDone;
  Status status;
};

StagingFolder::StagingFolder(System& system, const std::string& folder) : system_(system) {
  error_ = system_.hold_folder(folder, output_);
  if (error_.ok()) make_run_folder(folder);
}

void StagingFolder::make_run_folder(const std::string& folder) {
  std::size_t cleaned = kParents.size();  // the parent whose dead runs were removed
  // Why the last attempt failed is what is kept when none succeeds.
  Attempt attempt{Attempt::kAgain, Status{EEXIST}};
  for (int tried = 0; tried < kNameAttempts && attempt.kind == Attempt::kAgain; ++tried) {
    attempt = attempt_run_folder(folder, cleaned);
  }
  error_ = attempt.status;
}

StagingFolder::Attempt StagingFolder::attempt_run_folder(const std::string& folder, std::size_t& cleaned) {
  if (!parent_.is_open()) {
    if (Attempt held = hold_parent(folder); held.kind != Attempt::kDone) return held;
    if (cleaned != parent_index_) remove_dead_runs(system_, parent_);
    cleaned = parent_index_;
  }
  std::string name = random_run_name();
  if (Attempt made = make_run(folder, name); made.kind != Attempt::kDone) return made;
  File run;
  if (Attempt locked = hold_and_lock(name, run); locked.kind != Attempt::kDone) return locked;
  run_ = std::move(run);
  name_ = std::move(name);
  remove_later_parents();
  return {};
}

// Makes the staging parent of the name in use, unless it is there, and holds it.
StagingFolder::Attempt StagingFolder::hold_parent(const std::string& folder) {
  const char* parent = kParents[parent_index_];
  if (Status made = system_.make_folder_at(output_, parent, 0777); !made.ok() && made.code != EEXIST) {
    return {Attempt::kFailed, made};
  }
  Status held = system_.hold_folder_at(output_, parent, parent_);
  if (held.ok()) return {};
  if (held.code == ENOENT) return {Attempt::kAgain, held};  // removed by a run that ended meanwhile
  if (blocks_staging(held) && next_parent(folder)) return {Attempt::kAgain, held};
  return {Attempt::kFailed, held};
}

// Makes the run folder `name` in the held staging parent.
StagingFolder::Attempt StagingFolder::make_run(const std::string& folder, const std::string& name) {
  Status made = system_.make_folder_at(parent_, name.c_str(), 0700);
  if (made.ok()) return {};
  if (made.code == EEXIST) return {Attempt::kAgain, made};
  if (made.code == ENOENT) {
    // The parent was removed by a run that ended meanwhile: make it again.
    (void)parent_.close();
    return {Attempt::kAgain, made};
  }
  if (blocks_staging(made) && next_parent(folder)) return {Attempt::kAgain, made};
  return {Attempt::kFailed, made};
}

// Holds and locks the run folder `name`, just made. Until it is locked, the
// folder is this run's to remove: unheld and unlocked, it would be left to a
// later run's cleanup, or to none if this is the last.
StagingFolder::Attempt StagingFolder::hold_and_lock(const std::string& name, File& run) {
  if (Status held = system_.hold_folder_at(parent_, name.c_str(), run); !held.ok()) {
    if (held.code == ENOENT) return {Attempt::kAgain, held};
    (void)system_.remove_folder_at(parent_, name.c_str());  // out of descriptors, say
    return {Attempt::kFailed, held};
  }
  // Between the folder's making and its lock, another run's cleanup may
  // have taken it for a dead run's: then it is theirs to remove. A file
  // system without these locks leaves the folder unlocked, which no
  // cleanup removes either.
  if (Status locked = system_.try_lock(run); locked.code == EWOULDBLOCK) return {Attempt::kAgain, locked};
  struct stat status;
  if (Status looked = system_.file_status(run, status); !looked.ok()) {
    (void)system_.remove_folder_at(parent_, name.c_str());
    return {Attempt::kAgain, looked};
  }
  if (status.st_nlink == 0) return {Attempt::kAgain, Status{EEXIST}};
  return {};
}

bool StagingFolder::next_parent(const std::string& folder) {
  (void)parent_.close();
  if (parent_index_ + 1 < kParents.size()) {
    ++parent_index_;
    return true;
  }
  in_the_way_ = join_path(folder, kParents[parent_index_]);
  return false;
}

// Runs killed while a later name was in use left their folders there.
void StagingFolder::remove_later_parents() {
  for (std::size_t later = parent_index_ + 1; later < kParents.size(); ++later) {
    File parent;
    if (!system_.hold_folder_at(output_, kParents[later], parent).ok()) continue;
    remove_dead_runs(system_, parent);
    (void)parent.close();
    (void)system_.remove_folder_at(output_, kParents[later]);
  }
}

StagingFolder::~StagingFolder() { abandon(); }

Status StagingFolder::create(std::size_t slot, mode_t mode, File& file) {
  if (!run_.is_open()) return error_;
  return system_.create_file_at(run_, std::to_string(slot).c_str(), mode, file);
}

Status StagingFolder::put_in_place(std::size_t slot, const std::string& name) {
  return system_.rename_at(run_, std::to_string(slot).c_str(), output_, name.c_str());
}

void StagingFolder::discard(std::size_t slot) noexcept {
  if (run_.is_open()) (void)system_.remove_file_at(run_, std::to_string(slot).c_str());
}

bool StagingFolder::begin_step() {
  MutexLock lock(mutex_);
  if (abandoned_) return false;
  ++steps_;
  return true;
}

void StagingFolder::end_step() {
  MutexLock lock(mutex_);
  if (--steps_ == 0) no_steps_.signal_all();
}

void StagingFolder::abandon() noexcept {
  MutexLock lock(mutex_);
  if (abandoned_) return;
  abandoned_ = true;
  while (steps_ > 0) no_steps_.wait(mutex_);
  assert_no_step();
  remove_run_folder();
}

void StagingFolder::assert_no_step() { assert(abandoned_ && steps_ == 0); }

void StagingFolder::remove_run_folder() noexcept {
  if (run_.is_open()) {
    remove_staged_files(system_, run_);
    (void)system_.remove_folder_at(parent_, name_.c_str());
    (void)run_.close();  // and with it the lock
  }
  (void)parent_.close();
  if (output_.is_open()) {
    // Only those empty: no other run stages beside this one.
    for (const char* parent : kParents) (void)system_.remove_folder_at(output_, parent);
    (void)output_.close();
  }
}

}  // namespace spansift
