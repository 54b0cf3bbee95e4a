// Range payloads: the uniform maps of a region's range list (a placed section with
// its attribution and side panel, or a synthetic padding/free range) and the
// boundary markers of a region.
#include <algorithm>
#include <iterator>

#include "analysis/plotspec/constants.hpp"
#include "analysis/plotspec/layout_ops.hpp"
#include "analysis/plotspec/plotspec.hpp"
#include "core/value/text.hpp"

namespace bv::plotspec {

namespace layout {

int64_t py_len(const Value& v) {
  switch (v.kind()) {
    case Kind::List:
    case Kind::Map:
    case Kind::Table:
      return static_cast<int64_t>(v.size());
    case Kind::String: {
      int64_t n = 0;  // code points: every byte that does not continue a UTF-8 sequence
      for (unsigned char c : v.str()) n += (c & 0xC0) != 0x80;
      return n;
    }
    default:
      raise(ErrKind::Type, "object of type '" + type_name(v) + "' has no len()");
  }
}

}  // namespace layout

namespace {

const Value kZero(0);
const Value kOne(1);
const Value kKib(1024.0);

// `demangled_name or name`
const Value& display_name(const Symbol& s) { return truthy(s.demangled_name) ? s.demangled_name : s.name; }

size_t symbol_rows(std::span<const Symbol* const> symbols) {
  return std::min<size_t>(symbols.size(), static_cast<size_t>(MAX_RANGE_SYMBOLS));
}

Value empty_owners() {
  Value owners = Value::map(3);
  owners.add("objects", Value::list());
  owners.add("archives", Value::list());
  owners.add("sources", Value::list());
  return owners;
}

// size / region_size when region_size > 0, else 0.0
Value ratio_in_region(const Value& size, const Value& region_size) {
  if (layout::gt(region_size, kZero)) return Value(layout::true_div(size, region_size));
  return Value(0.0);
}

}  // namespace

namespace {

// Appends a member in place: the value is copied or moved once, straight into the map
// (add() takes it through two temporaries), which counts for the many small rows.
template <size_t N>
void put(Map& m, const char (&key)[N], const Value& v) {
  m.emplace_back(Value(key), v);
}
template <size_t N>
void put(Map& m, const char (&key)[N], Value&& v) {
  m.emplace_back(Value(key), std::move(v));
}

// A section's symbols as the side panel and the top rows show them.
const Value kBreakdownKeys[] = {"name", "size", "address", "object_file", "archive", "source_file"};
const Value kTopKeys[] = {"name", "size", "address"};

Value breakdown_table(size_t rows) { return Value::table(kBreakdownKeys, std::size(kBreakdownKeys), rows); }

void push_breakdown(Table& t, const Symbol& s, const Value& name) {
  t.push(name, s.size, s.address, s.object_file, s.archive, s.source_file);
}

Value panel_value(const Section& section, Value breakdown, Value owners, Value issue_ids, const Value& baseline_delta) {
  Value sec = Value::map(8);
  sec.add("name", section.name);
  sec.add("execution_region", section.execution_region);
  sec.add("load_region", section.load_region);
  sec.add("vma", section.vma);
  sec.add("lma", section.lma);
  sec.add("size_bytes", section.size);
  sec.add("padding_before", section.padding_before);
  sec.add("padding_after", section.padding_after);

  Value baseline = Value::map(2);
  baseline.add("delta_bytes", baseline_delta);
  baseline.add("status", baseline_delta.is_null() ? Value("unknown") : Value("available"));

  const int64_t violations = layout::py_len(issue_ids);
  Value policy = Value::map(2);
  policy.add("issue_ids", std::move(issue_ids));
  policy.add("violations_count", Value(static_cast<long long>(violations)));

  Value panel = Value::map(5);
  panel.add("section", std::move(sec));
  panel.add("symbol_breakdown", std::move(breakdown));
  panel.add("owners", std::move(owners));
  panel.add("baseline", std::move(baseline));
  panel.add("policy", std::move(policy));
  return panel;
}

}  // namespace

Value section_panel_data(const Section& section, std::span<const Symbol* const> symbols, const Value& owners,
                         const Value& issue_ids, const Value& baseline_delta) {
  const size_t n = symbol_rows(symbols);
  Value breakdown = breakdown_table(n);
  for (size_t i = 0; i < n; ++i) push_breakdown(breakdown.table(), *symbols[i], display_name(*symbols[i]));
  return panel_value(section, std::move(breakdown), owners, issue_ids, baseline_delta);
}

Value section_range_payload(const Value& region_name, const Section& section, const Value& section_start,
                            const Value& section_end, const Value& region_size, const Value& kind, const Value& role,
                            std::span<const Symbol* const> symbols, const Value& issue_ids,
                            const Value& baseline_delta, const OwnerRanks* owner_ranks) {
  Value owners = owner_ranks ? owners_from_ranks(*owner_ranks, symbols) : owners_from_symbols(symbols);
  return layout::section_range_payload_with(region_name, section, section_start, section_end, region_size, kind,
                                            role, symbols, issue_ids, baseline_delta, std::move(owners));
}

namespace layout {

Value section_range_payload_with(const Value& region_name, const Section& section, const Value& section_start,
                                 const Value& section_end, const Value& region_size, const Value& kind,
                                 const Value& role, std::span<const Symbol* const> symbols, const Value& issue_ids,
                                 const Value& baseline_delta, Value owners) {
  // The top rows and the panel's breakdown rows show the same symbols: one pass over
  // them builds both, once their records are at hand.
  const size_t n = symbol_rows(symbols);
  touch_symbol_rows(symbols, n);
  Value top = Value::table(kTopKeys, std::size(kTopKeys), n);
  Value breakdown = breakdown_table(n);
  for (size_t i = 0; i < n; ++i) {
    const Symbol& s = *symbols[i];
    const Value& name = display_name(s);
    top.table().push(name, s.size, s.address);
    push_breakdown(breakdown.table(), s, name);
  }
  Value panel = panel_value(section, std::move(breakdown), owners, issue_ids, baseline_delta);
  const Value& size_bytes = layout::gt(kZero, section.size) ? kZero : section.size;

  std::string id;
  append_text_form(id, region_name);
  id += ':';
  append_text_form(id, section.name);
  id += ':';
  append_text_form(id, section_start);

  Value out = Value::map(19);
  Map& m = out.members();
  put(m, "id", Value(id));
  put(m, "kind", kind);
  put(m, "role", role);
  put(m, "label", section.name);
  put(m, "section_name", section.name);
  put(m, "execution_region", section.execution_region);
  put(m, "load_region", section.load_region);
  put(m, "start_address", section_start);
  put(m, "end_address", section_end);
  put(m, "size_bytes", size_bytes);
  put(m, "size_kib", Value(layout::true_div(size_bytes, kKib)));
  put(m, "utilization_ratio_in_region", ratio_in_region(size_bytes, region_size));
  put(m, "owners", std::move(owners));
  put(m, "top_symbols", std::move(top));
  put(m, "policy_issue_ids", issue_ids);
  put(m, "baseline_delta_bytes", baseline_delta);
  put(m, "panel", std::move(panel));
  put(m, "is_synthetic", Value(false));
  put(m, "lod_group_key", Value());
  return out;
}

}  // namespace layout

Value synthetic_range_payload(const Value& range_id, const Value& kind, const Value& label, const Value& start,
                              const Value& end, const Value& region_size, bool is_inter_section_gap) {
  Value size_bytes = layout::add(layout::sub(end, start), kOne);
  if (layout::gt(kZero, size_bytes)) size_bytes = kZero;

  std::string group;
  append_text_form(group, kind);
  group += ':';
  append_text_form(group, start);

  Value out = Value::map(19);
  out.add("id", range_id);
  out.add("kind", kind);
  out.add("label", label);
  out.add("section_name", Value());
  out.add("execution_region", Value());
  out.add("load_region", Value());
  out.add("start_address", start);
  out.add("end_address", end);
  out.add("size_bytes", size_bytes);
  out.add("size_kib", Value(layout::true_div(size_bytes, kKib)));
  out.add("utilization_ratio_in_region", ratio_in_region(size_bytes, region_size));
  out.add("owners", empty_owners());
  out.add("top_symbols", Value::list());
  out.add("policy_issue_ids", Value::list());
  out.add("baseline_delta_bytes", Value());
  out.add("panel", Value::map());
  out.add("is_synthetic", Value(true));
  out.add("is_inter_section_gap", Value(is_inter_section_gap));
  out.add("lod_group_key", Value(group));
  return out;
}

Value boundary_payload(const std::vector<Value>& boundaries, const Value& region_start, const Value& region_end) {
  std::vector<const Value*> order;
  order.reserve(boundaries.size());
  bool all_int = true;
  for (const Value& v : boundaries) {
    order.push_back(&v);
    all_int = all_int && v.is_int();
  }
  if (all_int) {
    std::stable_sort(order.begin(), order.end(),
                     [](const Value* a, const Value* b) { return a->as_int() < b->as_int(); });
  } else {
    std::stable_sort(order.begin(), order.end(), [](const Value* a, const Value* b) { return py_lt(*a, *b); });
  }
  static const Value kKeys[] = {"address", "kind", "label"};
  Value rows = Value::table(kKeys, std::size(kKeys), order.size());
  Table& t = rows.table();
  for (const Value* address : order) {
    // int(address): an exact int is itself, anything else is converted.
    Value at = address->is_int() ? address->detached() : Value(static_cast<long long>(py_int(*address)));
    if (py_eq(*address, region_start))
      t.push(std::move(at), Value("start"), Value("region start"));
    else if (py_eq(*address, region_end))
      t.push(std::move(at), Value("end"), Value("region end"));
    else
      t.push(std::move(at), Value("internal"), Value("boundary"));
  }
  return rows;
}

}  // namespace bv::plotspec
