#include "bindings/common/read_value.hpp"

#include <algorithm>

#ifndef Py_T_OBJECT_EX
#include <structmember.h>
#define Py_T_OBJECT_EX T_OBJECT_EX
#define Py_AUDIT_READ PY_AUDIT_READ
#endif

namespace bvpy {

Call::Call(PyObject* module) : st_(state(module)) {
  keep_.reserve(64);
  // Nested values are converted, written and freed recursively: follow the
  // interpreter's limit, but never so deep that the C stack could run out, even when
  // a caller raised the limit far beyond what the host itself could recurse.
  constexpr int kStackSafeDepth = 10000;
  int limit = Py_GetRecursionLimit();
  max_depth_ = limit > 0 ? std::min(limit, kStackSafeDepth) : 1000;
}

PlainSlots::PlainSlots(Call& c, PyTypeObject* type, std::initializer_list<N> names) : type_(type) {
  // A class of its own attribute look-up could answer otherwise than its slots.
  if (names.size() > kMax || type->tp_getattro != PyObject_GenericGetAttr) return;
  size_t k = 0;
  for (N n : names) {
    PyObject* descr = _PyType_Lookup(type, c.name(n));  // borrowed
    if (!descr || !Py_IS_TYPE(descr, &PyMemberDescr_Type)) return;
    // A slot descriptor of another class's layout, stored under this class's name,
    // would point into the wrong object.
    if (!PyType_IsSubtype(type, reinterpret_cast<PyDescrObject*>(descr)->d_type)) return;
    const PyMemberDef* member = reinterpret_cast<PyMemberDescrObject*>(descr)->d_member;
    if (member->type != Py_T_OBJECT_EX || (member->flags & Py_AUDIT_READ)) return;
#ifdef Py_RELATIVE_OFFSET
    if (member->flags & Py_RELATIVE_OFFSET) return;
#endif
    offset_[k++] = member->offset;
  }
  all_ = true;
}

Call::~Call() {
  for (auto it = keep_.rbegin(); it != keep_.rend(); ++it) Py_DECREF(*it);
}

std::string_view Call::utf8(PyObject* s) {
  // Most texts are compact ASCII: their characters are already their UTF-8.
  if (PyUnicode_IS_COMPACT_ASCII(s))
    return {static_cast<const char*>(PyUnicode_DATA(s)), static_cast<size_t>(PyUnicode_GET_LENGTH(s))};
  Py_ssize_t n = 0;
  const char* p = PyUnicode_AsUTF8AndSize(s, &n);
  if (p) return {p, static_cast<size_t>(n)};
  // Lone surrogates: keep them, so every text round-trips unchanged.
  PyErr_Clear();
  PyObject* b = check(PyUnicode_AsEncodedString(s, "utf-8", "surrogatepass"));
  keep(b);
  return {PyBytes_AS_STRING(b), static_cast<size_t>(PyBytes_GET_SIZE(b))};
}

bv::Value Call::shallow(PyObject* o) { return scalar(o, false); }

// `owned`: o is a new reference that becomes ours (released here when the value
// does not need it, kept for the call otherwise); else a borrowed one, held if needed.
bv::Value Call::scalar(PyObject* o, bool owned) {
  auto done = [&]() {
    if (owned) Py_DECREF(o);
  };
  auto retain = [&]() {
    if (owned)
      keep(o);
    else
      hold(o);
  };
  if (o == Py_None) {
    done();
    return bv::Value();
  }
  if (o == Py_True || o == Py_False) {
    bool b = o == Py_True;
    done();
    return bv::Value(b);
  }
  if (PyUnicode_Check(o)) {
    retain();
    std::string_view sv = utf8(o);
    return bv::Value::borrowed_str(sv.data(), sv.size(), o);
  }
  if (PyLong_Check(o)) {
    int overflow = 0;
    long long x = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (overflow && big_ints_) {
      retain();
      PyObject* digits = keep(check(PyObject_Str(o)));
      return bv::Value::big_int(utf8(digits), o);
    }
    if (overflow) {
      PyErr_Format(PyExc_OverflowError, "integer %R does not fit in 64 bits", o);
      done();
      throw PyErrorSet{};
    }
    if (x == -1 && PyErr_Occurred()) {
      done();
      throw PyErrorSet{};
    }
    bv::Value v(x);
    if (PyLong_CheckExact(o)) {
      done();
    } else {
      retain();  // an int subclass (an IntEnum member, say) goes back as itself
      v.set_src(o);
    }
    return v;
  }
  if (PyFloat_Check(o)) {
    bv::Value v(PyFloat_AS_DOUBLE(o));
    if (PyFloat_CheckExact(o)) {
      done();
    } else {
      retain();
      v.set_src(o);
    }
    return v;
  }
  retain();
  // Containers we keep opaque still answer truth tests as the host would; other
  // objects' own __bool__ is not run here (the host may never ask).
  bool empty = (PyList_Check(o) && PyList_GET_SIZE(o) == 0) || (PyTuple_Check(o) && PyTuple_GET_SIZE(o) == 0) ||
               (PyDict_Check(o) && PyDict_GET_SIZE(o) == 0);
  made_opaque_ = true;
  return bv::Value::opaque(o, Py_TYPE(o)->tp_name, empty);
}

bv::Value Call::deep(PyObject* o) { return deep_rec(o, 0); }

bv::Value Call::deep_rec(PyObject* o, int depth) {
  bool is_list = PyList_Check(o), is_tuple = PyTuple_Check(o), is_dict = PyDict_Check(o);
  if (!is_list && !is_tuple && !is_dict) return shallow(o);
  if (depth >= max_depth_) {
    PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while converting a nested value");
    throw PyErrorSet{};
  }
  if (std::find(path_.begin(), path_.end(), o) != path_.end()) {
    PyErr_SetString(PyExc_ValueError, "Circular reference detected");
    throw PyErrorSet{};
  }
  hold(o);
  path_.push_back(o);
  bv::Value out;
  if (is_dict) {
    // Snapshot the items first: converting a value may run no Python code, but keys
    // and values must stay alive even if another thread changes the dict.
    PyObject* items = keep(check(PyDict_Items(o)));
    Py_ssize_t n = PyList_GET_SIZE(items);
    out = bv::Value::map(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* kv = PyList_GET_ITEM(items, i);
      PyObject* k = PyTuple_GET_ITEM(kv, 0);
      PyObject* v = PyTuple_GET_ITEM(kv, 1);
      bv::Value key = shallow(k);
      out.add(std::move(key), deep_rec(v, depth + 1));
    }
  } else {
    PyObject* seq = is_list ? keep(check(PyList_GetSlice(o, 0, PyList_GET_SIZE(o)))) : o;
    Py_ssize_t n = is_list ? PyList_GET_SIZE(seq) : PyTuple_GET_SIZE(seq);
    out = bv::Value::list(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* item = is_list ? PyList_GET_ITEM(seq, i) : PyTuple_GET_ITEM(seq, i);
      out.push(deep_rec(item, depth + 1));
    }
    out.mark_tuple(is_tuple);
  }
  out.set_src(o);
  made_container_ = true;
  path_.pop_back();
  return out;
}

PyObject* Call::attr_obj(PyObject* obj, N n) { return keep(check(PyObject_GetAttr(obj, name(n)))); }

bv::Value Call::attr(PyObject* obj, N n) { return scalar(check(PyObject_GetAttr(obj, name(n))), true); }

bv::Value Call::attr_deep(PyObject* obj, N n) { return deep(attr_obj(obj, n)); }

std::vector<PyObject*> Call::sequence(PyObject* seq) {
  // A private copy of a list holds every item for the whole call, however the
  // caller's list changes meanwhile (another thread may run while the core works).
  // Tuples cannot change; anything else, subclasses included (their own __iter__
  // decides), is read as list(x) would, which also gives the host's own "object is
  // not iterable" error.
  PyObject* fast;
  if (PyList_CheckExact(seq))
    fast = keep(check(PyList_GetSlice(seq, 0, PyList_GET_SIZE(seq))));
  else if (PyTuple_CheckExact(seq))
    fast = hold(seq);
  else
    fast = keep(check(PySequence_List(seq)));
  Py_ssize_t n = PySequence_Fast_GET_SIZE(fast);
  PyObject** items = PySequence_Fast_ITEMS(fast);
  return std::vector<PyObject*>(items, items + n);
}

std::vector<std::pair<PyObject*, PyObject*>> Call::items(PyObject* mapping) {
  // A snapshot kept by the call: code run while the pairs are converted (a key's
  // __str__, say) cannot change what is read, nor free it. A dict subclass lists its
  // pairs through its own items(), as a loop over mapping.items() would.
  PyObject* list = keep(check(PyDict_CheckExact(mapping) ? PyDict_Items(mapping) : PyMapping_Items(mapping)));
  const Py_ssize_t n = PyList_GET_SIZE(list);
  std::vector<std::pair<PyObject*, PyObject*>> out;
  out.reserve(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PyList_GET_ITEM(list, i);
    if (PyTuple_CheckExact(item) && PyTuple_GET_SIZE(item) == 2) {
      out.emplace_back(PyTuple_GET_ITEM(item, 0), PyTuple_GET_ITEM(item, 1));
      continue;
    }
    // Any other pair unpacks as `for key, value in mapping.items()` would take it.
    PyObject* pair = keep(check(PySequence_Fast(item, "items() must give (key, value) pairs")));
    if (PySequence_Fast_GET_SIZE(pair) != 2) {
      PyErr_SetString(PyExc_ValueError, "items() must give (key, value) pairs");
      throw PyErrorSet{};
    }
    out.emplace_back(PySequence_Fast_ITEMS(pair)[0], PySequence_Fast_ITEMS(pair)[1]);
  }
  return out;
}

PyObject* Call::map_get_obj(PyObject* mapping, PyObject* key) {
  if (PyDict_CheckExact(mapping)) {
    PyObject* v = PyDict_GetItemWithError(mapping, key);
    if (!v) {
      if (PyErr_Occurred()) throw PyErrorSet{};
      return nullptr;
    }
    return hold(v);
  }
  // Any other mapping: its own get(), as the host would call it.
  PyObject* getter = keep(check(PyObject_GetAttr(mapping, name(N::get))));
  PyObject* marker = keep(check(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&PyBaseObject_Type))));
  PyObject* v = keep(check(PyObject_CallFunctionObjArgs(getter, key, marker, nullptr)));
  if (v == marker) return nullptr;
  return v;
}

PyObject* Call::map_get(PyObject* mapping, std::string_view key) {
  PyObject* k = keep(check(PyUnicode_FromStringAndSize(key.data(), static_cast<Py_ssize_t>(key.size()))));
  return map_get_obj(mapping, k);
}

bool has_attr(PyObject* o, PyObject* name) {
  PyObject* v = PyObject_GetAttr(o, name);
  if (v) {
    Py_DECREF(v);
    return true;
  }
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyErrorSet{};
  PyErr_Clear();
  return false;
}

}  // namespace bvpy
