// Creating the Python objects of a result from core values.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string_view>
#include <unordered_map>

#include "bindings/common/errors.hpp"
#include "core/value/value.hpp"

namespace bvpy {

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
  // The same, handing each part of v's top `depth` levels to `drop` once its objects
  // exist (v is left holding nulls there).
  template <class Drop>
  PyObject* convert_dropping(bv::Value& v, int depth, Drop& drop);

 private:
  // A list or dict of n items, each made by item(i) (a new reference), or by key(i)
  // and value(i); what was made so far is released when one of them throws.
  template <class Item>
  static PyObject* list_of(size_t n, Item item);
  template <class Key, class Val>
  static PyObject* dict_of(size_t n, Key key, Val value);
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

// The objects of a large result, made while another thread frees the parts of its
// tree already made into objects: the tree holds no Python object, and freeing it
// after making them all would add its time to the call's.
PyObject* to_python_freeing_behind(bv::Value&& v);

// A new str from UTF-8 (lone surrogates kept via surrogatepass).
PyObject* new_string(std::string_view s);

}  // namespace bvpy
