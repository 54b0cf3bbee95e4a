#include "bindings/common/errors.hpp"

#include <exception>
#include <new>

#include "core/value/value.hpp"

namespace bvpy {

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

}  // namespace bvpy
