// Pieces shared by the two relationship views (Sankey flows and the ownership
// graph): name handling with the host's rules, a first-use-ordered name table and
// the entry points that read section_map only when the Sankey fallback needs it.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
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

// Names in first-use order with a per-name byte total. Names are copied once, on
// first use, into storage that never moves, so the hash index can view them.
class NameTable {
 public:
  uint32_t id(std::string_view name) {
    auto it = pos_.find(name);
    if (it != pos_.end()) return it->second;
    names_.emplace_back(name);
    bytes_.push_back(0);
    auto id = static_cast<uint32_t>(names_.size() - 1);
    pos_.emplace(std::string_view(names_.back()), id);
    return id;
  }
  const uint32_t* find(std::string_view name) const {
    auto it = pos_.find(name);
    return it == pos_.end() ? nullptr : &it->second;
  }
  void add(uint32_t id, int64_t n) { bytes_[id] = checked_add(bytes_[id], n); }
  size_t size() const { return names_.size(); }
  const std::string& name(uint32_t id) const { return names_[id]; }
  int64_t bytes(uint32_t id) const { return bytes_[id]; }

  // Ids ordered by (bytes, name) descending: larger first, equal sizes in reverse
  // code-point order of their names (names are distinct, so the order is total).
  std::vector<uint32_t> ranked_desc() const {
    std::vector<uint32_t> order(names_.size());
    for (uint32_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [this](uint32_t a, uint32_t b) {
      if (bytes_[a] != bytes_[b]) return bytes_[a] > bytes_[b];
      return names_[b] < names_[a];
    });
    return order;
  }

 private:
  std::deque<std::string> names_;
  std::vector<int64_t> bytes_;
  std::unordered_map<std::string_view, uint32_t> pos_;
};

inline uint64_t pair_key(uint32_t a, uint32_t b) { return (static_cast<uint64_t>(a) << 32) | b; }

// section_map on demand: only the Sankey view's section fallback reads it, so a
// caller whose symbols carry the flows never has its sections converted.
using SectionMapSource = std::function<const OrderedIndex<const Section*>&()>;

Value build_sankey_view_from(const Model& model, const SectionMapSource& section_map,
                             const OrderedIndex<Value>& section_to_region);
Value build_relationship_views_from(const Model& model, const SectionMapSource& section_map,
                                    const OrderedIndex<Value>& section_to_region,
                                    const std::vector<Component>& components, bool sankey_enabled,
                                    bool graph_enabled);

}  // namespace bv::plotspec::rel
