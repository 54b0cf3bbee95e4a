// Python entry points of section classification, region layout, range payloads and
// render hints, and the _Interval type.
#include <deque>
#include <unordered_set>

#include "analysis/plotspec/constants.hpp"
#include "analysis/plotspec/layout_ops.hpp"
#include "analysis/plotspec/plotspec.hpp"
#include "bindings/plotspec/methods.hpp"
#include "bindings/plotspec/read_records.hpp"

namespace bvpy::plotspec {

namespace {

namespace lay = bv::plotspec::layout;

// ---- the _Interval type ----

struct IntervalObject {
  PyObject_HEAD
  PyObject* start;
  PyObject* end;
};

IntervalObject* as_interval(PyObject* o) { return reinterpret_cast<IntervalObject*>(o); }

#if PY_VERSION_HEX >= 0x030D0000
#define BV_LOCK(o) Py_BEGIN_CRITICAL_SECTION(o)
#define BV_UNLOCK() Py_END_CRITICAL_SECTION()
#else
#define BV_LOCK(o) {
#define BV_UNLOCK() }
#endif

// New references to both fields, read together.
void interval_fields(PyObject* self, PyObject** start, PyObject** end) {
  BV_LOCK(self);
  *start = Py_NewRef(as_interval(self)->start);
  *end = Py_NewRef(as_interval(self)->end);
  BV_UNLOCK();
}

// A new instance; steals both references.
PyObject* new_interval(PyTypeObject* type, PyObject* start, PyObject* end) {
  PyObject* self = type->tp_alloc(type, 0);
  if (!self) {
    Py_DECREF(start);
    Py_DECREF(end);
    return nullptr;
  }
  as_interval(self)->start = start;
  as_interval(self)->end = end;
  return self;
}

PyObject* interval_tp_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  static const char* kwlist[] = {"start", "end", nullptr};
  PyObject *start = nullptr, *end = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO:_Interval", const_cast<char**>(kwlist), &start, &end))
    return nullptr;
  return new_interval(type, Py_NewRef(start), Py_NewRef(end));
}

int interval_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(as_interval(self)->start);
  Py_VISIT(as_interval(self)->end);
  return 0;
}

int interval_clear(PyObject* self) {
  Py_CLEAR(as_interval(self)->start);
  Py_CLEAR(as_interval(self)->end);
  return 0;
}

void interval_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  interval_clear(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* interval_get(PyObject* self, void* which) {
  PyObject* out;
  BV_LOCK(self);
  out = Py_NewRef(which ? as_interval(self)->end : as_interval(self)->start);
  BV_UNLOCK();
  return out;
}

int interval_set(PyObject* self, PyObject* value, void* which) {
  if (!value) {
    PyErr_Format(PyExc_AttributeError, "cannot delete attribute '%s'", which ? "end" : "start");
    return -1;
  }
  PyObject* old;
  BV_LOCK(self);
  PyObject** field = which ? &as_interval(self)->end : &as_interval(self)->start;
  old = *field;
  *field = Py_NewRef(value);
  BV_UNLOCK();
  Py_DECREF(old);
  return 0;
}

// max(end - start + 1, 0), with the objects' own arithmetic.
PyObject* interval_size(PyObject* self, void*) {
  PyObject *start, *end;
  interval_fields(self, &start, &end);
  PyObject* one = PyLong_FromLong(1);
  PyObject* zero = PyLong_FromLong(0);
  PyObject* diff = one && zero ? PyNumber_Subtract(end, start) : nullptr;
  PyObject* size = diff ? PyNumber_Add(diff, one) : nullptr;
  PyObject* out = nullptr;
  if (size) {
    int below = PyObject_RichCompareBool(zero, size, Py_GT);
    if (below >= 0) out = Py_NewRef(below ? zero : size);
  }
  Py_XDECREF(size);
  Py_XDECREF(diff);
  Py_XDECREF(zero);
  Py_XDECREF(one);
  Py_DECREF(start);
  Py_DECREF(end);
  return out;
}

PyObject* interval_repr(PyObject* self) {
  PyObject *start, *end;
  interval_fields(self, &start, &end);
  PyObject* out = PyUnicode_FromFormat("_Interval(start=%R, end=%R)", start, end);
  Py_DECREF(start);
  Py_DECREF(end);
  return out;
}

// Equal to another _Interval with equal (start, end); anything else is not comparable here.
PyObject* interval_richcompare(PyObject* self, PyObject* other, int op) {
  if ((op != Py_EQ && op != Py_NE) || Py_TYPE(other) != Py_TYPE(self)) Py_RETURN_NOTIMPLEMENTED;
  PyObject *s0, *s1, *o0, *o1;
  interval_fields(self, &s0, &s1);
  interval_fields(other, &o0, &o1);
  PyObject* a = PyTuple_Pack(2, s0, s1);
  PyObject* b = PyTuple_Pack(2, o0, o1);
  PyObject* out = a && b ? PyObject_RichCompare(a, b, op) : nullptr;
  Py_XDECREF(a);
  Py_XDECREF(b);
  Py_DECREF(s0);
  Py_DECREF(s1);
  Py_DECREF(o0);
  Py_DECREF(o1);
  return out;
}

PyGetSetDef kIntervalGetSet[] = {
    {"start", interval_get, interval_set, "First address of the span (inclusive).", nullptr},
    {"end", interval_get, interval_set, "Last address of the span (inclusive).", reinterpret_cast<void*>(1)},
    {"size", interval_size, nullptr, "max(end - start + 1, 0)", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyType_Slot kIntervalSlots[] = {
    {Py_tp_doc, const_cast<char*>("_Interval(start, end)\n--\n\nA span of addresses, both bounds inclusive.")},
    {Py_tp_new, reinterpret_cast<void*>(interval_tp_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(interval_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(interval_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(interval_clear)},
    {Py_tp_getset, kIntervalGetSet},
    {Py_tp_repr, reinterpret_cast<void*>(interval_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(interval_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
    {0, nullptr}};

PyType_Spec kIntervalSpec = {"brenvale.plotspec._Interval", sizeof(IntervalObject), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE, kIntervalSlots};

PyTypeObject* interval_type(Call& c) {
  PyObject* t = c.mod_state()->interval_type;
  if (!t) {
    PyErr_SetString(PyExc_SystemError, "brenvale.plotspec._Interval is not initialised");
    throw PyErrorSet{};
  }
  return reinterpret_cast<PyTypeObject*>(t);
}

PyObject* interval_to_python(Call& c, ToPy& conv, const ps::Interval& iv) {
  PyObject* start = conv.convert(iv.start);
  PyObject* end;
  try {
    end = conv.convert(iv.end);
  } catch (...) {
    Py_DECREF(start);
    throw;
  }
  return check(new_interval(interval_type(c), start, end));
}

ps::Interval read_interval(Call& c, PyObject* o) { return ps::Interval{c.attr(o, N::start), c.attr(o, N::end)}; }

// ---- conversions of the private operations' arguments ----

bv::Value shallow_list(Call& c, PyObject* seq) {
  std::vector<PyObject*> items = c.sequence(seq);
  bv::Value list = bv::Value::list(items.size());
  for (PyObject* item : items) list.push(c.shallow(item));
  return list;
}

// A hint set given directly: membership of a text name can only hold for text elements.
ps::HintSet read_hint_set(Call& c, PyObject* seq) {
  std::vector<PyObject*> items = c.sequence(seq);
  bv::Value names = bv::Value::list(items.size());
  for (PyObject* item : items)
    if (PyUnicode_Check(item)) names.push(c.shallow(item));
  return ps::HintSet::from_list(names);
}

// A section's symbols as the payloads read them: the owners of every symbol, and the
// displayed fields of the first _MAX_RANGE_SYMBOLS only.
void read_symbol_list(Call& c, PyObject* seq, std::deque<ps::Symbol>& store, std::vector<const ps::Symbol*>& out) {
  std::vector<PyObject*> items = c.sequence(seq);
  out.reserve(out.size() + items.size());
  for (size_t i = 0; i < items.size(); ++i) {
    unsigned fields = kSymObject | kSymArchive | kSymSource;
    if (i < static_cast<size_t>(bv::plotspec::MAX_RANGE_SYMBOLS)) fields |= kSymName | kSymDemangled | kSymSize | kSymAddress;
    store.push_back(read_symbol(c, items[i], fields));
    out.push_back(&store.back());
  }
}

std::span<const ps::Symbol* const> as_span(const std::vector<const ps::Symbol*>& v) {
  return std::span<const ps::Symbol* const>(v.data(), v.size());
}

// Keys of the entries a layout reads: the sections' names and the region's name.
// Entries under other keys are never read, so they are never converted either.
bool wanted_key(Call& c, PyObject* key, const std::unordered_set<std::string>& wanted, std::string& out) {
  if (!lay::index_key(c.shallow(key), out)) return false;
  return wanted.count(out) != 0;
}

const ArgSpec kContainsTokenSpec{"_contains_token", {"value", "tokens"}, 2, 2, {}};
const ArgSpec kSectionKindSpec{"_section_kind",
                               {"section_name", "region_name", "stack_hint_sections", "heap_hint_sections"},
                               2,
                               2,
                               {true, true}};
const ArgSpec kSectionRoleSpec{"_section_role", {"section_name", "region_name"}, 2, 1, {}};
const ArgSpec kClipSpec{"_clip_interval", {"interval", "lower", "upper"}, 3, 3, {}};
const ArgSpec kFreeSpec{"_free_intervals", {"start", "end", "occupied"}, 3, 3, {}};
const ArgSpec kLayoutSpec{"_build_region_layout",
                          {"region", "sections", "section_symbols", "issues_by_entity", "section_baseline_deltas",
                           "stack_heap_hints", "usage", "padding_bytes", "load_images"},
                          0,
                          0,
                          {true, true, true, true, true, true, true, true, false}};
const ArgSpec kSectionRangeSpec{"_section_range_payload",
                                {"region_name", "section", "section_start", "section_end", "region_size", "kind",
                                 "role", "symbols", "issue_ids", "baseline_delta"},
                                0,
                                0,
                                {true, true, true, true, true, true, true, true, true, true}};
const ArgSpec kPanelSpec{"_section_panel_data",
                         {"section", "symbols", "owners", "issue_ids", "baseline_delta"},
                         0,
                         0,
                         {true, true, true, true, true}};
const ArgSpec kSyntheticSpec{"_synthetic_range_payload",
                             {"range_id", "kind", "label", "start", "end", "region_size", "is_inter_section_gap"},
                             0,
                             0,
                             {true, true, true, true, true, true, false}};
const ArgSpec kBoundarySpec{"_boundary_payload", {"boundaries", "region_start", "region_end"}, 1, 1, {true, true}};
const ArgSpec kClampSpec{"_clamp", {"value", "lower", "upper"}, 3, 3, {}};
const ArgSpec kHintsSpec{"_build_region_render_hints",
                         {"region", "total_region_bytes", "regions_count"},
                         0,
                         0,
                         {true, true, true}};

PyObject* py_contains_token(PyObject* m, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    PyObject* a[2];
    bind_args(kContainsTokenSpec, args, nargs, kw, a);
    Call c(m);
    bv::Value value = c.shallow(a[0]);
    bv::Value tokens = shallow_list(c, a[1]);
    return PyBool_FromLong(lay::contains_token_value(value, tokens));
  });
}

PyObject* py_section_kind(PyObject* m, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    PyObject* a[4];
    bind_args(kSectionKindSpec, args, nargs, kw, a);
    Call c(m);
    bv::Value name = c.shallow(a[0]);
    bv::Value region = c.shallow(a[1]);
    ps::HintSet stack = read_hint_set(c, a[2]);
    ps::HintSet heap = read_hint_set(c, a[3]);
    return result(ps::section_kind(name, region, stack, heap));
  });
}

PyObject* py_section_role(PyObject* m, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    PyObject* a[2];
    bind_args(kSectionRoleSpec, args, nargs, kw, a);
    Call c(m);
    bv::Value region = a[1] ? c.shallow(a[1]) : bv::Value("");
    return result(ps::section_role(c.shallow(a[0]), region));
  });
}

PyObject* py_clip_interval(PyObject* m, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    PyObject* a[3];
    bind_args(kClipSpec, args, nargs, kw, a);
    Call c(m);
    ps::Interval iv = read_interval(c, a[0]);
    std::optional<ps::Interval> clipped = ps::clip_interval(iv, c.shallow(a[1]), c.shallow(a[2]));
    if (!clipped) Py_RETURN_NONE;
    ToPy conv;
    return interval_to_python(c, conv, *clipped);
  });
}

PyObject* py_free_intervals(PyObject* m, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    PyObject* a[3];
    bind_args(kFreeSpec, args, nargs, kw, a);
    Call c(m);
    bv::Value start = c.shallow(a[0]);
    bv::Value end = c.shallow(a[1]);
    std::vector<ps::Interval> occupied;
    int any = 0;
    // An inverted region never looks at `occupied`; a false `occupied` (None, []) is empty.
    if (!lay::lt(end, start) && (any = PyObject_IsTrue(a[2])) != 0) {
      if (any < 0) throw PyErrorSet{};
      std::vector<PyObject*> items = c.sequence(a[2]);
      occupied.reserve(items.size());
      for (PyObject* item : items) occupied.push_back(read_interval(c, item));
    }
    std::vector<std::pair<ps::Interval, bool>> free = ps::free_intervals(start, end, occupied);
    ToPy conv;
    PyObject* list = check(PyList_New(static_cast<Py_ssize_t>(free.size())));
    try {
      for (size_t i = 0; i < free.size(); ++i) {
        PyObject* iv = interval_to_python(c, conv, free[i].first);
        PyObject* pair = PyTuple_Pack(2, iv, free[i].second ? Py_True : Py_False);
        Py_DECREF(iv);
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), check(pair));
      }
    } catch (...) {
      Py_DECREF(list);
      throw;
    }
    return list;
  });
}

PyObject* py_build_region_layout(PyObject* m, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    PyObject* a[9];
    bind_args(kLayoutSpec, args, nargs, kw, a);
    Call c(m);
    ps::Region region = read_region(c, a[0]);
    std::vector<ps::Section> sections = read_sections(c, a[1]);
    std::vector<ps::Section> images;
    if (a[8] && a[8] != Py_None) images = read_sections(c, a[8]);

    std::unordered_set<std::string> wanted;
    std::string key;
    for (const std::vector<ps::Section>* group : {&sections, &images})
      for (const ps::Section& s : *group)
        if (lay::index_key(s.name, key)) wanted.insert(key);
    if (lay::index_key(region.name, key)) wanted.insert(key);

    std::deque<ps::Symbol> symbol_store;
    ps::SymbolsBySection section_symbols;
    for (auto [k, v] : c.items(a[2])) {
      if (!wanted_key(c, k, wanted, key)) continue;
      std::vector<const ps::Symbol*>& list = section_symbols[key];
      list.clear();
      read_symbol_list(c, v, symbol_store, list);
    }
    ps::IssuesByEntity issues;
    for (auto [k, v] : c.items(a[3])) {
      if (!wanted_key(c, k, wanted, key)) continue;
      std::vector<PyObject*> ids = c.sequence(v);
      std::vector<bv::Value>& list = issues[key];
      list.clear();
      for (PyObject* id : ids) list.push_back(c.shallow(id));
    }
    ps::BaselineDeltas deltas;
    for (auto [k, v] : c.items(a[4])) {
      if (!wanted_key(c, k, wanted, key)) continue;
      deltas[key] = bv::py_int(c.shallow(v));
    }
    bv::Value hints = read_stack_heap_hints(c, a[5]);
    ps::Usage usage;
    const ps::Usage* usage_ptr = nullptr;
    if (a[6] != Py_None) {
      usage = read_usage(c, a[6]);
      usage_ptr = &usage;
    }

    ps::RegionLayoutArgs args_in;
    args_in.region = &region;
    args_in.sections.reserve(sections.size());
    for (const ps::Section& s : sections) args_in.sections.push_back(&s);
    args_in.load_images.reserve(images.size());
    for (const ps::Section& s : images) args_in.load_images.push_back(&s);
    args_in.section_symbols = &section_symbols;
    args_in.issues_by_entity = &issues;
    args_in.section_baseline_deltas = &deltas;
    args_in.stack_heap_hints = &hints;
    args_in.usage = usage_ptr;
    args_in.padding_bytes = c.shallow(a[7]);
    return result(ps::build_region_layout(args_in));
  });
}

PyObject* py_section_range_payload(PyObject* m, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    PyObject* a[10];
    bind_args(kSectionRangeSpec, args, nargs, kw, a);
    Call c(m);
    ps::Section section = read_section(c, a[1]);
    std::deque<ps::Symbol> store;
    std::vector<const ps::Symbol*> symbols;
    read_symbol_list(c, a[7], store, symbols);
    return result(ps::section_range_payload(c.shallow(a[0]), section, c.shallow(a[2]), c.shallow(a[3]),
                                            c.shallow(a[4]), c.shallow(a[5]), c.shallow(a[6]), as_span(symbols),
                                            c.deep(a[8]), c.shallow(a[9])));
  });
}

PyObject* py_section_panel_data(PyObject* m, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    PyObject* a[5];
    bind_args(kPanelSpec, args, nargs, kw, a);
    Call c(m);
    ps::Section section = read_section(c, a[0]);
    std::deque<ps::Symbol> store;
    std::vector<const ps::Symbol*> symbols;
    read_symbol_list(c, a[1], store, symbols);
    return result(ps::section_panel_data(section, as_span(symbols), c.deep(a[2]), c.deep(a[3]), c.shallow(a[4])));
  });
}

PyObject* py_synthetic_range_payload(PyObject* m, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    PyObject* a[7];
    bind_args(kSyntheticSpec, args, nargs, kw, a);
    Call c(m);
    bool gap = false;
    if (a[6]) {
      int t = PyObject_IsTrue(a[6]);
      if (t < 0) throw PyErrorSet{};
      gap = t != 0;
    }
    return result(ps::synthetic_range_payload(c.shallow(a[0]), c.shallow(a[1]), c.shallow(a[2]), c.shallow(a[3]),
                                              c.shallow(a[4]), c.shallow(a[5]), gap));
  });
}

PyObject* py_boundary_payload(PyObject* m, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    PyObject* a[3];
    bind_args(kBoundarySpec, args, nargs, kw, a);
    Call c(m);
    std::vector<PyObject*> items = c.sequence(a[0]);
    std::vector<bv::Value> boundaries;
    boundaries.reserve(items.size());
    for (PyObject* item : items) boundaries.push_back(c.shallow(item));
    return result(ps::boundary_payload(boundaries, c.shallow(a[1]), c.shallow(a[2])));
  });
}

PyObject* py_clamp(PyObject* m, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    PyObject* a[3];
    bind_args(kClampSpec, args, nargs, kw, a);
    Call c(m);
    // The chosen argument itself, not a converted copy.
    return Py_NewRef(a[lay::clamp_index(c.shallow(a[0]), c.shallow(a[1]), c.shallow(a[2]))]);
  });
}

PyObject* py_build_region_render_hints(PyObject* m, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    PyObject* a[3];
    bind_args(kHintsSpec, args, nargs, kw, a);
    Call c(m);
    // Only the three figures the hints read; region.get() as the host would call it.
    if (!PyDict_Check(a[0]) && !has_attr(a[0], c.name(N::get))) {
      PyErr_Format(PyExc_AttributeError, "'%s' object has no attribute 'get'", Py_TYPE(a[0])->tp_name);
      throw PyErrorSet{};
    }
    bv::Value region = bv::Value::map(3);
    for (const char* key : {"range_count", "density_score", "size_bytes"}) {
      PyObject* v = c.map_get(a[0], key);
      if (v) region.add(bv::Value::static_str(key), c.shallow(v));
    }
    return result(ps::build_region_render_hints(region, c.shallow(a[1]), c.shallow(a[2])));
  });
}

PyMethodDef kLayoutMethods[] = {
    {"_contains_token", BV_FASTCALL(py_contains_token),
     "_contains_token(value, tokens)\n--\n\nTrue when one of the tokens occurs in value (case-sensitive)."},
    {"_section_kind", BV_FASTCALL(py_section_kind),
     "_section_kind(section_name, region_name, *, stack_hint_sections, heap_hint_sections)\n--\n\n"
     "The kind of a section: stack, heap, protected, reserved or section."},
    {"_section_role", BV_FASTCALL(py_section_role),
     "_section_role(section_name, region_name='')\n--\n\nThe content role of a section, or None."},
    {"_clip_interval", BV_FASTCALL(py_clip_interval),
     "_clip_interval(interval, lower, upper)\n--\n\nThe part of interval within [lower, upper], or None."},
    {"_free_intervals", BV_FASTCALL(py_free_intervals),
     "_free_intervals(start, end, occupied)\n--\n\nThe free spans of [start, end] as (interval, is_gap) pairs."},
    {"_build_region_layout", BV_FASTCALL(py_build_region_layout),
     "_build_region_layout(*, region, sections, section_symbols, issues_by_entity, section_baseline_deltas, "
     "stack_heap_hints, usage, padding_bytes, load_images=None)\n--\n\n"
     "The region layout map of one memory region; load_images are the sections of other regions stored in it."},
    {"_section_range_payload", BV_FASTCALL(py_section_range_payload),
     "_section_range_payload(*, region_name, section, section_start, section_end, region_size, kind, role, "
     "symbols, issue_ids, baseline_delta)\n--\n\nThe range map of one placed section."},
    {"_section_panel_data", BV_FASTCALL(py_section_panel_data),
     "_section_panel_data(*, section, symbols, owners, issue_ids, baseline_delta)\n--\n\n"
     "The side-panel map of one placed section."},
    {"_synthetic_range_payload", BV_FASTCALL(py_synthetic_range_payload),
     "_synthetic_range_payload(*, range_id, kind, label, start, end, region_size, is_inter_section_gap=False)\n--\n\n"
     "The range map of a padding or free range."},
    {"_boundary_payload", BV_FASTCALL(py_boundary_payload),
     "_boundary_payload(boundaries, *, region_start, region_end)\n--\n\nBoundary rows in ascending address order."},
    {"_clamp", BV_FASTCALL(py_clamp),
     "_clamp(value, lower, upper)\n--\n\nvalue bounded by lower and upper (one of the three arguments)."},
    {"_build_region_render_hints", BV_FASTCALL(py_build_region_render_hints),
     "_build_region_render_hints(*, region, total_region_bytes, regions_count)\n--\n\n"
     "The render hints map of one region map."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

PyMethodDef* layout_methods() { return kLayoutMethods; }

int add_layout_types(PyObject* m) {
  PyObject* type = PyType_FromModuleAndSpec(m, &kIntervalSpec, nullptr);
  if (!type) return -1;
  ModState* st = state(m);
  Py_XSETREF(st->interval_type, Py_NewRef(type));
  int rc = PyModule_AddObjectRef(m, "_Interval", type);
  Py_DECREF(type);
  return rc;
}

}  // namespace bvpy::plotspec
