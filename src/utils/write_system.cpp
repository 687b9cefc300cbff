#include "utils/write_system.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace spansift {

int PosixWriteSystem::stat(const char* path, struct stat* status) { return ::stat(path, status); }

int PosixWriteSystem::lstat(const char* path, struct stat* status) { return ::lstat(path, status); }

int PosixWriteSystem::mkdir(const char* path, mode_t mode) { return ::mkdir(path, mode); }

int PosixWriteSystem::check_writable(const char* path) { return ::faccessat(AT_FDCWD, path, W_OK, AT_EACCESS); }

int PosixWriteSystem::mkstemp(char* pattern) { return ::mkstemp(pattern); }

int PosixWriteSystem::fchmod(int fd, mode_t mode) { return ::fchmod(fd, mode); }

ssize_t PosixWriteSystem::write(int fd, const void* data, std::size_t size) { return ::write(fd, data, size); }

int PosixWriteSystem::close(int fd) { return ::close(fd); }

int PosixWriteSystem::rename(const char* from, const char* to) { return ::rename(from, to); }

int PosixWriteSystem::unlink(const char* path) { return ::unlink(path); }

WriteSystem& posix_write_system() {
  static PosixWriteSystem system;
  return system;
}

}  // namespace spansift
