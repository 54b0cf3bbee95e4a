// The caller's build model and analysis results, as the core reads them. Every
// field is the caller's value converted once by the binding; strings view the
// caller's own text and numbers keep their Python type (int or float).
#pragma once

#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/value/value.hpp"

namespace bv::plotspec {

struct Section {
  const void* obj = nullptr;  // the caller's record (handed back where a Part returns records)
  Value name, execution_region, load_region, vma, lma, size, padding_before, padding_after;
};

struct Region {
  const void* obj = nullptr;  // the caller's record (handed back where a Part returns records)
  Value name, start_address, end_address, size;
  Value category;  // the category's `value`
};

struct Symbol {
  const void* obj = nullptr;  // the caller's record (handed back where a Part returns records)
  Value name, demangled_name, address, size, section_name, object_file, archive, source_file, compilation_unit;
};

struct Component {
  const void* obj = nullptr;  // the caller's record (handed back where a Part returns records)
  Value name;
  Value objects;  // list of the object names, as given
  Value total_flash, total_ram;
  int64_t symbols_count = 0;  // only the length of the component's symbol list is read
};

struct Issue {
  const void* obj = nullptr;  // the caller's record (handed back where a Part returns records)
  Value id, title, description;
  Value severity, category;  // the enumerations' `value`
  Value affected_entities;   // list, elements as given
  bool is_policy_violation = false;  // category == POLICY, RESERVED or OVERFLOW of its own enumeration
};

struct Usage {
  const void* obj = nullptr;  // the caller's record (handed back where a Part returns records)
  Value used_bytes, free_bytes, overflow_bytes, utilization_ratio;
};

struct Model {
  std::vector<Section> sections;
  std::vector<Symbol> symbols;
  std::vector<Region> regions;
  // The stack/heap hints map: only "stack_sections" and "heap_sections" are kept.
  // Anything that is not a mapping stays an opaque value (an error when it is read).
  Value stack_heap_hints;
};

// An insertion-ordered map from text keys to T, with hashed lookup.
template <class T>
class OrderedIndex {
 public:
  T& operator[](std::string_view key) {
    auto it = pos_.find(key);
    if (it != pos_.end()) return entries_[it->second].second;
    entries_.emplace_back(std::string(key), T{});
    // Keys are owned by entries_; re-point the hash index when the vector grows.
    if (entries_.capacity() != cap_) rebuild();
    else pos_.emplace(std::string_view(entries_.back().first), entries_.size() - 1);
    return entries_.back().second;
  }
  const T* find(std::string_view key) const {
    auto it = pos_.find(key);
    return it == pos_.end() ? nullptr : &entries_[it->second].second;
  }
  T* find(std::string_view key) {
    auto it = pos_.find(key);
    return it == pos_.end() ? nullptr : &entries_[it->second].second;
  }
  const T* find(const Value& key) const { return key.is_str() ? find(key.str()) : nullptr; }
  bool contains(std::string_view key) const { return pos_.count(key) != 0; }
  size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  std::vector<std::pair<std::string, T>>& entries() { return entries_; }
  const std::vector<std::pair<std::string, T>>& entries() const { return entries_; }
  void reserve(size_t n) {
    entries_.reserve(n);
    rebuild();
  }

 private:
  void rebuild() {
    cap_ = entries_.capacity();
    pos_.clear();
    for (size_t i = 0; i < entries_.size(); ++i) pos_.emplace(std::string_view(entries_[i].first), i);
  }
  std::vector<std::pair<std::string, T>> entries_;
  std::unordered_map<std::string_view, size_t> pos_;
  size_t cap_ = 0;
};

// Key of a section_map entry: a text name as it is; any other name by its text
// form behind a byte that never starts valid UTF-8, so it never equals a text name.
std::string section_key(const Value& name);

using SymbolsBySection = OrderedIndex<std::vector<const Symbol*>>;  // largest first
using IssuesByEntity = OrderedIndex<std::vector<Value>>;           // distinct ids, ascending
using BaselineDeltas = OrderedIndex<int64_t>;

// What a contract build reads besides the model.
struct ContractInputs {
  const Model* model = nullptr;
  // Per memory region (same order as model->regions): the caller's usage record, if any,
  // and the padding total looked up in padding_waste.by_region (default 0).
  std::vector<const Usage*> usage;
  std::vector<Value> padding_bytes;
  std::vector<Component> components;
  std::vector<Issue> issues;
  Value regressions;  // only the keys the contract reads
  Value features;     // the flags map, or anything else (then both flags are off)
};

}  // namespace bv::plotspec
