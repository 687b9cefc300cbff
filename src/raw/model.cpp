#include "raw/model.h"

#include "utils/messages.h"

namespace spansift {

std::string errors_debug_text(const std::vector<JaegerError>& errors) {
  std::string text = "[";
  for (std::size_t i = 0; i < errors.size(); ++i) {
    if (i > 0) text += ", ";
    text += messages::kJaegerError;
  }
  text += "]";
  return text;
}

}  // namespace spansift
