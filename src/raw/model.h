// The records of a trace export and the arbitrary JSON value that carries
// tag values and process descriptions.
//
// Records are plain values, compact so that many can be in flight: texts and
// lists are 32-bit references into a ModelStore (model_store.h), which the
// records keep alive through `store`. Copying a record is cheap; its texts and
// lists are read through the store: store->text(span.spanID),
// store->list(span.tags).
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace spansift {

class ModelStore;

// A text in the store. Text{} is the empty text.
struct Text {
  std::uint32_t at = 0;
};

// A list of T in the store.
template <class T>
struct List {
  std::uint32_t at = 0;
  std::uint32_t size = 0;
};

// A list that may be absent: a JSON null, or a key that is missing.
template <class T>
struct OptionalList {
  static constexpr std::uint32_t kAbsent = 0xFFFFFFFF;
  std::uint32_t at = 0;
  std::uint32_t size = kAbsent;

  bool present() const { return size != kAbsent; }
  List<T> list() const { return {at, present() ? size : 0}; }
  static OptionalList of(List<T> list) { return {list.at, list.size}; }
};

struct JsonMember;

// What a JsonValue is.
enum class ValueKind : std::uint8_t { Null, Bool, Unsigned, Signed, Double, String, Array, Object };

// An arbitrary JSON value. Objects hold their members sorted by key in
// ascending byte order, with unique keys.
class JsonValue {
 public:
  JsonValue() = default;  // null
  static JsonValue null() { return {}; }
  static JsonValue from_bool(bool b) { return {ValueKind::Bool, b ? 1U : 0U, 0}; }
  static JsonValue from_unsigned(std::uint64_t n) { return {ValueKind::Unsigned, low(n), high(n)}; }
  static JsonValue from_signed(std::int64_t n) { return from_bits(ValueKind::Signed, n); }
  // `places`: the number of decimal places of its shortest form when known
  // (see Number::places), else -1.
  static JsonValue from_double(double d, int places = -1) {
    JsonValue v = from_bits(ValueKind::Double, d);
    v.places_ = static_cast<std::int8_t>(places);
    return v;
  }
  static JsonValue from_string(Text text) { return {ValueKind::String, text.at, 0}; }
  static JsonValue from_array(List<JsonValue> elements) { return {ValueKind::Array, elements.at, elements.size}; }
  static JsonValue from_object(List<JsonMember> sorted_members) {
    return {ValueKind::Object, sorted_members.at, sorted_members.size};
  }

  ValueKind kind() const { return kind_; }
  bool boolean() const { return a_ != 0; }
  std::uint64_t unsigned_number() const { return a_ | (std::uint64_t{b_} << 32); }
  std::int64_t signed_number() const { return bits<std::int64_t>(); }
  double double_number() const { return bits<double>(); }
  int places() const { return places_; }
  Text string() const { return {a_}; }
  List<JsonValue> array() const { return {a_, b_}; }
  List<JsonMember> object() const;

 private:
  JsonValue(ValueKind kind, std::uint32_t a, std::uint32_t b) : kind_(kind), a_(a), b_(b) {}

  static std::uint32_t low(std::uint64_t n) { return static_cast<std::uint32_t>(n); }
  static std::uint32_t high(std::uint64_t n) { return static_cast<std::uint32_t>(n >> 32); }
  template <class T>
  static JsonValue from_bits(ValueKind kind, T value) {
    std::uint64_t n;
    std::memcpy(&n, &value, 8);
    return {kind, low(n), high(n)};
  }
  template <class T>
  T bits() const {
    std::uint64_t n = unsigned_number();
    T value;
    std::memcpy(&value, &n, 8);
    return value;
  }

  // Twelve bytes: a payload of 64 bits in two halves, so that no padding
  // is needed around an 8-byte member.
  ValueKind kind_ = ValueKind::Null;
  std::int8_t places_ = -1;  // a double's decimal places, when known
  std::uint32_t a_ = 0;      // number bits 0-31, bool, text, first element
  std::uint32_t b_ = 0;      // number bits 32-63, element count
};

struct JsonMember {
  Text key;
  JsonValue value;
};

inline List<JsonMember> JsonValue::object() const { return {a_, b_}; }

struct JaegerTag {
  Text key;
  Text type;
  JsonValue value;
};

struct JaegerLog {
  std::int64_t timestamp = 0;
  List<JaegerTag> fields;
};

struct JaegerReference {
  Text refType;
  Text traceID;
  Text spanID;
};

struct JaegerSpan {
  Text traceID;
  Text spanID;
  std::int32_t flags = 0;
  Text operationName;
  List<JaegerReference> references;
  std::int64_t startTime = 0;
  std::int64_t duration = 0;
  List<JaegerTag> tags;
  List<JaegerLog> logs;
  Text processID;
  OptionalList<Text> warnings;
};

struct JaegerItem {
  Text traceID;
  List<JaegerSpan> spans;
  List<JsonMember> processes;  // sorted by key, unique keys
  OptionalList<Text> warnings;
};

// An entry of an export's `errors` list: its content is not kept.
struct JaegerError {};

struct JaegerTrace {
  std::vector<JaegerItem> data;
  std::int32_t total = 0;
  std::int32_t limit = 0;
  std::int32_t offset = 0;
  std::optional<std::vector<JaegerError>> errors;
  // Holds the texts and lists that the items refer to.
  std::shared_ptr<const ModelStore> store;
};

// "[JaegerError, JaegerError]" for two entries, "[]" for none.
std::string errors_debug_text(const std::vector<JaegerError>& errors);

}  // namespace spansift
