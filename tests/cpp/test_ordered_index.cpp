// The text-keyed index the contract builders share: insertion order, lookups
// across table growth, and keys that differ only in their last bytes or length.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>

#include "analysis/plotspec/records.hpp"

using bv::plotspec::OrderedIndex;

TEST(OrderedIndex, AgreesWithAnOrderedMapAcrossGrowth) {
  OrderedIndex<int> index;
  std::map<std::string, int> reference;
  std::vector<std::string> order;
  std::mt19937 rng(7);
  for (int step = 0; step < 20000; ++step) {
    // short, 8-byte-boundary and long keys, many sharing prefixes
    std::string key = "src/mod" + std::to_string(rng() % 50) + "/obj" + std::to_string(rng() % 700);
    key.resize(key.size() + rng() % 10, static_cast<char>('a' + rng() % 3));
    if (!reference.count(key)) order.push_back(key);
    index[key] += 1;
    reference[key] += 1;
  }
  ASSERT_EQ(index.size(), reference.size());
  for (size_t i = 0; i < order.size(); ++i) {
    EXPECT_EQ(index.entries()[i].first, order[i]);
    EXPECT_EQ(index.entries()[i].second, reference[order[i]]);
    const int* found = index.find(order[i]);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(*found, reference[order[i]]);
  }
  EXPECT_EQ(index.find("src/mod1/obj"), nullptr);
  EXPECT_FALSE(index.contains("not there"));
}

TEST(OrderedIndex, EmptyAndEmbeddedZeroKeysAreDistinct) {
  OrderedIndex<int> index;
  EXPECT_EQ(index.find(""), nullptr);
  index[""] = 1;
  index[std::string_view("\0", 1)] = 2;
  index[std::string_view("\0\0", 2)] = 3;
  index["12345678"] = 4;
  index[std::string_view("12345678\0", 9)] = 5;
  EXPECT_EQ(*index.find(""), 1);
  EXPECT_EQ(*index.find(std::string_view("\0", 1)), 2);
  EXPECT_EQ(*index.find(std::string_view("\0\0", 2)), 3);
  EXPECT_EQ(*index.find("12345678"), 4);
  EXPECT_EQ(*index.find(std::string_view("12345678\0", 9)), 5);
  EXPECT_EQ(index.size(), 5u);
}

TEST(OrderedIndex, ReserveKeepsEntriesFindable) {
  OrderedIndex<int> index;
  for (int i = 0; i < 100; ++i) index["k" + std::to_string(i)] = i;
  index.reserve(5000);
  for (int i = 100; i < 5000; ++i) index["k" + std::to_string(i)] = i;
  for (int i = 0; i < 5000; ++i) EXPECT_EQ(*index.find("k" + std::to_string(i)), i);
}
