// Python entry points of the HTML report page and its fragments.
#include "bindings/diffreport/methods.hpp"
#include "diff/diffreport/html_fragments.hpp"

#include <algorithm>
#include <vector>

namespace bvpy::diffreport {

namespace {

namespace dr = bv::diffreport;

PyObject* text_result(const std::string& s) { return new_string(s); }

// Whole conversion of a JSON-ready list for the raw dumps. Dicts are walked in place
// (PyDict_Next) rather than through an items list: a payload of 100,000 symbol dicts
// would otherwise allocate a list and a tuple per member, and the collector passes
// those allocations set off would cost more than the whole page.
class DumpReader {
 public:
  explicit DumpReader(Call& c) : c_(c) {
    int limit = Py_GetRecursionLimit();
    max_depth_ = limit > 0 ? limit : 1000;
  }

  bv::Value read(PyObject* o) { return read_rec(o, 0); }

 private:
  bv::Value read_rec(PyObject* o, int depth) {
    bool is_list = PyList_Check(o), is_tuple = PyTuple_Check(o), is_dict = PyDict_Check(o);
    if (!is_list && !is_tuple && !is_dict) return c_.shallow(o);
    if (depth >= max_depth_) {
      PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while converting a nested value");
      throw PyErrorSet{};
    }
    if (std::find(path_.begin(), path_.end(), o) != path_.end()) {
      PyErr_SetString(PyExc_ValueError, "Circular reference detected");
      throw PyErrorSet{};
    }
    c_.hold(o);
    path_.push_back(o);
    bv::Value out;
    if (is_dict) {
      out = bv::Value::map(static_cast<size_t>(PyDict_GET_SIZE(o)));
      Py_ssize_t pos = 0;
      PyObject *k, *v;
      while (PyDict_Next(o, &pos, &k, &v)) {
        // Keep both alive: converting a value may run a caller's __str__ (a big int
        // subclass), which could drop them from the dict.
        c_.hold(k);
        c_.hold(v);
        bv::Value key = c_.shallow(k);
        out.add(std::move(key), read_rec(v, depth + 1));
      }
    } else if (is_list) {
      out = bv::Value::list(static_cast<size_t>(PyList_GET_SIZE(o)));
      for (Py_ssize_t i = 0; i < PyList_GET_SIZE(o); ++i) out.push(read_rec(c_.hold(PyList_GET_ITEM(o, i)), depth + 1));
    } else {
      Py_ssize_t n = PyTuple_GET_SIZE(o);
      out = bv::Value::list(static_cast<size_t>(n));
      for (Py_ssize_t i = 0; i < n; ++i) out.push(read_rec(PyTuple_GET_ITEM(o, i), depth + 1));
      out.mark_tuple();
    }
    out.set_src(o);
    path_.pop_back();
    return out;
  }

  Call& c_;
  std::vector<PyObject*> path_;
  int max_depth_;
};

// A caller's dict as a map of shallow keys and values: enough for the coercion
// helpers, which only look at the keys' text forms and at scalar values.
bv::Value shallow_map(Call& c, PyObject* o) {
  if (!PyDict_Check(o)) return c.shallow(o);
  PyObject* items = c.keep(check(PyDict_Items(o)));
  Py_ssize_t n = PyList_GET_SIZE(items);
  bv::Value out = bv::Value::map(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* kv = PyList_GET_ITEM(items, i);
    bv::Value key = c.shallow(PyTuple_GET_ITEM(kv, 0));
    out.add(std::move(key), c.shallow(PyTuple_GET_ITEM(kv, 1)));
  }
  out.set_src(o);
  return out;
}

// The first `limit` items of a list argument, each read as a shallow map; anything
// that is not a list (a tuple included) counts as empty, as the coercion helper says.
bv::Value shallow_items(Call& c, PyObject* o, size_t limit) {
  bv::Value out = bv::Value::list();
  if (!PyList_Check(o)) return out;
  PyObject* copy = c.keep(check(PyList_GetSlice(o, 0, PY_SSIZE_T_MAX)));
  Py_ssize_t n = PyList_GET_SIZE(copy);
  size_t take = std::min(static_cast<size_t>(n), limit);
  out.items().reserve(take);
  for (size_t i = 0; i < take; ++i) out.push(shallow_map(c, PyList_GET_ITEM(copy, static_cast<Py_ssize_t>(i))));
  return out;
}

const ArgSpec kHtmlSpec{"render_diff_html", {"diff_payload"}, 1, 1, {}};

PyObject* py_render_diff_html(PyObject* m, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    PyObject* a[1];
    bind_args(kHtmlSpec, args, nargs, kw, a);
    Call c(m);
    c.allow_big_ints();
    PyObject* payload = a[0];
    bv::Value in = bv::Value::map(11);
    DumpReader dump_reader(c);
    // The lists are shown whole in the raw dumps, so they are converted whole; a list
    // that holds something json cannot write fails the call there.
    for (const char* key : {"top_regressions", "top_reductions", "regions", "sections", "symbols", "components"}) {
      PyObject* v = c.map_get(payload, key);
      if (v && PyList_Check(v)) in.add(bv::Value::static_str(key), dump_reader.read(v));
    }
    for (const char* key : {"flash_delta_bytes", "ram_delta_bytes"}) {
      PyObject* v = c.map_get(payload, key);
      if (v) in.add(bv::Value::static_str(key), c.shallow(v));
    }
    std::optional<bool> status_truthy;
    if (PyObject* status = c.map_get(payload, "status")) {
      bv::Value s = c.shallow(status);
      if (s.is_opaque()) {
        // The host's own truth value (an empty container, an object with __bool__).
        int t = PyObject_IsTrue(status);
        if (t < 0) throw PyErrorSet{};
        status_truthy = t != 0;
      }
      in.add("status", std::move(s));
    }
    for (const char* key : {"current_build", "baseline_build"}) {
      PyObject* v = c.map_get(payload, key);
      if (v) in.add(bv::Value::static_str(key), shallow_map(c, v));
    }
    return text_result(dr::render_diff_html(in, status_truthy));
  });
}

const ArgSpec kCardSpec{"_render_comparison_card", {"current", "baseline"}, 2, 2, {}};

PyObject* py_render_comparison_card(PyObject* m, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    PyObject* a[2];
    bind_args(kCardSpec, args, nargs, kw, a);
    Call c(m);
    c.allow_big_ints();
    bv::Value current = shallow_map(c, a[0]);
    bv::Value baseline = shallow_map(c, a[1]);
    return text_result(dr::render_comparison_card(current, baseline));
  });
}

const ArgSpec kSafeJsonSpec{"_safe_script_json", {"value"}, 1, 1, {}};

PyObject* py_safe_script_json(PyObject* m, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    PyObject* a[1];
    bind_args(kSafeJsonSpec, args, nargs, kw, a);
    Call c(m);
    c.allow_big_ints();
    return text_result(dr::safe_script_json(DumpReader(c).read(a[0])));
  });
}

const ArgSpec kStripSpec{"_render_region_delta_strip", {"regions"}, 1, 1, {}};

PyObject* py_render_region_delta_strip(PyObject* m, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    PyObject* a[1];
    bind_args(kStripSpec, args, nargs, kw, a);
    Call c(m);
    c.allow_big_ints();
    bv::Value regions = shallow_items(c, a[0], SIZE_MAX);
    return text_result(dr::render_region_delta_strip(regions.items()));
  });
}

const ArgSpec kRowsSpec{"_render_diff_table_rows", {"entries"}, 1, 1, {}};

PyObject* py_render_diff_table_rows(PyObject* m, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    PyObject* a[1];
    bind_args(kRowsSpec, args, nargs, kw, a);
    Call c(m);
    c.allow_big_ints();
    bv::Value entries = shallow_items(c, a[0], 10);
    return text_result(dr::render_diff_table_rows(entries.items()));
  });
}

const ArgSpec kChartSpec{"_build_diff_chart_entries", {"regressions", "reductions"}, 2, 2, {}};

PyObject* py_build_diff_chart_entries(PyObject* m, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    PyObject* a[2];
    bind_args(kChartSpec, args, nargs, kw, a);
    Call c(m);
    c.allow_big_ints();
    bv::Value regressions = shallow_items(c, a[0], 6);
    bv::Value reductions = shallow_items(c, a[1], 6);
    return to_python(dr::build_diff_chart_entries(regressions.items(), reductions.items()));
  });
}

PyMethodDef kMethods[] = {
    {"render_diff_html", BV_FASTCALL(py_render_diff_html),
     "render_diff_html(diff_payload)\n--\n\nThe diff payload as one self-contained HTML document (a str)."},
    {"_render_comparison_card", BV_FASTCALL(py_render_comparison_card), nullptr},
    {"_safe_script_json", BV_FASTCALL(py_safe_script_json), nullptr},
    {"_render_region_delta_strip", BV_FASTCALL(py_render_region_delta_strip), nullptr},
    {"_render_diff_table_rows", BV_FASTCALL(py_render_diff_table_rows), nullptr},
    {"_build_diff_chart_entries", BV_FASTCALL(py_build_diff_chart_entries), nullptr},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

PyMethodDef* html_methods() { return kMethods; }

}  // namespace bvpy::diffreport
