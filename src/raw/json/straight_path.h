// The straight path: an accelerator of the frame loop (json_builder.cpp),
// which stays the reader that defines every result.
//
// Exports mostly give each record compact, its keys in declaration order.
// The straight path reads such a record, and what it holds, by recursion: it
// expects each key in turn (record_keys.h), with no frame and no dispatch per
// member. Where the text goes another way (a key out of order or unknown, a
// field missing, a record in array form, a wrong type) it hands over: each
// container it is inside places the frame that the frame loop would have
// open there (hand_over), innermost first, and the loop goes on from there.
// A fault is raised by the same code, at the same place, as in the loop.
// SPANSIFT_READER=general turns it off (reader_mode.h).
//
// Loop is the frame loop's builder, whose steps of building it uses; `level`
// is always the frame that the container at the cursor would have.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "raw/json/field_types.h"
#include "raw/json/frame_stack.h"
#include "raw/json/json_grammar.h"
#include "raw/json/json_input.h"
#include "raw/json/record_builder.h"
#include "raw/json/record_keys.h"
#include "raw/json/schema.h"
#include "raw/json/type_list.h"

namespace spansift {

template <class Types>
struct NoList;
template <class... Ts>
struct NoList<TypeList<Ts...>> {
  static constexpr bool value = (!ListMember<Ts> && ...);
};
// A record none of whose members is a list.
template <class R>
inline constexpr bool kFlat = NoList<MemberTypes<R>>::value;

// Where the straight path stopped inside one container: what the frame loop
// needs to go on in it, beside what the container builds.
struct Stopped {
  bool array = false;
  std::size_t start = 0;      // where its entries start in their scratch list
  bool first = false;         // no entry read yet
  std::uint32_t seen = 0;     // record: the fields read
  std::uint8_t field = 0;     // record: the field whose value the loop is in
  std::uint8_t expected = 0;  // record: the field expected next
  Text key;                   // object of values: the key of the member the loop is in
};

// How far the straight path has read the fields of a record.
struct Progress {
  std::uint32_t seen = 0;
  std::size_t next = 0;  // the field expected next
  bool handed = false;   // over inside the value of field next - 1
};

// kKeep: kYes keeps what it reads, kNo (an item not wanted, from its trace
// ID on) only checks it, and stores nothing.
template <class K, class Loop, Keep kKeep>
class StraightPath {
  using Cursor = spansift::Cursor<K>;
  template <class, class, Keep>
  friend class StraightPath;

 public:
  // Record R at the cursor, on its '{', built into `record`: a call of its
  // own, where fields() is inlined into the loop of a list of records with
  // no list (kFlat).
  template <class R>
  static Read record(Loop& loop, Cursor& c, std::size_t level, R& record) {
    return fields(loop, c, level, record);
  }

  // The member reader (field_types.h) of the straight path: a container is
  // read through to its end where it can be (Read::kWhole), and handed over
  // where it can't (Read::kOpen).
  class Reader : public Loop::Reader {
   public:
    Reader(Loop& loop, Cursor& c, int first, std::size_t level) : Loop::Reader(loop, c, first), level_(level) {}

    [[gnu::always_inline]] Text text() { return this->builder_.template read_text<kKeep>(this->c_); }
    [[gnu::always_inline]] Read value(JsonValue& member) {
      return StraightPath::value(this->builder_, this->c_, this->first(), level_, PutInMember{member});
    }
    [[gnu::always_inline]] Read object(List<JsonMember>& member) {
      return StraightPath::values<false>(this->builder_, this->c_, level_, MembersInto{&member});
    }
    template <class L>
    [[gnu::always_inline]] Read list(L& member) {
      if constexpr (!ListTraits<L>::kMayBeAbsent) {
        // An empty list leaves the member as it starts, empty: no loop to enter.
        if (this->c_.available() >= 2 && this->c_.data()[1] == ']' && level_ < this->builder_.max_depth_) {
          this->c_.advance(2);
          return Read::kWhole;
        }
      }
      return StraightPath::list(this->builder_, this->c_, level_, member);
    }

   private:
    std::size_t level_;  // the frame that a container at the cursor would have
  };

 private:
  // The one hand-over: the frame that the loop would have open at `level`,
  // building `builds`, placed as `at` says.
  template <class Builds>
  static Read hand_over(Loop& loop, std::size_t level, Builds builds, const Stopped& at) {
    Frame& f = loop.stack_.place(level, builds, at.array, at.start);
    f.first = at.first;
    f.seen = at.seen;
    f.field = at.field;
    f.expected_field = at.expected;
    f.key = at.key;
    return Read::kOpen;
  }

  template <class R>
  [[gnu::always_inline]] static Read fields(Loop& loop, Cursor& c, std::size_t level, R& record) {
    loop.enter_at(c, level);
    Progress at;
    if constexpr (kKeep == Keep::kYes && std::is_same_v<R, JaegerItem>) {
      // Once its trace ID tells that an item is not wanted, the rest of it is checked only.
      static_assert(kItemIdField == 0);
      if (!field<R, 0>(loop, c, level, record, at)) return close(loop, c, level, record, at);
      if (!loop.records().keeping()) {
        return StraightPath<K, Loop, Keep::kNo>::template fields_from<R, 1>(loop, c, level, record, at);
      }
      return fields_from<R, 1>(loop, c, level, record, at);
    }
    return fields_from<R, 0>(loop, c, level, record, at);
  }

  // The fields of `record` from field kFrom on, then its end.
  template <class R, std::size_t kFrom>
  [[gnu::always_inline]] static Read fields_from(Loop& loop, Cursor& c, std::size_t level, R& record, Progress& at) {
    [&]<std::size_t... I>(std::index_sequence<I...>) __attribute__((always_inline)) {
      (void)(field<R, kFrom + I>(loop, c, level, record, at) && ...);
    }
    (std::make_index_sequence<kTable<R>.kSize - kFrom>{});
    return close(loop, c, level, record, at);
  }

  // The record's closing brace, if every field it needs was read; else the
  // frame loop goes on with it.
  template <class R>
  [[gnu::always_inline]] static Read close(Loop& loop, Cursor& c, std::size_t level, R& record, const Progress& at) {
    if (!at.handed && c.peek_token() == '}' && (kTable<R>.required & ~at.seen) == 0) {
      c.advance(1);
      loop.records().template record_done<R>();
      return Read::kWhole;
    }
    return hand_over(loop, level, RecordOf<R>{&record},
                     {.first = at.next == 0,
                      .seen = at.seen,
                      .field = static_cast<std::uint8_t>(at.handed ? at.next - 1 : 0),
                      .expected = static_cast<std::uint8_t>(at.next == kTable<R>.kSize ? 0 : at.next),
                      .key = {}});
  }

  // Field I of `record`, if its key comes next: true to go on to the next.
  template <class R, std::size_t I>
  [[gnu::always_inline]] static bool field(Loop& loop, Cursor& c, std::size_t level, R& record, Progress& at) {
    int first = match_key<K, R>(c, I, I > 0);
    if (first == kNoKey) return false;
    at.seen |= 1U << I;
    at.next = I + 1;
    if (first == kNotLooked) first = c.peek_token();
    if (first < 0) c.fail(ReadErrorCode::EofValue, c.offset());
    Reader in(loop, c, first, level + 1);
    at.handed = read_member(in, record.*std::get<I>(kTable<R>.fields).member) == Read::kOpen;
    if constexpr (std::is_same_v<R, JaegerItem> && I == kItemIdField) loop.records().item_id_read(record.traceID);
    return !at.handed;
  }

  // A list at the cursor, on its '[', into `member`.
  template <class L>
  static Read list(Loop& loop, Cursor& c, std::size_t level, L& member) {
    using E = ElementOf<L>;
    loop.enter_at(c, level);
    const std::size_t start = loop.records().template list_start<E>();
    bool first = true;
    [[maybe_unused]] E* reused = nullptr;
    for (NextEntry next; (next = next_entry<Rules::Read>(c, first, ']')) != NextEntry::kClosed;) {
      if constexpr (Record<E>) {
        if (starts_with(next, '{')) {
          E& element = element_of<E>(loop, reused);
          Read read;
          if constexpr (kFlat<E>) {
            read = fields(loop, c, level + 1, element);  // records with no list (tags): inside the list's loop
          } else {
            read = record(loop, c, level + 1, element);
          }
          if (read == Read::kWhole) continue;
        }
        hand_over(loop, level, ListInto<L>{&member}, {.array = true, .start = start, .key = {}});
        // A record in array form is opened by the loop; anything else is refused.
        if (!starts_with(next, '{')) loop.template read_element<E>(c, first_byte(next));
        return Read::kOpen;
      } else {
        Reader in(loop, c, first_byte(next), level + 1);
        E element;
        read_member(in, element);  // a text: stored at once
        if constexpr (kKeep == Keep::kYes) loop.records().add_list_text(element);
      }
    }
    loop.records().template finish_list<kKeep>(member, start);
    return Read::kWhole;
  }

  // Where the next record of a list is built. Not kept, every one is built
  // in the first one's place (`reused`), a record's fields being told by
  // what was read of them, not by what it holds.
  template <class E>
  [[gnu::always_inline]] static E& element_of(Loop& loop, E*& reused) {
    if constexpr (kKeep == Keep::kYes) return loop.records().template new_record<E>();
    if (reused == nullptr) reused = &loop.records().template new_record<E>();
    return *reused;
  }

  // Any value at the cursor, whose first byte is `first`, to where `put` says.
  template <class Put>
  [[gnu::always_inline]] static Read value(Loop& loop, Cursor& c, int first, std::size_t level, Put put) {
    if (first == '[') return values<true>(loop, c, level, put);
    if (first == '{') return values<false>(loop, c, level, put);
    loop.template read_value<kKeep>(c, first, put);  // a scalar: stored at once
    return Read::kWhole;
  }

  // An array or object of values at the cursor, on its bracket, to where
  // `put` says; or, put MembersInto, an object of values into a member of
  // its record.
  template <bool kArray, class Put>
  static Read values(Loop& loop, Cursor& c, std::size_t level, Put put) {
    loop.enter_at(c, level);
    const std::size_t start = kArray ? loop.records().value_count() : loop.records().member_count();
    bool first = true;
    Text key;
    for (NextEntry next; (next = next_entry<Rules::Read>(c, first, kArray ? ']' : '}')) != NextEntry::kClosed;) {
      Read read;
      if constexpr (kArray) {
        read = value(loop, c, first_byte(next), level + 1, PutInArray{});
      } else {
        expect_key(c, next);
        key = loop.template read_text<kKeep>(c);
        expect_colon(c);
        read = value(loop, c, c.peek_token(), level + 1, PutInObject{key});
      }
      if (read == Read::kOpen)
        return hand_over(loop, level, frame_for(put), {.array = kArray, .start = start, .key = key});
    }
    if constexpr (kKeep == Keep::kYes) store_container(loop, put, kArray, start);
    return Read::kWhole;
  }

  static ValueInto frame_for(PutInMember put) { return {&put.member}; }
  static ValueInto frame_for(PutInArray) { return {nullptr}; }
  static ValueInto frame_for(PutInObject) { return {nullptr}; }
  static MembersInto frame_for(MembersInto into) { return into; }

  template <class Put>
  [[gnu::always_inline]] static void store_container(Loop& loop, Put put, bool array, std::size_t start) {
    loop.store(put, array ? JsonValue::from_array(loop.records().template finish_array<Keep::kYes>(start))
                          : JsonValue::from_object(loop.records().template finish_object<Keep::kYes>(start)));
  }
  static void store_container(Loop& loop, MembersInto into, bool, std::size_t start) {
    *into.member = loop.records().template finish_object<Keep::kYes>(start);
  }
};

}  // namespace spansift
