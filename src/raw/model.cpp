#include "raw/model.h"

namespace spansift {

JsonValue JsonValue::from_bool(bool b) {
  JsonValue v;
  v.kind = Kind::Bool;
  v.boolean = b;
  return v;
}

JsonValue JsonValue::from_unsigned(std::uint64_t n) {
  JsonValue v;
  v.kind = Kind::Unsigned;
  v.unsigned_number = n;
  return v;
}

JsonValue JsonValue::from_signed(std::int64_t n) {
  JsonValue v;
  v.kind = Kind::Signed;
  v.signed_number = n;
  return v;
}

JsonValue JsonValue::from_double(double d) {
  JsonValue v;
  v.kind = Kind::Double;
  v.double_number = d;
  return v;
}

JsonValue JsonValue::from_string(std::string_view s) {
  JsonValue v;
  v.kind = Kind::String;
  v.string_data = s.data();
  v.size = static_cast<std::uint32_t>(s.size());
  return v;
}

JsonValue JsonValue::from_array(List<JsonValue> elements) {
  JsonValue v;
  v.kind = Kind::Array;
  v.elements = elements.data();
  v.size = static_cast<std::uint32_t>(elements.size());
  return v;
}

JsonValue JsonValue::from_object(List<JsonMember> sorted_members) {
  JsonValue v;
  v.kind = Kind::Object;
  v.members = sorted_members.data();
  v.size = static_cast<std::uint32_t>(sorted_members.size());
  return v;
}

std::string errors_debug_text(const std::vector<JaegerError>& errors) {
  std::string text = "[";
  for (std::size_t i = 0; i < errors.size(); ++i) {
    if (i > 0) text += ", ";
    text += "JaegerError";
  }
  text += "]";
  return text;
}

}  // namespace spansift
