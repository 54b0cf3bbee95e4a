#include "diff/diffreport/console_summary.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include "core/value/text.hpp"
#include "diff/diffreport/coercion.hpp"

namespace bv::diffreport {

const Value* ValuePayload::get(std::string_view key) {
  if (!payload_.is_map()) raise(ErrKind::Attribute, "'" + type_name(payload_) + "' object has no attribute 'get'");
  return payload_.find(key);
}

void append_terminal_safe(std::string& out, std::string_view text) {
  static const char kHex[] = "0123456789abcdef";
  size_t run = 0;  // start of the pending run of bytes copied unchanged
  auto escape = [&](size_t at, size_t len, unsigned code) {
    out.append(text.substr(run, at - run));
    run = at + len;
    switch (code) {
      case '\t':
        out += "\\t";
        return;
      case '\n':
        out += "\\n";
        return;
      case '\r':
        out += "\\r";
        return;
      default:
        out += "\\x";
        out += kHex[code >> 4];
        out += kHex[code & 0xF];
    }
  };
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char b = static_cast<unsigned char>(text[i]);
    if (b < 0x20 || b == 0x7F) {
      escape(i, 1, b);
    } else if (b == 0xC2 && i + 1 < text.size()) {
      // U+0080..U+009F (C1 controls, CSI among them) are C2 80..C2 9F in UTF-8.
      unsigned char c = static_cast<unsigned char>(text[i + 1]);
      if (c >= 0x80 && c <= 0x9F) {
        escape(i, 2, c);
        ++i;
      }
    }
  }
  out.append(text.substr(run));
}

void append_truncated_int(std::string& out, double x) {
  if (!std::isfinite(x)) {
    out += '0';
    return;
  }
  double t = std::trunc(x);
  if (t > -9.2e18 && t < 9.2e18) {
    append_int(out, static_cast<int64_t>(t));  // -0.0 becomes 0, as int() gives
    return;
  }
  // Beyond 64 bits int() is still exact: glibc prints the double's exact integer value.
  char buf[330];
  std::snprintf(buf, sizeof buf, "%.0f", t);
  out += buf;
}

namespace {

void append_value(std::string& out, const Value& v) {
  if (v.is_str()) {
    append_terminal_safe(out, v.str());
    return;
  }
  append_terminal_safe(out, text_form(v));
}

// payload.get(key) or "unknown" when that is absent or falsy.
void append_or_unknown(std::string& out, PayloadView& payload, std::string_view key) {
  const Value* v = payload.get(key);
  if (v && truthy(*v))
    append_value(out, *v);
  else
    out += "unknown";
}

void append_delta_line(std::string& out, PayloadView& payload, const char* label, std::string_view key) {
  const Value* v = payload.get(key);
  out += '\n';
  out += label;
  append_truncated_int(out, as_number(v ? *v : null_value()));
  out += " B";
}

void append_ranked_block(std::string& out, PayloadView& payload, const char* heading, std::string_view key) {
  const Value* v = payload.get(key);
  const List& items = as_list(v ? *v : null_value());
  if (items.empty()) return;
  out += '\n';
  out += heading;
  const size_t n = std::min(items.size(), kConsoleRankedRows);
  for (size_t r = 0; r < n; ++r) {
    Value item = as_mapping(items[r]);
    out += "\n- ";
    append_value(out, item.get("kind", null_value()));
    out += ':';
    append_value(out, item.get("name", null_value()));
    out += " delta=";
    append_value(out, item.get("delta", null_value()));
  }
}

void append_output_paths(std::string& out, const Value& output_paths) {
  if (!truthy(output_paths)) return;
  if (!output_paths.is_map())
    raise(ErrKind::Attribute, "'" + type_name(output_paths) + "' object has no attribute 'items'");
  const Map& members = output_paths.members();
  std::vector<const Member*> sorted;
  sorted.reserve(members.size());
  for (const Member& m : members) sorted.push_back(&m);
  std::stable_sort(sorted.begin(), sorted.end(),
                   [](const Member* a, const Member* b) { return py_lt(a->key, b->key); });
  bool any = false;
  for (const Member* m : sorted) {
    if (!truthy(m->value)) continue;
    if (!any) {
      out += "\nDiff Outputs:";
      any = true;
    }
    out += "\n- ";
    append_value(out, m->key);
    out += ": ";
    append_value(out, m->value);
  }
}

}  // namespace

std::string render_diff_console_summary(PayloadView& payload, const Value& output_paths) {
  std::string out = "Brenvale Diff Summary";
  const Value* status_value = payload.get("status");
  const std::string status = status_value ? text_form(*status_value) : std::string("unknown");
  out += "\nStatus: ";
  append_terminal_safe(out, status);
  out += "\nCurrent schema: ";
  append_or_unknown(out, payload, "current_schema_version");
  out += "\nBaseline schema: ";
  append_or_unknown(out, payload, "baseline_schema_version");
  if (status == "ok") {
    append_delta_line(out, payload, "Flash delta: ", "flash_delta_bytes");
    append_delta_line(out, payload, "RAM delta: ", "ram_delta_bytes");
    append_ranked_block(out, payload, "Top Regressions:", "top_regressions");
    append_ranked_block(out, payload, "Top Reductions:", "top_reductions");
  } else {
    const Value* err = payload.get("schema_error");
    if (err && truthy(*err)) {
      out += "\nSchema error: ";
      append_value(out, *err);
    }
  }
  append_output_paths(out, output_paths);
  return out;
}

}  // namespace bv::diffreport
