// Placeholder until this concern lands; replaced wholesale by its implementation.
#include "bindings/plotspec/methods.hpp"
namespace bvpy::plotspec {
namespace {
PyMethodDef kMethods[] = {{nullptr, nullptr, 0, nullptr}};
}
PyMethodDef* layout_methods() { return kMethods; }
int add_layout_types(PyObject*) { return 0; }
}  // namespace bvpy::plotspec
