// The operating system as the read path and the write path use it: whole
// operations, each returning what became of it, behind one interface so that
// tests can make any call fail, or serve a file from memory, without a
// special file system.
#pragma once

#include <cstddef>
#include <dirent.h>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <sys/types.h>

#include "utils/file.h"

namespace spansift {

class System;

// A descriptor opened through a System (a held folder, a file being written,
// an input file), closed through it when it goes unless close() came first.
// Only a System makes one with a descriptor, or sees the descriptor.
class File {
 public:
  File() = default;
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File();

  bool is_open() const { return fd_ >= 0; }
  off_t size() const { return size_; }  // an input file's, as it was opened
  // Closes it now, if open. The descriptor is gone whatever the status, and an
  // interrupted close is not tried again: the descriptor may already be
  // reused by then.
  Status close();

 private:
  friend class System;
  File(System& system, int fd, off_t size) : system_(&system), fd_(fd), size_(size) {}

  System* system_ = nullptr;
  int fd_ = -1;
  off_t size_ = 0;
};

// A folder being listed, closed through its System when it goes. Only a
// System makes one with a folder, or sees the folder.
class Listing {
 public:
  Listing() = default;
  Listing(Listing&& other) noexcept;
  Listing& operator=(Listing&& other) noexcept;
  Listing(const Listing&) = delete;
  Listing& operator=(const Listing&) = delete;
  ~Listing();

  // The next name ("." and ".." included), valid until the next call; empty
  // at the end.
  Status next(std::string_view& name);
  Status close();

 private:
  friend class System;
  Listing(System& system, DIR* folder) : system_(&system), folder_(folder) {}

  System* system_ = nullptr;
  DIR* folder_ = nullptr;
};

// Each call does all of what it names, or fails with the errno that stopped
// it: interrupted calls and short transfers are dealt with inside, never by
// the caller. Implementations keep no shared mutable state: the calls may be
// made from several threads at once.
class System {
 public:
  System() = default;
  System(const System&) = delete;
  System& operator=(const System&) = delete;
  virtual ~System() = default;

  // Made by File and Listing alone: the calls that take one are theirs, and
  // a System that wraps another passes it on.
  class HandleKey {
    friend class File;
    friend class Listing;
    HandleKey() = default;
  };

  // ---- Paths, links followed.
  virtual Status stat(const std::string& path, struct stat& status) = 0;
  virtual Status make_folder(const std::string& path, mode_t mode) = 0;  // one folder
  virtual Status remove_folder(const std::string& path) = 0;             // an empty one
  virtual Status list_folder(const std::string& path, Listing& listing) = 0;

  // ---- Input files.
  // Opens `path` for reading without waiting, and checks that it is a
  // regular file; it is never read otherwise, so a run can't wait on a FIFO
  // or a device. EISDIR for a folder, ESPIPE for anything else that is not a
  // regular file: its bytes can't be read from the start again.
  virtual Status open_input(const std::string& path, File& file) = 0;
  // One read of up to `size` bytes at `offset`; `got` is 0 at the end.
  virtual Status read_at(const File& file, off_t offset, char* buffer, std::size_t size, std::size_t& got) = 0;
  // All of the file from its start, whatever it holds by now: size() is
  // only the first guess.
  virtual Status read_all(const File& file, std::string& bytes) = 0;

  // ---- Held folders: the write path works below a folder it opened once,
  // so that no path is walked twice and no link is followed below it.
  virtual Status hold_folder(const std::string& path, File& folder) = 0;
  // `name` in `folder`; a link, a FIFO or anything else that is not a
  // folder is not opened (ELOOP, ENOTDIR).
  virtual Status hold_folder_at(const File& folder, const char* name, File& held) = 0;
  virtual Status make_folder_at(const File& folder, const char* name, mode_t mode) = 0;
  virtual Status list_held_folder(const File& folder, Listing& listing) = 0;
  // The status of `name` itself, a link not followed.
  virtual Status status_at(const File& folder, const char* name, struct stat& status) = 0;
  // May the effective user write it?
  virtual Status check_writable_at(const File& folder, const char* name) = 0;
  // Creates `name`, which must not exist (EEXIST), for writing, with `mode`
  // less the process's umask.
  virtual Status create_file_at(const File& folder, const char* name, mode_t mode, File& file) = 0;
  virtual Status rename_at(const File& from_folder, const char* from, const File& to_folder, const char* to) = 0;
  // A file or a link (never what it points to).
  virtual Status remove_file_at(const File& folder, const char* name) = 0;
  virtual Status remove_folder_at(const File& folder, const char* name) = 0;  // an empty one
  // An advisory lock held until the file's last copy is closed; EWOULDBLOCK
  // when another holds it.
  virtual Status try_lock(const File& file) = 0;

  // ---- Open files.
  virtual Status file_status(const File& file, struct stat& status) = 0;
  // All of `text`; a write that takes no byte fails as wrote_nothing().
  virtual Status write_all(const File& file, std::string_view text) = 0;
  virtual Status change_mode(const File& file, mode_t mode) = 0;

  // ---- The handles' own: File::close, Listing::next and Listing::close.
  virtual Status close(HandleKey key, int fd) = 0;
  virtual Status next_name(HandleKey key, Listing& listing, std::string_view& name) = 0;
  virtual Status close_listing(HandleKey key, DIR* folder) = 0;

  // ---- Standard output and error: all of `text`, as write_all.
  virtual Status write_stdout(std::string_view text) = 0;
  virtual Status write_stderr(std::string_view text) = 0;

 protected:
  // The handles' insides, for the Systems that open them and act on them.
  File make_file(int fd, off_t size = 0) { return File(*this, fd, size); }
  Listing make_listing(DIR* folder) { return Listing(*this, folder); }
  static int fd_of(const File& file) { return file.fd_; }
  static DIR* folder_of(const Listing& listing) { return listing.folder_; }
  // A handle that a wrapped System opened, made this one's: its later calls
  // (closing it, listing it) then come through here too.
  void adopt(File& file) { file.system_ = this; }
  void adopt(Listing& listing) { listing.system_ = this; }
};

// The real calls.
class PosixSystem : public System {
 public:
  Status stat(const std::string& path, struct stat& status) override;
  Status make_folder(const std::string& path, mode_t mode) override;
  Status remove_folder(const std::string& path) override;
  Status list_folder(const std::string& path, Listing& listing) override;
  Status open_input(const std::string& path, File& file) override;
  Status read_at(const File& file, off_t offset, char* buffer, std::size_t size, std::size_t& got) override;
  Status read_all(const File& file, std::string& bytes) override;
  Status hold_folder(const std::string& path, File& folder) override;
  Status hold_folder_at(const File& folder, const char* name, File& held) override;
  Status make_folder_at(const File& folder, const char* name, mode_t mode) override;
  Status list_held_folder(const File& folder, Listing& listing) override;
  Status status_at(const File& folder, const char* name, struct stat& status) override;
  Status check_writable_at(const File& folder, const char* name) override;
  Status create_file_at(const File& folder, const char* name, mode_t mode, File& file) override;
  Status rename_at(const File& from_folder, const char* from, const File& to_folder, const char* to) override;
  Status remove_file_at(const File& folder, const char* name) override;
  Status remove_folder_at(const File& folder, const char* name) override;
  Status try_lock(const File& file) override;
  Status file_status(const File& file, struct stat& status) override;
  Status write_all(const File& file, std::string_view text) override;
  Status change_mode(const File& file, mode_t mode) override;
  Status close(HandleKey key, int fd) override;
  Status next_name(HandleKey key, Listing& listing, std::string_view& name) override;
  Status close_listing(HandleKey key, DIR* folder) override;
  Status write_stdout(std::string_view text) override;
  Status write_stderr(std::string_view text) override;

 private:
  // What an open call gave: the descriptor into `file`, or the errno.
  Status opened(int fd, File& file);
};

// The process-wide PosixSystem, which main passes to everything it calls.
// Never destroyed: a thread may still use it while the process exits.
System& posix_system();

}  // namespace spansift
