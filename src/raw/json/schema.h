// The records of the model as the reader and the writer walk them: for each
// record, its JSON keys in declaration order and the member each one fills.
// A row is made from a member pointer, and what the field holds is deduced
// from the member's type, so a row can't disagree with its member: a member
// of a type the schema has no kind for, or of another record, fails to
// compile. A field added to a record in model.h gets its row here.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "raw/model.h"

namespace spansift {

// What a field holds; for a list, what the list is of.
enum class FieldKind : std::uint8_t {
  // Records.
  Trace,
  Item,
  Span,
  Reference,
  Tag,
  Log,
  Error,
  // Lists of the records above but the trace, in the same order, then of texts.
  ItemList,
  SpanList,
  ReferenceList,
  TagList,
  LogList,
  ErrorList,  // may be absent
  TextList,
  OptionalTextList,  // may be absent
  // Everything else.
  Text,
  I32,
  I64,
  Value,      // any JSON value (JsonValue)
  Processes,  // an object of JsonValues, sorted by key
};

constexpr bool is_record(FieldKind kind) { return kind <= FieldKind::Error; }
constexpr bool is_list(FieldKind kind) { return kind >= FieldKind::ItemList && kind <= FieldKind::OptionalTextList; }
// A missing key or null reads as absent.
constexpr bool is_optional(FieldKind kind) {
  return kind == FieldKind::ErrorList || kind == FieldKind::OptionalTextList;
}

// The element of a list kind.
constexpr FieldKind element_of(FieldKind list) {
  if (list >= FieldKind::TextList) return FieldKind::Text;
  return static_cast<FieldKind>(static_cast<int>(list) - static_cast<int>(FieldKind::ItemList) +
                                static_cast<int>(FieldKind::Item));
}

// The kind of a member of type T; only the types below have one.
template <class T>
struct FieldKindOf {
  static_assert(sizeof(T) == 0, "the schema has no field kind for a member of this type");
};
#define SPANSIFT_FIELD_KIND(type, field_kind)                \
  template <>                                                \
  struct FieldKindOf<type> {                                 \
    static constexpr FieldKind kind = FieldKind::field_kind; \
  }
SPANSIFT_FIELD_KIND(Text, Text);
SPANSIFT_FIELD_KIND(std::int32_t, I32);
SPANSIFT_FIELD_KIND(std::int64_t, I64);
SPANSIFT_FIELD_KIND(JsonValue, Value);
SPANSIFT_FIELD_KIND(List<JsonMember>, Processes);
SPANSIFT_FIELD_KIND(std::vector<JaegerItem>, ItemList);
SPANSIFT_FIELD_KIND(List<JaegerSpan>, SpanList);
SPANSIFT_FIELD_KIND(List<JaegerReference>, ReferenceList);
SPANSIFT_FIELD_KIND(List<JaegerTag>, TagList);
SPANSIFT_FIELD_KIND(List<JaegerLog>, LogList);
SPANSIFT_FIELD_KIND(std::optional<std::vector<JaegerError>>, ErrorList);
SPANSIFT_FIELD_KIND(List<Text>, TextList);
SPANSIFT_FIELD_KIND(OptionalList<Text>, OptionalTextList);
#undef SPANSIFT_FIELD_KIND

// A typed pointer to a field of some record, to one member of each type
// above: the one that the field's kind names is set.
union FieldRef {
  Text* text;
  std::int32_t* i32;
  std::int64_t* i64;
  JsonValue* value;
  List<JsonMember>* processes;
  std::vector<JaegerItem>* items;
  List<JaegerSpan>* spans;
  List<JaegerReference>* references;
  List<JaegerTag>* tags;
  List<JaegerLog>* logs;
  std::optional<std::vector<JaegerError>>* errors;
  List<Text>* texts;
  OptionalList<Text>* optional_texts;
};

// A member pointer into record R, of the type that a field kind names: the
// member that the kind names is set.
template <class R>
union MemberOf {
  Text R::*text;
  std::int32_t R::*i32;
  std::int64_t R::*i64;
  JsonValue R::*value;
  List<JsonMember> R::*processes;
  std::vector<JaegerItem> R::*items;
  List<JaegerSpan> R::*spans;
  List<JaegerReference> R::*references;
  List<JaegerTag> R::*tags;
  List<JaegerLog> R::*logs;
  std::optional<std::vector<JaegerError>> R::*errors;
  List<Text> R::*texts;
  OptionalList<Text> R::*optional_texts;

  // The member of `record` as a typed pointer; `kind` is the field's.
  FieldRef in(R& record, FieldKind kind) const {
    FieldRef ref{};
    switch (kind) {
      case FieldKind::Text: ref.text = &(record.*text); break;
      case FieldKind::I32: ref.i32 = &(record.*i32); break;
      case FieldKind::I64: ref.i64 = &(record.*i64); break;
      case FieldKind::Value: ref.value = &(record.*value); break;
      case FieldKind::Processes: ref.processes = &(record.*processes); break;
      case FieldKind::ItemList: ref.items = &(record.*items); break;
      case FieldKind::SpanList: ref.spans = &(record.*spans); break;
      case FieldKind::ReferenceList: ref.references = &(record.*references); break;
      case FieldKind::TagList: ref.tags = &(record.*tags); break;
      case FieldKind::LogList: ref.logs = &(record.*logs); break;
      case FieldKind::ErrorList: ref.errors = &(record.*errors); break;
      case FieldKind::TextList: ref.texts = &(record.*texts); break;
      case FieldKind::OptionalTextList: ref.optional_texts = &(record.*optional_texts); break;
      default: break;
    }
    return ref;
  }
};

// What the reader and the writer need of a field, whatever its record.
struct FieldSchema {
  std::string_view key;
  FieldKind kind;
  // The key as compact JSON writes it before its value, "key": padded with
  // zeros, for a reader that looks for the expected key first.
  std::array<char, 16> quoted_key;
  std::uint8_t quoted_length;
};

// One row of record R's table: the field and its member.
template <class R>
struct FieldRow {
  FieldSchema field;
  MemberOf<R> member;
};

// The row of `key` for the member M of its record. `key` must be at most 13
// bytes, so that "key": fits in 16.
template <auto M, class R, class T>
constexpr FieldRow<R> field_row(std::string_view key, T R::*) {
  constexpr FieldKind kind = FieldKindOf<T>::kind;
  FieldRow<R> row{{key, kind, {}, 0}, {}};
  row.field.quoted_key[0] = '"';
  for (std::size_t i = 0; i < key.size(); ++i) row.field.quoted_key[i + 1] = key[i];
  row.field.quoted_key[key.size() + 1] = '"';
  row.field.quoted_key[key.size() + 2] = ':';
  row.field.quoted_length = static_cast<std::uint8_t>(key.size() + 3);
  // The member that `kind` names, which has M's type by the trait above.
  if constexpr (kind == FieldKind::Text) row.member.text = M;
  if constexpr (kind == FieldKind::I32) row.member.i32 = M;
  if constexpr (kind == FieldKind::I64) row.member.i64 = M;
  if constexpr (kind == FieldKind::Value) row.member.value = M;
  if constexpr (kind == FieldKind::Processes) row.member.processes = M;
  if constexpr (kind == FieldKind::ItemList) row.member.items = M;
  if constexpr (kind == FieldKind::SpanList) row.member.spans = M;
  if constexpr (kind == FieldKind::ReferenceList) row.member.references = M;
  if constexpr (kind == FieldKind::TagList) row.member.tags = M;
  if constexpr (kind == FieldKind::LogList) row.member.logs = M;
  if constexpr (kind == FieldKind::ErrorList) row.member.errors = M;
  if constexpr (kind == FieldKind::TextList) row.member.texts = M;
  if constexpr (kind == FieldKind::OptionalTextList) row.member.optional_texts = M;
  return row;
}

// field<&JaegerSpan::flags>("flags"): the row of a member.
template <auto M>
constexpr auto field(std::string_view key) {
  return field_row<M>(key, M);
}

// Record R's table: its fields in order, and their members beside them.
template <class R, std::size_t N>
struct RecordTable {
  std::array<FieldSchema, N> fields;
  std::array<MemberOf<R>, N> members;
};

// The table of R from its rows, which must all be rows of R.
template <class R, class... Rows>
constexpr RecordTable<R, sizeof...(Rows)> record_table(Rows... rows) {
  static_assert((std::is_same_v<Rows, FieldRow<R>> && ...), "a row of another record");
  return {{rows.field...}, {rows.member...}};
}

// clang-format off
inline constexpr auto kTraceTable = record_table<JaegerTrace>(
    field<&JaegerTrace::data>("data"), field<&JaegerTrace::total>("total"), field<&JaegerTrace::limit>("limit"),
    field<&JaegerTrace::offset>("offset"), field<&JaegerTrace::errors>("errors"));
inline constexpr auto kItemTable = record_table<JaegerItem>(
    field<&JaegerItem::traceID>("traceID"), field<&JaegerItem::spans>("spans"),
    field<&JaegerItem::processes>("processes"), field<&JaegerItem::warnings>("warnings"));
inline constexpr auto kSpanTable = record_table<JaegerSpan>(
    field<&JaegerSpan::traceID>("traceID"), field<&JaegerSpan::spanID>("spanID"), field<&JaegerSpan::flags>("flags"),
    field<&JaegerSpan::operationName>("operationName"), field<&JaegerSpan::references>("references"),
    field<&JaegerSpan::startTime>("startTime"), field<&JaegerSpan::duration>("duration"),
    field<&JaegerSpan::tags>("tags"), field<&JaegerSpan::logs>("logs"), field<&JaegerSpan::processID>("processID"),
    field<&JaegerSpan::warnings>("warnings"));
inline constexpr auto kReferenceTable = record_table<JaegerReference>(
    field<&JaegerReference::refType>("refType"), field<&JaegerReference::traceID>("traceID"),
    field<&JaegerReference::spanID>("spanID"));
inline constexpr auto kTagTable = record_table<JaegerTag>(
    field<&JaegerTag::key>("key"), field<&JaegerTag::type>("type"), field<&JaegerTag::value>("value"));
inline constexpr auto kLogTable = record_table<JaegerLog>(
    field<&JaegerLog::timestamp>("timestamp"), field<&JaegerLog::fields>("fields"));
inline constexpr auto kErrorTable = record_table<JaegerError>();
// clang-format on

// The table of record R.
template <class R>
constexpr const auto& table_of() {
  if constexpr (std::is_same_v<R, JaegerTrace>) return kTraceTable;
  if constexpr (std::is_same_v<R, JaegerItem>) return kItemTable;
  if constexpr (std::is_same_v<R, JaegerSpan>) return kSpanTable;
  if constexpr (std::is_same_v<R, JaegerReference>) return kReferenceTable;
  if constexpr (std::is_same_v<R, JaegerTag>) return kTagTable;
  if constexpr (std::is_same_v<R, JaegerLog>) return kLogTable;
  if constexpr (std::is_same_v<R, JaegerError>) return kErrorTable;
}

// Whether record R has a field of kind `kind`.
template <class R>
constexpr bool has_field_of_kind(FieldKind kind) {
  for (const FieldSchema& f : table_of<R>().fields) {
    if (f.kind == kind) return true;
  }
  return false;
}

// A record's fields, whatever its type.
struct RecordSchema {
  std::string_view name;  // "JaegerSpan"
  std::span<const FieldSchema> fields;
  std::uint32_t required;  // bit i set: fields[i] is not optional
};

template <class R>
constexpr RecordSchema record_schema(std::string_view name) {
  const auto& fields = table_of<R>().fields;
  std::uint32_t required = 0;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (!is_optional(fields[i].kind)) required |= 1U << i;
  }
  return {name, fields, required};
}

// In the order of the record kinds.
inline constexpr RecordSchema kRecordSchemas[] = {
    record_schema<JaegerTrace>("JaegerTrace"), record_schema<JaegerItem>("JaegerItem"),
    record_schema<JaegerSpan>("JaegerSpan"),   record_schema<JaegerReference>("JaegerReference"),
    record_schema<JaegerTag>("JaegerTag"),     record_schema<JaegerLog>("JaegerLog"),
    record_schema<JaegerError>("JaegerError"),
};
static_assert(std::size(kRecordSchemas) == static_cast<std::size_t>(FieldKind::Error) + 1);

// `record` must be a record kind.
inline const RecordSchema& schema_of(FieldKind record) { return kRecordSchemas[static_cast<std::size_t>(record)]; }

// The index of the field whose key is `key`, or fields.size() when there is
// none. Keys are short: they are compared in a few loads, not through memcmp.
inline std::size_t find_field(std::span<const FieldSchema> fields, std::string_view key) {
  const std::size_t n = key.size();
  for (std::size_t i = 0; i < fields.size(); ++i) {
    std::string_view k = fields[i].key;
    if (k.size() != n) continue;
    bool same = true;
    if (n >= 8) {
      std::uint64_t a0, b0, a1, b1;
      std::memcpy(&a0, k.data(), 8);
      std::memcpy(&b0, key.data(), 8);
      std::memcpy(&a1, k.data() + n - 8, 8);
      std::memcpy(&b1, key.data() + n - 8, 8);
      same = a0 == b0 && a1 == b1;  // keys of fields are at most 13 bytes
    } else {
      for (std::size_t j = 0; j < n && same; ++j) same = k[j] == key[j];
    }
    if (same) return i;
  }
  return fields.size();
}

// How a type error names what was expected: "struct JaegerSpan", "a
// sequence", "a map", "a string", "i32" or "i64".
std::string expectation(FieldKind kind);

}  // namespace spansift
