// Argument binding with CPython's own error messages.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <vector>

namespace bvpy {

struct ArgSpec {
  const char* fname;                 // the function's name as Python shows it
  std::vector<const char*> names;    // all parameters: positional-or-keyword first, then keyword-only
  int n_positional;                  // how many of `names` may be passed by position
  int n_required_positional;         // the first n are required (the rest have defaults)
  std::vector<bool> kwonly_required; // per keyword-only parameter
};

// Fills out[i] with a borrowed reference for every parameter given (nullptr when not
// given); raises TypeError exactly as a Python function of the same signature would.
void bind_args(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames, PyObject** out);

}  // namespace bvpy
