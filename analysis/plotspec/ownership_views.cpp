// Ownership views: who owns the bytes of the image. Every symbol is attributed to
// an object file and every object file to a component; the results are four
// bounded views (components, objects, symbols and a component/object/symbol treemap).
//
// The symbol pass works on compact per-symbol records and indexes; maps are only
// built for the rows that survive the limits, so a model with hundreds of thousands
// of symbols costs a few linear passes and sorts.
#include <algorithm>
#include <cstdint>
#include <iterator>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "analysis/plotspec/constants.hpp"
#include "analysis/plotspec/plotspec.hpp"
#include "analysis/plotspec/work_share.hpp"
#include "core/value/text.hpp"

namespace bv::plotspec {

namespace {

constexpr std::string_view kUnassigned = "Unassigned";
constexpr std::string_view kUnknownObject = "unknown_object";

enum Category : uint8_t { kFlash = 0, kRam = 1, kOther = 2 };

const char* category_text(Category c) {
  switch (c) {
    case kFlash:
      return "flash";
    case kRam:
      return "ram";
    default:
      return "other";
  }
}

[[noreturn]] void no_attribute(const Value& v, const char* attr) {
  raise(ErrKind::Attribute, "'" + type_name(v) + "' object has no attribute '" + attr + "'");
}

Category category_of(const Section* section) {
  if (!section) return kOther;
  if (!section->name.is_str()) no_attribute(section->name, "lower");
  std::string name = py_lower_for_match(section->name.str());
  const Value& region = section->execution_region;
  if (truthy(region)) {
    if (!region.is_str())
      raise(ErrKind::Type, "expected string or bytes-like object, got '" + type_name(region) + "'");
    std::string_view r = region.str();
    if (icase_contains(r, "flash") || icase_contains(r, "rom")) return kFlash;
    for (std::string_view pat : {"ram", "sram", "dtcm", "itcm", "tcm"})
      if (icase_contains(r, pat)) return kRam;
  }
  if (name.find("text") != std::string::npos || name.find("rodata") != std::string::npos) return kFlash;
  for (std::string_view tok : {"data", "bss", "heap", "stack", "noinit"})
    if (name.find(tok) != std::string::npos) return kRam;
  return kOther;
}

// Byte arithmetic in two flavours. Sizes are integers in practice: then every sum,
// comparison and sort runs on plain 64-bit integers (OverflowError rather than
// wrapping). A float or bool size anywhere switches the whole call to the host's
// number semantics on values.
struct IntBytes {
  using T = int64_t;
  static T zero() { return 0; }
  static T of(const Value& v) { return v.as_int(); }
  static void add(T& acc, const T& x) {
    T sum;
    if (__builtin_add_overflow(acc, x, &sum)) [[unlikely]]
      (void)checked_add(acc, x);  // raises the OverflowError
    acc = sum;
  }
  static bool lt(const T& a, const T& b) { return a < b; }
  static bool eq(const T& a, const T& b) { return a == b; }
  static int64_t to_int(const T& v) { return v; }
  static Value out(const T& v) { return Value(static_cast<long long>(v)); }
};

struct AnyBytes {
  using T = Value;
  static T zero() { return Value(0); }
  static T of(const Value& v) { return v; }
  static void add(T& acc, const T& x) {
    if (acc.is_int() && x.is_int())
      acc = Value(static_cast<long long>(checked_add(acc.as_int(), x.as_int())));
    else
      acc = py_add(acc, x);
  }
  // Sizes that reach the sorts are finite numbers (a NaN or infinite size fails the
  // integer conversion of its object's totals first), so this is a strict weak order.
  static bool lt(const T& a, const T& b) { return py_lt(a, b); }
  static bool eq(const T& a, const T& b) { return py_eq(a, b); }
  static int64_t to_int(const T& v) { return py_int(v); }
  static Value out(const T& v) { return v; }
};

// (number, text) pairs compared as the host compares tuples.
template <class B>
bool pair_lt(const typename B::T& a, std::string_view an, const typename B::T& b, std::string_view bn) {
  if (!B::eq(a, b)) return B::lt(a, b);
  return an < bn;  // UTF-8 byte order is code-point order
}

// (x or "").strip() for a text attribute: a value that is neither false nor text has
// no strip() in the host either.
std::string_view stripped(const Value& v) {
  if (!truthy(v)) return {};
  if (!v.is_str()) no_attribute(v, "strip");
  return py_strip(v.str());
}

// A stripped text as a value: the caller's own object when stripping changed nothing.
Value text_value(const Value& original, std::string_view s) {
  if (original.is_str() && original.str().size() == s.size()) return original;
  return Value(s);
}

// What the symbol pass keeps of each symbol with a positive size: compact, so the
// later passes and sorts stay in cache.
struct SymbolRecord {
  const Symbol* sym;
  std::string_view section;  // stripped section name
  const Value* region;       // section_to_region entry, or null
  const Value* row_name;     // demangled name when true, else name
  std::string_view text;     // that name, when it is text (sorts stay off the symbol records)
  uint64_t prefix;           // order_prefix(text): read here, in symbol order, where the texts lie together
  int64_t int_size;          // the size, while every size is an int (the sums and sorts read only this)
  uint32_t object;           // index into the object table
  uint32_t component;        // index into the component table
  uint32_t object_name;      // index of the unstripped object file, else archive, else "unknown_object"
  bool name_is_text;
  Category category;
};

struct ObjectEntry {
  std::string key;
  uint32_t component;  // index into the component table
  uint32_t rows = 0;   // its symbol records
};

struct ComponentEntry {
  std::string_view name;
  std::vector<uint32_t> objects;  // in first-use order
};

struct Pass {
  std::vector<SymbolRecord> records;
  std::vector<ObjectEntry> objects;
  std::vector<ComponentEntry> components;
  size_t object_names = 0;  // distinct values of SymbolRecord::object_name
  bool int_sizes = true;
};

const Value& row_name(const SymbolRecord& r) { return *r.row_name; }
Value section_value(const SymbolRecord& r) {
  return r.section.empty() ? Value() : text_value(r.sym->section_name, r.section);
}
Value region_value(const SymbolRecord& r) { return (r.region && truthy(*r.region)) ? *r.region : Value(); }

const Value kLeafKeys[] = {"name", "value", "section_name", "region_name", "source_file"};

Value symbol_row(const SymbolRecord& r, std::string_view component) {
  Value row = Value::map(8);
  row.add("name", row_name(r));
  row.add("size_bytes", r.sym->size);
  row.add("section_name", section_value(r));
  row.add("object_file", r.sym->object_file);
  row.add("archive", r.sym->archive);
  row.add("source_file", r.sym->source_file);
  row.add("region_name", region_value(r));
  row.add("component_name", Value(component));
  return row;
}

// Ownership of objects, then one pass over the symbols.
Pass symbol_pass(const std::vector<Symbol>& symbols, const OrderedIndex<const Section*>& section_map,
                 const OrderedIndex<Value>& section_to_region, const std::vector<Component>& components,
                 const OwnerRanks* ranks) {
  // The first component that lists an object owns it.
  OrderedIndex<std::string_view> object_owner;
  {
    std::string text;
    for (const Component& comp : components) {
      if (!comp.name.is_str()) no_attribute(comp.name, "strip");
      std::string_view name = py_strip(comp.name.str());
      if (name.empty()) name = kUnassigned;
      if (!comp.objects.is_list()) raise(ErrKind::Type, "'" + type_name(comp.objects) + "' object is not iterable");
      for (const Value& entry : comp.objects.items()) {
        text.clear();
        append_text_form(text, entry);
        std::string_view key = py_strip(text);
        if (key.empty() || object_owner.contains(key)) continue;
        object_owner[key] = name;
      }
    }
  }

  Pass p;
  p.records.reserve(symbols.size());
  advise_huge_pages(p.records.data(), symbols.size() * sizeof(SymbolRecord));
  OrderedIndex<uint32_t> object_index;
  OrderedIndex<uint32_t> component_index;
  OrderedIndex<uint32_t> name_index;
  std::unordered_map<const Section*, Category> category_cache;
  struct SectionSeen {
    std::string_view section;  // stripped
    const Value* region;
    Category category;
  };
  PlaceIndex section_places;
  std::vector<SectionSeen> section_seen;
  const Value zero(0);
  // Symbols of one object and one section tend to come together: remember the last
  // look-ups (the views point into the caller's texts, which outlive the call).
  std::string_view last_key, last_raw, last_section, last_name;
  uint32_t last_obj = UINT32_MAX, last_name_id = UINT32_MAX;
  const Value* last_region = nullptr;
  Category last_category = kOther;
  bool have_section = false;
  // With the model's owner ranks, a symbol's object file leads to its object and its
  // name id through two arrays: each distinct text is looked up by hash only once.
  constexpr uint32_t kUnset = UINT32_MAX;
  if (ranks && ranks->base != symbols.data()) ranks = nullptr;
  std::vector<uint32_t> obj_of_rank(ranks ? ranks->text[0].size() : 0, kUnset);
  std::vector<uint32_t> name_of_rank(obj_of_rank.size(), kUnset);
  for (const Symbol& s : symbols) {
    const Value& size = s.size;
    if (!size.is_number())
      raise(ErrKind::Type, "'<=' not supported between instances of '" + type_name(size) + "' and 'int'");
    // `size <= 0` skips the symbol; a NaN size is not <= 0 and goes on (its object's
    // totals then fail the integer conversion, as they would in the host).
    bool non_positive = size.is_int() ? size.as_int() <= 0 : (py_lt(size, zero) || py_eq(size, zero));
    if (non_positive) continue;
    if (!size.is_int()) p.int_sizes = false;

    // A ranked object file is true and text: then it is the owner, and its record's
    // owner fields need not be read at all.
    const Value* chosen = nullptr;
    uint32_t rank = kUnset;
    if (ranks) {
      const uint32_t r = ranks->rank[static_cast<size_t>(&s - symbols.data())].of[0];
      if (r < OwnerRanks::kNotText) {
        rank = r;
        chosen = &s.object_file;
      }
    }
    if (!chosen) {
      for (const Value* v : {&s.object_file, &s.archive, &s.compilation_unit, &s.source_file}) {
        if (truthy(*v)) {
          chosen = v;
          break;
        }
      }
    }

    // An object file met before under its rank needs no look-up, nor its text read.
    uint32_t obj;
    if (rank != kUnset && obj_of_rank[rank] != kUnset) {
      obj = obj_of_rank[rank];
    } else {
      std::string_view key = chosen ? stripped(*chosen) : kUnknownObject;
      if (last_obj != UINT32_MAX && key == last_key) {
        obj = last_obj;
      } else if (const uint32_t* found = object_index.find(key)) {
        obj = *found;
      } else {
        obj = static_cast<uint32_t>(p.objects.size());
        object_index[key] = obj;
        const std::string_view* owner = object_owner.find(key);
        std::string_view component = owner ? *owner : kUnassigned;
        uint32_t c;
        if (const uint32_t* cf = component_index.find(component)) {
          c = *cf;
        } else {
          c = static_cast<uint32_t>(p.components.size());
          component_index[component] = c;
          p.components.push_back(ComponentEntry{component, {}});
        }
        p.components[c].objects.push_back(obj);
        p.objects.push_back(ObjectEntry{std::string(key), c, {}});
      }
      if (rank != kUnset) obj_of_rank[rank] = obj;
      // Any later key equal to this one names the same object, however recent.
      last_key = key;
      last_obj = obj;
    }

    SymbolRecord r;
    r.sym = &s;
    r.int_size = size.is_int() ? size.as_int() : 0;
    // A section's symbols share its name's very text: known by where that lies, the
    // section needs neither stripping nor a look-up again.
    const Value& section_name = s.section_name;
    const std::string_view raw = section_name.is_str() ? section_name.str() : std::string_view();
    if (section_name.is_str() && have_section && raw.data() == last_raw.data() && raw.size() == last_raw.size()) {
      r.section = last_section;
      r.region = last_region;
      r.category = last_category;
    } else {
      const uint32_t seen = section_name.is_str() ? section_places.find(raw) : PlaceIndex::kMiss;
      if (seen != PlaceIndex::kMiss) {
        r.section = section_seen[seen].section;
        r.region = section_seen[seen].region;
        r.category = section_seen[seen].category;
      } else {
        r.section = stripped(section_name);
        r.region = section_to_region.find(r.section);
        const Section* const* placed = section_map.find(r.section);
        const Section* sec = placed ? *placed : nullptr;
        auto cached = category_cache.find(sec);
        if (cached != category_cache.end()) {
          r.category = cached->second;
        } else {
          r.category = category_of(sec);
          category_cache.emplace(sec, r.category);
        }
        if (section_name.is_str()) {
          section_places.put(raw, static_cast<uint32_t>(section_seen.size()));
          section_seen.push_back(SectionSeen{r.section, r.region, r.category});
        }
      }
      have_section = section_name.is_str();
      last_raw = raw;
      last_section = r.section;
      last_region = r.region;
      last_category = r.category;
    }
    if (rank != kUnset && name_of_rank[rank] != kUnset) {
      r.object_name = name_of_rank[rank];
    } else {
      // Whichever of the object file and archive is true is text (the object key would
      // have failed otherwise).
      const std::string_view name =
          truthy(s.object_file) ? s.object_file.str() : truthy(s.archive) ? s.archive.str() : kUnknownObject;
      if (last_name_id == UINT32_MAX || name != last_name) {
        uint32_t& id = name_index[name];
        if (id == 0) id = static_cast<uint32_t>(name_index.size());  // ids start at 1 here
        last_name = name;
        last_name_id = id - 1;
      }
      r.object_name = last_name_id;
      if (rank != kUnset) name_of_rank[rank] = last_name_id;
    }
    r.row_name = truthy(s.demangled_name) ? &s.demangled_name : &s.name;
    r.name_is_text = r.row_name->is_str();
    if (r.name_is_text) {
      r.text = r.row_name->str();
      r.prefix = order_prefix(r.text);
    }
    r.object = obj;
    r.component = p.objects[obj].component;
    ++p.objects[obj].rows;
    p.records.push_back(r);
  }
  p.object_names = name_index.size();
  return p;
}

// Component rows: declared ones from the component records, derived ones from the
// symbol pass.
template <class B>
struct ComponentRow {
  Value name;
  typename B::T flash, ram;
  int64_t objects = 0, symbols = 0;
};

// One leaf candidate of the treemap: plain fields, so the array of them is made
// without being cleared first.
template <class T>
struct Leaf {
  T size;
  uint64_t prefix;  // of name
  const char* name;
  uint32_t length;  // of name
  uint32_t record;
  bool text;  // name and prefix are filled in; else they are made when the object is visited
  std::string_view name_text() const { return {name, length}; }
};

// Totals, rows, treemap and the bounded views, in the byte arithmetic B.
template <class B>
Value finish(const Pass& p, const std::vector<Component>& components, WorkShare* share) {
  using T = typename B::T;
  constexpr bool kInt = std::is_same_v<T, int64_t>;
  const std::vector<SymbolRecord>& records = p.records;
  const std::vector<ObjectEntry>& objects = p.objects;
  const std::vector<ComponentEntry>& groups = p.components;
  std::vector<T> any_size;
  if constexpr (!kInt) {
    any_size.reserve(records.size());
    for (const SymbolRecord& r : records) any_size.push_back(B::of(r.sym->size));
  }
  auto size = [&](uint32_t i) -> const T& {
    if constexpr (kInt)
      return records[i].int_size;
    else
      return any_size[i];
  };

  // One pass over the records, in symbol order, for everything that counts them: the
  // object totals (integer sums in symbol order; every size is positive, so they
  // overflow in any order or in none), the derived components' totals and counts. With
  // integer sizes the largest rows for the symbol view are kept there too, in a
  // bounded heap: a later row only enters with a strictly larger size, so of equal
  // sizes the earlier rows stay, as the stable order keeps them.
  const size_t limit = static_cast<size_t>(MAX_OWNERSHIP_ROWS);
  const size_t keep = std::min(limit, records.size());
  std::vector<std::pair<int64_t, uint32_t>> heap;  // (-size, record), the least wanted on top
  heap.reserve(kInt ? keep : 0);
  struct Sums {
    int64_t total, cat[3];
  };
  std::vector<Sums> object_totals(kInt ? objects.size() : 0, Sums{0, {0, 0, 0}});
  std::vector<int64_t> int_totals(kInt ? groups.size() : 0, 0);
  bool totals_overflow = false;  // raised where the component rows are made, after their own errors
  std::vector<int64_t> symbols_of(groups.size(), 0), names_of(groups.size(), 0);
  // Where each object's rows begin when they are laid side by side.
  std::vector<size_t> start(objects.size() + 1, 0);
  for (size_t o = 0; o < objects.size(); ++o) start[o + 1] = start[o] + objects[o].rows;
  // Float sums are taken object by object, over its rows in symbol order.
  std::vector<uint32_t> rows_of;
  if constexpr (!kInt) {
    rows_of.resize(records.size());
    std::vector<size_t> at(start.begin(), start.end() - 1);
    for (uint32_t i = 0; i < records.size(); ++i) rows_of[at[records[i].object]++] = i;
  }
  auto object_rows_of = [&](size_t o) { return std::span(rows_of.data() + start[o], objects[o].rows); };
  {
    // Distinct object names per component: the first component that shows a name is
    // kept per name; a name seen under further components (possible for the
    // "unknown_object" fallback) is tracked by pair.
    constexpr uint32_t kNone = UINT32_MAX;
    std::vector<uint32_t> first_owner(p.object_names, kNone);
    std::unordered_set<uint64_t> other_owners;
    for (uint32_t i = 0; i < records.size(); ++i) {
      const SymbolRecord& r = records[i];
      if constexpr (kInt) {
        Sums& o = object_totals[r.object];
        B::add(o.total, size(i));
        B::add(o.cat[r.category], size(i));
        int64_t& t = int_totals[r.component];
        totals_overflow |= __builtin_add_overflow(t, size(i), &t);
        if (heap.size() < keep) {
          heap.emplace_back(-size(i), i);
          std::push_heap(heap.begin(), heap.end());
        } else if (keep && -size(i) < heap.front().first) {
          std::pop_heap(heap.begin(), heap.end());
          heap.back() = {-size(i), i};
          std::push_heap(heap.begin(), heap.end());
        }
      }
      symbols_of[r.component] += 1;
      uint32_t& owner = first_owner[r.object_name];
      if (owner == kNone) {
        owner = r.component;
        names_of[r.component] += 1;
      } else if (owner != r.component &&
                 other_owners.insert((static_cast<uint64_t>(r.component) << 32) | r.object_name).second) {
        names_of[r.component] += 1;
      }
    }
  }

  // Object rows, largest first.
  struct ObjectRow {
    uint32_t object;
    int64_t total, by_category[3];
  };
  std::vector<ObjectRow> object_rows;
  std::vector<T> object_sums;
  object_rows.reserve(objects.size());
  object_sums.reserve(objects.size());
  if constexpr (kInt) {
    for (uint32_t i = 0; i < objects.size(); ++i) {
      const Sums& t = object_totals[i];
      object_rows.push_back(ObjectRow{i, t.total, {t.cat[0], t.cat[1], t.cat[2]}});
      object_sums.push_back(t.total);
    }
  } else {
    for (uint32_t i = 0; i < objects.size(); ++i) {
      T total = B::zero(), cat[3] = {B::zero(), B::zero(), B::zero()};
      for (uint32_t r : object_rows_of(i)) {
        B::add(total, size(r));
        B::add(cat[records[r].category], size(r));
      }
      object_rows.push_back(
          ObjectRow{i, B::to_int(total), {B::to_int(cat[0]), B::to_int(cat[1]), B::to_int(cat[2])}});
      object_sums.push_back(std::move(total));
    }
  }
  std::stable_sort(object_rows.begin(), object_rows.end(),
                   [](const ObjectRow& a, const ObjectRow& b) { return b.total < a.total; });

  // Symbols by size, largest first; equal sizes keep symbol order.
  std::vector<uint32_t> by_size;
  if constexpr (kInt) {
    std::sort_heap(heap.begin(), heap.end());
    by_size.reserve(keep);
    for (const auto& [neg, i] : heap) by_size.push_back(i);
  } else {
    by_size.resize(records.size());
    for (uint32_t i = 0; i < by_size.size(); ++i) by_size[i] = i;
    std::stable_sort(by_size.begin(), by_size.end(), [&](uint32_t a, uint32_t b) { return B::lt(size(b), size(a)); });
  }

  // Component rows.
  std::vector<ComponentRow<B>> comp_rows;
  comp_rows.reserve(components.size() + groups.size());
  {
    // Convert first: a total without an integer fails here, before a sort sees a NaN.
    std::vector<ComponentRow<B>> declared(components.size());
    std::vector<Value> sums(components.size());
    bool int_sums = true;
    for (size_t i = 0; i < components.size(); ++i) {
      const Component& c = components[i];
      if (c.total_flash.is_int() && c.total_ram.is_int())
        sums[i] = Value(static_cast<long long>(checked_add(c.total_flash.as_int(), c.total_ram.as_int())));
      else
        sums[i] = py_add(c.total_flash, c.total_ram);
      int_sums = int_sums && sums[i].is_int();
      ComponentRow<B>& row = declared[i];
      row.name = c.name;
      row.flash = B::of(Value(static_cast<long long>(py_int(c.total_flash))));
      row.ram = B::of(Value(static_cast<long long>(py_int(c.total_ram))));
      row.objects = static_cast<int64_t>(c.objects.size());
      row.symbols = c.symbols_count;
    }
    std::vector<uint32_t> order(components.size());
    for (uint32_t i = 0; i < order.size(); ++i) order[i] = i;
    if (int_sums)
      std::stable_sort(order.begin(), order.end(),
                       [&](uint32_t a, uint32_t b) { return sums[b].as_int() < sums[a].as_int(); });
    else
      std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) { return py_lt(sums[b], sums[a]); });
    for (uint32_t i : order) comp_rows.push_back(std::move(declared[i]));
  }
  {
    std::unordered_set<std::string_view> known;
    for (const Component& c : components) known.insert(c.name.str());  // text: checked in the symbol pass
    // Derived totals. Integer sums do not depend on the order (taken in the pass above);
    // float sums are taken in size order, as the rows are visited.
    std::vector<T> totals;
    if constexpr (kInt) {
      if (totals_overflow) (void)checked_add(INT64_MAX, 1);  // the OverflowError of the sum that overflowed
      totals = std::move(int_totals);
    } else {
      totals.assign(groups.size(), B::zero());
      for (uint32_t idx : by_size) B::add(totals[records[idx].component], size(idx));
    }
    // Derived rows in order of first appearance among the size-sorted rows (their
    // names are distinct, so this order never decides the final one; kept for clarity).
    std::vector<uint32_t> first_seen;
    if constexpr (std::is_same_v<T, int64_t>) {
      // Every group holds a row, and the order is not decisive (see above).
      for (uint32_t g = 0; g < groups.size(); ++g) first_seen.push_back(g);
    } else {
      std::vector<bool> seen(groups.size(), false);
      for (uint32_t idx : by_size) {
        uint32_t g = records[idx].component;
        if (!seen[g]) {
          seen[g] = true;
          first_seen.push_back(g);
          if (first_seen.size() == groups.size()) break;
        }
      }
    }
    for (uint32_t g : first_seen) {
      if (known.count(groups[g].name)) continue;
      ComponentRow<B> row;
      row.name = Value(groups[g].name);
      row.flash = totals[g];  // every category counts as flash here
      row.ram = B::zero();
      row.objects = names_of[g];
      row.symbols = symbols_of[g];
      comp_rows.push_back(std::move(row));
    }
  }
  {
    std::vector<T> keys;
    keys.reserve(comp_rows.size());
    for (const ComponentRow<B>& row : comp_rows) {
      T k = row.flash;
      B::add(k, row.ram);
      keys.push_back(std::move(k));
    }
    std::vector<uint32_t> order(comp_rows.size());
    for (uint32_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
      return pair_lt<B>(keys[b], comp_rows[b].name.str(), keys[a], comp_rows[a].name.str());
    });
    std::vector<ComponentRow<B>> sorted;
    sorted.reserve(order.size());
    for (uint32_t i : order) sorted.push_back(std::move(comp_rows[i]));
    comp_rows.swap(sorted);
  }

  // Treemap: only the children a node carries count towards its value.
  // Text forms of names that are not text, made once (str() of a caller's object
  // may run the caller's code, so never from inside a comparison).
  std::unordered_map<uint32_t, std::string> name_texts;
  auto name_text = [&](uint32_t i) -> std::string_view {
    if (records[i].name_is_text) return records[i].text;
    const Value& n = row_name(records[i]);
    auto it = name_texts.find(i);
    if (it == name_texts.end()) it = name_texts.emplace(i, text_form(n)).first;
    return it->second;
  };
  struct ObjectNode {
    uint32_t object;
    T value;
    std::vector<uint32_t> rows;  // kept symbol records, in leaf order
  };
  struct ComponentNode {
    uint32_t group;
    T value;
    std::vector<ObjectNode> children;
  };
  std::vector<ComponentNode> nodes;
  {
    std::vector<T> group_sums;
    group_sums.reserve(groups.size());
    for (const ComponentEntry& g : groups) {
      T sum = B::zero();
      if constexpr (std::is_same_v<T, int64_t>) {
        for (uint32_t o : g.objects) B::add(sum, object_sums[o]);  // exact in any grouping
      } else {
        for (uint32_t o : g.objects)
          for (uint32_t r : object_rows_of(o)) B::add(sum, size(r));
      }
      group_sums.push_back(std::move(sum));
    }
    std::vector<uint32_t> visit(groups.size());
    for (uint32_t g = 0; g < visit.size(); ++g) visit[g] = g;
    std::stable_sort(visit.begin(), visit.end(), [&](uint32_t a, uint32_t b) {
      return pair_lt<B>(group_sums[b], groups[b].name, group_sums[a], groups[a].name);
    });
    nodes.reserve(visit.size());
    using Leaf = plotspec::Leaf<T>;
    // Every object's rows side by side, gathered in one pass in symbol order: the
    // rows of one object lie scattered over the records, and visiting them there
    // would miss the cache at every row.
    const std::unique_ptr<Leaf[]> flat(new Leaf[records.size()]);
    {
      std::vector<size_t> at(start.begin(), start.end() - 1);
      for (uint32_t i = 0; i < records.size(); ++i) {
        const SymbolRecord& r = records[i];
        flat[at[r.object]++] = Leaf{size(i), r.prefix, r.text.data(), static_cast<uint32_t>(r.text.size()), i,
                                    r.name_is_text};
      }
    }
    std::vector<uint32_t> objs;
    for (uint32_t g : visit) {
      objs = groups[g].objects;
      std::stable_sort(objs.begin(), objs.end(), [&](uint32_t a, uint32_t b) {
        return pair_lt<B>(object_sums[b], objects[b].key, object_sums[a], objects[a].key);
      });
      objs.resize(std::min(objs.size(), static_cast<size_t>(MAX_TREEMAP_OBJECTS_PER_COMPONENT)));
      ComponentNode node{g, B::zero(), {}};
      node.children.reserve(objs.size());
      for (uint32_t o : objs) {
        const std::span<Leaf> rows(flat.get() + start[o], start[o + 1] - start[o]);
        for (Leaf& leaf : rows) {
          if (leaf.text) continue;
          const std::string_view text = name_text(leaf.record);
          leaf.name = text.data();
          leaf.length = static_cast<uint32_t>(text.size());
          leaf.prefix = order_prefix(text);
        }
        const auto kept = static_cast<std::ptrdiff_t>(
            std::min(rows.size(), static_cast<size_t>(MAX_TREEMAP_SYMBOLS_PER_OBJECT)));
        if constexpr (std::is_same_v<T, int64_t>) {
          // Rows are in record order, so the record decides what the stable order
          // leaves equal. That order is total, so the kept rows are the same however
          // they are picked: only they need ordering.
          auto before = [](const Leaf& a, const Leaf& b) {
            if (a.size != b.size) return b.size < a.size;
            if (a.prefix != b.prefix) return b.prefix < a.prefix;
            if (const int c = a.name_text().compare(b.name_text())) return c > 0;
            return a.record < b.record;
          };
          if (rows.size() > static_cast<size_t>(kept))
            std::nth_element(rows.begin(), rows.begin() + kept, rows.end(), before);
          std::sort(rows.begin(), rows.begin() + kept, before);
        } else {
          std::stable_sort(rows.begin(), rows.end(), [](const Leaf& a, const Leaf& b) {
            return pair_lt<B>(b.size, b.name_text(), a.size, a.name_text());
          });
        }
        std::vector<uint32_t> leaves;
        leaves.reserve(static_cast<size_t>(kept));
        T value = B::zero();
        for (auto it = rows.begin(); it != rows.begin() + kept; ++it) {
          leaves.push_back(it->record);
          B::add(value, it->size);
        }
        B::add(node.value, value);
        node.children.push_back(ObjectNode{o, std::move(value), std::move(leaves)});
      }
      nodes.push_back(std::move(node));
    }
    std::stable_sort(nodes.begin(), nodes.end(), [&](const ComponentNode& a, const ComponentNode& b) {
      return pair_lt<B>(b.value, groups[b.group].name, a.value, groups[a.group].name);
    });
  }

  // The four bounded views.
  Value by_component = Value::list(std::min(limit, comp_rows.size()));
  for (size_t i = 0; i < comp_rows.size() && i < limit; ++i) {
    ComponentRow<B>& c = comp_rows[i];
    Value row = Value::map(5);
    row.add("name", std::move(c.name));
    row.add("total_flash_bytes", B::out(c.flash));
    row.add("total_ram_bytes", B::out(c.ram));
    row.add("objects_count", Value(static_cast<long long>(c.objects)));
    row.add("symbols_count", Value(static_cast<long long>(c.symbols)));
    by_component.push(std::move(row));
  }
  Value by_object = Value::list(std::min(limit, object_rows.size()));
  for (size_t i = 0; i < object_rows.size() && i < limit; ++i) {
    const ObjectRow& o = object_rows[i];
    Value row = Value::map(6);
    row.add("name", Value(objects[o.object].key));
    row.add("component_name", Value(groups[objects[o.object].component].name));
    row.add("total_bytes", Value(static_cast<long long>(o.total)));
    row.add("flash_bytes", Value(static_cast<long long>(o.by_category[kFlash])));
    row.add("ram_bytes", Value(static_cast<long long>(o.by_category[kRam])));
    row.add("other_bytes", Value(static_cast<long long>(o.by_category[kOther])));
    by_object.push(std::move(row));
  }
  Value by_symbol = Value::list(std::min(limit, by_size.size()));
  for (size_t i = 0; i < by_size.size() && i < limit; ++i) {
    const SymbolRecord& r = records[by_size[i]];
    by_symbol.push(symbol_row(r, groups[objects[r.object].component].name));
  }
  // The treemap's objects are built apart (on two threads when a share is given),
  // then placed under their components. Every name that is not text was given its
  // text form while choosing the leaves, so building them only reads the table.
  auto leaf_name = [&](uint32_t r) -> Value {
    const Value& name = row_name(records[r]);
    return name.is_str() ? name : Value(name_texts.find(r)->second);
  };
  const size_t shown = std::min(limit, nodes.size());
  std::vector<const ObjectNode*> object_nodes;
  for (size_t i = 0; i < shown; ++i)
    for (const ObjectNode& on : nodes[i].children) object_nodes.push_back(&on);
  std::vector<Value> object_values(object_nodes.size());
  auto build_object = [&](size_t k) {
    const ObjectNode& on = *object_nodes[k];
    Value leaves = Value::table(kLeafKeys, std::size(kLeafKeys), on.rows.size());
    Table& table = leaves.table();
    for (size_t j = 0; j < on.rows.size(); ++j) {
      if (j + 8 < on.rows.size()) __builtin_prefetch(&records[on.rows[j + 8]]);
      if (j + 4 < on.rows.size()) {
        const SymbolRecord& ahead = records[on.rows[j + 4]];
        __builtin_prefetch(ahead.row_name);
        __builtin_prefetch(&ahead.sym->size);
        __builtin_prefetch(&ahead.sym->source_file);
      }
      const uint32_t r = on.rows[j];
      const SymbolRecord& rec = records[r];
      table.push(leaf_name(r), rec.sym->size, section_value(rec), region_value(rec), rec.sym->source_file);
    }
    Value obj = Value::map(3);
    obj.add("name", Value(objects[on.object].key));
    obj.add("value", B::out(on.value));
    obj.add("children", std::move(leaves));
    object_values[k] = std::move(obj);
  };
  if (share)
    share->run(object_nodes.size(), build_object);
  else
    for (size_t k = 0; k < object_nodes.size(); ++k) build_object(k);
  Value treemap = Value::list(shown);
  for (size_t i = 0, k = 0; i < shown; ++i) {
    const ComponentNode& node = nodes[i];
    Value children = Value::list(node.children.size());
    for (size_t j = 0; j < node.children.size(); ++j) children.push(std::move(object_values[k++]));
    Value comp = Value::map(3);
    comp.add("name", Value(groups[node.group].name));
    comp.add("value", B::out(node.value));
    comp.add("children", std::move(children));
    treemap.push(std::move(comp));
  }

  Value out = Value::map(4);
  out.add("by_component", std::move(by_component));
  out.add("by_object", std::move(by_object));
  out.add("by_symbol", std::move(by_symbol));
  out.add("treemap_hierarchy", std::move(treemap));
  return out;
}

}  // namespace

Value category_for_ownership(const Value& /*region_name*/, const Section* section) {
  return Value::static_str(category_text(category_of(section)));
}

Value build_ownership_views(const std::vector<Symbol>& symbols, const OrderedIndex<const Section*>& section_map,
                            const OrderedIndex<Value>& section_to_region, const std::vector<Component>& components,
                            const OwnerRanks* ranks, WorkShare* share) {
  Pass p = symbol_pass(symbols, section_map, section_to_region, components, ranks);
  return p.int_sizes ? finish<IntBytes>(p, components, share) : finish<AnyBytes>(p, components, share);
}

}  // namespace bv::plotspec
