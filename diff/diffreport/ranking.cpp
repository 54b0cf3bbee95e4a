#include "diff/diffreport/ranking.hpp"

#include "core/value/text.hpp"

#include <algorithm>
#include <string_view>

namespace bv::diffreport {

Value DiffEntryList::read(size_t i, EntryField f) {
  const DiffEntry& e = entries_[i];
  switch (f) {
    case EntryField::Kind:
      return e.kind;
    case EntryField::Name:
      return e.name;
    case EntryField::Delta:
      return e.delta;
    case EntryField::DeltaPct:
      return e.delta_pct;
    case EntryField::Status:
      return e.status;
    case EntryField::Current:
      return e.current;
  }
  return Value();
}

size_t DiffEntryList::slice_end(size_t n) { return limit_ ? slice_count(n, *limit_) : n; }

bool DiffEntryList::size_at_least(int64_t size) { return int_at_least(size, min_size_); }

size_t slice_count(size_t n, int64_t limit) noexcept {
  if (limit >= 0) return std::min(n, static_cast<size_t>(limit));
  // The magnitude of INT64_MIN does not fit an int64: take it unsigned.
  uint64_t drop = uint64_t{0} - static_cast<uint64_t>(limit);
  return drop >= n ? 0 : n - static_cast<size_t>(drop);
}

bool int_at_least(int64_t int_value, const Value& threshold) {
  switch (threshold.kind()) {
    case Kind::Bool:
      return int_value >= (threshold.as_bool() ? 1 : 0);
    case Kind::Int:
      return int_value >= threshold.as_int();
    case Kind::Double: {
      int c = cmp_int_double(int_value, threshold.as_double());
      return c == 0 || c == 1;  // 2 is NaN: every comparison with it is false
    }
    case Kind::BigInt:
      // Beyond 64 bits either way, so only the sign decides.
      return !threshold.big_digits().empty() && threshold.big_digits()[0] == '-';
    default:
      raise(ErrKind::Type, "'>=' not supported between instances of 'int' and '" + type_name(threshold) + "'");
  }
}

namespace {

bool all_strings(const std::vector<Value>& vs) {
  return std::all_of(vs.begin(), vs.end(), [](const Value& v) { return v.is_str(); });
}

// Python's comparison of the remaining elements of two sort-key tuples once their
// numeric heads are equal: the first unequal pair decides, by '<'.
bool tail_less(const Value& ka, const Value& kb, const Value* na, const Value* nb) {
  if (!py_eq(ka, kb)) return py_lt(ka, kb);
  if (na && !py_eq(*na, *nb)) return py_lt(*na, *nb);
  return false;
}

// The first 8 bytes of a text, big-endian and zero-padded: unequal prefixes order
// two texts as their full comparison does, so most comparisons never touch the text.
// Three-way comparison of two texts whose prefixes are equal.
int rest_cmp(std::string_view a, std::string_view b) noexcept {
  if (a.size() <= 8 && b.size() <= 8) return (a.size() > b.size()) - (a.size() < b.size());
  int c = a.compare(b);  // byte order of UTF-8 is code point order
  return (c > 0) - (c < 0);
}

template <class Num>
struct FastKey {
  Num key;
  uint64_t kind_prefix;
  uint64_t name_prefix;
  std::string_view kind;
  std::string_view name;
  uint32_t pos;
};

// K: FastKey or TextRankKey, which hold the same fields.
template <class K>
bool fast_less(const K& a, const K& b) noexcept {
  if (a.key != b.key) return a.key < b.key;
  if (a.kind_prefix != b.kind_prefix) return a.kind_prefix < b.kind_prefix;
  if (int c = rest_cmp(a.kind, b.kind)) return c < 0;
  if (a.name_prefix != b.name_prefix) return a.name_prefix < b.name_prefix;
  if (int c = rest_cmp(a.name, b.name)) return c < 0;
  return a.pos < b.pos;
}

// The kept entries are selected without sorting the rest: the position as the last
// tie-break makes any selection give the stable order.
template <class K>
std::vector<uint32_t> select_fast(std::vector<K>& fk, size_t end) {
  end = std::min(end, fk.size());
  if (end < fk.size()) std::nth_element(fk.begin(), fk.begin() + static_cast<ptrdiff_t>(end), fk.end(), fast_less<K>);
  std::sort(fk.begin(), fk.begin() + static_cast<ptrdiff_t>(end), fast_less<K>);
  std::vector<uint32_t> order(end);
  for (size_t j = 0; j < end; ++j) order[j] = fk[j].pos;
  return order;
}

// The first positions of a stable sort of 0..m-1 ascending by (keys, kinds, names),
// as many as take(m) keeps. kinds may be null (the added-symbol key has no kind).
// Strings take the selecting fast path. Any other value is fully sorted as Python
// compares tuples, so mixed types raise the host's TypeError from the same
// comparisons; the limit is then read after the sort, as slicing the sorted list
// reads it.
template <class Num, class Take>
std::vector<uint32_t> stable_order(const std::vector<Num>& keys, const std::vector<Value>* kinds,
                                   const std::vector<Value>& names, Take take) {
  const size_t m = keys.size();
  if ((!kinds || all_strings(*kinds)) && all_strings(names)) {
    std::vector<FastKey<Num>> fk(m);
    for (size_t j = 0; j < m; ++j) {
      std::string_view kind = kinds ? (*kinds)[j].str() : std::string_view();
      std::string_view name = names[j].str();
      fk[j] = FastKey<Num>{keys[j], order_prefix(kind), order_prefix(name), kind, name, static_cast<uint32_t>(j)};
    }
    return select_fast(fk, take(m));
  }
  std::vector<uint32_t> order(m);
  for (size_t j = 0; j < m; ++j) order[j] = static_cast<uint32_t>(j);
  std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
    if (keys[a] != keys[b]) return keys[a] < keys[b];
    if (kinds) return tail_less((*kinds)[a], (*kinds)[b], &names[a], &names[b]);
    return tail_less(names[a], names[b], nullptr, nullptr);
  });
  order.resize(take(m));
  return order;
}

void check_size(size_t n) {
  // Positions are sorted as 32-bit indices to keep the sort keys compact.
  if (n > UINT32_MAX) raise(ErrKind::Overflow, "too many diff entries to rank");
}

}  // namespace

TextRankKey text_rank_key(double key, std::string_view kind, std::string_view name, uint32_t pos) noexcept {
  return TextRankKey{key, order_prefix(kind), order_prefix(name), kind, name, pos};
}

std::vector<uint32_t> rank_candidates(const std::vector<double>& keys, size_t end) {
  const size_t m = keys.size();
  std::vector<uint32_t> out;
  if (end == 0) return out;
  if (end < m) {
    std::vector<double> k(keys);
    std::nth_element(k.begin(), k.begin() + static_cast<ptrdiff_t>(end - 1), k.end());
    const double threshold = k[end - 1];
    out.reserve(end);
    for (size_t j = 0; j < m; ++j)
      if (keys[j] <= threshold) out.push_back(static_cast<uint32_t>(j));
    return out;
  }
  out.resize(m);
  for (size_t j = 0; j < m; ++j) out[j] = static_cast<uint32_t>(j);
  return out;
}

std::vector<uint32_t> text_rank_order(std::vector<TextRankKey>& keys, size_t end) { return select_fast(keys, end); }

std::vector<uint32_t> value_rank_order(const std::vector<double>& keys, const std::vector<Value>& kinds,
                                       const std::vector<Value>& names, const std::function<size_t(size_t)>& take) {
  return stable_order(keys, &kinds, names, take);
}

Value added_large_symbols(EntrySource& src, const Value& min_size) {
  static const Value kSymbol("symbol");
  static const Value kAdded("added");
  const size_t n = src.size();
  check_size(n);
  std::vector<size_t> index;
  std::vector<int64_t> size;
  for (size_t i = 0; i < n; ++i) {
    // Each test runs only when the ones before it passed, so other kinds and
    // statuses never have their `current` read.
    if (!py_eq(src.read(i, EntryField::Kind), kSymbol)) continue;
    if (!py_eq(src.read(i, EntryField::Status), kAdded)) continue;
    int64_t s = src.to_int(src.read(i, EntryField::Current));
    if (!src.size_at_least(s)) continue;
    index.push_back(i);
    size.push_back(s);
  }
  const size_t m = index.size();
  // Largest first: the key is the bitwise complement of the size (~s == -s - 1, which
  // orders the same as -s and cannot overflow at the 64-bit minimum).
  std::vector<int64_t> neg_size(m);
  for (size_t j = 0; j < m; ++j) neg_size[j] = ~size[j];
  std::vector<Value> names(m);
  for (size_t j = 0; j < m; ++j) names[j] = src.read(index[j], EntryField::Name);
  std::vector<uint32_t> order = stable_order(neg_size, nullptr, names, [](size_t count) { return count; });
  Value out = Value::list(m);
  for (size_t r = 0; r < m; ++r) {
    const uint32_t j = order[r];
    Value e = Value::map(3);
    e.add("name", std::move(names[j]));
    e.add("size", Value(static_cast<long long>(size[j])));
    e.add("min_size_bytes", min_size);
    out.push(std::move(e));
  }
  return out;
}

}  // namespace bv::diffreport
