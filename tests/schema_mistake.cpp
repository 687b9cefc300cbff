// Compiled alone, never linked: a schema row can't disagree with its member.
// Built plain it compiles; with any mistake chosen it must not.
#include "raw/json/schema.h"

namespace spansift {

// A type of member that the model does not have.
struct Ratio {
  double value;
};
struct WithRatio {
  Ratio ratio;
};

#if defined(SPANSIFT_MISTAKE_NO_READER)
// Written, but never read.
template <class Out>
char* write_member(Out& out, char* p, Ratio member);
constexpr auto kRatioTable = record_table<WithRatio>("WithRatio", field<&WithRatio::ratio>("ratio"));
#elif defined(SPANSIFT_MISTAKE_NO_WRITER)
// Read, but never written.
template <class In>
Read read_member(In& in, Ratio& member);
constexpr auto kRatioTable = record_table<WithRatio>("WithRatio", field<&WithRatio::ratio>("ratio"));
#elif defined(SPANSIFT_MISTAKE_RECORD)
// A row of another record in a record's table.
constexpr auto kSpanTable = record_table<JaegerSpan>("JaegerSpan", field<&JaegerTag::key>("key"));
#else
template <class In>
Read read_member(In& in, Ratio& member);
template <class Out>
char* write_member(Out& out, char* p, Ratio member);
constexpr auto kRatioTable = record_table<WithRatio>("WithRatio", field<&WithRatio::ratio>("ratio"));
static_assert(std::is_same_v<std::tuple_element_t<0, decltype(kRatioTable.fields)>::Type, Ratio>);
static_assert(kRatioTable.required == 1);
static_assert(kTable<JaegerItem>.required == 0b0111);  // warnings may be absent
#endif

}  // namespace spansift
