#include "raw/model.h"

namespace spansift {

std::string errors_debug_text(const std::vector<JaegerError>& errors) {
  std::string text = "[";
  for (std::size_t i = 0; i < errors.size(); ++i) {
    if (i > 0) text += ", ";
    text += "JaegerError";
  }
  text += "]";
  return text;
}

}  // namespace spansift
