#include "utils/system.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace spansift {

int PosixSystem::stat(const char* path, struct stat* status) { return ::stat(path, status); }

int PosixSystem::mkdir(const char* path, mode_t mode) { return ::mkdir(path, mode); }

DIR* PosixSystem::open_folder(const char* path) { return ::opendir(path); }

DIR* PosixSystem::list_held_folder(int folder) {
  // A description of its own, so that its offset is not `folder`'s.
  int fd = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  DIR* listing = ::fdopendir(fd);
  if (listing == nullptr) {
    int error = errno;
    ::close(fd);
    errno = error;
    return nullptr;
  }
  return listing;
}

const char* PosixSystem::next_entry(DIR* folder) {
  errno = 0;  // readdir leaves errno alone at the end
  const dirent* entry = ::readdir(folder);
  return entry == nullptr ? nullptr : entry->d_name;
}

void PosixSystem::close_folder(DIR* folder) { ::closedir(folder); }

int PosixSystem::hold_folder(const char* path) { return ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC); }

int PosixSystem::hold_folder_at(int folder, const char* name) {
  return ::openat(folder, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
}

int PosixSystem::make_folder_at(int folder, const char* name, mode_t mode) { return ::mkdirat(folder, name, mode); }

int PosixSystem::status_at(int folder, const char* name, struct stat* status) {
  return ::fstatat(folder, name, status, AT_SYMLINK_NOFOLLOW);
}

int PosixSystem::check_writable_at(int folder, const char* name) { return ::faccessat(folder, name, W_OK, AT_EACCESS); }

int PosixSystem::create_new_file_at(int folder, const char* name, mode_t mode) {
  return ::openat(folder, name, O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, mode);
}

int PosixSystem::rename_at(int from_folder, const char* from, int to_folder, const char* to) {
  return ::renameat(from_folder, from, to_folder, to);
}

int PosixSystem::remove_at(int folder, const char* name, bool is_folder) {
  return ::unlinkat(folder, name, is_folder ? AT_REMOVEDIR : 0);
}

int PosixSystem::try_lock(int fd) {
  int result;
  do {
    result = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (result != 0 && errno == EINTR);
  return result;
}

int PosixSystem::open_for_reading(const char* path) { return ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC); }

int PosixSystem::file_status(int fd, struct stat* status) { return ::fstat(fd, status); }

ssize_t PosixSystem::read_at(int fd, void* buffer, std::size_t size, off_t offset) {
  return ::pread(fd, buffer, size, offset);
}

ssize_t PosixSystem::write(int fd, const void* data, std::size_t size) { return ::write(fd, data, size); }

int PosixSystem::change_mode(int fd, mode_t mode) { return ::fchmod(fd, mode); }

int PosixSystem::close(int fd) { return ::close(fd); }

System& posix_system() {
  static System& system = *new PosixSystem;
  return system;
}

}  // namespace spansift
