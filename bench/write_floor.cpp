// The physical floor of a spansift run on this disk: the same files, with
// the same names and sizes, written from memory the way spansift writes them
// (a temporary file in the output folder, one write, close, rename onto the
// final name) and nothing else: no reading, no parsing, no rendering.
//
//   write_floor --list FOLDER      prints "SIZE NAME" for every regular file
//                                  in FOLDER (a previous spansift output)
//   write_floor SIZES OUT_FOLDER   creates OUT_FOLDER if missing, then writes
//                                  the files that SIZES lists into it
//
// The list is read whole before the first file is written, and every file is
// cut from one buffer of the largest size, filled once.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "write_floor: %s: %s\n", what.c_str(), std::strerror(errno));
  std::exit(1);
}

int list(const std::string& folder) {
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) die("can't list " + folder);
  while (dirent* entry = ::readdir(dir)) {
    std::string path = folder + "/" + entry->d_name;
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) die("can't stat " + path);
    if (!S_ISREG(st.st_mode)) continue;
    std::printf("%lld %s\n", static_cast<long long>(st.st_size), entry->d_name);
  }
  ::closedir(dir);
  return 0;
}

struct Entry {
  std::size_t size;
  std::string name;
};

int write_all(const std::string& sizes, const std::string& folder) {
  std::vector<Entry> entries;
  std::size_t largest = 0;
  {
    std::ifstream in(sizes);
    if (!in) die("can't read " + sizes);
    Entry e;
    while (in >> e.size && in.get() == ' ' && std::getline(in, e.name)) {
      if (e.size > largest) largest = e.size;
      entries.push_back(e);
    }
  }

  // Pretty-printed JSON-like bytes; the disk doesn't care, but a reader of
  // the output folder sees text.
  std::string buffer(largest, ' ');
  for (std::size_t i = 79; i < buffer.size(); i += 80) buffer[i] = '\n';

  if (::mkdir(folder.c_str(), 0777) != 0 && errno != EEXIST) die("can't create " + folder);
  std::string temp_pattern = folder + "/.spansift-XXXXXX";
  std::string temp;
  for (const Entry& e : entries) {
    temp = temp_pattern;
    int fd = ::mkstemp(temp.data());
    if (fd < 0) die("can't create a temporary file in " + folder);
    std::size_t done = 0;
    while (done < e.size) {
      ssize_t n = ::write(fd, buffer.data() + done, e.size - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) die("can't write " + temp);
      done += static_cast<std::size_t>(n);
    }
    ::close(fd);
    std::string path = folder + "/" + e.name;
    if (::rename(temp.c_str(), path.c_str()) != 0) die("can't rename onto " + path);
  }
  std::printf("Written %zu files to %s.\n", entries.size(), folder.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--list") return list(argv[2]);
  if (argc == 3) return write_all(argv[1], argv[2]);
  std::fprintf(stderr,
               "usage: write_floor --list FOLDER > SIZES\n"
               "       write_floor SIZES OUT_FOLDER\n");
  return 2;
}
