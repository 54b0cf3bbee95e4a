#include "bindings/common/make_value.hpp"

#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
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

template <class Drop>
PyObject* ToPy::convert_dropping(bv::Value& v, int depth, Drop& drop) {
  if (depth == 0 || v.is_tuple() || !(v.is_list() || v.is_map())) return convert(v);
  if (v.is_list()) {
    bv::List& items = v.items();
    PyObject* l = check(PyList_New(static_cast<Py_ssize_t>(items.size())));
    for (size_t i = 0; i < items.size(); ++i) {
      PyObject* item;
      try {
        item = convert_dropping(items[i], depth - 1, drop);
      } catch (...) {
        Py_DECREF(l);
        throw;
      }
      PyList_SET_ITEM(l, static_cast<Py_ssize_t>(i), item);
      drop(std::move(items[i]));
    }
    return l;
  }
  PyObject* d = check(PyDict_New());
  try {
    for (bv::Member& m : v.members()) {
      PyObject* k = convert(m.key);
      PyObject* val;
      try {
        val = convert_dropping(m.value, depth - 1, drop);
      } catch (...) {
        Py_DECREF(k);
        throw;
      }
      const int rc = PyDict_SetItem(d, k, val);
      Py_DECREF(k);
      Py_DECREF(val);
      if (rc < 0) throw PyErrorSet{};
      drop(std::move(m.value));
    }
  } catch (...) {
    Py_DECREF(d);
    throw;
  }
  return d;
}

namespace {

// Frees the values it is handed on a thread of its own, in the order given; with no
// thread to be had, they are freed when it finishes.
class BackgroundFree {
 public:
  BackgroundFree() {
    try {
      thread_ = std::thread([this] { run(); });
    } catch (const std::system_error&) {
    }
  }
  ~BackgroundFree() { finish(); }
  BackgroundFree(const BackgroundFree&) = delete;
  BackgroundFree& operator=(const BackgroundFree&) = delete;
  void operator()(bv::Value&& v) {
    bool wake;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      wake = queue_.empty();
      queue_.push_back(std::move(v));
    }
    if (wake) ready_.notify_one();
  }
  // Every value handed over is freed when this returns.
  void finish() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    ready_.notify_one();
    if (thread_.joinable()) thread_.join();
    queue_.clear();
  }

 private:
  void run() {
    std::vector<bv::Value> batch;
    for (;;) {
      {
        std::unique_lock<std::mutex> lock(mutex_);
        ready_.wait(lock, [&] { return done_ || !queue_.empty(); });
        if (queue_.empty()) return;
        batch.swap(queue_);
      }
      batch.clear();
    }
  }
  std::mutex mutex_;
  std::condition_variable ready_;
  std::vector<bv::Value> queue_;
  bool done_ = false;
  std::thread thread_;
};

}  // namespace

PyObject* to_python_freeing_behind(bv::Value&& v) {
  // Deep enough that the thread frees a region, a view or a treemap component at a
  // time, close behind.
  constexpr int kDepth = 3;
  BackgroundFree freeing;
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
