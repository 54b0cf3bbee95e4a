// Pieces shared by the two relationship views (Sankey flows and the ownership
// graph): name handling with the host's rules, a first-use-ordered name table and
// the entry points that read section_map only when the Sankey fallback needs it.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "analysis/plotspec/plotspec.hpp"
#include "core/value/text.hpp"

namespace bv::plotspec::rel {

inline constexpr std::string_view kUnassignedRegion = "UNASSIGNED_REGION";

// (v or "").strip(): false values read as "", text is stripped, and anything else
// fails as the host's str method lookup would.
inline std::string_view stripped_or_empty(const Value& v, const char* what) {
  if (!truthy(v)) return {};
  if (!v.is_str())
    raise(ErrKind::Attribute, "'" + type_name(v) + "' object has no attribute 'strip' (" + std::string(what) + ")");
  return py_strip(v.str());
}

// py_int(v) without a call for the common exact int.
inline int64_t int_of(const Value& v) { return v.is_int() ? v.as_int() : py_int(v); }

// truthy(v) without a call for the common text and None.
inline bool truthy_fast(const Value& v) noexcept {
  if (v.is_str()) return !v.str().empty();
  return v.kind() != Kind::Null && truthy(v);
}

// total = checked_add(total, n), without a call unless it overflows.
inline void add_checked(int64_t& total, int64_t n) {
  int64_t sum;
  if (__builtin_add_overflow(total, n, &sum)) checked_add(total, n);  // raises
  total = sum;
}

// (a or b or ... or fallback).strip(): the first true value wins, then is stripped
// (so a blank first choice ends as "", not as the fallback).
inline std::string_view first_true_stripped(std::initializer_list<const Value*> choices, std::string_view fallback,
                                            const char* what) {
  for (const Value* v : choices)
    if (truthy(*v)) return stripped_or_empty(*v, what);
  return py_strip(fallback);
}

// The execution region of a (stripped) section name, stripped, or UNASSIGNED_REGION.
inline std::string_view region_of_section(const OrderedIndex<Value>& section_to_region, std::string_view section) {
  const Value* region = section_to_region.find(section);
  std::string_view name = region ? stripped_or_empty(*region, "region name") : std::string_view();
  return name.empty() ? kUnassignedRegion : name;
}

// Names in first-use order with a per-name byte total. The table views the names
// it is given: each must outlive the table (the caller's texts, literals, or text
// the builder keeps for the whole build).
class NameTable {
 public:
  uint32_t id(std::string_view name) {
    const uint64_t h = text_hash(name, seed_);
    size_t slot = locate(name, h);
    if (index_[slot].pos) return index_[slot].pos - 1;
    names_.push_back(name);
    bytes_.push_back(0);
    index_[slot] = Slot{static_cast<uint32_t>(h >> 32), static_cast<uint32_t>(names_.size())};
    if (names_.size() * 2 > index_.size()) rehash(index_.size() * 2);
    return static_cast<uint32_t>(names_.size() - 1);
  }
  static constexpr uint32_t kAbsent = UINT32_MAX;
  uint32_t find(std::string_view name) const { return index_[locate(name, text_hash(name, seed_))].pos - 1; }
  void add(uint32_t id, int64_t n) { add_checked(bytes_[id], n); }
  size_t size() const { return names_.size(); }
  std::string_view name(uint32_t id) const { return names_[id]; }
  int64_t bytes(uint32_t id) const { return bytes_[id]; }

  // (bytes, name) descending: larger first, equal sizes in reverse code-point order
  // of their names. Names are distinct, so the order is total.
  bool before_desc(uint32_t a, uint32_t b) const {
    if (bytes_[a] != bytes_[b]) return bytes_[a] > bytes_[b];
    return names_[b] < names_[a];
  }
  // The first `limit` ids of that order (all of them when there are fewer).
  std::vector<uint32_t> top_desc(size_t limit) const {
    std::vector<uint32_t> order(names_.size());
    for (uint32_t i = 0; i < order.size(); ++i) order[i] = i;
    auto cmp = [this](uint32_t a, uint32_t b) { return before_desc(a, b); };
    if (order.size() > limit) {
      std::nth_element(order.begin(), order.begin() + static_cast<ptrdiff_t>(limit), order.end(), cmp);
      order.resize(limit);
    }
    std::sort(order.begin(), order.end(), cmp);
    return order;
  }

 private:
  struct Slot {
    uint32_t tag;  // high half of the name's hash
    uint32_t pos;  // id + 1; 0 for an empty slot
  };
  size_t locate(std::string_view name, uint64_t h) const {
    const size_t mask = index_.size() - 1;
    const auto tag = static_cast<uint32_t>(h >> 32);
    for (size_t i = h & mask;; i = (i + 1) & mask) {
      const Slot& s = index_[i];
      if (!s.pos || (s.tag == tag && names_[s.pos - 1] == name)) return i;
    }
  }
  void rehash(size_t n) {
    index_.assign(n, Slot{0, 0});
    for (size_t e = 0; e < names_.size(); ++e) {
      const uint64_t h = text_hash(names_[e], seed_);
      size_t i = h & (n - 1);
      while (index_[i].pos) i = (i + 1) & (n - 1);
      index_[i] = Slot{static_cast<uint32_t>(h >> 32), static_cast<uint32_t>(e + 1)};
    }
  }
  std::vector<std::string_view> names_;
  std::vector<int64_t> bytes_;
  std::vector<Slot> index_ = std::vector<Slot>(16, Slot{0, 0});
  uint64_t seed_ = reinterpret_cast<uintptr_t>(this) * 0x9E3779B97F4A7C15ull;
};

// prefix + name, made at its final size.
inline std::string prefixed(std::string_view prefix, std::string_view name) {
  std::string id;
  id.reserve(prefix.size() + name.size());
  id.append(prefix).append(name);
  return id;
}

inline uint64_t pair_key(uint32_t a, uint32_t b) { return (static_cast<uint64_t>(a) << 32) | b; }

// section_map on demand: only the Sankey view's section fallback reads it, so a
// caller whose symbols carry the flows never has its sections converted.
using SectionMapSource = std::function<const OrderedIndex<const Section*>&()>;

// A symbol pass run inside another view's own, so that a build of both views reads
// its symbols once.
struct SymbolSink {
  void* state = nullptr;
  // Each symbol with bytes (py_int(size) > 0), in model order.
  void (*take)(void* state, size_t index, int64_t size) noexcept = nullptr;
};

// `also`, when given, is handed every symbol with bytes as the view reads it (only
// after the view's own reading of that symbol succeeded).
Value build_sankey_view_from(const Model& model, const SectionMapSource& section_map,
                             const OrderedIndex<Value>& section_to_region, const SymbolSink* also = nullptr);

// The relationship graph around a symbol pass that another view drives through
// sink(). A failure of the pass is held back: finish() raises what the graph built
// on its own would raise, at the point where it would.
class GraphBuild {
 public:
  GraphBuild(const Model& model, const OrderedIndex<Value>& section_to_region,
             const std::vector<Component>& components);
  ~GraphBuild();
  GraphBuild(const GraphBuild&) = delete;
  GraphBuild& operator=(const GraphBuild&) = delete;
  SymbolSink sink();
  Value finish();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

Value build_relationship_views_from(const Model& model, const SectionMapSource& section_map,
                                    const OrderedIndex<Value>& section_to_region,
                                    const std::vector<Component>& components, bool sankey_enabled,
                                    bool graph_enabled);

}  // namespace bv::plotspec::rel
