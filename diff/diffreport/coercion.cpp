#include "diff/diffreport/coercion.hpp"

#include <cmath>
#include <cstdlib>
#include <string>
#include <unordered_map>

namespace bv::diffreport {

const List& as_list(const Value& v) noexcept {
  static const List empty;
  if (v.is_list() && !v.is_tuple()) return v.items();
  return empty;
}

Value as_mapping(const Value& v) {
  if (!v.is_map()) return Value::map();
  const Map& src = v.members();
  Value out = Value::map(src.size());
  std::unordered_map<std::string, size_t> pos;
  for (const Member& m : src) {
    std::string key = m.key.is_str() ? std::string(m.key.str()) : text_form(m.key);
    auto it = pos.find(key);
    if (it != pos.end()) {
      out.members()[it->second].value = m.value;
      continue;
    }
    pos.emplace(key, out.members().size());
    Value k = m.key.is_str() ? m.key : Value(key);
    out.add(std::move(k), m.value);
  }
  return out;
}

double as_number(const Value& v) noexcept {
  switch (v.kind()) {
    case Kind::Int:
      return static_cast<double>(v.as_int());
    case Kind::Double:
      return v.as_double();
    case Kind::BigInt: {
      // strtod rounds to nearest and gives +-HUGE_VAL (infinity) beyond the range.
      std::string digits(v.big_digits());
      return std::strtod(digits.c_str(), nullptr);
    }
    default:
      return 0.0;  // booleans count as 0.0 too
  }
}

}  // namespace bv::diffreport
