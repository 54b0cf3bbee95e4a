// The region layout core on its own: exact int / int division beyond 2**53 (the
// Python tests cannot reach it through 64-bit sizes cheaply), the index keys of
// non-text names, the interval operations and one layout built from hand-made records.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>

#include "analysis/plotspec/layout_ops.hpp"
#include "analysis/plotspec/plotspec.hpp"

using namespace bv;
using namespace bv::plotspec;

namespace {

Value i(long long v) { return Value(v); }

}  // namespace

TEST(LayoutDivision, MatchesCorrectlyRoundedQuotient) {
  EXPECT_EQ(layout::int_true_div(1, 3), 1.0 / 3.0);
  EXPECT_EQ(layout::int_true_div(-7, 2), -3.5);
  EXPECT_EQ(layout::int_true_div(0, -5), 0.0);
  // 2**53 + 1 is not a double: (double)a / b would round twice; Python rounds once.
  const int64_t a = (int64_t{1} << 53) + 1;
  EXPECT_EQ(layout::int_true_div(a, 1), 9007199254740992.0);  // tie to even
  EXPECT_EQ(layout::int_true_div(a + 2, 2), 4503599627370498.0);  // 2**52 + 1.5: tie to even
  EXPECT_EQ(layout::int_true_div(a, 2), 4503599627370496.0);      // half of an odd number: tie to even
  // (2**63 - 1) / 3 = 3074457345618258602.33..., nearest double 3074457345618258432
  EXPECT_EQ(layout::int_true_div(INT64_MAX, 3), 3074457345618258432.0);
  EXPECT_EQ(layout::int_true_div(INT64_MIN, INT64_MIN), 1.0);
  EXPECT_EQ(layout::int_true_div(1, INT64_MAX), 1.0 / 9223372036854775807.0);
  EXPECT_THROW(layout::int_true_div(1, 0), Error);
}

TEST(LayoutIndexKey, NumbersShareOneKeyTextStaysText) {
  std::string a, b, c;
  ASSERT_TRUE(layout::index_key(Value(1), a));
  ASSERT_TRUE(layout::index_key(Value(true), b));
  ASSERT_TRUE(layout::index_key(Value(1.0), c));
  EXPECT_EQ(a, b);
  EXPECT_EQ(a, c);
  ASSERT_TRUE(layout::index_key(Value("1"), c));
  EXPECT_NE(a, c);
  EXPECT_EQ(c, "1");
  EXPECT_FALSE(layout::index_key(Value::list(), a));
}

TEST(LayoutIntervals, ClipAndFreeGaps) {
  auto clipped = clip_interval(Interval{i(-5), i(50)}, i(0), i(20));
  ASSERT_TRUE(clipped);
  EXPECT_EQ(clipped->start.as_int(), 0);
  EXPECT_EQ(clipped->end.as_int(), 20);
  EXPECT_FALSE(clip_interval(Interval{i(30), i(40)}, i(0), i(20)));

  auto free = free_intervals(i(0), i(0xFFF), {Interval{i(0x300), i(0x3FF)}, Interval{i(0x100), i(0x1FF)}});
  ASSERT_EQ(free.size(), 3u);
  EXPECT_EQ(free[0].first.end.as_int(), 0xFF);
  EXPECT_FALSE(free[0].second);
  EXPECT_EQ(free[1].first.start.as_int(), 0x200);
  EXPECT_TRUE(free[1].second);
  EXPECT_FALSE(free[2].second);
  EXPECT_TRUE(free_intervals(i(10), i(9), {}).empty());
  EXPECT_EQ(interval_size(Interval{i(5), i(1)}).as_int(), 0);
  EXPECT_THROW(free_intervals(i(0), Value(), {}), Error);
}

TEST(LayoutRegion, OneSectionWithPaddingAndFreeSpace) {
  Region region;
  region.name = Value("RAM");
  region.start_address = i(0);
  region.end_address = i(99);
  region.size = i(100);
  region.category = Value("ram");
  Section s;
  s.name = Value(".stack");
  s.execution_region = Value("RAM");
  s.load_region = Value("RAM");
  s.vma = i(10);
  s.lma = i(10);
  s.size = i(20);
  s.padding_before = i(0);
  s.padding_after = i(2);
  SymbolsBySection symbols;
  IssuesByEntity issues;
  issues["RAM"].push_back(Value("i1"));
  BaselineDeltas deltas;
  Value hints = Value::map();
  RegionLayoutArgs args;
  args.region = &region;
  args.sections = {&s};
  args.section_symbols = &symbols;
  args.issues_by_entity = &issues;
  args.section_baseline_deltas = &deltas;
  args.stack_heap_hints = &hints;
  args.padding_bytes = i(2);
  Value out = build_region_layout(args);
  EXPECT_EQ(out.find("range_count")->as_int(), 4);
  const Value& ranges = *out.find("ranges");
  ASSERT_EQ(ranges.size(), 4u);
  EXPECT_EQ(ranges.items()[0].find("id")->str(), "RAM:free:0");
  EXPECT_EQ(ranges.items()[1].find("id")->str(), "RAM:.stack:10");
  EXPECT_EQ(ranges.items()[1].find("kind")->str(), "stack");
  EXPECT_EQ(ranges.items()[1].find("policy_issue_ids")->items()[0].str(), "i1");
  EXPECT_EQ(ranges.items()[2].find("id")->str(), "RAM:.stack:padding-after:30");
  EXPECT_EQ(ranges.items()[3].find("id")->str(), "RAM:free:30");
  EXPECT_EQ(out.find("stats")->find("stack_bytes")->as_int(), 20);
  EXPECT_EQ(out.find("density_score")->as_double(), 4.0);
  Value hints_map = build_region_render_hints(out, i(100), i(1));
  // density 4.0: the density boost clamps at 220
  EXPECT_EQ(hints_map.find("preferred_height_px")->as_int(), 440);
  EXPECT_TRUE(hints_map.find("scaled_for_readability")->as_bool());
}
