// Text helpers with Python's exact semantics: float repr, number formats, rounding,
// markup escape, Unicode strip and lower-case, and the JSON writer.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "value.hpp"

namespace bv {

// ---- numbers ----

// repr(float): shortest round-trip digits; exponent form when the decimal exponent
// is < -4 or >= 16 ("1e-05", "1e+16"); an integral double keeps ".0"; "inf", "-inf", "nan".
std::string repr_double(double d);
void append_repr_double(std::string& out, double d);
// str(int)
void append_int(std::string& out, int64_t i);

// round(x, n) for a double: half to even on the exact binary value.
double round_half_even(double x, int ndigits);
// round(x) for a double (Python returns an int): half to even; OverflowError for
// infinities, ValueError for NaN, OverflowError beyond 64 bits.
int64_t round_to_int(double x);

// format(x, "+,.0f")
std::string fmt_plus_comma_0f(double x);
// format(i, "+,")
std::string fmt_plus_comma_int(int64_t i);
// format(i, ",")
std::string fmt_comma_int(int64_t i);
// format(x, "+.1f")
std::string fmt_plus_1f(double x);
// format(x, ".1f")
std::string fmt_1f(double x);

// int(text) with Python's rules (surrounding whitespace, sign, underscores between
// digits); ValueError "invalid literal for int() with base 10: '...'" otherwise,
// OverflowError beyond 64 bits.
int64_t parse_int_text(std::string_view s);
// float(text) with Python's rules (whitespace, underscores, inf/infinity/nan in any
// case); ValueError "could not convert string to float: '...'".
double parse_float_text(std::string_view s);

// ---- text ----

// html.escape(s, quote=True)
std::string html_escape(std::string_view s);
void append_html_escape(std::string& out, std::string_view s);

// str.strip() with Python's Unicode whitespace set; returns a view into s.
std::string_view py_strip(std::string_view s) noexcept;
// True when s holds only whitespace (or is empty): strip() gives "".
bool is_blank(std::string_view s) noexcept;
// str.lower() as far as ASCII token tests can tell: ASCII letters lowered, U+0130 to
// "i\u0307" and U+212A (Kelvin) to "k"; every other byte unchanged.
std::string py_lower_for_match(std::string_view s);
// Case-insensitive search as re.search(pattern, s, re.IGNORECASE) for an ASCII
// lower-case literal `needle` (so "i" also matches U+0130/U+0131, "s" U+017F, "k" U+212A).
bool icase_contains(std::string_view hay, std::string_view needle) noexcept;

// The first eight bytes of s as a big-endian number, zero-padded: prefixes compare
// as the texts do (UTF-8 byte order is code-point order), so a sort compares whole
// texts only where their first eight bytes agree.
inline uint64_t order_prefix(std::string_view s) noexcept {
  unsigned char b[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  for (size_t i = 0; i < s.size() && i < 8; ++i) b[i] = static_cast<unsigned char>(s[i]);
  uint64_t p = 0;
  for (unsigned char c : b) p = (p << 8) | c;
  return p;
}

// Python repr() of a str (quotes chosen as Python does). Used in error messages.
std::string py_repr_str(std::string_view s);

// ---- JSON ----

// Nesting deeper than max_depth raises RecursionError: the caller hands over its
// host's recursion limit, so the writer follows the limit of the call it serves.
//
// json.dumps(v, ensure_ascii=False): separators ", " and ": ".
void write_json_compact(std::string& out, const Value& v, int max_depth);
// The same document in parts, whose concatenation it is: a large one written by two
// threads. The same error too, the one a single walk meets first.
std::vector<std::string> write_json_compact_parts(const Value& v, int max_depth);
// json.dumps(v, indent=n) (ensure_ascii=True): every non-ASCII character as \uXXXX,
// astral characters as surrogate pairs.
void write_json_indent(std::string& out, const Value& v, int indent, int max_depth);
// json.dumps(v, ensure_ascii=False, indent=n)
void write_json_indent_unicode(std::string& out, const Value& v, int indent, int max_depth);

}  // namespace bv
