// Lookup maps derived once per contract build, so per-region and per-section work
// finds a section's symbols, issues and baseline delta by name.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <string_view>

#include "analysis/plotspec/constants.hpp"
#include "analysis/plotspec/plotspec.hpp"
#include "core/value/text.hpp"

namespace bv::plotspec {

namespace {

// (x or "") for a text attribute, then strip(); a value that is neither text nor
// false has no strip() in the host either.
std::string_view stripped_text(const Value& v, const char* what) {
  if (!truthy(v)) return {};
  if (!v.is_str()) raise(ErrKind::Attribute, "'" + type_name(v) + "' object has no attribute 'strip' (" + what + ")");
  return py_strip(v.str());
}

// Sort key of a symbol within its section: largest first, then lower address
// (a null or zero address counts as 0), then name.
struct SymbolKey {
  Value k[3];
  const Symbol* sym;
};

// The same key when sizes and addresses are ints and names text, as they nearly
// always are: compared without touching the values again, but for the names, which
// only equal sizes and addresses reach. `index` (the symbol's place in the input)
// breaks ties, so an unstable sort keeps equal keys in input order.
struct FastKey {
  int64_t neg_size;
  int64_t address;
  uint32_t index;
  uint32_t entry;
};

// The fast key of a symbol; false when some part of it is not of the common kinds.
bool fast_key(const Symbol& s, FastKey& k) {
  if (!s.size.is_int() || !s.name.is_str() || s.size.as_int() == INT64_MIN) return false;
  if (s.address.is_int())
    k.address = s.address.as_int();
  else if (!truthy(s.address))
    k.address = 0;  // null and zero addresses sort as 0
  else
    return false;
  k.neg_size = -s.size.as_int();
  return true;
}

// One section's symbols sorted with the host's comparisons (any kinds of values).
void sort_slow(std::vector<const Symbol*>& list, std::vector<SymbolKey>& keys) {
  if (list.size() < 2) {
    if (list.size() == 1) (void)py_neg(list[0]->size);  // a non-number size fails even when alone
    return;
  }
  keys.clear();
  keys.reserve(list.size());
  for (const Symbol* s : list) {
    SymbolKey k;
    k.k[0] = py_neg(s->size);
    k.k[1] = truthy(s->address) ? s->address : Value(0);
    k.k[2] = s->name;
    k.sym = s;
    keys.push_back(std::move(k));
  }
  std::stable_sort(keys.begin(), keys.end(),
                   [](const SymbolKey& a, const SymbolKey& b) { return py_lt_seq(a.k, b.k, 3); });
  for (size_t i = 0; i < keys.size(); ++i) list[i] = keys[i].sym;
}

const Symbol& deref(const Symbol& s) { return s; }
const Symbol& deref(const Symbol* s) { return *s; }

template <class SymbolRange>
SymbolsBySection group_symbols(const SymbolRange& symbols) {
  if (symbols.size() >= UINT32_MAX) raise(ErrKind::Overflow, "too many symbols to index");
  SymbolsBySection out;
  TextPlaceCache seen;  // section name text -> entry position, or kSkip
  constexpr uint32_t kSkip = TextPlaceCache::kMiss - 1;
  // The sort key of every grouped symbol is read here, while its record is at hand:
  // sorting the groups later then reads these keys side by side instead of the
  // records scattered over the model.
  std::vector<FastKey> keys;
  keys.reserve(symbols.size());
  std::vector<uint32_t> count;  // per entry: its symbols
  std::vector<uint8_t> slow;    // per entry: some key is not of the common kinds
  for (size_t i = 0; i < symbols.size(); ++i) {
    const Symbol& s = deref(symbols[i]);
    uint32_t at = s.section_name.is_str() ? seen.find(s.section_name.str()) : TextPlaceCache::kMiss;
    if (at == kSkip) continue;
    if (at == TextPlaceCache::kMiss) {
      std::string_view key = stripped_text(s.section_name, "section_name");
      if (key.empty()) {
        if (s.section_name.is_str()) seen.put(s.section_name.str(), kSkip);
        continue;
      }
      at = static_cast<uint32_t>(out.position(key));
      if (at == count.size()) {
        count.push_back(0);
        slow.push_back(0);
      }
      if (s.section_name.is_str()) seen.put(s.section_name.str(), at);
    }
    FastKey k;
    if (!fast_key(s, k)) slow[at] = 1;
    k.index = static_cast<uint32_t>(i);
    k.entry = at;
    keys.push_back(k);
    ++count[at];
  }
  // Group the keys by entry, in input order within each (a counting sort).
  std::vector<size_t> begin(count.size() + 1, 0);
  for (size_t e = 0; e < count.size(); ++e) begin[e + 1] = begin[e] + count[e];
  // Left unset: every element is written below.
  const std::unique_ptr<FastKey[]> grouped(new FastKey[keys.size()]);
  {
    std::vector<size_t> next(begin.begin(), begin.end() - 1);
    for (const FastKey& k : keys) grouped[next[k.entry]++] = k;
  }
  keys.clear();
  keys.shrink_to_fit();
  std::vector<SymbolKey> slow_keys;
  auto& entries = out.entries();
  for (size_t e = 0; e < entries.size(); ++e) {
    std::vector<const Symbol*>& list = entries[e].second;
    FastKey* const first = grouped.get() + begin[e];
    FastKey* const last = grouped.get() + begin[e + 1];
    if (!slow[e])
      std::sort(first, last, [&symbols](const FastKey& x, const FastKey& y) {
        if (x.neg_size != y.neg_size) return x.neg_size < y.neg_size;
        if (x.address != y.address) return x.address < y.address;
        const std::string_view nx = deref(symbols[x.index]).name.str();
        const std::string_view ny = deref(symbols[y.index]).name.str();
        if (nx != ny) return nx < ny;
        return x.index < y.index;
      });
    list.reserve(count[e]);
    for (const FastKey* it = first; it != last; ++it) list.push_back(&deref(symbols[it->index]));
    if (slow[e]) sort_slow(list, slow_keys);
  }
  return out;
}

}  // namespace

SymbolsBySection symbols_by_section(const std::vector<Symbol>& symbols) { return group_symbols(symbols); }
SymbolsBySection symbols_by_section(const std::vector<const Symbol*>& symbols) { return group_symbols(symbols); }

namespace {

// The alphabetically first distinct names, at most MAX_RANGE_SYMBOLS of them.
Value first_distinct(std::vector<std::string_view>& names) {
  std::sort(names.begin(), names.end());
  names.erase(std::unique(names.begin(), names.end()), names.end());
  size_t n = std::min<size_t>(names.size(), static_cast<size_t>(MAX_RANGE_SYMBOLS));
  Value list = Value::list(n);
  for (size_t i = 0; i < n; ++i) list.push(Value(names[i]));
  return list;
}

}  // namespace

namespace {

[[noreturn]] void not_orderable_with_text(const Value& v) {
  raise(ErrKind::Type, "'<' not supported between instances of '" + type_name(v) + "' and 'str'");
}

const Value& owner_field(const Symbol& s, int field) {
  return field == 0 ? s.object_file : field == 1 ? s.archive : s.source_file;
}

}  // namespace

namespace {

bool same_bytes(const char* a, const char* b, size_t n) noexcept {
  // Owner texts are short: compare eight bytes a step without a call.
  for (; n >= 8; a += 8, b += 8, n -= 8) {
    uint64_t x, y;
    std::memcpy(&x, a, 8);
    std::memcpy(&y, b, 8);
    if (x != y) return false;
  }
  return n == 0 || std::memcmp(a, b, n) == 0;
}

// Distinct texts numbered in the order first seen. The table keeps its own copy of
// every text, side by side, and a slot holds a text's whole hash and where its copy
// lies: a look-up reads one slot and one compact copy, never the caller's texts,
// which lie all over its heap.
class TextIds {
 public:
  // The id of `s`: the one it was given before, else the next one, kept for next time.
  uint32_t find_or_add(std::string_view s) {
    const uint64_t h = text_hash(s, seed_);
    const size_t mask = slots_.size() - 1;
    for (size_t i = h & mask;; i = (i + 1) & mask) {
      Slot& e = slots_[i];
      if (e.id == kEmpty) {
        e = Slot{h, bytes_.size(), static_cast<uint32_t>(s.size()), count_};
        bytes_.append(s);
        if (++count_ * 2 > slots_.size()) grow();
        return count_ - 1;
      }
      if (e.hash == h && e.size == s.size() && same_bytes(bytes_.data() + e.offset, s.data(), s.size())) return e.id;
    }
  }

 private:
  static constexpr uint32_t kEmpty = UINT32_MAX;
  struct Slot {
    uint64_t hash = 0;
    uint64_t offset = 0;  // where its copy lies in bytes_
    uint32_t size = 0;    // a text is shorter than 4 GiB
    uint32_t id = kEmpty;
  };
  void grow() {
    std::vector<Slot> old(slots_.size() * 2);
    old.swap(slots_);
    const size_t mask = slots_.size() - 1;
    for (const Slot& e : old) {
      if (e.id == kEmpty) continue;
      size_t i = e.hash & mask;
      while (slots_[i].id != kEmpty) i = (i + 1) & mask;
      slots_[i] = e;
    }
  }
  std::vector<Slot> slots_ = std::vector<Slot>(64);
  std::string bytes_;
  uint32_t count_ = 0;
  uint64_t seed_ = reinterpret_cast<uintptr_t>(this) * 0x9E3779B97F4A7C15ull;
};

}  // namespace

OwnerRanks rank_owners(const std::vector<Symbol>& symbols) {
  OwnerRanks out;
  out.base = symbols.data();
  out.rank.resize(symbols.size());
  TextIds ids[3];            // text -> id
  TextPlaceCache places[3];  // the same, by where the text lies
  std::vector<std::pair<std::string_view, uint32_t>> order;
  std::vector<uint32_t> rank_of_id[3];
  // Symbols of one object often come together in a map file: remember where the
  // last text lay.
  const char* last[3] = {nullptr, nullptr, nullptr};
  uint32_t last_size[3] = {0, 0, 0};
  uint32_t last_id[3] = {0, 0, 0};
  for (size_t i = 0; i < symbols.size(); ++i) {
    const Symbol& sym = symbols[i];
    for (int f = 0; f < 3; ++f) {
      const Value& v = owner_field(sym, f);
      uint32_t& r = out.rank[i].of[f];
      if (!truthy(v)) {
        r = OwnerRanks::kAbsent;
      } else if (!v.is_str()) {
        r = OwnerRanks::kNotText;
        out.any_not_text = true;
      } else {
        const std::string_view t = v.str();
        if (t.data() != last[f] || t.size() != last_size[f]) {
          uint32_t known = places[f].find(t);
          if (known == TextPlaceCache::kMiss) {
            known = ids[f].find_or_add(t);
            if (known == out.text[f].size()) out.text[f].push_back(&v);
            places[f].put(t, known);
          }
          last[f] = t.data();
          last_size[f] = static_cast<uint32_t>(t.size());
          last_id[f] = known;
        }
        r = last_id[f];
      }
    }
  }
  for (int f = 0; f < 3; ++f) {
    std::vector<const Value*>& text = out.text[f];
    order.clear();
    order.reserve(text.size());
    for (uint32_t id = 0; id < text.size(); ++id) order.emplace_back(text[id]->str(), id);
    std::sort(order.begin(), order.end());  // texts are distinct: no ties to keep stable
    rank_of_id[f].assign(text.size(), 0);
    std::vector<const Value*> sorted(text.size());
    for (uint32_t r = 0; r < order.size(); ++r) {
      rank_of_id[f][order[r].second] = r;
      sorted[r] = text[order[r].second];
    }
    text.swap(sorted);
    out.text_value[f].reserve(text.size());
    for (const Value* v : text) out.text_value[f].push_back(*v);
  }
  for (OwnerRanks::Ranks& r : out.rank)
    for (int f = 0; f < 3; ++f)
      if (r.of[f] < OwnerRanks::kNotText) r.of[f] = rank_of_id[f][r.of[f]];
  return out;
}

Value owners_from_ranks(const OwnerRanks& ranks, std::span<const Symbol* const> symbols) {
  OwnerScratch scratch;
  return owners_from_ranks(ranks, symbols, scratch);
}

Value owners_from_ranks(const OwnerRanks& ranks, std::span<const Symbol* const> symbols, OwnerScratch& scratch) {
  static const char* const kKeys[3] = {"objects", "archives", "sources"};
  // A section's symbols lie all over the rank table: read every entry first, so the
  // loads overlap instead of waiting one after another.
  std::vector<OwnerRanks::Ranks>& got = scratch.gathered;
  got.resize(symbols.size());
  for (size_t i = 0; i < symbols.size(); ++i) got[i] = ranks.rank[static_cast<size_t>(symbols[i] - ranks.base)];
  if (ranks.any_not_text) {
    // The first offending value in symbol order is the one the error names.
    for (size_t i = 0; i < got.size(); ++i)
      for (int f = 0; f < 3; ++f)
        if (got[i].of[f] == OwnerRanks::kNotText) not_orderable_with_text(owner_field(*symbols[i], f));
  }
  constexpr size_t kMax = static_cast<size_t>(MAX_RANGE_SYMBOLS);
  std::vector<uint32_t>& found = scratch.found;
  Value out = Value::map(3);
  for (int f = 0; f < 3; ++f) {
    const std::vector<Value>& text = ranks.text_value[f];
    std::vector<uint64_t>& seen = scratch.seen[f];
    const size_t words = (text.size() + 63) / 64;
    found.clear();
    // Ranks are distinct texts in order: the first kMax set bits of a bitmap of the
    // ranks are the owners to show. Walking it costs a word per 64 texts of the
    // model, so a model with many more texts than the section has symbols sorts the
    // section's ranks instead.
    if (words <= 4 * got.size() + 16) {
      if (seen.size() < words) seen.resize(words, 0);
      for (const OwnerRanks::Ranks& r : got) {
        const uint32_t x = r.of[f];
        if (x < OwnerRanks::kNotText) seen[x >> 6] |= uint64_t{1} << (x & 63);  // not text raised above
      }
      for (size_t w = 0; w < words && found.size() < kMax; ++w) {
        for (uint64_t bits = seen[w]; bits && found.size() < kMax; bits &= bits - 1)
          found.push_back(static_cast<uint32_t>(w * 64 + static_cast<size_t>(__builtin_ctzll(bits))));
      }
      for (const OwnerRanks::Ranks& r : got) {
        const uint32_t x = r.of[f];
        if (x < OwnerRanks::kNotText) seen[x >> 6] = 0;
      }
    } else {
      for (const OwnerRanks::Ranks& r : got)
        if (r.of[f] < OwnerRanks::kNotText) found.push_back(r.of[f]);
      std::sort(found.begin(), found.end());
      found.erase(std::unique(found.begin(), found.end()), found.end());
      if (found.size() > kMax) found.resize(kMax);
    }
    Value list = Value::list(found.size());
    for (uint32_t x : found) list.push(text[x]);
    out.add(Value::static_str(kKeys[f]), std::move(list));
  }
  return out;
}

Value owners_from_symbols(std::span<const Symbol* const> symbols) {
  std::vector<std::string_view> objects, archives, sources;
  auto collect = [](std::vector<std::string_view>& names, const Value& v) {
    if (!truthy(v)) return;
    if (!v.is_str()) not_orderable_with_text(v);
    // Symbols of one object usually share the very same text object: skip repeats cheaply.
    if (!names.empty() && names.back().data() == v.str().data()) return;
    names.push_back(v.str());
  };
  for (const Symbol* s : symbols) {
    collect(objects, s->object_file);
    collect(archives, s->archive);
    collect(sources, s->source_file);
  }
  Value out = Value::map(3);
  out.add("objects", first_distinct(objects));
  out.add("archives", first_distinct(archives));
  out.add("sources", first_distinct(sources));
  return out;
}

namespace {

// Sorted distinct values with the host's ordering (TypeError for mixed kinds).
void sort_unique(std::vector<Value>& ids) {
  std::stable_sort(ids.begin(), ids.end(), [](const Value& a, const Value& b) { return py_lt(a, b); });
  std::vector<Value> out;
  out.reserve(ids.size());
  for (Value& v : ids) {
    if (!out.empty() && py_eq(out.back(), v)) continue;
    out.push_back(std::move(v));
  }
  ids.swap(out);
}

}  // namespace

IssuesByEntity issues_by_entity(const std::vector<Issue>& issues) {
  IssuesByEntity out;
  std::string text;
  for (const Issue& issue : issues) {
    if (!issue.affected_entities.is_list()) continue;
    for (const Value& entity : issue.affected_entities.items()) {
      text.clear();
      append_text_form(text, entity);
      std::string_view key = py_strip(text);
      if (key.empty()) continue;
      out[key].push_back(issue.id);
    }
  }
  for (auto& entry : out.entries()) sort_unique(entry.second);
  return out;
}

Value policy_issue_index(const std::vector<Issue>& issues) {
  std::vector<const Issue*> order;
  order.reserve(issues.size());
  for (const Issue& i : issues) order.push_back(&i);
  std::stable_sort(order.begin(), order.end(), [](const Issue* a, const Issue* b) { return py_lt(a->id, b->id); });
  Value index = Value::map(order.size());
  for (size_t i = 0; i < order.size(); ++i) {
    const Issue& issue = *order[i];
    Value summary = Value::map(7);
    summary.add("id", issue.id);
    summary.add("severity", issue.severity);
    summary.add("category", issue.category);
    summary.add("title", issue.title);
    summary.add("description", issue.description);
    Value entities = Value::list();
    if (issue.affected_entities.is_list()) {
      entities = issue.affected_entities.detached();  // a new list, same elements
      entities.mark_tuple(false);
    }
    summary.add("affected_entities", std::move(entities));
    summary.add("is_policy_violation", Value(issue.is_policy_violation));
    // Equal ids sit next to each other after the sort: the first keeps its place,
    // the last one's summary wins, as repeated assignment to one key does.
    Map& members = index.members();
    if (!members.empty() && py_eq(members.back().key, issue.id)) {
      members.back().value = std::move(summary);
    } else {
      index.add(issue.id, std::move(summary));
    }
  }
  return index;
}

BaselineDeltas section_baseline_deltas(const Value& regressions) {
  BaselineDeltas out;
  if (!regressions.is_map()) return out;
  const Value* sections = regressions.find("sections");
  if (!sections || !sections->is_map()) return out;
  std::string name;
  for (const Member& m : sections->members()) {
    if (!m.value.is_map()) continue;
    const Value* delta = m.value.find("delta_bytes");
    if (!delta || delta->is_bool() || !(delta->is_int() || delta->is_double())) continue;
    // A delta that is not a finite number cannot be a byte count: skip it like any
    // other malformed entry rather than failing the whole contract.
    if (delta->is_double() && !std::isfinite(delta->as_double())) continue;
    int64_t d = py_int(*delta);
    name.clear();
    append_text_form(name, m.key);
    out[name] = d;
  }
  return out;
}

Value merge_issue_ids(std::span<const Value* const> groups) {
  std::vector<const std::vector<Value>*> lists;
  lists.reserve(groups.size());
  for (const Value* g : groups) lists.push_back(g->is_list() ? &g->items() : nullptr);  // others add nothing
  return merge_issue_ids(std::span<const std::vector<Value>* const>(lists));
}

Value merge_issue_ids(std::span<const std::vector<Value>* const> groups) {
  size_t total = 0;
  bool all_text = true;
  for (const std::vector<Value>* g : groups) {
    if (!g) continue;
    total += g->size();
    for (const Value& v : *g) all_text = all_text && v.is_str();
  }
  if (!all_text) {
    std::set<std::string> ids;
    for (const std::vector<Value>* g : groups)
      if (g)
        for (const Value& v : *g) ids.insert(text_form(v));
    Value out = Value::list(ids.size());
    for (const std::string& s : ids) out.push(Value(s));
    return out;
  }
  // Texts are their own text form: sorted views of them give the set's order.
  std::vector<std::string_view> ids;
  ids.reserve(total);
  for (const std::vector<Value>* g : groups)
    if (g)
      for (const Value& v : *g) ids.push_back(v.str());
  std::sort(ids.begin(), ids.end());
  ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
  Value out = Value::list(ids.size());
  for (std::string_view s : ids) out.push(Value(s));
  return out;
}

Value to_value(const SymbolsBySection& idx, Value (*symbol_out)(const Symbol&)) {
  Value out = Value::map(idx.size());
  for (const auto& entry : idx.entries()) {
    Value list = Value::list(entry.second.size());
    for (const Symbol* s : entry.second) list.push(symbol_out(*s));
    out.add(Value(entry.first), std::move(list));
  }
  return out;
}

Value to_value(const IssuesByEntity& idx) {
  Value out = Value::map(idx.size());
  for (const auto& entry : idx.entries()) out.add(Value(entry.first), Value(List(entry.second)));
  return out;
}

Value to_value(const BaselineDeltas& idx) {
  Value out = Value::map(idx.size());
  for (const auto& entry : idx.entries()) out.add(Value(entry.first), Value(static_cast<long long>(entry.second)));
  return out;
}

}  // namespace bv::plotspec
