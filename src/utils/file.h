// Operating-system errors and the file-system helpers shared by reading and writing.
#pragma once

#include <string>
#include <string_view>

namespace spansift {

class System;

// What a call to the system did: code 0, or the errno that it failed with.
// Its texts are made here and nowhere else.
struct [[nodiscard]] Status {
  int code = 0;

  bool ok() const { return code == 0; }
  // A write that took no byte: no errno says so.
  static constexpr Status wrote_nothing() { return Status{kWroteNothingCode}; }

  // "{strerror} (os error {code})", e.g. "No such file or directory (os error 2)";
  // "failed to write whole buffer" for wrote_nothing().
  std::string display() const;
  // Os { code: 2, kind: NotFound, message: "No such file or directory" }
  std::string detail() const;

 private:
  static constexpr int kWroteNothingCode = -1;
};

// Joins `name` onto `path`: a name starting with "/" stands alone; otherwise
// one "/" goes between unless `path` is empty or already ends with "/".
std::string join_path(std::string_view path, std::string_view name);

// Returns join_path(base, name) after making sure it is a folder: an existing
// folder (links followed) is kept as it is, otherwise that one folder is
// created (mode 0777 less the umask) through `system`. Throws Stop with
// "failed to create folder: {detail}" when it can't be made.
std::string create_folder(std::string_view base, std::string_view name, System& system);

}  // namespace spansift
