// Render hints: how tall a renderer should draw a region's bar (a preferred pixel
// height that grows with the range count and density, within fixed bounds) and
// whether that height departs upward from the region's proportional share.
#include "analysis/plotspec/constants.hpp"
#include "analysis/plotspec/layout_ops.hpp"
#include "analysis/plotspec/plotspec.hpp"
#include "core/value/text.hpp"

namespace bv::plotspec {

namespace layout {

int clamp_index(const Value& value, const Value& lower, const Value& upper) {
  const int first = gt(lower, value) ? 1 : 0;
  const Value& chosen = first ? lower : value;
  return lt(upper, chosen) ? 2 : first;
}

}  // namespace layout

Value clamp(const Value& value, const Value& lower, const Value& upper) {
  switch (layout::clamp_index(value, lower, upper)) {
    case 1:
      return lower;
    case 2:
      return upper;
    default:
      return value;
  }
}

namespace {

// _clamp on doubles: lower when lower > value, then upper when upper < that.
double clamp_double(double value, double lower, double upper) {
  double x = lower > value ? lower : value;
  return upper < x ? upper : x;
}

// region.get(key, default) or default: a missing key and a false value both give it.
const Value& region_figure(const Value& region, std::string_view key, const Value& dflt) {
  const Value* v = region.find(key);
  return v && truthy(*v) ? *v : dflt;
}

}  // namespace

Value build_region_render_hints(const Value& region, const Value& total_region_bytes, const Value& regions_count) {
  if (!region.is_map()) raise(ErrKind::Attribute, "'" + type_name(region) + "' object has no attribute 'get'");
  static const Value kZero(0);
  static const Value kZeroF(0.0);
  static const Value kOne(1);
  static const Value kBase(static_cast<long long>(RENDER_BASE_HEIGHT_PX));

  int64_t range_count = py_int(region_figure(region, "range_count", kZero));
  if (range_count < 0) range_count = 0;
  const double density = py_float(region_figure(region, "density_score", kZeroF));
  int64_t size_bytes = py_int(region_figure(region, "size_bytes", kZero));
  if (size_bytes < 0) size_bytes = 0;

  const double range_boost = clamp_double(static_cast<double>(range_count - 40) * 1.2, 0.0, 360.0);
  const double density_boost = clamp_double((density - 1.0) * 140.0, 0.0, 220.0);
  const double height = static_cast<double>(RENDER_BASE_HEIGHT_PX) + range_boost + density_boost;
  const int64_t preferred = round_to_int(clamp_double(height, static_cast<double>(RENDER_MIN_HEIGHT_PX),
                                                      static_cast<double>(RENDER_MAX_HEIGHT_PX)));

  // max(regions_count * base, base), then the region's share of that stack.
  const Value scaled = layout::mul(regions_count, kBase);
  const Value& stack_height = layout::max_of(scaled, kBase);
  const Value& divisor = layout::max_of(total_region_bytes, kOne);
  const double share = layout::true_div(Value(static_cast<long long>(size_bytes)), divisor);
  const int64_t proportional = round_to_int(share * py_float(stack_height));

  Value hints = Value::map(4);
  hints.add("layout_mode", Value::static_str(RENDER_LAYOUT_MODE.data()));
  hints.add("min_height_px", Value(static_cast<long long>(RENDER_MIN_HEIGHT_PX)));
  hints.add("preferred_height_px", Value(static_cast<long long>(preferred)));
  hints.add("scaled_for_readability", Value(preferred > proportional));
  return hints;
}

}  // namespace bv::plotspec
