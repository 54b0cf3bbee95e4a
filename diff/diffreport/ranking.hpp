// Ranked regressions, reductions and newly added large symbols of a build diff.
//
// Each attribute is read only when the ranking first needs it: deltas of every
// entry, kinds and names of the kept entries, the remaining fields only of the
// entries that reach the output. Regressions and reductions are read by the caller
// into typed keys in that order and ordered by the functions below; the added
// symbols are read through an EntrySource (plain C++ callers use DiffEntryList).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

#include "core/value/value.hpp"

namespace bv::diffreport {

enum class EntryField : uint8_t { Kind, Name, Delta, DeltaPct, Status, Current };

class EntrySource {
 public:
  virtual ~EntrySource() = default;
  virtual size_t size() const = 0;
  // The field of entry i as stored (the caller's value, passed through unchanged).
  virtual Value read(size_t i, EntryField f) = 0;
  // float(v) and int(v) with the host's rules for a value read from an entry.
  virtual double to_float(const Value& v) { return py_float(v); }
  virtual int64_t to_int(const Value& v) { return py_int(v); }
  // How many of n ranked entries the limit keeps (slice semantics of lst[:limit]).
  virtual size_t slice_end(size_t n) = 0;
  // size >= the min_size_bytes threshold of added_large_symbols.
  virtual bool size_at_least(int64_t size) = 0;
};

// Entries held as values, for callers of the core itself.
struct DiffEntry {
  Value kind, name, delta, delta_pct, status, current;
};

class DiffEntryList : public EntrySource {
 public:
  // limit: nullopt keeps all (a null limit); min_size: the added-symbol threshold.
  DiffEntryList(const std::vector<DiffEntry>& entries, std::optional<int64_t> limit, Value min_size = Value(1024))
      : entries_(entries), limit_(limit), min_size_(std::move(min_size)) {}
  size_t size() const override { return entries_.size(); }
  Value read(size_t i, EntryField f) override;
  size_t slice_end(size_t n) override;
  bool size_at_least(int64_t size) override;

 private:
  const std::vector<DiffEntry>& entries_;
  std::optional<int64_t> limit_;
  Value min_size_;
};

// Number of items lst[:limit] keeps of a list of n (negative limits count from the end).
size_t slice_count(size_t n, int64_t limit) noexcept;

// int_value >= threshold as Python compares an int with a number; TypeError for
// thresholds that are not numbers.
bool int_at_least(int64_t int_value, const Value& threshold);

// The ranking's own steps, for a reader that takes the entries' fields as typed
// values (the host binding's common case) rather than through an EntrySource.
//
// Whether a float delta is kept, and its ascending sort key: -delta for growth
// (largest first), delta for shrinkage (most negative first). NaN is never kept.
inline bool kept_delta(double d, bool growth) noexcept { return growth ? d > 0 : d < 0; }
inline double delta_key(double d, bool growth) noexcept { return growth ? -d : d; }

// Sort key of a kept entry whose kind and name are texts.
struct TextRankKey {
  double key;
  uint64_t kind_prefix, name_prefix;  // first eight bytes, big-endian: most comparisons end there
  std::string_view kind, name;
  uint32_t pos;  // position among the kept entries: the stable sort's last tie-break
};
TextRankKey text_rank_key(double key, std::string_view kind, std::string_view name, uint32_t pos) noexcept;
// The positions whose key can reach the first `end` places of the ranking: those not
// greater than the end-th smallest key (ascending positions). Only they need their
// kind and name compared.
std::vector<uint32_t> rank_candidates(const std::vector<double>& keys, size_t end);
// Positions of the first `end` keys in the stable ascending order of (key, kind, name);
// only those are sorted. Reorders `keys`.
std::vector<uint32_t> text_rank_order(std::vector<TextRankKey>& keys, size_t end);
// The same order for kinds and names of any type, compared as Python compares tuples
// (its TypeError for values it cannot order); `take(m)` is read after the sort, as
// slicing the sorted list reads the limit.
std::vector<uint32_t> value_rank_order(const std::vector<double>& keys, const std::vector<Value>& kinds,
                                       const std::vector<Value>& names, const std::function<size_t(size_t)>& take);

// Maps {"name", "size", "min_size_bytes"} of "symbol" entries with status "added" and
// int(current) >= the threshold, largest first, ties by name. `min_size` is passed
// through as the caller gave it.
Value added_large_symbols(EntrySource& entries, const Value& min_size);

}  // namespace bv::diffreport
