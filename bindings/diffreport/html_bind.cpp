// Placeholder until this concern lands; replaced wholesale by its implementation.
#include "bindings/diffreport/methods.hpp"
namespace bvpy::diffreport {
namespace {
PyMethodDef kMethods[] = {{nullptr, nullptr, 0, nullptr}};
}
PyMethodDef* html_methods() { return kMethods; }
}  // namespace bvpy::diffreport
