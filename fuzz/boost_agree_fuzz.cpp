// The reader against an independent one: Boost.JSON parses the same bytes
// into a tree, and a small reference applies the model's rules to that tree.
// For every document Boost accepts, both must refuse it with the same model
// error, or read the same values. Positions are not compared (the tree has
// none). Boost takes a number beyond the double range as infinity; the
// reference refuses it, as the model does.
#include <boost/json/basic_parser_impl.hpp>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_util.h"
#include "raw/json/json_number.h"
#include "utils/text.h"

namespace {

namespace bj = boost::json;

// A JSON value as Boost hands it over: numbers keep their literal, objects
// their keys in order, duplicates included.
struct Node {
  enum Type { Null, Bool, Number, String, Array, Object } type = Null;
  bool boolean = false;
  std::string text;               // a number's literal, a string's value
  std::vector<Node> items;        // an array's elements, an object's values
  std::vector<std::string> keys;  // an object's keys
};

class TreeBuilder {
 public:
  static constexpr std::size_t max_object_size = std::size_t(-1);
  static constexpr std::size_t max_array_size = std::size_t(-1);
  static constexpr std::size_t max_key_size = std::size_t(-1);
  static constexpr std::size_t max_string_size = std::size_t(-1);

  bool on_document_begin(bj::error_code&) { return true; }
  bool on_document_end(bj::error_code&) { return true; }
  bool on_array_begin(bj::error_code&) { return open(Node::Array); }
  bool on_array_end(std::size_t, bj::error_code&) { return close(); }
  bool on_object_begin(bj::error_code&) { return open(Node::Object); }
  bool on_object_end(std::size_t, bj::error_code&) { return close(); }
  bool on_string_part(bj::string_view s, std::size_t, bj::error_code&) { return part(s); }
  bool on_string(bj::string_view s, std::size_t, bj::error_code&) {
    return add(Node{Node::String, false, take(s), {}, {}});
  }
  bool on_key_part(bj::string_view s, std::size_t, bj::error_code&) { return part(s); }
  bool on_key(bj::string_view s, std::size_t, bj::error_code&) {
    open_.back().keys.push_back(take(s));
    return true;
  }
  bool on_number_part(bj::string_view s, bj::error_code&) { return part(s); }
  bool on_int64(std::int64_t, bj::string_view s, bj::error_code&) { return number(s); }
  bool on_uint64(std::uint64_t, bj::string_view s, bj::error_code&) { return number(s); }
  bool on_double(double, bj::string_view s, bj::error_code&) { return number(s); }
  bool on_bool(bool b, bj::error_code&) { return add(Node{Node::Bool, b, {}, {}, {}}); }
  bool on_null(bj::error_code&) { return add(Node{}); }
  bool on_comment_part(bj::string_view, bj::error_code&) { return true; }
  bool on_comment(bj::string_view, bj::error_code&) { return true; }

  Node root;

 private:
  bool open(Node::Type type) {
    open_.push_back(Node{type, false, {}, {}, {}});
    return true;
  }
  bool close() {
    Node done = std::move(open_.back());
    open_.pop_back();
    return add(std::move(done));
  }
  bool part(bj::string_view s) {
    partial_.append(s.data(), s.size());
    return true;
  }
  std::string take(bj::string_view s) {
    std::string whole = std::move(partial_) + std::string(s.data(), s.size());
    partial_.clear();
    return whole;
  }
  bool number(bj::string_view s) { return add(Node{Node::Number, false, take(s), {}, {}}); }
  bool add(Node node) {
    if (open_.empty()) {
      root = std::move(node);
    } else {
      open_.back().items.push_back(std::move(node));
    }
    return true;
  }

  std::vector<Node> open_;
  std::string partial_;
};

// --- The reference: the model's rules on the tree, giving a canonical text ---

struct Refused {
  std::string message;
};

enum class Want { Trace, Item, Span, Reference, Tag, Log, Error, Text, I32, I64, Any, Map, List, OptionalList };

struct Field {
  const char* key;
  Want want;
  Want element;  // for lists
};

struct Record {
  const char* name;
  std::vector<Field> fields;
};

const std::map<Want, Record>& records() {
  static const std::map<Want, Record> table = {
      {Want::Trace,
       {"JaegerTrace",
        {{"data", Want::List, Want::Item},
         {"total", Want::I32, Want::Any},
         {"limit", Want::I32, Want::Any},
         {"offset", Want::I32, Want::Any},
         {"errors", Want::OptionalList, Want::Error}}}},
      {Want::Item,
       {"JaegerItem",
        {{"traceID", Want::Text, Want::Any},
         {"spans", Want::List, Want::Span},
         {"processes", Want::Map, Want::Any},
         {"warnings", Want::OptionalList, Want::Text}}}},
      {Want::Span,
       {"JaegerSpan",
        {{"traceID", Want::Text, Want::Any},
         {"spanID", Want::Text, Want::Any},
         {"flags", Want::I32, Want::Any},
         {"operationName", Want::Text, Want::Any},
         {"references", Want::List, Want::Reference},
         {"startTime", Want::I64, Want::Any},
         {"duration", Want::I64, Want::Any},
         {"tags", Want::List, Want::Tag},
         {"logs", Want::List, Want::Log},
         {"processID", Want::Text, Want::Any},
         {"warnings", Want::OptionalList, Want::Text}}}},
      {Want::Reference,
       {"JaegerReference",
        {{"refType", Want::Text, Want::Any}, {"traceID", Want::Text, Want::Any}, {"spanID", Want::Text, Want::Any}}}},
      {Want::Tag,
       {"JaegerTag", {{"key", Want::Text, Want::Any}, {"type", Want::Text, Want::Any}, {"value", Want::Any, Want::Any}}}},
      {Want::Log, {"JaegerLog", {{"timestamp", Want::I64, Want::Any}, {"fields", Want::List, Want::Tag}}}},
      {Want::Error, {"JaegerError", {}}},
  };
  return table;
}

constexpr int kMaxDepth = 127;

bool is_integer_literal(const std::string& literal) { return literal.find_first_of(".eE") == std::string::npos; }

// A kept number as the model reads it.
spansift::Number number_of(const std::string& literal) {
  spansift::Number n;
  bool negative = literal[0] == '-';
  std::uint64_t u = 0;
  if (is_integer_literal(literal)) {
    const char* digits = literal.data() + negative;
    auto [end, error] = std::from_chars(digits, literal.data() + literal.size(), u);
    if (error == std::errc() && !negative) {
      n.kind = spansift::NumberKind::Unsigned;
      n.unsigned_value = u;
      return n;
    }
    if (error == std::errc() && u != 0 && u <= static_cast<std::uint64_t>(INT64_MAX) + 1) {
      n.kind = spansift::NumberKind::Signed;
      n.signed_value = static_cast<std::int64_t>(0 - u);
      return n;
    }
  }
  n.kind = spansift::NumberKind::Double;
  n.double_value = std::strtod(literal.c_str(), nullptr);
  if (std::isinf(n.double_value)) throw Refused{"number out of range"};
  return n;
}

std::string canonical_number(const spansift::Number& n) {
  switch (n.kind) {
    case spansift::NumberKind::Unsigned: return "i" + std::to_string(n.unsigned_value);
    case spansift::NumberKind::Signed: return "i" + std::to_string(n.signed_value);
    default: {
      char buffer[32];
      auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, n.double_value);
      return "f" + std::string(buffer, end);
    }
  }
}

std::string found(const Node& node) {
  switch (node.type) {
    case Node::Null: return "null";
    case Node::Bool: return node.boolean ? "boolean `true`" : "boolean `false`";
    case Node::Number: return spansift::found_text(number_of(node.text));
    case Node::String: return "string " + spansift::quoted_text(node.text);
    case Node::Array: return "sequence";
    default: return "map";
  }
}

std::string expectation(Want want) {
  switch (want) {
    case Want::Text: return "a string";
    case Want::I32: return "i32";
    case Want::I64: return "i64";
    case Want::Map: return "a map";
    case Want::List:
    case Want::OptionalList: return "a sequence";
    default: return std::string("struct ") + records().at(want).name;
  }
}

[[noreturn]] void wrong_type(const Node& node, Want want) {
  throw Refused{"invalid type: " + found(node) + ", expected " + expectation(want)};
}

std::string expect(const Node& node, Want want, Want element, int depth);

// Any value: objects sorted by key, the last of equal keys kept.
std::string any(const Node& node, int depth) {
  switch (node.type) {
    case Node::Null: return "null";
    case Node::Bool: return node.boolean ? "true" : "false";
    case Node::Number: return canonical_number(number_of(node.text));
    case Node::String: return "s" + node.text;
    default: break;
  }
  if (depth > kMaxDepth) throw Refused{"recursion limit exceeded"};
  if (node.type == Node::Array) {
    std::string out = "[";
    for (const Node& item : node.items) out += any(item, depth + 1) + ",";
    return out + "]";
  }
  std::map<std::string, std::string> members;
  for (std::size_t i = 0; i < node.items.size(); ++i) members[node.keys[i]] = any(node.items[i], depth + 1);
  std::string out = "{";
  for (const auto& [key, value] : members) out += "s" + key + ":" + value + ",";
  return out + "}";
}

std::string record(const Node& node, Want want, int depth) {
  if (node.type != Node::Object && node.type != Node::Array) wrong_type(node, want);
  if (depth > kMaxDepth) throw Refused{"recursion limit exceeded"};
  const Record& r = records().at(want);
  std::vector<std::string> values(r.fields.size());
  std::vector<bool> seen(r.fields.size());
  if (node.type == Node::Array) {
    for (std::size_t i = 0; i < node.items.size(); ++i) {
      if (i == r.fields.size()) throw Refused{"trailing characters"};
      values[i] = expect(node.items[i], r.fields[i].want, r.fields[i].element, depth + 1);
    }
    if (node.items.size() < r.fields.size()) {
      throw Refused{"invalid length " + std::to_string(node.items.size()) + ", expected struct " + r.name + " with " +
                    std::to_string(r.fields.size()) + " elements"};
    }
  } else {
    for (std::size_t m = 0; m < node.items.size(); ++m) {
      auto field = std::find_if(r.fields.begin(), r.fields.end(), [&](const Field& f) { return node.keys[m] == f.key; });
      if (field == r.fields.end()) continue;  // dropped whole, whatever it holds
      auto i = static_cast<std::size_t>(field - r.fields.begin());
      if (seen[i]) throw Refused{"duplicate field `" + node.keys[m] + "`"};
      seen[i] = true;
      values[i] = expect(node.items[m], field->want, field->element, depth + 1);
    }
    for (std::size_t i = 0; i < r.fields.size(); ++i) {
      if (seen[i]) continue;
      if (r.fields[i].want != Want::OptionalList) throw Refused{std::string("missing field `") + r.fields[i].key + "`"};
      values[i] = "null";
    }
  }
  std::map<std::string, std::string> members;
  for (std::size_t i = 0; i < r.fields.size(); ++i) members[r.fields[i].key] = values[i];
  std::string out = "{";
  for (const auto& [key, value] : members) out += "s" + key + ":" + value + ",";
  return out + "}";
}

std::string expect(const Node& node, Want want, Want element, int depth) {
  switch (want) {
    case Want::Any: return any(node, depth);
    case Want::Text:
      if (node.type != Node::String) wrong_type(node, want);
      return "s" + node.text;
    case Want::I32:
    case Want::I64: {
      if (node.type != Node::Number) wrong_type(node, want);
      spansift::Number n = number_of(node.text);
      std::int64_t low = want == Want::I32 ? INT32_MIN : INT64_MIN;
      std::int64_t high = want == Want::I32 ? INT32_MAX : INT64_MAX;
      if (n.kind == spansift::NumberKind::Double) wrong_type(node, want);
      bool fits = n.kind == spansift::NumberKind::Unsigned ? n.unsigned_value <= static_cast<std::uint64_t>(high)
                                                             : n.signed_value >= low;
      if (!fits) throw Refused{"invalid value: " + spansift::found_text(n) + ", expected " + expectation(want)};
      return canonical_number(n);
    }
    case Want::Map: {
      if (node.type != Node::Object) wrong_type(node, want);
      if (depth > kMaxDepth) throw Refused{"recursion limit exceeded"};
      return any(node, depth);
    }
    case Want::OptionalList:
      if (node.type == Node::Null) return "null";
      [[fallthrough]];
    case Want::List: {
      if (node.type != Node::Array) wrong_type(node, Want::List);
      if (depth > kMaxDepth) throw Refused{"recursion limit exceeded"};
      std::string out = "[";
      for (const Node& item : node.items) out += expect(item, element, Want::Any, depth + 1) + ",";
      return out + "]";
    }
    case Want::Error:
      if (node.type == Node::Array && !node.items.empty()) {
        if (depth > kMaxDepth) throw Refused{"recursion limit exceeded"};
        throw Refused{"trailing characters"};
      }
      record(node, want, depth);
      return "{}";
    default: return record(node, want, depth);
  }
}

// The whole document through Boost; false when Boost refuses it.
bool boost_tree(std::string_view text, Node& root) {
  bj::parse_options options;
  options.max_depth = 4096;
  bj::basic_parser<TreeBuilder> parser(options);
  bj::error_code error;
  std::size_t used = parser.write_some(false, text.data(), text.size(), error);
  if (error || used != text.size()) return false;
  root = std::move(parser.handler().root);
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  Node document;
  if (!boost_tree(text, document)) return 0;

  std::string expected;
  try {
    expected = expect(document, Want::Trace, Want::Any, 1);
  } catch (const Refused& refused) {
    expected = "error: " + refused.message;
  }

  std::string ours;
  spansift::ParseResult result = spansift::parse_trace_json(text);
  if (const auto* error = std::get_if<spansift::ReadError>(&result)) {
    ours = "error: " + error->message();
  } else {
    // Read back through the same tree, so both sides are canonical alike.
    Node rendered;
    if (!boost_tree(spansift::fuzz::outcome(result), rendered)) spansift::fuzz::fail("output is not JSON", "", "");
    ours = expect(rendered, Want::Trace, Want::Any, 1);
  }
  if (ours != expected) spansift::fuzz::fail("the reader and the reference disagree", expected, ours);
  return 0;
}
