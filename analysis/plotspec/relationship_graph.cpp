// The relationship graph: components own objects, objects place bytes in regions
// and contain symbols. Only the largest of each are kept, links are capped, and
// nodes that no kept link reaches are dropped.
#include <algorithm>
#include <string>
#include <unordered_map>
#include <vector>

#include "analysis/plotspec/constants.hpp"
#include "analysis/plotspec/plotspec.hpp"
#include "analysis/plotspec/relationship_common.hpp"

namespace bv::plotspec {

namespace {

using rel::NameTable;

constexpr std::string_view kUnassignedComponent = "Unassigned";

struct RegionBytes {
  uint32_t region;
  int64_t bytes;
};

struct SymbolRef {
  const Symbol* symbol;
  int64_t size;
};

// Everything the symbol pass learns about one object.
struct ObjectInfo {
  std::vector<RegionBytes> regions;  // first-use order
  std::vector<SymbolRef> symbols;    // model order
};

struct Node {
  std::string id;
  std::string display;
  const char* kind;
  int rank;
  int64_t value;
};

struct Link {
  size_t source, target;  // node indexes
  int64_t value;
  const char* kind;
};

// The nodes table of one build: a node's value is the largest ever offered, never a
// sum, and its display name and kind stay as first inserted.
class NodeTable {
 public:
  size_t upsert(std::string id, std::string_view display, const char* kind, int rank, int64_t value) {
    auto it = pos_.find(id);
    if (it != pos_.end()) {
      Node& n = nodes_[it->second];
      n.value = std::max(n.value, value);
      return it->second;
    }
    nodes_.push_back({id, std::string(display), kind, rank, value});
    pos_.emplace(std::move(id), nodes_.size() - 1);
    return nodes_.size() - 1;
  }
  const size_t* find(const std::string& id) const {
    auto it = pos_.find(id);
    return it == pos_.end() ? nullptr : &it->second;
  }
  const std::vector<Node>& nodes() const { return nodes_; }

 private:
  std::vector<Node> nodes_;
  std::unordered_map<std::string, size_t> pos_;
};

// object name -> component name; the first group that lists an object owns it.
std::unordered_map<std::string, std::string> object_components(const std::vector<Component>& components) {
  std::unordered_map<std::string, std::string> out;
  std::string text;
  for (const Component& group : components) {
    // The group name must be text: the host strips it without a fallback for None.
    if (!group.name.is_str())
      raise(ErrKind::Attribute, "'" + type_name(group.name) + "' object has no attribute 'strip' (component name)");
    std::string_view name = py_strip(group.name.str());
    if (name.empty()) name = kUnassignedComponent;
    if (!group.objects.is_list()) continue;
    for (const Value& entry : group.objects.items()) {
      text.clear();
      append_text_form(text, entry);
      std::string_view key = py_strip(text);
      if (key.empty()) continue;
      out.try_emplace(std::string(key), name);
    }
  }
  return out;
}

// Adds bytes to an object's entry for a region. Most objects touch a handful of
// regions: a short scan finds those; an object in many regions is indexed by hash.
constexpr size_t kScanLimit = 16;
void add_region_bytes(ObjectInfo& object, uint32_t obj, uint32_t region, int64_t size,
                      std::unordered_map<uint64_t, uint32_t>& index) {
  std::vector<RegionBytes>& list = object.regions;
  size_t at = list.size();
  if (list.size() <= kScanLimit) {
    for (size_t i = 0; i < list.size(); ++i)
      if (list[i].region == region) {
        at = i;
        break;
      }
  } else if (auto it = index.find(rel::pair_key(obj, region)); it != index.end()) {
    at = it->second;
  }
  if (at == list.size()) {
    list.push_back({region, 0});
    if (list.size() > kScanLimit) {
      if (list.size() == kScanLimit + 1)  // the scan stops here: index the whole list once
        for (size_t i = 0; i < list.size(); ++i) index.emplace(rel::pair_key(obj, list[i].region), i);
      else
        index.emplace(rel::pair_key(obj, region), at);
    }
  }
  list[at].bytes = checked_add(list[at].bytes, size);
}

// Sort key of a symbol candidate: (size, object name, demangled name or name).
struct Candidate {
  int64_t size;
  uint32_t object;
  const Value* label;
  const Symbol* symbol;
};

}  // namespace

Value build_relationship_graph_view(const Model& model, const OrderedIndex<Value>& section_to_region,
                                    const std::vector<Component>& components) {
  const std::unordered_map<std::string, std::string> owner = object_components(components);

  // One pass over the symbols: bytes per object and per (object, region). Map files
  // list the symbols of one object and section together, so the previous symbol's
  // object and region are tried before any hash lookup.
  NameTable objects, regions;
  std::vector<ObjectInfo> info;
  std::unordered_map<std::string_view, uint32_t> region_of;  // stripped section name -> region id
  std::unordered_map<uint64_t, uint32_t> object_region;      // (object, region) -> index, for objects in many regions
  std::string_view last_object, last_section;
  uint32_t cur_obj = 0, cur_region = 0;
  bool have_last = false;
  for (const Symbol& sym : model.symbols) {
    int64_t size = py_int(sym.size);
    if (size <= 0) continue;
    std::string_view object_name = rel::first_true_stripped(
        {&sym.object_file, &sym.archive, &sym.compilation_unit, &sym.source_file}, "unknown_object", "object attribution");
    if (!have_last || object_name != last_object) {
      cur_obj = objects.id(object_name);
      if (cur_obj == info.size()) info.emplace_back();
      last_object = objects.name(cur_obj);
    }
    objects.add(cur_obj, size);
    std::string_view section = rel::stripped_or_empty(sym.section_name, "section_name");
    if (!have_last || section != last_section) {
      auto rit = region_of.find(section);
      if (rit == region_of.end()) {
        // The key views the symbol's own text, which outlives this build.
        rit = region_of.emplace(section, regions.id(rel::region_of_section(section_to_region, section))).first;
      }
      cur_region = rit->second;
      last_section = section;
    }
    have_last = true;
    add_region_bytes(info[cur_obj], cur_obj, cur_region, size, object_region);
    info[cur_obj].symbols.push_back({&sym, size});
  }

  // The largest objects, then the components that own them.
  const std::vector<uint32_t> ranked_objects = objects.ranked_desc();
  const size_t kept_count = std::min(ranked_objects.size(), static_cast<size_t>(MAX_GRAPH_OBJECT_NODES));
  std::vector<uint32_t> kept(ranked_objects.begin(), ranked_objects.begin() + static_cast<ptrdiff_t>(kept_count));

  auto component_of = [&](uint32_t obj) -> std::string_view {
    auto it = owner.find(objects.name(obj));
    return it == owner.end() ? kUnassignedComponent : std::string_view(it->second);
  };
  NameTable component_bytes;
  for (uint32_t obj : kept) component_bytes.add(component_bytes.id(component_of(obj)), objects.bytes(obj));
  std::vector<bool> component_kept(component_bytes.size(), false);
  {
    std::vector<uint32_t> ranked = component_bytes.ranked_desc();
    for (size_t i = 0; i < ranked.size() && i < static_cast<size_t>(MAX_GRAPH_COMPONENT_NODES); ++i)
      component_kept[ranked[i]] = true;
  }

  // The largest symbols of the kept objects.
  std::vector<Candidate> candidates;
  for (uint32_t obj : kept)
    for (const SymbolRef& ref : info[obj].symbols) {
      const Symbol& s = *ref.symbol;
      candidates.push_back({ref.size, obj, truthy(s.demangled_name) ? &s.demangled_name : &s.name, &s});
    }
  std::stable_sort(candidates.begin(), candidates.end(), [&](const Candidate& a, const Candidate& b) {
    // Descending: "a before b" when b's key is smaller.
    if (a.size != b.size) return b.size < a.size;
    if (a.object != b.object) return objects.name(b.object) < objects.name(a.object);
    if (a.label->is_str() && b.label->is_str()) return b.label->str() < a.label->str();
    return py_lt_seq(b.label, a.label, 1);
  });
  if (candidates.size() > static_cast<size_t>(MAX_GRAPH_SYMBOL_NODES))
    candidates.resize(static_cast<size_t>(MAX_GRAPH_SYMBOL_NODES));

  // Component, object and region nodes with their links.
  NodeTable table;
  std::vector<Link> links;
  std::vector<RegionBytes> object_regions;
  for (uint32_t obj : kept) {
    const int64_t value = objects.bytes(obj);
    if (value <= 0) continue;
    std::string_view component = component_of(obj);
    const uint32_t* cid = component_bytes.find(component);
    // Objects of components outside the kept set hang under "Unassigned" (which
    // thereby joins the kept set; its own objects would land there anyway).
    if (!cid || !component_kept[*cid]) {
      component = kUnassignedComponent;
      cid = component_bytes.find(component);
    }
    const int64_t component_value = cid ? component_bytes.bytes(*cid) : value;
    size_t cnode = table.upsert("component::" + std::string(component), component, "component", 0, component_value);
    const std::string& object_name = objects.name(obj);
    size_t onode = table.upsert("object::" + object_name, object_name, "object", 1, value);
    links.push_back({cnode, onode, value, "component_to_object"});

    object_regions = info[obj].regions;
    std::stable_sort(object_regions.begin(), object_regions.end(), [&](const RegionBytes& a, const RegionBytes& b) {
      if (a.bytes != b.bytes) return a.bytes > b.bytes;
      return regions.name(b.region) < regions.name(a.region);
    });
    for (const RegionBytes& rb : object_regions) {
      if (rb.bytes <= 0) continue;
      const std::string& region_name = regions.name(rb.region);
      // A region shared by several objects shows the largest per-object count.
      size_t rnode = table.upsert("region::" + region_name, region_name, "memory_region", 2, rb.bytes);
      links.push_back({onode, rnode, rb.bytes, "object_to_region"});
    }
  }

  // Symbol nodes: the position suffix keeps equal names in one object apart; skipped
  // entries still consume their position.
  std::string id;
  for (size_t pos = 0; pos < candidates.size(); ++pos) {
    const Candidate& c = candidates[pos];
    const std::string& object_name = objects.name(c.object);
    const size_t* onode = table.find("object::" + object_name);
    if (!onode) continue;
    if (c.size <= 0) continue;
    const Symbol& s = *c.symbol;
    std::string_view display =
        rel::first_true_stripped({&s.demangled_name, &s.name}, "unnamed_symbol", "symbol name");
    id.assign("symbol::").append(object_name).append("::").append(display).append("::").append(std::to_string(pos));
    const size_t source = *onode;
    size_t snode = table.upsert(id, display, "symbol", 3, c.size);
    links.push_back({source, snode, c.size, "object_to_symbol"});
  }

  // Link capping: the heaviest links survive.
  const std::vector<Node>& nodes = table.nodes();
  const size_t total_links = links.size();
  std::stable_sort(links.begin(), links.end(), [&](const Link& a, const Link& b) {
    if (a.value != b.value) return a.value > b.value;
    if (a.source != b.source) return nodes[b.source].id < nodes[a.source].id;
    return nodes[b.target].id < nodes[a.target].id;
  });
  if (links.size() > static_cast<size_t>(MAX_GRAPH_LINKS)) links.resize(static_cast<size_t>(MAX_GRAPH_LINKS));

  std::vector<bool> referenced(nodes.size(), false);
  Value link_list = Value::list(links.size());
  for (const Link& l : links) {
    referenced[l.source] = referenced[l.target] = true;
    Value link = Value::map(5);
    link.add("source", Value(nodes[l.source].id));
    link.add("target", Value(nodes[l.target].id));
    link.add("value", Value(static_cast<long long>(l.value)));
    link.add("value_bytes", Value(static_cast<long long>(l.value)));
    link.add("kind", Value::static_str(l.kind));
    link_list.push(std::move(link));
  }

  // Node pruning and ordering: by kind, larger first, then display name ascending;
  // full ties keep insertion order.
  std::vector<size_t> rendered;
  for (size_t i = 0; i < nodes.size(); ++i)
    if (referenced[i]) rendered.push_back(i);
  std::stable_sort(rendered.begin(), rendered.end(), [&](size_t a, size_t b) {
    const Node& x = nodes[a];
    const Node& y = nodes[b];
    if (x.rank != y.rank) return x.rank < y.rank;
    if (x.value != y.value) return x.value > y.value;
    return x.display < y.display;
  });
  Value node_list = Value::list(rendered.size());
  for (size_t i : rendered) {
    const Node& n = nodes[i];
    Value node = Value::map(5);
    node.add("id", Value(n.id));
    node.add("name", Value(n.id));
    node.add("display_name", Value(n.display));
    node.add("kind", Value::static_str(n.kind));
    node.add("value_bytes", Value(static_cast<long long>(n.value)));
    node_list.push(std::move(node));
  }

  // A full symbol list counts as truncated even when nothing was dropped: the
  // renderer cannot tell a list that is exactly full from a cut one.
  const bool truncated = ranked_objects.size() > static_cast<size_t>(MAX_GRAPH_OBJECT_NODES) ||
                         candidates.size() >= static_cast<size_t>(MAX_GRAPH_SYMBOL_NODES) ||
                         total_links > static_cast<size_t>(MAX_GRAPH_LINKS);
  Value stats = Value::map(6);
  stats.add("objects_count", Value(static_cast<long long>(ranked_objects.size())));
  stats.add("components_count", Value(static_cast<long long>(component_bytes.size())));
  stats.add("symbols_count", Value(static_cast<long long>(candidates.size())));
  stats.add("links_count", Value(static_cast<long long>(total_links)));
  stats.add("rendered_nodes_count", Value(static_cast<long long>(node_list.size())));
  stats.add("rendered_links_count", Value(static_cast<long long>(link_list.size())));

  Value view = Value::map(4);
  view.add("nodes", std::move(node_list));
  view.add("links", std::move(link_list));
  view.add("truncated", Value(truncated));
  view.add("stats", std::move(stats));
  return view;
}

}  // namespace bv::plotspec
