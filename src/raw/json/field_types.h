// What the member of a record's field can be, and how a member of each type
// is read from the JSON text and written back. A type is one of three:
// - a record: a type with a table (schema.h), read as an element of a list
//   or as the document;
// - a list of records or of texts: List, OptionalList, or, for the lists a
//   trace holds outside the store, a std::vector or an optional one;
// - a scalar: any other type, read and written by steps of its own below.
// read_member(in, member) reads a member from the value at the reader's
// cursor, write_member(out, p, member) writes it at `p`. The reader
// (json_builder.cpp) and the writer (json_write.cpp) call them with their
// own `in` and `out`, of which the steps use only what is shown here; they
// are inlined into the loops that read and write a record's fields. A
// record's table takes a member only if its type has both steps, so a
// scalar type added here needs nothing else.
#pragma once

#include <concepts>
#include <cstdint>
#include <optional>
#include <type_traits>
#include <vector>

#include "raw/model.h"
#include "utils/messages.h"

namespace spansift {

// The table of record R (schema.h); for any other type, this.
struct NotARecord {};
template <class R>
inline constexpr NotARecord kTable{};

template <class R>
concept Record = !std::is_same_v<std::remove_cvref_t<decltype(kTable<R>)>, NotARecord>;

// What a list holds: records, or texts.
template <class E>
concept ListElement = std::is_same_v<E, Text> || Record<E>;

// The lists of the model, in the store or (for the few that a trace holds
// outside it) in vectors: what they hold, and whether one may be absent (a
// JSON null, or a key that is missing), which is how a default one starts.
template <class L>
struct ListTraits {};
template <ListElement E>
struct ListTraits<List<E>> {
  using Element = E;
  static constexpr bool kMayBeAbsent = false;
};
template <ListElement E>
struct ListTraits<std::vector<E>> {
  using Element = E;
  static constexpr bool kMayBeAbsent = false;
};
template <ListElement E>
struct ListTraits<OptionalList<E>> {
  using Element = E;
  static constexpr bool kMayBeAbsent = true;
  static bool present(const OptionalList<E>& list) { return list.present(); }
};
template <ListElement E>
struct ListTraits<std::optional<std::vector<E>>> {
  using Element = E;
  static constexpr bool kMayBeAbsent = true;
  static bool present(const std::optional<std::vector<E>>& list) { return list.has_value(); }
};

template <class L>
concept ListMember = requires {
  typename ListTraits<L>::Element;
};

template <ListMember L>
using ElementOf = typename ListTraits<L>::Element;

// Whether a member of type T may be absent.
template <class T>
constexpr bool may_be_absent() {
  if constexpr (ListMember<T>) return ListTraits<T>::kMayBeAbsent;
  return false;
}

// The integers of the model, matched exactly: a member of another integer
// type has no steps rather than being converted.
template <class T>
concept Integer = std::same_as<T, std::int32_t> || std::same_as<T, std::int64_t>;

// ---- Reading. `in` stands at the value, in.first() its first byte.
// read_member stores a scalar at once, or reads or opens the container that
// fills the member. in.refuse(expected) reads the value through and fails
// with a type error that names `expected`.

// What reading a value left: nothing (kWhole: read to its end and stored),
// or frames open on the frame loop's stack for it to go on with (kOpen: a
// container just opened, or the straight path handed over inside one).
enum class Read : bool { kWhole, kOpen };

template <class In>
[[gnu::always_inline]] inline Read read_member(In& in, Text& member) {
  if (in.first() != '"') in.refuse(messages::kExpectedString);
  member = in.text();
  return Read::kWhole;
}

template <class In, Integer I>
[[gnu::always_inline]] inline Read read_member(In& in, I& member) {
  member = in.template integer<I>(std::same_as<I, std::int32_t> ? messages::kExpectedI32 : messages::kExpectedI64);
  return Read::kWhole;
}

// Any JSON value.
template <class In>
[[gnu::always_inline]] inline Read read_member(In& in, JsonValue& member) {
  return in.value(member);
}

// An object of values, kept sorted by key.
template <class In>
[[gnu::always_inline]] inline Read read_member(In& in, List<JsonMember>& member) {
  if (in.first() != '{') in.refuse(messages::kExpectedMap);
  return in.object(member);
}

template <class In, ListMember L>
[[gnu::always_inline]] inline Read read_member(In& in, L& member) {
  if (in.first() == '[') return in.list(member);
  if constexpr (ListTraits<L>::kMayBeAbsent) {
    if (in.first() == 'n') {  // null: absent, as the member already is
      in.null();
      return Read::kWhole;
    }
  }
  in.refuse(messages::kExpectedSequence);
}

// ---- Writing, at `p`; each step returns where it ended.

template <class Out>
[[gnu::always_inline]] inline char* write_member(Out& out, char* p, Text member) {
  return out.text(p, member);
}

template <class Out, Integer I>
[[gnu::always_inline]] inline char* write_member(Out& out, char* p, I member) {
  return out.integer(p, member);
}

template <class Out>
[[gnu::always_inline]] inline char* write_member(Out& out, char* p, const JsonValue& member) {
  return out.value(p, member);
}

template <class Out>
[[gnu::always_inline]] inline char* write_member(Out& out, char* p, List<JsonMember> member) {
  return out.object(p, member);
}

template <class Out, ListMember L>
[[gnu::always_inline]] inline char* write_member(Out& out, char* p, const L& member) {
  if constexpr (ListTraits<L>::kMayBeAbsent) {
    if (!ListTraits<L>::present(member)) return out.null(p);
  }
  return out.list(p, member);
}

}  // namespace spansift
