// Ranked regressions, reductions and newly added large symbols of a build diff.
//
// The entries are read through an EntrySource so that each attribute is read only
// when the ranking first needs it: deltas of every entry, kinds and names of the
// kept entries, the remaining fields only of the entries that reach the output.
// The host binding reads attributes of the caller's objects that way; plain C++
// callers use DiffEntryList.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
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

// Lists of maps {"kind", "name", "delta", "delta_pct", "status"}: entries whose float
// delta is > 0 (largest first) or < 0 (most negative first), ties by kind, then name.
Value rank_top_regressions(EntrySource& entries);
Value rank_top_reductions(EntrySource& entries);
// Maps {"name", "size", "min_size_bytes"} of "symbol" entries with status "added" and
// int(current) >= the threshold, largest first, ties by name. `min_size` is passed
// through as the caller gave it.
Value added_large_symbols(EntrySource& entries, const Value& min_size);

}  // namespace bv::diffreport
