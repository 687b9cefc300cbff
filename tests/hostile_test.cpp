// Hostile inputs and a hostile environment, through the built binary: whatever
// a file, a folder or the system does, the run ends with a clear message and
// status, never a crash or a hang, and nothing lands outside Jaeger.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <poll.h>
#include <sched.h>
#include <string>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "test_util.h"

namespace spansift::testing {
namespace {

// AddressSanitizer reserves terabytes of address space and runs the reader
// unoptimised: address-space limits can't apply to it.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

// Every path under `root`, relative to it, folders with a trailing "/";
// links are listed, not followed.
std::vector<std::string> tree(const std::string& root, const std::string& prefix = "") {
  std::vector<std::string> paths;
  std::string folder = root;
  if (!prefix.empty()) folder.append("/").append(prefix);
  for (const std::string& name : list_folder(folder)) {
    std::string relative = prefix;
    if (!relative.empty()) relative += '/';
    relative += name;
    struct stat st;
    if (::lstat(std::string(root).append("/").append(relative).c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      paths.push_back(relative + "/");
      std::vector<std::string> below = tree(root, relative);
      paths.insert(paths.end(), below.begin(), below.end());
    } else {
      paths.push_back(relative);
    }
  }
  return paths;
}

std::string summary(std::size_t extracted, std::size_t files, std::size_t written) {
  return "Extracted " + std::to_string(extracted) + " traces from " + std::to_string(files) + " files.\nWritten " +
         std::to_string(written) + " traces to folder Jaeger.\n";
}

std::string unsafe(const std::string& id) {
  return "Unsafe trace ID '" + id + "': a trace ID used as a file name must not contain '/'\n";
}

// ---------------------------------------------------------------------------
// Trace IDs that name other places.

TEST(HostileIds, NothingIsCreatedOutsideJaeger) {
  struct Case {
    const char* name;
    std::string id_json;  // as written in the export
    std::string id;       // as decoded
    int status;
    std::vector<std::string> written;  // besides ok.json, in Jaeger
  };
  const std::string l250(250, 'x'), l251(251, 'x'), l255(255, 'x'), l256(256, 'x');
  ASSERT_FALSE(exists("/abs")) << "the absolute ID's target must not exist beforehand";
  const Case cases[] = {
      {"parent", "../x", "../x", 101, {}},
      {"grandparent", "../../x", "../../x", 101, {}},
      {"absolute", "/abs/x", "/abs/x", 101, {}},
      {"subfolder", "a/b", "a/b", 101, {}},
      {"escaped slash", "..\\/..\\/x", "../../x", 101, {}},
      {"empty", "", "", 0, {".json"}},
      {"dot", ".", ".", 0, {"..json"}},
      {"dot dot", "..", "..", 0, {"...json"}},
      {"newline", "a\\nb", "a\nb", 0, {"a\nb.json"}},
      {"NUL", "a\\u0000b", std::string("a\0b", 3), 101, {}},
      {"name of 255 bytes", l250, l250, 0, {l250 + ".json"}},
      {"name of 256 bytes", l251, l251, 101, {}},
      {"ID of 255 bytes", l255, l255, 101, {}},
      {"ID of 256 bytes", l256, l256, 101, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    // Two levels down, so that "../../x" would still land inside the temporary folder.
    ::mkdir((dir / "d").c_str(), 0777);
    ::mkdir((dir / "d/in").c_str(), 0777);
    write_file(dir / "d/in/export.json", export_json({item_json("ok"), item_json(c.id_json)}));
    RunResult r = run_spansift({dir / "d/in"});

    const std::string jaeger = dir / "d/in/Jaeger";
    EXPECT_EQ(r.status, c.status) << r.err;
    if (c.status == 0) {
      EXPECT_EQ(r.err, "");
      EXPECT_TRUE(r.out.ends_with(summary(2, 1, 2))) << r.out;
    } else if (c.id.find('/') != std::string::npos) {
      EXPECT_EQ(r.err, unsafe(c.id));
    } else if (c.id.find('\0') != std::string::npos) {
      EXPECT_EQ(r.err, "Failed to create file: '" + jaeger + "/" + c.id +
                           ".json'. Received error:\tfile name contained an unexpected NUL byte\n");
    } else {
      EXPECT_EQ(r.err, "Failed to create file: '" + jaeger + "/" + c.id +
                           ".json'. Received error:\tFile name too long (os error 36)\n");
    }
    std::vector<std::string> expected = {"d/", "d/in/", "d/in/Jaeger/"};
    for (const std::string& name : c.written) expected.push_back("d/in/Jaeger/" + name);
    expected.push_back("d/in/Jaeger/ok.json");
    expected.push_back("d/in/export.json");
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(tree(dir.path()), expected);
  }
  EXPECT_FALSE(exists("/abs"));
}

// ---------------------------------------------------------------------------
// Deep nesting and large values.

std::string nested(std::size_t depth, char open) {
  char close = open == '[' ? ']' : '}';
  if (open == '[') return std::string(depth, '[') + std::string(depth, ']');
  std::string text;
  for (std::size_t i = 0; i < depth; ++i) text += "{\"a\":";
  text += "1";
  return text + std::string(depth, close);
}

TEST(HostileValues, DeepNestingNeverOverflowsTheStack) {
  // Skipped values may nest to any depth; built ones stop at 127 levels.
  const bool deep_ok = true;
  struct Case {
    const char* name;
    std::string span;
    bool reads;
  } cases[] = {
      {"arrays in a skipped key", span_json({.tag_value = "1", .extra = ",\"skip\":" + nested(100000, '[')}), deep_ok},
      {"objects in a skipped key", span_json({.tag_value = "1", .extra = ",\"skip\":" + nested(100000, '{')}), deep_ok},
      {"arrays in a tag value", span_json({.tag_value = nested(100000, '[')}), false},
      {"objects in a tag value", span_json({.tag_value = nested(100000, '{')}), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string text = export_json({item_json("deep", c.span)});
    write_file(dir / "deep.json", text);
    RunResult r = run_spansift({dir / "deep.json"});
    if (c.reads) {
      EXPECT_EQ(r.status, 0) << r.err;
      EXPECT_EQ(list_folder(dir / "Jaeger"), std::vector<std::string>{"deep.json"});
      continue;
    }
    EXPECT_EQ(r.status, 101);
    // A built value is refused at its 121st level (the document is level 1,
    // the tag value level 8); a skipped one where the reader's depth ends.
    std::size_t opened = text.find(c.name[0] == 'a' ? "[[" : "{\"a\":{");
    ASSERT_NE(opened, std::string::npos);
    std::size_t step = c.name[0] == 'a' ? 1 : 5;
    bool built = std::string(c.name).find("tag value") != std::string::npos;
    if (built) {
      EXPECT_EQ(r.err, "Error(\"recursion limit exceeded\", line: 1, column: " +
                           std::to_string(opened + 120 * step + 1) + ")\n");
    } else {
      EXPECT_EQ(r.err.rfind("Error(\"recursion limit exceeded\", line: 1, column: ", 0), 0u) << r.err;
    }
    EXPECT_FALSE(exists(dir / "Jaeger"));
  }
}

// The output file of trace `id` whose one tag holds `tag_value`.
std::string written_for(const std::string& id, const std::string& tag_value) {
  TempDir dir;
  write_file(dir / "x.json", export_json({item_json(id, span_json({.tag_value = tag_value}))}));
  RunResult r = run_spansift({dir / "x.json"});
  EXPECT_EQ(r.status, 0) << r.err;
  return read_file(dir / ("Jaeger/" + id + ".json"));
}

// Writes `text` with its one "@" replaced by `count` copies of `fill`.
void write_expanded(const std::string& path, const std::string& text, std::size_t count, char fill) {
  std::size_t at = text.find('@');
  std::ofstream out(path, std::ios::binary);
  out.write(text.data(), static_cast<std::streamsize>(at));
  std::string block(1u << 20, fill);
  for (std::size_t left = count; left > 0;) {
    std::size_t n = std::min(left, block.size());
    out.write(block.data(), static_cast<std::streamsize>(n));
    left -= n;
  }
  out.write(text.data() + at + 1, static_cast<std::streamsize>(text.size() - at - 1));
}

TEST(HostileValues, LargeStringKeyAndObject) {
  TempDir dir;
  const std::size_t kString = 200u << 20;
  const std::string big_key(1u << 20, 'k');
  std::string members;  // 1,000,000 members, given in descending key order
  for (int i = 999999; i >= 0; --i) {
    char key[24];
    std::snprintf(key, sizeof key, "\"m%06d\":%d", i, i);
    members += members.empty() ? "" : ",";
    members += key;
  }
  write_expanded(dir / "big.json",
                 export_json({item_json("string", span_json({.tag_value = "\"@\""})),
                              item_json("key", span_json({.tag_value = "{\"" + big_key + "\":1,\"a\":2}"})),
                              item_json("obj", span_json({.tag_value = "{" + members + "}"}))}),
                 kString, 'x');
  RunResult r = run_spansift({dir / "big.json"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(r.out.ends_with(summary(3, 1, 3))) << r.out;

  // The string comes out whole, in place of a one-byte one.
  std::string small = written_for("string", "\"x\"");
  std::string written = read_file(dir / "Jaeger/string.json");
  ASSERT_EQ(written.size(), small.size() + kString - 1);
  std::size_t at = small.find("\"x\"") + 1;
  EXPECT_EQ(written.compare(0, at, small, 0, at), 0);
  EXPECT_TRUE(std::all_of(written.begin() + at, written.begin() + at + kString, [](char ch) { return ch == 'x'; }));
  EXPECT_EQ(written.compare(at + kString, std::string::npos, small, at + 1), 0);
  written.clear();

  // The long key sorts after "a".
  std::string key = read_file(dir / "Jaeger/key.json");
  std::size_t a = key.find("\"a\": 2");
  std::size_t k = key.find("\"" + big_key + "\": 1");
  EXPECT_NE(a, std::string::npos);
  EXPECT_NE(k, std::string::npos);
  EXPECT_LT(a, k);

  // Every member, in ascending order.
  std::string object = read_file(dir / "Jaeger/obj.json");
  std::size_t count = 0;
  std::size_t pos = object.find("\"m");
  std::string previous;
  while (pos != std::string::npos) {
    std::string name = object.substr(pos + 1, 7);
    if (count > 0 && !(previous < name)) {
      ADD_FAILURE() << previous << " before " << name;
      break;
    }
    previous = name;
    ++count;
    pos = object.find("\"m", pos + 9);
  }
  EXPECT_EQ(count, 1000000u);
  EXPECT_NE(object.find("\"m000000\": 0,"), std::string::npos);
  EXPECT_NE(object.find("\"m999999\": 999999\n"), std::string::npos);
}

TEST(HostileValues, NumbersOfTenThousandDigits) {
  const std::string digits(10000, '7');
  struct Case {
    const char* name;
    std::string span;
    std::string err;    // empty: the run completes
    std::string value;  // the tag value written
  } cases[] = {
      {"integer as a tag value", span_json({.tag_value = digits}), "number out of range", ""},
      {"integer in a skipped key", span_json({.tag_value = "1", .extra = ",\"skip\":" + digits}), "", "1"},
      {"fraction in a skipped key",
       span_json({.tag_value = "1", .extra = ",\"skip\":-" + digits + "." + digits + "e-400"}), "", "1"},
      {"fraction as a tag value", span_json({.tag_value = "0." + digits}), "", "0.7777777777777778"},
      {"exponent digits as a tag value", span_json({.tag_value = "1e-" + std::string(9999, '0') + "1"}), "", "0.1"},
      {"integer as startTime", span_json({.start_time = digits}), "number out of range", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string text = export_json({item_json("n", c.span)});
    write_file(dir / "n.json", text);
    RunResult r = run_spansift({dir / "n.json"});
    if (c.err.empty()) {
      EXPECT_EQ(r.status, 0) << r.err;
      EXPECT_NE(read_file(dir / "Jaeger/n.json").find("\"value\": " + c.value + "\n"), std::string::npos);
    } else {
      EXPECT_EQ(r.status, 101);
      EXPECT_EQ(r.err.rfind("Error(\"" + c.err + "\", line: 1, column: ", 0), 0u) << r.err;
      EXPECT_FALSE(exists(dir / "Jaeger"));
    }
  }
}

// ---------------------------------------------------------------------------
// What a folder may hold besides export files.

TEST(HostileFolder, SpecialFilesArePassedOverUnopened) {
  TempDir dir;
  const std::string in = dir / "in";
  ::mkdir(in.c_str(), 0777);
  write_file(in + "/a.json", export_json({item_json("a")}));
  ASSERT_EQ(::mkfifo((in + "/fifo.json").c_str(), 0666), 0);
  int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(sock, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::string sock_path = in + "/socket.json";
  ASSERT_LT(sock_path.size(), sizeof address.sun_path);
  std::memcpy(address.sun_path, sock_path.c_str(), sock_path.size() + 1);
  ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ::listen(sock, 1);
  ASSERT_EQ(::symlink("/dev/zero", (in + "/zero.json").c_str()), 0);
  ASSERT_EQ(::symlink(".", (in + "/self.json").c_str()), 0);
  // A device node of its own where the system allows it.
  bool device = ::mknod((in + "/device.json").c_str(), S_IFCHR | 0666, makedev(1, 5)) == 0;

  RunOptions options;
  // An opened FIFO would wait for a writer and /dev/zero never ends: either
  // would hang the run, which the alarm turns into a failure.
  options.in_child = [] { ::alarm(60); };
  RunResult r = run_spansift({in}, options);
  ::close(sock);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, "Reading all traces from folder: " + in + "\nReading a Jaeger-trace from '" + in +
                       "/a.json'\nAbout to read trace via serde\nRead 1 traces in total from 1 files.\n" +
                       summary(1, 1, 1));
  std::vector<std::string> names = {"Jaeger", "a.json", "fifo.json", "self.json", "socket.json", "zero.json"};
  if (device) names.insert(names.begin() + 2, "device.json");
  EXPECT_EQ(list_folder(in), names);
  EXPECT_EQ(list_folder(in + "/Jaeger"), std::vector<std::string>{"a.json"});
}

TEST(HostileFolder, LinkLoopsStopTheRun) {
  struct Case {
    const char* name;
    bool input_is_link;
    std::string err;
  } cases[] = {
      {"a loop in the folder", false,
       "Os { code: 40, kind: FilesystemLoop, message: \"Too many levels of symbolic links\" }\n"},
      {"a loop as the input", true, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string in = dir / "in";
    ::mkdir(in.c_str(), 0777);
    ASSERT_EQ(::symlink("loop2.json", (in + "/loop1.json").c_str()), 0);
    ASSERT_EQ(::symlink("loop1.json", (in + "/loop2.json").c_str()), 0);
    std::string input = c.input_is_link ? in + "/loop1.json" : in;
    RunResult r = run_spansift({input});
    EXPECT_EQ(r.status, 101);
    EXPECT_EQ(r.err,
              c.err.empty() ? " Expected file with extention '.json' or folder. Received: '" + input + "' \n" : c.err);
    EXPECT_EQ(list_folder(in), (std::vector<std::string>{"loop1.json", "loop2.json"}));
  }
}

// Runs spansift on `args` while `watched` is watched for `mask`; the first
// event that `trigger` accepts stops the process, `act` runs, and the process
// goes on. Returns whether `act` ran.
bool run_with_intervention(const std::vector<std::string>& args, const std::string& watched, std::uint32_t mask,
                           const std::function<bool(const inotify_event&)>& trigger, const std::function<void()>& act,
                           RunResult& result) {
  int notify = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (notify < 0 || ::inotify_add_watch(notify, watched.c_str(), mask) < 0) return false;
  int pid_pipe[2];
  if (::pipe2(pid_pipe, O_CLOEXEC) != 0) return false;
  std::atomic<bool> finished{false};
  std::atomic<bool> acted{false};

  std::thread watcher([&] {
    pid_t pid = 0;
    if (::read(pid_pipe[0], &pid, sizeof pid) != sizeof pid) return;
    alignas(inotify_event) char buffer[4096];
    while (!finished) {
      pollfd p{notify, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      ssize_t n = ::read(notify, buffer, sizeof buffer);
      for (ssize_t at = 0; at < n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        if (!trigger(*event)) continue;
        ::kill(pid, SIGSTOP);
        siginfo_t info{};
        ::waitid(P_PID, static_cast<id_t>(pid), &info, WSTOPPED | WNOWAIT);
        act();
        acted = true;
        ::kill(pid, SIGCONT);
        return;
      }
    }
  });

  RunOptions options;
  int write_end = pid_pipe[1];
  options.in_child = [write_end] {
    pid_t self = ::getpid();
    (void)!::write(write_end, &self, sizeof self);
    ::alarm(120);
  };
  result = run_spansift(args, options);
  finished = true;
  ::close(pid_pipe[1]);
  watcher.join();
  ::close(pid_pipe[0]);
  ::close(notify);
  return acted;
}

TEST(HostileFolder, EntryThatVanishesAfterTheListingStopsTheRun) {
  TempDir dir;
  const std::string in = dir / "in";
  ::mkdir(in.c_str(), 0777);
  // Large enough that the first file is still being read when it is stopped.
  const std::string text = export_json({item_json("x", span_json({.tag_value = "\"@\""}))});
  write_expanded(in + "/one.json", text, 32u << 20, 'x');
  write_expanded(in + "/two.json", text, 32u << 20, 'x');
  std::string first;
  RunResult r;
  bool acted = run_with_intervention(
      {in}, in, IN_OPEN,
      [&](const inotify_event& e) {
        if (e.len == 0 || (e.mask & IN_ISDIR)) return false;  // the folder itself being listed
        first = e.name;
        return true;
      },
      [&] { ::unlink((in + (first == "one.json" ? "/two.json" : "/one.json")).c_str()); }, r);
  ASSERT_TRUE(acted);
  EXPECT_EQ(r.status, 101);
  EXPECT_EQ(r.err, "Os { code: 2, kind: NotFound, message: \"No such file or directory\" }\n");
  EXPECT_EQ(r.out.find("Extracted"), std::string::npos) << r.out;
  EXPECT_EQ(list_folder(in), std::vector<std::string>{first});
}

TEST(HostileFolder, FileThatGrowsOrShrinksWhileStreamed) {
  const std::string pattern = export_json({item_json("x", span_json({.tag_value = "\"@\""}))});
  const std::size_t kString = 64u << 20;
  const std::size_t size = pattern.size() - 1 + kString;
  struct Case {
    const char* name;
    std::function<void(const std::string&)> change;
    std::string err;
  } cases[] = {
      {"grows",
       [](const std::string& p) {
         int fd = ::open(p.c_str(), O_WRONLY | O_APPEND);
         (void)!::write(fd, "x", 1);
         ::close(fd);
       },
       "Error(\"trailing characters\", line: 1, column: " + std::to_string(size + 1) + ")\n"},
      {"shrinks", [&](const std::string& p) { (void)!::truncate(p.c_str(), static_cast<off_t>(size / 2)); },
       "Error(\"EOF while parsing a string\", line: 1, column: " + std::to_string(size / 2) + ")\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string path = dir / "x.json";
    write_expanded(path, pattern, kString, 'x');
    int reads = 0;
    RunResult r;
    // The probe reads the file first, the stream next; the first read of
    // the stream is where the file changes.
    bool acted = run_with_intervention(
        {path}, path, IN_ACCESS, [&](const inotify_event&) { return ++reads == 2; }, [&] { c.change(path); }, r);
    ASSERT_TRUE(acted);
    EXPECT_EQ(r.status, 101);
    EXPECT_EQ(r.err, c.err);
    EXPECT_FALSE(exists(dir / "Jaeger"));
  }
}

// ---------------------------------------------------------------------------
// The output folder runs out of room.

// A small tmpfs mounted for the test's lifetime; empty path when the system won't.
class SmallFileSystem {
 public:
  SmallFileSystem(const std::string& at, const char* size) {
    if (::mkdir(at.c_str(), 0777) == 0 && ::mount("spansift-test", at.c_str(), "tmpfs", MS_NOSUID | MS_NODEV,
                                                  (std::string("size=") + size).c_str()) == 0) {
      path_ = at;
    }
  }
  ~SmallFileSystem() {
    if (!path_.empty()) ::umount2(path_.c_str(), MNT_DETACH);
  }
  SmallFileSystem(const SmallFileSystem&) = delete;
  SmallFileSystem& operator=(const SmallFileSystem&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

TEST(HostileOutput, NoRoomLeftStopsWithEarlierFilesIntact) {
  // "a" is small, "b" holds 600 KiB: a 1 MiB file system or a 300 KiB file
  // size limit has room for the export and a.json, not for b.json.
  const std::string export_text = export_json(
      {item_json("a"), item_json("b", span_json({.tag_value = "\"" + std::string(600u << 10, 'b') + "\""}))});
  const std::string a_json = written_for("a", "\"v\"");
  struct Case {
    const char* name;
    bool full_file_system;
    std::string reason;
  } cases[] = {
      {"full file system", true, "No space left on device (os error 28)"},
      {"file size limit", false, "File too large (os error 27)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    std::string base = dir / "out";
    std::unique_ptr<SmallFileSystem> small;
    if (c.full_file_system) {
      small = std::make_unique<SmallFileSystem>(base, "1m");
      if (small->path().empty()) {
        std::cout << "[ SKIPPED  ] no tmpfs may be mounted here\n";
        continue;
      }
    } else {
      ::mkdir(base.c_str(), 0777);
    }
    write_file(base + "/export.json", export_text);
    ::mkdir((base + "/Jaeger").c_str(), 0777);
    write_file(base + "/Jaeger/b.json", "EARLIER");
    RunOptions options;
    if (!c.full_file_system) {
      options.in_child = [] {
        rlimit limit{300u << 10, 300u << 10};
        ::setrlimit(RLIMIT_FSIZE, &limit);
      };
    }
    RunResult r = run_spansift({base + "/export.json"}, options);
    EXPECT_EQ(r.status, 101);
    EXPECT_EQ(r.err, "Write to path " + base + "/Jaeger/b.json failed with error:\t" + c.reason + "\n");
    EXPECT_EQ(r.out.find("Written"), std::string::npos);
    EXPECT_EQ(list_folder(base + "/Jaeger"), (std::vector<std::string>{"a.json", "b.json"}));
    EXPECT_EQ(read_file(base + "/Jaeger/a.json"), a_json);
    EXPECT_EQ(read_file(base + "/Jaeger/b.json"), "EARLIER");
    EXPECT_FALSE(has_temp_files(base + "/Jaeger"));
  }
}

// ---------------------------------------------------------------------------
// Standard output fails at each kind of line.

TEST(HostileOutput, StandardOutputFailsAtEachKindOfLine) {
  TempDir dir;
  // A long folder name puts every line past the size of a trace file, so
  // that the limit below stops standard output and nothing else.
  const std::string in = dir / std::string(150, 'f');
  ::mkdir(in.c_str(), 0777);
  write_file(in + "/a.json", export_json({item_json("a")}, R"("total":0,"limit":0,"offset":0,"errors":[{}])"));
  write_file(in + "/notes.txt", "not an export");

  RunResult full = run_spansift({in});
  ASSERT_EQ(full.status, 0) << full.err;
  // What the run may have done to a.json by the time the line fails (-1: not
  // looked at): a run that went on past the line would open or read it more.
  // After the last three lines something else shows that the run went on.
  struct Kind {
    const char* line;
    int opens;
    int reads;
  } kinds[] = {{"Reading all traces from folder: ", 0, 0},
               {"Ignore '", -1, -1},
               {"Reading a Jaeger-trace from '", 0, 0},
               {"About to read trace via serde", 1, 1},  // the one open and the probe's read
               {"Discovered errors: ", -1, -1},
               {"Read 1 traces in total", -1, -1},
               {"Extracted ", -1, -1},
               {"Written ", -1, -1}};
  for (const Kind& k : kinds) {
    const char* kind = k.line;
    SCOPED_TRACE(kind);
    std::size_t at = full.out.find(kind);
    ASSERT_NE(at, std::string::npos) << full.out;
    ASSERT_TRUE(at == 0 || full.out[at - 1] == '\n');
    std::filesystem::remove_all(in + "/Jaeger");
    RunOptions options;
    options.stdout_path = dir / "stdout";
    // The limit falls on the line's first byte. The signal of a write past
    // it is left at its default, which would end the process.
    options.in_child = [at] {
      // On one processor, as on several when no thread is free: each export
      // is read after its line (others may read a later export ahead).
      cpu_set_t cpus;
      CPU_ZERO(&cpus);
      CPU_SET(sched_getcpu(), &cpus);
      ::sched_setaffinity(0, sizeof cpus, &cpus);
      ::signal(SIGXFSZ, SIG_DFL);
      rlimit limit{at, at};
      ::setrlimit(RLIMIT_FSIZE, &limit);
    };
    int notify = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    ASSERT_GE(::inotify_add_watch(notify, (in + "/a.json").c_str(), IN_OPEN | IN_ACCESS), 0);
    RunResult r = run_spansift({in}, options);
    int opens = 0, reads = 0;
    alignas(inotify_event) char events[4096];
    for (ssize_t n; (n = ::read(notify, events, sizeof events)) > 0;) {
      for (ssize_t i = 0; i < n;) {
        const auto* e = reinterpret_cast<const inotify_event*>(events + i);
        opens += (e->mask & IN_OPEN) != 0;
        reads += (e->mask & IN_ACCESS) != 0;
        i += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
      }
    }
    ::close(notify);
    EXPECT_EQ(r.status, 101);
    EXPECT_EQ(r.err, "failed printing to stdout: File too large (os error 27)\n");
    EXPECT_EQ(read_file(dir / "stdout"), full.out.substr(0, at));
    if (k.opens >= 0) {
      EXPECT_EQ(opens, k.opens);
      EXPECT_EQ(reads, k.reads);
    }
    bool writing_done = std::string(kind) == "Written ";
    EXPECT_EQ(exists(in + "/Jaeger/a.json"), writing_done);
    if (writing_done) {
      EXPECT_GT(at, read_file(in + "/Jaeger/a.json").size()) << "the limit also cut the trace file";
    }
  }
}

// Creates, under `root`, folders that make a relative path of exactly
// `length` bytes holding one file `name` with `text`, and returns the path.
// Paths are walked one folder at a time: the whole may exceed PATH_MAX.
std::string file_at_depth(const std::string& root, std::size_t length, const std::string& name,
                          const std::string& text) {
  std::vector<std::string> parts;
  std::size_t total = 0;
  while (length - total > 201) {
    parts.push_back(std::string(200, 'd'));
    total += 201;
  }
  parts.push_back(std::string(length - total, 'e'));
  int fd = ::open(root.c_str(), O_DIRECTORY | O_CLOEXEC);
  std::string path;
  for (const std::string& part : parts) {
    ::mkdirat(fd, part.c_str(), 0777);
    int next = ::openat(fd, part.c_str(), O_DIRECTORY | O_CLOEXEC);
    ::close(fd);
    fd = next;
    path += (path.empty() ? "" : "/") + part;
  }
  int file = ::openat(fd, name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  (void)!::write(file, text.data(), text.size());
  ::close(file);
  ::close(fd);
  return path;
}

// Removes a tree too deep for whole paths.
void remove_deep(const std::string& root) { (void)!std::system(("rm -rf -- '" + root + "'").c_str()); }

TEST(HostileOutput, ClosedPipeAtEachKindOfLine) {
  // The first line meets a closed pipe in the command-line tests; here each
  // later kind of line is made to start at byte 4096 by the lengths of the
  // folder path (printed once or twice before it) and of the file name.
  const char* const kinds[] = {"Ignore '",
                               "Reading a Jaeger-trace from '",
                               "About to read trace via serde",
                               "Discovered errors: ",
                               "Read 1 traces in total",
                               "Extracted ",
                               "Written "};
  const std::string text = export_json({item_json("a")}, R"("total":0,"limit":0,"offset":0,"errors":[{}])");
  for (const char* kind : kinds) {
    SCOPED_TRACE(kind);
    bool ignored = std::string(kind) == "Ignore '";
    bool first_file_line = ignored || std::string(kind) == "Reading a Jaeger-trace from '";
    std::size_t path_length = 100, name_length = 10;
    std::string path;
    std::size_t at = 0;
    for (int attempt = 0; attempt < 2; ++attempt) {
      TempDir probe_dir;
      path = file_at_depth(probe_dir.path(), path_length, std::string(name_length, 'n') + (ignored ? ".txt" : ".json"),
                           text);
      RunOptions in_probe_dir;
      in_probe_dir.cwd = probe_dir.path();
      RunResult full = run_spansift({path}, in_probe_dir);
      remove_deep(probe_dir / "d");
      remove_deep(probe_dir / "e");
      at = full.out.find(kind);
      ASSERT_NE(at, std::string::npos) << full.out;
      if (at == 4096) break;
      // Before the first line of a file the path stands once; later, twice
      // and the file name once.
      std::size_t missing = 4096 - at;
      if (first_file_line) {
        path_length += missing;
      } else {
        path_length += missing / 2;
        name_length += missing % 2;
      }
    }
    ASSERT_EQ(at, 4096u);

    TempDir dir;
    path = file_at_depth(dir.path(), path_length, std::string(name_length, 'n') + (ignored ? ".txt" : ".json"), text);
    // Standard output is a pipe of one page that is never read; once the page
    // is full it is closed, so the write of the line at byte 4096 finds it closed.
    RunOptions options;
    options.cwd = dir.path();
    options.close_stdout_when_full = true;
    options.in_child = [] { ::alarm(120); };
    RunResult r = run_spansift({path}, options);
    EXPECT_EQ(r.status, 101);
    EXPECT_EQ(r.err, "failed printing to stdout: Broken pipe (os error 32)\n");
    // Jaeger is made after "Extracted" and before "Written".
    struct stat st;
    int at_folder = ::open(dir.path().c_str(), O_DIRECTORY | O_CLOEXEC);
    bool made = ::fstatat(at_folder, (path + "/Jaeger").c_str(), &st, 0) == 0;
    ::close(at_folder);
    EXPECT_EQ(made, std::string(kind) == "Written ");
    remove_deep(dir / "d");
    remove_deep(dir / "e");
  }
}

// ---------------------------------------------------------------------------
// Too little memory.

TEST(HostileEnvironment, MemoryLimitStopsCleanly) {
  if (kSanitized) GTEST_SKIP() << "the sanitizer's shadow memory does not fit under an address-space limit";
  if (!launcher().empty()) GTEST_SKIP() << "an address-space limit would bound the emulator, not the program";
  TempDir dir;
  // 64 MiB of one-digit numbers in one tag value: held as values, it needs
  // more than a gigabyte.
  std::string values;
  values.reserve(64u << 20);
  values += "[0";
  while (values.size() < (64u << 20)) values += ",0";
  values += "]";
  write_file(dir / "many.json", export_json({item_json("many", span_json({.tag_value = values}))}));
  values.clear();
  values.shrink_to_fit();

  struct Case {
    const char* name;
    rlim_t limit;
  } cases[] = {
      {"256 MiB", rlim_t(256) << 20},
      // Room for the program and its buffers, not for the values.
      {"768 MiB", rlim_t(768) << 20},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RunOptions options;
    rlim_t limit = c.limit;
    options.in_child = [limit] {
      rlimit as{limit, limit};
      ::setrlimit(RLIMIT_AS, &as);
      rlimit core{0, 0};  // a crash must show as a signal, not leave a core file behind
      ::setrlimit(RLIMIT_CORE, &core);
    };
    RunResult r = run_spansift({dir / "many.json"}, options);
    EXPECT_EQ(r.status, 101) << r.err;
    EXPECT_EQ(r.err, "out of memory\n");
    EXPECT_TRUE(r.out.ends_with("About to read trace via serde\n")) << r.out;
    EXPECT_FALSE(exists(dir / "Jaeger"));
  }
}

}  // namespace
}  // namespace spansift::testing
