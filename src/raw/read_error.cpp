#include "raw/read_error.h"

#include "utils/text.h"

namespace spansift {

std::string ReadError::display() const {
  if (line == 0) return message;
  return message + " at line " + std::to_string(line) + " column " + std::to_string(column);
}

std::string ReadError::detail() const {
  return "Error(\"" + escape_quotes(message) + "\", line: " + std::to_string(line) +
         ", column: " + std::to_string(column) + ")";
}

}  // namespace spansift
