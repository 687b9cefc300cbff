#include "raw/schema.h"

#include <type_traits>

#include "raw/model.h"
#include "utils/messages.h"

namespace spansift {

namespace {

// Fields are reached by offset, which needs records of standard layout.
static_assert(std::is_standard_layout_v<JaegerTrace> && std::is_standard_layout_v<JaegerItem> &&
              std::is_standard_layout_v<JaegerSpan> && std::is_standard_layout_v<JaegerReference> &&
              std::is_standard_layout_v<JaegerTag> && std::is_standard_layout_v<JaegerLog>);

#define SPANSIFT_FIELD(record, member, kind, optional) field(#member, Kind::kind, optional, offsetof(record, member))

constexpr FieldSchema kTraceFields[] = {
    SPANSIFT_FIELD(JaegerTrace, data, ItemList, false),   SPANSIFT_FIELD(JaegerTrace, total, I32, false),
    SPANSIFT_FIELD(JaegerTrace, limit, I32, false),       SPANSIFT_FIELD(JaegerTrace, offset, I32, false),
    SPANSIFT_FIELD(JaegerTrace, errors, ErrorList, true),
};

constexpr FieldSchema kItemFields[] = {
    SPANSIFT_FIELD(JaegerItem, traceID, Text, false),
    SPANSIFT_FIELD(JaegerItem, spans, SpanList, false),
    SPANSIFT_FIELD(JaegerItem, processes, Processes, false),
    SPANSIFT_FIELD(JaegerItem, warnings, TextList, true),
};

constexpr FieldSchema kSpanFields[] = {
    SPANSIFT_FIELD(JaegerSpan, traceID, Text, false),
    SPANSIFT_FIELD(JaegerSpan, spanID, Text, false),
    SPANSIFT_FIELD(JaegerSpan, flags, I32, false),
    SPANSIFT_FIELD(JaegerSpan, operationName, Text, false),
    SPANSIFT_FIELD(JaegerSpan, references, ReferenceList, false),
    SPANSIFT_FIELD(JaegerSpan, startTime, I64, false),
    SPANSIFT_FIELD(JaegerSpan, duration, I64, false),
    SPANSIFT_FIELD(JaegerSpan, tags, TagList, false),
    SPANSIFT_FIELD(JaegerSpan, logs, LogList, false),
    SPANSIFT_FIELD(JaegerSpan, processID, Text, false),
    SPANSIFT_FIELD(JaegerSpan, warnings, TextList, true),
};

constexpr FieldSchema kReferenceFields[] = {
    SPANSIFT_FIELD(JaegerReference, refType, Text, false),
    SPANSIFT_FIELD(JaegerReference, traceID, Text, false),
    SPANSIFT_FIELD(JaegerReference, spanID, Text, false),
};

constexpr FieldSchema kTagFields[] = {
    SPANSIFT_FIELD(JaegerTag, key, Text, false),
    SPANSIFT_FIELD(JaegerTag, type, Text, false),
    SPANSIFT_FIELD(JaegerTag, value, Value, false),
};

constexpr FieldSchema kLogFields[] = {
    SPANSIFT_FIELD(JaegerLog, timestamp, I64, false),
    SPANSIFT_FIELD(JaegerLog, fields, TagList, false),
};

#undef SPANSIFT_FIELD

constexpr RecordSchema record(std::string_view name, std::span<const FieldSchema> fields) {
  std::uint32_t required = 0;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (!fields[i].optional) required |= 1U << i;
  }
  return {name, fields, required};
}

}  // namespace

const RecordSchema kRecordSchemas[7] = {
    record("JaegerTrace", kTraceFields), record("JaegerItem", kItemFields),
    record("JaegerSpan", kSpanFields),   record("JaegerReference", kReferenceFields),
    record("JaegerTag", kTagFields),     record("JaegerLog", kLogFields),
    record("JaegerError", {}),
};

std::string expectation(Kind kind) {
  if (is_record(kind)) return messages::expected_struct(schema_of(kind).name);
  if (is_list(kind)) return messages::kExpectedSequence;
  switch (kind) {
    case Kind::Processes: return messages::kExpectedMap;
    case Kind::Text: return messages::kExpectedString;
    case Kind::I32: return messages::kExpectedI32;
    case Kind::I64: return messages::kExpectedI64;
    default: return messages::kExpectedAnyValue;
  }
}

}  // namespace spansift
