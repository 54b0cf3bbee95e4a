// Reading the caller's Python values into core values: one call's conversions, which
// keep alive every object the core's values borrow from.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <initializer_list>
#include <string_view>
#include <utility>
#include <vector>

#include "bindings/common/errors.hpp"
#include "bindings/common/module_state.hpp"
#include "core/value/value.hpp"

namespace bvpy {

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
  // Whether any converted value holds an object only the host can print or compare
  // (an opaque one, or a container converted in full): the core may call back into
  // the host for it.
  bool holds_host_objects() const { return made_opaque_ || made_container_; }
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
  // The (key, value) pairs of a mapping, in its items() order, as borrowed references
  // kept alive by the call (a dict's own items directly).
  std::vector<std::pair<PyObject*, PyObject*>> items(PyObject* mapping);
  // How deep nested values may go in this call (the interpreter's recursion limit,
  // capped so the C stack cannot run out): handed to whatever walks them.
  int max_depth() const { return max_depth_; }

 private:
  bv::Value deep_rec(PyObject* o, int depth);
  bv::Value scalar(PyObject* o, bool owned);
  ModState* st_;
  std::vector<PyObject*> keep_;
  std::vector<PyObject*> path_;  // containers being converted (cycle check)
  int max_depth_;
  bool big_ints_ = false;
  bool made_opaque_ = false;
  bool made_container_ = false;
};

// Attributes of one class that are plain member slots. Under the generic attribute
// look-up a member slot (a data descriptor) answers before anything else, so reading
// one runs no code and gives the slot's own object: the slot can be read in place.
class PlainSlots {
 public:
  static constexpr size_t kMax = 8;
  PlainSlots(Call& c, PyTypeObject* type, std::initializer_list<N> names);
  // Whether every name given is such a slot of the class.
  bool all() const { return all_; }
  // The object in slot k of o, borrowed; null when o is of another class or the slot
  // is empty.
  PyObject* get(PyObject* o, size_t k) const {
    if (!Py_IS_TYPE(o, type_)) return nullptr;
    return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(o) + offset_[k]);
  }

 private:
  PyTypeObject* type_;
  Py_ssize_t offset_[kMax] = {};
  bool all_ = false;
};

// hasattr(o, name), raising only errors other than AttributeError.
bool has_attr(PyObject* o, PyObject* name);

}  // namespace bvpy
