// Errors at the C boundary: a Python error already set unwinds as PyErrorSet, and
// every exception, the core's included, becomes a Python error in one place.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace bvpy {

// A Python error is already set; unwind to the boundary and return NULL.
struct PyErrorSet {};

[[noreturn]] inline void throw_if_error() { throw PyErrorSet{}; }
inline PyObject* check(PyObject* o) {
  if (!o) throw PyErrorSet{};
  return o;
}

// Translate the exception being handled into a Python error; always returns NULL.
PyObject* translate_exception() noexcept;

// Run f (which returns a new reference or throws) at the C boundary.
template <class F>
PyObject* guarded(F&& f) noexcept {
  try {
    return f();
  } catch (...) {
    return translate_exception();
  }
}

}  // namespace bvpy
