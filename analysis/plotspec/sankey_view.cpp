// The Sankey view: bytes flowing from input sections to output sections to memory
// regions, cut to the largest flows so that a renderer stays responsive.
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

struct Flow {
  uint32_t from, to;
  int64_t bytes;
};

// Flows keyed by a (from, to) pair of name ids, in first-use order.
class FlowTable {
 public:
  uint32_t id(uint32_t from, uint32_t to) {
    auto [it, fresh] = pos_.try_emplace(rel::pair_key(from, to), static_cast<uint32_t>(flows_.size()));
    if (fresh) flows_.push_back({from, to, 0});
    return it->second;
  }
  void add(uint32_t id, int64_t n) { rel::add_checked(flows_[id].bytes, n); }
  const std::vector<Flow>& flows() const { return flows_; }
  bool empty() const { return flows_.empty(); }

 private:
  std::vector<Flow> flows_;
  std::unordered_map<uint64_t, uint32_t> pos_;
};

// Where one (input, output, region) triple adds its bytes: resolved once per
// distinct triple, then every further byte count is five array additions.
struct Slot {
  uint32_t input, output, region, in_out, out_region;
};

struct Accumulators {
  NameTable inputs, outputs, regions;
  FlowTable in_out, out_region;

  Slot slot(std::string_view input, std::string_view output, std::string_view region) {
    Slot s;
    s.input = inputs.id(input);
    s.output = outputs.id(output);
    s.region = regions.id(region);
    s.in_out = in_out.id(s.input, s.output);
    s.out_region = out_region.id(s.output, s.region);
    return s;
  }
  void add(const Slot& s, int64_t size) {
    in_out.add(s.in_out, size);
    out_region.add(s.out_region, size);
    inputs.add(s.input, size);
    outputs.add(s.output, size);
    regions.add(s.region, size);
  }
};

// Each symbol is both the input and the output of its own section's flow.
void accumulate_symbols(Accumulators& acc, const std::vector<Symbol>& symbols,
                        const OrderedIndex<Value>& section_to_region, const rel::SymbolSink* also) {
  // The symbols of one section share its text object, so a section's slot is found
  // by where its text lies; its text is stripped and looked up once per place.
  constexpr uint32_t kBlank = UINT32_MAX - 1;  // a text that strips to nothing
  PlaceIndex places;
  std::vector<Slot> slots;
  for (size_t i = 0; i < symbols.size(); ++i) {
    const Symbol& sym = symbols[i];
    // The records are far larger than what is read of them: ask for the fields a
    // few records ahead (the graph's pass reads up to the archive).
    if (i + 6 < symbols.size()) {
      __builtin_prefetch(&symbols[i + 6].size);
      __builtin_prefetch(&symbols[i + 6].archive);
    }
    const int64_t size = rel::int_of(sym.size);
    if (size <= 0) continue;
    const Value& name = sym.section_name;
    if (!name.is_str()) {
      rel::stripped_or_empty(name, "section_name");  // false values read as "": skipped; the rest raise
      if (also) also->take(also->state, i, size);
      continue;
    }
    uint32_t at = places.find(name.str());
    if (at == PlaceIndex::kMiss) {
      std::string_view section = py_strip(name.str());
      if (section.empty()) {
        at = kBlank;
      } else {
        at = static_cast<uint32_t>(slots.size());
        slots.push_back(acc.slot(section, section, rel::region_of_section(section_to_region, section)));
      }
      places.put(name.str(), at);
    }
    if (also) also->take(also->state, i, size);
    if (at != kBlank) acc.add(slots[at], size);
  }
}

struct SectionKey {
  Value k[2];  // (name, vma)
  const Section* section;
};

bool section_key_lt(const SectionKey& a, const SectionKey& b) {
  if (a.k[0].is_str() && b.k[0].is_str() && a.k[1].is_int() && b.k[1].is_int()) {
    if (a.k[0].str() != b.k[0].str()) return a.k[0].str() < b.k[0].str();
    return a.k[1].as_int() < b.k[1].as_int();
  }
  return py_lt_seq(a.k, b.k, 2);
}

// Without symbol flows, whole sections flow from their load region (the input
// column then shows load regions) into their execution region.
void accumulate_sections(Accumulators& acc, const OrderedIndex<const Section*>& section_map) {
  std::vector<SectionKey> order;
  order.reserve(section_map.size());
  for (const auto& entry : section_map.entries()) order.push_back({{entry.second->name, entry.second->vma}, entry.second});
  std::stable_sort(order.begin(), order.end(), section_key_lt);
  for (const SectionKey& key : order) {
    const Section& sec = *key.section;
    int64_t size = py_int(sec.size);
    if (size <= 0) continue;
    std::string_view output = rel::stripped_or_empty(sec.name, "section name");
    if (output.empty()) output = "unnamed-output-section";
    std::string_view input =
        rel::first_true_stripped({&sec.load_region, &sec.name}, "unknown-input-section", "load_region");
    std::string_view region = rel::stripped_or_empty(sec.execution_region, "execution_region");
    if (region.empty()) region = rel::kUnassignedRegion;
    acc.add(acc.slot(input, output, region), size);
  }
}

struct Link {
  uint32_t from, to;
  int64_t bytes;
  bool to_region;  // output -> region, else input -> output
};

Value node_map(std::string_view prefix, std::string_view name, const char* kind, int64_t bytes) {
  std::string id = rel::prefixed(prefix, name);
  Value node = Value::map(5);
  node.add("id", Value(id));
  node.add("name", Value(std::move(id)));
  node.add("display_name", Value(name));
  node.add("kind", Value::static_str(kind));
  node.add("value_bytes", Value(static_cast<long long>(bytes)));
  return node;
}

// The used ids of one column, smallest first (names are distinct within a column,
// so ascending (bytes, name) is a total order).
std::vector<uint32_t> column_ascending(const NameTable& table, const std::vector<bool>& used) {
  std::vector<uint32_t> ids;
  for (uint32_t i = 0; i < table.size(); ++i)
    if (used[i]) ids.push_back(i);
  std::sort(ids.begin(), ids.end(), [&](uint32_t a, uint32_t b) {
    if (table.bytes(a) != table.bytes(b)) return table.bytes(a) < table.bytes(b);
    return table.name(a) < table.name(b);
  });
  return ids;
}

std::vector<bool> first_ranked(const NameTable& table, int64_t limit) {
  std::vector<bool> included(table.size(), false);
  for (uint32_t id : table.top_desc(static_cast<size_t>(limit))) included[id] = true;
  return included;
}

}  // namespace

namespace rel {

Value build_sankey_view_from(const Model& model, const SectionMapSource& section_map,
                             const OrderedIndex<Value>& section_to_region, const SymbolSink* also) {
  Accumulators acc;
  accumulate_symbols(acc, model.symbols, section_to_region, also);
  const char* basis = "symbols";
  if (acc.in_out.empty() && acc.out_region.empty()) {
    basis = "sections";
    accumulate_sections(acc, section_map());
  }

  std::vector<bool> in_included = first_ranked(acc.inputs, MAX_SANKEY_INPUT_NODES);
  std::vector<bool> out_included = first_ranked(acc.outputs, MAX_SANKEY_OUTPUT_NODES);

  // Every link key (bytes, source, target) is distinct, so ordering the flows of
  // each kind first would not change the final order: one sort of all links does,
  // and only the kept ones need their place among themselves.
  std::vector<Link> links;
  links.reserve(acc.in_out.flows().size() + acc.out_region.flows().size());
  for (const Flow& f : acc.in_out.flows()) {
    if (f.bytes <= 0 || !in_included[f.from] || !out_included[f.to]) continue;
    links.push_back({f.from, f.to, f.bytes, false});
  }
  for (const Flow& f : acc.out_region.flows()) {
    if (f.bytes <= 0 || !out_included[f.from]) continue;
    links.push_back({f.from, f.to, f.bytes, true});
  }
  // Descending by (bytes, source id, target id), without making the ids: an
  // "output::" source sorts above every "input::" one, and equal prefixes leave
  // the names to decide.
  auto heavier = [&](const Link& a, const Link& b) {
    if (a.bytes != b.bytes) return a.bytes > b.bytes;
    if (a.to_region != b.to_region) return a.to_region;
    const NameTable& sources = a.to_region ? acc.outputs : acc.inputs;
    const NameTable& targets = a.to_region ? acc.regions : acc.outputs;
    if (a.from != b.from) return sources.name(b.from) < sources.name(a.from);
    return targets.name(b.to) < targets.name(a.to);
  };
  const size_t links_count = links.size();
  if (links.size() > static_cast<size_t>(MAX_SANKEY_LINKS)) {
    std::nth_element(links.begin(), links.begin() + MAX_SANKEY_LINKS, links.end(), heavier);
    links.resize(static_cast<size_t>(MAX_SANKEY_LINKS));
  }
  std::sort(links.begin(), links.end(), heavier);

  std::vector<bool> used_in(acc.inputs.size(), false), used_out(acc.outputs.size(), false),
      used_region(acc.regions.size(), false);
  Value link_list = Value::list(links.size());
  for (const Link& l : links) {
    if (l.to_region) {
      used_out[l.from] = true;
      used_region[l.to] = true;
    } else {
      used_in[l.from] = true;
      used_out[l.to] = true;
    }
    Value link = Value::map(6);
    if (l.to_region) {
      link.add("source", Value(rel::prefixed("output::", acc.outputs.name(l.from))));
      link.add("target", Value(rel::prefixed("region::", acc.regions.name(l.to))));
    } else {
      link.add("source", Value(rel::prefixed("input::", acc.inputs.name(l.from))));
      link.add("target", Value(rel::prefixed("output::", acc.outputs.name(l.to))));
    }
    link.add("value", Value(static_cast<long long>(l.bytes)));
    link.add("value_bytes", Value(static_cast<long long>(l.bytes)));
    link.add("value_kib", Value(static_cast<double>(l.bytes) / 1024.0));
    link.add("kind", Value::static_str(l.to_region ? "output_to_region" : "input_to_output"));
    link_list.push(std::move(link));
  }

  // Columns in flow order (inputs, outputs, regions); within a column the smallest
  // node first, so a renderer stacks the large nodes at the bottom.
  const std::vector<uint32_t> in_nodes = column_ascending(acc.inputs, used_in);
  const std::vector<uint32_t> out_nodes = column_ascending(acc.outputs, used_out);
  const std::vector<uint32_t> region_nodes = column_ascending(acc.regions, used_region);
  Value nodes = Value::list(in_nodes.size() + out_nodes.size() + region_nodes.size());
  for (uint32_t id : in_nodes)
    nodes.push(node_map("input::", acc.inputs.name(id), "input_section", acc.inputs.bytes(id)));
  for (uint32_t id : out_nodes)
    nodes.push(node_map("output::", acc.outputs.name(id), "output_section", acc.outputs.bytes(id)));
  for (uint32_t id : region_nodes)
    nodes.push(node_map("region::", acc.regions.name(id), "memory_region", acc.regions.bytes(id)));

  const bool truncated = acc.inputs.size() > static_cast<size_t>(MAX_SANKEY_INPUT_NODES) ||
                         acc.outputs.size() > static_cast<size_t>(MAX_SANKEY_OUTPUT_NODES) ||
                         links_count > static_cast<size_t>(MAX_SANKEY_LINKS);
  Value stats = Value::map(6);
  stats.add("inputs_count", Value(static_cast<long long>(acc.inputs.size())));
  stats.add("outputs_count", Value(static_cast<long long>(acc.outputs.size())));
  stats.add("regions_count", Value(static_cast<long long>(acc.regions.size())));
  stats.add("links_count", Value(static_cast<long long>(links_count)));
  stats.add("rendered_nodes_count", Value(static_cast<long long>(nodes.size())));
  stats.add("rendered_links_count", Value(static_cast<long long>(link_list.size())));

  Value view = Value::map(5);
  view.add("nodes", std::move(nodes));
  view.add("links", std::move(link_list));
  view.add("source_basis", Value::static_str(basis));
  view.add("truncated", Value(truncated));
  view.add("stats", std::move(stats));
  return view;
}

}  // namespace rel

Value build_sankey_view(const Model& model, const OrderedIndex<const Section*>& section_map,
                        const OrderedIndex<Value>& section_to_region) {
  return rel::build_sankey_view_from(
      model, [&]() -> const OrderedIndex<const Section*>& { return section_map; }, section_to_region);
}

}  // namespace bv::plotspec
