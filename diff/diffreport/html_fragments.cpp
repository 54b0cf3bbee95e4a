#include "diff/diffreport/html_fragments.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "core/value/text.hpp"
#include "diff/diffreport/coercion.hpp"

namespace bv::diffreport {

namespace detail {

namespace {

// Digits with an optional leading sign, grouped by three with commas.
void append_grouped(std::string& out, std::string_view digits) {
  size_t i = 0;
  if (!digits.empty() && (digits[0] == '-' || digits[0] == '+')) out += digits[i++];
  size_t n = digits.size() - i;
  for (size_t k = 0; k < n; ++k) {
    if (k > 0 && (n - k) % 3 == 0) out += ',';
    out += digits[i + k];
  }
}

}  // namespace

void append_truncated(std::string& out, double x, bool force_sign) {
  if (!std::isfinite(x)) x = 0.0;
  double t = std::trunc(x);
  if (std::fabs(t) < 9.2e18) {
    int64_t i = static_cast<int64_t>(t);
    out += force_sign ? fmt_plus_comma_int(i) : fmt_comma_int(i);
    return;
  }
  // Beyond 64 bits: glibc prints the exact decimal value of an integral double.
  char buf[400];
  int n = std::snprintf(buf, sizeof buf, force_sign ? "%+.0f" : "%.0f", t);
  append_grouped(out, std::string_view(buf, static_cast<size_t>(n)));
}

std::string format_truncated(double x, bool force_sign) {
  std::string out;
  append_truncated(out, x, force_sign);
  return out;
}

// A Python int of any size in the "," format.
void append_big_int(std::string& out, std::string_view digits) { append_grouped(out, digits); }

}  // namespace detail

namespace {

const Value kEmptyText("");
const Value kUnknown("unknown");

const Value& lookup(const Value& map, std::string_view key, const Value& dflt) {
  return map.is_map() ? map.get(key, dflt) : dflt;
}

// `info.get(key) or dflt`
const Value& get_or(const Value& map, std::string_view key, const Value& dflt) {
  const Value& v = lookup(map, key, null_value());
  return truthy(v) ? v : dflt;
}

void append_escaped_text(std::string& out, const Value& v) {
  if (v.is_str()) {
    append_html_escape(out, v.str());
    return;
  }
  std::string text;
  append_text_form(text, v);
  append_html_escape(out, text);
}

// `value in (None, "", 0)`: false and 0.0 equal 0; the text "0" does not.
bool is_empty_meta(const Value& v) {
  switch (v.kind()) {
    case Kind::Null:
      return true;
    case Kind::String:
      return v.str().empty();
    case Kind::Bool:
      return !v.as_bool();
    case Kind::Int:
      return v.as_int() == 0;
    case Kind::Double:
      return v.as_double() == 0.0;
    default:
      return false;
  }
}

void append_meta_row(std::string& out, std::string_view label, const Value& value) {
  if (is_empty_meta(value)) return;
  out += "<div class=\"bv-diff-meta-row\"><span class=\"bv-diff-meta-label\">";
  append_html_escape(out, label);
  out += "</span><span class=\"bv-diff-meta-value is-mono\">";
  append_escaped_text(out, value);
  out += "</span></div>";
}

// A byte total of a build. A total that is not a whole-number-able int or float
// (a boolean, a text, a NaN or an infinity) shows no row rather than failing.
void append_bytes_row(std::string& out, std::string_view label, const Value& value) {
  std::string amount;
  switch (value.kind()) {
    case Kind::Int:
      if (value.as_int() == 0) return;
      amount = fmt_comma_int(value.as_int());
      break;
    case Kind::BigInt:
      detail::append_big_int(amount, value.big_digits());
      break;
    case Kind::Double: {
      double d = value.as_double();
      if (!std::isfinite(d) || std::trunc(d) == 0.0) return;
      amount = detail::format_truncated(d, false);
      break;
    }
    default:
      return;
  }
  out += "<div class=\"bv-diff-meta-row\"><span class=\"bv-diff-meta-label\">";
  append_html_escape(out, label);
  out += "</span><span class=\"bv-diff-meta-value is-mono\">";
  out += amount;
  out += " B</span></div>";
}

void append_column(std::string& out, std::string_view role, std::string_view role_label, const Value& info) {
  const Value& path = get_or(info, "path", kEmptyText);
  std::string title;  // the full path as given, backslashes included
  append_text_form(title, path);
  std::string file_label = "(no file supplied)";
  if (truthy(path)) {
    std::string unified = title;
    std::replace(unified.begin(), unified.end(), '\\', '/');
    size_t slash = unified.rfind('/');
    file_label = slash == std::string::npos ? unified : unified.substr(slash + 1);
  }
  const Value& target = get_or(info, "target_name", kUnknown);
  const Value& stamp = lookup(info, "analysis_timestamp", null_value());
  Value analysed = kEmptyText;
  if (truthy(stamp)) {
    std::string text;
    append_text_form(text, stamp);
    size_t t = text.find('T');
    if (t != std::string::npos) text.resize(t);
    analysed = Value(std::move(text));
  }
  const Value& tool = get_or(info, "tool_version", kEmptyText);

  out += "<div class=\"bv-diff-column bv-diff-column--";
  out += role;
  out += "\"><div class=\"bv-diff-column-role\">";
  append_html_escape(out, role_label);
  out += "</div><div class=\"bv-diff-column-file is-mono\" title=\"";
  append_html_escape(out, title);
  out += "\">";
  append_html_escape(out, file_label);
  out += "</div><div class=\"bv-diff-meta\">";
  append_meta_row(out, "Target", target);
  append_meta_row(out, "Analyzed", analysed);
  append_meta_row(out, "Tool version", tool);
  append_bytes_row(out, "Total FLASH", lookup(info, "total_flash", null_value()));
  append_bytes_row(out, "Total RAM", lookup(info, "total_ram", null_value()));
  out += "</div></div>";
}

struct RegionRow {
  std::string_view name;
  double delta, current, baseline;
};

// A NaN or an infinity has no place on a proportional bar or in a byte count.
double finite_or_zero(double x) { return std::isfinite(x) ? x : 0.0; }

std::string stripped_text(const Value& v) {
  if (v.is_str()) return std::string(py_strip(v.str()));
  std::string text;
  append_text_form(text, v);
  return std::string(py_strip(text));
}

}  // namespace

std::string render_comparison_card(const Value& current, const Value& baseline) {
  Value cur = as_mapping(current);
  Value base = as_mapping(baseline);
  std::string out;
  out.reserve(2048);
  out +=
      "\n    <section class=\"section bv-diff-comparison\">\n      <div class=\"bv-diff-legend\">\n        <span "
      "class=\"bv-diff-legend-pill bv-diff-legend-pill--grew\">\n          <span "
      "class=\"bv-diff-legend-swatch\"></span>Red / positive = Current > Baseline (grew)\n        </span>\n        "
      "<span class=\"bv-diff-legend-pill bv-diff-legend-pill--shrank\">\n          <span "
      "class=\"bv-diff-legend-swatch\"></span>Green / negative = Current &lt; Baseline (shrank)\n        </span>\n "
      "     </div>\n      <div class=\"bv-diff-columns\">\n        ";
  append_column(out, "current", "Current", cur);
  out += "\n        <div class=\"bv-diff-arrow\" aria-hidden=\"true\">vs.</div>\n        ";
  append_column(out, "baseline", "Baseline", base);
  out += "\n      </div>\n    </section>";
  return out;
}

void append_safe_script_json(std::string& out, const Value& value, int max_depth) {
  std::string json;
  write_json_compact(json, value, max_depth);
  out.reserve(out.size() + json.size());
  for (char ch : json) {
    if (ch == '<')
      out += "\\u003c";
    else if (ch == '>')
      out += "\\u003e";
    else
      out += ch;
  }
}

std::string safe_script_json(const Value& value, int max_depth) {
  std::string out;
  append_safe_script_json(out, value, max_depth);
  return out;
}

std::string render_region_delta_strip(const List& regions) {
  std::vector<RegionRow> rows;
  std::vector<std::string> names;  // stable storage for the stripped names
  names.reserve(regions.size());
  for (const Value& item : regions) {
    Value m = as_mapping(item);
    if (stripped_text(m.get("kind", kEmptyText)) != "region") continue;
    std::string name = stripped_text(m.get("name", kEmptyText));
    if (name.empty()) continue;
    names.push_back(std::move(name));
    rows.push_back(RegionRow{{}, finite_or_zero(as_number(m.get("delta", null_value()))),
                             finite_or_zero(as_number(m.get("current", null_value()))),
                             finite_or_zero(as_number(m.get("baseline", null_value())))});
  }
  for (size_t i = 0; i < rows.size(); ++i) rows[i].name = names[i];
  if (rows.empty()) return {};
  double max_abs = 0.0;
  for (const RegionRow& r : rows) max_abs = std::max(max_abs, std::fabs(r.delta));
  if (max_abs == 0.0) return {};
  std::stable_sort(rows.begin(), rows.end(),
                   [](const RegionRow& a, const RegionRow& b) { return std::fabs(a.delta) > std::fabs(b.delta); });

  std::string out;
  out.reserve(512 + rows.size() * 480);
  out +=
      "\n    <section class=\"section\">\n      <h2 class=\"section-title\">Per-region delta vs baseline</h2>\n      "
      "<p class=\"summary-note\">\n        Each bar is proportional to the absolute delta (current vs baseline).\n "
      "       Red bars on the right grew; green bars on the left shrank.\n      </p>\n      <ul "
      "class=\"bv-region-delta-list\">\n        ";
  for (const RegionRow& r : rows) {
    double width = std::max(std::min(std::fabs(r.delta) / max_abs * 100.0, 100.0), 2.0);
    const char* direction = r.delta > 0 ? "up" : (r.delta < 0 ? "down" : "flat");
    std::string value_text, context;
    if (std::fabs(r.current) <= 1.5 && std::fabs(r.baseline) <= 1.5) {
      value_text = fmt_plus_1f(r.delta * 100) + "% util";
      context = fmt_1f(r.current * 100) + "% \u2192 " + fmt_1f(r.baseline * 100) + "% baseline";
    } else {
      value_text = fmt_plus_comma_0f(r.delta) + " B";
      context = detail::format_truncated(r.current, false) + " B vs " + detail::format_truncated(r.baseline, false) +
                " B baseline";
    }
    out += "<li class=\"bv-region-delta-row\" data-direction=\"";
    out += direction;
    out += "\"><span class=\"bv-region-delta-name is-mono\">";
    append_html_escape(out, r.name);
    out += "</span><span class=\"bv-region-delta-rail\"><span class=\"bv-region-delta-bar bv-region-delta-bar--";
    out += direction;
    out += "\" style=\"width:";
    out += fmt_1f(width);
    out += "%\"></span></span><span class=\"bv-region-delta-value is-mono\">";
    append_html_escape(out, value_text);
    out += "</span><span class=\"bv-region-delta-context\">";
    append_html_escape(out, context);
    out += "</span></li>";
  }
  out += "\n      </ul>\n    </section>";
  return out;
}

std::string render_diff_table_rows(const List& entries) {
  if (entries.empty())
    return "<tr><td colspan=\"4\" style=\"color: var(--muted); text-align: center; padding: 16px;\">No "
           "entries.</td></tr>";
  std::string out;
  size_t n = std::min<size_t>(entries.size(), 10);
  out.reserve(n * 200);
  for (size_t i = 0; i < n; ++i) {
    Value m = as_mapping(entries[i]);
    double delta = as_number(m.get("delta", null_value()));
    out += "<tr><td class=\"kind-cell\">";
    append_escaped_text(out, m.get("kind", kUnknown));
    out += "</td><td class=\"is-mono\">";
    append_escaped_text(out, m.get("name", kUnknown));
    out += "</td><td class=\"";
    out += delta > 0 ? "delta-pos" : (delta < 0 ? "delta-neg" : "");
    out += "\">";
    out += fmt_plus_comma_0f(delta);
    out += " B</td><td class=\"status-cell\">";
    append_escaped_text(out, m.get("status", kUnknown));
    out += "</td></tr>";
  }
  return out;
}

Value build_diff_chart_entries(const List& regressions, const List& reductions) {
  std::vector<Value> entries;
  entries.reserve(12);
  auto collect = [&entries](const List& items, bool growth) {
    size_t n = std::min<size_t>(items.size(), 6);
    for (size_t i = 0; i < n; ++i) {
      Value m = as_mapping(items[i]);
      double delta = as_number(m.get("delta", null_value()));
      // A NaN or an infinity would reach the JSON island as NaN/Infinity, which the
      // browser's JSON.parse rejects, blanking the whole chart: leave it out.
      if (!std::isfinite(delta)) continue;
      if (growth ? delta <= 0 : delta >= 0) continue;
      std::string label;
      append_text_form(label, m.get("kind", null_value()));
      label += ':';
      append_text_form(label, m.get("name", null_value()));
      Value entry = Value::map(2);
      entry.add("label", Value(std::move(label)));
      entry.add("delta", Value(delta));
      entries.push_back(std::move(entry));
    }
  };
  collect(regressions, true);
  collect(reductions, false);
  std::stable_sort(entries.begin(), entries.end(), [](const Value& a, const Value& b) {
    return std::fabs(a.members()[1].value.as_double()) > std::fabs(b.members()[1].value.as_double());
  });
  Value out = Value::list(std::min<size_t>(entries.size(), 10));
  for (size_t i = 0; i < entries.size() && i < 10; ++i) out.push(std::move(entries[i]));
  return out;
}

}  // namespace bv::diffreport
