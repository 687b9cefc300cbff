// End-to-end runs of the built binary: the command line, the exit statuses,
// the summary lines and failures of standard output.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <vector>

#include "test_util.h"

namespace spansift::testing {
namespace {

using Args = std::vector<std::string>;

std::string describe(const Args& args) {
  std::string text = "args:";
  for (const std::string& a : args) text += " [" + a + "]";
  return text;
}

RunOptions in_folder(const TempDir& cwd) {
  RunOptions options;
  options.cwd = cwd.path();
  return options;
}

RunOptions with_stdout(const TempDir& cwd, const std::string& path) {
  RunOptions options = in_folder(cwd);
  options.stdout_path = path;
  return options;
}

RunOptions with_closed_pipe(const TempDir& cwd) {
  RunOptions options = in_folder(cwd);
  options.close_stdout_pipe_early = true;
  return options;
}

constexpr const char* kEmptySummary =
    "Extracted 0 traces from 0 files.\nWritten 0 traces to folder Jaeger.\n";

TEST(CliHelp, ShortAndLongPrintTheSameHelpAndTouchNothing) {
  TempDir cwd;
  RunResult long_form = run_spansift({"--help", "."}, in_folder(cwd));
  RunResult short_form = run_spansift({"-h"}, in_folder(cwd));

  EXPECT_EQ(long_form.status, 0);
  EXPECT_EQ(long_form.err, "");
  EXPECT_EQ(long_form.out, short_form.out);
  EXPECT_EQ(short_form.status, 0);
  for (const char* piece :
       {"Show the Jaeger-traces, or a selection of jaeger-traces, as Pretty-printed JSON in UTF-8 format",
        "spansift", "INPUT", "-t,--trace-ids TRACE_IDS", "The default sources is the current folder",
        "-z,--timezone-minutes TIMEZONE_MINUTES", "-h,--help", "Print help", "-V,--version",
        "Print version"}) {
    EXPECT_NE(long_form.out.find(piece), std::string::npos) << piece << "\n" << long_form.out;
  }
  EXPECT_TRUE(list_folder(cwd.path()).empty());
}

TEST(CliVersion, PrintsOneLineAndReadsNothing) {
  TempDir cwd;
  for (const Args& args : {Args{"-V"}, Args{"--version"}, Args{".", "--version"}}) {
    SCOPED_TRACE(describe(args));
    RunResult r = run_spansift(args, in_folder(cwd));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "spansift 0.2.2\n");
    EXPECT_EQ(r.err, "");
  }
  EXPECT_TRUE(list_folder(cwd.path()).empty());
}

// Every case names "." (the empty temporary folder) as the input where it
// gives one, so a command line wrongly accepted would leave a Jaeger folder.
TEST(CliUsage, ErrorsGoToStderrWithStatus2AndCreateNothing) {
  const std::vector<Args> cases = {
      {},
      {"--unknown", "."},
      {"-x", "."},
      {".", "second"},
      {".", "-t"},
      {".", "--trace-ids"},
      {".", "-z"},
      {".", "-t", "a", "-t", "b"},
      {".", "-t", "a", "--trace-ids", "a"},
      {".", "-z", "1", "-z", "1"},
      {".", "--timezone-minutes", "5", "-z", "5"},
      {".\xff"},
      {".", "-t", "abc\xc3"},
      {".", "--trace-ids", "\xc0\xaf"},
      {".", "-z", "abc"},
      {".", "-z", "1.5"},
      {".", "-z", "9223372036854775808"},
      {".", "--timezone-minutes", "-9223372036854775809"},
      {".", "-z", ""},
      {".", "-z", "+5"},
      {".", "-z", "0x10"},
      {".", "-z", "1e3"},
      {".", "-z", " 5"},
      {".", "-z", "5 "},
  };
  TempDir cwd;
  for (const Args& args : cases) {
    SCOPED_TRACE(describe(args));
    RunResult r = run_spansift(args, in_folder(cwd));
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err, "");
    EXPECT_TRUE(list_folder(cwd.path()).empty());
  }
}

TEST(CliRun, EmptyFolderPrintsBothSummaryLinesWithZeroCounts) {
  TempDir cwd;
  ::mkdir((cwd / "in").c_str(), 0755);
  RunResult r = run_spansift({"in"}, in_folder(cwd));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(r.out.ends_with(kEmptySummary)) << r.out;
  EXPECT_EQ(list_folder(cwd / "in"), std::vector<std::string>{"Jaeger"});
  EXPECT_TRUE(list_folder(cwd / "in/Jaeger").empty());
}

// -z is validated but has no effect; decimal text with leading zeros is decimal.
TEST(CliRun, AnyValidTimezoneGivesTheSameRun) {
  TempDir cwd;
  ::mkdir((cwd / "in").c_str(), 0755);
  RunResult plain = run_spansift({"in"}, in_folder(cwd));
  ASSERT_EQ(plain.status, 0) << plain.err;
  for (const char* minutes :
       {"120", "0", "-5", "08", "-0", "9223372036854775807", "-9223372036854775808"}) {
    SCOPED_TRACE(minutes);
    RunResult r = run_spansift({"in", "-z", minutes}, in_folder(cwd));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, plain.out);
    EXPECT_EQ(r.err, "");
  }
}

// The kernels this processor has, as a run names them.
std::string kernels_here() {
#if defined(__x86_64__)
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt") ? "portable, sse2, avx2"
                                                                            : "portable, sse2";
#elif defined(__aarch64__)
  return "portable, neon";
#else
  return "portable";
#endif
}

// SPANSIFT_READER and SPANSIFT_KERNELS choose how the reader is put
// together, never what it reads; a value not known, or kernels the processor
// lacks, stop the run before anything is read.
TEST(CliRun, SettingsOfTheReaderChangeNothingButAnUnknownOneStops) {
  const std::string example = source_dir() + "/examples/checkout-two-traces.json";
  const std::string unknown_reader = "' is not a known setting (known: general)\n";
  const std::string unknown_kernels = "' names no kernels of this processor (it has: " + kernels_here() + ")\n";
  const struct {
    const char* variable;
    const char* value;
    std::string error;  // after the variable and the value; empty for a run that writes
  } cases[] = {
      {"SPANSIFT_READER", "", ""},
      {"SPANSIFT_READER", "general", ""},
      {"SPANSIFT_KERNELS", "portable", ""},
      {"SPANSIFT_KERNELS", "", ""},
      {"SPANSIFT_READER", "General", unknown_reader},
      {"SPANSIFT_READER", "straight", unknown_reader},
      {"SPANSIFT_KERNELS", "mmx", unknown_kernels},
#if defined(__x86_64__)
      {"SPANSIFT_KERNELS", "sse2", ""},
      {"SPANSIFT_KERNELS", "neon", unknown_kernels},
#elif defined(__aarch64__)
      {"SPANSIFT_KERNELS", "neon", ""},
      {"SPANSIFT_KERNELS", "avx2", unknown_kernels},
#endif
  };
  std::string written;
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.variable) + "=" + c.value);
    TempDir cwd;
    write_file(cwd / "export.json", read_file(example));
    RunOptions options = in_folder(cwd);
    options.in_child = [&c] { ::setenv(c.variable, c.value, 1); };
    RunResult r = run_spansift({"export.json"}, options);
    if (c.error.empty()) {
      EXPECT_EQ(r.status, 0) << r.err;
      EXPECT_TRUE(r.out.ends_with("Written 2 traces to folder Jaeger.\n")) << r.out;
      const std::string file = read_file(cwd / "Jaeger/00f067aa0ba902b7.json");
      if (written.empty()) written = file;
      EXPECT_EQ(file, written);
    } else {
      EXPECT_EQ(r.status, 101);
      EXPECT_EQ(r.out, "");
      EXPECT_EQ(r.err, std::string(c.variable) + "='" + c.value + c.error);
      EXPECT_EQ(list_folder(cwd.path()), std::vector<std::string>{"export.json"});
    }
  }
}

TEST(CliRun, TraceIdsReachTheWriterUnchanged) {
  const std::string example = source_dir() + "/examples/checkout-two-traces.json";
  const std::vector<std::string> both = {"00f067aa0ba902b7.json", "4bf92f3577b34da6a3ce929d0e0e4736.json"};
  struct Case {
    Args options;
    std::vector<std::string> files;
  };
  for (const Case& c : {Case{{}, both}, Case{{"-t", ""}, both},
                        Case{{"--trace-ids", "00f067aa0ba902b7"}, {"00f067aa0ba902b7.json"}},
                        Case{{"-t", "nothing-like-it"}, {}}}) {
    SCOPED_TRACE(describe(c.options));
    TempDir cwd;
    write_file(cwd / "export.json", read_file(example));
    Args args = {"export.json"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    RunResult r = run_spansift(args, in_folder(cwd));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.out.ends_with("Extracted 2 traces from 1 files.\nWritten " +
                                     std::to_string(c.files.size()) + " traces to folder Jaeger.\n"))
        << r.out;
    EXPECT_EQ(list_folder(cwd / "Jaeger"), c.files);
  }
}

// A trace that the IDs leave out is still read and checked whole: a fault
// deep inside it ends the run as it would without them, and writes nothing,
// whether the export is read on its own or among small ones read ahead whole.
TEST(CliRun, AFaultInATraceLeftOutStillEndsTheRun) {
  const std::string text = testing::export_json(
      {testing::item_json("a"), testing::item_json("b", testing::span_json({.tag_value = R"("\u12")"}))});
  for (const char* input : {"export.json", "in"}) {
    std::string first_out;
    for (const Args& options : {Args{}, Args{"-t", "a"}, Args{"-t", "c"}}) {
      SCOPED_TRACE(std::string(input) + " " + describe(options));
      TempDir cwd;
      write_file(cwd / "export.json", text);
      ::mkdir((cwd / "in").c_str(), 0755);
      write_file(cwd / "in/a.json", testing::export_json({testing::item_json("a")}));
      write_file(cwd / "in/b.json", text);
      write_file(cwd / "in/c.json", testing::export_json({testing::item_json("c")}));
      Args args = {input};
      args.insert(args.end(), options.begin(), options.end());
      RunResult r = run_spansift(args, in_folder(cwd));
      EXPECT_EQ(r.status, 101);
      EXPECT_EQ(r.err, "Error(\"invalid escape\", line: 1, column: 403)\n");
      if (first_out.empty()) first_out = r.out;
      EXPECT_EQ(r.out, first_out);
      EXPECT_EQ(list_folder(cwd.path()), (std::vector<std::string>{"export.json", "in"}));
    }
  }
}

// `make run` works on examples/, so every bundled export must read and write.
TEST(CliRun, BundledExamplesAreWrittenInFull) {
  TempDir cwd;
  for (const std::string& name : list_folder(source_dir() + "/examples")) {
    if (name.ends_with(".json")) write_file(cwd / name, read_file(source_dir() + "/examples/" + name));
  }
  RunResult r = run_spansift({"."}, in_folder(cwd));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(r.out.ends_with("Extracted 5 traces from 4 files.\nWritten 5 traces to folder Jaeger.\n")) << r.out;
  EXPECT_EQ(list_folder(cwd / "Jaeger"),
            (std::vector<std::string>{"00f067aa0ba902b7.json", "2db17286b3e6b148.json", "410a7dbc6d6cfeb6.json",
                                      "4bf92f3577b34da6a3ce929d0e0e4736.json", "cf46871fbf4f262b.json"}));
}

TEST(CliStdout, FullDeviceStopsWith101) {
  TempDir cwd;
  ::mkdir((cwd / "in").c_str(), 0755);
  for (const Args& args : {Args{"--version"}, Args{"--help"}, Args{"in"}}) {
    SCOPED_TRACE(describe(args));
    RunResult r = run_spansift(args, with_stdout(cwd, "/dev/full"));
    EXPECT_EQ(r.status, 101);
    EXPECT_EQ(r.err, "failed printing to stdout: No space left on device (os error 28)\n");
  }
}

TEST(CliStdout, ClosedPipeStopsWith101NotBySignal) {
  TempDir cwd;
  ::mkdir((cwd / "in").c_str(), 0755);
  for (const Args& args : {Args{"--version"}, Args{"in"}}) {
    SCOPED_TRACE(describe(args));
    RunResult r = run_spansift(args, with_closed_pipe(cwd));
    EXPECT_EQ(r.status, 101);
    EXPECT_EQ(r.err, "failed printing to stdout: Broken pipe (os error 32)\n");
  }
}

}  // namespace
}  // namespace spansift::testing
