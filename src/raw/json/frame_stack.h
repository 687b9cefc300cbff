// The containers open while an export is read, and what they build. Each
// frame knows where its entries go; closing one stores what it built into
// the frame around it. The reading rules stay with the reader
// (json_builder.cpp); this is the other half, kept inline for its loop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>

#include "raw/json/record_builder.h"
#include "raw/json/schema.h"
#include "raw/model.h"

namespace spansift {

enum class FrameKind : std::uint8_t { RecordObject, RecordArray, List, Processes, ValueArray, ValueObject };

constexpr std::uint8_t kUnknownField = 0xFF;

// One open container.
struct Frame {
  FrameKind kind;
  FieldKind content;                // the record; a list's kind; Value for the others
  bool first = true;                // no entry read yet
  std::uint8_t field = 0;           // record: the field being read (object form: kUnknownField for a skipped one)
  std::uint8_t expected_field = 0;  // object form: the field most likely to come next
  std::uint32_t seen = 0;           // object form: the fields given so far
  std::size_t start = 0;            // list, array, object: where its entries start in the store
  RecordRef record{};               // record: the record being built
  FieldRef target{};                // in a record: the member that this container fills when it closes
  Text key;                         // objects of values: the key of the member being read
};

class FrameStack {
 public:
  // Room for `max_depth` frames, which never move.
  FrameStack(std::size_t max_depth, ReadInto into) : frames_(new Frame[max_depth]), builder_(std::move(into)) {}

  bool empty() const { return depth_ == 0; }
  std::size_t depth() const { return depth_; }
  Frame& top() { return frames_[depth_ - 1]; }

  // The caller has made sure that the stack is not full. `target`: for a
  // container that fills a member of a record, that member.
  [[gnu::always_inline]] void push(FrameKind kind, FieldKind content, FieldRef target) {
    Frame& f = frames_[depth_++];
    // Made in place: a Frame assigned whole is built on the stack and
    // copied over, which stalls on the bytes just stored.
    std::construct_at(&f);
    f.kind = kind;
    f.content = content;
    f.target = target;
    switch (kind) {
      case FrameKind::RecordObject:
      case FrameKind::RecordArray: f.record = builder_.new_record(content); break;
      case FrameKind::List: f.start = builder_.list_start(content); break;
      case FrameKind::ValueArray: f.start = builder_.value_count(); break;
      default: f.start = builder_.member_count();
    }
  }

  // Closes the innermost container, whose closing bracket has been read (a
  // record's fields checked), and stores what it built into the one around
  // it.
  void pop() {
    const Frame& f = frames_[--depth_];
    if (depth_ == 0) return;  // the trace: it is in the store already
    Frame& owner = top();
    switch (f.kind) {
      case FrameKind::RecordObject:
      case FrameKind::RecordArray:
        // Built in place as the list's next entry.
        if (f.content == FieldKind::Error) {
          builder_.count_error();
        } else if (f.content == FieldKind::Item) {
          builder_.item_done();
        }
        return;
      case FrameKind::List: builder_.finish_list(f.content, f.start, f.target); return entry_done(owner);
      case FrameKind::Processes: *f.target.processes = builder_.finish_object(f.start); return entry_done(owner);
      case FrameKind::ValueArray:
        return store_value(owner, f.target, JsonValue::from_array(builder_.finish_array(f.start)));
      case FrameKind::ValueObject:
        return store_value(owner, f.target, JsonValue::from_object(builder_.finish_object(f.start)));
    }
  }

  // An entry of `f` has been read; in a record's array form, the next field
  // comes next.
  static void entry_done(Frame& f) {
    if (f.kind == FrameKind::RecordArray) ++f.field;
  }

  // `may_need_escaping`: the text was decoded from escapes.
  [[gnu::always_inline]] Text add_text(std::string_view text, bool may_need_escaping) {
    return builder_.add_text(text, may_need_escaping);
  }

  // A text entry of a list.
  [[gnu::always_inline]] void add_list_text(Text text) { builder_.add_list_text(text); }

  // A value entry of `f`: an element, a member under f.key, or in a record
  // the value of the member `target`.
  [[gnu::always_inline]] void store_value(Frame& f, FieldRef target, const JsonValue& value) {
    switch (f.kind) {
      case FrameKind::ValueArray: builder_.add_value(value); return;
      case FrameKind::ValueObject:
      case FrameKind::Processes: builder_.add_member(f.key, value); return;
      default:  // a tag's value
        *target.value = value;
        entry_done(f);
    }
  }

  JaegerTrace take_trace() { return builder_.take_trace(); }

 private:
  std::unique_ptr<Frame[]> frames_;
  std::size_t depth_ = 0;
  RecordBuilder builder_;
};

}  // namespace spansift
