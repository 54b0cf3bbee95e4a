// Python entry points of the ownership views and the diff view.
#include "analysis/plotspec/plotspec.hpp"
#include "bindings/plotspec/methods.hpp"
#include "bindings/plotspec/read_records.hpp"

namespace bvpy::plotspec {

namespace {

// Every symbol field the ownership views read (all but the address).
constexpr unsigned kOwnershipSymbolFields =
    kSymName | kSymDemangled | kSymSize | kSymSection | kSymObject | kSymArchive | kSymSource | kSymUnit;

const ArgSpec kOwnershipSpec{"_build_ownership_views",
                             {"symbols", "section_map", "section_to_region", "components"},
                             0,
                             0,
                             {true, true, true, true}};

PyObject* py_build_ownership_views(PyObject* m, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    PyObject* a[4];
    bind_args(kOwnershipSpec, args, nargs, kw, a);
    Call c(m);
    std::vector<ps::Symbol> symbols = read_symbols(c, a[0], kOwnershipSymbolFields);

    auto section_items = lookup_items(c, a[1]);
    std::vector<ps::Section> sections;
    sections.reserve(section_items.size());  // section_map points into it
    ps::OrderedIndex<const ps::Section*> section_map;
    section_map.reserve(section_items.size());
    for (auto& [key, value] : section_items) {
      const ps::Section* placed = nullptr;  // a None entry is found but holds no section
      if (value != Py_None) {
        sections.push_back(read_section(c, value, kSecName | kSecExec));
        placed = &sections.back();
      }
      section_map[ps::section_key(c.shallow(key))] = placed;
    }

    ps::OrderedIndex<bv::Value> section_to_region;
    auto region_items = lookup_items(c, a[2]);
    section_to_region.reserve(region_items.size());
    for (auto& [key, value] : region_items) section_to_region[ps::section_key(c.shallow(key))] = c.shallow(value);

    std::vector<ps::Component> components = read_components(c, a[3]);
    return result(ps::build_ownership_views(symbols, section_map, section_to_region, components));
  });
}

const ArgSpec kCategorySpec{"_category_for_ownership", {"region_name", "section"}, 0, 0, {true, true}};

PyObject* py_category_for_ownership(PyObject* m, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    PyObject* a[2];
    bind_args(kCategorySpec, args, nargs, kw, a);
    Call c(m);
    // The region name plays no part in the category: it is accepted, never read.
    const bv::Value region_name;
    if (a[1] == Py_None) return result(ps::category_for_ownership(region_name, nullptr));
    ps::Section section = read_section(c, a[1], kSecName | kSecExec);
    return result(ps::category_for_ownership(region_name, &section));
  });
}

const ArgSpec kDiffSpec{"_build_diff_view", {"regressions"}, 1, 1, {}};

// The delta byte counts default to 0 for every false value. The core sees other
// objects (an empty list, a caller's class with __bool__) only as opaque handles that
// count as true, so their truth is settled here, as the host would settle it.
void settle_false_deltas(bv::Value& regressions) {
  if (!regressions.is_map()) return;
  for (const char* key : {"flash_delta_bytes", "ram_delta_bytes"}) {
    bv::Value* v = regressions.find(key);
    if (!v || !v->is_opaque() || !v->src()) continue;
    int t = PyObject_IsTrue(static_cast<PyObject*>(const_cast<void*>(v->src())));
    if (t < 0) throw PyErrorSet{};
    if (t == 0) *v = bv::Value(false);
  }
}

PyObject* py_build_diff_view(PyObject* m, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    PyObject* a[1];
    bind_args(kDiffSpec, args, nargs, kw, a);
    Call c(m);
    bv::Value regressions = read_regressions(c, a[0]);
    settle_false_deltas(regressions);
    return result(ps::build_diff_view(regressions));
  });
}

PyMethodDef kMethods[] = {
    {"_build_ownership_views", BV_FASTCALL(py_build_ownership_views),
     "_build_ownership_views(*, symbols, section_map, section_to_region, components)\n--\n\n"
     "Component, object and symbol tables and the treemap hierarchy (a new dict)."},
    {"_category_for_ownership", BV_FASTCALL(py_category_for_ownership),
     "_category_for_ownership(*, region_name, section)\n--\n\n"
     "\"flash\", \"ram\" or \"other\" for a section (None gives \"other\")."},
    {"_build_diff_view", BV_FASTCALL(py_build_diff_view),
     "_build_diff_view(regressions)\n--\n\nThe per-region diff view of a baseline comparison (a new dict)."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

PyMethodDef* ownership_methods() { return kMethods; }

}  // namespace bvpy::plotspec
