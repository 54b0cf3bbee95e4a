// The diff view: the caller's comparison of this build against a baseline, as
// per-region rows a renderer shows directly, ranked by the size of the change and
// split into regions that grew and regions that shrank.
#include <algorithm>
#include <cmath>
#include <string>
#include <string_view>
#include <vector>

#include "analysis/plotspec/constants.hpp"
#include "analysis/plotspec/plotspec.hpp"
#include "core/value/text.hpp"

namespace bv::plotspec {

namespace {

struct Impact {
  const Value* region_name;  // the caller's key, unchanged
  std::string name;          // its text form
  double current, baseline, delta, abs_delta;
};

// The host's float() of a per-region figure, 0.0 when the key is absent.
double ratio(const Value& payload, std::string_view key) {
  const Value* v = payload.find(key);
  return v ? py_float(*v) : 0.0;
}

// int(regressions.get(key) or 0)
int64_t delta_bytes(const Value& regressions, std::string_view key) {
  const Value* v = regressions.find(key);
  if (!v || !truthy(*v)) return 0;
  return py_int(*v);
}

// Descending by (abs_delta, name). A NaN change has no place among the numbers;
// it goes after every number (ties among NaNs by name, descending) so the order is
// total and the same on every run.
bool impact_before(const Impact* pa, const Impact* pb) {
  const Impact& a = *pa;
  const Impact& b = *pb;
  bool an = std::isnan(a.abs_delta), bn = std::isnan(b.abs_delta);
  if (an != bn) return bn;
  if (!an && a.abs_delta != b.abs_delta) return a.abs_delta > b.abs_delta;
  return a.name > b.name;
}

Value impact_row(const Impact& r) {
  Value row = Value::map(7);
  row.add("name", Value(r.name));
  row.add("delta_ratio", Value(r.delta));
  row.add("delta_percent", Value(r.delta * 100.0));
  row.add("current_ratio", Value(r.current));
  row.add("baseline_ratio", Value(r.baseline));
  row.add("direction", r.delta >= 0 ? "growth" : "shrink");
  row.add("abs_delta_ratio", Value(r.abs_delta));
  return row;
}

Value ranked(const std::vector<const Impact*>& rows) {
  const size_t n = std::min(rows.size(), static_cast<size_t>(MAX_OWNERSHIP_ROWS));
  Value list = Value::list(n);
  for (size_t i = 0; i < n; ++i) list.push(impact_row(*rows[i]));
  return list;
}

}  // namespace

Value build_diff_view(const Value& regressions) {
  if (!regressions.is_map())
    raise(ErrKind::Attribute, "'" + type_name(regressions) + "' object has no attribute 'get'");

  // Entries in key order (the whole payload is sorted, so keys that cannot be ordered
  // fail even next to an entry that is skipped), then entries that are not maps dropped.
  std::vector<const Member*> entries;
  const Value* regions = regressions.find("regions");
  if (regions && regions->is_map()) {
    for (const Member& m : regions->members()) entries.push_back(&m);
    bool text_keys =
        std::all_of(entries.begin(), entries.end(), [](const Member* m) { return m->key.is_str(); });
    if (text_keys) {
      std::stable_sort(entries.begin(), entries.end(),
                       [](const Member* a, const Member* b) { return a->key.str() < b->key.str(); });
    } else {
      std::stable_sort(entries.begin(), entries.end(),
                       [](const Member* a, const Member* b) { return py_lt(a->key, b->key); });
    }
  }

  std::vector<Impact> impacts;
  impacts.reserve(entries.size());
  for (const Member* m : entries) {
    if (!m->value.is_map()) continue;
    Impact r;
    r.region_name = &m->key;
    r.current = ratio(m->value, "current");
    r.baseline = ratio(m->value, "baseline");
    r.delta = ratio(m->value, "delta");
    r.abs_delta = std::fabs(r.delta);
    r.name = text_form(m->key);
    impacts.push_back(std::move(r));
  }

  std::vector<const Impact*> ranking;
  ranking.reserve(impacts.size());
  for (const Impact& r : impacts) ranking.push_back(&r);
  std::stable_sort(ranking.begin(), ranking.end(), impact_before);

  std::vector<const Impact*> growth, shrink;
  for (const Impact* r : ranking) {
    if (r->delta > 0)
      growth.push_back(r);
    else if (r->delta < 0)
      shrink.push_back(r);
  }
  std::stable_sort(growth.begin(), growth.end(), [](const Impact* a, const Impact* b) {
    return a->delta != b->delta ? a->delta > b->delta : a->name > b->name;
  });
  std::stable_sort(shrink.begin(), shrink.end(), [](const Impact* a, const Impact* b) {
    return a->delta != b->delta ? a->delta < b->delta : a->name < b->name;
  });

  Value out = Value::map(7);
  const Value* status = regressions.find("status");
  if (!status)
    out.add("status", "not_requested");
  else if (status->is_str())
    out.add("status", *status);
  else
    out.add("status", Value(text_form(*status)));
  out.add("flash_delta_bytes", Value(static_cast<long long>(delta_bytes(regressions, "flash_delta_bytes"))));
  out.add("ram_delta_bytes", Value(static_cast<long long>(delta_bytes(regressions, "ram_delta_bytes"))));
  Value rows = Value::list(impacts.size());
  for (const Impact& r : impacts) {
    Value row = Value::map(4);
    row.add("region_name", *r.region_name);
    row.add("current_ratio", Value(r.current));
    row.add("baseline_ratio", Value(r.baseline));
    row.add("delta_ratio", Value(r.delta));
    rows.push(std::move(row));
  }
  out.add("regions", std::move(rows));
  out.add("impact_ranking", ranked(ranking));
  out.add("top_growth", ranked(growth));
  out.add("top_shrink", ranked(shrink));
  return out;
}

}  // namespace bv::plotspec
