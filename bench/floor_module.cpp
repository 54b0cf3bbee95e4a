// The floors the contract build is measured against: what reading the model's fields
// and creating the result's dicts and lists cost when C does nothing else.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace {

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

PyMethodDef methods[] = {
    {"read_floor", read_floor, METH_O, "Read every field of every symbol and section of a model."},
    {"create_floor", create_floor, METH_O, "Create the same dicts and lists as a result tree."},
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
