// Each system call of the read path failing in turn, and files swapped after
// the listing checked them, through the seam: what a run shows and stops with.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "raw/read_folder.h"
#include "test_util.h"

namespace spansift {
namespace {

using testing::Call;
using testing::export_json;
using testing::item_json;
using testing::TempDir;
using testing::write_file;

// What replaces the listed file once its status has been taken.
enum class Swap { None, Fifo, Device, Folder };

void swap_in(Swap swap, const std::string& path) {
  if (swap == Swap::None) return;
  ::unlink(path.c_str());
  int made = 0;
  switch (swap) {
    case Swap::None: break;
    case Swap::Fifo: made = ::mkfifo(path.c_str(), 0666); break;
    case Swap::Device: made = ::symlink("/dev/zero", path.c_str()); break;
    case Swap::Folder: made = ::mkdir(path.c_str(), 0777); break;
  }
  EXPECT_EQ(made, 0);
}

TEST(ReadFaults, EachCallOfTheReadPathFailing) {
  TempDir dir;
  const std::string in = dir / "in";
  const std::string x = in + "/x.json";
  const std::string start = "Reading all traces from folder: " + in + "\n";
  const std::string reading = "Reading a Jaeger-trace from '" + x + "'\n";
  const std::string serde = "About to read trace via serde\n";
  const std::string done = "Read 1 traces in total from 1 files.\n";
  const std::string eio = R"(Os { code: 5, kind: Uncategorized, message: "Input/output error" })";
  const std::string not_seekable = R"(Os { code: 29, kind: NotSeekable, message: "Illegal seek" })";

  struct Case {
    const char* name;
    std::vector<testing::Failure> failures;
    bool marked;      // the file starts with a UTF-8 byte-order mark
    Swap swap;        // put in place of x.json after its stat
    std::string out;  // after the first line
    std::string err;  // empty: the run completes
  };
  // Calls in order: stat of the input (1), the listing, stat of x.json (2),
  // its open (and check), the probe read (1), then the whole or streamed
  // reads, the file's close and the listing's.
  const Case cases[] = {
      {"input can't be looked at",
       {{Call::Stat, 1, EACCES}},
       false,
       Swap::None,
       "",
       " Expected file with extention '.json' or folder. Received: '" + in + "' "},
      {"listing can't be opened",
       {{Call::ListFolder, 1, EACCES}},
       false,
       Swap::None,
       "",
       R"(Failed to read directory: Os { code: 13, kind: PermissionDenied, message: "Permission denied" })"},
      {"listing can't be read",
       {{Call::NextName, 1, EIO}},
       false,
       Swap::None,
       "",
       "Failed to extract file-entry: " + eio},
      {"entry can't be looked at",
       {{Call::Stat, 2, ELOOP}},
       false,
       Swap::None,
       "",
       R"(Os { code: 40, kind: FilesystemLoop, message: "Too many levels of symbolic links" })"},
      {"file can't be opened",
       {{Call::OpenInput, 1, EMFILE}},
       false,
       Swap::None,
       reading,
       R"(Os { code: 24, kind: Uncategorized, message: "Too many open files" })"},
      {"file can't be checked", {{Call::OpenInput, 1, EIO}}, false, Swap::None, reading, eio},
      // The probe's failure is only shown; the file is then read without a mark.
      {"probe read fails",
       {{Call::ReadAt, 1, EIO}},
       false,
       Swap::None,
       reading + "Failed reading BOM with error Input/output error (os error 5)\n" + serde + done,
       ""},
      {"whole read fails", {{Call::ReadAll, 1, EIO}}, true, Swap::None, reading, eio},
      {"streamed read fails",
       {{Call::ReadAt, 2, EIO}},
       false,
       Swap::None,
       reading + serde,
       R"x(Error("Input/output error (os error 5)", line: 0, column: 0))x"},
      // What was read is whole; the failed closes are not shown.
      {"file can't be closed", {{Call::Close, 1, EIO}}, true, Swap::None, reading + done, ""},
      {"listing can't be closed", {{Call::CloseListing, 1, EIO}}, false, Swap::None, reading + serde + done, ""},
      // Never read, so never waited on.
      {"FIFO swapped in", {}, false, Swap::Fifo, reading, not_seekable},
      {"device swapped in", {}, false, Swap::Device, reading, not_seekable},
      {"folder swapped in",
       {},
       false,
       Swap::Folder,
       reading,
       R"(Os { code: 21, kind: IsADirectory, message: "Is a directory" })"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ::mkdir(in.c_str(), 0777);
    write_file(x, (c.marked ? "\xEF\xBB\xBF" : "") + export_json({item_json("t1")}));
    testing::FaultySystem system;
    system.failures = c.failures;
    system.after_stat = [&](const std::string& path) {
      if (path == x) swap_in(c.swap, x);
    };

    testing::CapturedStdout capture;
    std::string message = testing::stop_message([&] { 
      RunOutput output(system);
      read_file_or_folder(in, system, output, nullptr, nullptr);
    });
    EXPECT_EQ(capture.text(), start + c.out);
    EXPECT_EQ(message, c.err);
    std::filesystem::remove_all(in);
  }
}

}  // namespace
}  // namespace spansift
