#include "raw/schema.h"

namespace spansift {

std::string expectation(FieldKind kind) {
  if (is_record(kind)) return "struct " + std::string(schema_of(kind).name);
  if (is_list(kind)) return "a sequence";
  switch (kind) {
    case FieldKind::Processes: return "a map";
    case FieldKind::Text: return "a string";
    case FieldKind::I32: return "i32";
    case FieldKind::I64: return "i64";
    default: return "any valid JSON value";
  }
}

}  // namespace spansift
