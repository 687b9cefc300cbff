#include "raw/json/schema.h"

#include "utils/messages.h"

namespace spansift {

std::string expectation(FieldKind kind) {
  if (is_record(kind)) return messages::expected_struct(schema_of(kind).name);
  if (is_list(kind)) return messages::kExpectedSequence;
  switch (kind) {
    case FieldKind::Processes: return messages::kExpectedMap;
    case FieldKind::Text: return messages::kExpectedString;
    case FieldKind::I32: return messages::kExpectedI32;
    case FieldKind::I64: return messages::kExpectedI64;
    default: return messages::kExpectedAnyValue;
  }
}

}  // namespace spansift
