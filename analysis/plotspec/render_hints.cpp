// Placeholder until this concern lands; replaced wholesale by its implementation.
#include "analysis/plotspec/plotspec.hpp"
namespace bv::plotspec {
Value build_region_render_hints(const Value&, const Value&, const Value&) { return Value::map(); }
}  // namespace bv::plotspec
