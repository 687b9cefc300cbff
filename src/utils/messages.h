// Every text that a run prints, files in the report log or stops with.
//
// These are kept byte for byte on purpose: scripts and users match on them,
// unusual spellings included ("extention", "sources is", "via serde", the
// unbalanced quote of "Ignore '{path} as ...", the blanks around the
// "Expected file" message). Change one only to change the program's output.
// The forms of system errors are Status's (utils/file.h); a read error's
// text is put together from these by ReadError::message (raw/read_error.h).
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

// ---- The environment's settings of how the program is put together.
inline std::string unknown_setting(std::string_view variable, std::string_view value, std::string_view known) {
  return str(variable) + "='" + str(value) + "' is not a known setting (known: " + str(known) + ")";
}
inline std::string kernels_not_here(std::string_view variable, std::string_view value, std::string_view here) {
  return str(variable) + "='" + str(value) + "' names no kernels of this processor (it has: " + str(here) + ")";
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

// ---- Faults in an export's JSON text, and their place.
inline constexpr const char* kEofList = "EOF while parsing a list";
inline constexpr const char* kEofObject = "EOF while parsing an object";
inline constexpr const char* kEofString = "EOF while parsing a string";
inline constexpr const char* kEofValue = "EOF while parsing a value";
inline constexpr const char* kExpectedColon = "expected `:`";
inline constexpr const char* kExpectedListCommaOrEnd = "expected `,` or `]`";
inline constexpr const char* kExpectedObjectCommaOrEnd = "expected `,` or `}`";
inline constexpr const char* kExpectedIdent = "expected ident";
inline constexpr const char* kExpectedValue = "expected value";
inline constexpr const char* kInvalidEscape = "invalid escape";
inline constexpr const char* kInvalidNumber = "invalid number";
inline constexpr const char* kNumberOutOfRange = "number out of range";
inline constexpr const char* kInvalidCodePoint = "invalid unicode code point";
inline constexpr const char* kControlCharacter = "control character (\\u0000-\\u001F) found while parsing a string";
inline constexpr const char* kKeyMustBeString = "key must be a string";
inline constexpr const char* kLoneLeadingSurrogate = "lone leading surrogate in hex escape";
inline constexpr const char* kUnexpectedEndOfHexEscape = "unexpected end of hex escape";
inline constexpr const char* kTrailingComma = "trailing comma";
inline constexpr const char* kTrailingCharacters = "trailing characters";
inline constexpr const char* kRecursionLimit = "recursion limit exceeded";
inline std::string invalid_type(std::string_view found, std::string_view expected) {
  return "invalid type: " + str(found) + ", expected " + str(expected);
}
inline std::string invalid_value(std::string_view found, std::string_view expected) {
  return "invalid value: " + str(found) + ", expected " + str(expected);
}
inline std::string invalid_length(std::uint64_t found, std::string_view expected) {
  return "invalid length " + std::to_string(found) + ", expected " + str(expected);
}
inline std::string duplicate_field(std::string_view key) { return "duplicate field `" + str(key) + "`"; }
inline std::string missing_field(std::string_view key) { return "missing field `" + str(key) + "`"; }
inline std::string read_error_at(std::string_view message, std::uint64_t line, std::uint64_t column) {
  return str(message) + " at line " + std::to_string(line) + " column " + std::to_string(column);
}
// `message` with its quotes and backslashes escaped.
inline std::string read_error_detail(std::string_view message, std::uint64_t line, std::uint64_t column) {
  return "Error(\"" + str(message) + "\", line: " + std::to_string(line) + ", column: " + std::to_string(column) + ")";
}

// What a type error says was expected, and what it found instead.
inline std::string expected_struct(std::string_view name) { return "struct " + str(name); }
inline std::string expected_struct_of(std::string_view name, std::size_t fields) {
  return "struct " + str(name) + " with " + std::to_string(fields) + " elements";
}
inline constexpr const char* kExpectedSequence = "a sequence";
inline constexpr const char* kExpectedMap = "a map";
inline constexpr const char* kExpectedString = "a string";
inline constexpr const char* kExpectedI32 = "i32";
inline constexpr const char* kExpectedI64 = "i64";
inline constexpr const char* kExpectedAnyValue = "any valid JSON value";
inline constexpr const char* kFoundNull = "null";
inline constexpr const char* kFoundSequence = "sequence";
inline constexpr const char* kFoundMap = "map";
inline std::string found_boolean(std::string_view word) { return "boolean `" + str(word) + "`"; }
inline std::string found_string(std::string_view quoted) { return "string " + str(quoted); }
inline std::string found_integer(std::string_view digits) { return "integer `" + str(digits) + "`"; }
inline std::string found_float(std::string_view digits) { return "floating point `" + str(digits) + "`"; }

// ---- The model and its output: an item of an export's `errors` list as
// "Discovered errors" names it, and a value the writer can't give.
inline constexpr const char* kJaegerError = "JaegerError";
inline constexpr const char* kNotFinite = "number is not finite";

// ---- Faults of the decoder (ICU's error name after the colon).
inline std::string converter_not_opened(std::string_view name, std::string_view error) {
  return "can't open the " + str(name) + " converter: " + str(error);
}
inline std::string decoder_callback_not_set(std::string_view error) {
  return "can't set the decoder callback: " + str(error);
}
inline std::string decoding_failed(std::string_view error) { return "decoding failed: " + str(error); }

// ---- Stops: the one line on standard error, without its line feed.
inline std::string not_json_file_or_folder(std::string_view input) {
  return " Expected file with extention '.json' or folder. Received: '" + str(input) + "' ";
}
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
