// The self-contained HTML report page: a fixed template around the computed fragments,
// the embedded style sheet and chart script, the raw dumps and the chart's JSON island.
#include <cmath>
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

// Everything on the page but the raw dumps.
struct PageParts {
  std::string chart_data, status_text, regression_rows, reduction_rows, region_strip, card, flash_text, ram_text;
  const char* flash_class;
  const char* ram_class;
  const char* chip;
};

PageParts page_parts(const Value& payload, const List& regressions, const List& reductions, const List& regions,
                     std::optional<bool> status_truthy) {
  PageParts p;
  // The chart's entries are the page's own three levels (list, entry, label and
  // delta): the interpreter's default limit is never near.
  p.chart_data = safe_script_json(build_diff_chart_entries(regressions, reductions), 1000);
  double flash = truncated_delta(payload, "flash_delta_bytes");
  double ram = truncated_delta(payload, "ram_delta_bytes");
  const Value* status = payload.find("status");
  if (status) {
    std::string text;
    append_text_form(text, *status);
    append_html_escape(p.status_text, text);
  } else {
    p.status_text = "unknown";
  }
  p.regression_rows = render_diff_table_rows(regressions);
  p.reduction_rows = render_diff_table_rows(reductions);
  p.region_strip = render_region_delta_strip(regions);
  p.card = render_comparison_card(payload.get("current_build", null_value()),
                                  payload.get("baseline_build", null_value()));
  p.flash_class = badge_class(flash);
  p.ram_class = badge_class(ram);
  p.flash_text = detail::format_truncated(flash, true) + " B";
  p.ram_text = detail::format_truncated(ram, true) + " B";
  p.chip = status ? status_class(*status, status_truthy) : "warn";
  return p;
}

}  // namespace

std::array<std::string, 7> render_diff_html_frame(const Value& payload, std::optional<bool> status_truthy) {
  if (!payload.is_map()) raise(ErrKind::Attribute, "'" + type_name(payload) + "' object has no attribute 'get'");
  PageParts p = page_parts(payload, as_list(payload.get("top_regressions", null_value())),
                           as_list(payload.get("top_reductions", null_value())),
                           as_list(payload.get("regions", null_value())), status_truthy);

  std::string_view css = without_final_newline(resources::report_css);
  std::string_view js = without_final_newline(resources::chart_js);
  std::array<std::string, 7> frame;
  std::string& out = frame[0];
  out.reserve(8192 + css.size() + p.regression_rows.size() + p.reduction_rows.size() + p.region_strip.size() +
              p.card.size() + p.status_text.size());
  out += kHead;
  out += css;
  out += kAppbarChip;
  out += p.chip;
  out += kStatusText;
  out += p.status_text;
  out += kAppbarEnd;
  out += kHeader;
  out += kSubtitle;
  out += p.flash_text;
  out += kRamSubtitle;
  out += p.ram_text;
  out += kHeaderEnd;
  out += p.card;
  out += kHeadline;
  out += p.flash_class;
  out += kFlashBadge;
  out += p.flash_text;
  out += kRamBadgeOpen;
  out += p.ram_class;
  out += kRamBadge;
  out += p.ram_text;
  out += kChart;
  out += p.region_strip;
  out += kRegressionsTable;
  out += p.regression_rows;
  out += kReductionsTable;
  out += p.reduction_rows;
  out += kDetails;
  frame[1] = kSectionsDump;
  frame[2] = kSymbolsDump;
  frame[3] = kComponentsDump;
  frame[4] = kRankedDump;
  frame[5] = kReductionsDump;
  std::string& tail = frame[6];
  tail.reserve(kChartData.size() + p.chart_data.size() + kScriptOpen.size() + js.size() + kTail.size());
  tail += kChartData;
  tail += p.chart_data;
  tail += kScriptOpen;
  tail += js;
  tail += kTail;
  return frame;
}

}  // namespace bv::diffreport
