// Small helpers shared by the region layout, the range payloads and the render
// hints: Python's comparison operators, max/min, + and - and true division on
// values (with an int64 fast path), and the few operations the Python binding
// needs besides the declarations in plotspec.hpp.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "analysis/plotspec/records.hpp"
#include "core/value/value.hpp"

namespace bv::plotspec::layout {

// True for values that Python orders with the same rules as our core: numbers
// (int, float, bool), strings, and lists/tuples of one kind.
inline bool orderable(const Value& a, const Value& b) noexcept {
  if (a.is_number() && b.is_number()) return true;
  if (a.is_str() && b.is_str()) return true;
  return a.is_list() && b.is_list() && a.is_tuple() == b.is_tuple();
}

[[noreturn]] void unsupported_comparison(const char* op, const Value& a, const Value& b);

// Python `a < b`, `a > b`, `a <= b`, `a >= b` (NaN compares false; TypeError naming
// the operator for values Python cannot order).
inline bool lt(const Value& a, const Value& b) {
  if (a.is_int() && b.is_int()) return a.as_int() < b.as_int();
  if (!orderable(a, b)) unsupported_comparison("<", a, b);
  return py_lt(a, b);
}
inline bool gt(const Value& a, const Value& b) {
  if (a.is_int() && b.is_int()) return a.as_int() > b.as_int();
  if (!orderable(a, b)) unsupported_comparison(">", a, b);
  return py_lt(b, a);
}
inline bool le(const Value& a, const Value& b) {
  if (a.is_int() && b.is_int()) return a.as_int() <= b.as_int();
  if (!orderable(a, b)) unsupported_comparison("<=", a, b);
  return py_lt(a, b) || py_eq(a, b);
}
inline bool ge(const Value& a, const Value& b) {
  if (a.is_int() && b.is_int()) return a.as_int() >= b.as_int();
  if (!orderable(a, b)) unsupported_comparison(">=", a, b);
  return py_lt(b, a) || py_eq(a, b);
}

// Python max(a, b) / min(a, b): the first argument unless the second is strictly
// greater / smaller (so max(1, 1.0) is 1, as in Python).
inline const Value& max_of(const Value& a, const Value& b) { return gt(b, a) ? b : a; }
inline const Value& min_of(const Value& a, const Value& b) { return lt(b, a) ? b : a; }

inline Value add(const Value& a, const Value& b) {
  if (a.is_int() && b.is_int()) return Value(static_cast<long long>(checked_add(a.as_int(), b.as_int())));
  return py_add(a, b);
}
inline Value sub(const Value& a, const Value& b) {
  if (a.is_int() && b.is_int()) return Value(static_cast<long long>(checked_sub(a.as_int(), b.as_int())));
  return py_sub(a, b);
}

// int / int in Python: the exact quotient, rounded once.
double int_true_div(int64_t a, int64_t b);
// Python `a / b` for numbers (the divisor is known to be non-zero).
double true_div(const Value& a, const Value& b);

// Python `a * b` for numbers (int stays int, with an overflow check).
Value mul(const Value& a, const Value& b);

// Key of a name in the lookup indexes: text as it is; a number or None by a
// canonical text form behind a byte that never starts valid UTF-8 (1, 1.0 and
// True give one key, as they are one key of a Python dict). Returns false for
// values that are never found (containers and other objects).
bool index_key(const Value& name, std::string& out);

template <class T>
const T* index_find(const OrderedIndex<T>& idx, const Value& name) {
  if (name.is_str()) return idx.find(name.str());
  if (idx.empty()) return nullptr;
  std::string key;
  if (!index_key(name, key)) return nullptr;
  return idx.find(key);
}

// `any(token in value for token in tokens)` for a text value and a list of tokens,
// with Python's errors for values that are not text.
bool contains_token_value(const Value& value, const Value& tokens);

// Which argument _clamp returns: 0 (value), 1 (lower) or 2 (upper).
int clamp_index(const Value& value, const Value& lower, const Value& upper);

// section_range_payload with the owners already worked out (the region layout works
// them out with one scratch for all its sections).
Value section_range_payload_with(const Value& region_name, const Section& section, const Value& section_start,
                                 const Value& section_end, const Value& region_size, const Value& kind,
                                 const Value& role, std::span<const Symbol* const> symbols, const Value& issue_ids,
                                 const Value& baseline_delta, Value owners);

// Reads a byte of every record line that the range rows of these symbols read, in a
// loop that does nothing else: the records lie all over the model, and so their misses
// overlap rather than queue one by one behind the making of each row.
inline void touch_symbol_rows(std::span<const Symbol* const> symbols, size_t rows) noexcept {
  rows = std::min(rows, symbols.size());
  // Points at most a line apart from the first field read to the last byte of the
  // last one: every line in between holds one of them.
  constexpr size_t kFirst = offsetof(Symbol, name);
  constexpr size_t kLast = offsetof(Symbol, source_file) + sizeof(Value) - 1;
  unsigned char acc = 0;
  for (size_t i = 0; i < rows; ++i) {
    const auto* p = reinterpret_cast<const unsigned char*>(symbols[i]);
    for (size_t off = kFirst; off < kLast; off += 64) acc ^= p[off];
    acc ^= p[kLast];
  }
  asm volatile("" : : "r"(acc));  // the reads are the point: keep them
}

// len(x) for a list, tuple, dict or text (code points); TypeError otherwise.
int64_t py_len(const Value& v);

}  // namespace bv::plotspec::layout
