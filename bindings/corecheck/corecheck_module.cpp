// brenvale._corecheck: the core value library's text helpers, exposed one by one so
// the tests can hold each of them against the CPython function it stands in for.
// Arguments go through the same converter as the real modules, so the tests also
// cover the path the deliverables use (surrogates, int range, nesting).

#include <string>
#include <string_view>

#include "bindings/common/args.hpp"
#include "bindings/common/errors.hpp"
#include "bindings/common/make_value.hpp"
#include "bindings/common/module_state.hpp"
#include "bindings/common/read_value.hpp"
#include "core/value/text.hpp"

namespace {

using bvpy::ArgSpec;
using bvpy::Call;

PyObject* str_result(const std::string& s) { return bvpy::new_string(s); }

double float_arg(PyObject* o) {
  double d = PyFloat_AsDouble(o);
  if (d == -1.0 && PyErr_Occurred()) throw bvpy::PyErrorSet{};
  return d;
}

long long int_arg(PyObject* o) {
  long long i = PyLong_AsLongLong(o);
  if (i == -1 && PyErr_Occurred()) throw bvpy::PyErrorSet{};
  return i;
}

std::string_view str_arg(Call& call, PyObject* o, const char* fname) {
  if (!PyUnicode_Check(o)) {
    PyErr_Format(PyExc_TypeError, "%s() argument must be str, not %.100s", fname, Py_TYPE(o)->tp_name);
    throw bvpy::PyErrorSet{};
  }
  return call.utf8(o);
}

// A function of one str argument returning a str.
template <std::string (*F)(std::string_view)>
PyObject* text_to_text(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, const char* name) {
  return bvpy::guarded([&]() -> PyObject* {
    static const ArgSpec sig{name, {"text"}, 1, 1, {}};
    PyObject* a[1];
    bvpy::bind_args(sig, args, nargs, kwnames, a);
    Call call(module);
    return str_result(F(str_arg(call, a[0], name)));
  });
}

std::string strip_copy(std::string_view s) { return std::string(bv::py_strip(s)); }
std::string escape_copy(std::string_view s) { return bv::html_escape(s); }

#define BV_TEXT_FN(pyname, fn)                                                                      \
  PyObject* cc_##pyname(PyObject* m, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) { \
    return text_to_text<fn>(m, args, nargs, kwnames, #pyname);                                      \
  }
BV_TEXT_FN(html_escape, escape_copy)
BV_TEXT_FN(strip, strip_copy)
BV_TEXT_FN(lower_match, bv::py_lower_for_match)
BV_TEXT_FN(repr_str, bv::py_repr_str)
#undef BV_TEXT_FN

// json_compact(obj, max_depth=None): json.dumps(obj, ensure_ascii=False). max_depth
// overrides the depth limit after conversion, to reach the writer's own guard.
PyObject* json_common(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, int mode) {
  return bvpy::guarded([&]() -> PyObject* {
    static const ArgSpec sigs[3] = {{"json_compact", {"obj", "max_depth"}, 2, 1, {}},
                                     {"json_indent", {"obj", "indent", "max_depth"}, 3, 1, {}},
                                     {"json_indent_unicode", {"obj", "indent", "max_depth"}, 3, 2, {}}};
    const ArgSpec& sig = sigs[mode];
    PyObject* a[3] = {nullptr, nullptr, nullptr};
    bvpy::bind_args(sig, args, nargs, kwnames, a);
    Call call(module);
    bv::Value v = call.deep(a[0]);
    int indent = 2;
    PyObject* depth_arg = mode == 0 ? a[1] : a[2];
    if (mode != 0 && a[1]) indent = static_cast<int>(int_arg(a[1]));
    const int depth = depth_arg && depth_arg != Py_None ? static_cast<int>(int_arg(depth_arg)) : call.max_depth();
    std::string out;
    if (mode == 0)
      bv::write_json_compact(out, v, depth);
    else if (mode == 1)
      bv::write_json_indent(out, v, indent, depth);
    else
      bv::write_json_indent_unicode(out, v, indent, depth);
    return str_result(out);
  });
}

PyObject* cc_json_compact(PyObject* m, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return json_common(m, args, nargs, kwnames, 0);
}
PyObject* cc_json_indent(PyObject* m, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return json_common(m, args, nargs, kwnames, 1);
}
PyObject* cc_json_indent_unicode(PyObject* m, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return json_common(m, args, nargs, kwnames, 2);
}

PyObject* cc_repr_double(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return bvpy::guarded([&]() -> PyObject* {
    static const ArgSpec sig{"repr_double", {"x"}, 1, 1, {}};
    PyObject* a[1];
    bvpy::bind_args(sig, args, nargs, kwnames, a);
    return str_result(bv::repr_double(float_arg(a[0])));
  });
}

// round_half_even(x, ndigits=None): round(x) (an int) without ndigits, round(x, n) with.
PyObject* cc_round(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return bvpy::guarded([&]() -> PyObject* {
    static const ArgSpec sig{"round_half_even", {"x", "ndigits"}, 2, 1, {}};
    PyObject* a[2];
    bvpy::bind_args(sig, args, nargs, kwnames, a);
    double x = float_arg(a[0]);
    if (!a[1] || a[1] == Py_None) return bvpy::check(PyLong_FromLongLong(bv::round_to_int(x)));
    return bvpy::check(PyFloat_FromDouble(bv::round_half_even(x, static_cast<int>(int_arg(a[1])))));
  });
}

// fmt(code, number) for the five format codes the report uses ("+,.0f", "+,", ",", "+.1f", ".1f").
PyObject* cc_fmt(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return bvpy::guarded([&]() -> PyObject* {
    static const ArgSpec sig{"fmt", {"code", "number"}, 2, 2, {}};
    PyObject* a[2];
    bvpy::bind_args(sig, args, nargs, kwnames, a);
    Call call(module);
    std::string_view kind = str_arg(call, a[0], "fmt");
    if (kind == "+,.0f") return str_result(bv::fmt_plus_comma_0f(float_arg(a[1])));
    if (kind == "+.1f") return str_result(bv::fmt_plus_1f(float_arg(a[1])));
    if (kind == ".1f") return str_result(bv::fmt_1f(float_arg(a[1])));
    if (kind == "+,") return str_result(bv::fmt_plus_comma_int(int_arg(a[1])));
    if (kind == ",") return str_result(bv::fmt_comma_int(int_arg(a[1])));
    PyErr_Format(PyExc_ValueError, "unsupported format code %R", a[0]);
    throw bvpy::PyErrorSet{};
  });
}

PyObject* cc_parse_int(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return bvpy::guarded([&]() -> PyObject* {
    static const ArgSpec sig{"parse_int", {"text"}, 1, 1, {}};
    PyObject* a[1];
    bvpy::bind_args(sig, args, nargs, kwnames, a);
    Call call(module);
    return bvpy::check(PyLong_FromLongLong(bv::parse_int_text(str_arg(call, a[0], "parse_int"))));
  });
}

PyObject* cc_parse_float(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return bvpy::guarded([&]() -> PyObject* {
    static const ArgSpec sig{"parse_float", {"text"}, 1, 1, {}};
    PyObject* a[1];
    bvpy::bind_args(sig, args, nargs, kwnames, a);
    Call call(module);
    return bvpy::check(PyFloat_FromDouble(bv::parse_float_text(str_arg(call, a[0], "parse_float"))));
  });
}

PyObject* cc_is_blank(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return bvpy::guarded([&]() -> PyObject* {
    static const ArgSpec sig{"is_blank", {"text"}, 1, 1, {}};
    PyObject* a[1];
    bvpy::bind_args(sig, args, nargs, kwnames, a);
    Call call(module);
    return Py_NewRef(bv::is_blank(str_arg(call, a[0], "is_blank")) ? Py_True : Py_False);
  });
}

PyObject* cc_icase_contains(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return bvpy::guarded([&]() -> PyObject* {
    static const ArgSpec sig{"icase_contains", {"hay", "needle"}, 2, 2, {}};
    PyObject* a[2];
    bvpy::bind_args(sig, args, nargs, kwnames, a);
    Call call(module);
    bool found = bv::icase_contains(str_arg(call, a[0], "icase_contains"), str_arg(call, a[1], "icase_contains"));
    return Py_NewRef(found ? Py_True : Py_False);
  });
}

#define BV_FAST(name, fn) \
  { #name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn)), METH_FASTCALL | METH_KEYWORDS, nullptr }

PyMethodDef corecheck_methods[] = {
    BV_FAST(json_compact, cc_json_compact),
    BV_FAST(json_indent, cc_json_indent),
    BV_FAST(json_indent_unicode, cc_json_indent_unicode),
    BV_FAST(repr_double, cc_repr_double),
    BV_FAST(round_half_even, cc_round),
    BV_FAST(fmt, cc_fmt),
    BV_FAST(parse_int, cc_parse_int),
    BV_FAST(parse_float, cc_parse_float),
    BV_FAST(html_escape, cc_html_escape),
    BV_FAST(strip, cc_strip),
    BV_FAST(is_blank, cc_is_blank),
    BV_FAST(lower_match, cc_lower_match),
    BV_FAST(icase_contains, cc_icase_contains),
    BV_FAST(repr_str, cc_repr_str),
    {nullptr, nullptr, 0, nullptr}};
#undef BV_FAST

int corecheck_exec(PyObject* m) { return bvpy::init_state(m); }

PyModuleDef_Slot corecheck_slots[] = {{Py_mod_exec, reinterpret_cast<void*>(corecheck_exec)},
#if PY_VERSION_HEX >= 0x030C0000
                                      {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
                                      {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
                                      {0, nullptr}};

PyModuleDef corecheck_def = {
    PyModuleDef_HEAD_INIT,
    "brenvale._corecheck",
    "The core value library's text helpers, for differential tests against CPython.",
    sizeof(bvpy::ModState),
    corecheck_methods,
    corecheck_slots,
    bvpy::traverse_state,
    bvpy::clear_state,
    bvpy::free_state,
};

}  // namespace

PyMODINIT_FUNC PyInit__corecheck(void) { return PyModuleDef_Init(&corecheck_def); }
