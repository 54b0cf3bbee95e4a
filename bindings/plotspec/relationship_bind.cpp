// Placeholder until this concern lands; replaced wholesale by its implementation.
#include "bindings/plotspec/methods.hpp"
namespace bvpy::plotspec {
namespace {
PyMethodDef kMethods[] = {{nullptr, nullptr, 0, nullptr}};
}
PyMethodDef* relationship_methods() { return kMethods; }

}  // namespace bvpy::plotspec
