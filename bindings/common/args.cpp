#include "bindings/common/args.hpp"

#include <cstring>
#include <string>

#include "bindings/common/errors.hpp"

namespace bvpy {

namespace {

std::string quoted_list(const std::vector<const char*>& names) {
  std::string out;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() == 2)
        out += " and ";
      else if (i + 1 == names.size())
        out += ", and ";
      else
        out += ", ";
    }
    out += "'";
    out += names[i];
    out += "'";
  }
  return out;
}

[[noreturn]] void type_error(const std::string& msg) {
  PyErr_SetString(PyExc_TypeError, msg.c_str());
  throw PyErrorSet{};
}

}  // namespace

void bind_args(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames, PyObject** out) {
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  const int total = static_cast<int>(spec.names.size());
  for (int i = 0; i < total; ++i) out[i] = nullptr;
  const int npos = spec.n_positional;
  for (Py_ssize_t i = 0; i < nargs && i < npos; ++i) out[i] = args[i];

  const std::string fname = spec.fname;
  if (kwnames) {
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject* key = PyTuple_GET_ITEM(kwnames, k);
      Py_ssize_t klen = 0;
      const char* kname = PyUnicode_AsUTF8AndSize(key, &klen);
      if (!kname) {
        PyErr_Clear();
        kname = "";
      }
      int idx = -1;
      for (int i = 0; i < total; ++i) {
        if (std::strlen(spec.names[i]) == static_cast<size_t>(klen) && std::memcmp(spec.names[i], kname, klen) == 0) {
          idx = i;
          break;
        }
      }
      if (idx < 0) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", spec.fname, key);
        throw PyErrorSet{};
      }
      if (out[idx]) type_error(fname + "() got multiple values for argument '" + spec.names[idx] + "'");
      out[idx] = args[nargs + k];
    }
  }

  if (nargs > npos) {
    int kwonly_given = 0;
    for (int i = npos; i < total; ++i)
      if (out[i]) ++kwonly_given;
    int defcount = npos - spec.n_required_positional;
    std::string sig;
    bool plural;
    if (defcount) {
      sig = "from " + std::to_string(spec.n_required_positional) + " to " + std::to_string(npos);
      plural = true;
    } else {
      sig = std::to_string(npos);
      plural = npos != 1;
    }
    std::string kwsig;
    if (kwonly_given) {
      kwsig = std::string(" positional argument") + (nargs != 1 ? "s" : "") + " (and " +
              std::to_string(kwonly_given) + " keyword-only argument" + (kwonly_given != 1 ? "s" : "") + ")";
    }
    type_error(fname + "() takes " + sig + " positional argument" + (plural ? "s" : "") + " but " +
               std::to_string(nargs) + kwsig + " " + (nargs == 1 && !kwonly_given ? "was" : "were") + " given");
  }

  std::vector<const char*> missing;
  for (int i = 0; i < spec.n_required_positional; ++i)
    if (!out[i]) missing.push_back(spec.names[i]);
  if (!missing.empty()) {
    type_error(fname + "() missing " + std::to_string(missing.size()) + " required positional argument" +
               (missing.size() != 1 ? "s" : "") + ": " + quoted_list(missing));
  }
  for (int i = npos; i < total; ++i) {
    size_t k = static_cast<size_t>(i - npos);
    if (k < spec.kwonly_required.size() && spec.kwonly_required[k] && !out[i]) missing.push_back(spec.names[i]);
  }
  if (!missing.empty()) {
    type_error(fname + "() missing " + std::to_string(missing.size()) + " required keyword-only argument" +
               (missing.size() != 1 ? "s" : "") + ": " + quoted_list(missing));
  }
}


}  // namespace bvpy
