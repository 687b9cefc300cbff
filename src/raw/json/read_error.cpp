#include "raw/json/read_error.h"

#include <utility>

#include "utils/messages.h"
#include "utils/text.h"

namespace spansift {

ReadError ReadError::of(ReadErrorCode code) {
  ReadError error;
  error.code = code;
  return error;
}

ReadError ReadError::invalid_type(std::string found, std::string expected) {
  ReadError error = of(ReadErrorCode::InvalidType);
  error.subject = std::move(found);
  error.expected = std::move(expected);
  return error;
}

ReadError ReadError::invalid_value(std::string found, std::string expected) {
  ReadError error = invalid_type(std::move(found), std::move(expected));
  error.code = ReadErrorCode::InvalidValue;
  return error;
}

ReadError ReadError::invalid_length(std::uint64_t found, std::string expected) {
  ReadError error = of(ReadErrorCode::InvalidLength);
  error.count = found;
  error.expected = std::move(expected);
  return error;
}

ReadError ReadError::field(ReadErrorCode code, std::string key) {
  ReadError error = of(code);
  error.subject = std::move(key);
  return error;
}

ReadError ReadError::read_failed(std::string system_message) {
  return field(ReadErrorCode::ReadFailed, std::move(system_message));
}

std::string ReadError::message() const {
  namespace m = messages;
  switch (code) {
    case ReadErrorCode::None: break;
    case ReadErrorCode::EofList: return m::kEofList;
    case ReadErrorCode::EofObject: return m::kEofObject;
    case ReadErrorCode::EofString: return m::kEofString;
    case ReadErrorCode::EofValue: return m::kEofValue;
    case ReadErrorCode::ExpectedColon: return m::kExpectedColon;
    case ReadErrorCode::ExpectedListCommaOrEnd: return m::kExpectedListCommaOrEnd;
    case ReadErrorCode::ExpectedObjectCommaOrEnd: return m::kExpectedObjectCommaOrEnd;
    case ReadErrorCode::ExpectedIdent: return m::kExpectedIdent;
    case ReadErrorCode::ExpectedValue: return m::kExpectedValue;
    case ReadErrorCode::InvalidEscape: return m::kInvalidEscape;
    case ReadErrorCode::InvalidNumber: return m::kInvalidNumber;
    case ReadErrorCode::NumberOutOfRange: return m::kNumberOutOfRange;
    case ReadErrorCode::InvalidCodePoint: return m::kInvalidCodePoint;
    case ReadErrorCode::ControlCharacter: return m::kControlCharacter;
    case ReadErrorCode::KeyMustBeString: return m::kKeyMustBeString;
    case ReadErrorCode::LoneLeadingSurrogate: return m::kLoneLeadingSurrogate;
    case ReadErrorCode::UnexpectedEndOfHexEscape: return m::kUnexpectedEndOfHexEscape;
    case ReadErrorCode::TrailingComma: return m::kTrailingComma;
    case ReadErrorCode::TrailingCharacters: return m::kTrailingCharacters;
    case ReadErrorCode::RecursionLimit: return m::kRecursionLimit;
    case ReadErrorCode::InvalidType: return m::invalid_type(subject, expected);
    case ReadErrorCode::InvalidValue: return m::invalid_value(subject, expected);
    case ReadErrorCode::InvalidLength: return m::invalid_length(count, expected);
    case ReadErrorCode::DuplicateField: return m::duplicate_field(subject);
    case ReadErrorCode::MissingField: return m::missing_field(subject);
    case ReadErrorCode::ReadFailed: return subject;
  }
  return {};
}

std::string ReadError::display() const {
  if (line == 0) return message();
  return messages::read_error_at(message(), line, column);
}

std::string ReadError::detail() const { return messages::read_error_detail(escape_quotes(message()), line, column); }

}  // namespace spansift
