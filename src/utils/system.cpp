#include "utils/system.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#include <utility>

#include "utils/never_destroyed.h"

namespace spansift {

File::File(File&& other) noexcept : system_(other.system_), fd_(std::exchange(other.fd_, -1)), size_(other.size_) {}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    (void)close();
    system_ = other.system_;
    fd_ = std::exchange(other.fd_, -1);
    size_ = other.size_;
  }
  return *this;
}

// Still open here only after another fault, whose message is the one to show.
File::~File() { (void)close(); }

Status File::close() {
  if (fd_ < 0) return {};
  return system_->close(System::HandleKey(), std::exchange(fd_, -1));
}

Listing::Listing(Listing&& other) noexcept : system_(other.system_), folder_(std::exchange(other.folder_, nullptr)) {}

Listing& Listing::operator=(Listing&& other) noexcept {
  if (this != &other) {
    (void)close();
    system_ = other.system_;
    folder_ = std::exchange(other.folder_, nullptr);
  }
  return *this;
}

Listing::~Listing() { (void)close(); }

Status Listing::next(std::string_view& name) { return system_->next_name(System::HandleKey(), *this, name); }

Status Listing::close() {
  if (folder_ == nullptr) return {};
  return system_->close_listing(System::HandleKey(), std::exchange(folder_, nullptr));
}

namespace {

// The one place where errno becomes a value.
Status result(int returned) { return Status{returned < 0 ? errno : 0}; }

Status write_whole(int fd, std::string_view text) {
  while (!text.empty()) {
    ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return Status{errno};
    }
    if (n == 0) return Status::wrote_nothing();
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return {};
}

ssize_t read_once(int fd, char* buffer, std::size_t size, off_t offset) {
  ssize_t n;
  do {
    n = ::pread(fd, buffer, size, offset);
  } while (n < 0 && errno == EINTR);
  return n;
}

}  // namespace

Status PosixSystem::opened(int fd, File& file) {
  if (fd < 0) return Status{errno};
  file = make_file(fd);
  return {};
}

Status PosixSystem::stat(const std::string& path, struct stat& status) { return result(::stat(path.c_str(), &status)); }

Status PosixSystem::make_folder(const std::string& path, mode_t mode) { return result(::mkdir(path.c_str(), mode)); }

Status PosixSystem::remove_folder(const std::string& path) { return result(::rmdir(path.c_str())); }

Status PosixSystem::list_folder(const std::string& path, Listing& listing) {
  DIR* folder = ::opendir(path.c_str());
  if (folder == nullptr) return Status{errno};
  listing = make_listing(folder);
  return {};
}

Status PosixSystem::open_input(const std::string& path, File& file) {
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return Status{errno};
  struct stat status;
  Status checked = result(::fstat(fd, &status));
  if (checked.ok() && !S_ISREG(status.st_mode)) checked = Status{S_ISDIR(status.st_mode) ? EISDIR : ESPIPE};
  if (!checked.ok()) {
    ::close(fd);
    return checked;
  }
  file = make_file(fd, status.st_size);
  return {};
}

Status PosixSystem::read_at(const File& file, off_t offset, char* buffer, std::size_t size, std::size_t& got) {
  got = 0;
  ssize_t n = read_once(fd_of(file), buffer, size, offset);
  if (n < 0) return Status{errno};
  got = static_cast<std::size_t>(n);
  return {};
}

Status PosixSystem::read_all(const File& file, std::string& bytes) {
  bytes.resize(static_cast<std::size_t>(file.size()));
  std::size_t filled = 0;
  for (;;) {
    ssize_t n;
    auto offset = static_cast<off_t>(filled);
    if (filled < bytes.size()) {
      n = read_once(fd_of(file), bytes.data() + filled, bytes.size() - filled, offset);
      if (n > 0) filled += static_cast<std::size_t>(n);
    } else {
      // Full up to the expected size: the file may have grown since.
      char more[8192];
      n = read_once(fd_of(file), more, sizeof more, offset);
      if (n > 0) {
        bytes.append(more, static_cast<std::size_t>(n));
        filled += static_cast<std::size_t>(n);
      }
    }
    if (n == 0) break;
    if (n < 0) return Status{errno};
  }
  bytes.resize(filled);
  return {};
}

Status PosixSystem::hold_folder(const std::string& path, File& folder) {
  return opened(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC), folder);
}

Status PosixSystem::hold_folder_at(const File& folder, const char* name, File& held) {
  return opened(::openat(fd_of(folder), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC), held);
}

Status PosixSystem::make_folder_at(const File& folder, const char* name, mode_t mode) {
  return result(::mkdirat(fd_of(folder), name, mode));
}

Status PosixSystem::list_held_folder(const File& folder, Listing& listing) {
  // A description of its own, so that its offset is not `folder`'s.
  int fd = ::openat(fd_of(folder), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return Status{errno};
  DIR* listed = ::fdopendir(fd);
  if (listed == nullptr) {
    Status failed{errno};
    ::close(fd);
    return failed;
  }
  listing = make_listing(listed);
  return {};
}

Status PosixSystem::status_at(const File& folder, const char* name, struct stat& status) {
  return result(::fstatat(fd_of(folder), name, &status, AT_SYMLINK_NOFOLLOW));
}

Status PosixSystem::check_writable_at(const File& folder, const char* name) {
  return result(::faccessat(fd_of(folder), name, W_OK, AT_EACCESS));
}

Status PosixSystem::create_file_at(const File& folder, const char* name, mode_t mode, File& file) {
  return opened(::openat(fd_of(folder), name, O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, mode), file);
}

Status PosixSystem::rename_at(const File& from_folder, const char* from, const File& to_folder, const char* to) {
  return result(::renameat(fd_of(from_folder), from, fd_of(to_folder), to));
}

Status PosixSystem::remove_file_at(const File& folder, const char* name) {
  return result(::unlinkat(fd_of(folder), name, 0));
}

Status PosixSystem::remove_folder_at(const File& folder, const char* name) {
  return result(::unlinkat(fd_of(folder), name, AT_REMOVEDIR));
}

Status PosixSystem::try_lock(const File& file) {
  int locked;
  do {
    locked = ::flock(fd_of(file), LOCK_EX | LOCK_NB);
  } while (locked != 0 && errno == EINTR);
  return result(locked);
}

Status PosixSystem::file_status(const File& file, struct stat& status) { return result(::fstat(fd_of(file), &status)); }

Status PosixSystem::write_all(const File& file, std::string_view text) { return write_whole(fd_of(file), text); }

Status PosixSystem::change_mode(const File& file, mode_t mode) { return result(::fchmod(fd_of(file), mode)); }

// Not retried on EINTR: on Linux the descriptor is gone by then, and may
// already be another thread's.
Status PosixSystem::close(HandleKey /*key*/, int fd) { return result(::close(fd)); }

Status PosixSystem::next_name(HandleKey /*key*/, Listing& listing, std::string_view& name) {
  errno = 0;  // readdir leaves errno alone at the end
  const dirent* entry = ::readdir(folder_of(listing));
  if (entry == nullptr) {
    name = {};
    return Status{errno};
  }
  name = entry->d_name;
  return {};
}

Status PosixSystem::close_listing(HandleKey /*key*/, DIR* folder) { return result(::closedir(folder)); }

Status PosixSystem::write_stdout(std::string_view text) { return write_whole(STDOUT_FILENO, text); }

Status PosixSystem::write_stderr(std::string_view text) { return write_whole(STDERR_FILENO, text); }

System& posix_system() {
  static NeverDestroyed<PosixSystem> system;
  return system.get();
}

}  // namespace spansift
