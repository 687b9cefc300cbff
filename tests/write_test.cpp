// Writing records into the output folder: files, bytes, modes, and every way
// the run stops, each step of the write path failing through the seam.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cmath>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <memory>
#include <pthread.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "raw/model_store.h"
#include "raw/write.h"
#include "test_util.h"
#include "utils/stop.h"
#include "utils/system.h"

namespace spansift {
namespace {

using testing::Call;
using testing::exists;
using testing::Failure;
using testing::has_temp_files;
using testing::item_json;
using testing::list_folder;
using testing::mode_of;
using testing::read_file;
using testing::stop_message;
using testing::TempDir;
using testing::write_file;

using Names = std::vector<std::string>;

// A record with one item per ID (the text between the quotes, escapes and
// all); `label` goes into each item's warnings so that records with the same
// ID render differently.
JaegerTrace make_record(const Names& ids, const std::string& label = "") {
  std::vector<std::string> items;
  for (const std::string& id : ids) items.push_back(item_json(id, "", "{}", R"(,"warnings":[")" + label + "\"]"));
  return testing::parse_export(testing::export_json(items));
}

// Record i is labelled "r{i}".
std::vector<JaegerTrace> make_records(const std::vector<Names>& ids) {
  std::vector<JaegerTrace> records;
  for (std::size_t i = 0; i < ids.size(); ++i) records.push_back(make_record(ids[i], "r" + std::to_string(i)));
  return records;
}

// What the file of a one-item record made by make_record holds.
std::string file_text(const std::string& id, const std::string& label) {
  return "{\n  \"data\": [\n    {\n      \"traceID\": \"" + id +
         "\",\n      \"spans\": [],\n      \"processes\": {},\n      \"warnings\": [\n        \"" + label +
         "\"\n      ]\n    }\n  ],\n  \"total\": 0,\n  \"limit\": 0,\n  \"offset\": 0,\n  \"errors\": null\n}";
}

// Permission bits don't hold back root, so cases about them run as "nobody",
// who is given the temporary folder first.
constexpr uid_t kNobody = 65534;

void hand_to_nobody(const std::string& dir) {
  if (::geteuid() != 0) return;
  ::lchown(dir.c_str(), kNobody, kNobody);
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
    ::lchown(entry.path().c_str(), kNobody, kNobody);
  }
}

// Acts as "nobody" while alive (when running as root).
class AsNobody {
 public:
  AsNobody() : active_(::geteuid() == 0) {
    if (active_ && (::setegid(kNobody) != 0 || ::seteuid(kNobody) != 0)) throw std::runtime_error("seteuid");
  }
  ~AsNobody() {
    if (active_ && (::seteuid(0) != 0 || ::setegid(0) != 0)) std::abort();
  }
  AsNobody(const AsNobody&) = delete;
  AsNobody& operator=(const AsNobody&) = delete;

 private:
  bool active_;
};

class WithUmask {
 public:
  explicit WithUmask(mode_t mask) : saved_(::umask(mask)) {}
  ~WithUmask() { ::umask(saved_); }
  WithUmask(const WithUmask&) = delete;
  WithUmask& operator=(const WithUmask&) = delete;

 private:
  mode_t saved_;
};

// ---------------------------------------------------------------------------
// Runs that complete.

TEST(WriteTraces, WritesOneFilePerSelectedRecord) {
  struct File {
    std::string name;
    std::string bytes;
    mode_t type = S_IFREG;  // or S_IFLNK (to `bytes`), S_IFIFO
  };
  struct Case {
    const char* name;
    std::vector<File> existing;  // files in Jaeger before the run
    std::vector<Names> records;
    std::string trace_ids;
    std::uint64_t count;
    std::vector<File> files;  // everything in Jaeger afterwards, sorted by name
  };
  const std::string st = ".spansift-staging";
  const Case cases[] = {
      {"empty list", {}, {}, "", 0, {}},
      {"no ID matches", {}, {{"a"}, {"b"}}, "c,d", 0, {}},
      {"lone comma selects all",
       {},
       {{"a"}, {"b"}},
       ",",
       2,
       {{"a.json", file_text("a", "r0")}, {"b.json", file_text("b", "r1")}}},
      {"blank kept in selection", {}, {{"a"}, {"b"}}, "b, a", 1, {{"b.json", file_text("b", "r1")}}},
      {"case matters", {}, {{"abc"}, {"ABC"}}, "ABC", 1, {{"ABC.json", file_text("ABC", "r1")}}},
      {"same ID twice: second wins, both counted", {}, {{"x"}, {"x"}}, "", 2, {{"x.json", file_text("x", "r1")}}},
      {"dot names are plain names",
       {},
       {{""}, {"."}, {".."}},
       "",
       3,
       {{"...json", file_text("..", "r2")}, {"..json", file_text(".", "r1")}, {".json", file_text("", "r0")}}},
      {"unselected unsafe ID is passed over", {}, {{"../x"}, {"ok"}}, "ok", 1, {{"ok.json", file_text("ok", "r1")}}},
      {"older files kept, same name replaced",
       {{"old.json", "OLD"}, {"a.json", "STALE"}},
       {{"a"}},
       "",
       1,
       {{"a.json", file_text("a", "r0")}, {"old.json", "OLD"}}},
      // Files are staged under another name, and what is in the way stays.
      {"file in the way", {{st, "STRAY"}}, {{"a"}}, "", 1, {{st, "STRAY"}, {"a.json", file_text("a", "r0")}}},
      {"link in the way", {{st, ".", S_IFLNK}}, {{"a"}}, "", 1, {{st, ".", S_IFLNK}, {"a.json", file_text("a", "r0")}}},
      {"FIFO in the way", {{st, "", S_IFIFO}}, {{"a"}}, "", 1, {{st, "", S_IFIFO}, {"a.json", file_text("a", "r0")}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string jaeger = dir / "Jaeger";
    if (!c.existing.empty()) ::mkdir(jaeger.c_str(), 0777);
    for (const File& f : c.existing) {  // each checked after the run
      if (f.type == S_IFREG) write_file(jaeger + "/" + f.name, f.bytes);
      if (f.type == S_IFLNK) (void)::symlink(f.bytes.c_str(), (jaeger + "/" + f.name).c_str());
      if (f.type == S_IFIFO) (void)::mkfifo((jaeger + "/" + f.name).c_str(), 0600);
    }

    testing::CapturedStdout capture;
    std::uint64_t count = write_traces(dir.path(), make_records(c.records), c.trace_ids, posix_system());
    EXPECT_EQ(capture.text(), "");
    EXPECT_EQ(count, c.count);

    Names expected_names;
    for (const File& f : c.files) expected_names.push_back(f.name);
    EXPECT_EQ(list_folder(jaeger), expected_names);
    for (const File& f : c.files) {  // only files are read: a FIFO would wait for a writer
      EXPECT_EQ(mode_of(jaeger + "/" + f.name) & S_IFMT, f.type) << f.name;
      EXPECT_EQ(f.type == S_IFREG ? read_file(jaeger + "/" + f.name) : f.bytes, f.bytes) << f.name;
    }
  }
}

TEST(WriteTraces, BaseFolderForms) {
  {
    SCOPED_TRACE("trailing slash");
    TempDir dir;
    write_traces(dir.path() + "/", make_records({{"a"}}), "", posix_system());
    EXPECT_TRUE(exists(dir / "Jaeger/a.json"));
  }
  {
    SCOPED_TRACE("empty base is the working folder");
    TempDir dir;
    std::filesystem::path saved = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    std::uint64_t count = write_traces("", make_records({{"a"}}), "", posix_system());
    std::filesystem::current_path(saved);
    EXPECT_EQ(count, 1u);
    EXPECT_TRUE(exists(dir / "Jaeger/a.json"));
  }
}

TEST(WriteTraces, ReleasesEveryRecord) {
  TempDir dir;
  std::vector<JaegerTrace> records = make_records({{"a"}, {"b"}});
  std::weak_ptr<const ModelStore> written = records[0].store;
  std::weak_ptr<const ModelStore> passed_over = records[1].store;
  write_traces(dir.path(), std::move(records), "a", posix_system());
  EXPECT_TRUE(records.empty());  // NOLINT(bugprone-use-after-move): left empty is part of the contract
  EXPECT_TRUE(written.expired());
  EXPECT_TRUE(passed_over.expired());
}

TEST(WriteTraces, NewFilesAndFolderFollowTheUmaskReplacedFilesKeepTheirMode) {
  struct Case {
    mode_t umask;
    mode_t folder;
    mode_t new_file;
  } cases[] = {{002, 0775, 0664}, {022, 0755, 0644}, {027, 0750, 0640}};
  for (const Case& c : cases) {
    SCOPED_TRACE("umask " + std::to_string(c.umask));
    TempDir dir;
    const std::string jaeger = dir / "Jaeger";
    WithUmask umask(c.umask);
    write_traces(dir.path(), make_records({{"new"}}), "", posix_system());
    write_file(jaeger + "/old.json", "OLD");
    ::chmod((jaeger + "/old.json").c_str(), 0604);
    write_traces(dir.path(), make_records({{"old"}, {"new"}}), "", posix_system());

    EXPECT_EQ(mode_of(jaeger), static_cast<mode_t>(S_IFDIR | c.folder));
    EXPECT_EQ(mode_of(jaeger + "/new.json"), static_cast<mode_t>(S_IFREG | c.new_file));
    EXPECT_EQ(mode_of(jaeger + "/old.json"), static_cast<mode_t>(S_IFREG | 0604));
    EXPECT_EQ(read_file(jaeger + "/old.json"), file_text("old", "r0"));
  }
}

TEST(WriteTraces, PlantedLinksAreReplacedNotWrittenThrough) {
  TempDir dir;
  const std::string jaeger = dir / "Jaeger";
  ::mkdir(jaeger.c_str(), 0777);
  write_file(dir / "target.txt", "KEEP");
  ::chmod((dir / "target.txt").c_str(), 0604);  // a mode the new file must not take from it
  ::mkdir((dir / "target-folder").c_str(), 0700);
  // A link to a file, a dangling one, a link to a folder.
  ASSERT_EQ(::symlink((dir / "target.txt").c_str(), (jaeger + "/a.json").c_str()), 0);
  ASSERT_EQ(::symlink("../dangling-target", (jaeger + "/b.json").c_str()), 0);
  ASSERT_EQ(::symlink("../target-folder", (jaeger + "/c.json").c_str()), 0);

  WithUmask umask(022);
  EXPECT_EQ(write_traces(dir.path(), make_records({{"a"}, {"b"}, {"c"}}), "", posix_system()), 3u);

  EXPECT_EQ(list_folder(jaeger), (Names{"a.json", "b.json", "c.json"}));
  for (const char* name : {"/a.json", "/b.json", "/c.json"}) {
    EXPECT_EQ(mode_of(jaeger + name), static_cast<mode_t>(S_IFREG | 0644)) << name;
  }
  EXPECT_EQ(read_file(jaeger + "/a.json"), file_text("a", "r0"));
  EXPECT_EQ(read_file(jaeger + "/c.json"), file_text("c", "r2"));
  EXPECT_EQ(read_file(dir / "target.txt"), "KEEP");
  EXPECT_EQ(mode_of(dir / "target.txt"), static_cast<mode_t>(S_IFREG | 0604));
  EXPECT_EQ(list_folder(dir / "target-folder"), Names{});
  EXPECT_FALSE(exists(dir / "dangling-target"));
}

TEST(WriteTraces, MultiItemRecordNoticeAndFirstIdNamesTheFile) {
  TempDir dir;
  std::vector<JaegerTrace> records;
  records.push_back(make_record({"first", "second"}));

  testing::CapturedStdout capture;
  EXPECT_EQ(write_traces(dir.path(), std::move(records), "", posix_system()), 1u);
  EXPECT_EQ(capture.text(), "this JaegerTrace contains 2 traces, however writing all traces to " + dir.path() +
                                "/Jaeger/first.json based on the first trace_id.\n");
  EXPECT_EQ(list_folder(dir / "Jaeger"), Names{"first.json"});
  EXPECT_EQ(read_file(dir / "Jaeger/first.json"), R"({
  "data": [
    {
      "traceID": "first",
      "spans": [],
      "processes": {},
      "warnings": [
        ""
      ]
    },
    {
      "traceID": "second",
      "spans": [],
      "processes": {},
      "warnings": [
        ""
      ]
    }
  ],
  "total": 0,
  "limit": 0,
  "offset": 0,
  "errors": null
})");
}

// ---------------------------------------------------------------------------
// Runs that stop.

std::string create_error(const std::string& dir, const std::string& name, const std::string& reason) {
  return "Failed to create file: '" + dir + "/Jaeger/" + name + "'. Received error:\t" + reason;
}

std::string unsafe(const std::string& id) {
  return "Unsafe trace ID '" + id + "': a trace ID used as a file name must not contain '/'";
}

void make_jaeger(const std::string& dir) { ::mkdir((dir + "/Jaeger").c_str(), 0777); }

void expect_jaeger_holds(const std::string& dir, const Names& names) { EXPECT_EQ(list_folder(dir + "/Jaeger"), names); }

TEST(WriteTraces, StopsWithTheStepsMessage) {
  using Records = std::function<std::vector<JaegerTrace>(const std::string& dir)>;
  auto ids = [](const std::vector<Names>& list) -> Records {
    return [list](const std::string&) { return make_records(list); };
  };
  struct Case {
    const char* name;
    std::function<void(const std::string& dir)> setup;
    Records records;
    std::string trace_ids;
    std::function<std::string(const std::string& dir)> err;
    std::function<void(const std::string& dir)> check;  // the files left behind
    bool unprivileged = false;                          // run without root's exemption from permission bits
    std::string base;                                   // below the temporary folder; empty: the folder itself
  };
  const std::string long_id(256, 'x');
  const Case cases[] = {
      {"file named Jaeger", [](const std::string& d) { write_file(d + "/Jaeger", "x"); }, ids({{"a"}}), "",
       [](const std::string&) {
         return std::string(R"(failed to create folder: Os { code: 17, kind: AlreadyExists, message: "File exists" })");
       },
       [](const std::string& d) { EXPECT_EQ(read_file(d + "/Jaeger"), "x"); }},
      {"missing base folder", nullptr, ids({{"a"}}), "",
       [](const std::string&) {
         return std::string(
             R"(failed to create folder: Os { code: 2, kind: NotFound, message: "No such file or directory" })");
       },
       [](const std::string& d) { EXPECT_EQ(list_folder(d), Names{}); }, false, "/nope"},
      {"empty record, even when not selected", nullptr,
       [](const std::string&) {
         std::vector<JaegerTrace> r = make_records({{"a"}});
         r.emplace_back();
         return r;
       },
       "zzz", [](const std::string&) { return std::string("Can not write an empty JaegerTrace"); },
       [](const std::string& d) { expect_jaeger_holds(d, {}); }},
      {"ID climbing out of the folder", nullptr, ids({{"ok"}, {"../x"}}), "",
       [](const std::string&) { return unsafe("../x"); },
       [](const std::string& d) {
         expect_jaeger_holds(d, {"ok.json"});
         EXPECT_FALSE(exists(d + "/x.json"));
       }},
      {"absolute ID", nullptr, [](const std::string& d) { return make_records({{d + "/abs"}}); }, "",
       [](const std::string& d) { return unsafe(d + "/abs"); },
       [](const std::string& d) {
         expect_jaeger_holds(d, {});
         EXPECT_FALSE(exists(d + "/abs.json"));
       }},
      {"ID naming a subfolder that exists",
       [](const std::string& d) {
         make_jaeger(d);
         ::mkdir((d + "/Jaeger/a").c_str(), 0777);
       },
       ids({{"a/b"}}), "", [](const std::string&) { return unsafe("a/b"); },
       [](const std::string& d) { EXPECT_EQ(list_folder(d + "/Jaeger/a"), Names{}); }},
      {"NUL in the ID: the whole name is shown, no cut-off name is written", nullptr, ids({{"a\\u0000b"}}), "",
       [](const std::string& d) {
         return create_error(d, std::string("a\0b.json", 8), "file name contained an unexpected NUL byte");
       },
       [](const std::string& d) { expect_jaeger_holds(d, {}); }},
      {"folder of that name",
       [](const std::string& d) {
         make_jaeger(d);
         ::mkdir((d + "/Jaeger/a.json").c_str(), 0777);
       },
       ids({{"a"}}), "", [](const std::string& d) { return create_error(d, "a.json", "Is a directory (os error 21)"); },
       [](const std::string& d) { expect_jaeger_holds(d, {"a.json"}); }},
      {"name too long", nullptr, ids({{long_id}}), "",
       [long_id](const std::string& d) {
         return create_error(d, long_id + ".json", "File name too long (os error 36)");
       },
       [](const std::string& d) { expect_jaeger_holds(d, {}); }},
      {"existing file not writable",
       [](const std::string& d) {
         make_jaeger(d);
         write_file(d + "/Jaeger/a.json", "OLD");
         ::chmod((d + "/Jaeger/a.json").c_str(), 0444);
       },
       ids({{"a"}}), "",
       [](const std::string& d) { return create_error(d, "a.json", "Permission denied (os error 13)"); },
       [](const std::string& d) {
         EXPECT_EQ(read_file(d + "/Jaeger/a.json"), "OLD");
         EXPECT_EQ(mode_of(d + "/Jaeger/a.json"), static_cast<mode_t>(S_IFREG | 0444));
       },
       true},
      {"output folder not writable",
       [](const std::string& d) {
         make_jaeger(d);
         ::chmod((d + "/Jaeger").c_str(), 0555);
       },
       ids({{"a"}}), "",
       [](const std::string& d) { return create_error(d, "a.json", "Permission denied (os error 13)"); },
       [](const std::string& d) { expect_jaeger_holds(d, {}); }, true},
      {"path that is not UTF-8 in an error",
       [](const std::string& d) {
         ::mkdir((d + "/\xff").c_str(), 0777);
         make_jaeger(d + "/\xff");
         ::mkdir((d + "/\xff/Jaeger/a.json").c_str(), 0777);
       },
       ids({{"a"}}), "", [](const std::string&) { return std::string("Failed to show file_path"); },
       [](const std::string& d) { expect_jaeger_holds(d + "/\xff", {"a.json"}); }, false, "/\xff"},
      {"path that is not UTF-8 in the notice", [](const std::string& d) { ::mkdir((d + "/\xff").c_str(), 0777); },
       ids({{"a", "b"}}), "", [](const std::string&) { return std::string("Failed to show file_path"); },
       [](const std::string& d) { expect_jaeger_holds(d + "/\xff", {}); }, false, "/\xff"},
      {"rendering fails: the earlier file stays",
       [](const std::string& d) {
         make_jaeger(d);
         write_file(d + "/Jaeger/a.json", "EARLIER");
       },
       [](const std::string&) {
         std::vector<JaegerTrace> r;
         r.push_back(testing::record_with_tag_value("a", JsonValue::from_double(std::nan(""))));
         return r;
       },
       "",
       [](const std::string& d) {
         return "Failed to create json for file: '" + d + "/Jaeger/a.json'. Received error:\tnumber is not finite";
       },
       [](const std::string& d) {
         EXPECT_EQ(read_file(d + "/Jaeger/a.json"), "EARLIER");
         expect_jaeger_holds(d, {"a.json"});
       }},
  };

  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string& d = dir.path();
    if (c.setup) c.setup(d);
    if (c.unprivileged) hand_to_nobody(d);
    std::vector<JaegerTrace> records = c.records(d);
    testing::CapturedStdout capture;
    std::string message;
    {
      std::unique_ptr<AsNobody> nobody = c.unprivileged ? std::make_unique<AsNobody>() : nullptr;
      message = stop_message([&] { write_traces(d + c.base, std::move(records), c.trace_ids, posix_system()); });
    }
    EXPECT_EQ(message, c.err(d));
    EXPECT_EQ(capture.text(), "");
    if (c.check) c.check(d);
    EXPECT_FALSE(has_temp_files(d + c.base + "/Jaeger"));
  }
}

// ---------------------------------------------------------------------------
// Each system call of the write path failing, through the seam.

TEST(WriteTraces, EachStepOfTheWritePathFailing) {
  // Records "a" and "b" replace earlier files; the failures hit b's calls
  // (each step is called once per file), the folder's calls come first.
  struct Case {
    const char* name;
    std::vector<Failure> failures;
    std::string err;  // after "{folder}/Jaeger/", or the whole text; empty: the run completes
    bool a_written = true;
    bool folder_exists = true;
  };
  const std::string b_create = "b.json'. Received error:\t";
  const std::string b_write = "b.json failed with error:\t";
  const Case cases[] = {
      {"folder can't be made",
       {{Call::MakeFolder, 1, EACCES}},
       R"(failed to create folder: Os { code: 13, kind: PermissionDenied, message: "Permission denied" })",
       false,
       false},
      // A folder that can't be looked at is made, which fails as it exists.
      {"folder can't be looked at",
       {{Call::Stat, 1, EACCES}},
       R"(failed to create folder: Os { code: 17, kind: AlreadyExists, message: "File exists" })",
       false},
      {"name can't be looked at", {{Call::StatusAt, 2, EACCES}}, b_create + "Permission denied (os error 13)"},
      {"earlier file can't be written",
       {{Call::CheckWritableAt, 2, EROFS}},
       b_create + "Read-only file system (os error 30)"},
      {"staged file can't be made", {{Call::CreateFileAt, 2, EMFILE}}, b_create + "Too many open files (os error 24)"},
      {"mode can't be set", {{Call::ChangeMode, 2, EPERM}}, b_create + "Operation not permitted (os error 1)"},
      {"write fails", {{Call::WriteAll, 2, ENOSPC}}, b_write + "No space left on device (os error 28)"},
      {"write takes no byte", {{Call::WriteAll, 2, 0}}, b_write + "failed to write whole buffer"},
      {"close fails", {{Call::Close, 2, EIO}}, b_write + "Input/output error (os error 5)"},
      {"interrupted close is not retried", {{Call::Close, 2, EINTR}}, b_write + "Interrupted system call (os error 4)"},
      {"rename fails", {{Call::RenameAt, 2, EXDEV}}, b_create + "Invalid cross-device link (os error 18)"},
      // The first fault is the one shown; the staged file goes with its folder.
      {"removing the staged file fails too",
       {{Call::WriteAll, 2, EDQUOT}, {Call::RemoveFileAt, 1, EIO}},
       b_write + "Disk quota exceeded (os error 122)"},
      // Nothing can be staged: the first file's creation reports it.
      {"output folder can't be held",
       {{Call::HoldFolder, 1, EACCES}},
       "a.json'. Received error:\tPermission denied (os error 13)",
       false},
      {"staging folder can't be made",
       {{Call::MakeFolderAt, 1, ENOSPC}},
       "a.json'. Received error:\tNo space left on device (os error 28)",
       false},
      // A link, a file, a folder this user may not write at each staging name: the last is named.
      {"every staging name in the way",
       {{Call::HoldFolderAt, 1, ELOOP}, {Call::HoldFolderAt, 2, ENOTDIR}, {Call::MakeFolderAt, 4, EACCES}},
       ".spansift-staging-2'. Received error:\tPermission denied (os error 13)",
       false},
      // Nothing is lost: every name was read.
      {"listing dead runs can't be closed", {{Call::CloseListing, 1, EIO}}, ""},
      {"run folder's name taken: another is drawn", {{Call::MakeFolderAt, 2, EEXIST}}, ""},
      {"no locks on this file system: staged unlocked", {{Call::TryLock, 1, ENOLCK}}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string jaeger = dir / "Jaeger";
    if (c.folder_exists) {
      ::mkdir(jaeger.c_str(), 0777);
      write_file(jaeger + "/a.json", "EARLIER a");
      write_file(jaeger + "/b.json", "EARLIER b");
    }
    testing::FaultySystem system;
    system.failures = c.failures;
    std::string message = stop_message([&] {
      EXPECT_EQ(write_traces(dir.path(), make_records({{"a"}, {"b"}}), "", system), 2u);
    });

    if (c.err.empty()) {
      EXPECT_EQ(message, "");
    } else if (c.err.find("error:\t") != std::string::npos) {
      EXPECT_EQ(message, (c.err.find("Received") != std::string::npos ? "Failed to create file: '" + jaeger + "/"
                                                                      : "Write to path " + jaeger + "/") +
                             c.err);
    } else {
      EXPECT_EQ(message, c.err);
    }
    if (!c.folder_exists) {
      EXPECT_FALSE(exists(jaeger));
      continue;
    }
    EXPECT_EQ(read_file(jaeger + "/a.json"), c.a_written ? file_text("a", "r0") : "EARLIER a");
    EXPECT_EQ(read_file(jaeger + "/b.json"), c.err.empty() ? file_text("b", "r1") : "EARLIER b");
    EXPECT_FALSE(has_temp_files(jaeger));
    EXPECT_EQ(list_folder(jaeger).size(), 2u);
  }
}

// The real write, once: a pipe of one page read a little at a time, and a
// signal without SA_RESTART that keeps coming while the writer waits, so that
// its writes are cut short or interrupted before a byte is taken.
std::atomic<int> signals_taken{0};

// The real calls, on a descriptor made elsewhere (a pipe's end).
struct PipeSystem : PosixSystem {
  File adopt(int fd) { return make_file(fd); }
};

TEST(PosixSystem, WriteAllGoesOnThroughShortAndInterruptedWrites) {
  struct sigaction action = {};
  struct sigaction saved = {};
  action.sa_handler = [](int) { ++signals_taken; };
  ASSERT_EQ(::sigaction(SIGUSR1, &action, &saved), 0);
  int pipe_ends[2];
  ASSERT_EQ(::pipe2(pipe_ends, O_CLOEXEC), 0);
  ASSERT_EQ(::fcntl(pipe_ends[1], F_SETPIPE_SZ, 4096), 4096);
  std::string text;
  for (int i = 0; i < (1 << 18); ++i) text += static_cast<char>('a' + i % 26);

  std::string got;
  std::thread reader([&, writer = ::pthread_self()] {
    char buffer[1000];
    ssize_t n;
    do {
      ::pthread_kill(writer, SIGUSR1);
      n = ::read(pipe_ends[0], buffer, sizeof buffer);
      if (n > 0) got.append(buffer, static_cast<std::size_t>(n));
    } while (n > 0 || (n < 0 && errno == EINTR));  // ends once the writer has closed its end
  });
  PipeSystem system;
  File file = system.adopt(pipe_ends[1]);
  Status written = system.write_all(file, text);
  EXPECT_TRUE(file.close().ok());
  reader.join();
  ::close(pipe_ends[0]);
  ::sigaction(SIGUSR1, &saved, nullptr);

  EXPECT_TRUE(written.ok()) << written.display();
  EXPECT_EQ(got.size(), text.size());
  EXPECT_TRUE(got == text);
  EXPECT_GT(signals_taken.load(), 0);
}

// ---------------------------------------------------------------------------
// Through the built binary: the same guarantees hold for a whole run.

TEST(WriteTracesRun, UnsafeIdStopsAndNothingLandsOutsideJaeger) {
  TempDir dir;
  ::mkdir((dir / "in").c_str(), 0777);
  write_file(dir / "in/export.json", testing::export_json({item_json("ok"), item_json("../escape")}));
  testing::RunResult r = testing::run_spansift({dir / "in"});
  EXPECT_EQ(r.status, 101);
  EXPECT_EQ(r.err, unsafe("../escape") + "\n");
  EXPECT_NE(r.out.find("Extracted 2 traces from 1 files.\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("Written"), std::string::npos);
  EXPECT_EQ(list_folder(dir / "in/Jaeger"), Names{"ok.json"});
  EXPECT_EQ(list_folder(dir.path()), Names{"in"});
}

TEST(WriteTracesRun, FailedWriteKeepsTheEarlierFileAndLeavesNoTempFile) {
  TempDir dir;
  write_file(dir / "export.json", testing::export_json({item_json("abc")}));
  ::mkdir((dir / "Jaeger").c_str(), 0777);
  write_file(dir / "Jaeger/abc.json", "EARLIER");
  testing::RunOptions options;
  options.in_child = [] {
    // Left at its default, the signal of a write past the limit would end
    // the process: the program itself must ignore it.
    ::signal(SIGXFSZ, SIG_DFL);
    rlimit limit{64, 64};
    ::setrlimit(RLIMIT_FSIZE, &limit);
  };
  testing::RunResult r = testing::run_spansift({dir / "export.json"}, options);
  EXPECT_EQ(r.status, 101);
  EXPECT_EQ(r.err,
            "Write to path " + dir.path() + "/Jaeger/abc.json failed with error:\tFile too large (os error 27)\n");
  EXPECT_EQ(read_file(dir / "Jaeger/abc.json"), "EARLIER");
  EXPECT_EQ(list_folder(dir / "Jaeger"), Names{"abc.json"});
}

TEST(WriteTracesRun, PlantedLinkIsReplacedAndItsTargetKept) {
  TempDir dir;
  write_file(dir / "export.json", testing::export_json({item_json("abc")}));
  write_file(dir / "target.txt", "KEEP");
  ::mkdir((dir / "Jaeger").c_str(), 0777);
  ASSERT_EQ(::symlink("../target.txt", (dir / "Jaeger/abc.json").c_str()), 0);
  testing::RunResult r = testing::run_spansift({dir / "export.json"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(r.out.ends_with("Written 1 traces to folder Jaeger.\n")) << r.out;
  EXPECT_EQ(read_file(dir / "target.txt"), "KEEP");
  EXPECT_TRUE(S_ISREG(mode_of(dir / "Jaeger/abc.json")));
  EXPECT_TRUE(read_file(dir / "Jaeger/abc.json").starts_with("{\n  \"data\": [\n    {\n      \"traceID\": \"abc\","));
}

}  // namespace
}  // namespace spansift
