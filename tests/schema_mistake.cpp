// Compiled alone, never linked: a schema row can't disagree with its member.
// Built plain it compiles; with either mistake chosen it must not.
#include "raw/json/schema.h"

namespace spansift {

#if defined(SPANSIFT_MISTAKE_TYPE)
// A member of a type that no field kind reads or writes.
struct WithRatio {
  double ratio;
};
constexpr auto kTable = record_table<WithRatio>(field<&WithRatio::ratio>("ratio"));
#elif defined(SPANSIFT_MISTAKE_RECORD)
// A row of another record in a record's table.
constexpr auto kTable = record_table<JaegerSpan>(field<&JaegerTag::key>("key"));
#else
constexpr auto kTable = record_table<JaegerTag>(field<&JaegerTag::key>("key"), field<&JaegerTag::value>("value"));
static_assert(kTable.fields[1].kind == FieldKind::Value);
#endif

}  // namespace spansift
