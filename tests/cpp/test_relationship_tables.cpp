// The tables behind the relationship views: look-ups by where a text lies, names in
// first-use order, and the partial ranking that must agree with a full stable sort.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "analysis/plotspec/relationship_common.hpp"

using bv::plotspec::rel::NameTable;
using bv::plotspec::PlaceIndex;

TEST(PlaceIndex, KeysArePlacesNotContents) {
  const std::string a = "src/obj.o", b = "src/obj.o";
  PlaceIndex index;
  index.put(a, 1);
  EXPECT_EQ(index.find(a), 1u);
  EXPECT_EQ(index.find(b), PlaceIndex::kMiss);  // equal text elsewhere
  EXPECT_EQ(index.find(std::string_view(a).substr(0, 3)), PlaceIndex::kMiss);  // same start, shorter
  index.put(b, 2);
  EXPECT_EQ(index.find(a), 1u);
  EXPECT_EQ(index.find(b), 2u);
}

TEST(PlaceIndex, FindsEveryTextAcrossGrowth) {
  // Adjacent places, as the texts of one buffer lie: every prefix of one text.
  const std::string buffer(5000, 'x');
  PlaceIndex index;
  for (uint32_t n = 0; n < buffer.size(); ++n) index.put(std::string_view(buffer).substr(n, 7), n);
  for (uint32_t n = 0; n < buffer.size(); ++n) ASSERT_EQ(index.find(std::string_view(buffer).substr(n, 7)), n);
  EXPECT_EQ(index.find(std::string_view(buffer).substr(0, 8)), PlaceIndex::kMiss);
}

TEST(NameTable, FirstUseOrderAndLookUps) {
  NameTable table;
  EXPECT_EQ(table.find("a"), NameTable::kAbsent);
  const std::string second = "b";
  EXPECT_EQ(table.id("a"), 0u);
  EXPECT_EQ(table.id(second), 1u);
  EXPECT_EQ(table.id(std::string("a")), 0u);  // by content
  for (int i = 0; i < 100; ++i) table.id(std::string_view("abcdefghijklmnopqrstuvwxyz").substr(0, i % 27));
  EXPECT_EQ(table.find("b"), 1u);
  EXPECT_EQ(table.name(1), "b");
  table.add(1, INT64_MAX);
  EXPECT_THROW(table.add(1, 1), bv::Error);
  EXPECT_EQ(table.bytes(1), INT64_MAX);
}

TEST(NameTable, TopRowsAgreeWithAFullStableSort) {
  std::mt19937 rng(3);
  std::vector<std::string> names;
  for (int i = 0; i < 400; ++i) names.push_back("n" + std::to_string(rng() % 1000) + std::string(rng() % 3, '\xc3'));
  NameTable table;
  for (const std::string& n : names) table.add(table.id(n), static_cast<int64_t>(rng() % 6));  // many ties
  std::vector<uint32_t> full(table.size());
  for (uint32_t i = 0; i < full.size(); ++i) full[i] = i;
  std::stable_sort(full.begin(), full.end(), [&](uint32_t a, uint32_t b) {
    if (table.bytes(a) != table.bytes(b)) return table.bytes(a) > table.bytes(b);
    return table.name(b) < table.name(a);
  });
  for (size_t limit : {size_t{0}, size_t{1}, size_t{37}, full.size() - 1, full.size(), full.size() + 5}) {
    const std::vector<uint32_t> top = table.top_desc(limit);
    ASSERT_EQ(top.size(), std::min(limit, full.size()));
    EXPECT_TRUE(std::equal(top.begin(), top.end(), full.begin())) << "limit " << limit;
  }
}
