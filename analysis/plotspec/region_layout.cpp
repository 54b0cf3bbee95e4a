// Region layout: one memory region and its output sections become the region map
// of the contract (identity, span, usage figures, byte breakdown, boundaries and
// the address-ordered list of section, load image, padding and free ranges). Also
// the interval operations (clipping, free-gap extraction) the layout rests on.
#include <algorithm>
#include <cmath>
#include <deque>

#include "analysis/plotspec/constants.hpp"
#include "analysis/plotspec/layout_ops.hpp"
#include "analysis/plotspec/plotspec.hpp"
#include "core/value/text.hpp"

namespace bv::plotspec {

namespace layout {

void unsupported_comparison(const char* op, const Value& a, const Value& b) {
  raise(ErrKind::Type, std::string("'") + op + "' not supported between instances of '" + type_name(a) + "' and '" +
                           type_name(b) + "'");
}

namespace {
__extension__ typedef unsigned __int128 u128;
}

double int_true_div(int64_t a, int64_t b) {
  if (b == 0) raise(ErrKind::ZeroDivision, "division by zero");
  constexpr uint64_t kExact = uint64_t{1} << 53;
  const bool neg = (a < 0) != (b < 0);
  const uint64_t ua = a < 0 ? uint64_t(0) - static_cast<uint64_t>(a) : static_cast<uint64_t>(a);
  const uint64_t ub = b < 0 ? uint64_t(0) - static_cast<uint64_t>(b) : static_cast<uint64_t>(b);
  if (ua <= kExact && ub <= kExact) return static_cast<double>(a) / static_cast<double>(b);  // both exact: one rounding
  if (ua == 0) return neg ? -0.0 : 0.0;
  // Exact quotient to 55+ significant bits, the remainder folded into a sticky bit, so
  // the one conversion to double rounds the exact value (half to even), as CPython does.
  const int la = 64 - __builtin_clzll(ua);
  const int lb = 64 - __builtin_clzll(ub);
  const int shift = std::max(0, 55 + lb - la);
  const u128 num = static_cast<u128>(ua) << shift;
  u128 q = num / ub;
  const u128 r = num % ub;
  if (r != 0) q |= 1;
  const double mag = std::ldexp(static_cast<double>(static_cast<uint64_t>(q)), -shift);
  return neg ? -mag : mag;
}

double true_div(const Value& a, const Value& b) {
  auto integral = [](const Value& v) { return v.is_int() || v.is_bool(); };
  if (integral(a) && integral(b)) return int_true_div(py_int(a), py_int(b));
  if (!a.is_number() || !b.is_number())
    raise(ErrKind::Type, "unsupported operand type(s) for /: '" + type_name(a) + "' and '" + type_name(b) + "'");
  double y = py_float(b);
  if (y == 0.0) raise(ErrKind::ZeroDivision, "float division by zero");
  return py_float(a) / y;
}

Value mul(const Value& a, const Value& b) {
  if (!a.is_number() || !b.is_number())
    raise(ErrKind::Type, "unsupported operand type(s) for *: '" + type_name(a) + "' and '" + type_name(b) + "'");
  if (a.is_double() || b.is_double()) return Value(py_float(a) * py_float(b));
  return Value(static_cast<long long>(checked_mul(py_int(a), py_int(b))));
}

bool index_key(const Value& name, std::string& out) {
  out.clear();
  if (name.is_str()) {
    out.assign(name.str());
    return true;
  }
  out.push_back('\xff');
  switch (name.kind()) {
    case Kind::Null:
      out += "None";
      return true;
    case Kind::Bool:
      out += name.as_bool() ? "1" : "0";
      return true;
    case Kind::Int:
      append_int(out, name.as_int());
      return true;
    case Kind::Double: {
      double d = name.as_double();
      // 2.0 and 2 are one dict key: an integral double takes the int's key.
      if (std::isfinite(d) && std::trunc(d) == d && std::fabs(d) < 9.2e18)
        append_int(out, static_cast<int64_t>(d));
      else
        append_repr_double(out, d);
      return true;
    }
    default:
      return false;
  }
}

}  // namespace layout

using layout::add;
using layout::gt;
using layout::le;
using layout::lt;
using layout::max_of;
using layout::min_of;
using layout::sub;

namespace {
const Value kZero(0);
const Value kOne(1);
}  // namespace

// ---- intervals ----

std::optional<Interval> clip_interval(const Interval& interval, const Value& lower, const Value& upper) {
  const Value& start = max_of(interval.start, lower);
  const Value& end = min_of(interval.end, upper);
  if (lt(end, start)) return std::nullopt;
  return Interval{start, end};
}

Value interval_size(const Interval& iv) {
  Value n = add(sub(iv.end, iv.start), kOne);
  return gt(kZero, n) ? kZero : n;
}

std::vector<std::pair<Interval, bool>> free_intervals(const Value& start, const Value& end,
                                                      const std::vector<Interval>& occupied) {
  std::vector<std::pair<Interval, bool>> out;
  if (lt(end, start)) return out;
  if (occupied.empty()) {
    out.emplace_back(Interval{start, end}, false);
    return out;
  }

  // Occupied spans in (start, end) order; a stable sort, like sorted().
  std::vector<const Interval*> order;
  order.reserve(occupied.size());
  bool all_int = true;
  for (const Interval& iv : occupied) {
    order.push_back(&iv);
    all_int = all_int && iv.start.is_int() && iv.end.is_int();
  }
  if (all_int) {
    std::stable_sort(order.begin(), order.end(), [](const Interval* a, const Interval* b) {
      if (a->start.as_int() != b->start.as_int()) return a->start.as_int() < b->start.as_int();
      return a->end.as_int() < b->end.as_int();
    });
  } else {
    std::stable_sort(order.begin(), order.end(), [](const Interval* a, const Interval* b) {
      const Value ka[2] = {a->start, a->end};
      const Value kb[2] = {b->start, b->end};
      return py_lt_seq(ka, kb, 2);
    });
  }

  // Merge overlapping and touching spans (copies: the inputs stay as they are).
  std::vector<Interval> merged;
  merged.reserve(order.size());
  for (const Interval* iv : order) {
    if (merged.empty()) {
      merged.push_back(*iv);
      continue;
    }
    Interval& last = merged.back();
    if (le(iv->start, add(last.end, kOne))) {
      if (gt(iv->end, last.end)) last.end = iv->end;
    } else {
      merged.push_back(*iv);
    }
  }

  // Gaps: before the first span (flag false), between spans (true), after the last (false).
  std::vector<std::pair<Interval, bool>> gaps;
  gaps.reserve(merged.size() + 1);
  Value cursor = start;
  bool seen = false;
  for (const Interval& m : merged) {
    if (gt(m.start, cursor)) gaps.emplace_back(Interval{cursor, sub(m.start, kOne)}, seen);
    Value next = add(m.end, kOne);
    if (gt(next, cursor)) cursor = std::move(next);
    seen = true;
  }
  if (le(cursor, end)) gaps.emplace_back(Interval{cursor, end}, false);

  out.reserve(gaps.size());
  for (auto& g : gaps)
    if (gt(interval_size(g.first), kZero)) out.push_back(std::move(g));
  return out;
}

// ---- region layout ----

namespace {

// Sections ascending by (address, size, name), stable: the address is the vma for the
// sections running here and the lma for the load images stored here.
void sort_sections(std::vector<const Section*>& sections, Value Section::*address = &Section::vma) {
  bool fast = true;
  for (const Section* s : sections) {
    if (!(s->*address).is_int() || !s->size.is_int() || !s->name.is_str()) {
      fast = false;
      break;
    }
  }
  if (fast) {
    std::stable_sort(sections.begin(), sections.end(), [address](const Section* a, const Section* b) {
      if ((a->*address).as_int() != (b->*address).as_int()) return (a->*address).as_int() < (b->*address).as_int();
      if (a->size.as_int() != b->size.as_int()) return a->size.as_int() < b->size.as_int();
      return a->name.str() < b->name.str();
    });
    return;
  }
  std::stable_sort(sections.begin(), sections.end(), [address](const Section* a, const Section* b) {
    const Value ka[3] = {a->*address, a->size, a->name};
    const Value kb[3] = {b->*address, b->size, b->name};
    return py_lt_seq(ka, kb, 3);
  });
}

// The region's boundary addresses: a set in the host's sense (1, 1.0 and True are one
// element, the first one added stays), handed on as a list of distinct values.
class BoundarySet {
 public:
  void add(const Value& v) {
    all_int_ = all_int_ && v.is_int();
    values_.push_back(v);
  }
  std::vector<Value> distinct() && {
    if (all_int_) {
      std::vector<int64_t> ints;
      ints.reserve(values_.size());
      for (const Value& v : values_) ints.push_back(v.as_int());
      std::sort(ints.begin(), ints.end());
      ints.erase(std::unique(ints.begin(), ints.end()), ints.end());
      std::vector<Value> out;
      out.reserve(ints.size());
      for (int64_t i : ints) out.emplace_back(static_cast<long long>(i));
      return out;
    }
    // Equal values end up adjacent, the first added first (stable); keep that one.
    std::stable_sort(values_.begin(), values_.end(), [](const Value& a, const Value& b) { return py_lt(a, b); });
    std::vector<Value> out;
    out.reserve(values_.size());
    for (Value& v : values_) {
      if (!out.empty() && py_eq(out.back(), v)) continue;
      out.push_back(std::move(v));
    }
    return out;
  }

 private:
  std::vector<Value> values_;
  bool all_int_ = true;
};

HintSet hint_set(const Value& hints, std::string_view key) {
  if (!hints.is_map()) raise(ErrKind::Attribute, "'" + type_name(hints) + "' object has no attribute 'get'");
  const Value* list = hints.find(key);
  return list ? HintSet::from_list(*list) : HintSet{};
}

const Value kPadding("padding");
const Value kFree("free");
const Value kGapLabel("Inter-section gap (alignment waste)");
const Value kFreeLabel("Free space");

int64_t range_key_int(const Value& range, std::string_view key) { return py_int(range.get(key, kZero)); }

}  // namespace

Value build_region_layout(const RegionLayoutArgs& a) {
  const Region& region = *a.region;
  const Value& region_start = region.start_address;
  const Value& region_end = region.end_address;
  int64_t size = truthy(region.size) ? py_int(region.size) : 0;
  const Value region_size(static_cast<long long>(size > 0 ? size : 0));

  std::vector<const Section*> sections = a.sections;
  sort_sections(sections);

  std::vector<Interval> occupied;
  occupied.reserve(sections.size() + a.load_images.size());
  std::vector<Value> ranges;
  ranges.reserve(sections.size() * 2 + a.load_images.size() + 1);
  BoundarySet boundaries;
  boundaries.add(region_start);
  boundaries.add(region_end);

  static const Value kNoHints = Value::map();
  const Value& hints = a.stack_heap_hints ? *a.stack_heap_hints : kNoHints;
  const HintSet stack_hints = hint_set(hints, "stack_sections");
  const HintSet heap_hints = hint_set(hints, "heap_sections");

  Value stack_bytes(0), heap_bytes(0), reserved_bytes(0), protected_bytes(0);

  // The region name as text, taken once when first needed (ids and labels).
  std::string region_text;
  bool have_region_text = false;
  auto region_name_text = [&]() -> const std::string& {
    if (!have_region_text) {
      append_text_form(region_text, region.name);
      have_region_text = true;
    }
    return region_text;
  };

  // The issues_by_entity entry of the region, the same for every section.
  const std::vector<Value>* region_issue_ids = nullptr;
  bool have_region_issues = false;

  OwnerScratch owner_scratch;
  // The range of a section stored or running here, with the section's attribution.
  auto section_payload = [&](const Section& s, const Value& start, const Value& end, const Value& kind) {
    const std::vector<const Symbol*>* syms = layout::index_find(*a.section_symbols, s.name);
    std::span<const Symbol* const> symbols;
    if (syms) symbols = std::span<const Symbol* const>(syms->data(), syms->size());
    const Value role = section_role(s.name, region.name);
    if (!have_region_issues) {
      region_issue_ids = layout::index_find(*a.issues_by_entity, region.name);
      have_region_issues = true;
    }
    const std::vector<Value>* groups[2] = {layout::index_find(*a.issues_by_entity, s.name), region_issue_ids};
    const Value issue_ids = merge_issue_ids(std::span<const std::vector<Value>* const>(groups));
    const int64_t* delta = layout::index_find(*a.section_baseline_deltas, s.name);
    const Value baseline_delta = delta ? Value(static_cast<long long>(*delta)) : Value();
    Value owners = a.owner_ranks ? owners_from_ranks(*a.owner_ranks, symbols, owner_scratch)
                                 : owners_from_symbols(symbols);
    return layout::section_range_payload_with(region.name, s, start, end, region_size, kind, role, symbols,
                                              issue_ids, baseline_delta, std::move(owners));
  };

  std::string text;
  for (const Section* sp : sections) {
    const Section& s = *sp;
    const Value& start = s.vma;
    const Value size_v = gt(kZero, s.size) ? kZero : s.size;
    const Value end = gt(size_v, kZero) ? sub(add(start, size_v), kOne) : start;

    const Value kind = section_kind(s.name, region.name, stack_hints, heap_hints);
    const std::string_view k = kind.str();
    if (k == "stack")
      stack_bytes = add(stack_bytes, size_v);
    else if (k == "heap")
      heap_bytes = add(heap_bytes, size_v);
    else if (k == "reserved")
      reserved_bytes = add(reserved_bytes, size_v);
    else if (k == "protected")
      protected_bytes = add(protected_bytes, size_v);

    boundaries.add(start);
    boundaries.add(end);

    if (gt(size_v, kZero)) {
      if (std::optional<Interval> clipped = clip_interval(Interval{start, end}, region_start, region_end))
        occupied.push_back(std::move(*clipped));
    }

    ranges.push_back(section_payload(s, start, end, kind));

    // A padding span gets boundaries and a synthetic range named after its section.
    auto add_padding = [&](const Value& pad_start, const Value& pad_end, const char* id_tag, const char* label_tag) {
      boundaries.add(pad_start);
      boundaries.add(pad_end);
      text = region_name_text();
      text += ':';
      append_text_form(text, s.name);
      text += id_tag;
      append_text_form(text, pad_start);
      Value id(text);
      text.clear();
      append_text_form(text, s.name);
      text += label_tag;
      ranges.push_back(synthetic_range_payload(id, kPadding, Value(text), pad_start, pad_end, region_size, false));
    };
    if (gt(s.padding_before, kZero))
      add_padding(sub(start, s.padding_before), sub(start, kOne), ":padding-before:", " (padding before)");
    if (gt(s.padding_after, kZero))
      add_padding(add(end, kOne), add(end, s.padding_after), ":padding-after:", " (padding after)");
  }

  // A section that runs elsewhere but is stored here (initialised data, code copied to
  // RAM) takes room here too: its load image is occupied, never free or a gap. It adds
  // nothing to the kind counters, which describe what runs here, and has no padding.
  std::vector<const Section*> images = a.load_images;
  sort_sections(images, &Section::lma);
  for (const Section* sp : images) {
    const Section& s = *sp;
    const Value& start = s.lma;
    const Value end = sub(add(start, s.size), kOne);
    boundaries.add(start);
    boundaries.add(end);
    if (std::optional<Interval> clipped = clip_interval(Interval{start, end}, region_start, region_end))
      occupied.push_back(std::move(*clipped));
    const Value kind = section_kind(s.name, region.name, stack_hints, heap_hints);
    Value payload = section_payload(s, start, end, kind);
    text.clear();
    append_text_form(text, s.name);
    text += " (load image)";
    payload.set("label", Value(text));
    ranges.push_back(std::move(payload));
  }

  const std::vector<std::pair<Interval, bool>> free = free_intervals(region_start, region_end, occupied);
  for (const auto& [iv, is_gap] : free) {
    text = region_name_text();
    text += ":free:";
    append_text_form(text, iv.start);
    ranges.push_back(synthetic_range_payload(Value(text), kFree, is_gap ? kGapLabel : kFreeLabel, iv.start, iv.end,
                                             region_size, is_gap));
  }

  Value used, free_bytes, utilization, overflow;
  if (!a.usage) {
    used = kZero;
    for (const Section* s : a.sections) used = add(used, gt(kZero, s->size) ? kZero : s->size);
    for (const Section* s : images) used = add(used, gt(kZero, s->size) ? kZero : s->size);
    free_bytes = kZero;
    for (const auto& entry : free) free_bytes = add(free_bytes, interval_size(entry.first));
    utilization = truthy(region_size) ? Value(layout::true_div(used, region_size)) : Value(0.0);
    Value over = sub(used, region_size);
    overflow = gt(kZero, over) ? kZero : over;
  } else {
    used = a.usage->used_bytes;
    free_bytes = a.usage->free_bytes;
    utilization = a.usage->utilization_ratio;
    overflow = a.usage->overflow_bytes;
  }

  const int64_t range_count = static_cast<int64_t>(ranges.size());
  // round(range_count / max(region_size / 4096, 1), 4)
  const double per_page = layout::int_true_div(region_size.as_int(), 4096);
  const double density = per_page > 1 ? static_cast<double>(range_count) / per_page : static_cast<double>(range_count);

  Value stats = Value::map(7);
  stats.add("stack_bytes", std::move(stack_bytes));
  stats.add("heap_bytes", std::move(heap_bytes));
  const int64_t padding = py_int(a.padding_bytes);
  stats.add("padding_bytes", Value(static_cast<long long>(padding > 0 ? padding : 0)));
  stats.add("reserved_bytes", std::move(reserved_bytes));
  stats.add("protected_bytes", std::move(protected_bytes));
  stats.add("sections_count", Value(static_cast<long long>(a.sections.size())));
  stats.add("free_ranges_count", Value(static_cast<long long>(free.size())));

  Value boundary_rows = boundary_payload(std::move(boundaries).distinct(), region_start, region_end);

  // Ranges by (int(start_address), int(end_address), str(id)), stable.
  struct Key {
    int64_t start, end;
    std::string_view id;
    size_t index;
  };
  std::deque<std::string> id_texts;  // text forms of ids that are not text (never for our own payloads)
  std::vector<Key> keys;
  keys.reserve(ranges.size());
  static const Value kEmpty("");
  for (size_t i = 0; i < ranges.size(); ++i) {
    const Value& r = ranges[i];
    Key key{range_key_int(r, "start_address"), range_key_int(r, "end_address"), {}, i};
    const Value& id = r.get("id", kEmpty);
    if (id.is_str()) {
      key.id = id.str();
    } else {
      id_texts.push_back(text_form(id));
      key.id = id_texts.back();
    }
    keys.push_back(key);
  }
  std::stable_sort(keys.begin(), keys.end(), [](const Key& x, const Key& y) {
    if (x.start != y.start) return x.start < y.start;
    if (x.end != y.end) return x.end < y.end;
    return x.id < y.id;
  });
  Value sorted_ranges = Value::list(ranges.size());
  for (const Key& key : keys) sorted_ranges.push(std::move(ranges[key.index]));

  Value out = Value::map(16);
  out.add("id", region.name);
  out.add("name", region.name);
  out.add("category", region.category);
  out.add("start_address", region_start);
  out.add("end_address", region_end);
  out.add("size_bytes", region_size);
  out.add("used_bytes", std::move(used));
  out.add("free_bytes", std::move(free_bytes));
  out.add("utilization_ratio", std::move(utilization));
  out.add("overflow_bytes", std::move(overflow));
  out.add("range_count", Value(static_cast<long long>(range_count)));
  out.add("density_score", Value(round_half_even(density, 4)));
  out.add("stats", std::move(stats));
  out.add("boundaries", std::move(boundary_rows));
  out.add("ranges", std::move(sorted_ranges));
  return out;
}

}  // namespace bv::plotspec
