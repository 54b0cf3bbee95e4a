// Placeholder until this concern lands; replaced wholesale by its implementation.
#include "analysis/plotspec/plotspec.hpp"
namespace bv::plotspec {
Value build_relationship_views(const Model&, const OrderedIndex<const Section*>&, const OrderedIndex<Value>&,
                               const std::vector<Component>&, const Value&) {
  return Value::map();
}
}  // namespace bv::plotspec
