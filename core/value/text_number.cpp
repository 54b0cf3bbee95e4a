// Numbers as Python prints, rounds, formats and parses them.
//
// Digits always come from std::to_chars / std::from_chars: they are exact, correctly
// rounded (ties to even on the exact binary value, as CPython's dtoa does) and, unlike
// printf/strtod, independent of the process locale, which the host may have changed.
// This file only lays the digits out the way Python does.

#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <limits>
#include <string>
#include <system_error>

#include "text.hpp"
#include "text_utf8.hpp"

namespace bv {

namespace {

// Room for the longest fixed-point text we ask for: 309 integer digits, a sign,
// a point and at most 323 decimals.
constexpr size_t kFixedBuf = 700;

// Shortest round-trip digits of a finite double: sign, digits without the point,
// and the decimal exponent of the first digit.
struct ShortDigits {
  bool neg;
  char digits[24];
  int ndigits;
  int exp10;
};

// The digits of a double that is a short decimal (a percentage to three places, a
// ratio, a size in KiB), found without the general shortest-digits search, which
// costs several times more. `d` is taken as the decimal of `places` places nearest
// to it, when that decimal has at most 15 significant digits and reads back as `d`:
// decimals of that many digits lie more than four units in the last place of `d`
// apart, so no other decimal of as many places reads back as `d`, and none of fewer
// places does (it would have been found first), so these are the shortest digits.
// Outside Python's fixed-point range of repr() this is left to the general search.
bool short_decimal_digits(double d, ShortDigits& sd) {
  static constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,
                                      1e10, 1e11, 1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18};
  constexpr double kMaxDigits = 1e15;  // exclusive: at most 15 significant digits
  const double a = std::fabs(d);
  if (!(a >= 1e-4 && a < kMaxDigits)) return false;
  for (int places = 0; places < static_cast<int>(std::size(kPow10)); ++places) {
    const double scaled = a * kPow10[places];  // exact to a relative 2^-53
    if (scaled >= kMaxDigits) return false;
    // Below 2^50 adding a half is exact, so this is the nearest whole number.
    const auto v = static_cast<uint64_t>(scaled + 0.5);
    const auto nearest = static_cast<double>(v);
    if (nearest >= kMaxDigits) return false;
    // A decimal that reads back as `a` lies within a relative 2^-52 of `scaled` (the
    // scaling's rounding plus half a unit of `a`): anything farther needs more places.
    // Only the exact test below decides; this one spares the division where it fails.
    if (std::fabs(scaled - nearest) > scaled * 0x1p-51) continue;
    // Both operands are exact, and the quotient is rounded once: what reading the
    // decimal text back gives.
    if (nearest / kPow10[places] != a) continue;
    char buf[24];
    const char* end = std::to_chars(buf, buf + sizeof buf, v).ptr;
    int n = static_cast<int>(end - buf);
    sd.neg = std::signbit(d);
    sd.exp10 = n - 1 - places;
    while (n > 1 && buf[n - 1] == '0') --n;  // only a whole number ends in zeros here
    std::memcpy(sd.digits, buf, static_cast<size_t>(n));
    sd.ndigits = n;
    return true;
  }
  return false;
}

ShortDigits shortest_digits(double d) {
  if (ShortDigits sd{}; short_decimal_digits(d, sd)) return sd;
  char buf[40];
  auto res = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific);
  ShortDigits sd{};
  const char* p = buf;
  const char* end = res.ptr;
  if (*p == '-') {
    sd.neg = true;
    ++p;
  }
  while (p < end && *p != 'e') {
    if (*p != '.') sd.digits[sd.ndigits++] = *p;
    ++p;
  }
  // to_chars writes "e+XX" / "e-XXX"
  ++p;
  bool eneg = *p == '-';
  ++p;
  int e = 0;
  while (p < end) e = e * 10 + (*p++ - '0');
  sd.exp10 = eneg ? -e : e;
  return sd;
}

// Inserts "," between groups of three digits of the integer part of a plain
// fixed-point text (optional leading "-" or "+").
void append_grouped(std::string& out, const char* p, const char* end) {
  if (p < end && (*p == '-' || *p == '+')) out += *p++;
  const char* int_end = p;
  while (int_end < end && *int_end >= '0' && *int_end <= '9') ++int_end;
  size_t n = static_cast<size_t>(int_end - p);
  size_t first = n % 3 ? n % 3 : 3;
  out.append(p, first);
  for (size_t i = first; i < n; i += 3) {
    out += ',';
    out.append(p + i, 3);
  }
  out.append(int_end, end);
}

// The fixed-point text of x with `decimals` digits after the point, as "%.*f" in the C
// locale; `buf` has room for `room` characters.
size_t fixed_text(char* buf, double x, int decimals, size_t room = kFixedBuf) {
  auto res = std::to_chars(buf, buf + room, x, std::chars_format::fixed, decimals);
  return static_cast<size_t>(res.ptr - buf);
}

// Python's format() with type "f": nan carries no sign of its own (format(-nan, "+f")
// is "+nan"), everything else (-0.0 and values rounding to zero from below included)
// keeps the sign of the exact value.
std::string format_fixed(double x, int decimals, bool force_sign, bool group) {
  if (std::isnan(x)) return force_sign ? "+nan" : "nan";
  if (std::isinf(x)) return x < 0 ? "-inf" : (force_sign ? "+inf" : "inf");
  std::string out;
  char buf[kFixedBuf];
  char* p = buf;
  if (force_sign && !std::signbit(x)) *p++ = '+';
  size_t n = fixed_text(p, x, decimals, kFixedBuf - 1) + static_cast<size_t>(p - buf);
  if (!group) {
    out.assign(buf, n);
    return out;
  }
  out.reserve(n + n / 3 + 1);
  append_grouped(out, buf, buf + n);
  return out;
}

std::string format_int(int64_t i, bool force_sign) {
  char buf[32];
  char* p = buf;
  if (force_sign && i >= 0) *p++ = '+';
  auto res = std::to_chars(p, buf + sizeof buf, i);
  std::string out;
  out.reserve(32);
  append_grouped(out, buf, res.ptr);
  return out;
}

// ---- parsing ----

// What int() and float() skip around a number: ASCII " \t\n\v\f\r" and every non-ASCII
// Unicode space. Unlike str.strip(), the ASCII separators U+001C..U+001F are not
// skipped: CPython keeps ASCII characters as they are and tests them with its ASCII
// isspace, so int("\x1c1") is an error while "\x1c1".strip() is "1".
std::string_view numeric_strip(std::string_view s) { return utf8::strip_spaces(s, false); }

// The first `limit` code points of a text: CPython formats the int() error with
// "%.200R", which cuts the repr after 200 characters.
std::string cut_code_points(std::string s, size_t limit) {
  size_t count = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    if (!utf8::is_cont(static_cast<unsigned char>(s[i]))) {
      if (count == limit) {
        s.resize(i);
        break;
      }
      ++count;
    }
  }
  return s;
}

[[noreturn]] void bad_int_literal(std::string_view original) {
  raise(ErrKind::Value, "invalid literal for int() with base 10: " + cut_code_points(py_repr_str(original), 200));
}

[[noreturn]] void bad_float_literal(std::string_view original) {
  raise(ErrKind::Value, "could not convert string to float: " + py_repr_str(original));
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool ascii_iequal(std::string_view a, std::string_view lower) {
  if (a.size() != lower.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char c = a[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    if (c != lower[i]) return false;
  }
  return true;
}

// Copies a run of digits with underscores allowed only between two digits (Python's
// rule for numeric literals) into `clean`. Returns the number of digits copied, or
// -1 when an underscore is misplaced. `i` is left after the run.
long copy_digit_run(std::string_view s, size_t& i, std::string& clean) {
  long count = 0;
  while (i < s.size()) {
    char c = s[i];
    if (is_digit(c)) {
      clean += c;
      ++count;
      ++i;
    } else if (c == '_') {
      if (count == 0 || i + 1 >= s.size() || !is_digit(s[i + 1])) return -1;
      ++i;
    } else {
      break;
    }
  }
  return count;
}

}  // namespace

// ---- repr ----

void append_repr_double(std::string& out, double d) {
  if (std::isnan(d)) {
    out += "nan";
    return;
  }
  if (std::isinf(d)) {
    out += d < 0 ? "-inf" : "inf";
    return;
  }
  ShortDigits sd = shortest_digits(d);
  if (sd.neg) out += '-';
  const char* dig = sd.digits;
  int n = sd.ndigits;
  int e = sd.exp10;
  if (e < -4 || e >= 16) {
    out += dig[0];
    if (n > 1) {
      out += '.';
      out.append(dig + 1, static_cast<size_t>(n - 1));
    }
    out += e < 0 ? "e-" : "e+";
    int ae = e < 0 ? -e : e;
    if (ae < 10) out += '0';
    char eb[8];
    auto r = std::to_chars(eb, eb + sizeof eb, ae);
    out.append(eb, r.ptr);
    return;
  }
  int point = e + 1;  // digits before the decimal point
  if (point <= 0) {
    out += "0.";
    out.append(static_cast<size_t>(-point), '0');
    out.append(dig, static_cast<size_t>(n));
  } else if (point >= n) {
    out.append(dig, static_cast<size_t>(n));
    out.append(static_cast<size_t>(point - n), '0');
    out += ".0";
  } else {
    out.append(dig, static_cast<size_t>(point));
    out += '.';
    out.append(dig + point, static_cast<size_t>(n - point));
  }
}

std::string repr_double(double d) {
  std::string out;
  append_repr_double(out, d);
  return out;
}

void append_int(std::string& out, int64_t i) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, i);
  out.append(buf, r.ptr);
}

// ---- rounding ----

double round_half_even(double x, int ndigits) {
  if (!std::isfinite(x)) return x;
  // Beyond these bounds every double rounds to itself or to a signed zero
  // (0.30103 bounds log10(2) from above, as in CPython).
  constexpr int kMaxDigits = static_cast<int>((std::numeric_limits<double>::digits - DBL_MIN_EXP) * 0.30103);
  constexpr int kMinDigits = -static_cast<int>((DBL_MAX_EXP + 1) * 0.30103);
  if (ndigits > kMaxDigits) return x;
  if (ndigits < kMinDigits) return 0.0 * x;

  char buf[kFixedBuf];
  double result = 0.0;
  if (ndigits >= 0) {
    // The fixed text is already rounded half to even on the exact binary value; reading
    // it back gives the nearest double, which is what CPython returns.
    size_t n = fixed_text(buf, x, ndigits);
    std::from_chars(buf, buf + n, result);
    return result;
  }

  // Rounding to tens, hundreds, ...: the integer part's exact digits decide, and a
  // fractional part can only break a tie upwards (away from zero).
  double whole = std::trunc(x);
  bool has_fraction = whole != x;
  size_t n = fixed_text(buf, whole, 0);
  bool neg = buf[0] == '-';
  std::string_view digits(buf + (neg ? 1 : 0), n - (neg ? 1 : 0));
  size_t k = static_cast<size_t>(-ndigits);

  std::string kept;
  bool up = false;
  if (digits.size() >= k) {
    kept.assign(digits.substr(0, digits.size() - k));
    std::string_view rest = digits.substr(digits.size() - k);
    if (rest[0] > '5') {
      up = true;
    } else if (rest[0] == '5') {
      bool beyond_half = has_fraction || rest.find_first_not_of('0', 1) != std::string_view::npos;
      int last = kept.empty() ? 0 : kept.back() - '0';
      up = beyond_half || (last % 2 == 1);
    }
  }
  if (kept.empty()) kept.push_back('0');
  if (up) {
    size_t i = kept.size();
    while (i > 0 && kept[i - 1] == '9') kept[--i] = '0';
    if (i == 0)
      kept.insert(kept.begin(), '1');
    else
      ++kept[i - 1];
  }
  std::string text = (neg ? "-" : "") + kept + "e" + std::to_string(k);
  auto res = std::from_chars(text.data(), text.data() + text.size(), result);
  if (res.ec == std::errc::result_out_of_range) raise(ErrKind::Overflow, "rounded value too large to represent");
  return result;
}

int64_t round_to_int(double x) {
  if (std::isnan(x)) raise(ErrKind::Value, "cannot convert float NaN to integer");
  if (std::isinf(x)) raise(ErrKind::Overflow, "cannot convert float infinity to integer");
  // std::round goes away from zero on ties; CPython fixes exact halves up to even.
  double r = std::round(x);
  if (std::fabs(x - r) == 0.5) r = 2.0 * std::round(x / 2.0);
  if (r >= 9223372036854775808.0 || r < -9223372036854775808.0) {
    char buf[kFixedBuf];
    size_t n = fixed_text(buf, r, 0);
    raise(ErrKind::Overflow, "int too large to convert to 64-bit integer: " + std::string(buf, n));
  }
  return static_cast<int64_t>(r);
}

// ---- formats ----

std::string fmt_plus_comma_0f(double x) { return format_fixed(x, 0, true, true); }
std::string fmt_plus_1f(double x) { return format_fixed(x, 1, true, false); }
std::string fmt_1f(double x) { return format_fixed(x, 1, false, false); }
std::string fmt_plus_comma_int(int64_t i) { return format_int(i, true); }
std::string fmt_comma_int(int64_t i) { return format_int(i, false); }

// ---- parsing ----

// Unicode decimal digits other than ASCII (Arabic-Indic, fullwidth, ...) are accepted
// by CPython; we reject them with the same ValueError. No input of ours carries them,
// and mapping every Nd block is not worth its table.
int64_t parse_int_text(std::string_view s) {
  std::string_view t = numeric_strip(s);
  size_t i = 0;
  bool neg = false;
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) neg = t[i++] == '-';
  if (i >= t.size() || !is_digit(t[i])) bad_int_literal(s);

  // 2^63: the magnitude of INT64_MIN; one more than INT64_MAX.
  const uint64_t limit = neg ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1;
  uint64_t mag = 0;
  bool overflow = false;
  bool prev_digit = false;
  for (; i < t.size(); ++i) {
    char c = t[i];
    if (is_digit(c)) {
      unsigned d = static_cast<unsigned>(c - '0');
      if (!overflow) {
        if (mag > (limit - d) / 10)
          overflow = true;
        else
          mag = mag * 10 + d;
      }
      prev_digit = true;
    } else if (c == '_' && prev_digit && i + 1 < t.size() && is_digit(t[i + 1])) {
      prev_digit = false;
    } else {
      bad_int_literal(s);
    }
  }
  // Syntax first, size second: CPython reports a bad literal even when it is also huge.
  if (overflow)
    raise(ErrKind::Overflow, "int too large to convert to 64-bit integer: " + cut_code_points(py_repr_str(s), 200));
  return neg ? static_cast<int64_t>(0 - mag) : static_cast<int64_t>(mag);
}

double parse_float_text(std::string_view s) {
  std::string_view t = numeric_strip(s);
  size_t i = 0;
  bool neg = false;
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) neg = t[i++] == '-';

  std::string_view word = t.substr(i);
  if (ascii_iequal(word, "inf") || ascii_iequal(word, "infinity"))
    return neg ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
  if (ascii_iequal(word, "nan"))
    return neg ? -std::numeric_limits<double>::quiet_NaN() : std::numeric_limits<double>::quiet_NaN();

  // [digits] [. [digits]] with at least one digit, then an optional exponent; the
  // underscore-free copy is what from_chars reads.
  std::string clean;
  clean.reserve(t.size() + 1);
  if (neg) clean += '-';
  size_t int_begin = clean.size();
  long int_digits = copy_digit_run(t, i, clean);
  if (int_digits < 0) bad_float_literal(s);
  long frac_digits = 0;
  size_t frac_begin = 0;
  if (i < t.size() && t[i] == '.') {
    ++i;
    clean += '.';
    frac_begin = clean.size();
    frac_digits = copy_digit_run(t, i, clean);
    if (frac_digits < 0) bad_float_literal(s);
  }
  if (int_digits + frac_digits == 0) bad_float_literal(s);
  int64_t exp_value = 0;  // saturated: only its sign and rough size matter below
  if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
    ++i;
    clean += 'e';
    bool eneg = false;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) {
      eneg = t[i] == '-';
      clean += t[i++];
    }
    size_t exp_begin = clean.size();
    long exp_digits = copy_digit_run(t, i, clean);
    if (exp_digits <= 0) bad_float_literal(s);
    for (size_t k = exp_begin; k < clean.size() && exp_value < (int64_t{1} << 40); ++k)
      exp_value = exp_value * 10 + (clean[k] - '0');
    if (eneg) exp_value = -exp_value;
  }
  if (i != t.size()) bad_float_literal(s);

  double result = 0.0;
  auto res = std::from_chars(clean.data(), clean.data() + clean.size(), result, std::chars_format::general);
  if (res.ec == std::errc::result_out_of_range) {
    // from_chars refuses to round to infinity or zero; Python does both silently.
    // Decide by the decimal magnitude of the first non-zero digit.
    std::string_view int_part(clean.data() + int_begin, static_cast<size_t>(int_digits));
    size_t lead = int_part.find_first_not_of('0');
    int64_t magnitude;
    if (lead != std::string_view::npos) {
      magnitude = static_cast<int64_t>(int_part.size() - lead);
    } else {
      std::string_view frac(clean.data() + frac_begin, static_cast<size_t>(frac_digits));
      magnitude = -static_cast<int64_t>(frac.find_first_not_of('0'));
    }
    double big = magnitude + exp_value > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    result = neg ? -big : big;
  } else if (res.ec != std::errc() || res.ptr != clean.data() + clean.size()) {
    bad_float_literal(s);
  }
  return result;
}

}  // namespace bv
