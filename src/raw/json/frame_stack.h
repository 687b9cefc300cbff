// The containers open while an export is read, and what they build. Each
// frame holds what it builds, typed; closing one stores what it built into
// the frame around it. The reading rules stay with the reader
// (json_builder.cpp); this is the other half, kept inline for its loop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <variant>

#include "raw/json/record_builder.h"
#include "raw/json/schema.h"
#include "raw/json/type_list.h"
#include "raw/model.h"

namespace spansift {

// What an open container builds.
// A record: the trace, or the entry of a list, built in place.
template <class R>
struct RecordOf {
  R* record;
};
// A list, which fills a member of its record when it closes.
template <class L>
struct ListInto {
  L* member;
};
// An object of values (processes), which fills a member of its record.
struct MembersInto {
  List<JsonMember>* member;
};
// An array or object of values, which fills a member of its record (a tag's
// value) or, when that is null, becomes an entry of the container of values
// around it.
struct ValueInto {
  JsonValue* member;
};

// Containers of values first: the compiler tests for the first alternative
// before its jump table, and they are the most numerous in exports with
// large tag values.
using FrameBuilds =
    Apply<std::variant, Concat<TypeList<ValueInto, MembersInto>, Map<RecordOf, Records>, Map<ListInto, ListTypes>>>;

constexpr std::uint8_t kUnknownField = 0xFF;

// One open container.
// Where a value read goes: a member of a record (a tag's value), or an entry
// of the array or object of values being read.
struct PutInMember {
  JsonValue& member;
};
struct PutInArray {};
struct PutInObject {
  Text key;
};

struct Frame {
  FrameBuilds builds;
  bool array = false;               // its entries are in brackets: a list, an array, a record in array form
  bool first = true;                // no entry read yet
  std::uint8_t field = 0;           // record: the field being read (object form: kUnknownField for a skipped one)
  std::uint8_t expected_field = 0;  // record, object form: the field most likely to come next
  std::uint32_t seen = 0;           // record, object form: the fields given so far
  std::size_t start = 0;            // list, array, object: where its entries start in their scratch list
  Text key;                         // object of values: the key of the member being read
};

class FrameStack {
 public:
  // Room for `max_depth` frames, which never move. Each is made where it is
  // pushed or placed, not before: a reader of one item sets up none it does
  // not use.
  FrameStack(std::size_t max_depth, ReadInto into)
      : frames_(static_cast<Frame*>(::operator new(max_depth * sizeof(Frame)))), records_(std::move(into)) {}

  // No frame open and nothing building, for a reader that goes on with
  // another text, whatever the last one left (a fault, say).
  void clear() {
    depth_ = 0;
    records_.clear();
  }

  bool empty() const { return depth_ == 0; }
  std::size_t depth() const { return depth_; }
  Frame& top() { return frames_.get()[depth_ - 1]; }
  RecordBuilder& records() { return records_; }

  // The caller has made sure that the stack is not full. `builds`: one of
  // the alternatives of FrameBuilds; `start`: where the container's entries
  // start in their scratch list.
  template <class Builds>
  [[gnu::always_inline]] void push(Builds builds, bool array, std::size_t start) {
    Frame& f = frames_.get()[depth_++];
    // Made in place, its alternative too: a Frame or a variant assigned whole
    // is built on the stack and copied over, which stalls on the bytes just
    // stored.
    std::construct_at(&f);
    f.builds.emplace<Builds>(builds);
    f.array = array;
    f.start = start;
  }

  // The frame at `level`, made anew for what it builds, for a reader that
  // opened containers without frames and hands over to the loop that reads
  // with them: it places the innermost first, and the depth follows it.
  template <class Builds>
  [[gnu::always_inline]] Frame& place(std::size_t level, Builds builds, bool array, std::size_t start) {
    Frame& f = frames_.get()[level];
    std::construct_at(&f);
    f.builds.emplace<Builds>(builds);
    f.array = array;
    f.start = start;
    if (level >= depth_) depth_ = level + 1;
    return f;
  }

  // Closes the innermost container, whose closing bracket has been read (a
  // record's fields checked), and stores what it built into the one around
  // it.
  void pop() {
    Frame& f = frames_.get()[--depth_];
    visit_alternative(
        f.builds, [&](auto builds) __attribute__((always_inline)) { closed(f, builds); });
  }

  // A field of record frame `f` has been read; in the array form, the next
  // field comes next.
  static void entry_done(Frame& f) {
    if (f.array) ++f.field;
  }

  // An entry of the container of values `f`: an element, or a member under
  // f.key.
  [[gnu::always_inline]] void add_entry(const Frame& f, const JsonValue& value) {
    if (f.array) {
      records_.add_value(value);
    } else {
      records_.add_member(f.key, value);
    }
  }

  JaegerTrace take_trace() { return records_.take_trace(); }

 private:
  // What closed frame `f` built, stored where it goes. A record was built in
  // place as its list's entry (the trace: in the store already).
  template <class R>
  [[gnu::always_inline]] void closed(Frame&, RecordOf<R>) {
    records_.record_done<R>();
  }
  template <class L>
  [[gnu::always_inline]] void closed(Frame& f, ListInto<L> into) {
    records_.finish_list(*into.member, f.start);
    entry_done(top());
  }
  [[gnu::always_inline]] void closed(Frame& f, MembersInto into) {
    *into.member = records_.finish_object(f.start);
    entry_done(top());
  }
  [[gnu::always_inline]] void closed(Frame& f, ValueInto into) {
    const JsonValue value = f.array ? JsonValue::from_array(records_.finish_array(f.start))
                                    : JsonValue::from_object(records_.finish_object(f.start));
    if (into.member == nullptr) return add_entry(top(), value);
    *into.member = value;
    entry_done(top());
  }

  // Frames hold no resource: their room is given back without them.
  static_assert(std::is_trivially_destructible_v<Frame>);
  struct GiveBack {
    void operator()(Frame* frames) const { ::operator delete(frames); }
  };
  std::unique_ptr<Frame, GiveBack> frames_;
  std::size_t depth_ = 0;
  RecordBuilder records_;
};

}  // namespace spansift
