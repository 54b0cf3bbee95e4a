#include "bindings/common/make_value.hpp"

#include "core/value/background_free.hpp"

#include <vector>

namespace bvpy {

ToPy::~ToPy() {
  for (auto& kv : statics_) Py_DECREF(kv.second);
}

PyObject* new_string(std::string_view s) {
  PyObject* o = PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "surrogatepass");
  if (!o) throw PyErrorSet{};
  return o;
}

PyObject* ToPy::static_str(const bv::Value& v) {
  const char* key = v.str_data();
  Slot& slot = cache_[(reinterpret_cast<uintptr_t>(key) >> 3) & 511];
  if (slot.key == key) return Py_NewRef(slot.obj);
  PyObject* o;
  auto it = statics_.find(key);
  if (it != statics_.end()) {
    o = it->second;
  } else {
    o = new_string(v.str());
    PyUnicode_InternInPlace(&o);
    statics_.emplace(key, o);
  }
  slot.key = key;
  slot.obj = o;
  return Py_NewRef(o);
}

PyObject* ToPy::str_obj(const bv::Value& v) {
  if (v.src()) return Py_NewRef(const_cast<PyObject*>(static_cast<const PyObject*>(v.src())));
  if (v.str_mode() == bv::Value::kStatic) return static_str(v);
  return new_string(v.str());
}

template <class Item>
PyObject* ToPy::list_of(size_t n, Item item) {
  PyObject* l = check(PyList_New(static_cast<Py_ssize_t>(n)));
  for (size_t i = 0; i < n; ++i) {
    PyObject* o;
    try {
      o = item(i);
    } catch (...) {
      Py_DECREF(l);
      throw;
    }
    PyList_SET_ITEM(l, static_cast<Py_ssize_t>(i), o);
  }
  return l;
}

template <class Key, class Val>
PyObject* ToPy::dict_of(size_t n, Key key, Val value) {
  PyObject* d = check(PyDict_New());
  try {
    for (size_t i = 0; i < n; ++i) {
      PyObject* k = key(i);
      PyObject* val;
      try {
        val = value(i);
      } catch (...) {
        Py_DECREF(k);
        throw;
      }
      const int rc = PyDict_SetItem(d, k, val);
      Py_DECREF(k);
      Py_DECREF(val);
      if (rc < 0) throw PyErrorSet{};
    }
  } catch (...) {
    Py_DECREF(d);
    throw;
  }
  return d;
}

PyObject* ToPy::convert(const bv::Value& v) {
  switch (v.kind()) {
    case bv::Kind::Null:
      return Py_NewRef(Py_None);
    case bv::Kind::Bool:
      return Py_NewRef(v.as_bool() ? Py_True : Py_False);
    case bv::Kind::Int:
      if (v.src()) return Py_NewRef(const_cast<PyObject*>(static_cast<const PyObject*>(v.src())));
      return check(PyLong_FromLongLong(v.as_int()));
    case bv::Kind::Double:
      if (v.src()) return Py_NewRef(const_cast<PyObject*>(static_cast<const PyObject*>(v.src())));
      return check(PyFloat_FromDouble(v.as_double()));
    case bv::Kind::String:
      return str_obj(v);
    case bv::Kind::Opaque:
      return Py_NewRef(const_cast<PyObject*>(static_cast<const PyObject*>(v.src())));
    case bv::Kind::BigInt: {
      if (v.src()) return Py_NewRef(const_cast<PyObject*>(static_cast<const PyObject*>(v.src())));
      std::string digits(v.big_digits());
      return check(PyLong_FromString(digits.c_str(), nullptr, 10));
    }
    case bv::Kind::List: {
      const bv::List& items = v.items();
      if (v.is_tuple()) {
        PyObject* t = check(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
        for (size_t i = 0; i < items.size(); ++i) {
          PyObject* item;
          try {
            item = convert(items[i]);
          } catch (...) {
            Py_DECREF(t);
            throw;
          }
          PyTuple_SET_ITEM(t, static_cast<Py_ssize_t>(i), item);
        }
        return t;
      }
      return list_of(items.size(), [&](size_t i) { return convert(items[i]); });
    }
    case bv::Kind::Map: {
      const bv::Map& members = v.members();
      return dict_of(
          members.size(), [&](size_t i) { return convert(members[i].key); },
          [&](size_t i) {
            if (i + 4 < members.size())
              if (const void* ahead = members[i + 4].value.src()) __builtin_prefetch(ahead, 1);
            return convert(members[i].value);
          });
    }
    case bv::Kind::Table: {
      const bv::Table& t = v.table();
      const size_t rows = t.rows();
      // The keys' objects once for the table, not once a row.
      std::vector<PyObject*> keys;
      keys.reserve(t.width);
      struct Release {
        std::vector<PyObject*>& objs;
        ~Release() {
          for (PyObject* o : objs) Py_DECREF(o);
        }
      } release{keys};
      for (uint32_t k = 0; k < t.width; ++k) keys.push_back(convert(t.keys[k]));
      return list_of(rows, [&](size_t i) {
        const bv::Value* row = t.row(i);
        // The caller's objects the cells return lie all over its heap, and each gets
        // a reference: ask for those of the row two ahead while this one is made.
        if (i + 2 < rows)
          for (const bv::Value* c = t.row(i + 2); c != t.row(i + 3); ++c)
            if (c->src()) __builtin_prefetch(c->src(), 1);
        return dict_of(
            t.width, [&](size_t k) { return Py_NewRef(keys[k]); }, [&](size_t k) { return convert(row[k]); });
      });
    }
  }
  Py_RETURN_NONE;
}

PyObject* to_python(const bv::Value& v) {
  ToPy conv;
  return conv.convert(v);
}

template <class Drop>
PyObject* ToPy::convert_dropping(bv::Value& v, int depth, Drop& drop) {
  if (depth == 0 || v.is_tuple() || !(v.is_list() || v.is_map())) return convert(v);
  // The part's objects, then the part handed over.
  auto made = [&](bv::Value& part) {
    PyObject* o = convert_dropping(part, depth - 1, drop);
    try {
      drop(std::move(part));
    } catch (...) {
      Py_DECREF(o);
      throw;
    }
    return o;
  };
  if (v.is_list()) {
    bv::List& items = v.items();
    return list_of(items.size(), [&](size_t i) { return made(items[i]); });
  }
  bv::Map& members = v.members();
  return dict_of(
      members.size(), [&](size_t i) { return convert(members[i].key); },
      [&](size_t i) { return made(members[i].value); });
}

PyObject* to_python_freeing_behind(bv::Value&& v) {
  // Deep enough that the thread frees a region, a view or a treemap component at a
  // time, close behind.
  constexpr int kDepth = 3;
  bv::BackgroundFree freeing;
  PyObject* out;
  {
    ToPy conv;
    out = conv.convert_dropping(v, kDepth, freeing);
  }
  v = bv::Value();
  PyThreadState* state = PyEval_SaveThread();
  freeing.finish();
  PyEval_RestoreThread(state);
  return out;
}

}  // namespace bvpy
