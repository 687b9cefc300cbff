// The system calls of the write path, behind an interface so that tests can
// make any one of them fail without a special file system.
#pragma once

#include <cstddef>
#include <sys/stat.h>
#include <sys/types.h>

namespace spansift {

// Each call behaves as the system call of its name: same arguments, same
// result, errno set on failure.
class WriteSystem {
 public:
  WriteSystem() = default;
  WriteSystem(const WriteSystem&) = delete;
  WriteSystem& operator=(const WriteSystem&) = delete;
  virtual ~WriteSystem() = default;

  virtual int stat(const char* path, struct stat* status) = 0;
  virtual int lstat(const char* path, struct stat* status) = 0;
  virtual int mkdir(const char* path, mode_t mode) = 0;
  // faccessat(AT_FDCWD, path, W_OK, AT_EACCESS): may the effective user write it?
  virtual int check_writable(const char* path) = 0;
  virtual int mkstemp(char* pattern) = 0;
  virtual int fchmod(int fd, mode_t mode) = 0;
  virtual ssize_t write(int fd, const void* data, std::size_t size) = 0;
  virtual int close(int fd) = 0;
  virtual int rename(const char* from, const char* to) = 0;
  virtual int unlink(const char* path) = 0;
};

// The real calls.
class PosixWriteSystem : public WriteSystem {
 public:
  int stat(const char* path, struct stat* status) override;
  int lstat(const char* path, struct stat* status) override;
  int mkdir(const char* path, mode_t mode) override;
  int check_writable(const char* path) override;
  int mkstemp(char* pattern) override;
  int fchmod(int fd, mode_t mode) override;
  ssize_t write(int fd, const void* data, std::size_t size) override;
  int close(int fd) override;
  int rename(const char* from, const char* to) override;
  int unlink(const char* path) override;
};

// The process-wide instance of PosixWriteSystem, the default of the write path.
WriteSystem& posix_write_system();

}  // namespace spansift
