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
  virtual int stat(const char* path, struct stat* status) = 0;   // links followed
  virtual int lstat(const char* path, struct stat* status) = 0;  // the link itself
  virtual int mkdir(const char* path, mode_t mode) = 0;
  // faccessat(AT_FDCWD, path, W_OK, AT_EACCESS): may the effective user write it?
  virtual int check_writable(const char* path) = 0;
  virtual int rename(const char* from, const char* to) = 0;
  virtual int unlink(const char* path) = 0;
  virtual int rmdir(const char* path) = 0;  // an empty folder

  // ---- Folder listings: opendir, readdir, closedir.
  virtual DIR* open_folder(const char* path) = 0;
  // The next entry's name ("." and ".." included), valid until the next
  // call; null at the end (errno left 0) or on failure (errno set).
  virtual const char* next_entry(DIR* folder) = 0;
  virtual void close_folder(DIR* folder) = 0;

  // ---- Files
  // Opens `path` for reading, close-on-exec and without waiting: a FIFO or
  // a device opens at once, and reads on it never block.
  virtual int open_for_reading(const char* path) = 0;
  // Creates `path`, which must not exist, for writing, close-on-exec, with
  // `mode` less the process's umask (EEXIST when it exists).
  virtual int create_new_file(const char* path, mode_t mode) = 0;
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
  int lstat(const char* path, struct stat* status) override;
  int mkdir(const char* path, mode_t mode) override;
  int check_writable(const char* path) override;
  int rename(const char* from, const char* to) override;
  int unlink(const char* path) override;
  int rmdir(const char* path) override;
  DIR* open_folder(const char* path) override;
  const char* next_entry(DIR* folder) override;
  void close_folder(DIR* folder) override;
  int open_for_reading(const char* path) override;
  int create_new_file(const char* path, mode_t mode) override;
  int file_status(int fd, struct stat* status) override;
  ssize_t read_at(int fd, void* buffer, std::size_t size, off_t offset) override;
  ssize_t write(int fd, const void* data, std::size_t size) override;
  int change_mode(int fd, mode_t mode) override;
  int close(int fd) override;
};

// The process-wide PosixSystem, the default of every path.
System& posix_system();

}  // namespace spansift
