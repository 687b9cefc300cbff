// Every text that a run prints, files in the report log or stops with.
//
// These are kept byte for byte on purpose: scripts and users match on them,
// unusual spellings included ("extention", "sources is", "via serde", the
// unbalanced quote of "Ignore '{path} as ...", the blanks around the
// "Expected file" message). Change one only to change the program's output.
// The forms of system errors are OsError's (utils/file.h) and those of read
// errors ReadError's (raw/json_read.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace spansift::messages {

inline std::string str(std::string_view text) { return std::string(text); }

// ---- The command line.
inline constexpr const char* kAbout =
    "Show the Jaeger-traces, or a selection of jaeger-traces, as Pretty-printed JSON in UTF-8 format";
inline constexpr const char* kName = "spansift";
inline constexpr const char* kVersion = "spansift 0.2.2";
inline constexpr const char* kHelpHelp = "Print help";
inline constexpr const char* kVersionHelp = "Print version";
inline constexpr const char* kTraceIdsHelp = "The default sources is the current folder";
inline constexpr const char* kNotUtf8Value = "the value is not valid UTF-8";
inline std::string not_decimal_int64(std::string_view value) {
  return "'" + str(value) + "' is not a decimal integer in the signed 64-bit range";
}

// ---- Standard output, one line each, line feed included except for the two
// lines filed under kRowStdout of the report log, which adds it.
inline std::string reading_input(std::string_view input) { return "Reading all traces from folder: " + str(input); }
inline std::string reading_file(std::string_view path) { return "Reading a Jaeger-trace from '" + str(path) + "'\n"; }
inline std::string ignored_file(std::string_view path) {
  return "Ignore '" + str(path) + " as it does not have suffix '.json'.\n";
}
inline std::string probe_failed(std::string_view error) { return "Failed reading BOM with error " + str(error) + "\n"; }
inline std::string probe_short(std::int64_t bytes) {
  return "Did read only " + std::to_string(bytes) + " bytes. At least 3 needed\n";
}
inline constexpr std::string_view kParsingUnmarked = "About to read trace via serde\n";
inline std::string discovered_errors(std::string_view list) { return "Discovered errors: " + str(list) + "\n"; }
inline std::string read_summary(std::size_t traces, std::int32_t files) {
  return "Read " + std::to_string(traces) + " traces in total from " + std::to_string(files) + " files.";
}
inline std::string extracted_summary(std::size_t traces, std::int32_t files) {
  return "Extracted " + std::to_string(traces) + " traces from " + std::to_string(files) + " files.\n";
}
inline std::string written_summary(std::uint64_t traces) {
  return "Written " + std::to_string(traces) + " traces to folder Jaeger.\n";
}
inline std::string multi_item_notice(std::size_t items, std::string_view path) {
  return "this JaegerTrace contains " + std::to_string(items) + " traces, however writing all traces to " + str(path) +
         " based on the first trace_id.\n";
}

// ---- The report log; `quoted_path` is the path in its quoted form.
inline std::string encoding_found(std::string_view quoted_path, std::string_view encoding, std::int64_t size) {
  return "File " + str(quoted_path) + ": Found encoding Encoding { " + str(encoding) +
         " } for a file with size: " + std::to_string(size);
}
inline std::string encoding_not_found(std::string_view quoted_path, std::string_view reason) {
  return "File " + str(quoted_path) + ": Failed to find encoding: " + str(reason);
}
inline constexpr const char* kNoBom = "No BOM";
inline std::string malformed_text(std::string_view quoted_path) {
  return "File " + str(quoted_path) + " returned a signal Malformed";
}

// ---- Stops: the one line on standard error, without its line feed.
inline std::string not_json_file_or_folder(std::string_view input) {
  return " Expected file with extention '.json' or folder. Received: '" + str(input) + "' ";
}
inline constexpr const char* kNoParent = "Could not extract parent of input_file";
inline constexpr const char* kPathNotText = "path-string";
inline std::string folder_unreadable(std::string_view detail) { return "Failed to read directory: " + str(detail); }
inline std::string entry_unreadable(std::string_view detail) { return "Failed to extract file-entry: " + str(detail); }
inline constexpr const char* kFileSizeTooLarge = "out of range integral type conversion attempted";
inline std::string file_size_error(std::string_view display) { return "file size: " + str(display); }
inline std::string folder_not_created(std::string_view detail) { return "failed to create folder: " + str(detail); }
inline constexpr const char* kEmptyRecord = "Can not write an empty JaegerTrace";
inline std::string unsafe_trace_id(std::string_view id) {
  return "Unsafe trace ID '" + str(id) + "': a trace ID used as a file name must not contain '/'";
}
inline constexpr const char* kPathNotShown = "Failed to show file_path";
inline std::string json_not_made(std::string_view path, std::string_view error) {
  return "Failed to create json for file: '" + str(path) + "'. Received error:\t" + str(error);
}
inline std::string file_not_created(std::string_view path, std::string_view reason) {
  return "Failed to create file: '" + str(path) + "'. Received error:\t" + str(reason);
}
inline std::string write_failed(std::string_view path, std::string_view reason) {
  return "Write to path " + str(path) + " failed with error:\t" + str(reason);
}
inline constexpr const char* kNulInName = "file name contained an unexpected NUL byte";
inline constexpr const char* kWroteNothing = "failed to write whole buffer";
inline std::string stdout_failed(std::string_view reason) { return "failed printing to stdout: " + str(reason); }
inline constexpr const char* kOutOfMemory = "out of memory";

}  // namespace spansift::messages
