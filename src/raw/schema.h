// The records of the model as the reader and the writer walk them: for each
// record, its JSON keys in declaration order and what each field holds. A
// field added to a record in model.h gets its row here.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

namespace spansift {

// What a field holds; for a list, what the list is of.
enum class Kind : std::uint8_t {
  // Records.
  Trace,
  Item,
  Span,
  Reference,
  Tag,
  Log,
  Error,
  // Lists of the records above but the trace, in the same order, then of texts.
  ItemList,
  SpanList,
  ReferenceList,
  TagList,
  LogList,
  ErrorList,
  TextList,
  // Everything else.
  Text,
  I32,
  I64,
  Value,      // any JSON value (JsonValue)
  Processes,  // an object of JsonValues, sorted by key
  Skip,       // a value under a key the record does not have: read and dropped
};

struct FieldSchema {
  std::string_view key;
  Kind kind;
  bool optional;         // a missing key or null reads as absent
  std::uint16_t offset;  // of the member in its record's struct
  // The key as compact JSON writes it before its value, "key": padded with
  // zeros, for a reader that looks for the expected key first.
  std::array<char, 16> quoted_key;
  std::uint8_t quoted_length;
};

// `key` must be at most 13 bytes, so that "key": fits in 16.
constexpr FieldSchema field(std::string_view key, Kind kind, bool optional, std::size_t offset) {
  FieldSchema f{key, kind, optional, static_cast<std::uint16_t>(offset), {}, 0};
  f.quoted_key[0] = '"';
  for (std::size_t i = 0; i < key.size(); ++i) f.quoted_key[i + 1] = key[i];
  f.quoted_key[key.size() + 1] = '"';
  f.quoted_key[key.size() + 2] = ':';
  f.quoted_length = static_cast<std::uint8_t>(key.size() + 3);
  return f;
}

struct RecordSchema {
  std::string_view name;  // "JaegerSpan"
  std::span<const FieldSchema> fields;
  std::uint32_t required;  // bit i set: fields[i] is not optional
};

constexpr bool is_record(Kind kind) { return kind <= Kind::Error; }
constexpr bool is_list(Kind kind) { return kind >= Kind::ItemList && kind <= Kind::TextList; }

// The element of a list kind.
constexpr Kind element_of(Kind list) {
  if (list == Kind::TextList) return Kind::Text;
  return static_cast<Kind>(static_cast<int>(list) - static_cast<int>(Kind::ItemList) + static_cast<int>(Kind::Item));
}

// The tables themselves, in the order of the record kinds.
extern const RecordSchema kRecordSchemas[7];

// `record` must be a record kind.
inline const RecordSchema& schema_of(Kind record) { return kRecordSchemas[static_cast<std::size_t>(record)]; }

// The index of the field whose key is `key`, or fields.size() when there is
// none. Keys are short: they are compared in a few loads, not through memcmp.
inline std::size_t find_field(std::span<const FieldSchema> fields, std::string_view key) {
  const std::size_t n = key.size();
  for (std::size_t i = 0; i < fields.size(); ++i) {
    std::string_view k = fields[i].key;
    if (k.size() != n) continue;
    bool same = true;
    if (n >= 8) {
      std::uint64_t a0, b0, a1, b1;
      std::memcpy(&a0, k.data(), 8);
      std::memcpy(&b0, key.data(), 8);
      std::memcpy(&a1, k.data() + n - 8, 8);
      std::memcpy(&b1, key.data() + n - 8, 8);
      same = a0 == b0 && a1 == b1;  // keys of fields are at most 13 bytes
    } else {
      for (std::size_t j = 0; j < n && same; ++j) same = k[j] == key[j];
    }
    if (same) return i;
  }
  return fields.size();
}

// How a type error names what was expected: "struct JaegerSpan", "a
// sequence", "a map", "a string", "i32" or "i64".
std::string expectation(Kind kind);

}  // namespace spansift
