// The records of a trace export and the arbitrary JSON value that carries
// tag values and process descriptions.
//
// Records are plain values. To keep a whole run's traces compact in memory,
// texts and lists are views into an Arena; every record keeps the arenas its
// views point into alive through `storage`, so copying or moving a record is
// cheap and its contents stay valid for as long as the record exists.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "raw/arena.h"

namespace spansift {

using Text = std::string_view;
template <class T>
using List = std::span<const T>;

struct JsonMember;

// An arbitrary JSON value. Objects hold their members sorted by key in
// ascending byte order, with unique keys.
struct JsonValue {
  enum class Kind : std::uint8_t { Null, Bool, Unsigned, Signed, Double, String, Array, Object };

  Kind kind = Kind::Null;
  bool boolean = false;
  std::uint32_t size = 0;  // bytes of a string, elements of an array, members of an object
  union {
    std::uint64_t unsigned_number = 0;
    std::int64_t signed_number;
    double double_number;
    const char* string_data;
    const JsonValue* elements;
    const JsonMember* members;
  };

  static JsonValue null() { return {}; }
  static JsonValue from_bool(bool b);
  static JsonValue from_unsigned(std::uint64_t n);
  static JsonValue from_signed(std::int64_t n);
  static JsonValue from_double(double d);
  // The views must outlive the value (normally: point into the record's arena).
  static JsonValue from_string(std::string_view s);
  static JsonValue from_array(List<JsonValue> elements);
  static JsonValue from_object(List<JsonMember> sorted_members);

  std::string_view string() const { return {string_data, size}; }
  List<JsonValue> array() const { return {elements, size}; }
  List<JsonMember> object() const;
};

struct JsonMember {
  Text key;
  JsonValue value;
};

inline List<JsonMember> JsonValue::object() const { return {members, size}; }

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
  std::optional<List<Text>> warnings;
};

struct JaegerItem {
  Text traceID;
  List<JaegerSpan> spans;
  List<JsonMember> processes;  // sorted by key, unique keys
  std::optional<List<Text>> warnings;
};

// An entry of an export's `errors` list: its content is not kept.
struct JaegerError {};

struct JaegerTrace {
  std::vector<JaegerItem> data;
  std::int32_t total = 0;
  std::int32_t limit = 0;
  std::int32_t offset = 0;
  std::optional<std::vector<JaegerError>> errors;
  // Keeps the texts and lists that the items view alive.
  std::vector<std::shared_ptr<const Arena>> storage;
};

// "[JaegerError, JaegerError]" for two entries, "[]" for none.
std::string errors_debug_text(const std::vector<JaegerError>& errors);

}  // namespace spansift
