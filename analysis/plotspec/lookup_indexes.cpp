// Lookup maps derived once per contract build, so per-region and per-section work
// finds a section's symbols, issues and baseline delta by name.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <set>
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
// always are: compared without touching the values again.
struct FastKey {
  int64_t neg_size;
  int64_t address;
  std::string_view name;
  const Symbol* sym;
};

bool fast_key_lt(const FastKey& a, const FastKey& b) {
  if (a.neg_size != b.neg_size) return a.neg_size < b.neg_size;
  if (a.address != b.address) return a.address < b.address;
  return a.name < b.name;
}

// Sorts one section's symbols; false when some key is not of the common kinds.
bool sort_fast(std::vector<const Symbol*>& list, std::vector<FastKey>& keys) {
  keys.clear();
  keys.reserve(list.size());
  for (const Symbol* s : list) {
    if (!s->size.is_int() || !s->name.is_str() || s->size.as_int() == INT64_MIN) return false;
    int64_t addr;
    if (s->address.is_int())
      addr = s->address.as_int();
    else if (!truthy(s->address))
      addr = 0;  // null and zero addresses sort as 0
    else
      return false;
    keys.push_back(FastKey{-s->size.as_int(), addr, s->name.str(), s});
  }
  std::stable_sort(keys.begin(), keys.end(), fast_key_lt);
  for (size_t i = 0; i < keys.size(); ++i) list[i] = keys[i].sym;
  return true;
}

const Symbol& deref(const Symbol& s) { return s; }
const Symbol& deref(const Symbol* s) { return *s; }

template <class SymbolRange>
SymbolsBySection group_symbols(const SymbolRange& symbols) {
  SymbolsBySection out;
  TextPlaceCache seen;  // section name text -> entry position, or kSkip
  constexpr uint32_t kSkip = TextPlaceCache::kMiss - 1;
  for (const auto& item : symbols) {
    const Symbol& s = deref(item);
    const uint32_t at = s.section_name.is_str() ? seen.find(s.section_name.str()) : TextPlaceCache::kMiss;
    if (at == kSkip) continue;
    if (at != TextPlaceCache::kMiss) {
      out.entries()[at].second.push_back(&s);
      continue;
    }
    std::string_view key = stripped_text(s.section_name, "section_name");
    if (key.empty()) {
      if (s.section_name.is_str()) seen.put(s.section_name.str(), kSkip);
      continue;
    }
    const size_t pos = out.position(key);
    out.entries()[pos].second.push_back(&s);
    if (s.section_name.is_str()) seen.put(s.section_name.str(), static_cast<uint32_t>(pos));
  }
  std::vector<SymbolKey> keys;
  std::vector<FastKey> fast_keys;
  for (auto& entry : out.entries()) {
    auto& list = entry.second;
    if (list.size() < 2) {
      if (list.size() == 1) (void)py_neg(list[0]->size);  // a non-number size fails even when alone
      continue;
    }
    if (sort_fast(list, fast_keys)) continue;
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

OwnerRanks rank_owners(const std::vector<Symbol>& symbols) {
  OwnerRanks out;
  out.base = symbols.data();
  out.rank.resize(symbols.size());
  OrderedIndex<uint32_t> ids[3];  // text -> id + 1
  TextPlaceCache places[3];       // the same, by where the text lies
  std::vector<std::pair<std::string_view, uint32_t>> order;
  std::vector<uint32_t> rank_of_id[3];
  // Symbols of one object come together in a map file: remember the last text.
  std::string_view last[3];
  uint32_t last_id[3] = {UINT32_MAX, UINT32_MAX, UINT32_MAX};
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
        if (last_id[f] == UINT32_MAX || v.str() != last[f]) {
          uint32_t known = places[f].find(v.str());
          if (known == TextPlaceCache::kMiss) {
            uint32_t& id = ids[f][v.str()];
            if (id == 0) {
              out.text[f].push_back(&v);
              id = static_cast<uint32_t>(out.text[f].size());
            }
            known = id - 1;
            places[f].put(v.str(), known);
          }
          last[f] = v.str();
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
  }
  for (OwnerRanks::Ranks& r : out.rank)
    for (int f = 0; f < 3; ++f)
      if (r.of[f] < OwnerRanks::kNotText) r.of[f] = rank_of_id[f][r.of[f]];
  return out;
}

Value owners_from_ranks(const OwnerRanks& ranks, std::span<const Symbol* const> symbols) {
  static const char* const kKeys[3] = {"objects", "archives", "sources"};
  if (ranks.any_not_text) {
    // The first offending value in symbol order is the one the error names.
    for (const Symbol* s : symbols)
      for (int f = 0; f < 3; ++f)
        if (ranks.rank[static_cast<size_t>(s - ranks.base)].of[f] == OwnerRanks::kNotText)
          not_orderable_with_text(owner_field(*s, f));
  }
  std::vector<uint32_t> found[3];
  for (const Symbol* s : symbols) {
    const OwnerRanks::Ranks& r = ranks.rank[static_cast<size_t>(s - ranks.base)];
    for (int f = 0; f < 3; ++f) {
      uint32_t x = r.of[f];
      if (x == OwnerRanks::kAbsent || (!found[f].empty() && found[f].back() == x)) continue;
      found[f].push_back(x);
    }
  }
  Value out = Value::map(3);
  for (int f = 0; f < 3; ++f) {
    std::vector<uint32_t>& ids = found[f];
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    size_t n = std::min<size_t>(ids.size(), static_cast<size_t>(MAX_RANGE_SYMBOLS));
    Value list = Value::list(n);
    for (size_t i = 0; i < n; ++i) list.push(*ranks.text[f][ids[i]]);
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
  std::set<std::string> ids;
  for (const Value* g : groups) {
    if (!g->is_list()) continue;
    for (const Value& v : g->items()) ids.insert(text_form(v));
  }
  Value out = Value::list(ids.size());
  for (const std::string& s : ids) out.push(Value(s));
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
