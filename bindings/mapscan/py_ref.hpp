// Owned references and Python errors in the compiled loops of the host's readers.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace mapscan {

// Raised inside a loop: a Python error is set.
struct PyErrorSet {};

// An owned reference.
class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject* p) : p_(p) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(p_);
      p_ = std::exchange(other.p_, nullptr);
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }
  PyObject* get() const { return p_; }
  PyObject* release() { return std::exchange(p_, nullptr); }

 private:
  PyObject* p_ = nullptr;
};

inline PyObject* check(PyObject* p) {
  if (p == nullptr) throw PyErrorSet{};
  return p;
}

}  // namespace mapscan
