// The self-contained HTML report page and the fragments it is assembled from.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "core/value/value.hpp"

namespace bv::resources {
extern const std::string_view report_css;
extern const std::string_view chart_js;
}  // namespace bv::resources

namespace bv::diffreport {

// The two builds side by side; both arguments are read as maps (anything else
// counts as an empty map).
std::string render_comparison_card(const Value& current, const Value& baseline);

// Compact JSON that can sit inside a script element: every "<" and ">" becomes a
// \u escape, so no payload text can close the element or open a comment.
std::string safe_script_json(const Value& value, int max_depth);
void append_safe_script_json(std::string& out, const Value& value, int max_depth);

// The per-region delta section, or "" when no region row has a non-zero delta.
std::string render_region_delta_strip(const List& regions);

// Table rows for at most ten ranked entries (a single placeholder row when empty).
std::string render_diff_table_rows(const List& entries);

// Chart bars: up to six growths and six shrinkages, largest magnitude first, ten at most.
Value build_diff_chart_entries(const List& regressions, const List& reductions);

// The page for a diff payload map, as the seven texts around its six raw dumps: the
// page is frame[0] + dump[0] + frame[1] + ... + dump[5] + frame[6], the dumps in page
// order (regions, sections, symbols, components, top regressions, top reductions), each
// the list's indented ASCII JSON passed through the markup escape. The caller writes
// the dumps straight from its own objects; they are nearly the whole page.
// `status_truthy` overrides the truth value of the payload's "status" when the caller
// could judge it better (a host object that defines its own truthiness).
std::array<std::string, 7> render_diff_html_frame(const Value& payload,
                                                  std::optional<bool> status_truthy = std::nullopt);

}  // namespace bv::diffreport

namespace bv::diffreport::detail {

// int(x) in the "," (or "+,") format for any double; a NaN or an infinity has no
// integer value and counts as 0 here.
std::string format_truncated(double x, bool force_sign);

}  // namespace bv::diffreport::detail
