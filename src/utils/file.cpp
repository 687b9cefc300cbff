#include "utils/file.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

#include "utils/messages.h"
#include "utils/stop.h"
#include "utils/system.h"
#include "utils/text.h"

namespace spansift {

namespace {

const char* error_kind(int code) {
  switch (code) {
    case ENOENT: return "NotFound";
    case EACCES:
    case EPERM: return "PermissionDenied";
    case EEXIST: return "AlreadyExists";
    case ENOTDIR: return "NotADirectory";
    case EISDIR: return "IsADirectory";
    case ENOTEMPTY: return "DirectoryNotEmpty";
    case EROFS: return "ReadOnlyFilesystem";
    case ELOOP: return "FilesystemLoop";
    case ENAMETOOLONG: return "InvalidFilename";
    case ENOSPC: return "StorageFull";
    case EDQUOT: return "FilesystemQuotaExceeded";
    case EFBIG: return "FileTooLarge";
    case EINTR: return "Interrupted";
    case EINVAL: return "InvalidInput";
    case ENOMEM: return "OutOfMemory";
    case EPIPE: return "BrokenPipe";
    case EBUSY: return "ResourceBusy";
    case ETXTBSY: return "ExecutableFileBusy";
    case EXDEV: return "CrossesDevices";
    case EMLINK: return "TooManyLinks";
    case EAGAIN: return "WouldBlock";
    case ESPIPE: return "NotSeekable";
    default: return "Uncategorized";  // EIO among them
  }
}

std::string system_message(int code) {
  char buffer[256];
  // GNU strerror_r may return a static string instead of filling the buffer.
  return ::strerror_r(code, buffer, sizeof buffer);
}

}  // namespace

std::string Status::display() const {
  if (code == kWroteNothingCode) return messages::kWroteNothing;
  return system_message(code) + " (os error " + std::to_string(code) + ")";
}

std::string Status::detail() const {
  if (code == kWroteNothingCode) return messages::kWroteNothing;
  return "Os { code: " + std::to_string(code) + ", kind: " + error_kind(code) + ", message: \"" +
         escape_quotes(system_message(code)) + "\" }";
}

std::string join_path(std::string_view path, std::string_view name) {
  if (!name.empty() && name.front() == '/') return std::string(name);
  std::string joined(path);
  if (!joined.empty() && joined.back() != '/') joined += '/';
  joined += name;
  return joined;
}

std::string create_folder(std::string_view base, std::string_view name, System& system) {
  std::string path = join_path(base, name);
  struct stat st;
  if (system.stat(path, st).ok() && S_ISDIR(st.st_mode)) return path;
  if (Status made = system.make_folder(path, 0777); !made.ok()) throw Stop(messages::folder_not_created(made.detail()));
  return path;
}

}  // namespace spansift
