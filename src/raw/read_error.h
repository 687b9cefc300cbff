// Why reading an export's JSON text stopped, and where.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace spansift {

// Line counted from 1, column in bytes within the line (0 before its first
// byte). Line 0 means the error has no position (a failed read of the file).
struct ReadError {
  std::string message;
  std::uint64_t line = 0;
  std::uint64_t column = 0;

  // "{message} at line {line} column {column}" (the message alone when line is 0).
  std::string display() const;
  // Error("{message}", line: {line}, column: {column}), quote and backslash escaped.
  std::string detail() const;
};

// The texts of the grammar's faults, as the run shows them.
namespace read_message {
inline constexpr std::string_view kEofList = "EOF while parsing a list";
inline constexpr std::string_view kEofObject = "EOF while parsing an object";
inline constexpr std::string_view kEofString = "EOF while parsing a string";
inline constexpr std::string_view kEofValue = "EOF while parsing a value";
inline constexpr std::string_view kExpectedColon = "expected `:`";
inline constexpr std::string_view kExpectedListCommaOrEnd = "expected `,` or `]`";
inline constexpr std::string_view kExpectedObjectCommaOrEnd = "expected `,` or `}`";
inline constexpr std::string_view kExpectedIdent = "expected ident";
inline constexpr std::string_view kExpectedValue = "expected value";
inline constexpr std::string_view kInvalidEscape = "invalid escape";
inline constexpr std::string_view kInvalidNumber = "invalid number";
inline constexpr std::string_view kNumberOutOfRange = "number out of range";
inline constexpr std::string_view kInvalidCodePoint = "invalid unicode code point";
inline constexpr std::string_view kControlCharacter =
    "control character (\\u0000-\\u001F) found while parsing a string";
inline constexpr std::string_view kKeyMustBeString = "key must be a string";
inline constexpr std::string_view kLoneLeadingSurrogate = "lone leading surrogate in hex escape";
inline constexpr std::string_view kUnexpectedEndOfHexEscape = "unexpected end of hex escape";
inline constexpr std::string_view kTrailingComma = "trailing comma";
inline constexpr std::string_view kTrailingCharacters = "trailing characters";
inline constexpr std::string_view kRecursionLimit = "recursion limit exceeded";
}  // namespace read_message

}  // namespace spansift
