// The containers open while an export is read, and what they build. Each
// frame knows where its entries go; closing one stores what it built into
// the frame around it. The reading rules stay with the reader
// (json_builder.cpp); this is the other half, kept inline for its loop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>

#include "raw/model.h"
#include "raw/record_store.h"
#include "raw/schema.h"

namespace spansift {

enum class FrameKind : std::uint8_t { RecordObject, RecordArray, List, Processes, ValueArray, ValueObject };

constexpr std::uint8_t kUnknownField = 0xFF;

// One open container.
struct Frame {
  FrameKind kind;
  Kind of;                 // the record; for the others, what their entries hold
  bool first = true;       // no entry read yet
  std::uint8_t field = 0;  // record: the field being read (object form: kUnknownField for a skipped one)
  std::uint8_t guess = 0;  // object form: the field most likely to come next
  std::uint32_t seen = 0;  // object form: the fields given so far
  std::size_t start = 0;   // list, array, object: where its entries start in the store
  char* record = nullptr;  // record: the struct being built
  char* target = nullptr;  // record: its member for the field being read
  Text key;                // objects of values: the key of the member being read
};

class FrameStack {
 public:
  // Room for `max_depth` frames, which never move.
  FrameStack(std::size_t max_depth, std::shared_ptr<ModelStore> store)
      : frames_(new Frame[max_depth]), store_(std::move(store)) {}

  bool empty() const { return depth_ == 0; }
  std::size_t depth() const { return depth_; }
  Frame& top() { return frames_[depth_ - 1]; }

  // The caller has made sure that the stack is not full.
  [[gnu::always_inline]] void push(FrameKind kind, Kind of) {
    Frame& f = frames_[depth_++];
    f = Frame{};
    f.kind = kind;
    f.of = of;
    switch (kind) {
      case FrameKind::RecordObject:
      case FrameKind::RecordArray: f.record = store_.new_record(of); break;
      case FrameKind::List: f.start = store_.list_start(of); break;
      case FrameKind::ValueArray: f.start = store_.value_count(); break;
      default: f.start = store_.member_count();
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
        if (f.of == Kind::Error) store_.count_error();
        return;
      case FrameKind::List:
        store_.finish_list(f.of, f.start, owner.target, schema_of(owner.of).fields[owner.field].optional);
        return stored(owner);
      case FrameKind::Processes:
        *reinterpret_cast<List<JsonMember>*>(owner.target) = store_.finish_object(f.start);
        return stored(owner);
      case FrameKind::ValueArray: return store_value(owner, JsonValue::from_array(store_.finish_array(f.start)));
      case FrameKind::ValueObject: return store_value(owner, JsonValue::from_object(store_.finish_object(f.start)));
    }
  }

  // A value has gone into `f`.
  static void stored(Frame& f) {
    if (f.kind == FrameKind::RecordArray) ++f.field;
  }

  // `escaped`: the text was decoded from escapes.
  [[gnu::always_inline]] Text add_text(std::string_view text, bool escaped) { return store_.add_text(text, escaped); }

  [[gnu::always_inline]] void store_text(Frame& f, Text text) {
    if (f.kind == FrameKind::List) {
      store_.add_list_text(text);
      return;
    }
    *reinterpret_cast<Text*>(f.target) = text;
    stored(f);
  }

  // `wide`: the field is 64 bits; the value fits it.
  static void store_integer(Frame& f, bool wide, std::int64_t value) {
    if (wide) {
      *reinterpret_cast<std::int64_t*>(f.target) = value;
    } else {
      *reinterpret_cast<std::int32_t*>(f.target) = static_cast<std::int32_t>(value);
    }
    stored(f);
  }

  [[gnu::always_inline]] void store_value(Frame& f, const JsonValue& value) {
    switch (f.kind) {
      case FrameKind::ValueArray: store_.add_value(value); return;
      case FrameKind::ValueObject:
      case FrameKind::Processes: store_.add_member(f.key, value); return;
      default:  // a tag's value
        *reinterpret_cast<JsonValue*>(f.target) = value;
        stored(f);
    }
  }

  JaegerTrace take_trace() { return store_.take_trace(); }

 private:
  std::unique_ptr<Frame[]> frames_;
  std::size_t depth_ = 0;
  RecordStore store_;
};

}  // namespace spansift
