// The contract's "relationships" map: each relationship view only when its flag is on.
#include "analysis/plotspec/plotspec.hpp"
#include "analysis/plotspec/relationship_common.hpp"

namespace bv::plotspec {

namespace rel {

Value build_relationship_views_from(const Model& model, const SectionMapSource& section_map,
                                    const OrderedIndex<Value>& section_to_region,
                                    const std::vector<Component>& components, bool sankey_enabled,
                                    bool graph_enabled) {
  Value views = Value::map(2);
  if (sankey_enabled && graph_enabled) {
    // One read of the symbols feeds both views; the Sankey view still comes first,
    // failures included.
    GraphBuild graph(model, section_to_region, components);
    const SymbolSink sink = graph.sink();
    views.add("sankey", build_sankey_view_from(model, section_map, section_to_region, &sink));
    views.add("graph", graph.finish());
    return views;
  }
  if (sankey_enabled) views.add("sankey", build_sankey_view_from(model, section_map, section_to_region));
  if (graph_enabled) views.add("graph", build_relationship_graph_view(model, section_to_region, components));
  return views;
}

}  // namespace rel

namespace {

// feature_flags.get(name, False), tested for truth.
bool flag_on(const Value& flags, std::string_view name) {
  if (!flags.is_map()) raise(ErrKind::Attribute, "'" + type_name(flags) + "' object has no attribute 'get'");
  const Value* v = flags.find(name);
  return v && truthy(*v);
}

}  // namespace

Value build_relationship_views(const Model& model, const OrderedIndex<const Section*>& section_map,
                               const OrderedIndex<Value>& section_to_region, const std::vector<Component>& components,
                               const Value& feature_flags) {
  const bool sankey = flag_on(feature_flags, "sankey_enabled");
  const bool graph = flag_on(feature_flags, "relationship_graph_enabled");
  return rel::build_relationship_views_from(
      model, [&]() -> const OrderedIndex<const Section*>& { return section_map; }, section_to_region, components,
      sankey, graph);
}

}  // namespace bv::plotspec
