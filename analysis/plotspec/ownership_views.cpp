// Ownership views: who owns the bytes of the image. Every symbol is attributed to
// an object file and every object file to a component; the results are four
// bounded views (components, objects, symbols and a component/object/symbol treemap).
//
// The symbol pass works on compact per-symbol records and indexes; maps are only
// built for the rows that survive the limits, so a model with hundreds of thousands
// of symbols costs a few linear passes and sorts.
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "analysis/plotspec/constants.hpp"
#include "analysis/plotspec/plotspec.hpp"
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

// A byte count as the host adds them: exact 64-bit integers while every size is an
// integer (OverflowError rather than wrapping), the host's float sum once a float
// size takes part.
struct Bytes {
  Value v{0};
  void add(const Value& x) {
    if (v.is_int() && x.is_int())
      v = Value(static_cast<long long>(checked_add(v.as_int(), x.as_int())));
    else
      v = py_add(v, x);
  }
};

// Sizes that reach the sorts are finite numbers (a NaN or infinite size fails the
// integer conversion of its object's totals first), so number comparison is a
// strict weak order here.
bool num_lt(const Value& a, const Value& b) {
  if (a.is_int() && b.is_int()) return a.as_int() < b.as_int();
  return py_lt(a, b);
}
bool num_eq(const Value& a, const Value& b) {
  if (a.is_int() && b.is_int()) return a.as_int() == b.as_int();
  return py_eq(a, b);
}
// (number, text) pairs, as the host compares tuples.
bool pair_lt(const Value& a, std::string_view an, const Value& b, std::string_view bn) {
  if (!num_eq(a, b)) return num_lt(a, b);
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

struct SymbolRecord {
  const Symbol* sym;
  const Value* size;        // > 0
  const Value* name;        // demangled name when non-empty, else name
  Value section_name;       // stripped; null when empty
  Value region_name;        // null when absent or false
  uint32_t object;          // index into the object table
};

struct ObjectTotals {
  std::string key;
  uint32_t component;  // index into the component table
  Bytes total, by_category[3];
  std::vector<uint32_t> rows;  // symbol records, in symbol order
};

struct ComponentGroup {
  std::string_view name;
  std::vector<uint32_t> objects;  // in first-use order
};

Value symbol_row(const SymbolRecord& r, std::string_view component) {
  Value row = Value::map(8);
  row.add("name", *r.name);
  row.add("size_bytes", *r.size);
  row.add("section_name", r.section_name);
  row.add("object_file", r.sym->object_file);
  row.add("archive", r.sym->archive);
  row.add("source_file", r.sym->source_file);
  row.add("region_name", r.region_name);
  row.add("component_name", Value(component));
  return row;
}

// Component rows: declared ones from the component records, derived ones from
// the symbol pass.
struct ComponentRow {
  Value name;
  Value flash, ram;
  int64_t objects = 0, symbols = 0;
  Value key;  // flash + ram
};

bool all_int(const std::vector<Value>& keys) {
  return std::all_of(keys.begin(), keys.end(), [](const Value& v) { return v.is_int(); });
}

}  // namespace

Value category_for_ownership(const Value& /*region_name*/, const Section* section) {
  return Value::static_str(category_text(category_of(section)));
}

Value build_ownership_views(const std::vector<Symbol>& symbols, const OrderedIndex<const Section*>& section_map,
                            const OrderedIndex<Value>& section_to_region, const std::vector<Component>& components) {
  // 1. Object -> component: the first component that lists an object owns it.
  OrderedIndex<std::string_view> object_owner;
  {
    std::string text;
    for (const Component& comp : components) {
      if (!comp.name.is_str()) no_attribute(comp.name, "strip");
      std::string_view name = py_strip(comp.name.str());
      if (name.empty()) name = kUnassigned;
      if (!comp.objects.is_list())
        raise(ErrKind::Type, "'" + type_name(comp.objects) + "' object is not iterable");
      for (const Value& entry : comp.objects.items()) {
        text.clear();
        append_text_form(text, entry);
        std::string_view key = py_strip(text);
        if (key.empty() || object_owner.contains(key)) continue;
        object_owner[key] = name;
      }
    }
  }

  // 2. Symbol pass.
  std::vector<SymbolRecord> records;
  records.reserve(symbols.size());
  std::vector<ObjectTotals> objects;
  OrderedIndex<uint32_t> object_index;
  std::vector<ComponentGroup> groups;
  OrderedIndex<uint32_t> group_index;
  std::unordered_map<const Section*, Category> category_cache;
  const Value zero(0);
  for (const Symbol& s : symbols) {
    const Value& size = s.size;
    if (!size.is_number())
      raise(ErrKind::Type, "'<=' not supported between instances of '" + type_name(size) + "' and 'int'");
    // `size <= 0` skips the symbol; a NaN size is not <= 0 and goes on (its object's
    // totals then fail the integer conversion, as they would in the host).
    bool non_positive = size.is_int() ? size.as_int() <= 0 : (py_lt(size, zero) || py_eq(size, zero));
    if (non_positive) continue;

    const Value* chosen = nullptr;
    for (const Value* v : {&s.object_file, &s.archive, &s.compilation_unit, &s.source_file}) {
      if (truthy(*v)) {
        chosen = v;
        break;
      }
    }
    std::string_view key = chosen ? stripped(*chosen) : kUnknownObject;

    uint32_t obj;
    if (const uint32_t* found = object_index.find(key)) {
      obj = *found;
    } else {
      obj = static_cast<uint32_t>(objects.size());
      object_index[key] = obj;
      const std::string_view* owner = object_owner.find(key);
      std::string_view component = owner ? *owner : kUnassigned;
      uint32_t g;
      if (const uint32_t* gf = group_index.find(component)) {
        g = *gf;
      } else {
        g = static_cast<uint32_t>(groups.size());
        group_index[component] = g;
        groups.push_back(ComponentGroup{component, {}});
      }
      groups[g].objects.push_back(obj);
      ObjectTotals t;
      t.key = std::string(key);
      t.component = g;
      objects.push_back(std::move(t));
    }

    std::string_view section = stripped(s.section_name);
    const Value* region = section_to_region.find(section);
    const Section* const* placed = section_map.find(section);
    const Section* sec = placed ? *placed : nullptr;
    Category cat;
    auto cached = category_cache.find(sec);
    if (cached != category_cache.end()) {
      cat = cached->second;
    } else {
      cat = category_of(sec);
      category_cache.emplace(sec, cat);
    }

    ObjectTotals& t = objects[obj];
    t.total.add(size);
    t.by_category[cat].add(size);
    t.rows.push_back(static_cast<uint32_t>(records.size()));

    SymbolRecord r;
    r.sym = &s;
    r.size = &size;
    r.name = truthy(s.demangled_name) ? &s.demangled_name : &s.name;
    r.section_name = section.empty() ? Value() : text_value(s.section_name, section);
    r.region_name = (region && truthy(*region)) ? *region : Value();
    r.object = obj;
    records.push_back(std::move(r));
  }

  // 3. Object rows (integers of the totals), largest first; then symbols by size.
  struct ObjectRow {
    uint32_t object;
    int64_t total, flash, ram, other;
  };
  std::vector<ObjectRow> object_rows;
  object_rows.reserve(objects.size());
  for (uint32_t i = 0; i < objects.size(); ++i) {
    const ObjectTotals& t = objects[i];
    object_rows.push_back(ObjectRow{i, py_int(t.total.v), py_int(t.by_category[kFlash].v),
                                    py_int(t.by_category[kRam].v), py_int(t.by_category[kOther].v)});
  }
  std::stable_sort(object_rows.begin(), object_rows.end(),
                   [](const ObjectRow& a, const ObjectRow& b) { return b.total < a.total; });

  std::vector<uint32_t> by_size(records.size());
  for (uint32_t i = 0; i < by_size.size(); ++i) by_size[i] = i;
  {
    bool ints = std::all_of(records.begin(), records.end(), [](const SymbolRecord& r) { return r.size->is_int(); });
    if (ints) {
      std::stable_sort(by_size.begin(), by_size.end(), [&](uint32_t a, uint32_t b) {
        return records[b].size->as_int() < records[a].size->as_int();
      });
    } else {
      std::stable_sort(by_size.begin(), by_size.end(),
                       [&](uint32_t a, uint32_t b) { return num_lt(*records[b].size, *records[a].size); });
    }
  }

  // 4. Component rows.
  std::vector<ComponentRow> comp_rows;
  comp_rows.reserve(components.size() + groups.size());
  {
    std::vector<uint32_t> order(components.size());
    std::vector<Value> sums(components.size());
    for (uint32_t i = 0; i < components.size(); ++i) {
      order[i] = i;
      const Component& c = components[i];
      if (c.total_flash.is_int() && c.total_ram.is_int())
        sums[i] = Value(static_cast<long long>(checked_add(c.total_flash.as_int(), c.total_ram.as_int())));
      else
        sums[i] = py_add(c.total_flash, c.total_ram);
    }
    // Convert first: a total that is not an integer-convertible number fails here,
    // before the sort sees a NaN.
    std::vector<ComponentRow> declared(components.size());
    for (uint32_t i = 0; i < components.size(); ++i) {
      const Component& c = components[i];
      ComponentRow& row = declared[i];
      row.name = c.name;
      row.flash = Value(static_cast<long long>(py_int(c.total_flash)));
      row.ram = Value(static_cast<long long>(py_int(c.total_ram)));
      row.objects = static_cast<int64_t>(c.objects.size());
      row.symbols = c.symbols_count;
    }
    if (all_int(sums)) {
      std::stable_sort(order.begin(), order.end(),
                       [&](uint32_t a, uint32_t b) { return sums[b].as_int() < sums[a].as_int(); });
    } else {
      std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) { return num_lt(sums[b], sums[a]); });
    }
    for (uint32_t i : order) comp_rows.push_back(std::move(declared[i]));
  }
  {
    std::unordered_set<std::string_view> known;
    for (const Component& c : components) known.insert(c.name.str());  // text: checked in step 1
    struct Derived {
      Bytes total;
      std::unordered_set<std::string_view> object_names;
      int64_t symbols = 0;
    };
    std::vector<Derived> derived(groups.size());
    std::vector<uint32_t> first_seen;
    std::vector<bool> seen(groups.size(), false);
    for (uint32_t idx : by_size) {
      const SymbolRecord& r = records[idx];
      uint32_t g = objects[r.object].component;
      if (!seen[g]) {
        seen[g] = true;
        first_seen.push_back(g);
      }
      Derived& d = derived[g];
      d.total.add(*r.size);
      d.symbols += 1;
      // The object name here is the unstripped object file or archive: whichever was
      // truthy is text (the object key step would have failed otherwise).
      const Value& of = r.sym->object_file;
      const Value& ar = r.sym->archive;
      std::string_view object_name = truthy(of) ? of.str() : truthy(ar) ? ar.str() : kUnknownObject;
      d.object_names.insert(object_name);
    }
    for (uint32_t g : first_seen) {
      if (known.count(groups[g].name)) continue;
      ComponentRow row;
      row.name = Value(groups[g].name);
      row.flash = derived[g].total.v;
      row.ram = Value(0);
      row.objects = static_cast<int64_t>(derived[g].object_names.size());
      row.symbols = derived[g].symbols;
      comp_rows.push_back(std::move(row));
    }
  }
  for (ComponentRow& row : comp_rows) row.key = py_add(row.flash, row.ram);
  {
    std::vector<uint32_t> order(comp_rows.size());
    for (uint32_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
      const ComponentRow& x = comp_rows[a];
      const ComponentRow& y = comp_rows[b];
      return pair_lt(y.key, y.name.str(), x.key, x.name.str());
    });
    std::vector<ComponentRow> sorted;
    sorted.reserve(order.size());
    for (uint32_t i : order) sorted.push_back(std::move(comp_rows[i]));
    comp_rows.swap(sorted);
  }

  // 5. Treemap: only the children a node carries count towards its value.
  struct ObjectNode {
    uint32_t object;
    Value value;
    std::vector<uint32_t> rows;  // kept symbol records, in leaf order
  };
  struct ComponentNode {
    uint32_t group;
    Value value;
    std::vector<ObjectNode> children;
  };
  // Text forms of names that are not text, made once (str() of a caller's object may
  // run the caller's code, so never from inside a comparison).
  std::unordered_map<uint32_t, std::string> name_texts;
  auto name_text = [&](uint32_t i) -> std::string_view {
    const Value& n = *records[i].name;
    if (n.is_str()) return n.str();
    auto it = name_texts.find(i);
    if (it == name_texts.end()) it = name_texts.emplace(i, text_form(n)).first;
    return it->second;
  };
  std::vector<ComponentNode> nodes;
  {
    std::vector<Value> group_sums(groups.size());
    std::vector<Value> object_sums(objects.size());
    for (uint32_t g = 0; g < groups.size(); ++g) {
      Bytes gs;
      for (uint32_t o : groups[g].objects) {
        Bytes os;
        for (uint32_t r : objects[o].rows) os.add(*records[r].size);
        object_sums[o] = os.v;
        for (uint32_t r : objects[o].rows) gs.add(*records[r].size);
      }
      group_sums[g] = gs.v;
    }
    std::vector<uint32_t> visit(groups.size());
    for (uint32_t g = 0; g < visit.size(); ++g) visit[g] = g;
    std::stable_sort(visit.begin(), visit.end(), [&](uint32_t a, uint32_t b) {
      return pair_lt(group_sums[b], groups[b].name, group_sums[a], groups[a].name);
    });
    nodes.reserve(visit.size());
    for (uint32_t g : visit) {
      std::vector<uint32_t> objs = groups[g].objects;
      std::stable_sort(objs.begin(), objs.end(), [&](uint32_t a, uint32_t b) {
        return pair_lt(object_sums[b], objects[b].key, object_sums[a], objects[a].key);
      });
      if (objs.size() > static_cast<size_t>(MAX_TREEMAP_OBJECTS_PER_COMPONENT))
        objs.resize(static_cast<size_t>(MAX_TREEMAP_OBJECTS_PER_COMPONENT));
      ComponentNode node{g, Value(0), {}};
      Bytes comp_value;
      node.children.reserve(objs.size());
      for (uint32_t o : objs) {
        std::vector<uint32_t> rows = objects[o].rows;
        for (uint32_t r : rows) (void)name_text(r);
        std::stable_sort(rows.begin(), rows.end(), [&](uint32_t a, uint32_t b) {
          return pair_lt(*records[b].size, name_text(b), *records[a].size, name_text(a));
        });
        if (rows.size() > static_cast<size_t>(MAX_TREEMAP_SYMBOLS_PER_OBJECT))
          rows.resize(static_cast<size_t>(MAX_TREEMAP_SYMBOLS_PER_OBJECT));
        Bytes value;
        for (uint32_t r : rows) value.add(*records[r].size);
        comp_value.add(value.v);
        node.children.push_back(ObjectNode{o, value.v, std::move(rows)});
      }
      node.value = comp_value.v;
      nodes.push_back(std::move(node));
    }
    std::stable_sort(nodes.begin(), nodes.end(), [&](const ComponentNode& a, const ComponentNode& b) {
      return pair_lt(b.value, groups[b.group].name, a.value, groups[a.group].name);
    });
  }

  // 6. The four bounded views.
  const size_t limit = static_cast<size_t>(MAX_OWNERSHIP_ROWS);
  Value by_component = Value::list(std::min(limit, comp_rows.size()));
  for (size_t i = 0; i < comp_rows.size() && i < limit; ++i) {
    ComponentRow& c = comp_rows[i];
    Value row = Value::map(5);
    row.add("name", std::move(c.name));
    row.add("total_flash_bytes", std::move(c.flash));
    row.add("total_ram_bytes", std::move(c.ram));
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
    row.add("flash_bytes", Value(static_cast<long long>(o.flash)));
    row.add("ram_bytes", Value(static_cast<long long>(o.ram)));
    row.add("other_bytes", Value(static_cast<long long>(o.other)));
    by_object.push(std::move(row));
  }
  Value by_symbol = Value::list(std::min(limit, by_size.size()));
  for (size_t i = 0; i < by_size.size() && i < limit; ++i) {
    const SymbolRecord& r = records[by_size[i]];
    by_symbol.push(symbol_row(r, groups[objects[r.object].component].name));
  }
  Value treemap = Value::list(std::min(limit, nodes.size()));
  for (size_t i = 0; i < nodes.size() && i < limit; ++i) {
    const ComponentNode& node = nodes[i];
    Value children = Value::list(node.children.size());
    for (const ObjectNode& on : node.children) {
      Value leaves = Value::list(on.rows.size());
      for (uint32_t r : on.rows) {
        const SymbolRecord& rec = records[r];
        Value leaf = Value::map(5);
        std::string_view text = name_text(r);
        leaf.add("name", rec.name->is_str() ? *rec.name : Value(text));
        leaf.add("value", *rec.size);
        leaf.add("section_name", rec.section_name);
        leaf.add("region_name", rec.region_name);
        leaf.add("source_file", rec.sym->source_file);
        leaves.push(std::move(leaf));
      }
      Value obj = Value::map(3);
      obj.add("name", Value(objects[on.object].key));
      obj.add("value", on.value);
      obj.add("children", std::move(leaves));
      children.push(std::move(obj));
    }
    Value comp = Value::map(3);
    comp.add("name", Value(groups[node.group].name));
    comp.add("value", node.value);
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

}  // namespace bv::plotspec
