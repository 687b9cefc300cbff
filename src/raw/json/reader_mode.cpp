#include "raw/json/reader_mode.h"

#include <cstdlib>
#include <string_view>

#include "utils/messages.h"
#include "utils/stop.h"

namespace spansift {

namespace {

constexpr const char* kVariable = "SPANSIFT_READER";
constexpr std::string_view kGeneral = "general";

// The setting, or empty when there is none.
std::string_view setting() {
  const char* value = std::getenv(kVariable);
  return value != nullptr ? value : "";
}

}  // namespace

bool straight_path_on() noexcept {
  static const bool on = setting() != kGeneral;
  return on;
}

void check_reader_setting() {
  const std::string_view value = setting();
  if (!value.empty() && value != kGeneral) throw Stop(messages::unknown_setting(kVariable, value, kGeneral));
}

}  // namespace spansift
