// The typed reader: Boost.JSON's SAX parser drives a stack machine that builds
// the records directly into an arena, with no intermediate document.
#include "raw/json_read.h"

#include <algorithm>
#include <boost/json/basic_parser_impl.hpp>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <optional>
#include <unistd.h>

#include "raw/json_write.h"
#include "raw/large_stack.h"
#include "utils/file.h"
#include "utils/text.h"

namespace spansift {

namespace {

namespace bj = boost::json;

// What the next JSON value must be.
enum class Want : std::uint8_t {
  Trace, Item, Span, Reference, Tag, Log, Error,
  ItemList, SpanList, ReferenceList, TagList, LogList, ErrorList, TextList,
  Processes, Value, Text, I32, I64, Skip,
};

// Built containers deeper than this are refused; the document itself is level 1.
constexpr std::size_t kMaxBuiltDepth = 127;

struct Field {
  std::string_view key;
  Want want;
  bool optional;  // null or missing gives "absent"
};

constexpr Field kTraceFields[] = {{"data", Want::ItemList, false},
                                  {"total", Want::I32, false},
                                  {"limit", Want::I32, false},
                                  {"offset", Want::I32, false},
                                  {"errors", Want::ErrorList, true}};
constexpr Field kItemFields[] = {{"traceID", Want::Text, false},
                                 {"spans", Want::SpanList, false},
                                 {"processes", Want::Processes, false},
                                 {"warnings", Want::TextList, true}};
constexpr Field kSpanFields[] = {{"traceID", Want::Text, false},
                                 {"spanID", Want::Text, false},
                                 {"flags", Want::I32, false},
                                 {"operationName", Want::Text, false},
                                 {"references", Want::ReferenceList, false},
                                 {"startTime", Want::I64, false},
                                 {"duration", Want::I64, false},
                                 {"tags", Want::TagList, false},
                                 {"logs", Want::LogList, false},
                                 {"processID", Want::Text, false},
                                 {"warnings", Want::TextList, true}};
constexpr Field kReferenceFields[] = {{"refType", Want::Text, false},
                                      {"traceID", Want::Text, false},
                                      {"spanID", Want::Text, false}};
constexpr Field kTagFields[] = {{"key", Want::Text, false},
                                {"type", Want::Text, false},
                                {"value", Want::Value, false}};
constexpr Field kLogFields[] = {{"timestamp", Want::I64, false}, {"fields", Want::TagList, false}};

struct RecordInfo {
  const char* name;  // "JaegerSpan"
  std::span<const Field> fields;
};

constexpr RecordInfo kRecords[] = {
    {"JaegerTrace", kTraceFields}, {"JaegerItem", kItemFields}, {"JaegerSpan", kSpanFields},
    {"JaegerReference", kReferenceFields}, {"JaegerTag", kTagFields}, {"JaegerLog", kLogFields},
    {"JaegerError", {}},
};

// `record` must be one of the record kinds (Trace to Error).
const RecordInfo& record_info(Want record) { return kRecords[static_cast<std::size_t>(record)]; }

bool is_record(Want w) { return w <= Want::Error; }
bool is_list(Want w) { return w >= Want::ItemList && w <= Want::TextList; }

Want element_of(Want list) {
  switch (list) {
    case Want::ItemList: return Want::Item;
    case Want::SpanList: return Want::Span;
    case Want::ReferenceList: return Want::Reference;
    case Want::TagList: return Want::Tag;
    case Want::LogList: return Want::Log;
    case Want::ErrorList: return Want::Error;
    default: return Want::Text;
  }
}

std::string expectation(Want w) {
  if (is_record(w)) return std::string("struct ") + record_info(w).name;
  if (is_list(w)) return "a sequence";
  switch (w) {
    case Want::Processes: return "a map";
    case Want::Text: return "a string";
    case Want::I32: return "i32";
    case Want::I64: return "i64";
    default: return "any valid JSON value";
  }
}

enum class FrameKind : std::uint8_t { Record, List, ValueArray, ValueObject, Processes };

constexpr std::uint8_t kSkipField = 0xFF;

struct Frame {
  FrameKind kind;
  Want want;              // the record, or the list's element
  bool array_form = false;
  std::uint8_t field = kSkipField;  // object form: the field of the current key
  std::uint8_t next_guess = 0;      // object form: the field most likely to come next
  std::uint32_t seen = 0;           // object form: fields already given
  std::uint32_t index = 0;          // array form: fields already given
  std::size_t slot = 0;             // record: index in its scratch; containers: scratch start
  Text key;                         // objects of values: the current member's key
};

// A number as the reader classifies it.
struct Number {
  enum Kind { Unsigned, Signed, Double } kind;
  std::uint64_t u = 0;
  std::int64_t i = 0;
  double d = 0;
};

std::string found_text(const Number& n) {
  switch (n.kind) {
    case Number::Unsigned: return "integer `" + std::to_string(n.u) + "`";
    case Number::Signed: return "integer `" + std::to_string(n.i) + "`";
    default: {
      std::string text = "floating point `";
      append_double(text, n.d);
      return text + "`";
    }
  }
}

struct Stop {};  // the handler refuses the document; the message is in `error_`

class Builder {
 public:
  // Boost.JSON's size limits: ours are the model's (sizes are 32-bit).
  static constexpr std::size_t max_object_size = std::size_t(-1);
  static constexpr std::size_t max_array_size = std::size_t(-1);
  static constexpr std::size_t max_key_size = 0xFFFFFFFFu;
  static constexpr std::size_t max_string_size = 0xFFFFFFFFu;

  Builder() : arena_(std::make_shared<Arena>()) {}

  bool on_document_begin(bj::error_code&) { return true; }
  bool on_document_end(bj::error_code&) { return true; }

  bool on_object_begin(bj::error_code& ec) { return guard(ec, [&] { begin_container(true); }, 1); }
  bool on_object_end(std::size_t, bj::error_code& ec) { return guard(ec, [&] { end_container(); }, 1); }
  bool on_array_begin(bj::error_code& ec) { return guard(ec, [&] { begin_container(false); }, 1); }
  bool on_array_end(std::size_t, bj::error_code& ec) { return guard(ec, [&] { end_container(); }, 1); }

  bool on_key_part(bj::string_view s, std::size_t, bj::error_code&) {
    partial_.append(s.data(), s.size());
    in_text_ = true;
    return true;
  }
  bool on_key(bj::string_view s, std::size_t, bj::error_code& ec) {
    return guard(ec, [&] { key(take_text(s)); }, 1);
  }
  bool on_string_part(bj::string_view s, std::size_t, bj::error_code&) {
    partial_.append(s.data(), s.size());
    in_text_ = true;
    return true;
  }
  bool on_string(bj::string_view s, std::size_t, bj::error_code& ec) {
    return guard(ec, [&] { string(take_text(s)); }, 1);
  }

  bool on_number_part(bj::string_view s, bj::error_code&) {
    number_text_.append(s.data(), s.size());
    return true;
  }
  bool on_int64(std::int64_t v, bj::string_view s, bj::error_code& ec) {
    return guard(ec, [&] {
      Number n{Number::Signed};
      n.i = v;
      bool negative = number_text_.empty() ? starts_negative(s) : number_text_.front() == '-';
      if (v == 0 && negative) {
        n.kind = Number::Double;  // -0 keeps its sign as a double
        n.d = -0.0;
      } else if (v >= 0) {
        n.kind = Number::Unsigned;
        n.u = static_cast<std::uint64_t>(v);
      }
      number_text_.clear();
      number(n);
    });
  }
  bool on_uint64(std::uint64_t v, bj::string_view, bj::error_code& ec) {
    return guard(ec, [&] {
      Number n{Number::Unsigned};
      n.u = v;
      number_text_.clear();
      number(n);
    });
  }
  bool on_double(double, bj::string_view s, bj::error_code& ec) {
    return guard(ec, [&] {
      // Boost's own conversion is not always correctly rounded: convert again.
      std::string_view text(s.data(), s.size());
      if (!number_text_.empty()) {
        number_text_.append(s.data(), s.size());
        text = number_text_;
      }
      Number n{Number::Double};
      // A skipped value is only read through: it has no range to be out of.
      if (!dropped()) n.d = to_double(text);
      number_text_.clear();
      number(n);
    });
  }
  bool on_bool(bool b, bj::error_code& ec) {
    literal_ = b ? "true" : "false";
    return guard(ec, [&] { boolean(b); }, kThroughLiteral);
  }
  bool on_null(bj::error_code& ec) {
    literal_ = "null";
    return guard(ec, [&] { null(); }, kThroughLiteral);
  }
  bool on_comment_part(bj::string_view, bj::error_code&) { return true; }
  bool on_comment(bj::string_view, bj::error_code&) { return true; }

  // State the error classifier needs.
  bool in_text() const { return in_text_; }
  bool after_key() const { return after_key_; }
  bool done() const { return done_; }
  // Whether the innermost open container is an object; false when none is open.
  bool innermost_is_object() const {
    if (skip_depth_ > 0) return skip_kinds_.back() == '{';
    if (frames_.empty()) return false;
    const Frame& f = frames_.back();
    return f.kind == FrameKind::ValueObject || f.kind == FrameKind::Processes ||
           (f.kind == FrameKind::Record && !f.array_form);
  }
  bool any_open() const { return skip_depth_ > 0 || !frames_.empty(); }
  const std::string& error() const { return error_; }
  // How far the refused token extends past the parser's position: the parser
  // stops on the last byte of a bracket or quoted text, inside a literal
  // (kThroughLiteral: up to the literal's end), and after a number.
  static constexpr std::size_t kThroughLiteral = 2;
  std::size_t stop_adjust() const { return stop_adjust_; }
  // The literal last handed over: the refused one when stop_adjust() is kThroughLiteral.
  std::string_view literal() const { return literal_; }

  JaegerTrace take_trace() {
    trace_.storage.push_back(std::move(arena_));
    return std::move(trace_);
  }

 private:
  template <class F>
  bool guard(bj::error_code& ec, F&& f, std::size_t stop_adjust = 0) {
    try {
      f();
      return true;
    } catch (const Stop&) {
      ec = bj::error::exception;
      stop_adjust_ = stop_adjust;
      return false;
    }
  }

  [[noreturn]] void fail(std::string message) {
    error_ = std::move(message);
    throw Stop{};
  }
  [[noreturn]] void type_error(const std::string& found, Want want) {
    fail("invalid type: " + found + ", expected " + expectation(want));
  }

  static bool starts_negative(bj::string_view s) { return !s.empty() && s.front() == '-'; }

  double to_double(std::string_view text) {
    double d = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), d);
    if (ec == std::errc::result_out_of_range) {
      // Underflow reads as zero (or the nearest subnormal); overflow is an error.
      std::string copy(text);
      d = std::strtod(copy.c_str(), nullptr);
      if (std::isinf(d)) fail("number out of range");
    } else if (ec != std::errc() || end != text.data() + text.size()) {
      fail("invalid number");
    }
    return d;
  }

  std::string_view take_text(bj::string_view s) {
    in_text_ = false;
    if (partial_.empty()) return {s.data(), s.size()};
    partial_.append(s.data(), s.size());
    return partial_;
  }

  // What the next value must be, given the innermost frame.
  Want wanted() {
    if (frames_.empty()) {
      if (done_) fail("trailing characters");
      return Want::Trace;
    }
    Frame& f = frames_.back();
    switch (f.kind) {
      case FrameKind::Record: {
        std::span<const Field> fields = record_info(f.want).fields;
        if (f.array_form) {
          if (f.index >= fields.size()) fail("trailing characters");
          return fields[f.index].want;
        }
        return f.field == kSkipField ? Want::Skip : fields[f.field].want;
      }
      case FrameKind::List: return f.want;
      default: return Want::Value;
    }
  }

  // Whether the value now being read is skipped.
  bool dropped() { return skip_depth_ > 0 || (!frames_.empty() && wanted() == Want::Skip); }

  bool field_is_optional() const {
    if (frames_.empty()) return false;  // a null document
    const Frame& f = frames_.back();
    if (f.kind != FrameKind::Record) return false;
    std::span<const Field> fields = record_info(f.want).fields;
    std::size_t i = f.array_form ? f.index : f.field;
    return i < fields.size() && fields[i].optional;
  }

  // A value has been stored into the innermost frame.
  void value_done() {
    after_key_ = false;
    if (frames_.empty()) {
      done_ = true;
      return;
    }
    Frame& f = frames_.back();
    if (f.kind == FrameKind::Record) {
      if (f.array_form) ++f.index;
      f.field = kSkipField;
    }
  }

  // Opens a frame in place: building a Frame and copying it costs more here
  // than anywhere else in the reader.
  void push(FrameKind kind, Want want, std::size_t slot, bool array_form = false) {
    if (frames_.size() >= kMaxBuiltDepth) fail("recursion limit exceeded");
    Frame& f = frames_.emplace_back();
    f.kind = kind;
    f.want = want;
    f.slot = slot;
    f.array_form = array_form;
  }

  void begin_container(bool object) {
    after_key_ = false;
    if (skip_depth_ > 0) {
      ++skip_depth_;
      skip_kinds_.push_back(object ? '{' : '[');
      return;
    }
    Want want = wanted();
    if (want == Want::Skip) {
      skip_depth_ = 1;
      skip_kinds_.push_back(object ? '{' : '[');
      return;
    }
    if (is_record(want)) {
      push(FrameKind::Record, want, open_record(want), !object);
    } else if (want == Want::Value) {
      if (object) {
        push(FrameKind::ValueObject, want, members_.size());
      } else {
        push(FrameKind::ValueArray, want, values_.size());
      }
    } else if (object && want == Want::Processes) {
      push(FrameKind::Processes, want, members_.size());
    } else if (!object && is_list(want)) {
      Want element = element_of(want);
      push(FrameKind::List, element, scratch_size(element));
    } else {
      type_error(object ? "map" : "sequence", want);
    }
  }

  // Starts a record at the end of its scratch list; returns its index there.
  std::size_t open_record(Want record) {
    switch (record) {
      case Want::Item: items_.emplace_back(); return items_.size() - 1;
      case Want::Span: spans_.emplace_back(); return spans_.size() - 1;
      case Want::Reference: references_.emplace_back(); return references_.size() - 1;
      case Want::Tag: tags_.emplace_back(); return tags_.size() - 1;
      case Want::Log: logs_.emplace_back(); return logs_.size() - 1;
      default: return 0;
    }
  }

  std::size_t scratch_size(Want element) const {
    switch (element) {
      case Want::Item: return items_.size();
      case Want::Span: return spans_.size();
      case Want::Reference: return references_.size();
      case Want::Tag: return tags_.size();
      case Want::Log: return logs_.size();
      case Want::Error: return 0;
      default: return texts_.size();
    }
  }

  void end_container() {
    if (skip_depth_ > 0) {
      skip_kinds_.pop_back();
      if (--skip_depth_ == 0) value_done();
      return;
    }
    Frame f = frames_.back();
    switch (f.kind) {
      case FrameKind::Record: close_record(f); break;
      case FrameKind::List: close_list(f); break;
      case FrameKind::ValueArray: {
        List<JsonValue> elements = arena_->copy(std::span<const JsonValue>(values_).subspan(f.slot));
        values_.resize(f.slot);
        frames_.pop_back();
        store_value(JsonValue::from_array(elements));
        break;
      }
      case FrameKind::ValueObject:
      case FrameKind::Processes: {
        List<JsonMember> members = sorted_members(f.slot);
        frames_.pop_back();
        if (f.kind == FrameKind::Processes) {
          items_[frames_.back().slot].processes = members;
          value_done();
        } else {
          store_value(JsonValue::from_object(members));
        }
        break;
      }
    }
  }

  // Sorts the members collected since `start` by key, keeps the last of equal keys,
  // and moves them into the arena.
  List<JsonMember> sorted_members(std::size_t start) {
    auto first = members_.begin() + static_cast<std::ptrdiff_t>(start);
    std::stable_sort(first, members_.end(),
                     [](const JsonMember& a, const JsonMember& b) { return a.key < b.key; });
    auto out = first;
    for (auto it = first; it != members_.end(); ++it) {
      if (it + 1 != members_.end() && (it + 1)->key == it->key) continue;
      *out++ = *it;
    }
    members_.erase(out, members_.end());
    List<JsonMember> members = arena_->copy(std::span<const JsonMember>(members_).subspan(start));
    members_.resize(start);
    return members;
  }

  void close_record(const Frame& f) {
    std::span<const Field> fields = record_info(f.want).fields;
    if (f.array_form) {
      if (f.index < fields.size()) {
        fail("invalid length " + std::to_string(f.index) + ", expected struct " + record_info(f.want).name +
             " with " + std::to_string(fields.size()) + " elements");
      }
    } else {
      for (std::size_t i = 0; i < fields.size(); ++i) {
        if (!fields[i].optional && !(f.seen & (1u << i))) fail("missing field `" + std::string(fields[i].key) + "`");
      }
    }
    frames_.pop_back();
    if (f.want == Want::Error) ++error_count_;
    value_done();
  }

  void close_list(const Frame& f) {
    frames_.pop_back();
    Frame& parent = frames_.back();
    std::size_t field = parent.array_form ? parent.index : parent.field;
    switch (f.want) {
      case Want::Item:
        trace_.data.assign(std::make_move_iterator(items_.begin()), std::make_move_iterator(items_.end()));
        items_.clear();
        break;
      case Want::Span: items_[parent.slot].spans = take(spans_, f.slot); break;
      case Want::Reference: spans_[parent.slot].references = take(references_, f.slot); break;
      case Want::Log: spans_[parent.slot].logs = take(logs_, f.slot); break;
      case Want::Tag:
        if (parent.want == Want::Log) {
          logs_[parent.slot].fields = take(tags_, f.slot);
        } else {
          spans_[parent.slot].tags = take(tags_, f.slot);
        }
        break;
      case Want::Error:
        trace_.errors.emplace(error_count_);
        error_count_ = 0;
        break;
      default: {
        List<Text> texts = take(texts_, f.slot);
        if (parent.want == Want::Item) {
          items_[parent.slot].warnings = texts;
        } else {
          spans_[parent.slot].warnings = texts;
        }
        break;
      }
    }
    (void)field;
    value_done();
  }

  template <class T>
  List<T> take(std::vector<T>& scratch, std::size_t start) {
    List<T> list = arena_->copy(std::span<const T>(scratch).subspan(start));
    scratch.resize(start);
    return list;
  }

  // Keys are short: a byte loop beats a call to memcmp.
  static bool same_key(std::string_view name, std::string_view k) {
    if (name.size() != k.size()) return false;
    for (std::size_t j = 0; j < k.size(); ++j) {
      if (name[j] != k[j]) return false;
    }
    return true;
  }

  void key(std::string_view k) {
    if (skip_depth_ > 0) {
      partial_.clear();
      return;
    }
    Frame& f = frames_.back();
    if (f.kind == FrameKind::Record) {
      std::span<const Field> fields = record_info(f.want).fields;
      f.field = kSkipField;
      // Exports mostly give the fields in declaration order: try the one
      // after the last first, then all of them.
      std::size_t count = fields.size();
      std::size_t i = f.next_guess;
      if (count == 0 || !same_key(fields[i].key, k)) {
        for (i = 0; i < count && !same_key(fields[i].key, k); ++i) {
        }
      }
      if (i < count) {
        if (f.seen & (1u << i)) fail("duplicate field `" + std::string(fields[i].key) + "`");
        f.seen |= 1u << i;
        f.field = static_cast<std::uint8_t>(i);
        f.next_guess = static_cast<std::uint8_t>(i + 1 == count ? 0 : i + 1);
      }
    } else {
      f.key = arena_->copy(k);
    }
    partial_.clear();
    after_key_ = true;
  }

  void string(std::string_view s) {
    if (skip_depth_ > 0) {
      partial_.clear();
      return;
    }
    Want want = wanted();
    if (want == Want::Skip) {
      partial_.clear();
      value_done();
      return;
    }
    if (want == Want::Text) {
      Text t = arena_->copy(s);
      partial_.clear();
      store_text(t);
    } else if (want == Want::Value) {
      JsonValue v = JsonValue::from_string(arena_->copy(s));
      partial_.clear();
      store_value(v);
    } else {
      type_error("string " + quoted(s), want);
    }
  }

  void number(const Number& n) {
    if (skip_depth_ > 0) return;
    Want want = wanted();
    switch (want) {
      case Want::Skip: value_done(); return;
      case Want::I32:
      case Want::I64: {
        std::int64_t lo = want == Want::I32 ? INT32_MIN : INT64_MIN;
        std::int64_t hi = want == Want::I32 ? INT32_MAX : INT64_MAX;
        std::int64_t v = 0;
        if (n.kind == Number::Double) type_error(found_text(n), want);
        if (n.kind == Number::Unsigned) {
          if (n.u > static_cast<std::uint64_t>(hi)) fail("invalid value: " + found_text(n) + ", expected " + expectation(want));
          v = static_cast<std::int64_t>(n.u);
        } else {
          if (n.i < lo || n.i > hi) fail("invalid value: " + found_text(n) + ", expected " + expectation(want));
          v = n.i;
        }
        store_integer(v);
        return;
      }
      case Want::Value:
        store_value(n.kind == Number::Unsigned ? JsonValue::from_unsigned(n.u)
                    : n.kind == Number::Signed ? JsonValue::from_signed(n.i)
                                               : JsonValue::from_double(n.d));
        return;
      default: type_error(found_text(n), want);
    }
  }

  void boolean(bool b) {
    if (skip_depth_ > 0) return;
    Want want = wanted();
    if (want == Want::Skip) return value_done();
    if (want == Want::Value) return store_value(JsonValue::from_bool(b));
    type_error(b ? "boolean `true`" : "boolean `false`", want);
  }

  void null() {
    if (skip_depth_ > 0) return;
    Want want = wanted();
    if (want == Want::Skip) return value_done();
    if (want == Want::Value) return store_value(JsonValue::null());
    if (field_is_optional()) return value_done();  // an absent optional list
    type_error("null", want);
  }

  void store_text(Text t) {
    Frame& f = frames_.back();
    if (f.kind == FrameKind::List) {
      texts_.push_back(t);
      return value_done();
    }
    std::size_t field = f.array_form ? f.index : f.field;
    switch (f.want) {
      case Want::Item: items_[f.slot].traceID = t; break;
      case Want::Span: {
        JaegerSpan& s = spans_[f.slot];
        (field == 0 ? s.traceID : field == 1 ? s.spanID : field == 3 ? s.operationName : s.processID) = t;
        break;
      }
      case Want::Reference: {
        JaegerReference& r = references_[f.slot];
        (field == 0 ? r.refType : field == 1 ? r.traceID : r.spanID) = t;
        break;
      }
      case Want::Tag: (field == 0 ? tags_[f.slot].key : tags_[f.slot].type) = t; break;
      default: break;
    }
    value_done();
  }

  void store_integer(std::int64_t v) {
    Frame& f = frames_.back();
    std::size_t field = f.array_form ? f.index : f.field;
    switch (f.want) {
      case Want::Trace: {
        auto n = static_cast<std::int32_t>(v);
        (field == 1 ? trace_.total : field == 2 ? trace_.limit : trace_.offset) = n;
        break;
      }
      case Want::Span: {
        JaegerSpan& s = spans_[f.slot];
        if (field == 2) {
          s.flags = static_cast<std::int32_t>(v);
        } else {
          (field == 5 ? s.startTime : s.duration) = v;
        }
        break;
      }
      case Want::Log: logs_[f.slot].timestamp = v; break;
      default: break;
    }
    value_done();
  }

  void store_value(const JsonValue& v) {
    Frame& f = frames_.back();
    switch (f.kind) {
      case FrameKind::ValueArray: values_.push_back(v); break;
      case FrameKind::ValueObject:
      case FrameKind::Processes: members_.push_back({f.key, v}); break;
      default: tags_[f.slot].value = v; break;
    }
    value_done();
  }

  std::shared_ptr<Arena> arena_;
  JaegerTrace trace_;
  std::vector<Frame> frames_;
  std::size_t skip_depth_ = 0;
  std::vector<char> skip_kinds_;

  std::vector<JaegerItem> items_;
  std::vector<JaegerSpan> spans_;
  std::vector<JaegerReference> references_;
  std::vector<JaegerTag> tags_;
  std::vector<JaegerLog> logs_;
  std::vector<Text> texts_;
  std::vector<JsonValue> values_;
  std::vector<JsonMember> members_;
  std::size_t error_count_ = 0;

  std::string partial_;      // a text split across input chunks or escapes
  std::string number_text_;  // a number split across input chunks
  bool in_text_ = false;
  bool after_key_ = false;
  bool done_ = false;
  std::size_t stop_adjust_ = 0;
  std::string_view literal_;
  std::string error_;
};

bool is_space(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool is_token_char(unsigned char c) { return std::isalnum(c) || c == '-' || c == '+' || c == '.'; }

// The parser's position and the little history that error messages need,
// kept across input chunks.
class Position {
 public:
  // `chunk` has been consumed whole.
  void advance(std::string_view chunk) {
    count_lines(chunk);
    offset_ += chunk.size();
    if (!chunk.empty()) last_ = chunk.back();
    std::size_t end = chunk.size();
    while (end > 0 && is_space(static_cast<unsigned char>(chunk[end - 1]))) --end;
    if (end == 0) return;
    // Keep the last few bytes before trailing whitespace, across chunk edges.
    std::string_view kept = chunk.substr(0, end);
    if (kept.size() >= kTail) {
      tail_.assign(kept.substr(kept.size() - kTail));
    } else {
      tail_.append(kept);
      if (tail_.size() > kTail) tail_.erase(0, tail_.size() - kTail);
    }
  }

  // Line and column after the first `consumed` bytes of `chunk`.
  std::pair<std::uint64_t, std::uint64_t> at(std::string_view chunk, std::size_t consumed) const {
    std::uint64_t line = line_;
    std::uint64_t line_start = line_start_;
    for (std::size_t i = 0; i < consumed; ++i) {
      if (chunk[i] == '\n') {
        ++line;
        line_start = offset_ + i + 1;
      }
    }
    return {line, offset_ + consumed - line_start};
  }

  // The byte just before position `consumed` of `chunk` ('\0' at the start).
  char previous(std::string_view chunk, std::size_t consumed) const {
    return consumed > 0 ? chunk[consumed - 1] : last_;
  }

  // The letters that end the input just before position `consumed` of `chunk`.
  std::string letters_before(std::string_view chunk, std::size_t consumed) const {
    std::size_t start = consumed;
    while (start > 0 && std::isalpha(static_cast<unsigned char>(chunk[start - 1]))) --start;
    std::string letters(chunk.substr(start, consumed - start));
    if (start == 0 && std::isalpha(static_cast<unsigned char>(last_))) {
      // Earlier chunks end in letters: the kept tail holds them (no whitespace follows them).
      std::size_t from = tail_.size();
      while (from > 0 && std::isalpha(static_cast<unsigned char>(tail_[from - 1]))) --from;
      letters.insert(0, tail_, from, std::string::npos);
    }
    return letters;
  }

  // Up to kTail bytes that precede position `consumed` of `chunk`, trailing
  // whitespace dropped.
  std::string before(std::string_view chunk, std::size_t consumed) const {
    std::string_view head = chunk.substr(0, consumed);
    while (!head.empty() && is_space(static_cast<unsigned char>(head.back()))) head.remove_suffix(1);
    std::string text = tail_;
    if (head.size() >= kTail) {
      text.assign(head.substr(head.size() - kTail));
    } else {
      text.append(head);
    }
    if (text.size() > kTail) text.erase(0, text.size() - kTail);
    return text;
  }

 private:
  static constexpr std::size_t kTail = 16;

  void count_lines(std::string_view chunk) {
    const char* p = chunk.data();
    const char* end = p + chunk.size();
    while ((p = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)))) != nullptr) {
      ++line_;
      ++p;
      line_start_ = offset_ + static_cast<std::uint64_t>(p - chunk.data());
    }
  }

  std::uint64_t offset_ = 0;
  std::uint64_t line_ = 1;
  std::uint64_t line_start_ = 0;
  std::string tail_;
  char last_ = '\0';  // the last byte consumed
};

bool literal_prefix(std::string_view token) {
  for (std::string_view word : {"true", "false", "null"}) {
    if (token.size() <= word.size() && word.substr(0, token.size()) == token) return true;
  }
  return false;
}

// Whether a position lies inside a string, and whether within an escape.
struct TextState {
  bool in_string = false;
  bool in_escape = false;     // just after a backslash
  std::uint8_t hex_left = 0;  // digits of a \u escape still to come

  bool escaping() const { return in_escape || hex_left > 0; }
};

// The state after the first `consumed` bytes of `chunk`, starting from `s`.
TextState text_state(std::string_view chunk, std::size_t consumed, TextState s) {
  const char* p = chunk.data();
  const char* end = p + std::min(consumed, chunk.size());
  while (p < end) {
    if (!s.in_string) {
      p = static_cast<const char*>(std::memchr(p, '"', static_cast<std::size_t>(end - p)));
      if (p == nullptr) break;
      s.in_string = true;
      ++p;
    } else if (s.hex_left > 0) {
      --s.hex_left;
      ++p;
    } else if (s.in_escape) {
      s.in_escape = false;
      if (*p++ == 'u') s.hex_left = 4;
    } else {
      while (p < end && *p != '"' && *p != '\\') ++p;
      if (p == end) break;
      if (*p++ == '"') {
        s.in_string = false;
      } else {
        s.in_escape = true;
      }
    }
  }
  return s;
}

bool is_leading_surrogate_escape(std::string_view t) {
  // ...\uD8xx to \uDBxx
  if (t.size() < 6) return false;
  std::string_view e = t.substr(t.size() - 6);
  return e[0] == '\\' && e[1] == 'u' && (e[2] == 'd' || e[2] == 'D') &&
         std::strchr("89abAB", e[3]) != nullptr;
}

// The message for a syntax error that the parser met at byte `consumed` of
// `chunk` (at the end of the input when `at_end`).
std::string syntax_message(const Builder& b, const Position& pos, std::string_view chunk, std::size_t consumed,
                           bool at_end, TextState start) {
  std::string before = pos.before(chunk, consumed);
  if (at_end) {
    if (b.in_text()) return "EOF while parsing a string";
    if (text_state(chunk, consumed, start).in_string) return "EOF while parsing a string";
    if (!b.any_open() || before.empty()) return "EOF while parsing a value";
    char c = before.back();
    if (c == ':' || c == ',') return "EOF while parsing a value";
    if (is_token_char(static_cast<unsigned char>(c))) {
      std::size_t start = before.size();
      while (start > 0 && is_token_char(static_cast<unsigned char>(before[start - 1]))) --start;
      std::string_view token = std::string_view(before).substr(start);
      bool complete = token == "true" || token == "false" || token == "null" ||
                      (std::isdigit(static_cast<unsigned char>(c)) && !std::isalpha(static_cast<unsigned char>(token[0])));
      if (!complete) return "EOF while parsing a value";
    }
    return b.innermost_is_object() ? "EOF while parsing an object" : "EOF while parsing a list";
  }

  unsigned char offending = static_cast<unsigned char>(chunk[consumed]);
  TextState s = text_state(chunk, consumed, start);
  if (s.in_string) {
    std::string_view raw = before;
    if (is_leading_surrogate_escape(raw) ||
        (raw.size() >= 7 && raw.back() == '\\' && is_leading_surrogate_escape(raw.substr(0, raw.size() - 1)))) {
      return "unexpected end of hex escape";
    }
    if (s.escaping()) return "invalid escape";
    if (offending < 0x20) return "control character (\\u0000-\\u001F) found while parsing a string";
    if (offending >= 0x80) return "invalid unicode code point";
    return "invalid escape";
  }

  // Within a token: a bad literal or a bad number.
  std::size_t token_start = before.size();
  while (token_start > 0 && is_token_char(static_cast<unsigned char>(before[token_start - 1]))) --token_start;
  std::string_view token = std::string_view(before).substr(token_start);
  char previous = pos.previous(chunk, consumed);
  bool adjacent = previous != '\0' && !is_space(static_cast<unsigned char>(previous));
  if (adjacent && !token.empty()) {
    if (std::isalpha(static_cast<unsigned char>(token[0]))) {
      if (token != "true" && token != "false" && token != "null" && literal_prefix(token)) return "expected ident";
    } else {
      char last = token.back();
      bool leading_zero = (token == "0" || token == "-0") && std::isdigit(offending);
      if (leading_zero || !std::isdigit(static_cast<unsigned char>(last))) return "invalid number";
    }
  }
  char c = before.empty() ? '\0' : before.back();
  bool object = b.innermost_is_object();
  // A literal's letters are looked at only where a value may start.
  bool value_expected = !b.any_open() || (object ? c == ':' : c == ',' || c == '[');
  if (value_expected && (offending == 't' || offending == 'f' || offending == 'n')) return "expected ident";
  if (!b.any_open() && !b.done()) {
    if (offending == '-' || std::isdigit(offending)) return "invalid number";
    return "expected value";
  }
  if (c == ',' || c == '[' || c == '{' || c == ':') {
    bool key_expected = object && c != ':';
    if (c == ',' && (offending == ']' || offending == '}')) return "trailing comma";
    if (key_expected) return "key must be a string";
    if (offending == '-' || std::isdigit(offending)) return "invalid number";
    return "expected value";
  }
  if (object && b.after_key()) return "expected `:`";
  return object ? "expected `,` or `}`" : "expected `,` or `]`";
}

std::string boost_message(const bj::error_code& ec) {
  if (ec == bj::error::exponent_overflow) return "number out of range";
  if (ec == bj::error::too_deep) return "recursion limit exceeded";
  if (ec == bj::error::illegal_leading_surrogate || ec == bj::error::illegal_trailing_surrogate) {
    return "lone leading surrogate in hex escape";
  }
  if (ec == bj::error::expected_hex_digit) return "invalid escape";
  if (ec == bj::error::expected_utf16_escape) return "unexpected end of hex escape";
  return ec.message();
}

// Deep values can only be skipped, never built, but the parser recurses
// once per level: it runs on a stack of its own large enough for this depth.
std::size_t parser_max_depth() { return large_stack_available() ? 2'000'000 : 10'000; }

// Length of the longest prefix of `s` made of whole, valid UTF-8 characters.
// `truncated` tells whether what follows is a character cut short by the end
// of `s` (valid so far) rather than an invalid one.
std::size_t valid_utf8_prefix(std::string_view s, bool& truncated) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const std::size_t n = s.size();
  std::size_t i = 0;
  truncated = false;
  while (i < n) {
    // Most text is ASCII: test eight bytes at a time.
    if (i + 8 <= n) {
      std::uint64_t word;
      std::memcpy(&word, p + i, 8);
      if ((word & 0x8080808080808080ull) == 0) {
        i += 8;
        continue;
      }
    }
    unsigned char c = p[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t length;
    unsigned char low = 0x80, high = 0xBF;  // bounds of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
      length = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      length = 3;
      if (c == 0xE0) low = 0xA0;
      if (c == 0xED) high = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      length = 4;
      if (c == 0xF0) low = 0x90;
      if (c == 0xF4) high = 0x8F;
    } else {
      return i;
    }
    for (std::size_t k = 1; k < length; ++k) {
      if (i + k >= n) {
        truncated = true;
        return i;
      }
      unsigned char b = p[i + k];
      if (k == 1 ? (b < low || b > high) : (b < 0x80 || b > 0xBF)) return i;
    }
    i += length;
  }
  return i;
}

// \u escapes are checked ahead of the parser: Boost.JSON reports a bad
// surrogate pair under different errors and at different places depending
// on where the input is cut. The state carries over from piece to piece.
// Backslashes outside strings need no care: the parser fails on the first
// one itself, and it always sees the backslash that starts a fault.
class EscapeCheck {
 public:
  struct Fault {
    std::size_t cut;  // what the parser may still see: through the sequence's backslash
    std::size_t end;  // just past the byte that decided the fault
    const char* message;
  };

  // The first fault in `piece`, which continues the pieces scanned before.
  std::optional<Fault> scan(std::string_view piece) {
    const char* data = piece.data();
    const std::size_t n = piece.size();
    std::size_t start = 0;  // the sequence's backslash; 0 when it began in an earlier piece
    std::size_t i = 0;
    auto fault = [&](const char* message) { return Fault{start, i, message}; };
    while (i < n) {
      if (stage_ == Stage::None) {
        const void* p = std::memchr(data + i, '\\', n - i);
        if (p == nullptr) return std::nullopt;
        i = static_cast<std::size_t>(static_cast<const char*>(p) - data);
        start = i + 1;
        stage_ = Stage::Escape;
        ++i;
        continue;
      }
      unsigned char c = static_cast<unsigned char>(data[i++]);
      switch (stage_) {
        case Stage::Escape:
          if (c == 'u') {
            begin_hex(false);
          } else {
            stage_ = Stage::None;  // a one-letter escape: the parser judges it
          }
          break;
        case Stage::Hex: {
          int digit = hex_value(c);
          if (digit < 0) return finish(fault("invalid escape"));
          value_ = static_cast<std::uint16_t>((value_ << 4) | digit);
          if (--hex_left_ > 0) break;
          bool trailing = value_ >= 0xDC00 && value_ <= 0xDFFF;
          if (second_ != trailing) return finish(fault("lone leading surrogate in hex escape"));
          stage_ = !second_ && value_ >= 0xD800 && value_ <= 0xDBFF ? Stage::LeadBackslash : Stage::None;
          break;
        }
        case Stage::LeadBackslash:
          if (c != '\\') return finish(fault("unexpected end of hex escape"));
          stage_ = Stage::LeadU;
          break;
        case Stage::LeadU:
          if (c != 'u') return finish(fault("unexpected end of hex escape"));
          begin_hex(true);
          break;
        case Stage::None: break;
      }
    }
    return std::nullopt;
  }

 private:
  enum class Stage : std::uint8_t { None, Escape, Hex, LeadBackslash, LeadU };

  void begin_hex(bool second) {
    stage_ = Stage::Hex;
    hex_left_ = 4;
    value_ = 0;
    second_ = second;
  }

  std::optional<Fault> finish(Fault f) {
    stage_ = Stage::None;
    return f;
  }

  static int hex_value(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }

  Stage stage_ = Stage::None;
  std::uint8_t hex_left_ = 0;
  std::uint16_t value_ = 0;
  bool second_ = false;  // the digits of the escape after a leading surrogate
};

class Reader {
 public:
  Reader() : parser_(options()) {}

  // Feeds one chunk; `last` marks the end of input. Returns false once
  // reading has stopped (error set). A UTF-8 character cut by the chunk's
  // end is not taken: carried() tells how many final bytes must come again
  // at the front of the next chunk.
  bool feed(std::string_view chunk, bool last) {
    carried_ = 0;
    if (parser_.handler().done()) return check_trailing(chunk);
    // The parser's own UTF-8 check is byte by byte; this one is faster and
    // finds the same faults.
    bool truncated = false;
    std::size_t valid = valid_utf8_prefix(chunk, truncated);
    bool invalid = valid < chunk.size() && (last || !truncated);
    if (valid < chunk.size() && !invalid) carried_ = chunk.size() - valid;
    std::string_view piece = chunk.substr(0, valid);
    std::optional<EscapeCheck::Fault> fault = escapes_.scan(piece);
    if (fault) {
      piece = chunk.substr(0, fault->cut);
      invalid = false;
      carried_ = 0;
    }

    bj::error_code ec;
    std::size_t n = parser_.write_some(!last || invalid || fault, piece.data(), piece.size(), ec);
    if (ec) {
      fail_at(ec, chunk, n);
      return false;
    }
    if (n < piece.size() || (parser_.handler().done() && (invalid || carried_ > 0 || fault))) {
      // The document ended inside this chunk: only whitespace may follow.
      carried_ = 0;
      position_.advance(chunk.substr(0, n));
      return check_trailing(chunk.substr(n));
    }
    if (fault) {
      set_error(fault->message, chunk, fault->end);
      return false;
    }
    if (invalid) {
      set_error(syntax_message(parser_.handler(), position_, chunk, valid, false, chunk_start_), chunk, valid + 1);
      return false;
    }
    position_.advance(piece);
    chunk_start_ = end_state(piece);
    return true;
  }

  std::size_t carried() const { return carried_; }

  ParseResult result() {
    if (error_) return std::move(*error_);
    return parser_.handler().take_trace();
  }

  // Records an error that did not come from the parser (a failed read).
  void set_io_error(std::string message) { error_ = ReadError{std::move(message), 0, 0}; }

 private:
  static bj::parse_options options() {
    bj::parse_options o;
    o.max_depth = parser_max_depth();
    o.allow_invalid_utf8 = true;  // checked before the parser sees the text
    return o;
  }

  // The parser stopped at byte `n` of `chunk` with `ec`.
  void fail_at(const bj::error_code& ec, std::string_view chunk, std::size_t n) {
    bool handler_error = ec == bj::error::exception;
    // The parser calls a number cut short by the end of the input ("1.",
    // "1e-") a syntax error at the end rather than incomplete input.
    bool at_end = ec == bj::error::incomplete || (ec == bj::error::syntax && n >= chunk.size());
    std::string message = handler_error ? parser_.handler().error()
                          : (ec == bj::error::syntax || at_end)
                              ? syntax_message(parser_.handler(), position_, chunk, n, at_end, chunk_start_)
                              : boost_message(ec);
    // The byte that broke the syntax, or that ended the refused token, counts as read.
    std::size_t adjust = handler_error ? parser_.handler().stop_adjust() : !at_end;
    std::size_t consumed = n;
    if (!handler_error && !at_end && message == "expected ident") {
      // The parser stops where a broken literal starts, or at the byte that
      // broke it: the text that still matched the literal, and the first byte
      // that did not, count as read.
      consumed = literal_mismatch(chunk, n);
    } else if (adjust == Builder::kThroughLiteral) {
      // The parser refuses a literal at its first letter when it had it
      // whole, at its last when it took it letter by letter; the letters
      // that follow it are no part of it.
      std::string_view word = parser_.handler().literal();
      consumed = std::min(n < chunk.size() && chunk[n] == word.front() ? n + word.size() : n + 1, chunk.size());
    } else {
      consumed = std::min(n + adjust, chunk.size());
    }
    set_error(std::move(message), chunk, consumed);
  }

  // Where the next chunk starts: inside a string or not. The parser tells a
  // string that is left open by handing over its first part; only an empty
  // part (a chunk that ends on the opening quote or inside an escape) needs a
  // scan. A chunk shorter than the 12 bytes that escape a surrogate pair may
  // lie wholly inside escapes that the parser has not handed over yet.
  TextState end_state(std::string_view chunk) const {
    if (chunk.empty()) return chunk_start_;
    std::size_t tail = std::min<std::size_t>(chunk.size(), 6);
    std::string_view last = chunk.substr(chunk.size() - tail);
    if (chunk.size() < 12 || chunk.back() == '"' || last.find('\\') != std::string_view::npos) {
      return text_state(chunk, chunk.size(), chunk_start_);
    }
    return TextState{parser_.handler().in_text()};
  }

  // Just past the first byte that breaks the literal which the parser
  // refused at byte `at` of `chunk`; its letters before `at` matched.
  std::size_t literal_mismatch(std::string_view chunk, std::size_t at) const {
    std::string matched = position_.letters_before(chunk, at);
    char first = matched.empty() ? (at < chunk.size() ? chunk[at] : '\0') : matched.front();
    std::string_view word = first == 't' ? "true" : first == 'f' ? "false" : "null";
    std::size_t i = std::min(matched.size(), word.size());
    while (i < word.size() && at < chunk.size() && chunk[at] == word[i]) {
      ++i;
      ++at;
    }
    return std::min(at + 1, chunk.size());
  }

  bool check_trailing(std::string_view rest) {
    for (std::size_t i = 0; i < rest.size(); ++i) {
      if (!is_space(static_cast<unsigned char>(rest[i]))) {
        set_error("trailing characters", rest, i + 1);
        return false;
      }
    }
    position_.advance(rest);
    return true;
  }

  void set_error(std::string message, std::string_view chunk, std::size_t consumed) {
    auto [line, column] = position_.at(chunk, consumed);
    error_ = ReadError{std::move(message), line, column};
  }

  bj::basic_parser<Builder> parser_;
  EscapeCheck escapes_;
  Position position_;
  TextState chunk_start_;
  std::size_t carried_ = 0;
  std::optional<ReadError> error_;
};

ParseResult parse_on_large_stack(const std::function<ParseResult()>& parse) {
  std::optional<ParseResult> result;
  std::exception_ptr failure;
  run_on_large_stack([&] {
    try {
      result.emplace(parse());
    } catch (...) {
      failure = std::current_exception();
    }
  });
  if (failure) std::rethrow_exception(failure);
  return std::move(*result);
}

}  // namespace

std::string ReadError::display() const {
  if (line == 0) return message;
  return message + " at line " + std::to_string(line) + " column " + std::to_string(column);
}

std::string ReadError::detail() const {
  std::string text = "Error(\"";
  for (char c : message) {
    if (c == '"' || c == '\\') text += '\\';
    text += c;
  }
  text += "\", line: " + std::to_string(line) + ", column: " + std::to_string(column) + ")";
  return text;
}

ParseResult parse_trace_json(std::string_view text) {
  return parse_on_large_stack([&]() -> ParseResult {
    Reader reader;
    reader.feed(text, true);
    return reader.result();
  });
}

ParseResult parse_trace_json(const std::function<ssize_t(char*, std::size_t)>& read_some,
                             std::size_t buffer_size) {
  return parse_on_large_stack([&]() -> ParseResult {
    Reader reader;
    // Room in front for the bytes of a UTF-8 character cut by the previous read.
    constexpr std::size_t kCarryRoom = 4;
    std::vector<char> buffer(kCarryRoom + buffer_size);
    std::size_t carried = 0;
    for (;;) {
      ssize_t n = read_some(buffer.data() + carried, buffer_size);
      if (n < 0) {
        reader.set_io_error(OsError{errno}.display());
        break;
      }
      std::size_t size = carried + static_cast<std::size_t>(n);
      if (!reader.feed(std::string_view(buffer.data(), size), n == 0) || n == 0) break;
      carried = reader.carried();
      std::memmove(buffer.data(), buffer.data() + size - carried, carried);
    }
    return reader.result();
  });
}

ParseResult parse_trace_json_fd(int fd) {
  return parse_trace_json([fd](char* buffer, std::size_t size) -> ssize_t {
    for (;;) {
      ssize_t n = ::read(fd, buffer, size);
      if (n >= 0 || errno != EINTR) return n;
    }
  });
}

}  // namespace spansift
