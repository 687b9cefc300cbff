#include "raw/json/json_builder.h"

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "raw/json/field_types.h"
#include "raw/json/frame_stack.h"
#include "raw/json/items_ahead.h"
#include "raw/json/json_grammar.h"
#include "raw/json/json_number.h"
#include "raw/json/json_skip.h"
#include "raw/json/read_error.h"
#include "raw/json/schema.h"
#include "raw/json/straight_path.h"
#include "utils/messages.h"
#include "utils/simd/kernels.h"
#include "utils/text.h"

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

template <class K>
class Builder;

// What the frame loop reads a member (field_types.h) through: the value at
// the cursor, whose first byte has been looked at.
template <class K>
class FieldReader {
 public:
  FieldReader(Builder<K>& builder, Cursor<K>& c, int first) : builder_(builder), c_(c), first_(first) {}

  int first() const { return first_; }
  [[noreturn]] SPANSIFT_HOT void refuse(std::string expected);
  SPANSIFT_HOT Text text();
  template <class I>
  SPANSIFT_HOT I integer(const char* expected);
  SPANSIFT_HOT Read value(JsonValue& member);
  SPANSIFT_HOT Read object(List<JsonMember>& member);
  template <class L>
  SPANSIFT_HOT Read list(L& member);
  SPANSIFT_HOT void null();

 protected:
  Builder<K>& builder_;
  Cursor<K>& c_;

 private:
  int first_;
};

// K: the 16-byte kernel of its fast paths (utils/simd).
template <class K>
class Builder {
  using Cursor = spansift::Cursor<K>;
  using Straight = StraightPath<K, Builder, Keep::kYes>;
  using Check = StraightPath<K, Builder, Keep::kNo>;

 public:
  using Reader = FieldReader<K>;

  // `max_depth`: the containers that may be open at once. `input` may be
  // null for a builder of items, each read from an input of its own.
  Builder(JsonInput* input, ReadInto into, ItemsAhead* ahead = nullptr, std::size_t max_depth = kMaxBuiltDepth)
      : in_(input),
        straight_(into.straight_path),
        stack_(max_depth, std::move(into)),
        ahead_(ahead),
        max_depth_(max_depth) {}

  JaegerTrace run() {
    {
      Cursor c(*in_);
      const int first = c.peek_token();
      if (first < 0) c.fail(EofValue, c.offset());
      read_element<JaegerTrace>(c, first);
    }
    while (!stack_.empty()) read_entries(stack_.top());
    Cursor c(*in_);
    if (c.peek_token() >= 0) c.fail(TrailingCharacters, c.offset(1));
    return stack_.take_trace();
  }

  // One item of `data` in `input`, and nothing after it; throws ReadError.
  // A builder reads one item after another so, whatever the last one left.
  JaegerItem run_item(JsonInput& input) {
    in_ = &input;
    stack_.clear();
    {
      Cursor c(*in_);
      if (c.peek_token() != '{') c.fail(ExpectedValue, c.offset());
      if (straight_) {
        Straight::record(*this, c, 0, records().template new_record<JaegerItem>());
      } else {
        read_element<JaegerItem>(c, '{');
      }
    }
    while (!stack_.empty()) read_entries(stack_.top());
    Cursor c(*in_);
    if (c.peek_token() >= 0) c.fail(TrailingCharacters, c.offset(1));
    return stack_.records().take_item();
  }
  // Whether the item that run_item read was wanted.
  bool kept() { return records().kept(); }

 private:
  friend class FieldReader<K>;
  friend Straight;
  friend Check;

  RecordBuilder& records() { return stack_.records(); }

  // Reads the entries of `f` until one opens a container (pushed on the
  // stack) or `f` itself closes.
  void read_entries(Frame& f) {
    visit_alternative(
        f.builds, [&](auto builds) __attribute__((always_inline)) { read_entries(f, builds); });
  }

  template <class R>
  void read_entries(Frame& f, RecordOf<R> building) {
    read_fields(f, *building.record);
  }
  template <class L>
  void read_entries(Frame& f, ListInto<L>) {
    read_elements<ElementOf<L>>(f);
  }
  void read_entries(Frame& f, MembersInto) { read_members(f); }
  void read_entries(Frame& f, ValueInto) {
    if (f.array) {
      read_values(f);
    } else {
      read_members(f);
    }
  }

  // The fields of record frame `f`, which builds `record`.
  template <class R>
  void read_fields(Frame& f, R& record) {
    Cursor c(*in_);
    if (!f.array) {
      while (next_field<R>(c, f)) {
        if (f.field == kUnknownField) {
          c.with_input([this](JsonInput& in) { skip_value(in, skip_stack_); });
          continue;
        }
        if (read_field(c, f, record) == Read::kOpen) return;
      }
      // The first field missing in declaration order is named.
      const std::uint32_t missing = kTable<R>.required & ~f.seen;
      if (missing != 0) {
        c.fail(ReadError::field(MissingField, std::string(kTable<R>.keys[__builtin_ctz(missing)])), c.offset());
      }
    } else {
      while (next_array_field<R>(c, f)) {
        if (read_field(c, f, record) == Read::kOpen) return;
      }
    }
    stack_.pop();
  }

  // Reads the value of field f.field of `record`, after the whitespace at
  // the cursor: a scalar is stored at once (false), a container is opened
  // (true).
  template <class R>
  SPANSIFT_HOT Read read_field(Cursor& c, Frame& f, R& record) {
    const int first = c.peek_token();
    if (first < 0) c.fail(EofValue, c.offset());
    FieldReader<K> in(*this, c, first);
    // Inlined like every step of an entry: apart, it would take the cursor out of registers.
    if (visit_field<R>(
            f.field, [&](auto member) __attribute__((always_inline)) { return read_member(in, record.*member); }) ==
        Read::kOpen)
      return Read::kOpen;
    if constexpr (std::is_same_v<R, JaegerItem>) {
      if (f.field == kItemIdField) records().item_id_read(record.traceID);
    }
    FrameStack::entry_done(f);
    return Read::kWhole;
  }

  // The elements of list frame `f`, of type E.
  template <class E>
  void read_elements(Frame& f) {
    Cursor c(*in_);
    for (NextEntry next; (next = next_entry<Rules::Read>(c, f.first, ']')) != NextEntry::kClosed;) {
      if constexpr (std::is_same_v<E, JaegerItem>) {
        if (ahead_ != nullptr && starts_with(next, '{') && take_read_ahead(c)) continue;
      }
      if constexpr (Record<E>) {
        if (straight_ && starts_with(next, '{')) {
          E& element = records().template new_record<E>();
          const Read read = records().keeping() ? Straight::record(*this, c, stack_.depth(), element)
                                                : Check::record(*this, c, stack_.depth(), element);
          if (read == Read::kWhole) continue;
          return;
        }
      }
      if (read_element<E>(c, first_byte(next)) == Read::kOpen) return;
    }
    stack_.pop();
  }

  // An item of `data` at the cursor, if it was read ahead: given to the
  // item sink, and its bytes skipped.
  bool take_read_ahead(Cursor& c) {
    ClaimedItem read;
    if (!ahead_->claim(c.offset(), read)) return false;
    c.skip(read.length);
    records().item_read(std::move(read.item), std::move(read.store), read.kept);
    return true;
  }

  // Reads an element of type E (a record or a text) of a list, or the
  // document, whose first byte `first` is at the cursor: a text is stored
  // at once, a record is opened.
  template <class E>
  SPANSIFT_HOT Read read_element(Cursor& c, int first) {
    if constexpr (Record<E>) {
      if (first == '{') return open_record<E>(c, false);
      if (first == '[') return open_record<E>(c, true);
      refuse(c, messages::expected_struct(kTable<E>.name));
    } else {
      E element;
      FieldReader<K> in(*this, c, first);
      read_member(in, element);  // a text: stored at once
      records().add_list_text(element);
      return Read::kWhole;
    }
  }

  void read_values(Frame& f) {
    Cursor c(*in_);
    for (NextEntry next; (next = next_entry<Rules::Read>(c, f.first, ']')) != NextEntry::kClosed;) {
      if (read_value(c, first_byte(next), PutInArray{}) == Read::kOpen) return;
    }
    stack_.pop();
  }

  // The members of an object of values.
  void read_members(Frame& f) {
    Cursor c(*in_);
    for (NextEntry next; (next = next_entry<Rules::Read>(c, f.first, '}')) != NextEntry::kClosed;) {
      expect_key(c, next);
      f.key = read_text(c);
      expect_colon(c);
      if (read_value(c, c.peek_token(), PutInObject{f.key}) == Read::kOpen) return;
    }
    stack_.pop();
  }

  // Reads any JSON value, whose first byte is `first`, to where `put` says:
  // a scalar is stored at once (false), a container is opened (true). Not
  // kept (Keep::kNo), a scalar is only checked.
  template <Keep keep = Keep::kAsk, class Put>
  SPANSIFT_HOT Read read_value(Cursor& c, int first, Put put) {
    if constexpr (keep == Keep::kNo) {
      if (check_scalar(c, first)) return Read::kWhole;
    }
    switch (first) {
      case '"': store(put, JsonValue::from_string(read_text<keep>(c))); return Read::kWhole;
      case '[': return open(c, ValueInto{member_of(put)}, true, records().value_count());
      case '{': return open(c, ValueInto{member_of(put)}, false, records().member_count());
      case 'n':
        c.literal("null");
        store(put, JsonValue::null());
        return Read::kWhole;
      case 't':
        c.literal("true");
        store(put, JsonValue::from_bool(true));
        return Read::kWhole;
      case 'f':
        c.literal("false");
        store(put, JsonValue::from_bool(false));
        return Read::kWhole;
      default: break;
    }
    if (first < 0) c.fail(EofValue, c.offset());
    expect_number(c, first);
    const Number n = read_number(c);
    switch (n.kind) {
      case NumberKind::Unsigned: store(put, JsonValue::from_unsigned(n.unsigned_value)); break;
      case NumberKind::Signed: store(put, JsonValue::from_signed(n.signed_value)); break;
      case NumberKind::Double: store(put, JsonValue::from_double(n.double_value, n.places)); break;
    }
    return Read::kWhole;
  }

  SPANSIFT_HOT static void store(PutInMember put, const JsonValue& value) { put.member = value; }
  SPANSIFT_HOT void store(PutInArray, const JsonValue& value) { records().add_value(value); }
  SPANSIFT_HOT void store(PutInObject put, const JsonValue& value) { records().add_member(put.key, value); }
  static JsonValue* member_of(PutInMember put) { return &put.member; }
  static JsonValue* member_of(PutInArray) { return nullptr; }
  static JsonValue* member_of(PutInObject) { return nullptr; }

  // A value of the wrong type where `expected` belongs: it is read whole
  // (its own faults come first), then named in the error.
  [[noreturn]] SPANSIFT_HOT void refuse(Cursor& c, std::string expected) {
    auto [error, at] = c.with_input([&](JsonInput& in) { return refusal(in, std::move(expected)); });
    c.fail(std::move(error), at);
  }

  [[gnu::noinline]] std::pair<ReadError, std::uint64_t> refusal(JsonInput& input, std::string expected) {
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
    return {ReadError::invalid_type(std::move(found), std::move(expected)), at};
  }

  // --- Between the fields of a record ---

  // Reads up to the value of the next field of a record in object form (key
  // and colon); false when the record closed. The key expected next is
  // matched first, as the straight path matches it (record_keys.h).
  template <class R>
  SPANSIFT_HOT bool next_field(Cursor& c, Frame& f) {
    if (!f.first && expected_key<R>(c, f, true)) return true;
    const NextEntry next = next_entry<Rules::Read>(c, f.first, '}');
    if (next == NextEntry::kClosed) return false;
    expect_key(c, next);
    if (expected_key<R>(c, f, false)) return true;
    c.with_input([this, &f](JsonInput& in) { read_key<R>(in, f); });
    expect_colon(c);
    return true;
  }

  // A record in array form: its fields in declaration order, all of them.
  // True with f.field the next one to read; false when the record closed.
  template <class R>
  bool next_array_field(Cursor& c, Frame& f) {
    constexpr auto& table = kTable<R>;
    if (f.field < table.kSize) {
      if (next_entry<Rules::Read>(c, f.first, ']') == NextEntry::kClosed) {
        c.fail(ReadError::invalid_length(f.field, messages::expected_struct_of(table.name, table.kSize)), c.offset());
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
      c.fail(next == ']' ? TrailingComma : TrailingCharacters, c.offset_through());
    }
    c.fail(next < 0 ? EofList : TrailingCharacters, c.offset_through());
  }

  // The key of the field expected next, if it is there and not given yet,
  // after a comma when `comma`: the cursor is then past its colon.
  template <class R>
  SPANSIFT_HOT static bool expected_key(Cursor& c, Frame& f, bool comma) {
    const std::size_t i = f.expected_field;
    if (i >= kTable<R>.kSize || (f.seen & (1U << i)) != 0) return false;
    if (match_key<K, R>(c, i, comma) == kNoKey) return false;
    take_field<R>(f, i);
    return true;
  }

  // A key of a record that is not the one expected next.
  template <class R>
  void read_key(JsonInput& input, Frame& f) {
    Cursor c(input);
    const JsonString key = c.read_string(scratch_);
    constexpr auto& keys = kTable<R>.keys;
    const std::size_t i = find_field(keys, key.text);
    if (i == keys.size()) {
      f.field = kUnknownField;
      return;
    }
    if ((f.seen & (1U << i)) != 0) {
      // Placed where the reader looks next, past the blanks after the key.
      c.peek_token();
      c.fail(ReadError::field(DuplicateField, std::string(keys[i])), c.offset_through());
    }
    take_field<R>(f, i);
  }

  template <class R>
  SPANSIFT_HOT static void take_field(Frame& f, std::size_t i) {
    f.seen |= 1U << i;
    f.field = static_cast<std::uint8_t>(i);
    f.expected_field = static_cast<std::uint8_t>(i + 1 == kTable<R>.kSize ? 0 : i + 1);
  }

  // A scalar that is not kept, checked as read_value would read it; false,
  // with nothing read, for a container (or a fault), which read_value reads.
  SPANSIFT_HOT bool check_scalar(Cursor& c, int first) {
    if (first == '"') {
      read_text<Keep::kNo>(c);
    } else if (first == '-' || is_digit(first)) {
      check_number(c);
    } else if (first == 'n') {
      c.literal("null");
    } else if (first == 't') {
      c.literal("true");
    } else if (first == 'f') {
      c.literal("false");
    } else {
      return false;
    }
    return true;
  }

  // --- Building ---

  template <Keep keep = Keep::kAsk>
  SPANSIFT_HOT Text read_text(Cursor& c) {
    // Those of up to 15 bytes are found in the store from the bytes that
    // told where they end.
    // A stream is read on first, so that a string near the end of the
    // buffer is whole in hand for the fast path.
    c.ensure(1 + Cursor::kPlainWindow);
    typename K::Block block;
    if (const std::size_t n = c.plain_string(block); n != Cursor::kNotPlain) [[likely]] {
      const char* text = c.data() + 1;
      c.advance(n + 2);
      if (!records().template keeps<keep>()) return {};
      if (n != 0 && n < 16) return records().template add_short_text<K>(text, n, K::first(block, n));
      return records().template add_text_in_window<K>(text, n);
    }
    const JsonString s = c.read_string(scratch_);
    if (!records().template keeps<keep>()) return {};
    return records().template add_text<K>(s.text, s.escaped);
  }

  // An integer of type I, checked to fit it.
  template <class I>
  SPANSIFT_HOT I read_integer(Cursor& c, const char* expected) {
    const Number n = read_number(c);
    if (n.kind == NumberKind::Double) c.fail(ReadError::invalid_type(found_text(n), expected), n.end);
    const bool fits = n.kind == NumberKind::Unsigned
                          ? n.unsigned_value <= static_cast<std::uint64_t>(std::numeric_limits<I>::max())
                          : n.signed_value >= std::numeric_limits<I>::min();
    if (!fits) c.fail(ReadError::invalid_value(found_text(n), expected), n.end);
    return static_cast<I>(n.kind == NumberKind::Unsigned ? static_cast<std::int64_t>(n.unsigned_value)
                                                         : n.signed_value);
  }

  // Opens a container at the cursor; true, for the readers of values to
  // pass on. `start`: where its entries start in their scratch list.
  template <class Builds>
  SPANSIFT_HOT Read open(Cursor& c, Builds builds, bool array, std::size_t start) {
    enter(c);
    stack_.push(builds, array, start);
    return Read::kOpen;
  }

  template <class R>
  SPANSIFT_HOT Read open_record(Cursor& c, bool array) {
    enter(c);
    stack_.push(RecordOf<R>{&records().template new_record<R>()}, array, 0);
    return Read::kOpen;
  }

  // Past the opening bracket at the cursor, if the stack has room.
  SPANSIFT_HOT void enter(Cursor& c) { enter_at(c, stack_.depth()); }
  // The same for a container whose frame would be at `level`.
  SPANSIFT_HOT void enter_at(Cursor& c, std::size_t level) {
    if (level >= max_depth_) c.fail(RecursionLimit, c.offset(1));
    c.advance(1);
  }

  JsonInput* in_;  // read only through a Cursor
  const bool straight_;
  FrameStack stack_;
  std::string scratch_;     // a string decoded from escapes
  std::string skip_stack_;  // the open brackets of a skipped value
  ItemsAhead* ahead_;
  const std::size_t max_depth_;
};

template <class K>
void FieldReader<K>::refuse(std::string expected) {
  builder_.refuse(c_, std::move(expected));
}

template <class K>
Text FieldReader<K>::text() {
  return builder_.read_text(c_);
}

template <class K>
template <class I>
I FieldReader<K>::integer(const char* expected) {
  if (first_ != '-' && !is_digit(first_)) refuse(expected);
  return builder_.template read_integer<I>(c_, expected);
}

template <class K>
Read FieldReader<K>::value(JsonValue& member) {
  return builder_.read_value(c_, first_, PutInMember{member});
}

template <class K>
Read FieldReader<K>::object(List<JsonMember>& member) {
  return builder_.open(c_, MembersInto{&member}, false, builder_.records().member_count());
}

template <class K>
template <class L>
Read FieldReader<K>::list(L& member) {
  return builder_.open(c_, ListInto<L>{&member}, true, builder_.records().template list_start<ElementOf<L>>());
}

template <class K>
void FieldReader<K>::null() {
  c_.literal("null");
}

}  // namespace

#undef SPANSIFT_HOT

JaegerTrace build_trace(JsonInput& input, ReadInto into, ItemsAhead* ahead) {
  return simd::with_block_kernel(
      [&](auto kernel) { return Builder<decltype(kernel)>(&input, std::move(into), ahead).run(); });
}

// The builder of the kernel chosen, made when first used.
struct ItemReader::Builders {
  ReadInto into;
  std::optional<Builder<simd::Portable>> portable;
  std::optional<Builder<simd::Native>> native;

  template <class K>
  Builder<K>& of(K) {
    // In an export, an item is the third container open: the document, `data`, the item.
    constexpr std::size_t kItemLevel = 3;
    auto& builder = [this]() -> auto& {
      if constexpr (std::is_same_v<K, simd::Portable>) {
        return portable;
      } else {
        return native;
      }
    }
    ();
    if (!builder) builder.emplace(nullptr, into, nullptr, kMaxBuiltDepth - (kItemLevel - 1));
    return *builder;
  }
};

ItemReader::ItemReader(std::shared_ptr<ModelStore> store, const ItemSink* selects)
    : builders_(std::make_unique<Builders>()) {
  builders_->into.store = std::move(store);
  builders_->into.selects = selects;
}

ItemReader::~ItemReader() = default;

ItemRead ItemReader::read(simd::PaddedView text) {
  JsonInput input(text);
  ItemRead read;
  try {
    simd::with_block_kernel([&](auto kernel) {
      auto& builder = builders_->of(kernel);
      read.item = builder.run_item(input);
      read.kept = builder.kept();
    });
    read.ok = true;
  } catch (const ReadError&) {
    read = ItemRead{};
  }
  return read;
}

ItemRead read_item(simd::PaddedView text, std::shared_ptr<ModelStore> store, const ItemSink* selects) {
  return ItemReader(std::move(store), selects).read(text);
}

}  // namespace spansift
