#include "raw/staging.h"

#include <algorithm>
#include <cerrno>
#include <random>
#include <string_view>
#include <vector>

namespace spansift {

namespace {

constexpr const char* kParent = ".spansift-staging";
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

// A staged file is named after its slot, in decimal.
bool is_staged_name(std::string_view name) {
  return !name.empty() && name.size() <= 20 && name.find_first_not_of("0123456789") == std::string_view::npos;
}

// The names in the held `folder` that `keep` accepts; empty when it can't be listed.
template <class Keep>
std::vector<std::string> names_in(System& system, int folder, Keep keep) {
  std::vector<std::string> names;
  DIR* listing = system.list_held_folder(folder);
  if (listing == nullptr) return names;
  while (const char* name = system.next_entry(listing)) {
    if (keep(std::string_view(name))) names.emplace_back(name);
  }
  system.close_folder(listing);
  return names;
}

// Removed while listing, so that it needs no memory: a folder's entries are
// all listed even as some are removed.
void remove_staged_files(System& system, int run) noexcept {
  DIR* listing = system.list_held_folder(run);
  if (listing == nullptr) return;
  while (const char* name = system.next_entry(listing)) {
    if (is_staged_name(name)) system.remove_at(run, name, false);
  }
  system.close_folder(listing);
}

}  // namespace

void remove_dead_runs(System& system, int parent) noexcept {
  try {
    for (const std::string& name : names_in(system, parent, is_run_name)) {
      int run = system.hold_folder_at(parent, name.c_str());
      if (run < 0) continue;  // gone, or not a folder: a link is never followed
      // Held by a run that is alive, or whose lock can't be had here.
      if (system.try_lock(run) == 0) {
        remove_staged_files(system, run);
        system.remove_at(parent, name.c_str(), true);
      }
      system.close(run);
    }
  } catch (...) {
    // Out of memory for the names: what is left stays for a later run.
  }
}

StagingFolder::StagingFolder(System& system, const std::string& folder) : system_(system) {
  output_ = system_.hold_folder(folder.c_str());
  if (output_ < 0) {
    error_ = errno;
    return;
  }
  make_run_folder();
}

void StagingFolder::make_run_folder() {
  bool cleaned = false;
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    if (parent_ < 0) {
      if (system_.make_folder_at(output_, kParent, 0777) != 0 && errno != EEXIST) break;
      parent_ = system_.hold_folder_at(output_, kParent);
      if (parent_ < 0 && errno == ENOENT) continue;  // removed by a run that ended meanwhile
      if (parent_ < 0) break;
      if (!cleaned) remove_dead_runs(system_, parent_);
      cleaned = true;
    }
    std::string name = random_run_name();
    if (system_.make_folder_at(parent_, name.c_str(), 0700) != 0) {
      if (errno == EEXIST) continue;
      if (errno != ENOENT) break;
      // The parent was removed by a run that ended meanwhile: make it again.
      system_.close(parent_);
      parent_ = -1;
      continue;
    }
    int run = system_.hold_folder_at(parent_, name.c_str());
    if (run < 0) {
      if (errno == ENOENT) continue;
      break;
    }
    // Between the folder's making and its lock, another run's cleanup may
    // have taken it for a dead run's: then it is theirs to remove. A file
    // system without these locks leaves the folder unlocked, which no
    // cleanup removes either.
    struct stat status;
    bool taken = system_.try_lock(run) != 0 && errno == EWOULDBLOCK;
    if (taken || system_.file_status(run, &status) != 0 || status.st_nlink == 0) {
      system_.close(run);
      continue;
    }
    run_ = run;
    name_ = std::move(name);
    return;
  }
  error_ = errno != 0 ? errno : EEXIST;
}

StagingFolder::~StagingFolder() { abandon(); }

int StagingFolder::create(std::size_t slot, mode_t mode) {
  if (run_ < 0) {
    errno = error_;
    return -1;
  }
  return system_.create_new_file_at(run_, std::to_string(slot).c_str(), mode);
}

int StagingFolder::put_in_place(std::size_t slot, const std::string& name) {
  return system_.rename_at(run_, std::to_string(slot).c_str(), output_, name.c_str());
}

void StagingFolder::discard(std::size_t slot) noexcept {
  if (run_ >= 0) system_.remove_at(run_, std::to_string(slot).c_str(), false);
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
  remove_run_folder();
}

void StagingFolder::remove_run_folder() noexcept {
  if (run_ >= 0) {
    remove_staged_files(system_, run_);
    system_.remove_at(parent_, name_.c_str(), true);
    system_.close(run_);  // and with it the lock
  }
  if (parent_ >= 0) system_.close(parent_);
  if (output_ >= 0) {
    // Only when no other run stages beside this one.
    system_.remove_at(output_, kParent, true);
    system_.close(output_);
  }
  run_ = parent_ = output_ = -1;
}

}  // namespace spansift
