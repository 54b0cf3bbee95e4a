#include "bindings/plotspec/read_records.hpp"

#include <iterator>

namespace bvpy::plotspec {

namespace {

// Reads the fields of many records of one class. For a class whose attributes are
// slots and whose lookup is the generic one, getattr always ends in the slot's own
// descriptor (a data descriptor wins over everything else), so the descriptors are
// looked up once and called directly. Any other record, or a class changed since
// (its version tag moves), goes through getattr.
template <size_t K>
class FieldReader {
 public:
  FieldReader(Call& c, const N (&names)[K]) : c_(c), names_(names) {}
  ~FieldReader() {
    for (PyObject* d : descr_) Py_XDECREF(d);
    Py_XDECREF(reinterpret_cast<PyObject*>(type_));
  }
  FieldReader(const FieldReader&) = delete;
  FieldReader& operator=(const FieldReader&) = delete;

  void start(PyObject* o) {
    PyTypeObject* t = Py_TYPE(o);
    fast_ = t == type_ && type_->tp_version_tag == tag_ && tag_ != 0;
    if (fast_ || tried_) return;
    tried_ = true;
    if (t->tp_getattro != PyObject_GenericGetAttr) return;
    for (size_t i = 0; i < K; ++i) {
      PyObject* d = PyObject_GetAttr(reinterpret_cast<PyObject*>(t), c_.name(names_[i]));
      if (!d) {
        PyErr_Clear();
        return;
      }
      descr_[i] = d;
      if (!Py_IS_TYPE(d, &PyMemberDescr_Type) ||
          !PyType_IsSubtype(t, reinterpret_cast<PyDescrObject*>(d)->d_type))
        return;
    }
    type_ = reinterpret_cast<PyTypeObject*>(Py_NewRef(reinterpret_cast<PyObject*>(t)));
    tag_ = t->tp_version_tag;
    fast_ = tag_ != 0;
  }

  bv::Value get(PyObject* o, size_t i) {
    if (fast_) return c_.take(Py_TYPE(descr_[i])->tp_descr_get(descr_[i], o, reinterpret_cast<PyObject*>(type_)));
    return c_.attr(o, names_[i]);
  }

 private:
  Call& c_;
  const N (&names_)[K];
  PyObject* descr_[K] = {};
  PyTypeObject* type_ = nullptr;
  unsigned tag_ = 0;
  bool tried_ = false, fast_ = false;
};

constexpr N kSymbolFields[] = {N::name,         N::demangled_name, N::address,
                               N::size,         N::section_name,   N::object_file,
                               N::archive,      N::source_file,    N::compilation_unit};
using SymbolReader = FieldReader<std::size(kSymbolFields)>;

// Fills a record in place: a model's records are written once, straight into the
// array that holds them.
void fill_symbol(SymbolReader& r, PyObject* o, unsigned f, ps::Symbol& s) {
  r.start(o);
  s.obj = o;
  if (f & kSymName) s.name = r.get(o, 0);
  if (f & kSymDemangled) s.demangled_name = r.get(o, 1);
  if (f & kSymAddress) s.address = r.get(o, 2);
  if (f & kSymSize) s.size = r.get(o, 3);
  if (f & kSymSection) s.section_name = r.get(o, 4);
  if (f & kSymObject) s.object_file = r.get(o, 5);
  if (f & kSymArchive) s.archive = r.get(o, 6);
  if (f & kSymSource) s.source_file = r.get(o, 7);
  if (f & kSymUnit) s.compilation_unit = r.get(o, 8);
}

unsigned field_count(unsigned fields) { return static_cast<unsigned>(__builtin_popcount(fields)); }

}  // namespace

ps::Symbol read_symbol(Call& c, PyObject* o, unsigned f) {
  ps::Symbol s;
  SymbolReader r(c, kSymbolFields);
  fill_symbol(r, o, f, s);
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
  bv::advise_huge_pages(out.data(), out.capacity() * sizeof(ps::Symbol));
  c.expect_refs(items.size() * field_count(fields));
  SymbolReader r(c, kSymbolFields);
  for (PyObject* item : items) fill_symbol(r, item, fields, out.emplace_back());
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

std::vector<std::pair<PyObject*, PyObject*>> lookup_items(Call& c, PyObject* mapping) {
  if (!PyDict_Check(mapping) && !has_attr(mapping, c.name(N::get))) {
    PyErr_Format(PyExc_AttributeError, "'%s' object has no attribute 'get'", Py_TYPE(mapping)->tp_name);
    throw PyErrorSet{};
  }
  return c.items(mapping);
}

}  // namespace bvpy::plotspec
