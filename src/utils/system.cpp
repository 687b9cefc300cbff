#include "utils/system.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace spansift {

int PosixSystem::stat(const char* path, struct stat* status) { return ::stat(path, status); }

int PosixSystem::lstat(const char* path, struct stat* status) { return ::lstat(path, status); }

int PosixSystem::mkdir(const char* path, mode_t mode) { return ::mkdir(path, mode); }

int PosixSystem::check_writable(const char* path) { return ::faccessat(AT_FDCWD, path, W_OK, AT_EACCESS); }

int PosixSystem::rename(const char* from, const char* to) { return ::rename(from, to); }

int PosixSystem::unlink(const char* path) { return ::unlink(path); }

int PosixSystem::rmdir(const char* path) { return ::rmdir(path); }

DIR* PosixSystem::open_folder(const char* path) { return ::opendir(path); }

const char* PosixSystem::next_entry(DIR* folder) {
  errno = 0;  // readdir leaves errno alone at the end
  const dirent* entry = ::readdir(folder);
  return entry == nullptr ? nullptr : entry->d_name;
}

void PosixSystem::close_folder(DIR* folder) { ::closedir(folder); }

int PosixSystem::open_for_reading(const char* path) { return ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC); }

int PosixSystem::create_new_file(const char* path, mode_t mode) {
  return ::open(path, O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, mode);
}

int PosixSystem::file_status(int fd, struct stat* status) { return ::fstat(fd, status); }

ssize_t PosixSystem::read_at(int fd, void* buffer, std::size_t size, off_t offset) {
  return ::pread(fd, buffer, size, offset);
}

ssize_t PosixSystem::write(int fd, const void* data, std::size_t size) { return ::write(fd, data, size); }

int PosixSystem::change_mode(int fd, mode_t mode) { return ::fchmod(fd, mode); }

int PosixSystem::close(int fd) { return ::close(fd); }

System& posix_system() {
  static PosixSystem system;
  return system;
}

}  // namespace spansift
