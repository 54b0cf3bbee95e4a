#include "bindings/common/module_state.hpp"

#include <string>

#include "core/value/value.hpp"

namespace bvpy {

namespace {

const char* const kNameTexts[] = {
#define BV_TEXT(n) #n,
    BV_NAMES(BV_TEXT)
#undef BV_TEXT
};

// str() of a caller's object, for the core's text forms of containers and objects.
bool foreign_str(const void* src, std::string& out) {
  PyGILState_STATE g = PyGILState_Ensure();
  bool ok = false;
  PyObject* s = PyObject_Str(const_cast<PyObject*>(static_cast<const PyObject*>(src)));
  if (s) {
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(s, &n);
    if (p) {
      out.assign(p, static_cast<size_t>(n));
      ok = true;
    } else {
      PyErr_Clear();
      PyObject* b = PyUnicode_AsEncodedString(s, "utf-8", "surrogatepass");
      if (b) {
        out.assign(PyBytes_AS_STRING(b), static_cast<size_t>(PyBytes_GET_SIZE(b)));
        Py_DECREF(b);
        ok = true;
      }
    }
    Py_DECREF(s);
  }
  PyGILState_Release(g);
  return ok;
}

// The caller's own < and == for objects the core keeps opaque.
int foreign_compare(const void* a, const void* b, int op) {
  PyGILState_STATE g = PyGILState_Ensure();
  int r = PyObject_RichCompareBool(const_cast<PyObject*>(static_cast<const PyObject*>(a)),
                                   const_cast<PyObject*>(static_cast<const PyObject*>(b)), op == 0 ? Py_LT : Py_EQ);
  PyGILState_Release(g);
  return r;
}

}  // namespace

ModState* state(PyObject* module) { return static_cast<ModState*>(PyModule_GetState(module)); }

int init_state(PyObject* module) {
  ModState* st = state(module);
  for (int i = 0; i < static_cast<int>(N::count_); ++i) {
    st->names[i] = PyUnicode_InternFromString(kNameTexts[i]);
    if (!st->names[i]) return -1;
  }
  // The same two functions for every call and thread: the host's own str() and
  // comparisons, which need no per-call context (they take the GIL themselves).
  bv::set_foreign_text_hook(&foreign_str);
  bv::set_foreign_compare_hook(&foreign_compare);
  return 0;
}

int traverse_state(PyObject* module, visitproc visit, void* arg) {
  ModState* st = state(module);
  if (!st) return 0;
  Py_VISIT(st->interval_type);
  return 0;
}

int clear_state(PyObject* module) {
  ModState* st = state(module);
  if (!st) return 0;
  for (int i = 0; i < static_cast<int>(N::count_); ++i) Py_CLEAR(st->names[i]);
  Py_CLEAR(st->interval_type);
  return 0;
}

void free_state(void* module) { clear_state(static_cast<PyObject*>(module)); }

}  // namespace bvpy
