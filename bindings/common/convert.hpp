// The one converter between Python objects and core values, plus the shared
// pieces of both modules: argument binding, error translation, module state.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/value/value.hpp"

namespace bvpy {

// A Python error is already set; unwind to the boundary and return NULL.
struct PyErrorSet {};

[[noreturn]] inline void throw_if_error() { throw PyErrorSet{}; }
inline PyObject* check(PyObject* o) {
  if (!o) throw PyErrorSet{};
  return o;
}

// Attribute names and keys read from the caller's objects, interned once per module.
#define BV_NAMES(X)                                                                                    \
  X(name) X(demangled_name) X(address) X(size) X(section_name) X(object_file) X(archive) X(source_file) \
  X(compilation_unit) X(execution_region) X(load_region) X(vma) X(lma) X(padding_before)              \
  X(padding_after) X(start_address) X(end_address) X(category) X(value) X(sections) X(symbols)         \
  X(memory_regions) X(stack_heap_hints) X(objects) X(total_flash) X(total_ram) X(id) X(title)          \
  X(description) X(severity) X(affected_entities) X(used_bytes) X(free_bytes) X(overflow_bytes)       \
  X(utilization_ratio) X(by_region) X(kind) X(delta) X(delta_pct) X(status) X(current) X(get)          \
  X(POLICY) X(RESERVED) X(OVERFLOW) X(start) X(end) X(keys) X(items)

enum class N : int {
#define BV_ENUM(n) n,
  BV_NAMES(BV_ENUM)
#undef BV_ENUM
      count_
};

struct ModState {
  PyObject* names[static_cast<int>(N::count_)];
  PyObject* interval_type;  // plotspec's _Interval type (null in other modules)
};

ModState* state(PyObject* module);
// Module exec helper: fills the interned names. Returns -1 with an error set on failure.
int init_state(PyObject* module);
int traverse_state(PyObject* module, visitproc visit, void* arg);
int clear_state(PyObject* module);
void free_state(void* module);

// One call of a module function: owns every reference the converted values borrow
// from, so the core may view the caller's UTF-8 buffers without copying, even while
// other threads change the caller's containers.
class Call {
 public:
  explicit Call(PyObject* module);
  // Integers beyond 64 bits become BigInt values (shown and serialised exactly)
  // instead of raising OverflowError: for values that are displayed, not computed with.
  void allow_big_ints(bool on = true) { big_ints_ = on; }
  bool big_ints_allowed() const { return big_ints_; }
  // Whether this call has kept any object opaque (then a result may hold one).
  bool made_opaque() const { return made_opaque_; }
  ~Call();
  Call(const Call&) = delete;
  Call& operator=(const Call&) = delete;

  PyObject* name(N n) const { return st_->names[static_cast<int>(n)]; }
  ModState* mod_state() const { return st_; }

  // Room for n more kept references (a large model keeps millions; growing the list
  // by doubling would copy it over and over).
  void expect_refs(size_t n) { keep_.reserve(keep_.size() + n); }
  // Keep a new reference alive until the call returns (steals it).
  PyObject* keep(PyObject* o) {
    keep_.push_back(o);
    return o;
  }
  // Keep a borrowed reference alive until the call returns.
  PyObject* hold(PyObject* o) {
    Py_INCREF(o);
    keep_.push_back(o);
    return o;
  }

  // Scalars (None, bool, int, float, str and their subclasses) become core scalars;
  // anything else becomes an opaque value that remembers the object. Cheap: never
  // looks inside containers.
  bv::Value shallow(PyObject* o);
  // Full conversion of a JSON-ready value: lists, tuples and dicts recursively, with
  // json's cycle check (ValueError "Circular reference detected") and a depth limit
  // (RecursionError). Objects of other types become opaque values.
  bv::Value deep(PyObject* o);
  // getattr(obj, name) (AttributeError passes through) converted shallowly / deeply.
  bv::Value attr(PyObject* obj, N n);
  // A new reference (null: the error is raised) converted shallowly; the call owns it.
  bv::Value take(PyObject* new_ref) { return scalar(check(new_ref), true); }
  bv::Value attr_deep(PyObject* obj, N n);
  // getattr(obj, name) as a new reference kept alive by the call.
  PyObject* attr_obj(PyObject* obj, N n);
  // A sequence attribute/argument as a list of borrowed items kept alive by the call
  // (list(x) semantics: any iterable; TypeError for non-iterables).
  std::vector<PyObject*> sequence(PyObject* seq);
  // A UTF-8 view of a str (lone surrogates kept via surrogatepass).
  std::string_view utf8(PyObject* str);
  // mapping.get(key) for a key given as text: dicts directly, other objects through
  // their own get method (AttributeError when they have none). Returns a borrowed
  // reference kept alive by the call, or nullptr when absent (default applied by caller).
  PyObject* map_get(PyObject* mapping, std::string_view key);
  PyObject* map_get_obj(PyObject* mapping, PyObject* key);

 private:
  bv::Value deep_rec(PyObject* o, int depth);
  bv::Value scalar(PyObject* o, bool owned);
  ModState* st_;
  std::vector<PyObject*> keep_;
  std::vector<PyObject*> path_;  // containers being converted (cycle check)
  int max_depth_;
  bool big_ints_ = false;
  bool made_opaque_ = false;
  bv::ForeignTextFn prev_hook_;
  bv::ForeignCompareFn prev_compare_;
};

// Core value -> new Python object. Static strings (output keys, fixed texts) are
// interned once per conversion; strings and numbers that came from the caller
// return as the caller's own objects.
class ToPy {
 public:
  ToPy() = default;
  ~ToPy();
  ToPy(const ToPy&) = delete;
  ToPy& operator=(const ToPy&) = delete;
  PyObject* convert(const bv::Value& v);  // new reference; throws PyErrorSet
 private:
  PyObject* str_obj(const bv::Value& v);
  PyObject* static_str(const bv::Value& v);
  // Interned objects of the core's literal strings (output keys, fixed texts), by
  // address: a direct-mapped cache in front of the map.
  struct Slot {
    const char* key = nullptr;
    PyObject* obj = nullptr;
  };
  Slot cache_[512];
  std::unordered_map<const char*, PyObject*> statics_;
};

PyObject* to_python(const bv::Value& v);

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

// ---- argument binding with CPython's own error messages ----

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

// hasattr(o, name), raising only errors other than AttributeError.
bool has_attr(PyObject* o, PyObject* name);

// Helpers to build module definitions.
PyObject* new_string(std::string_view s);  // UTF-8 with surrogatepass

}  // namespace bvpy
