#include "bindings/plotspec/read_records.hpp"

namespace bvpy::plotspec {

ps::Symbol read_symbol(Call& c, PyObject* o, unsigned f) {
  ps::Symbol s;
  s.obj = o;
  if (f & kSymName) s.name = c.attr(o, N::name);
  if (f & kSymDemangled) s.demangled_name = c.attr(o, N::demangled_name);
  if (f & kSymAddress) s.address = c.attr(o, N::address);
  if (f & kSymSize) s.size = c.attr(o, N::size);
  if (f & kSymSection) s.section_name = c.attr(o, N::section_name);
  if (f & kSymObject) s.object_file = c.attr(o, N::object_file);
  if (f & kSymArchive) s.archive = c.attr(o, N::archive);
  if (f & kSymSource) s.source_file = c.attr(o, N::source_file);
  if (f & kSymUnit) s.compilation_unit = c.attr(o, N::compilation_unit);
  return s;
}

ps::Section read_section(Call& c, PyObject* o, unsigned f) {
  ps::Section s;
  s.obj = o;
  if (f & kSecName) s.name = c.attr(o, N::name);
  if (f & kSecExec) s.execution_region = c.attr(o, N::execution_region);
  if (f & kSecLoad) s.load_region = c.attr(o, N::load_region);
  if (f & kSecVma) s.vma = c.attr(o, N::vma);
  if (f & kSecLma) s.lma = c.attr(o, N::lma);
  if (f & kSecSize) s.size = c.attr(o, N::size);
  if (f & kSecPadBefore) s.padding_before = c.attr(o, N::padding_before);
  if (f & kSecPadAfter) s.padding_after = c.attr(o, N::padding_after);
  return s;
}

ps::Region read_region(Call& c, PyObject* o, unsigned f) {
  ps::Region r;
  r.obj = o;
  if (f & kRegName) r.name = c.attr(o, N::name);
  if (f & kRegStart) r.start_address = c.attr(o, N::start_address);
  if (f & kRegEnd) r.end_address = c.attr(o, N::end_address);
  if (f & kRegSize) r.size = c.attr(o, N::size);
  if (f & kRegCategory) r.category = c.shallow(c.attr_obj(c.attr_obj(o, N::category), N::value));
  return r;
}

namespace {

bv::Value shallow_list(Call& c, PyObject* seq) {
  std::vector<PyObject*> items = c.sequence(seq);
  bv::Value list = bv::Value::list(items.size());
  for (PyObject* item : items) list.push(c.shallow(item));
  return list;
}

}  // namespace

ps::Component read_component(Call& c, PyObject* o) {
  ps::Component comp;
  comp.obj = o;
  comp.name = c.attr(o, N::name);
  comp.objects = shallow_list(c, c.attr_obj(o, N::objects));
  comp.total_flash = c.attr(o, N::total_flash);
  comp.total_ram = c.attr(o, N::total_ram);
  Py_ssize_t n = PyObject_Size(c.attr_obj(o, N::symbols));
  if (n < 0) throw PyErrorSet{};
  comp.symbols_count = n;
  return comp;
}

ps::Issue read_issue(Call& c, PyObject* o, bool full) {
  ps::Issue is;
  is.obj = o;
  is.id = c.attr(o, N::id);
  if (!full) {
    is.affected_entities = shallow_list(c, c.attr_obj(o, N::affected_entities));
    return is;
  }
  is.title = c.attr(o, N::title);
  is.description = c.attr(o, N::description);
  is.severity = c.shallow(c.attr_obj(c.attr_obj(o, N::severity), N::value));
  PyObject* category = c.attr_obj(o, N::category);
  is.category = c.shallow(c.attr_obj(category, N::value));
  is.affected_entities = shallow_list(c, c.attr_obj(o, N::affected_entities));
  // The policy categories are members of the category's own enumeration.
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(category));
  for (N member : {N::POLICY, N::RESERVED, N::OVERFLOW}) {
    PyObject* m = PyObject_GetAttr(type, c.name(member));
    if (!m) {
      if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyErrorSet{};
      PyErr_Clear();
      continue;
    }
    int eq = PyObject_RichCompareBool(category, m, Py_EQ);
    Py_DECREF(m);
    if (eq < 0) throw PyErrorSet{};
    if (eq) {
      is.is_policy_violation = true;
      break;
    }
  }
  return is;
}

ps::Usage read_usage(Call& c, PyObject* o) {
  ps::Usage u;
  u.obj = o;
  u.used_bytes = c.attr(o, N::used_bytes);
  u.free_bytes = c.attr(o, N::free_bytes);
  u.overflow_bytes = c.attr(o, N::overflow_bytes);
  u.utilization_ratio = c.attr(o, N::utilization_ratio);
  return u;
}

std::vector<ps::Symbol> read_symbols(Call& c, PyObject* seq, unsigned fields) {
  std::vector<PyObject*> items = c.sequence(seq);
  std::vector<ps::Symbol> out;
  out.reserve(items.size());
  for (PyObject* item : items) out.push_back(read_symbol(c, item, fields));
  return out;
}

std::vector<ps::Section> read_sections(Call& c, PyObject* seq, unsigned fields) {
  std::vector<PyObject*> items = c.sequence(seq);
  std::vector<ps::Section> out;
  out.reserve(items.size());
  for (PyObject* item : items) out.push_back(read_section(c, item, fields));
  return out;
}

std::vector<ps::Component> read_components(Call& c, PyObject* seq) {
  std::vector<PyObject*> items = c.sequence(seq);
  std::vector<ps::Component> out;
  out.reserve(items.size());
  for (PyObject* item : items) out.push_back(read_component(c, item));
  return out;
}

std::vector<ps::Issue> read_issues(Call& c, PyObject* seq, bool full) {
  std::vector<PyObject*> items = c.sequence(seq);
  std::vector<ps::Issue> out;
  out.reserve(items.size());
  for (PyObject* item : items) out.push_back(read_issue(c, item, full));
  return out;
}

bv::Value read_stack_heap_hints(Call& c, PyObject* hints) {
  bool mapping = PyDict_Check(hints);
  if (!mapping) {
    mapping = has_attr(hints, c.name(N::get));
  }
  if (!mapping) return c.shallow(hints);
  bv::Value out = bv::Value::map(2);
  for (const char* key : {"stack_sections", "heap_sections"}) {
    PyObject* v = c.map_get(hints, key);
    if (!v) continue;
    // A hint list that is not a list is read as the host would iterate it.
    out.add(bv::Value::static_str(key), shallow_list(c, v));
  }
  return out;
}

ps::Model read_model(Call& c, PyObject* model) {
  ps::Model m;
  m.sections = read_sections(c, c.attr_obj(model, N::sections));
  m.symbols = read_symbols(c, c.attr_obj(model, N::symbols));
  std::vector<PyObject*> regions = c.sequence(c.attr_obj(model, N::memory_regions));
  m.regions.reserve(regions.size());
  for (PyObject* r : regions) m.regions.push_back(read_region(c, r));
  m.stack_heap_hints = read_stack_heap_hints(c, c.attr_obj(model, N::stack_heap_hints));
  return m;
}

namespace {

// The named keys of each entry of a {name: {...}} map; entries that are not dicts
// stay as they are (the core skips them).
bv::Value read_entry_map(Call& c, PyObject* m, std::initializer_list<const char*> keys) {
  if (!PyDict_Check(m)) return c.shallow(m);
  PyObject* items = c.keep(check(PyDict_Items(m)));
  Py_ssize_t n = PyList_GET_SIZE(items);
  bv::Value out = bv::Value::map(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* kv = PyList_GET_ITEM(items, i);
    PyObject* k = PyTuple_GET_ITEM(kv, 0);
    PyObject* v = PyTuple_GET_ITEM(kv, 1);
    bv::Value entry;
    if (PyDict_Check(v)) {
      entry = bv::Value::map(keys.size());
      for (const char* key : keys) {
        PyObject* x = c.map_get(v, key);
        if (x) entry.add(bv::Value::static_str(key), c.shallow(x));
      }
    } else {
      entry = c.shallow(v);
    }
    out.add(c.shallow(k), std::move(entry));
  }
  return out;
}

}  // namespace

bv::Value read_regressions(Call& c, PyObject* regressions) {
  if (!PyDict_Check(regressions)) {
    if (!has_attr(regressions, c.name(N::get))) {
      PyErr_Format(PyExc_AttributeError, "'%s' object has no attribute 'get'", Py_TYPE(regressions)->tp_name);
      throw PyErrorSet{};
    }
  }
  // The comparison's figures are printed or turned into doubles, which works for
  // integers of any size; only the byte deltas must fit in 64 bits, and they say so
  // where they are converted.
  bool big_before = c.big_ints_allowed();
  c.allow_big_ints(true);
  bv::Value out = bv::Value::map(5);
  for (const char* key : {"status", "flash_delta_bytes", "ram_delta_bytes"}) {
    PyObject* v = c.map_get(regressions, key);
    if (v) out.add(bv::Value::static_str(key), c.shallow(v));
  }
  if (PyObject* sections = c.map_get(regressions, "sections"))
    out.add("sections", read_entry_map(c, sections, {"delta_bytes"}));
  if (PyObject* regions = c.map_get(regressions, "regions"))
    out.add("regions", read_entry_map(c, regions, {"current", "baseline", "delta"}));
  c.allow_big_ints(big_before);
  return out;
}

bv::Value read_features(Call& c, PyObject* features) {
  if (!features || !PyDict_Check(features)) return bv::Value();
  bv::Value out = bv::Value::map(2);
  for (const char* key : {"sankey_enabled", "relationship_graph_enabled"}) {
    // Only a real boolean enables a view: anything else (of any size or type) is
    // kept as a non-boolean marker.
    PyObject* v = c.map_get(features, key);
    if (v) out.add(bv::Value::static_str(key), PyBool_Check(v) ? bv::Value(v == Py_True) : bv::Value());
  }
  return out;
}

PyObject* result(bv::Value&& v) { return to_python(v); }

}  // namespace bvpy::plotspec
