// The records of the model as the reader and the writer walk them: for each
// record, its JSON keys in declaration order and the member each one fills.
// A row is made from a member pointer, and the row's type is the member's,
// so a row can't disagree with its member: what the field holds, how it is
// read and written and whether it may be absent follow from that type
// (field_types.h). A member of a type without both steps, or a row of
// another record, fails to compile. A field added to a record in model.h
// gets its row here.
#pragma once

#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "raw/json/field_types.h"
#include "raw/json/type_list.h"
#include "raw/model.h"

namespace spansift {

// Stand-ins for the reader and the writer in the checks of a row.
struct MemberReader;
struct MemberWriter;

template <class T>
concept Readable = requires(MemberReader& in, T& member) {
  { read_member(in, member) } -> std::same_as<Read>;
};
template <class T>
concept Writable = requires(MemberWriter& out, char* p, const T& member) {
  { write_member(out, p, member) } -> std::same_as<char*>;
};

// A key as compact JSON writes it before its value, "key": padded with
// zeros to 16 bytes: the writer copies it whole, and the reader looks for
// the key it expects next in one compare.
struct QuotedKey {
  std::array<char, 16> bytes{};
  std::uint8_t length = 0;
};

// One row of record R's table: a key and the member of type T it fills.
template <class R, class T>
struct Field {
  using Of = R;
  using Type = T;
  T R::*member;
  std::string_view key;
  QuotedKey quoted;
  bool may_be_absent;  // a missing key or null leaves the member absent
};

template <class R, class T>
constexpr Field<R, T> make_field(std::string_view key, T R::*member) {
  static_assert(Readable<T>, "the reader has no read_member for a member of this type");
  static_assert(Writable<T>, "the writer has no write_member for a member of this type");
  Field<R, T> row{member, key, {}, may_be_absent<T>()};
  row.quoted.bytes[0] = '"';
  for (std::size_t i = 0; i < key.size(); ++i) row.quoted.bytes[i + 1] = key[i];
  row.quoted.bytes[key.size() + 1] = '"';
  row.quoted.bytes[key.size() + 2] = ':';
  row.quoted.length = static_cast<std::uint8_t>(key.size() + 3);
  return row;
}

// field<&JaegerSpan::flags>("flags"): the row of a member. `key` must be at
// most 13 bytes, so that "key": fits in 16.
template <auto M>
constexpr auto field(std::string_view key) {
  return make_field(key, M);
}

// Record R's table: its rows in order, and by index what is looked up as
// fields come (keys, quoted keys, which ones must be given).
template <class R, class... Ts>
struct RecordTable {
  static constexpr std::size_t kSize = sizeof...(Ts);
  std::string_view name;  // as type errors name the record: "JaegerSpan"
  std::tuple<Field<R, Ts>...> fields;
  std::array<std::string_view, kSize> keys;
  std::array<QuotedKey, kSize> quoted_keys;
  // ,"key": when it fits 16 bytes (length 0 when it does not): a key after
  // the one before it, compact, in one compare.
  std::array<QuotedKey, kSize> comma_keys;
  std::uint32_t required;  // bit i set: field i may not be absent
};

template <class R, class... Rows>
constexpr auto record_table(std::string_view name, Rows... rows) {
  static_assert((std::is_same_v<typename Rows::Of, R> && ...), "a row of another record");
  static_assert(sizeof...(Rows) <= 32, "the fields seen are kept in 32 bits");
  std::uint32_t required = 0;
  std::uint32_t bit = 1;
  ((required |= rows.may_be_absent ? 0 : bit, bit <<= 1), ...);
  [[maybe_unused]] auto after_comma = [](QuotedKey quoted) {
    QuotedKey key;
    if (std::size_t{quoted.length} + 1 > key.bytes.size()) return key;
    key.bytes[0] = ',';
    for (std::size_t i = 0; i < quoted.length; ++i) key.bytes[i + 1] = quoted.bytes[i];
    key.length = static_cast<std::uint8_t>(quoted.length + 1);
    return key;
  };
  return RecordTable<R, typename Rows::Type...>{
      name, {rows...}, {rows.key...}, {rows.quoted...}, {after_comma(rows.quoted)...}, required};
}

// A record's table comes after those of the records its lists hold.
// clang-format off
template <> inline constexpr auto kTable<JaegerError> = record_table<JaegerError>("JaegerError");
template <> inline constexpr auto kTable<JaegerTag> = record_table<JaegerTag>("JaegerTag",
    field<&JaegerTag::key>("key"), field<&JaegerTag::type>("type"), field<&JaegerTag::value>("value"));
template <> inline constexpr auto kTable<JaegerLog> = record_table<JaegerLog>("JaegerLog",
    field<&JaegerLog::timestamp>("timestamp"), field<&JaegerLog::fields>("fields"));
template <> inline constexpr auto kTable<JaegerReference> = record_table<JaegerReference>("JaegerReference",
    field<&JaegerReference::refType>("refType"), field<&JaegerReference::traceID>("traceID"),
    field<&JaegerReference::spanID>("spanID"));
template <> inline constexpr auto kTable<JaegerSpan> = record_table<JaegerSpan>("JaegerSpan",
    field<&JaegerSpan::traceID>("traceID"), field<&JaegerSpan::spanID>("spanID"), field<&JaegerSpan::flags>("flags"),
    field<&JaegerSpan::operationName>("operationName"), field<&JaegerSpan::references>("references"),
    field<&JaegerSpan::startTime>("startTime"), field<&JaegerSpan::duration>("duration"),
    field<&JaegerSpan::tags>("tags"), field<&JaegerSpan::logs>("logs"), field<&JaegerSpan::processID>("processID"),
    field<&JaegerSpan::warnings>("warnings"));
template <> inline constexpr auto kTable<JaegerItem> = record_table<JaegerItem>("JaegerItem",
    field<&JaegerItem::traceID>("traceID"), field<&JaegerItem::spans>("spans"),
    field<&JaegerItem::processes>("processes"), field<&JaegerItem::warnings>("warnings"));
template <> inline constexpr auto kTable<JaegerTrace> = record_table<JaegerTrace>("JaegerTrace",
    field<&JaegerTrace::data>("data"), field<&JaegerTrace::total>("total"), field<&JaegerTrace::limit>("limit"),
    field<&JaegerTrace::offset>("offset"), field<&JaegerTrace::errors>("errors"));
// clang-format on

// ---- What follows from the tables.

namespace schema_detail {

template <class Table>
struct TypesOf;
template <class R, class... Ts>
struct TypesOf<RecordTable<R, Ts...>> {
  using type = TypeList<Ts...>;
};

}  // namespace schema_detail

// The types of R's members, field by field.
template <Record R>
using MemberTypes = typename schema_detail::TypesOf<std::remove_cvref_t<decltype(kTable<R>)>>::type;

namespace schema_detail {

template <class R>
struct RecordsFrom;

// The records under a member: those of a list of records.
template <class T>
struct RecordsUnder {
  using type = TypeList<>;
};
template <ListMember L>
requires Record<ElementOf<L>>
struct RecordsUnder<L> {
  using type = typename RecordsFrom<ElementOf<L>>::type;
};

template <class R, class Types>
struct RecordsFromMembers;
template <class R, class... Ts>
struct RecordsFromMembers<R, TypeList<Ts...>> {
  using type = Concat<TypeList<R>, typename RecordsUnder<Ts>::type...>;
};

template <class R>
struct RecordsFrom {
  using type = typename RecordsFromMembers<R, MemberTypes<R>>::type;
};

template <class Types>
struct ListsAmong;
template <class... Ts>
struct ListsAmong<TypeList<Ts...>> {
  using type = Concat<std::conditional_t<ListMember<Ts>, TypeList<Ts>, TypeList<>>...>;
};

template <class Records>
struct ListsOf;
template <class... Rs>
struct ListsOf<TypeList<Rs...>> {
  using type = Unique<Concat<typename ListsAmong<MemberTypes<Rs>>::type...>>;
};

}  // namespace schema_detail

// Every record of a trace, the trace first.
using Records = Unique<typename schema_detail::RecordsFrom<JaegerTrace>::type>;
// Every type of list that records hold, and what those lists hold.
using ListTypes = typename schema_detail::ListsOf<Records>::type;
using ListElements = Unique<Map<ElementOf, ListTypes>>;

namespace schema_detail {

template <class T, class... Us>
constexpr std::uint8_t index_in(TypeList<Us...>) {
  constexpr bool same[] = {std::is_same_v<T, Us>...};
  std::uint8_t i = 0;
  while (!same[i]) ++i;
  return i;
}

template <class R, class Types>
struct FieldTypeIndex;
template <class R, class... Ts>
struct FieldTypeIndex<R, TypeList<Ts...>> {
  // For each field, the index of its type among the types of R's members.
  static constexpr std::array<std::uint8_t, sizeof...(Ts)> kIndex = {index_in<Ts>(Unique<MemberTypes<R>>{})...};
};

template <class T, class R, class U>
constexpr T R::*member_if_of(const Field<R, U>& row) {
  if constexpr (std::is_same_v<T, U>) return row.member;
  return nullptr;
}

// R's members of type T by field index, null at fields of other types.
template <class R, class T, std::size_t... I>
constexpr std::array<T R::*, sizeof...(I)> members_of_type(std::index_sequence<I...>) {
  return {member_if_of<T>(std::get<I>(kTable<R>.fields))...};
}
template <class R, class T>
inline constexpr auto kMembersOfType = members_of_type<R, T>(std::make_index_sequence<kTable<R>.kSize>{});

template <class R, class Use, class... Us>
[[gnu::always_inline]] inline Read visit_field(std::size_t i, Use& use, TypeList<Us...>) {
  constexpr const auto& type = FieldTypeIndex<R, MemberTypes<R>>::kIndex;
  Read result = Read::kWhole;
  [&]<std::size_t... G>(std::index_sequence<G...>) __attribute__((always_inline)) {
    (void)((type[i] == G && (result = use(kMembersOfType<R, Us>[i]), true)) || ...);
  }
  (std::index_sequence_for<Us...>{});
  return result;
}

}  // namespace schema_detail

// Calls use(member), where `member` is the member pointer of R's field i,
// typed, and returns what it returns (what reading it left). `use` is made
// once for each type of member that R has rather than for each field, so
// that a record's reading loop stays small.
template <Record R, class Use>
[[gnu::always_inline]] inline Read visit_field(std::size_t i, Use&& use) {
  return schema_detail::visit_field<R>(i, use, Unique<MemberTypes<R>>{});
}

// Calls use(row) for each row of R's table, in order.
template <Record R, class Use>
[[gnu::always_inline]] inline void for_each_field(Use&& use) {
  std::apply(
      [&](const auto&... row) __attribute__((always_inline)) { (use(row), ...); }, kTable<R>.fields);
}

// The index of the field whose key is `key`, or keys.size() when there is
// none. Keys are short: they are compared in a few loads, not through memcmp.
inline std::size_t find_field(std::span<const std::string_view> keys, std::string_view key) {
  const std::size_t n = key.size();
  for (std::size_t i = 0; i < keys.size(); ++i) {
    std::string_view k = keys[i];
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
  return keys.size();
}

}  // namespace spansift
