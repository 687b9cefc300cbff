// Writing records into the output folder: files, bytes, modes, and every way
// the run stops. Stops end the process, so those cases run in a forked child.
#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <filesystem>
#include <functional>
#include <grp.h>
#include <memory>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "raw/json_write.h"
#include "raw/write.h"
#include "test_util.h"
#include "utils/file.h"

namespace spansift {
namespace {

using testing::TempDir;
using testing::exists;
using testing::list_folder;
using testing::read_file;
using testing::write_file;

// A record with one item per ID; `label` goes into each item's warnings so
// that records with the same ID render differently.
JaegerTrace make_record(const std::vector<std::string>& ids, const std::string& label = "") {
  auto arena = std::make_shared<Arena>();
  JaegerTrace trace;
  for (const std::string& id : ids) {
    JaegerItem item;
    item.traceID = arena->copy(id);
    item.warnings = arena->copy(std::vector<Text>{arena->copy(label)});
    trace.data.push_back(item);
  }
  trace.storage.push_back(arena);
  return trace;
}

std::vector<JaegerTrace> make_records(const std::vector<std::vector<std::string>>& ids) {
  std::vector<JaegerTrace> records;
  for (std::size_t i = 0; i < ids.size(); ++i) records.push_back(make_record(ids[i], "r" + std::to_string(i)));
  return records;
}

// A record whose rendering fails: a tag value that JSON can't express.
JaegerTrace make_unrenderable_record(const std::string& id) {
  auto arena = std::make_shared<Arena>();
  JaegerTag tag;
  tag.key = arena->copy(std::string_view("k"));
  tag.type = arena->copy(std::string_view("float64"));
  tag.value = JsonValue::from_double(std::nan(""));
  JaegerSpan span;
  span.tags = arena->copy(std::vector<JaegerTag>{tag});
  JaegerItem item;
  item.traceID = arena->copy(id);
  item.spans = arena->copy(std::vector<JaegerSpan>{span});
  JaegerTrace trace;
  trace.data.push_back(item);
  trace.storage.push_back(arena);
  return trace;
}

struct ChildResult {
  std::string out;
  std::string err;
  int status = -1;  // exit status, or 128 + signal
};

std::string read_all(int fd) {
  std::string text;
  char buffer[4096];
  while (true) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return text;
}

// Runs `body` in a forked child with stdout and stderr captured through
// pipes (not files, so that a file-size limit set in the child spares them).
ChildResult run_in_child(const std::function<void()>& body) {
  int out_pipe[2];
  int err_pipe[2];
  if (::pipe(out_pipe) != 0 || ::pipe(err_pipe) != 0) throw std::runtime_error("pipe failed");
  pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    ::dup2(out_pipe[1], STDOUT_FILENO);
    ::dup2(err_pipe[1], STDERR_FILENO);
    ::close(out_pipe[0]);
    ::close(err_pipe[0]);
    body();
    _exit(0);
  }
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);
  ChildResult result;
  // The texts are small, well below a pipe's capacity.
  result.out = read_all(out_pipe[0]);
  result.err = read_all(err_pipe[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

mode_t mode_of(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return 0;
  return st.st_mode;
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

void become_nobody() {
  if (::geteuid() != 0) return;
  if (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) _exit(120);
}

bool no_temp_files(const std::string& folder) {
  for (const std::string& name : list_folder(folder)) {
    if (name.rfind(".spansift-", 0) == 0) return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Runs that complete.

TEST(WriteTraces, WritesOneFilePerSelectedRecord) {
  struct File {
    std::string name;
    int record = -1;          // holds the rendering of this record...
    std::string bytes = "";   // ...or, with record -1, these bytes
  };
  struct Case {
    const char* name;
    std::vector<std::pair<std::string, std::string>> existing;  // files in Jaeger before the run
    std::vector<std::vector<std::string>> records;
    std::string trace_ids;
    std::uint64_t count;
    std::vector<File> files;  // everything in Jaeger afterwards, sorted by name
  };
  const Case cases[] = {
      {"empty list", {}, {}, "", 0, {}},
      {"no ID matches", {}, {{"a"}, {"b"}}, "c,d", 0, {}},
      {"lone comma selects all", {}, {{"a"}, {"b"}}, ",", 2, {{"a.json", 0}, {"b.json", 1}}},
      {"blank kept in selection", {}, {{"a"}, {"b"}}, "b, a", 1, {{"b.json", 1}}},
      {"case matters", {}, {{"abc"}, {"ABC"}}, "ABC", 1, {{"ABC.json", 1}}},
      {"same ID twice: second wins, both counted", {}, {{"x"}, {"x"}}, "", 2, {{"x.json", 1}}},
      {"dot names are plain names", {}, {{""}, {"."}, {".."}}, "", 3,
       {{"...json", 2}, {"..json", 1}, {".json", 0}}},
      {"unselected unsafe ID is passed over", {}, {{"../x"}, {"ok"}}, "ok", 1, {{"ok.json", 1}}},
      {"older files kept, same name replaced", {{"old.json", "OLD"}, {"a.json", "STALE"}}, {{"a"}}, "", 1,
       {{"a.json", 0}, {"old.json", -1, "OLD"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string jaeger = dir / "Jaeger";
    if (!c.existing.empty()) ::mkdir(jaeger.c_str(), 0777);
    for (const auto& [name, bytes] : c.existing) write_file(jaeger + "/" + name, bytes);

    std::vector<JaegerTrace> records = make_records(c.records);
    std::vector<std::string> rendered;
    for (const JaegerTrace& r : records) rendered.push_back(to_pretty_json(r));

    ::testing::internal::CaptureStdout();
    std::uint64_t count = write_traces(dir.path(), std::move(records), c.trace_ids);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(count, c.count);

    std::vector<std::string> expected_names;
    for (const File& f : c.files) expected_names.push_back(f.name);
    EXPECT_EQ(list_folder(jaeger), expected_names);
    for (const File& f : c.files) {
      SCOPED_TRACE(f.name);
      EXPECT_EQ(read_file(jaeger + "/" + f.name), f.record >= 0 ? rendered[f.record] : f.bytes);
    }
  }
}

TEST(WriteTraces, BaseFolderForms) {
  {
    SCOPED_TRACE("trailing slash");
    TempDir dir;
    write_traces(dir.path() + "/", make_records({{"a"}}), "");
    EXPECT_TRUE(exists(dir / "Jaeger/a.json"));
  }
  {
    SCOPED_TRACE("empty base is the working folder");
    TempDir dir;
    ChildResult r = run_in_child([&] {
      if (::chdir(dir.path().c_str()) != 0) _exit(3);
      _exit(write_traces("", make_records({{"a"}}), "") == 1 ? 0 : 4);
    });
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(exists(dir / "Jaeger/a.json"));
  }
}

TEST(WriteTraces, ReleasesEveryRecord) {
  TempDir dir;
  std::vector<JaegerTrace> records = make_records({{"a"}, {"b"}});
  std::weak_ptr<const Arena> written = records[0].storage[0];
  std::weak_ptr<const Arena> passed_over = records[1].storage[0];
  write_traces(dir.path(), std::move(records), "a");
  EXPECT_TRUE(records.empty());
  EXPECT_TRUE(written.expired());
  EXPECT_TRUE(passed_over.expired());
}

TEST(WriteTraces, NewFilesFollowUmaskReplacedFilesKeepTheirMode) {
  TempDir dir;
  const std::string jaeger = dir / "Jaeger";
  ::mkdir(jaeger.c_str(), 0777);
  write_file(jaeger + "/old.json", "OLD");
  ::chmod((jaeger + "/old.json").c_str(), 0604);

  mode_t saved = ::umask(027);
  write_traces(dir.path(), make_records({{"new"}, {"old"}}), "");
  ::umask(saved);

  EXPECT_EQ(mode_of(jaeger + "/new.json") & 07777, 0640u);
  EXPECT_EQ(mode_of(jaeger + "/old.json") & 07777, 0604u);
  EXPECT_NE(read_file(jaeger + "/old.json"), "OLD");
}

TEST(WriteTraces, PlantedLinksAreReplacedNotWrittenThrough) {
  TempDir dir;
  const std::string jaeger = dir / "Jaeger";
  ::mkdir(jaeger.c_str(), 0777);
  write_file(dir / "target.txt", "KEEP");
  ASSERT_EQ(::symlink((dir / "target.txt").c_str(), (jaeger + "/a.json").c_str()), 0);
  ASSERT_EQ(::symlink("../dangling-target", (jaeger + "/b.json").c_str()), 0);

  std::vector<JaegerTrace> records = make_records({{"a"}, {"b"}});
  std::string a_text = to_pretty_json(records[0]);
  EXPECT_EQ(write_traces(dir.path(), std::move(records), ""), 2u);

  EXPECT_TRUE(S_ISREG(mode_of(jaeger + "/a.json")));
  EXPECT_TRUE(S_ISREG(mode_of(jaeger + "/b.json")));
  EXPECT_EQ(read_file(jaeger + "/a.json"), a_text);
  EXPECT_EQ(read_file(dir / "target.txt"), "KEEP");
  EXPECT_FALSE(exists(dir / "dangling-target"));
}

TEST(WriteTraces, MultiItemRecordNoticeAndFirstIdNamesTheFile) {
  TempDir dir;
  std::vector<JaegerTrace> records;
  records.push_back(make_record({"first", "second"}));
  std::string text = to_pretty_json(records[0]);

  ::testing::internal::CaptureStdout();
  EXPECT_EQ(write_traces(dir.path(), std::move(records), ""), 1u);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "this JaegerTrace contains 2 traces, however writing all traces to " + dir.path() +
                "/Jaeger/first.json based on the first trace_id.\n");
  EXPECT_EQ(list_folder(dir / "Jaeger"), std::vector<std::string>{"first.json"});
  EXPECT_EQ(read_file(dir / "Jaeger/first.json"), text);
}

// ---------------------------------------------------------------------------
// Runs that stop.

struct StopCase {
  const char* name;
  std::function<void(const std::string& dir)> setup;
  std::function<std::vector<JaegerTrace>(const std::string& dir)> records;
  std::string trace_ids;
  std::function<std::string(const std::string& dir)> err;   // stderr, without the line feed
  std::function<void(const std::string& dir)> check;       // the files left behind
  bool unprivileged = false;  // run without root's exemption from permission bits
  std::function<void()> in_child = nullptr;
  std::string out = "";
  std::string base = "";  // below the temporary folder; empty: the folder itself
};

std::function<std::vector<JaegerTrace>(const std::string&)> ids(std::vector<std::vector<std::string>> list) {
  return [list](const std::string&) { return make_records(list); };
}

void make_jaeger(const std::string& dir) { ::mkdir((dir + "/Jaeger").c_str(), 0777); }

std::string create_error(const std::string& dir, const std::string& name, const std::string& reason) {
  return "Failed to create file: '" + dir + "/Jaeger/" + name + "'. Received error:\t" + reason;
}

std::string unsafe(const std::string& id) {
  return "Unsafe trace ID '" + id + "': a trace ID used as a file name must not contain '/'";
}

void expect_jaeger_holds(const std::string& dir, std::vector<std::string> names) {
  EXPECT_EQ(list_folder(dir + "/Jaeger"), names);
}

TEST(WriteTraces, StopsWithTheStepsMessage) {
  const std::string long_id(256, 'x');
  const StopCase cases[] = {
      {"file named Jaeger",
       [](const std::string& d) { write_file(d + "/Jaeger", "x"); },
       ids({{"a"}}), "",
       [](const std::string&) { return "failed to create folder: " + OsError{EEXIST}.detail(); },
       [](const std::string& d) { EXPECT_EQ(read_file(d + "/Jaeger"), "x"); }},
      {"missing base folder",
       nullptr, ids({{"a"}}), "",
       [](const std::string&) { return "failed to create folder: " + OsError{ENOENT}.detail(); },
       [](const std::string& d) { EXPECT_EQ(list_folder(d), std::vector<std::string>{}); },
       false, nullptr, "", "/nope"},
      {"empty record, even when not selected",
       nullptr,
       [](const std::string&) {
         std::vector<JaegerTrace> r = make_records({{"a"}});
         r.emplace_back();
         return r;
       },
       "zzz",
       [](const std::string&) { return std::string("Can not write an empty JaegerTrace"); },
       [](const std::string& d) { expect_jaeger_holds(d, {}); }},
      {"ID climbing out of the folder",
       nullptr, ids({{"ok"}, {"../x"}}), "",
       [](const std::string&) { return unsafe("../x"); },
       [](const std::string& d) {
         expect_jaeger_holds(d, {"ok.json"});
         EXPECT_FALSE(exists(d + "/x.json"));
       }},
      {"absolute ID",
       nullptr,
       [](const std::string& d) { return make_records({{d + "/abs"}}); }, "",
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
       ids({{"a/b"}}), "",
       [](const std::string&) { return unsafe("a/b"); },
       [](const std::string& d) { EXPECT_EQ(list_folder(d + "/Jaeger/a"), std::vector<std::string>{}); }},
      {"NUL in the ID: the whole name is shown, no cut-off name is written",
       nullptr, ids({{std::string("a\0b", 3)}}), "",
       [](const std::string& d) {
         return create_error(d, std::string("a\0b.json", 8), "file name contained an unexpected NUL byte");
       },
       [](const std::string& d) { expect_jaeger_holds(d, {}); }},
      {"folder of that name",
       [](const std::string& d) {
         make_jaeger(d);
         ::mkdir((d + "/Jaeger/a.json").c_str(), 0777);
       },
       ids({{"a"}}), "",
       [](const std::string& d) { return create_error(d, "a.json", "Is a directory (os error 21)"); },
       [](const std::string& d) { expect_jaeger_holds(d, {"a.json"}); }},
      {"name too long",
       nullptr, ids({{long_id}}), "",
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
         EXPECT_EQ(mode_of(d + "/Jaeger/a.json") & 0777, 0444u);
       },
       true},
      {"output folder not writable",
       [](const std::string& d) {
         make_jaeger(d);
         ::chmod((d + "/Jaeger").c_str(), 0555);
       },
       ids({{"a"}}), "",
       [](const std::string& d) { return create_error(d, "a.json", "Permission denied (os error 13)"); },
       [](const std::string& d) { expect_jaeger_holds(d, {}); },
       true},
      {"path that is not UTF-8 in an error",
       [](const std::string& d) {
         make_jaeger(d);
         ::mkdir((d + "/Jaeger/\xff.json").c_str(), 0777);
       },
       ids({{"\xff"}}), "",
       [](const std::string&) { return std::string("Failed to show file_path"); },
       nullptr},
      {"path that is not UTF-8 in the notice",
       nullptr, ids({{"\xff", "b"}}), "",
       [](const std::string&) { return std::string("Failed to show file_path"); },
       [](const std::string& d) { expect_jaeger_holds(d, {}); }},
      {"rendering fails: the earlier file stays",
       [](const std::string& d) {
         make_jaeger(d);
         write_file(d + "/Jaeger/a.json", "EARLIER");
       },
       [](const std::string&) {
         std::vector<JaegerTrace> r;
         r.push_back(make_unrenderable_record("a"));
         return r;
       },
       "",
       nullptr,  // the error text is the renderer's; the prefix is checked below
       [](const std::string& d) {
         EXPECT_EQ(read_file(d + "/Jaeger/a.json"), "EARLIER");
         expect_jaeger_holds(d, {"a.json"});
       }},
      {"write fails part way: the earlier file stays",
       [](const std::string& d) {
         make_jaeger(d);
         write_file(d + "/Jaeger/a.json", "EARLIER");
       },
       ids({{"a"}}), "",
       [](const std::string& d) {
         return "Write to path " + d + "/Jaeger/a.json failed with error:\tFile too large (os error 27)";
       },
       [](const std::string& d) {
         EXPECT_EQ(read_file(d + "/Jaeger/a.json"), "EARLIER");
         expect_jaeger_holds(d, {"a.json"});
       },
       false,
       [] {
         // Small enough that the text needs a partial write and then fails;
         // SIGXFSZ is left at its default, which would kill the process.
         ::signal(SIGXFSZ, SIG_DFL);
         rlimit limit{16, 16};
         ::setrlimit(RLIMIT_FSIZE, &limit);
       }},
  };

  for (const StopCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string d = dir.path();
    if (c.setup) c.setup(d);
    if (c.unprivileged) hand_to_nobody(d);
    const std::string base = d + c.base;
    ChildResult r = run_in_child([&] {
      if (c.unprivileged) become_nobody();
      if (c.in_child) c.in_child();
      write_traces(base, c.records(d), c.trace_ids);
      _exit(0);
    });
    EXPECT_EQ(r.status, 101);
    if (c.err) {
      EXPECT_EQ(r.err, c.err(d) + "\n");
    } else {
      EXPECT_EQ(r.err.rfind("Failed to create json for file: '" + d + "/Jaeger/a.json'. Received error:\t", 0), 0u)
          << r.err;
    }
    EXPECT_EQ(r.out, c.out);
    if (c.check) c.check(d);
    if (exists(d + "/Jaeger")) {
      EXPECT_TRUE(no_temp_files(d + "/Jaeger"));
    }
  }
}

// ---------------------------------------------------------------------------
// Through the built binary: the same guarantees hold for a whole run.

std::string export_json(const std::vector<std::string>& trace_ids) {
  std::string json = "{\"data\":[";
  for (std::size_t i = 0; i < trace_ids.size(); ++i) {
    if (i > 0) json += ",";
    json += "{\"traceID\":\"" + trace_ids[i] + "\",\"spans\":[],\"processes\":{}}";
  }
  return json + "],\"total\":0,\"limit\":0,\"offset\":0}";
}

const char kSummaryDone[] = "Written 1 traces to folder Jaeger.\n";

TEST(WriteTracesRun, UnsafeIdStopsAndNothingLandsOutsideJaeger) {
  TempDir dir;
  ::mkdir((dir / "in").c_str(), 0777);
  write_file(dir / "in/export.json", export_json({"ok", "../escape"}));
  testing::RunResult r = testing::run_spansift({dir / "in"});
  EXPECT_EQ(r.status, 101);
  EXPECT_EQ(r.err, unsafe("../escape") + "\n");
  EXPECT_NE(r.out.find("Extracted 2 traces from 1 files.\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("Written"), std::string::npos);
  EXPECT_EQ(list_folder(dir / "in/Jaeger"), std::vector<std::string>{"ok.json"});
  EXPECT_EQ(list_folder(dir.path()), std::vector<std::string>{"in"});
}

TEST(WriteTracesRun, FailedWriteKeepsTheEarlierFileAndLeavesNoTempFile) {
  TempDir dir;
  write_file(dir / "export.json", export_json({"abc"}));
  ::mkdir((dir / "Jaeger").c_str(), 0777);
  write_file(dir / "Jaeger/abc.json", "EARLIER");
  testing::RunOptions options;
  options.in_child = [] {
    ::signal(SIGXFSZ, SIG_DFL);
    rlimit limit{64, 64};
    ::setrlimit(RLIMIT_FSIZE, &limit);
  };
  testing::RunResult r = testing::run_spansift({dir / "export.json"}, options);
  EXPECT_EQ(r.status, 101);
  EXPECT_EQ(r.err, "Write to path " + dir.path() + "/Jaeger/abc.json failed with error:\tFile too large (os error 27)\n");
  EXPECT_EQ(read_file(dir / "Jaeger/abc.json"), "EARLIER");
  EXPECT_EQ(list_folder(dir / "Jaeger"), std::vector<std::string>{"abc.json"});
}

TEST(WriteTracesRun, PlantedLinkIsReplacedAndItsTargetKept) {
  TempDir dir;
  write_file(dir / "export.json", export_json({"abc"}));
  write_file(dir / "target.txt", "KEEP");
  ::mkdir((dir / "Jaeger").c_str(), 0777);
  ASSERT_EQ(::symlink("../target.txt", (dir / "Jaeger/abc.json").c_str()), 0);
  testing::RunResult r = testing::run_spansift({dir / "export.json"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(r.out.ends_with(kSummaryDone)) << r.out;
  EXPECT_EQ(read_file(dir / "target.txt"), "KEEP");
  EXPECT_TRUE(S_ISREG(mode_of(dir / "Jaeger/abc.json")));
  EXPECT_EQ(read_file(dir / "Jaeger/abc.json").rfind("{\n  \"data\": [\n    {\n      \"traceID\": \"abc\",", 0), 0u);
}

}  // namespace
}  // namespace spansift
