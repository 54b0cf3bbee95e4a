// The caller's build model and analysis results, as the core reads them. Every
// field is the caller's value converted once by the binding; strings view the
// caller's own text and numbers keep their Python type (int or float).
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/value/memory_hints.hpp"
#include "core/value/value.hpp"

namespace bv::plotspec {

struct Section {
  const void* obj = nullptr;  // the caller's record (handed back where an operation returns records)
  Value name, execution_region, load_region, vma, lma, size, padding_before, padding_after;
};

struct Region {
  const void* obj = nullptr;  // the caller's record (handed back where an operation returns records)
  Value name, start_address, end_address, size;
  Value category;  // the category's `value`
};

struct Symbol {
  const void* obj = nullptr;  // the caller's record (handed back where an operation returns records)
  Value name, demangled_name, address, size, section_name, object_file, archive, source_file, compilation_unit;
};

struct Component {
  const void* obj = nullptr;  // the caller's record (handed back where an operation returns records)
  Value name;
  Value objects;  // list of the object names, as given
  Value total_flash, total_ram;
  int64_t symbols_count = 0;  // only the length of the component's symbol list is read
};

struct Issue {
  const void* obj = nullptr;  // the caller's record (handed back where an operation returns records)
  Value id, title, description;
  Value severity, category;  // the enumerations' `value`
  Value affected_entities;   // list, elements as given
  bool is_policy_violation = false;  // category == POLICY, RESERVED or OVERFLOW of its own enumeration
};

struct Usage {
  const void* obj = nullptr;  // the caller's record (handed back where an operation returns records)
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

// Hash of a text for the indexes below: eight bytes a step. Each index seeds it from
// its own address, so no input can count on colliding keys.
inline uint64_t text_hash(std::string_view s, uint64_t seed) noexcept {
  auto mix = [](uint64_t h) {
    h ^= h >> 32;
    h *= 0xD6E8FEB86659FD93ull;
    h ^= h >> 32;
    return h;
  };
  uint64_t h = seed ^ (s.size() * 0x9E3779B97F4A7C15ull);
  const char* p = s.data();
  size_t n = s.size();
  for (; n >= 8; p += 8, n -= 8) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    h = mix(h ^ w) + 0x632BE59BD9B4E019ull;
  }
  uint64_t w = 0;
  if (n) std::memcpy(&w, p, n);
  return mix(h ^ w ^ (uint64_t{n} << 59));
}

// An insertion-ordered map from text keys to T. The hash index is a flat table of
// entry positions (open addressing, power-of-two size): it never points into the
// entries, so they may move as they grow.
template <class T>
class OrderedIndex {
 public:
  T& operator[](std::string_view key) { return entries_[position(key)].second; }
  // Where key's entry stands in entries(), made (holding T{}) when it is new.
  size_t position(std::string_view key) {
    const uint64_t h = text_hash(key, seed_);
    size_t slot = locate(key, h);
    if (table_[slot].pos) return table_[slot].pos - 1;
    entries_.emplace_back(std::string(key), T{});
    table_[slot] = Slot{static_cast<uint32_t>(h >> 32), static_cast<uint32_t>(entries_.size())};
    if (entries_.size() * 2 > table_.size()) grow();
    return entries_.size() - 1;
  }
  const T* find(std::string_view key) const {
    if (entries_.empty()) return nullptr;
    const Slot& s = table_[locate(key, text_hash(key, seed_))];
    return s.pos ? &entries_[s.pos - 1].second : nullptr;
  }
  T* find(std::string_view key) { return const_cast<T*>(std::as_const(*this).find(key)); }
  const T* find(const Value& key) const { return key.is_str() ? find(key.str()) : nullptr; }
  bool contains(std::string_view key) const { return find(key) != nullptr; }
  size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  std::vector<std::pair<std::string, T>>& entries() { return entries_; }
  const std::vector<std::pair<std::string, T>>& entries() const { return entries_; }
  void reserve(size_t n) {
    entries_.reserve(n);
    size_t want = 16;
    while (want < n * 2) want <<= 1;
    if (want > table_.size()) rehash(want);
  }

 private:
  struct Slot {
    uint32_t tag;  // high half of the key's hash
    uint32_t pos;  // entry position + 1; 0 for an empty slot
  };
  // The slot holding `key`, or the empty slot where it would go.
  size_t locate(std::string_view key, uint64_t h) const {
    const size_t mask = table_.size() - 1;
    const auto tag = static_cast<uint32_t>(h >> 32);
    for (size_t i = h & mask;; i = (i + 1) & mask) {
      const Slot& s = table_[i];
      if (!s.pos || (s.tag == tag && entries_[s.pos - 1].first == key)) return i;
    }
  }
  void grow() { rehash(table_.size() * 2); }
  void rehash(size_t n) {
    table_.assign(n, Slot{0, 0});
    for (size_t e = 0; e < entries_.size(); ++e) {
      const uint64_t h = text_hash(entries_[e].first, seed_);
      size_t i = h & (n - 1);
      while (table_[i].pos) i = (i + 1) & (n - 1);
      table_[i] = Slot{static_cast<uint32_t>(h >> 32), static_cast<uint32_t>(e + 1)};
    }
  }
  std::vector<std::pair<std::string, T>> entries_;
  std::vector<Slot> table_ = std::vector<Slot>(16, Slot{0, 0});
  uint64_t seed_ = reinterpret_cast<uintptr_t>(this) * 0x9E3779B97F4A7C15ull;
};

// Ids remembered by where a text's bytes lie (pointer and length), exactly: the
// records of one object or section share the caller's very text object, so after
// its first sighting a text costs a pointer hash, never a read of its bytes. The
// texts must stay where they are for the index's life (the caller's texts do for
// the whole call). Distinct places may hold equal texts: what the id names is the
// caller's business. It keeps every place it is given: for fields whose texts are
// shared (sections, objects); TextPlaceCache below suits fields where most texts
// are seen once.
class PlaceIndex {
 public:
  static constexpr uint32_t kMiss = UINT32_MAX;
  uint32_t find(std::string_view s) const noexcept {
    const size_t mask = slots_.size() - 1;
    for (size_t i = hash(s) & mask;; i = (i + 1) & mask) {
      const Slot& e = slots_[i];
      if (e.id == kMiss || (e.data == s.data() && e.size == s.size())) return e.id;
    }
  }
  // `s` must not be in the index yet.
  void put(std::string_view s, uint32_t id) {
    if ((count_ + 1) * 2 > slots_.size()) grow();
    place(Slot{s.data(), static_cast<uint32_t>(s.size()), id});
    ++count_;
  }

 private:
  struct Slot {
    const char* data = nullptr;
    uint32_t size = 0;  // texts are shorter than 4 GiB (a Value's length is 32 bits)
    uint32_t id = kMiss;
  };
  static size_t hash(std::string_view s) noexcept {
    uint64_t h = (reinterpret_cast<uintptr_t>(s.data()) ^ (uint64_t{s.size()} << 48)) * 0x9E3779B97F4A7C15ull;
    return static_cast<size_t>(h ^ (h >> 29));
  }
  void place(const Slot& e) {
    const size_t mask = slots_.size() - 1;
    size_t i = hash({e.data, e.size}) & mask;
    while (slots_[i].id != kMiss) i = (i + 1) & mask;
    slots_[i] = e;
  }
  void grow() {
    std::vector<Slot> old(slots_.size() * 2);
    old.swap(slots_);
    for (const Slot& e : old)
      if (e.id != kMiss) place(e);
  }
  std::vector<Slot> slots_ = std::vector<Slot>(64);
  size_t count_ = 0;
};

// What a look-up by text found, remembered by where the text's bytes lie: symbols of
// one section or one object share the very text object of the caller, so most
// look-ups end here without reading or hashing the text. The texts it is given
// must stay where they are for its whole life (the caller's texts are held by the
// call; nothing is freed while a contract is built). Direct-mapped and of fixed
// size, it forgets: a field with a text object per symbol (source files, say)
// costs it nothing beyond its slots, where an exact index would grow with them.
class TextPlaceCache {
 public:
  static constexpr uint32_t kMiss = UINT32_MAX;
  // `distinct`: how many different texts are expected; the cache is direct-mapped,
  // so it keeps four slots a text to keep two of them from evicting each other.
  explicit TextPlaceCache(size_t distinct = 0) {
    while (bits_ < kMaxBits && (size_t{1} << bits_) < distinct * 4) ++bits_;
    slots_.resize(size_t{1} << bits_);
  }
  uint32_t find(std::string_view s) const noexcept {
    const Slot& e = slots_[slot(s.data())];
    return e.data == s.data() && e.size == s.size() ? e.id : kMiss;
  }
  void put(std::string_view s, uint32_t id) noexcept { slots_[slot(s.data())] = Slot{s.data(), s.size(), id}; }

 private:
  static constexpr unsigned kMaxBits = 18;
  size_t slot(const char* p) const noexcept {
    return static_cast<size_t>((reinterpret_cast<uintptr_t>(p) >> 3) * 0x9E3779B97F4A7C15ull >> (64 - bits_));
  }
  struct Slot {
    const char* data = nullptr;
    size_t size = 0;
    uint32_t id = kMiss;
  };
  unsigned bits_ = 12;
  std::vector<Slot> slots_;
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
  // Whether any input holds an object only the host can print or compare. Then the
  // build runs on one thread: the host's str() and comparisons must run in the order
  // one thread makes them, each under the host's lock, in the host's own thread.
  bool needs_host = true;
  // Builds of at least this many symbols share the work between two threads (when
  // the machine has two and the host is not needed); smaller ones gain less than a
  // thread costs.
  size_t two_threads_from = 20000;
};

}  // namespace bv::plotspec
