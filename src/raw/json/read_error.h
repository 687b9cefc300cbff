// Why reading an export's JSON text stopped, and where.
#pragma once

#include <cstdint>
#include <string>

namespace spansift {

// What went wrong; the comment names the arguments a code carries.
enum class ReadErrorCode : std::uint8_t {
  None,  // no fault (what a number's scan gives when it went through)
  EofList,
  EofObject,
  EofString,
  EofValue,
  ExpectedColon,
  ExpectedListCommaOrEnd,
  ExpectedObjectCommaOrEnd,
  ExpectedIdent,
  ExpectedValue,
  InvalidEscape,
  InvalidNumber,
  NumberOutOfRange,
  InvalidCodePoint,
  ControlCharacter,
  KeyMustBeString,
  LoneLeadingSurrogate,
  UnexpectedEndOfHexEscape,
  TrailingComma,
  TrailingCharacters,
  RecursionLimit,
  InvalidType,     // subject: the value found; expected
  InvalidValue,    // subject: the value found; expected
  InvalidLength,   // count: the elements found; expected
  DuplicateField,  // subject: the field's key
  MissingField,    // subject: the field's key
  ReadFailed,      // subject: the system's message; no position
};

// Line counted from 1, column in bytes within the line (0 before its first
// byte). Line 0 means the error has no position (a failed read of the file).
struct ReadError {
  ReadErrorCode code = ReadErrorCode::None;
  std::uint64_t line = 0;
  std::uint64_t column = 0;
  std::string subject;
  std::string expected;
  std::uint64_t count = 0;

  static ReadError of(ReadErrorCode code);  // a code without arguments
  static ReadError invalid_type(std::string found, std::string expected);
  static ReadError invalid_value(std::string found, std::string expected);
  static ReadError invalid_length(std::uint64_t found, std::string expected);
  static ReadError field(ReadErrorCode code, std::string key);  // DuplicateField, MissingField, ReadFailed
  static ReadError read_failed(std::string system_message);

  // The text of the fault, without its place: the one place it is made.
  std::string message() const;
  // "{message} at line {line} column {column}" (the message alone when line is 0).
  std::string display() const;
  // Error("{message}", line: {line}, column: {column}), quote and backslash escaped.
  std::string detail() const;
};

}  // namespace spansift
