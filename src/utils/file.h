// Operating-system errors and the file-system helpers shared by reading and writing.
#pragma once

#include <cerrno>
#include <cstddef>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace spansift {

class System;

// An error that carries the system's error number.
struct OsError {
  int code = 0;

  // "{strerror} (os error {code})", e.g. "No such file or directory (os error 2)".
  std::string display() const;
  // Os { code: 2, kind: NotFound, message: "No such file or directory" }
  std::string detail() const;
};

// What write_whole returns when a write took no byte at all.
inline constexpr int kWroteNothing = -1;

// Hands all of `text` to `write_some(data, size)`, a call that behaves as
// write(2), retrying partial and interrupted writes. Returns 0 once all is
// written, the errno of a failed write, or kWroteNothing.
template <class WriteSome>
int write_whole(std::string_view text, WriteSome&& write_some) {
  while (!text.empty()) {
    ssize_t n = write_some(text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return kWroteNothing;
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return 0;
}

// write_whole through write(2) on `fd`.
int write_whole(int fd, std::string_view text);

// Joins `name` onto `path`: a name starting with "/" stands alone; otherwise
// one "/" goes between unless `path` is empty or already ends with "/".
std::string join_path(std::string_view path, std::string_view name);

// Returns join_path(base, name) after making sure it is a folder: an existing
// folder (links followed) is kept as it is, otherwise that one folder is
// created (mode 0777 less the umask) through `system`. Throws Stop with
// "failed to create folder: {detail}" when it can't be made.
std::string create_folder(std::string_view base, std::string_view name, System& system);

}  // namespace spansift
