#include "raw/json/json_builder.h"

#include <cstring>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "raw/json/frame_stack.h"
#include "raw/json/json_grammar.h"
#include "raw/json/json_number.h"
#include "raw/json/json_skip.h"
#include "raw/json/read_error.h"
#include "raw/json/schema.h"
#include "utils/messages.h"
#include "utils/text.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace spansift {

namespace {

using enum ReadErrorCode;

// Containers deeper than this are refused where values are built; the
// document itself is level 1. Skipped values have no such limit.
constexpr std::size_t kMaxBuiltDepth = 127;

// The steps of one entry are inlined into the loop that reads a container's
// entries: called apart, saving and restoring registers costs more than
// most of them do.
#define SPANSIFT_HOT [[gnu::always_inline]] inline

class Builder {
 public:
  Builder(JsonInput& input, ReadInto into) : in_(input), stack_(kMaxBuiltDepth, std::move(into)) {}

  JaegerTrace run() {
    {
      Cursor c(in_);
      const int first = c.peek_token();
      if (first < 0) c.fail(EofValue, c.offset());
      read_element(c, FieldKind::Trace, first);
    }
    while (!stack_.empty()) read_entries(stack_.top());
    Cursor c(in_);
    if (c.peek_token() >= 0) c.fail(TrailingCharacters, c.offset(1));
    return stack_.take_trace();
  }

 private:
  // Reads the entries of `f` until one opens a container (pushed on the
  // stack) or `f` itself closes.
  void read_entries(Frame& f) {
    switch (f.kind) {
      case FrameKind::RecordObject:
      case FrameKind::RecordArray:
        switch (f.content) {
          case FieldKind::Trace: return read_fields(f, *f.record.trace);
          case FieldKind::Item: return read_fields(f, *f.record.item);
          case FieldKind::Span: return read_fields(f, *f.record.span);
          case FieldKind::Reference: return read_fields(f, *f.record.reference);
          case FieldKind::Tag: return read_fields(f, *f.record.tag);
          case FieldKind::Log: return read_fields(f, *f.record.log);
          default: {
            JaegerError unkept;  // an error entry keeps nothing
            return read_fields(f, unkept);
          }
        }
      default: break;
    }
    Cursor c(in_);
    if (f.kind == FrameKind::List) {
      const FieldKind element = element_of(f.content);
      for (int next; (next = next_entry<Rules::Read>(c, f.first, ']')) != kClosed;) {
        if (read_element(c, element, next)) return;
      }
    } else if (f.kind == FrameKind::ValueArray) {
      for (int next; (next = next_entry<Rules::Read>(c, f.first, ']')) != kClosed;) {
        if (read_value(c, f, next, {})) return;
      }
    } else {
      for (int next; (next = next_entry<Rules::Read>(c, f.first, '}')) != kClosed;) {
        expect_key(c, next);
        JsonString key = c.read_string(scratch_);
        f.key = stack_.add_text(key.text, key.escaped);
        expect_colon(c);
        if (read_value(c, f, c.peek_token(), {})) return;
      }
    }
    close(c);
  }

  // The entries of record frame `f`, which builds `record`.
  template <class R>
  void read_fields(Frame& f, R& record) {
    Cursor c(in_);
    if (f.kind == FrameKind::RecordObject) {
      while (next_field(c, f)) {
        if (f.field == kUnknownField) {
          c.with_input([this](JsonInput& in) { skip_value(in, skip_stack_); });
          continue;
        }
        if (read_field(c, f, record)) return;
      }
    } else {
      while (next_array_field(c, f)) {
        if (read_field(c, f, record)) return;
      }
    }
    close(c);
  }

  // Reads the value of field f.field of `record`, after the whitespace at
  // the cursor: a scalar is stored at once (false), a container is opened
  // (true).
  template <class R>
  SPANSIFT_HOT bool read_field(Cursor& c, Frame& f, R& record) {
    if constexpr (table_of<R>().fields.empty()) {
      return false;  // never reached: a record without fields skips every key
    } else {
      const FieldKind want = table_of<R>().fields[f.field].kind;
      const MemberOf<R>& member = table_of<R>().members[f.field];
      int first = c.peek_token();
      if (first < 0) c.fail(EofValue, c.offset());
      // Only the kinds that R has are read: each record's loop stays small.
      switch (want) {
        case FieldKind::Text:
          if constexpr (has_field_of_kind<R>(FieldKind::Text)) {
            if (first != '"') refuse(c, want);
            record.*member.text = read_text(c);
            FrameStack::entry_done(f);
            return false;
          }
          break;
        case FieldKind::I32:
          if constexpr (has_field_of_kind<R>(FieldKind::I32)) {
            if (first != '-' && !is_digit(first)) refuse(c, want);
            record.*member.i32 = static_cast<std::int32_t>(read_integer(c, want));
            FrameStack::entry_done(f);
            return false;
          }
          break;
        case FieldKind::I64:
          if constexpr (has_field_of_kind<R>(FieldKind::I64)) {
            if (first != '-' && !is_digit(first)) refuse(c, want);
            record.*member.i64 = read_integer(c, want);
            FrameStack::entry_done(f);
            return false;
          }
          break;
        case FieldKind::Value:
          if constexpr (has_field_of_kind<R>(FieldKind::Value)) return read_value(c, f, first, member.in(record, want));
          break;
        case FieldKind::Processes:
          if constexpr (has_field_of_kind<R>(FieldKind::Processes)) {
            if (first != '{') refuse(c, want);
            return open(c, FrameKind::Processes, FieldKind::Value, member.in(record, want));
          }
          break;
        default:
          if (first == '[') return open(c, FrameKind::List, want, member.in(record, want));
          if (first == 'n' && is_optional(want)) {  // null: absent
            c.literal("null");
            FrameStack::entry_done(f);
            return false;
          }
      }
      refuse(c, want);
    }
  }

  // Reads an element of kind `want` (a record or a text) of a list, or the
  // document, whose first byte `first` is at the cursor: a text is stored at
  // once (false), a record is opened (true).
  SPANSIFT_HOT bool read_element(Cursor& c, FieldKind want, int first) {
    if (want == FieldKind::Text) {
      if (first != '"') refuse(c, want);
      stack_.add_list_text(read_text(c));
      return false;
    }
    if (first == '{') return open(c, FrameKind::RecordObject, want, {});
    if (first == '[') return open(c, FrameKind::RecordArray, want, {});
    refuse(c, want);
  }

  // Reads any JSON value for an entry of `f` (in a record, into `target`),
  // whose first byte is `first`: a scalar is stored at once (false), a
  // container is opened (true).
  SPANSIFT_HOT bool read_value(Cursor& c, Frame& f, int first, FieldRef target) {
    switch (first) {
      case '"': stack_.store_value(f, target, JsonValue::from_string(read_text(c))); return false;
      case '[': return open(c, FrameKind::ValueArray, FieldKind::Value, target);
      case '{': return open(c, FrameKind::ValueObject, FieldKind::Value, target);
      case 'n':
        c.literal("null");
        stack_.store_value(f, target, JsonValue::null());
        return false;
      case 't':
        c.literal("true");
        stack_.store_value(f, target, JsonValue::from_bool(true));
        return false;
      case 'f':
        c.literal("false");
        stack_.store_value(f, target, JsonValue::from_bool(false));
        return false;
      default: break;
    }
    if (first < 0) c.fail(EofValue, c.offset());
    expect_number(c, first);
    Number n = read_number(c);
    switch (n.kind) {
      case NumberKind::Unsigned: stack_.store_value(f, target, JsonValue::from_unsigned(n.unsigned_value)); break;
      case NumberKind::Signed: stack_.store_value(f, target, JsonValue::from_signed(n.signed_value)); break;
      case NumberKind::Double: stack_.store_value(f, target, JsonValue::from_double(n.double_value, n.places)); break;
    }
    return false;
  }

  // A value of the wrong kind where `want` belongs: it is read whole (its own
  // faults come first), then named in the error.
  [[noreturn]] SPANSIFT_HOT void refuse(Cursor& c, FieldKind want) {
    auto [error, at] = c.with_input([this, want](JsonInput& in) { return refusal(in, want); });
    c.fail(std::move(error), at);
  }

  [[gnu::noinline]] std::pair<ReadError, std::uint64_t> refusal(JsonInput& input, FieldKind want) {
    Cursor c(input);
    const int first = c.peek_token();
    std::string found;
    std::uint64_t at = 0;
    if (const std::string_view word = literal_starting_with(first); !word.empty()) {
      c.literal(word);
      found = first == 'n' ? messages::kFoundNull : messages::found_boolean(word);
      at = c.offset();
    } else if (first == '"') {
      found = messages::found_string(quoted_text(c.read_string(scratch_).text));
      at = c.offset();
    } else if (first == '[' || first == '{') {
      found = first == '[' ? messages::kFoundSequence : messages::kFoundMap;
      at = c.offset(1);
    } else {
      expect_number(c, first);
      const Number n = read_number(c);
      found = found_text(n);
      at = n.end;
    }
    return {ReadError::invalid_type(std::move(found), expectation(want)), at};
  }

  // --- Between entries: separators, keys, closing brackets ---

  // Reads up to the value of the next field of a record in object form (key
  // and colon); false when the record closed.
  SPANSIFT_HOT bool next_field(Cursor& c, Frame& f) {
    // Compact exports give the comma and the expected key back to back.
    if (!f.first && c.available() != 0 && *c.data() == ',' && expected_key(c, f, 1)) return true;
    const int next = next_entry<Rules::Read>(c, f.first, '}');
    if (next == kClosed) return false;
    expect_key(c, next);
    if (expected_key(c, f, 0)) return true;
    c.with_input([this, &f](JsonInput& in) { read_record_key(in, f); });
    expect_colon(c);
    return true;
  }

  // A record in array form: its fields in declaration order, all of them.
  // True with f.field the next one to read; false when the record closed.
  bool next_array_field(Cursor& c, Frame& f) {
    const RecordSchema& schema = schema_of(f.content);
    if (f.field < schema.fields.size()) {
      if (next_entry<Rules::Read>(c, f.first, ']') == kClosed) {
        c.fail(ReadError::invalid_length(f.field, messages::expected_struct_of(schema.name, schema.fields.size())),
               c.offset());
      }
      return true;
    }
    // Every field is read: only the closing bracket may follow.
    int next = c.peek_token();
    if (next == ']') {
      c.advance(1);
      return false;
    }
    if (next == ',') {
      c.advance(1);
      next = c.peek_token();
      fail_through(c, next == ']' ? TrailingComma : TrailingCharacters);
    }
    fail_through(c, next < 0 ? EofList : TrailingCharacters);
  }

  // Fails with `message` placed just past the byte at the cursor, if any.
  [[noreturn]] static void fail_through(Cursor& c, ReadErrorCode code) { c.fail(code, c.offset_through()); }

  // Exports mostly give a record's fields in declaration order, compact: the
  // field after the last one, "key": and all, is looked for first, `skip`
  // bytes (a comma) after the cursor.
  SPANSIFT_HOT static bool expected_key(Cursor& c, Frame& f, std::size_t skip) {
#if defined(__SSE2__)
    std::span<const FieldSchema> fields = schema_of(f.content).fields;
    const std::size_t i = f.expected_field;
    if (i >= fields.size() || c.available() < skip + 16 || (f.seen & (1U << i)) != 0) return false;
    const FieldSchema& field = fields[i];
    __m128i bytes = load16(c.data() + skip);
    __m128i want = load16(field.quoted_key.data());
    auto same = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, want)));
    unsigned needed = (1U << field.quoted_length) - 1;
    if ((same & needed) != needed) return false;
    c.advance(skip + field.quoted_length);
    take_field(f, i);
    return true;
#else
    (void)c;
    (void)f;
    (void)skip;
    return false;
#endif
  }

  // A key of a record that is not the one expected next.
  void read_record_key(JsonInput& input, Frame& f) {
    Cursor c(input);
    JsonString key = c.read_string(scratch_);
    std::span<const FieldSchema> fields = schema_of(f.content).fields;
    std::size_t i = find_field(fields, key.text);
    if (i == fields.size()) {
      f.field = kUnknownField;
      return;
    }
    if ((f.seen & (1U << i)) != 0) {
      // Placed where the reader looks next, past the blanks after the key.
      c.peek_token();
      c.fail(ReadError::field(DuplicateField, std::string(fields[i].key)), c.offset_through());
    }
    take_field(f, i);
  }

  SPANSIFT_HOT static void take_field(Frame& f, std::size_t i) {
    std::span<const FieldSchema> fields = schema_of(f.content).fields;
    f.seen |= 1U << i;
    f.field = static_cast<std::uint8_t>(i);
    f.expected_field = static_cast<std::uint8_t>(i + 1 == fields.size() ? 0 : i + 1);
  }

  SPANSIFT_HOT Text read_text(Cursor& c) {
    JsonString s = c.read_string(scratch_);
    return stack_.add_text(s.text, s.escaped);
  }

  // --- Building ---

  // Opens a container at the cursor (`target`: the member of a record that
  // it fills); true, for the readers of values to pass on.
  SPANSIFT_HOT bool open(Cursor& c, FrameKind kind, FieldKind content, FieldRef target) {
    if (stack_.depth() >= kMaxBuiltDepth) c.fail(RecursionLimit, c.offset(1));
    c.advance(1);
    stack_.push(kind, content, target);
    return true;
  }

  // Closes the innermost container, whose closing bracket has been read.
  void close(Cursor& c) {
    const Frame& f = stack_.top();
    if (f.kind == FrameKind::RecordObject) {
      const RecordSchema& schema = schema_of(f.content);
      std::uint32_t missing = schema.required & ~f.seen;
      if (missing != 0) {
        // The first missing field in declaration order is named.
        std::string_view key = schema.fields[static_cast<std::size_t>(__builtin_ctz(missing))].key;
        c.fail(ReadError::field(MissingField, std::string(key)), c.offset());
      }
    }
    stack_.pop();
  }

  // An integer for a field of kind `want` (I32 or I64), checked to fit it.
  SPANSIFT_HOT std::int64_t read_integer(Cursor& c, FieldKind want) {
    const Number n = read_number(c);
    const bool wide = want == FieldKind::I64;
    if (n.kind == NumberKind::Double) c.fail(ReadError::invalid_type(found_text(n), expectation(want)), n.end);
    bool fits = n.kind == NumberKind::Unsigned
                    ? n.unsigned_value <= static_cast<std::uint64_t>(wide ? INT64_MAX : INT32_MAX)
                    : wide || n.signed_value >= INT32_MIN;
    if (!fits) c.fail(ReadError::invalid_value(found_text(n), expectation(want)), n.end);
    return n.kind == NumberKind::Unsigned ? static_cast<std::int64_t>(n.unsigned_value) : n.signed_value;
  }

  JsonInput& in_;  // read only through a Cursor
  FrameStack stack_;
  std::string scratch_;     // a string decoded from escapes
  std::string skip_stack_;  // the open brackets of a skipped value
};

}  // namespace

#undef SPANSIFT_HOT

JaegerTrace build_trace(JsonInput& input, ReadInto into) { return Builder(input, std::move(into)).run(); }

}  // namespace spansift
