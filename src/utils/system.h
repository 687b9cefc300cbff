// The operating system as the read path and the write path use it, behind one
// interface so that tests can make any call fail, or serve a file from memory,
// without a special file system.
#pragma once

#include <cstddef>
#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>

namespace spansift {

// Each call behaves as the system call it names (same result, errno set on
// failure) and chooses the flags its purpose needs, so callers state only
// what they want done. Implementations keep no shared mutable state: the
// calls may be made from several threads at once.
class System {
 public:
  System() = default;
  System(const System&) = delete;
  System& operator=(const System&) = delete;
  virtual ~System() = default;

  // ---- Paths
  virtual int stat(const char* path, struct stat* status) = 0;  // links followed
  virtual int mkdir(const char* path, mode_t mode) = 0;

  // ---- Folder listings: opendir, readdir, closedir.
  virtual DIR* open_folder(const char* path) = 0;
  // fdopendir on a descriptor of its own, so that `folder` stays open.
  virtual DIR* list_held_folder(int folder) = 0;
  // The next entry's name ("." and ".." included), valid until the next
  // call; null at the end (errno left 0) or on failure (errno set).
  virtual const char* next_entry(DIR* folder) = 0;
  virtual void close_folder(DIR* folder) = 0;

  // ---- Held folders: the write path works below a folder it opened once,
  // so that no path is walked twice and no link is followed below it.
  // Opens the folder `path` (links followed) and returns its descriptor.
  virtual int hold_folder(const char* path) = 0;
  // Opens the folder `name` in the held `folder`; a link, a FIFO or anything
  // else that is not a folder is not opened (ELOOP, ENOTDIR).
  virtual int hold_folder_at(int folder, const char* name) = 0;
  virtual int make_folder_at(int folder, const char* name, mode_t mode) = 0;  // mkdirat
  // fstatat of `name` itself, a link not followed.
  virtual int status_at(int folder, const char* name, struct stat* status) = 0;
  // faccessat(W_OK, AT_EACCESS): may the effective user write it?
  virtual int check_writable_at(int folder, const char* name) = 0;
  // Creates `name`, which must not exist, for writing, close-on-exec, with
  // `mode` less the process's umask (EEXIST when it exists).
  virtual int create_new_file_at(int folder, const char* name, mode_t mode) = 0;
  virtual int rename_at(int from_folder, const char* from, int to_folder, const char* to) = 0;
  // unlinkat: a file or link (never what it points to), or an empty folder.
  virtual int remove_at(int folder, const char* name, bool is_folder) = 0;
  // flock(LOCK_EX | LOCK_NB): an advisory lock held until the descriptor's
  // last copy is closed; EWOULDBLOCK when another holds it.
  virtual int try_lock(int fd) = 0;

  // ---- Files
  // Opens `path` for reading, close-on-exec and without waiting: a FIFO or
  // a device opens at once, and reads on it never block.
  virtual int open_for_reading(const char* path) = 0;
  virtual int file_status(int fd, struct stat* status) = 0;  // fstat
  // pread: up to `size` bytes at `offset`, whatever the descriptor's own offset.
  virtual ssize_t read_at(int fd, void* buffer, std::size_t size, off_t offset) = 0;
  virtual ssize_t write(int fd, const void* data, std::size_t size) = 0;
  virtual int change_mode(int fd, mode_t mode) = 0;  // fchmod
  virtual int close(int fd) = 0;
};

// The real calls.
class PosixSystem : public System {
 public:
  int stat(const char* path, struct stat* status) override;
  int mkdir(const char* path, mode_t mode) override;
  DIR* open_folder(const char* path) override;
  DIR* list_held_folder(int folder) override;
  const char* next_entry(DIR* folder) override;
  void close_folder(DIR* folder) override;
  int hold_folder(const char* path) override;
  int hold_folder_at(int folder, const char* name) override;
  int make_folder_at(int folder, const char* name, mode_t mode) override;
  int status_at(int folder, const char* name, struct stat* status) override;
  int check_writable_at(int folder, const char* name) override;
  int create_new_file_at(int folder, const char* name, mode_t mode) override;
  int rename_at(int from_folder, const char* from, int to_folder, const char* to) override;
  int remove_at(int folder, const char* name, bool is_folder) override;
  int try_lock(int fd) override;
  int open_for_reading(const char* path) override;
  int file_status(int fd, struct stat* status) override;
  ssize_t read_at(int fd, void* buffer, std::size_t size, off_t offset) override;
  ssize_t write(int fd, const void* data, std::size_t size) override;
  int change_mode(int fd, mode_t mode) override;
  int close(int fd) override;
};

// The process-wide PosixSystem, the default of every path. Never destroyed:
// a thread may still use it while the process exits.
System& posix_system();

}  // namespace spansift
