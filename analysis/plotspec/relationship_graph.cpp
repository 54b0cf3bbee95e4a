// The relationship graph: components own objects, objects place bytes in regions
// and contain symbols. Only the largest of each are kept, links are capped, and
// nodes that no kept link reaches are dropped.
#include <algorithm>
#include <exception>
#include <memory>
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

// A symbol with bytes, as the symbol pass placed it.
struct Placed {
  uint32_t symbol;  // index in the model
  uint32_t object, region;
  int64_t size;
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
  size_t pos = 0;  // in the order made
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
// The component names view the caller's texts (or a literal).
OrderedIndex<std::string_view> object_components(const std::vector<Component>& components) {
  OrderedIndex<std::string_view> out;
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
      const size_t before = out.size();
      const size_t at = out.position(key);
      if (out.size() > before) out.entries()[at].second = name;
    }
  }
  return out;
}

// Sort key of a symbol candidate: (size, object name, demangled name or name).
struct Candidate {
  int64_t size;
  uint32_t object;
  uint32_t object_rank;  // of the object's name among the kept objects
  uint32_t pos;          // in the given order
  const Value* label;
  const Symbol* symbol;
};

// The symbol pass: bytes per object, and where each symbol with bytes went. The
// symbols of one object or section share the caller's text object, so both are
// found by where their text lies; a text is stripped and looked up by its bytes
// only at its first sighting.
class SymbolPass {
 public:
  SymbolPass(const Model& model, const OrderedIndex<Value>& section_to_region)
      : model_(model), section_to_region_(section_to_region) {
    placed.reserve(model.symbols.size());
  }

  // One symbol with bytes (size > 0), in model order.
  void take(size_t index, int64_t size) {
    static constexpr std::string_view kUnknownObject = "unknown_object";
    const Symbol& sym = model_.symbols[index];
    // (object_file or archive or compilation_unit or source_file or "unknown_object").strip()
    std::string_view raw = kUnknownObject;
    for (const Value* v : {&sym.object_file, &sym.archive, &sym.compilation_unit, &sym.source_file}) {
      if (!rel::truthy_fast(*v)) continue;
      if (!v->is_str()) rel::stripped_or_empty(*v, "object attribution");  // raises
      raw = v->str();
      break;
    }
    uint32_t obj = object_at_.find(raw);
    if (obj == PlaceIndex::kMiss) {
      obj = objects.id(py_strip(raw));
      object_at_.put(raw, obj);
    }
    objects.add(obj, size);
    const Value& section = sym.section_name;
    uint32_t region;
    if (section.is_str() && !section.str().empty()) {
      region = region_at_.find(section.str());
      if (region == PlaceIndex::kMiss) {
        region = regions.id(rel::region_of_section(section_to_region_, py_strip(section.str())));
        region_at_.put(section.str(), region);
      }
    } else {
      rel::stripped_or_empty(section, "section_name");  // false values read as ""; the rest raise
      if (blank_section_region_ == PlaceIndex::kMiss)
        blank_section_region_ = regions.id(rel::region_of_section(section_to_region_, {}));
      region = blank_section_region_;
    }
    placed.push_back({static_cast<uint32_t>(index), obj, region, size});
  }

  NameTable objects, regions;
  std::vector<Placed> placed;

 private:
  const Model& model_;
  const OrderedIndex<Value>& section_to_region_;
  PlaceIndex object_at_, region_at_;  // raw text -> object id / region id
  uint32_t blank_section_region_ = PlaceIndex::kMiss;  // region of a false section name
};

// Everything after the symbol pass.
Value finish_graph(const Model& model, const SymbolPass& pass, const OrderedIndex<std::string_view>& owner) {
  const NameTable& objects = pass.objects;
  const NameTable& regions = pass.regions;
  const std::vector<Placed>& placed = pass.placed;

  // The largest objects, then the components that own them.
  const std::vector<uint32_t> kept = objects.top_desc(static_cast<size_t>(MAX_GRAPH_OBJECT_NODES));

  auto component_of = [&](uint32_t obj) -> std::string_view {
    const std::string_view* component = owner.find(objects.name(obj));
    return component ? *component : kUnassignedComponent;
  };
  NameTable component_bytes;
  for (uint32_t obj : kept) component_bytes.add(component_bytes.id(component_of(obj)), objects.bytes(obj));
  std::vector<bool> component_kept(component_bytes.size(), false);
  {
    for (uint32_t c : component_bytes.top_desc(static_cast<size_t>(MAX_GRAPH_COMPONENT_NODES)))
      component_kept[c] = true;
  }

  // The placed symbols of each kept object, in model order.
  constexpr uint32_t kDropped = UINT32_MAX;
  std::vector<uint32_t> kept_at(objects.size(), kDropped);
  for (uint32_t k = 0; k < kept.size(); ++k) kept_at[kept[k]] = k;
  std::vector<std::vector<const Placed*>> members(kept.size());
  size_t member_count = 0;
  for (const Placed& p : placed)
    if (const uint32_t k = kept_at[p.object]; k != kDropped) {
      members[k].push_back(&p);
      ++member_count;
    }

  // The largest symbols of the kept objects.
  std::vector<Candidate> candidates;
  candidates.reserve(member_count);
  // Object names as ranks among the kept objects, so equal sizes compare two integers.
  std::vector<uint32_t> name_rank(objects.size(), 0);
  {
    std::vector<uint32_t> by_name = kept;
    std::sort(by_name.begin(), by_name.end(),
              [&](uint32_t a, uint32_t b) { return objects.name(a) < objects.name(b); });
    for (uint32_t r = 0; r < by_name.size(); ++r) name_rank[by_name[r]] = r;
  }
  bool text_labels = true;
  for (const std::vector<const Placed*>& group : members)
    for (size_t m = 0; m < group.size(); ++m) {
      // The symbols lie far apart: ask for the names a few symbols ahead.
      if (m + 8 < group.size()) __builtin_prefetch(&model.symbols[group[m + 8]->symbol].demangled_name);
      const Placed& p = *group[m];
      const Symbol& s = model.symbols[p.symbol];
      const Value* label = rel::truthy_fast(s.demangled_name) ? &s.demangled_name : &s.name;
      text_labels = text_labels && label->is_str();
      candidates.push_back(
          {p.size, p.object, name_rank[p.object], static_cast<uint32_t>(candidates.size()), label, &s});
    }
  const size_t symbol_limit = static_cast<size_t>(MAX_GRAPH_SYMBOL_NODES);
  if (text_labels) {
    // Descending by (size, object name, label); the position makes the key distinct,
    // which keeps equal keys in their given order as the stable sort did.
    auto larger = [](const Candidate& a, const Candidate& b) {
      if (a.size != b.size) return b.size < a.size;
      if (a.object_rank != b.object_rank) return b.object_rank < a.object_rank;
      const int c = a.label->str().compare(b.label->str());
      if (c != 0) return c > 0;
      return a.pos < b.pos;
    };
    if (candidates.size() > symbol_limit) {
      std::nth_element(candidates.begin(), candidates.begin() + static_cast<ptrdiff_t>(symbol_limit),
                       candidates.end(), larger);
      candidates.resize(symbol_limit);
    }
    std::sort(candidates.begin(), candidates.end(), larger);
  } else {
    // Labels of other types compare as the host compares them (and may fail as it does).
    std::stable_sort(candidates.begin(), candidates.end(), [&](const Candidate& a, const Candidate& b) {
      // Descending: "a before b" when b's key is smaller.
      if (a.size != b.size) return b.size < a.size;
      if (a.object != b.object) return objects.name(b.object) < objects.name(a.object);
      if (a.label->is_str() && b.label->is_str()) return b.label->str() < a.label->str();
      return py_lt_seq(b.label, a.label, 1);
    });
    if (candidates.size() > symbol_limit) candidates.resize(symbol_limit);
  }

  // Component, object and region nodes with their links.
  NodeTable table;
  std::vector<Link> links;
  std::vector<RegionBytes> object_regions;
  std::vector<int64_t> region_sum(regions.size(), 0);
  for (uint32_t k = 0; k < kept.size(); ++k) {
    const uint32_t obj = kept[k];
    const int64_t value = objects.bytes(obj);
    if (value <= 0) continue;
    std::string_view component = component_of(obj);
    uint32_t cid = component_bytes.find(component);
    // Objects of components outside the kept set hang under "Unassigned" (which
    // thereby joins the kept set; its own objects would land there anyway).
    if (cid == NameTable::kAbsent || !component_kept[cid]) {
      component = kUnassignedComponent;
      cid = component_bytes.find(component);
    }
    const int64_t component_value = cid != NameTable::kAbsent ? component_bytes.bytes(cid) : value;
    size_t cnode = table.upsert(rel::prefixed("component::", component), component, "component", 0, component_value);
    const std::string_view object_name = objects.name(obj);
    size_t onode = table.upsert(rel::prefixed("object::", object_name), object_name, "object", 1, value);
    links.push_back({cnode, onode, value, "component_to_object"});

    // Bytes per region; no sum can overflow, as the object's total holds them all.
    object_regions.clear();
    for (const Placed* placed_symbol : members[k]) {
      const Placed& p = *placed_symbol;
      if (region_sum[p.region] == 0) object_regions.push_back({p.region, 0});
      region_sum[p.region] += p.size;
    }
    for (RegionBytes& rb : object_regions) {
      rb.bytes = region_sum[rb.region];
      region_sum[rb.region] = 0;
    }
    // Region names are distinct within one object: the order is total.
    std::sort(object_regions.begin(), object_regions.end(), [&](const RegionBytes& a, const RegionBytes& b) {
      if (a.bytes != b.bytes) return a.bytes > b.bytes;
      return regions.name(b.region) < regions.name(a.region);
    });
    for (const RegionBytes& rb : object_regions) {
      if (rb.bytes <= 0) continue;
      const std::string_view region_name = regions.name(rb.region);
      // A region shared by several objects shows the largest per-object count.
      size_t rnode = table.upsert(rel::prefixed("region::", region_name), region_name, "memory_region", 2, rb.bytes);
      links.push_back({onode, rnode, rb.bytes, "object_to_region"});
    }
  }

  // Symbol nodes: the position suffix keeps equal names in one object apart; skipped
  // entries still consume their position.
  std::string id;
  for (size_t pos = 0; pos < candidates.size(); ++pos) {
    const Candidate& c = candidates[pos];
    const std::string_view object_name = objects.name(c.object);
    const size_t* onode = table.find(rel::prefixed("object::", object_name));
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

  // Link capping: the heaviest links survive. Node ids compare as their ranks, and
  // the position keeps equal keys in their given order.
  const std::vector<Node>& nodes = table.nodes();
  std::vector<uint32_t> id_rank(nodes.size());
  {
    std::vector<uint32_t> by_id(nodes.size());
    for (uint32_t i = 0; i < by_id.size(); ++i) by_id[i] = i;
    std::sort(by_id.begin(), by_id.end(), [&](uint32_t a, uint32_t b) { return nodes[a].id < nodes[b].id; });
    for (uint32_t r = 0; r < by_id.size(); ++r) id_rank[by_id[r]] = r;
  }
  const size_t total_links = links.size();
  for (size_t i = 0; i < links.size(); ++i) links[i].pos = i;
  auto heavier = [&](const Link& a, const Link& b) {
    if (a.value != b.value) return a.value > b.value;
    if (a.source != b.source) return id_rank[b.source] < id_rank[a.source];
    if (a.target != b.target) return id_rank[b.target] < id_rank[a.target];
    return a.pos < b.pos;
  };
  const size_t link_limit = static_cast<size_t>(MAX_GRAPH_LINKS);
  if (links.size() > link_limit) {
    std::nth_element(links.begin(), links.begin() + static_cast<ptrdiff_t>(link_limit), links.end(), heavier);
    links.resize(link_limit);
  }
  std::sort(links.begin(), links.end(), heavier);

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
  std::sort(rendered.begin(), rendered.end(), [&](size_t a, size_t b) {
    const Node& x = nodes[a];
    const Node& y = nodes[b];
    if (x.rank != y.rank) return x.rank < y.rank;
    if (x.value != y.value) return x.value > y.value;
    if (x.display != y.display) return x.display < y.display;
    return a < b;
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
  const bool truncated = objects.size() > static_cast<size_t>(MAX_GRAPH_OBJECT_NODES) ||
                         candidates.size() >= static_cast<size_t>(MAX_GRAPH_SYMBOL_NODES) ||
                         total_links > static_cast<size_t>(MAX_GRAPH_LINKS);
  Value stats = Value::map(6);
  stats.add("objects_count", Value(static_cast<long long>(objects.size())));
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

}  // namespace

Value build_relationship_graph_view(const Model& model, const OrderedIndex<Value>& section_to_region,
                                    const std::vector<Component>& components) {
  const OrderedIndex<std::string_view> owner = object_components(components);
  SymbolPass pass(model, section_to_region);
  for (size_t i = 0; i < model.symbols.size(); ++i) {
    const int64_t size = rel::int_of(model.symbols[i].size);
    if (size > 0) pass.take(i, size);
  }
  return finish_graph(model, pass, owner);
}

namespace rel {

struct GraphBuild::State {
  State(const Model& m, const OrderedIndex<Value>& s2r, const std::vector<Component>& c)
      : model(m), components(c), pass(m, s2r) {}
  const Model& model;
  const std::vector<Component>& components;
  SymbolPass pass;
  std::exception_ptr failure;  // the first failure of the pass, raised by finish()

  static void take(void* self, size_t index, int64_t size) noexcept {
    State& st = *static_cast<State*>(self);
    if (st.failure) return;
    try {
      st.pass.take(index, size);
    } catch (...) {
      st.failure = std::current_exception();
    }
  }
};

GraphBuild::GraphBuild(const Model& model, const OrderedIndex<Value>& section_to_region,
                       const std::vector<Component>& components)
    : state_(std::make_unique<State>(model, section_to_region, components)) {}
GraphBuild::~GraphBuild() = default;

SymbolSink GraphBuild::sink() { return SymbolSink{state_.get(), &State::take}; }

Value GraphBuild::finish() {
  // The graph built on its own reads the components before its symbols.
  const OrderedIndex<std::string_view> owner = object_components(state_->components);
  if (state_->failure) std::rethrow_exception(state_->failure);
  return finish_graph(state_->model, state_->pass, owner);
}

}  // namespace rel

}  // namespace bv::plotspec
