// Python entry points of the relationship views (Sankey view and relationship graph).
#include "analysis/plotspec/plotspec.hpp"
#include "analysis/plotspec/relationship_common.hpp"
#include "bindings/plotspec/methods.hpp"
#include "bindings/plotspec/read_records.hpp"

namespace bvpy::plotspec {

namespace {

// The symbol fields each view reads.
constexpr unsigned kSankeySymbolFields = kSymSize | kSymSection;
constexpr unsigned kGraphSymbolFields =
    kSymSize | kSymObject | kSymArchive | kSymUnit | kSymSource | kSymSection | kSymDemangled | kSymName;
// The section fields the Sankey fallback reads.
constexpr unsigned kFallbackSectionFields = kSecName | kSecVma | kSecSize | kSecLoad | kSecExec;

ps::Model read_model_symbols(Call& c, PyObject* model, unsigned fields) {
  ps::Model m;
  m.symbols = read_symbols(c, c.attr_obj(model, N::symbols), fields);
  return m;
}

ps::OrderedIndex<bv::Value> read_section_to_region(Call& c, PyObject* mapping) {
  const auto items = lookup_items(c, mapping);
  ps::OrderedIndex<bv::Value> out;
  out.reserve(items.size());
  for (const auto& [key, value] : items) out[ps::section_key(c.shallow(key))] = c.shallow(value);
  return out;
}

// section_map, read only when the Sankey fallback asks for it.
class LazySectionMap {
 public:
  LazySectionMap(Call& c, PyObject* mapping) : c_(c), mapping_(mapping) {}
  const ps::OrderedIndex<const ps::Section*>& get() {
    if (read_) return index_;
    const auto items = lookup_items(c_, mapping_);
    sections_.reserve(items.size());  // no reallocation: the index points into it
    index_.reserve(items.size());
    for (const auto& [key, value] : items) {
      bv::Value k = c_.shallow(key);
      sections_.push_back(read_section(c_, value, kFallbackSectionFields));
      index_[ps::section_key(k)] = &sections_.back();
    }
    read_ = true;
    return index_;
  }
  ps::rel::SectionMapSource source() {
    return [this]() -> const ps::OrderedIndex<const ps::Section*>& { return get(); };
  }

 private:
  Call& c_;
  PyObject* mapping_;
  bool read_ = false;
  std::vector<ps::Section> sections_;
  ps::OrderedIndex<const ps::Section*> index_;
};

// Only the two fields the graph reads of a component group.
std::vector<ps::Component> read_component_names(Call& c, PyObject* seq) {
  std::vector<PyObject*> items = c.sequence(seq);
  std::vector<ps::Component> out;
  out.reserve(items.size());
  for (PyObject* item : items) {
    ps::Component comp;
    comp.obj = item;
    comp.name = c.attr(item, N::name);
    std::vector<PyObject*> objects = c.sequence(c.attr_obj(item, N::objects));
    comp.objects = bv::Value::list(objects.size());
    for (PyObject* o : objects) comp.objects.push(c.shallow(o));
    out.push_back(std::move(comp));
  }
  return out;
}

// feature_flags.get(name, False), tested for truth with the host's own rules.
bool read_flag(Call& c, PyObject* flags, const char* name) {
  PyObject* v = c.map_get(flags, name);
  if (!v) return false;
  int on = PyObject_IsTrue(v);
  if (on < 0) throw PyErrorSet{};
  return on != 0;
}

const ArgSpec kViewsSpec{"_build_relationship_views",
                         {"model", "section_map", "section_to_region", "components", "feature_flags"},
                         0,
                         0,
                         {true, true, true, true, true}};
const ArgSpec kSankeySpec{"_build_sankey_view", {"model", "section_map", "section_to_region"}, 0, 0, {true, true, true}};
const ArgSpec kGraphSpec{"_build_relationship_graph_view",
                         {"model", "section_to_region", "components"},
                         0,
                         0,
                         {true, true, true}};

PyObject* py_build_relationship_views(PyObject* m, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    PyObject* a[5];
    bind_args(kViewsSpec, args, nargs, kw, a);
    Call c(m);
    const bool sankey = read_flag(c, a[4], "sankey_enabled");
    const bool graph = read_flag(c, a[4], "relationship_graph_enabled");
    if (!sankey && !graph) return result(bv::Value::map());
    unsigned fields = (sankey ? kSankeySymbolFields : 0u) | (graph ? kGraphSymbolFields : 0u);
    ps::Model model = read_model_symbols(c, a[0], fields);
    ps::OrderedIndex<bv::Value> to_region = read_section_to_region(c, a[2]);
    std::vector<ps::Component> components = graph ? read_component_names(c, a[3]) : std::vector<ps::Component>{};
    LazySectionMap sections(c, a[1]);
    return result(ps::rel::build_relationship_views_from(model, sections.source(), to_region, components, sankey,
                                                         graph));
  });
}

PyObject* py_build_sankey_view(PyObject* m, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    PyObject* a[3];
    bind_args(kSankeySpec, args, nargs, kw, a);
    Call c(m);
    ps::Model model = read_model_symbols(c, a[0], kSankeySymbolFields);
    ps::OrderedIndex<bv::Value> to_region = read_section_to_region(c, a[2]);
    LazySectionMap sections(c, a[1]);
    return result(ps::rel::build_sankey_view_from(model, sections.source(), to_region));
  });
}

PyObject* py_build_relationship_graph_view(PyObject* m, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    PyObject* a[3];
    bind_args(kGraphSpec, args, nargs, kw, a);
    Call c(m);
    ps::Model model = read_model_symbols(c, a[0], kGraphSymbolFields);
    ps::OrderedIndex<bv::Value> to_region = read_section_to_region(c, a[1]);
    std::vector<ps::Component> components = read_component_names(c, a[2]);
    return result(ps::build_relationship_graph_view(model, to_region, components));
  });
}

PyMethodDef kMethods[] = {
    {"_build_relationship_views", BV_FASTCALL(py_build_relationship_views),
     "_build_relationship_views(*, model, section_map, section_to_region, components, feature_flags)\n--\n\n"
     "The relationships map: \"sankey\" and \"graph\", each only when its flag is on."},
    {"_build_sankey_view", BV_FASTCALL(py_build_sankey_view),
     "_build_sankey_view(*, model, section_map, section_to_region)\n--\n\n"
     "Input section -> output section -> region byte flows, cut to the largest."},
    {"_build_relationship_graph_view", BV_FASTCALL(py_build_relationship_graph_view),
     "_build_relationship_graph_view(*, model, section_to_region, components)\n--\n\n"
     "The component / object / region / symbol graph, cut to the largest."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

PyMethodDef* relationship_methods() { return kMethods; }

}  // namespace bvpy::plotspec
