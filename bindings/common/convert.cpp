#include "bindings/common/convert.hpp"

#include <algorithm>
#include <cstring>

#include "core/value/text.hpp"

namespace bvpy {

namespace {

const char* const kNameTexts[] = {
#define BV_TEXT(n) #n,
    BV_NAMES(BV_TEXT)
#undef BV_TEXT
};

// str() of a caller's object, for the core's text forms of containers and objects.
bool foreign_str(const void* src, std::string& out) {
  PyGILState_STATE g = PyGILState_Ensure();
  bool ok = false;
  PyObject* s = PyObject_Str(const_cast<PyObject*>(static_cast<const PyObject*>(src)));
  if (s) {
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(s, &n);
    if (p) {
      out.assign(p, static_cast<size_t>(n));
      ok = true;
    } else {
      PyErr_Clear();
      PyObject* b = PyUnicode_AsEncodedString(s, "utf-8", "surrogatepass");
      if (b) {
        out.assign(PyBytes_AS_STRING(b), static_cast<size_t>(PyBytes_GET_SIZE(b)));
        Py_DECREF(b);
        ok = true;
      }
    }
    Py_DECREF(s);
  }
  PyGILState_Release(g);
  return ok;
}

const char* obj_type_name(PyObject* o) { return Py_TYPE(o)->tp_name; }

// The caller's own < and == for objects the core keeps opaque.
int foreign_compare(const void* a, const void* b, int op) {
  PyGILState_STATE g = PyGILState_Ensure();
  int r = PyObject_RichCompareBool(const_cast<PyObject*>(static_cast<const PyObject*>(a)),
                                   const_cast<PyObject*>(static_cast<const PyObject*>(b)), op == 0 ? Py_LT : Py_EQ);
  PyGILState_Release(g);
  return r;
}

}  // namespace

ModState* state(PyObject* module) { return static_cast<ModState*>(PyModule_GetState(module)); }

int init_state(PyObject* module) {
  ModState* st = state(module);
  for (int i = 0; i < static_cast<int>(N::count_); ++i) {
    st->names[i] = PyUnicode_InternFromString(kNameTexts[i]);
    if (!st->names[i]) return -1;
  }
  return 0;
}

int traverse_state(PyObject* module, visitproc visit, void* arg) {
  ModState* st = state(module);
  if (!st) return 0;
  Py_VISIT(st->interval_type);
  return 0;
}

int clear_state(PyObject* module) {
  ModState* st = state(module);
  if (!st) return 0;
  for (int i = 0; i < static_cast<int>(N::count_); ++i) Py_CLEAR(st->names[i]);
  Py_CLEAR(st->interval_type);
  return 0;
}

void free_state(void* module) { clear_state(static_cast<PyObject*>(module)); }

Call::Call(PyObject* module) : st_(state(module)) {
  keep_.reserve(64);
  // Nested values are converted, written and freed recursively: follow the
  // interpreter's limit, but never so deep that the C stack could run out, even when
  // a caller raised the limit far beyond what the host itself could recurse.
  constexpr int kStackSafeDepth = 10000;
  int limit = Py_GetRecursionLimit();
  max_depth_ = limit > 0 ? std::min(limit, kStackSafeDepth) : 1000;
  bv::set_max_depth(max_depth_);
  prev_hook_ = bv::foreign_text_hook();
  prev_compare_ = bv::foreign_compare_hook();
  bv::set_foreign_text_hook(&foreign_str);
  bv::set_foreign_compare_hook(&foreign_compare);
}

Call::~Call() {
  bv::set_foreign_text_hook(prev_hook_);
  bv::set_foreign_compare_hook(prev_compare_);
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
  return bv::Value::opaque(o, obj_type_name(o), empty);
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
  path_.pop_back();
  return out;
}

PyObject* Call::attr_obj(PyObject* obj, N n) { return keep(check(PyObject_GetAttr(obj, name(n)))); }

bv::Value Call::attr(PyObject* obj, N n) { return scalar(check(PyObject_GetAttr(obj, name(n))), true); }

bv::Value Call::attr_deep(PyObject* obj, N n) { return deep(attr_obj(obj, n)); }

std::vector<PyObject*> Call::sequence(PyObject* seq) {
  // A private copy of a list holds every item for the whole call, however the
  // caller's list changes meanwhile (another thread may run while the core works).
  // Tuples cannot change; anything else is read as list(x) would, which also gives
  // the host's own "object is not iterable" error.
  PyObject* fast;
  if (PyList_Check(seq))
    fast = keep(check(PyList_GetSlice(seq, 0, PyList_GET_SIZE(seq))));
  else if (PyTuple_Check(seq))
    fast = hold(seq);
  else
    fast = keep(check(PySequence_List(seq)));
  Py_ssize_t n = PySequence_Fast_GET_SIZE(fast);
  PyObject** items = PySequence_Fast_ITEMS(fast);
  return std::vector<PyObject*>(items, items + n);
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

// ---- output ----

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
      PyObject* l = check(PyList_New(static_cast<Py_ssize_t>(items.size())));
      for (size_t i = 0; i < items.size(); ++i) {
        PyObject* item;
        try {
          item = convert(items[i]);
        } catch (...) {
          Py_DECREF(l);
          throw;
        }
        PyList_SET_ITEM(l, static_cast<Py_ssize_t>(i), item);
      }
      return l;
    }
    case bv::Kind::Map: {
      PyObject* d = check(PyDict_New());
      try {
        for (const bv::Member& m : v.members()) {
          PyObject* k = convert(m.key);
          PyObject* val = convert(m.value);
          int rc = PyDict_SetItem(d, k, val);
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
  }
  Py_RETURN_NONE;
}

PyObject* to_python(const bv::Value& v) {
  ToPy conv;
  return conv.convert(v);
}

PyObject* translate_exception() noexcept {
  try {
    throw;
  } catch (const PyErrorSet&) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error reported without an exception set");
  } catch (const bv::ForeignError&) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error reported without an exception set");
  } catch (const bv::Error& e) {
    PyObject* type = PyExc_RuntimeError;
    switch (e.kind()) {
      case bv::ErrKind::Type:
        type = PyExc_TypeError;
        break;
      case bv::ErrKind::Value:
        type = PyExc_ValueError;
        break;
      case bv::ErrKind::Attribute:
        type = PyExc_AttributeError;
        break;
      case bv::ErrKind::Overflow:
        type = PyExc_OverflowError;
        break;
      case bv::ErrKind::Recursion:
        type = PyExc_RecursionError;
        break;
      case bv::ErrKind::Key:
        type = PyExc_KeyError;
        break;
      case bv::ErrKind::Index:
        type = PyExc_IndexError;
        break;
      case bv::ErrKind::ZeroDivision:
        type = PyExc_ZeroDivisionError;
        break;
      case bv::ErrKind::Runtime:
        type = PyExc_RuntimeError;
        break;
    }
    PyObject* msg = PyUnicode_DecodeUTF8(e.message().data(), static_cast<Py_ssize_t>(e.message().size()),
                                         "surrogatepass");
    if (msg) {
      PyErr_SetObject(type, msg);
      Py_DECREF(msg);
    }
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unexpected C++ exception");
  }
  return nullptr;
}

// ---- argument binding ----

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
