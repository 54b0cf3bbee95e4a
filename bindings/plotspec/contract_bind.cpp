// Python entry points of contract assembly and the lookup indexes.
#include <chrono>
#include <ctime>
#include <cstring>
#include <string>
#include <vector>

#include "analysis/plotspec/constants.hpp"
#include "analysis/plotspec/plotspec.hpp"
#include "bindings/plotspec/methods.hpp"
#include "bindings/plotspec/read_records.hpp"
#include "core/value/background_free.hpp"
#include "core/value/text.hpp"

namespace bvpy::plotspec {

namespace {

const ArgSpec kContractSpec{"build_visualization_contract",
                            {"model", "region_usage", "padding_waste", "components", "issues", "regressions", "features"},
                            1,
                            1,
                            {true, true, true, true, true, false}};

// Runs the core without the GIL: it touches no Python object, so threads building
// contracts for different models overlap. The destructor re-takes the GIL on every
// exit, exceptions included.
class WithoutGil {
 public:
  WithoutGil() : state_(PyEval_SaveThread()) {}
  ~WithoutGil() { PyEval_RestoreThread(state_); }
  WithoutGil(const WithoutGil&) = delete;
  WithoutGil& operator=(const WithoutGil&) = delete;

 private:
  PyThreadState* state_;
};

// The cyclic collector would scan the whole half-built result over and over while
// hundreds of thousands of dicts are created; pause it and restore its state.
class GcPaused {
 public:
  GcPaused() : was_enabled_(PyGC_Disable()) {}
  ~GcPaused() {
    if (was_enabled_) PyGC_Enable();
  }
  GcPaused(const GcPaused&) = delete;
  GcPaused& operator=(const GcPaused&) = delete;

 private:
  int was_enabled_;
};

// Seconds spent in each phase of one build, for the benchmarks.
// The core's processor time too: on a large build its two threads add up to more
// than its wall time.
struct PhaseTimes {
  double input = 0, core = 0, core_cpu = 0, output = 0;
  ps::BuildProfile steps;
  bool one_thread = false;  // the benchmark's measure of what sharing the work costs each step
};

double process_cpu_seconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// `large`, when given: whether the build was large enough to share its work
// between two threads.
bv::Value build_contract(Call& c, PyObject* const* a, PhaseTimes* times = nullptr, bool* large = nullptr) {
  auto t0 = std::chrono::steady_clock::now();
  ps::Model model = read_model(c, a[0]);
  ps::ContractInputs in;
  in.model = &model;
  in.features = read_features(c, a[6]);
  in.regressions = read_regressions(c, a[5]);
  in.components = read_components(c, a[3]);
  in.issues = read_issues(c, a[4]);
  PyObject* by_region = c.attr_obj(a[2], N::by_region);
  std::vector<ps::Usage> usages(model.regions.size());
  in.usage.assign(model.regions.size(), nullptr);
  in.padding_bytes.resize(model.regions.size());
  for (size_t i = 0; i < model.regions.size(); ++i) {
    PyObject* name = c.attr_obj(static_cast<PyObject*>(const_cast<void*>(model.regions[i].obj)), N::name);
    PyObject* usage = c.map_get_obj(a[1], name);
    if (usage && usage != Py_None) {
      usages[i] = read_usage(c, usage);
      in.usage[i] = &usages[i];
    }
    PyObject* padding = c.map_get_obj(by_region, name);
    in.padding_bytes[i] = padding ? c.shallow(padding) : bv::Value(0);
  }
  in.needs_host = c.holds_host_objects();
  if (times && times->one_thread) in.two_threads_from = SIZE_MAX;
  if (large) *large = model.symbols.size() >= in.two_threads_from;
  if (times) times->input = seconds_since(t0);
  auto t1 = std::chrono::steady_clock::now();
  const double cpu1 = times ? process_cpu_seconds() : 0;
  WithoutGil released;
  bv::Value contract = ps::build_visualization_contract(in, times ? &times->steps : nullptr);
  if (times) {
    times->core = seconds_since(t1);
    times->core_cpu = process_cpu_seconds() - cpu1;
  }
  return contract;
}

// The contract's objects; its tree is freed too, beside making them when it is large.
// The core's tree holds no Python object: it is freed while other threads run.
PyObject* contract_objects(bv::Value&& contract, bool large) {
  GcPaused paused;
  if (large) return to_python_freeing_behind(std::move(contract));
  PyObject* out = result(std::move(contract));
  WithoutGil released;
  contract = bv::Value();
  return out;
}

PyObject* py_build_visualization_contract(PyObject* m, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    PyObject* a[7];
    bind_args(kContractSpec, args, nargs, kw, a);
    Call c(m);
    bool large = false;
    bv::Value contract = build_contract(c, a, nullptr, &large);
    return contract_objects(std::move(contract), large);
  });
}

// The same build as build_visualization_contract, returning how long reading the
// inputs, the core work (each of its steps too) and creating the result objects took,
// and the contract itself; `one_thread` keeps the whole build on one thread.
PyObject* py_contract_phase_times(PyObject* m, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  static const ArgSpec spec{
      "_contract_phase_times",
      {"model", "region_usage", "padding_waste", "components", "issues", "regressions", "features", "one_thread"},
      1,
      1,
      {true, true, true, true, true, false, false}};
  return guarded([&]() -> PyObject* {
    PyObject* a[8];
    bind_args(spec, args, nargs, kw, a);
    PhaseTimes times;
    if (a[7]) {
      const int one = PyObject_IsTrue(a[7]);
      if (one < 0) return nullptr;
      times.one_thread = one != 0;
    }
    Call c(m);
    bool large = false;
    bv::Value contract = build_contract(c, a, &times, &large);
    auto t0 = std::chrono::steady_clock::now();
    PyObject* obj = contract_objects(std::move(contract), large);
    times.output = seconds_since(t0);
    PyObject* steps = PyDict_New();
    if (!steps) {
      Py_DECREF(obj);
      return nullptr;
    }
    for (size_t i = 0; i < ps::BuildProfile::kSteps; ++i) {
      PyObject* t = PyFloat_FromDouble(times.steps.seconds[i]);
      const int rc = t ? PyDict_SetItemString(steps, ps::BuildProfile::kNames[i], t) : -1;
      Py_XDECREF(t);
      if (rc < 0) {
        Py_DECREF(steps);
        Py_DECREF(obj);
        return nullptr;
      }
    }
    return check(Py_BuildValue("{s:d,s:d,s:d,s:d,s:N,s:O,s:N}", "input", times.input, "core", times.core, "core_cpu",
                               times.core_cpu, "output", times.output, "steps", steps, "two_threads",
                               times.steps.two_threads ? Py_True : Py_False, "contract", obj));
  });
}

const ArgSpec kContractJsonSpec{
    "build_visualization_contract_json",
    {"model", "region_usage", "padding_waste", "components", "issues", "regressions", "features", "indent"},
    1,
    1,
    {true, true, true, true, true, false, false}};

// Values the contract copies from the caller unchanged may be containers the core
// kept opaque; serialise them as json.dumps would, by converting them fully here.
// They are only written, so the call lets their integers have any size first.
void expand_opaque(Call& c, bv::Value& v) {
  switch (v.kind()) {
    case bv::Kind::Opaque: {
      PyObject* o = static_cast<PyObject*>(const_cast<void*>(v.src()));
      if (PyList_Check(o) || PyTuple_Check(o) || PyDict_Check(o)) v = c.deep(o);
      return;
    }
    case bv::Kind::List:
      for (bv::Value& item : v.items()) expand_opaque(c, item);
      return;
    case bv::Kind::Map:
      for (bv::Member& mem : v.members()) expand_opaque(c, mem.value);
      return;
    case bv::Kind::Table:
      for (bv::Value& cell : v.table().cells) expand_opaque(c, cell);
      return;
    default:
      return;
  }
}

PyObject* py_build_visualization_contract_json(PyObject* m, PyObject* const* args, Py_ssize_t nargs,
                                               PyObject* kw) {
  return guarded([&]() -> PyObject* {
    PyObject* a[8];
    bind_args(kContractJsonSpec, args, nargs, kw, a);
    long indent = -1;
    if (a[7] && a[7] != Py_None) {
      indent = PyLong_AsLong(a[7]);
      if (indent == -1 && PyErr_Occurred()) throw PyErrorSet{};
      if (indent < 0) indent = 0;
    }
    Call c(m);
    bool large = false;
    bv::Value contract = build_contract(c, a, nullptr, &large);
    if (c.made_opaque()) {  // only the inputs can bring one in
      c.allow_big_ints();   // as json.dumps writes them
      expand_opaque(c, contract);
    }
    std::vector<std::string> parts;
    {
      WithoutGil released;
      if (indent >= 0) {
        parts.emplace_back();
        bv::write_json_indent(parts.back(), contract, static_cast<int>(indent), c.max_depth());
      } else if (large) {
        parts = bv::write_json_compact_parts(contract, c.max_depth());
      } else {
        parts.emplace_back();
        bv::write_json_compact(parts.back(), contract, c.max_depth());
      }
      if (!large) contract = bv::Value();
    }
    // A large tree is freed beside the copy into the result (it holds no Python
    // object); the freeing is waited for before the call returns.
    bv::BackgroundFree freeing;
    if (large) freeing(std::move(contract));
    size_t total = 0;
    for (const std::string& part : parts) total += part.size();
    PyObject* bytes = check(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(total)));
    char* to = PyBytes_AS_STRING(bytes);
    for (const std::string& part : parts) {
      std::memcpy(to, part.data(), part.size());
      to += part.size();
    }
    WithoutGil released;
    freeing.finish();
    return bytes;
  });
}

const ArgSpec kOneArg(const char* fname, const char* arg) { return ArgSpec{fname, {arg}, 1, 1, {}}; }

PyObject* py_normalize_feature_flags(PyObject* m, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  static const ArgSpec spec = kOneArg("_normalize_feature_flags", "features");
  return guarded([&]() -> PyObject* {
    PyObject* a[1];
    bind_args(spec, args, nargs, kw, a);
    Call c(m);
    return result(ps::normalize_feature_flags(read_features(c, a[0])));
  });
}

bv::Value symbol_record(const ps::Symbol& s) { return bv::Value::opaque(s.obj, "SymbolEntry"); }

PyObject* py_symbols_by_section(PyObject* m, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  static const ArgSpec spec = kOneArg("_symbols_by_section", "symbols");
  return guarded([&]() -> PyObject* {
    PyObject* a[1];
    bind_args(spec, args, nargs, kw, a);
    Call c(m);
    std::vector<ps::Symbol> symbols = read_symbols(c, a[0], kSymSection | kSymSize | kSymAddress | kSymName);
    return result(ps::to_value(ps::symbols_by_section(symbols), &symbol_record));
  });
}

PyObject* py_owners_from_symbols(PyObject* m, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  static const ArgSpec spec = kOneArg("_owners_from_symbols", "symbols");
  return guarded([&]() -> PyObject* {
    PyObject* a[1];
    bind_args(spec, args, nargs, kw, a);
    Call c(m);
    std::vector<ps::Symbol> symbols = read_symbols(c, a[0], kSymObject | kSymArchive | kSymSource);
    std::vector<const ps::Symbol*> ptrs;
    ptrs.reserve(symbols.size());
    for (const ps::Symbol& s : symbols) ptrs.push_back(&s);
    return result(ps::owners_from_symbols(ptrs));
  });
}

PyObject* py_issues_by_entity(PyObject* m, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  static const ArgSpec spec = kOneArg("_issues_by_entity", "issues");
  return guarded([&]() -> PyObject* {
    PyObject* a[1];
    bind_args(spec, args, nargs, kw, a);
    Call c(m);
    return result(ps::to_value(ps::issues_by_entity(read_issues(c, a[0], false))));
  });
}

PyObject* py_policy_issue_index(PyObject* m, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  static const ArgSpec spec = kOneArg("_policy_issue_index", "issues");
  return guarded([&]() -> PyObject* {
    PyObject* a[1];
    bind_args(spec, args, nargs, kw, a);
    Call c(m);
    return result(ps::policy_issue_index(read_issues(c, a[0])));
  });
}

PyObject* py_section_baseline_deltas(PyObject* m, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  static const ArgSpec spec = kOneArg("_section_baseline_deltas", "regressions");
  return guarded([&]() -> PyObject* {
    PyObject* a[1];
    bind_args(spec, args, nargs, kw, a);
    Call c(m);
    return result(ps::to_value(ps::section_baseline_deltas(read_regressions(c, a[0]))));
  });
}

PyObject* py_merge_issue_ids(PyObject* m, PyObject* const* args, Py_ssize_t nargsf, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    if (kw && PyTuple_GET_SIZE(kw) > 0) {
      PyErr_Format(PyExc_TypeError, "_merge_issue_ids() got an unexpected keyword argument '%U'",
                   PyTuple_GET_ITEM(kw, 0));
      throw PyErrorSet{};
    }
    Call c(m);
    Py_ssize_t n = PyVectorcall_NARGS(nargsf);
    std::vector<bv::Value> groups;
    groups.reserve(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      std::vector<PyObject*> items = c.sequence(args[i]);
      bv::Value list = bv::Value::list(items.size());
      for (PyObject* item : items) list.push(c.shallow(item));
      groups.push_back(std::move(list));
    }
    std::vector<const bv::Value*> ptrs;
    for (const bv::Value& g : groups) ptrs.push_back(&g);
    return result(ps::merge_issue_ids(ptrs));
  });
}

PyMethodDef kContractMethods[] = {
    {"build_visualization_contract", BV_FASTCALL(py_build_visualization_contract),
     "build_visualization_contract(model, *, region_usage, padding_waste, components, issues, regressions, "
     "features=None)\n--\n\nBuild the visualization contract (a new dict) from the build model and the analysis "
     "results."},
    {"build_visualization_contract_json", BV_FASTCALL(py_build_visualization_contract_json),
     "build_visualization_contract_json(model, *, region_usage, padding_waste, components, issues, regressions, "
     "features=None, indent=None)\n--\n\nThe same contract as UTF-8 JSON bytes (json.dumps' form, ensure_ascii off; "
     "with indent, json.dumps(..., indent=n)'s form), without building Python objects."},
    {"_contract_phase_times", BV_FASTCALL(py_contract_phase_times), nullptr},
    {"_normalize_feature_flags", BV_FASTCALL(py_normalize_feature_flags), nullptr},
    {"_symbols_by_section", BV_FASTCALL(py_symbols_by_section), nullptr},
    {"_owners_from_symbols", BV_FASTCALL(py_owners_from_symbols), nullptr},
    {"_issues_by_entity", BV_FASTCALL(py_issues_by_entity), nullptr},
    {"_policy_issue_index", BV_FASTCALL(py_policy_issue_index), nullptr},
    {"_section_baseline_deltas", BV_FASTCALL(py_section_baseline_deltas), nullptr},
    {"_merge_issue_ids", BV_FASTCALL(py_merge_issue_ids), nullptr},
    {nullptr, nullptr, 0, nullptr}};

int add_owned(PyObject* m, const char* name, PyObject* o) {
  if (!o) return -1;
  int rc = PyModule_AddObjectRef(m, name, o);
  Py_DECREF(o);
  return rc;
}

int add_int(PyObject* m, const char* name, int64_t v) { return add_owned(m, name, PyLong_FromLongLong(v)); }

template <class Tokens>
int add_tokens(PyObject* m, const char* name, const Tokens& tokens) {
  PyObject* t = PyTuple_New(static_cast<Py_ssize_t>(tokens.size()));
  if (!t) return -1;
  for (size_t i = 0; i < tokens.size(); ++i) {
    PyObject* s = PyUnicode_FromStringAndSize(tokens[i].data(), static_cast<Py_ssize_t>(tokens[i].size()));
    if (!s) {
      Py_DECREF(t);
      return -1;
    }
    PyTuple_SET_ITEM(t, static_cast<Py_ssize_t>(i), s);
  }
  return add_owned(m, name, t);
}

}  // namespace

PyMethodDef* contract_methods() { return kContractMethods; }

int add_constants(PyObject* m) {
  using namespace bv::plotspec;
  if (PyModule_AddStringConstant(m, "VISUALIZATION_SCHEMA_VERSION", VISUALIZATION_SCHEMA_VERSION.data()) < 0) return -1;
  struct {
    const char* name;
    int64_t value;
  } ints[] = {{"_MAX_RANGE_SYMBOLS", MAX_RANGE_SYMBOLS},
              {"_MAX_OWNERSHIP_ROWS", MAX_OWNERSHIP_ROWS},
              {"_MAX_TREEMAP_SYMBOLS_PER_OBJECT", MAX_TREEMAP_SYMBOLS_PER_OBJECT},
              {"_MAX_TREEMAP_OBJECTS_PER_COMPONENT", MAX_TREEMAP_OBJECTS_PER_COMPONENT},
              {"_MAX_SANKEY_INPUT_NODES", MAX_SANKEY_INPUT_NODES},
              {"_MAX_SANKEY_OUTPUT_NODES", MAX_SANKEY_OUTPUT_NODES},
              {"_MAX_SANKEY_LINKS", MAX_SANKEY_LINKS},
              {"_MAX_GRAPH_COMPONENT_NODES", MAX_GRAPH_COMPONENT_NODES},
              {"_MAX_GRAPH_OBJECT_NODES", MAX_GRAPH_OBJECT_NODES},
              {"_MAX_GRAPH_SYMBOL_NODES", MAX_GRAPH_SYMBOL_NODES},
              {"_MAX_GRAPH_LINKS", MAX_GRAPH_LINKS},
              {"_RENDER_MIN_HEIGHT_PX", RENDER_MIN_HEIGHT_PX},
              {"_RENDER_BASE_HEIGHT_PX", RENDER_BASE_HEIGHT_PX},
              {"_RENDER_MAX_HEIGHT_PX", RENDER_MAX_HEIGHT_PX}};
  for (const auto& c : ints)
    if (add_int(m, c.name, c.value) < 0) return -1;
  if (PyModule_AddStringConstant(m, "_RENDER_LAYOUT_MODE", RENDER_LAYOUT_MODE.data()) < 0) return -1;
  if (add_tokens(m, "_STACK_TOKENS", STACK_TOKENS) < 0 || add_tokens(m, "_HEAP_TOKENS", HEAP_TOKENS) < 0 ||
      add_tokens(m, "_RESERVED_TOKENS", RESERVED_TOKENS) < 0 ||
      add_tokens(m, "_PROTECTED_TOKENS", PROTECTED_TOKENS) < 0 ||
      add_tokens(m, "_ROLE_VECTOR_TOKENS", ROLE_VECTOR_TOKENS) < 0 ||
      add_tokens(m, "_ROLE_BSS_TOKENS", ROLE_BSS_TOKENS) < 0 ||
      add_tokens(m, "_ROLE_DATA_TOKENS", ROLE_DATA_TOKENS) < 0 ||
      add_tokens(m, "_ROLE_RODATA_TOKENS", ROLE_RODATA_TOKENS) < 0 ||
      add_tokens(m, "_ROLE_TEXT_TOKENS", ROLE_TEXT_TOKENS) < 0 ||
      add_tokens(m, "_ROLE_HEAP_TOKENS", ROLE_HEAP_TOKENS) < 0 ||
      add_tokens(m, "_ROLE_STACK_TOKENS", ROLE_STACK_TOKENS) < 0)
    return -1;
  return add_layout_types(m);
}

}  // namespace bvpy::plotspec
