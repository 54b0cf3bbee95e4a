// How json.dumps spells each token, for the project's two JSON writers: the core's,
// which walks values, and the report page's, which walks the caller's objects and
// escapes markup on the way. Both write the host's json bytes, so its rules live here
// once.
#pragma once

#include <cmath>
#include <cstddef>
#include <string_view>

namespace bv::json {

// The letter after the backslash where json writes a two-character escape for c; 0
// where it writes \u00XX (other controls, DEL under ensure_ascii) or c itself.
constexpr char short_escape(char32_t c) noexcept {
  switch (c) {
    case '"': return '"';
    case '\\': return '\\';
    case '\n': return 'n';
    case '\r': return 'r';
    case '\t': return 't';
    case '\b': return 'b';
    case '\f': return 'f';
    default: return 0;
  }
}

// \uXXXX of one UTF-16 unit, in lower-case hex, at p (six characters).
inline char* put_u_escape(char* p, unsigned unit) noexcept {
  static constexpr char kHex[] = "0123456789abcdef";
  p[0] = '\\';
  p[1] = 'u';
  p[2] = kHex[(unit >> 12) & 0xF];
  p[3] = kHex[(unit >> 8) & 0xF];
  p[4] = kHex[(unit >> 4) & 0xF];
  p[5] = kHex[unit & 0xF];
  return p + 6;
}

// A character as ensure_ascii writes it: one \uXXXX, or a surrogate pair of them for
// a character beyond the Basic Multilingual Plane. Returns the end (at most twelve
// characters after p).
inline char* put_code_point_escape(char* p, char32_t cp) noexcept {
  if (cp < 0x10000) return put_u_escape(p, static_cast<unsigned>(cp));
  cp -= 0x10000;
  p = put_u_escape(p, 0xD800 | static_cast<unsigned>(cp >> 10));
  return put_u_escape(p, 0xDC00 | static_cast<unsigned>(cp & 0x3FF));
}

// json's spellings of the floats that JSON has no number for; empty for a finite one
// (which is written as its repr).
constexpr std::string_view nonfinite(double d) noexcept {
  if (std::isnan(d)) return "NaN";
  if (std::isinf(d)) return d < 0 ? std::string_view("-Infinity") : std::string_view("Infinity");
  return {};
}

// Map keys that are not text are quoted around their spelling as values (true,
// false, null, a number); any other key is refused with this message, followed by
// the key's type name.
constexpr std::string_view kBadKey = "keys must be str, int, float, bool or None, not ";

}  // namespace bv::json
