// The floors the contract build is measured against: what reading the model's fields
// and creating the result's dicts and lists cost when C does nothing else.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <chrono>
#include <string>
#include <type_traits>
#include <vector>

#include "core/value/memory_hints.hpp"
#include "core/value/text.hpp"
#include "core/value/value.hpp"

namespace {

// The prebuilt trees are the contract's few levels; CPython's default limit.
constexpr int kWriteDepth = 1000;

const char* const kSymbolFields[] = {"name",        "demangled_name", "address", "size",   "section_name",
                                     "object_file", "archive",        "source_file", "compilation_unit"};
const char* const kSectionFields[] = {"name", "execution_region", "load_region", "vma",
                                      "lma",  "size",             "padding_before", "padding_after"};

// Reads every field of every record of `seq`, as any converter must.
int read_all(PyObject* seq, const char* const* fields, int nfields) {
  PyObject* names[16];
  for (int i = 0; i < nfields; ++i) names[i] = PyUnicode_InternFromString(fields[i]);
  Py_ssize_t n = PyList_GET_SIZE(seq);
  for (Py_ssize_t k = 0; k < n; ++k) {
    PyObject* rec = PyList_GET_ITEM(seq, k);
    for (int i = 0; i < nfields; ++i) {
      PyObject* v = PyObject_GetAttr(rec, names[i]);
      if (!v) return -1;
      if (PyUnicode_Check(v)) {
        Py_ssize_t len;
        if (!PyUnicode_AsUTF8AndSize(v, &len)) PyErr_Clear();
      } else if (PyLong_CheckExact(v)) {
        (void)PyLong_AsLongLong(v);
      }
      Py_DECREF(v);
    }
  }
  for (int i = 0; i < nfields; ++i) Py_DECREF(names[i]);
  return 0;
}

PyObject* read_floor(PyObject*, PyObject* model) {
  PyObject* symbols = PyObject_GetAttrString(model, "symbols");
  PyObject* sections = PyObject_GetAttrString(model, "sections");
  if (!symbols || !sections || !PyList_Check(symbols) || !PyList_Check(sections)) {
    Py_XDECREF(symbols);
    Py_XDECREF(sections);
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "model.symbols and model.sections must be lists");
    return nullptr;
  }
  int rc = read_all(symbols, kSymbolFields, 9);
  if (rc == 0) rc = read_all(sections, kSectionFields, 8);
  Py_DECREF(symbols);
  Py_DECREF(sections);
  if (rc < 0) return nullptr;
  Py_RETURN_NONE;
}

// Recreates the same tree of dicts and lists, sharing the scalars: the cost of the
// result's containers alone, with interned keys.
PyObject* rebuild(PyObject* o) {
  if (PyDict_CheckExact(o)) {
    PyObject* d = PyDict_New();
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(o, &pos, &k, &v)) {
      PyObject* nv = rebuild(v);
      if (!nv || PyDict_SetItem(d, k, nv) < 0) {
        Py_XDECREF(nv);
        Py_DECREF(d);
        return nullptr;
      }
      Py_DECREF(nv);
    }
    return d;
  }
  if (PyList_CheckExact(o)) {
    Py_ssize_t n = PyList_GET_SIZE(o);
    PyObject* l = PyList_New(n);
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* item = rebuild(PyList_GET_ITEM(o, i));
      if (!item) {
        Py_DECREF(l);
        return nullptr;
      }
      PyList_SET_ITEM(l, i, item);
    }
    return l;
  }
  return Py_NewRef(o);
}

PyObject* create_floor(PyObject*, PyObject* tree) {
  int was = PyGC_Disable();
  PyObject* out = rebuild(tree);
  if (was) PyGC_Enable();
  if (!out) return nullptr;
  Py_DECREF(out);
  Py_RETURN_NONE;
}

// A Python error is already set; unwinds the conversion to its caller.
struct Raised {};

// The result tree as core values, made once outside the clock so that the writer
// alone is timed. Only the types a contract holds. Texts view the tree's own
// strings, as the builders' results view the caller's texts.
bv::Value to_value(PyObject* o) {
  if (o == Py_None) return bv::Value();
  if (o == Py_True) return bv::Value(true);
  if (o == Py_False) return bv::Value(false);
  if (PyUnicode_Check(o)) {
    Py_ssize_t len;
    const char* p = PyUnicode_AsUTF8AndSize(o, &len);
    if (!p) throw Raised{};
    return bv::Value::borrowed_str(p, static_cast<size_t>(len), o);
  }
  if (PyLong_Check(o)) {
    long long x = PyLong_AsLongLong(o);
    if (x == -1 && PyErr_Occurred()) throw Raised{};
    return bv::Value(x);
  }
  if (PyFloat_Check(o)) return bv::Value(PyFloat_AS_DOUBLE(o));
  if (PyList_Check(o)) {
    Py_ssize_t n = PyList_GET_SIZE(o);
    bv::Value l = bv::Value::list(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) l.push(to_value(PyList_GET_ITEM(o, i)));
    return l;
  }
  if (PyDict_Check(o)) {
    bv::Value d = bv::Value::map(static_cast<size_t>(PyDict_GET_SIZE(o)));
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(o, &pos, &k, &v)) d.add(to_value(k), to_value(v));
    return d;
  }
  PyErr_Format(PyExc_TypeError, "write_floor: unsupported %s in the tree", Py_TYPE(o)->tp_name);
  throw Raised{};
}

// Converts the tree (args: tree, repeat=1) once, then collects what `run` returns
// for the converted tree in each of `repeat` runs (a new reference, or null with an
// error set).
template <class Run>
PyObject* per_run(PyObject* args, Run run) {
  PyObject* tree;
  int repeat = 1;
  if (!PyArg_ParseTuple(args, "O|i", &tree, &repeat)) return nullptr;
  bv::Value v;
  try {
    v = to_value(tree);
  } catch (Raised) {
    return nullptr;
  }
  PyObject* results = PyList_New(0);
  if (!results) return nullptr;
  for (int r = 0; r < repeat; ++r) {
    PyObject* one = run(v);
    if (!one || PyList_Append(results, one) < 0) {
      Py_XDECREF(one);
      Py_DECREF(results);
      return nullptr;
    }
    Py_DECREF(one);
  }
  return results;
}

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Seconds of each of `repeat` writes of the tree as compact JSON bytes, by the
// project's own writer: what the JSON path costs once its tree exists.
PyObject* write_floor(PyObject*, PyObject* args) {
  return per_run(args, [](const bv::Value& v) -> PyObject* {
    auto t0 = std::chrono::steady_clock::now();
    std::string out;
    bv::write_json_compact(out, v, kWriteDepth);
    PyObject* bytes = PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size()));
    double secs = seconds_since(t0);
    if (!bytes) return nullptr;
    Py_DECREF(bytes);
    return PyFloat_FromDouble(secs);
  });
}

// Seconds to build and to free a copy of the tree in the core's own values, for
// each of `repeat` runs: what any builder that returns this tree pays at least.
PyObject* tree_floor(PyObject*, PyObject* args) {
  return per_run(args, [](const bv::Value& v) -> PyObject* {
    auto t0 = std::chrono::steady_clock::now();
    auto* copy = new bv::Value(v);
    double build = seconds_since(t0);
    t0 = std::chrono::steady_clock::now();
    delete copy;
    return Py_BuildValue("(dd)", build, seconds_since(t0));
  });
}

// Seconds to make a text of `length` characters as wide as `maxchar` needs and write
// every character once, on huge pages where the system gives them: what any page
// returned as one text of that length and width costs, whatever writes it.
PyObject* text_floor(PyObject*, PyObject* args) {
  Py_ssize_t length = 0;
  unsigned int maxchar = 127;
  if (!PyArg_ParseTuple(args, "nI", &length, &maxchar)) return nullptr;
  if (length < 0 || maxchar > 0x10FFFF) {
    PyErr_SetString(PyExc_ValueError, "length must be at least 0 and maxchar a code point");
    return nullptr;
  }
  auto t0 = std::chrono::steady_clock::now();
  PyObject* text = PyUnicode_New(length, static_cast<Py_UCS4>(maxchar));
  if (!text) return nullptr;
  const int kind = PyUnicode_KIND(text);
  void* data = PyUnicode_DATA(text);
  bv::advise_huge_pages(data, static_cast<size_t>(length) * static_cast<size_t>(kind));
  // Characters that vary, so the writes cannot fold into a fill of one value.
  auto fill = [length](auto* out) {
    for (Py_ssize_t i = 0; i < length; ++i) out[i] = static_cast<std::remove_pointer_t<decltype(out)>>('a' + (i & 15));
  };
  if (kind == PyUnicode_1BYTE_KIND)
    fill(static_cast<Py_UCS1*>(data));
  else if (kind == PyUnicode_2BYTE_KIND)
    fill(static_cast<Py_UCS2*>(data));
  else
    fill(static_cast<Py_UCS4*>(data));
  const double secs = seconds_since(t0);
  Py_DECREF(text);
  return PyFloat_FromDouble(secs);
}

// Reads kind, name and delta of every entry, as the ranking must before it can
// order anything: strings as UTF-8, the delta as a float.
PyObject* read_entries_floor(PyObject*, PyObject* entries) {
  if (!PyList_Check(entries)) {
    PyErr_SetString(PyExc_TypeError, "entries must be a list");
    return nullptr;
  }
  PyObject* names[3] = {PyUnicode_InternFromString("kind"), PyUnicode_InternFromString("name"),
                        PyUnicode_InternFromString("delta")};
  int rc = 0;
  Py_ssize_t n = PyList_GET_SIZE(entries);
  for (Py_ssize_t k = 0; k < n && rc == 0; ++k) {
    PyObject* e = PyList_GET_ITEM(entries, k);
    for (int i = 0; i < 3; ++i) {
      PyObject* v = PyObject_GetAttr(e, names[i]);
      if (!v) {
        rc = -1;
        break;
      }
      if (PyUnicode_Check(v)) {
        Py_ssize_t len;
        if (!PyUnicode_AsUTF8AndSize(v, &len)) PyErr_Clear();
      } else if (PyFloat_CheckExact(v)) {
        (void)PyFloat_AS_DOUBLE(v);
      } else {
        double d = PyFloat_AsDouble(v);
        if (d == -1.0 && PyErr_Occurred()) PyErr_Clear();
      }
      Py_DECREF(v);
    }
  }
  for (PyObject* name : names) Py_DECREF(name);
  if (rc < 0) return nullptr;
  Py_RETURN_NONE;
}

// The same reads, but the values of the entries that grew stay referenced until every
// entry has been read and are released only then: what a ranking that hands back the
// caller's own objects, and must keep them alive meanwhile, cannot do without.
PyObject* read_entries_held_floor(PyObject*, PyObject* entries) {
  if (!PyList_Check(entries)) {
    PyErr_SetString(PyExc_TypeError, "entries must be a list");
    return nullptr;
  }
  PyObject* names[3] = {PyUnicode_InternFromString("delta"), PyUnicode_InternFromString("kind"),
                        PyUnicode_InternFromString("name")};
  std::vector<PyObject*> held;
  int rc = 0;
  const Py_ssize_t n = PyList_GET_SIZE(entries);
  held.reserve(static_cast<size_t>(n) * 3 / 2);
  for (Py_ssize_t k = 0; k < n && rc == 0; ++k) {
    PyObject* e = PyList_GET_ITEM(entries, k);
    PyObject* d = PyObject_GetAttr(e, names[0]);
    if (!d) {
      rc = -1;
      break;
    }
    double x = PyFloat_CheckExact(d) ? PyFloat_AS_DOUBLE(d) : PyFloat_AsDouble(d);
    if (x == -1.0 && PyErr_Occurred()) PyErr_Clear();
    if (!(x > 0)) {
      Py_DECREF(d);
      continue;
    }
    held.push_back(d);
    for (int i = 1; i < 3; ++i) {
      PyObject* v = PyObject_GetAttr(e, names[i]);
      if (!v) {
        rc = -1;
        break;
      }
      if (PyUnicode_Check(v)) {
        Py_ssize_t len;
        if (!PyUnicode_AsUTF8AndSize(v, &len)) PyErr_Clear();
      }
      held.push_back(v);
    }
  }
  for (PyObject* v : held) Py_DECREF(v);
  for (PyObject* name : names) Py_DECREF(name);
  if (rc < 0) return nullptr;
  Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    {"read_floor", read_floor, METH_O, "Read every field of every symbol and section of a model."},
    {"create_floor", create_floor, METH_O, "Create the same dicts and lists as a result tree."},
    {"write_floor", write_floor, METH_VARARGS,
     "write_floor(tree, repeat=1): seconds of each compact JSON write of the tree by the core's writer."},
    {"tree_floor", tree_floor, METH_VARARGS,
     "tree_floor(tree, repeat=1): (build, free) seconds of a copy of the tree in the core's values, per run."},
    {"text_floor", text_floor, METH_VARARGS,
     "text_floor(length, maxchar): seconds to make a text of that length and width and write every character."},
    {"read_entries_floor", read_entries_floor, METH_O, "Read kind, name and delta of every diff entry."},
    {"read_entries_held_floor", read_entries_held_floor, METH_O,
     "Read delta of every entry and kind and name of those that grew, all held until the end."},
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef_Slot slots[] = {
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr}};

PyModuleDef def = {PyModuleDef_HEAD_INIT, "brenvale._benchfloor", nullptr, 0, methods, slots,
                   nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__benchfloor(void) { return PyModuleDef_Init(&def); }
