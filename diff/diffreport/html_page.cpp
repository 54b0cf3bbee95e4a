// The self-contained HTML report page: a fixed template around the computed fragments,
// the embedded style sheet and chart script, the raw dumps and the chart's JSON island.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "core/value/text.hpp"
#include "diff/diffreport/coercion.hpp"
#include "diff/diffreport/html_fragments.hpp"

namespace bv::diffreport {

namespace {

constexpr std::string_view kHead =
    "<!doctype html>\n"
    "<html lang=\"en\">\n"
    "<head>\n"
    "  <meta charset=\"utf-8\">\n"
    "  <meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
    "  <title>Brenvale Diff Report</title>\n"
    "  <style>\n";
constexpr std::string_view kAppbarChip =
    "\n"
    "  </style>\n"
    "</head>\n"
    "<body>\n"
    "  <div class=\"appbar\">\n"
    "    <span class=\"appbar-title\">Brenvale Diff</span>\n"
    "    <span class=\"appbar-chip is-status-";
constexpr std::string_view kStatusText =
    "\">Status: ";
constexpr std::string_view kAppbarEnd =
    "</span>\n"
    "    ";
constexpr std::string_view kHeader =
    "\n"
    "  </div>\n"
    "  <div class=\"wrap\">\n"
    "    <header class=\"header\">\n"
    "      <h1>Build-to-build comparison</h1>\n"
    "      ";
constexpr std::string_view kSubtitle =
    "\n"
    "      <p class=\"subtitle\">\n"
    "        <span>Flash delta: ";
constexpr std::string_view kRamSubtitle =
    "</span>\n"
    "        <span>RAM delta: ";
constexpr std::string_view kHeaderEnd =
    "</span>\n"
    "      </p>\n"
    "    </header>\n"
    "\n"
    "    ";
constexpr std::string_view kHeadline =
    "\n"
    "\n"
    "    <section class=\"section\">\n"
    "      <h2 class=\"section-title\">Headline deltas</h2>\n"
    "      <p class=\"summary-note\">\n"
    "        Red bars and positive numbers (e.g. <strong>+4,521 B</strong>) mean the\n"
    "        <strong>current</strong> build uses <strong>more</strong> than the baseline.\n"
    "        Green bars and negative numbers (e.g. <strong>-1,280 B</strong>) mean the\n"
    "        current build is leaner.\n"
    "      </p>\n"
    "      <div class=\"badge-row\">\n"
    "        <span class=\"badge ";
constexpr std::string_view kFlashBadge =
    "\">Flash delta: ";
constexpr std::string_view kRamBadgeOpen =
    "</span>\n"
    "        <span class=\"badge ";
constexpr std::string_view kRamBadge =
    "\">RAM delta: ";
constexpr std::string_view kChart =
    "</span>\n"
    "      </div>\n"
    "      <div class=\"chart-wrap\">\n"
    "        <h3>Diff Impact Chart</h3>\n"
    "        <canvas id=\"diff-impact-chart\"></canvas>\n"
    "      </div>\n"
    "    </section>\n"
    "\n"
    "    ";
constexpr std::string_view kRegressionsTable =
    "\n"
    "\n"
    "    <section class=\"section\">\n"
    "      <h2 class=\"section-title\">Top Regressions</h2>\n"
    "      <p class=\"summary-note\">Largest byte-level increases current-vs-baseline.</p>\n"
    "      <table>\n"
    "        <thead>\n"
    "          <tr><th>Kind</th><th>Name</th><th>Delta</th><th>Status</th></tr>\n"
    "        </thead>\n"
    "        <tbody>\n"
    "          ";
constexpr std::string_view kReductionsTable =
    "\n"
    "        </tbody>\n"
    "      </table>\n"
    "    </section>\n"
    "\n"
    "    <section class=\"section\">\n"
    "      <h2 class=\"section-title\">Top Reductions</h2>\n"
    "      <p class=\"summary-note\">Largest byte-level decreases current-vs-baseline.</p>\n"
    "      <table>\n"
    "        <thead>\n"
    "          <tr><th>Kind</th><th>Name</th><th>Delta</th><th>Status</th></tr>\n"
    "        </thead>\n"
    "        <tbody>\n"
    "          ";
constexpr std::string_view kDetails =
    "\n"
    "        </tbody>\n"
    "      </table>\n"
    "    </section>\n"
    "\n"
    "    <section class=\"section\">\n"
    "      <h2 class=\"section-title\">Detailed Entity Diff</h2>\n"
    "      <p class=\"summary-note\">Full per-entity JSON for scripts and audits. Expand a panel to see raw records.</p>\n"
    "      <details>\n"
    "        <summary>Regions</summary>\n"
    "        <pre>";
constexpr std::string_view kSectionsDump =
    "</pre>\n"
    "      </details>\n"
    "      <details>\n"
    "        <summary>Sections</summary>\n"
    "        <pre>";
constexpr std::string_view kSymbolsDump =
    "</pre>\n"
    "      </details>\n"
    "      <details>\n"
    "        <summary>Symbols</summary>\n"
    "        <pre>";
constexpr std::string_view kComponentsDump =
    "</pre>\n"
    "      </details>\n"
    "      <details>\n"
    "        <summary>Components</summary>\n"
    "        <pre>";
constexpr std::string_view kRankedDump =
    "</pre>\n"
    "      </details>\n"
    "      <details>\n"
    "        <summary>Raw ranked entries</summary>\n"
    "        <pre>";
constexpr std::string_view kReductionsDump =
    "</pre>\n"
    "        <pre>";
constexpr std::string_view kChartData =
    "</pre>\n"
    "      </details>\n"
    "    </section>\n"
    "  </div>\n"
    "  <script id=\"brenvale-diff-chart-data\" type=\"application/json\">";
constexpr std::string_view kScriptOpen =
    "</script>\n"
    "  <script>\n";
constexpr std::string_view kTail =
    "\n"
    "  </script>\n"
    "</body>\n"
    "</html>";

// Editors end a text file with a line feed; the template supplies its own.
std::string_view without_final_newline(std::string_view s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

// The payload's whole-byte deltas: a NaN or an infinity has no integer value, so it
// counts as 0 like any other non-number.
double truncated_delta(const Value& payload, std::string_view key) {
  double d = as_number(payload.get(key, null_value()));
  return std::isfinite(d) ? std::trunc(d) : 0.0;
}

const char* badge_class(double delta) { return delta > 0 ? "negative" : (delta < 0 ? "positive" : "neutral"); }

const char* status_class(const Value& status, std::optional<bool> status_truthy) {
  bool is_true = status_truthy ? *status_truthy : truthy(status);
  if (!is_true) return "warn";
  std::string text;
  append_text_form(text, status);
  std::string lower = py_lower_for_match(text);
  return lower == "ok" ? "ok" : "warn";  // "schema_mismatch" and everything else: warn
}

// The markup escape of the raw dumps, in two passes (size, then fill) over a table:
// the dumps are by far the largest part of a page, tens of megabytes for a large build.
struct EscapeTable {
  uint8_t extra[256] = {};
  constexpr EscapeTable() {
    extra[static_cast<unsigned char>('&')] = 4;   // &amp;
    extra[static_cast<unsigned char>('<')] = 3;   // &lt;
    extra[static_cast<unsigned char>('>')] = 3;   // &gt;
    extra[static_cast<unsigned char>('"')] = 5;   // &quot;
    extra[static_cast<unsigned char>('\'')] = 5;  // &#x27;
  }
};
constexpr EscapeTable kEscape;

size_t escaped_size(std::string_view s) {
  size_t n = s.size();
  for (unsigned char ch : s) n += kEscape.extra[ch];
  return n;
}

void append_escaped(std::string& out, std::string_view s, size_t escaped) {
  size_t start = out.size();
  out.resize(start + escaped);
  char* w = out.data() + start;
  for (char ch : s) {
    if (kEscape.extra[static_cast<unsigned char>(ch)] == 0) {
      *w++ = ch;
      continue;
    }
    const char* entity = ch == '&' ? "&amp;" : ch == '<' ? "&lt;" : ch == '>' ? "&gt;" : ch == '"' ? "&quot;" : "&#x27;";
    size_t len = kEscape.extra[static_cast<unsigned char>(ch)] + 1u;
    std::memcpy(w, entity, len);
    w += len;
  }
}

}  // namespace

std::string render_diff_html(const Value& payload, std::optional<bool> status_truthy) {
  if (!payload.is_map()) raise(ErrKind::Attribute, "'" + type_name(payload) + "' object has no attribute 'get'");
  const Value& regressions_v = payload.get("top_regressions", null_value());
  const Value& reductions_v = payload.get("top_reductions", null_value());
  const Value& regions_v = payload.get("regions", null_value());
  const List& regressions = as_list(regressions_v);
  const List& reductions = as_list(reductions_v);
  const List& regions = as_list(regions_v);

  // The raw dumps come first: a value that is not JSON-ready fails the whole call
  // before anything else is built. They are escaped only when the page is assembled.
  std::string dumps[6];
  size_t dump_sizes[6];
  {
    const Value* sources[6] = {&regions_v,
                               &payload.get("sections", null_value()),
                               &payload.get("symbols", null_value()),
                               &payload.get("components", null_value()),
                               &regressions_v,
                               &reductions_v};
    for (int i = 0; i < 6; ++i) {
      if (as_list(*sources[i]).empty())
        dumps[i] = "[]";
      else
        write_json_indent(dumps[i], *sources[i], 2);
      dump_sizes[i] = escaped_size(dumps[i]);
    }
  }

  std::string chart_data = safe_script_json(build_diff_chart_entries(regressions, reductions));
  double flash = truncated_delta(payload, "flash_delta_bytes");
  double ram = truncated_delta(payload, "ram_delta_bytes");
  const Value* status = payload.find("status");
  std::string status_text;
  if (status) {
    std::string text;
    append_text_form(text, *status);
    append_html_escape(status_text, text);
  } else {
    status_text = "unknown";
  }
  std::string regression_rows = render_diff_table_rows(regressions);
  std::string reduction_rows = render_diff_table_rows(reductions);
  std::string region_strip = render_region_delta_strip(regions);
  std::string card = render_comparison_card(payload.get("current_build", null_value()),
                                            payload.get("baseline_build", null_value()));
  const char* flash_class = badge_class(flash);
  const char* ram_class = badge_class(ram);
  std::string flash_text = detail::format_truncated(flash, true) + " B";
  std::string ram_text = detail::format_truncated(ram, true) + " B";
  const char* chip = status ? status_class(*status, status_truthy) : "warn";

  std::string_view css = without_final_newline(resources::report_css);
  std::string_view js = without_final_newline(resources::chart_js);
  size_t size = 8192 + css.size() + js.size() + chart_data.size() + regression_rows.size() + reduction_rows.size() +
                region_strip.size() + card.size() + status_text.size();
  for (size_t d : dump_sizes) size += d;

  std::string out;
  out.reserve(size);
  out += kHead;
  out += css;
  out += kAppbarChip;
  out += chip;
  out += kStatusText;
  out += status_text;
  out += kAppbarEnd;
  out += kHeader;
  out += kSubtitle;
  out += flash_text;
  out += kRamSubtitle;
  out += ram_text;
  out += kHeaderEnd;
  out += card;
  out += kHeadline;
  out += flash_class;
  out += kFlashBadge;
  out += flash_text;
  out += kRamBadgeOpen;
  out += ram_class;
  out += kRamBadge;
  out += ram_text;
  out += kChart;
  out += region_strip;
  out += kRegressionsTable;
  out += regression_rows;
  out += kReductionsTable;
  out += reduction_rows;
  out += kDetails;
  append_escaped(out, dumps[0], dump_sizes[0]);
  out += kSectionsDump;
  append_escaped(out, dumps[1], dump_sizes[1]);
  out += kSymbolsDump;
  append_escaped(out, dumps[2], dump_sizes[2]);
  out += kComponentsDump;
  append_escaped(out, dumps[3], dump_sizes[3]);
  out += kRankedDump;
  append_escaped(out, dumps[4], dump_sizes[4]);
  out += kReductionsDump;
  append_escaped(out, dumps[5], dump_sizes[5]);
  out += kChartData;
  out += chart_data;
  out += kScriptOpen;
  out += js;
  out += kTail;
  return out;
}

}  // namespace bv::diffreport
