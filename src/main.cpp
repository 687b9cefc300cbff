// spansift: writes every trace of Jaeger exports (or a selection of them) into
// a file of its own as pretty-printed JSON.
#include <charconv>
#include <csignal>
#include <cstdint>
#include <exception>
#include <new>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>

#include <CLI/CLI.hpp>

#include "raw/json/reader_mode.h"
#include "raw/read_folder.h"
#include "raw/write_pipeline.h"
#include "utils/file.h"
#include "utils/interrupt.h"
#include "utils/messages.h"
#include "utils/report.h"
#include "utils/simd/kernels.h"
#include "utils/stop.h"
#include "utils/system.h"
#include "utils/text.h"
#include "utils/workers.h"

namespace {

namespace messages = spansift::messages;

constexpr int kUsageErrorStatus = 2;
constexpr int kFaultStatus = 101;

struct Args {
  std::string input;
  std::string trace_ids;
  std::int64_t timezone_minutes = 120;
};

// The whole text must be a base-10 int64. CLI11's own conversion goes through
// strtoll with base 0, which would read "010" as octal and reject "08".
std::optional<std::int64_t> parse_int64(const std::string& text) {
  std::int64_t value = 0;
  const char* end = text.data() + text.size();
  auto [stop_at, error] = std::from_chars(text.data(), end, value, 10);
  if (error != std::errc{} || stop_at != end) return std::nullopt;
  return value;
}

CLI::Validator utf8_text() {
  // An empty description keeps the validator out of the help's value names.
  return CLI::Validator(
      [](std::string& value) -> std::string {
        return spansift::is_valid_utf8(value) ? std::string{} : messages::kNotUtf8Value;
      },
      "");
}

CLI::Validator decimal_int64() {
  return CLI::Validator(
      [](std::string& value) -> std::string {
        if (parse_int64(value)) return {};
        return messages::not_decimal_int64(value);
      },
      "");
}

// The command definition. `timezone_text` receives the raw -z value, which is
// converted only after the parse has validated it.
void define_command(CLI::App& app, Args& args, std::string& timezone_text) {
  app.set_help_flag("-h,--help", messages::kHelpHelp);
  app.set_version_flag("-V,--version", messages::kVersion, messages::kVersionHelp);

  app.add_option("INPUT", args.input)
      ->type_name("")
      ->required()
      ->check(utf8_text())
      ->multi_option_policy(CLI::MultiOptionPolicy::Throw);

  app.add_option("-t,--trace-ids", args.trace_ids, messages::kTraceIdsHelp)
      ->type_name("TRACE_IDS")
      ->check(utf8_text())
      ->multi_option_policy(CLI::MultiOptionPolicy::Throw);

  app.add_option("-z,--timezone-minutes", timezone_text)
      ->type_name("TIMEZONE_MINUTES")
      ->check(decimal_int64())
      ->default_val("120")
      ->multi_option_policy(CLI::MultiOptionPolicy::Throw);
}

// Parses the command line into `args`, or returns the exit status when the
// process should end here (help, version, usage error).
std::optional<int> parse_command_line(int argc, char** argv, Args& args, spansift::System& system) {
  CLI::App app{messages::kAbout, messages::kName};
  std::string timezone_text;
  define_command(app, args, timezone_text);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    std::ostringstream out;
    std::ostringstream err;
    int status = app.exit(error, out, err);
    // Help and version go through the same checked writer as every other line.
    spansift::print_stdout(system, out.str());
    (void)system.write_stderr(err.str());
    return status == 0 ? 0 : kUsageErrorStatus;
  }
  args.timezone_minutes = *parse_int64(timezone_text);
  return std::nullopt;
}

// Traces are written while the exports are read, and put in place once all
// of them have been read (raw/write_pipeline.h); the run's threads, made here
// once, stage them and read ahead of the reader (utils/workers.h).
int run(const Args& args, spansift::System& system) {
  spansift::check_reader_setting();
  spansift::simd::check_kernel_setting();
  spansift::RunOutput output(system);
  spansift::Workers workers(spansift::default_worker_count(), spansift::Workers::Ahead::kWhenFree);
  spansift::WritePipeline writer(args.trace_ids, system, workers);
  spansift::ReadResult read = spansift::read_file_or_folder(args.input, system, output, &writer, &workers);
  output.print(messages::extracted_summary(read.trace_count, read.file_count));
  std::uint64_t written = writer.commit();
  output.print(messages::written_summary(written));
  return 0;
}

// The one way a run ends on a fault: its message on standard error.
int fault(spansift::System& system, std::string_view message) {
  std::string line(message);
  line += '\n';
  (void)system.write_stderr(line);  // nowhere left to report a failure
  return kFaultStatus;
}

}  // namespace

int main(int argc, char** argv) {
  // A closed output pipe must surface as a failed write, not kill the process.
  std::signal(SIGPIPE, SIG_IGN);
  // So must a file-size limit (ulimit -f) on redirected output or on a trace
  // file: the write fails with EFBIG and the run stops with its message, the
  // trace file's temporary file removed.
  std::signal(SIGXFSZ, SIG_IGN);
  // The one seam to the system, passed to everything below.
  spansift::System& system = spansift::posix_system();
  try {
    // Before any other thread: files staged by the workers are removed when
    // an interrupt ends the run.
    spansift::start_interrupt_thread();
    Args args;
    if (std::optional<int> status = parse_command_line(argc, argv, args, system)) return *status;
    return run(args, system);
  } catch (const spansift::Stop& stop) {
    return fault(system, stop.message());
  } catch (const std::bad_alloc&) {
    return fault(system, spansift::messages::kOutOfMemory);
  } catch (const std::exception& error) {
    // A library's own exception stops the run the same way instead of
    // ending the process by abort.
    return fault(system, error.what());
  }
}
