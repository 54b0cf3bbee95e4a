// The owner ranks of a model and a section's owners worked out from them: equal texts
// at different places share one rank, the ranks follow text order through the table's
// growth, and one scratch reused over many sections gives each exactly what
// owners_from_symbols gives, whichever way the ranks of a section are picked.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "analysis/plotspec/plotspec.hpp"
#include "tests/cpp/borrowed_texts.hpp"

using namespace bv;
using namespace bv::plotspec;

namespace {

std::vector<std::string> texts_of(const Value& list) {
  std::vector<std::string> out;
  for (const Value& v : list.items()) out.emplace_back(v.str());
  return out;
}

}  // namespace

TEST(OwnerRanks, EqualTextsAtOtherPlacesShareARankInTextOrder) {
  Texts t;
  std::vector<Symbol> symbols(3000);
  for (size_t i = 0; i < symbols.size(); ++i) {
    // Every text its own copy: only the bytes say which are equal.
    symbols[i].object_file = t.text("obj" + std::to_string((i * 7919) % 1000) + ".o");
    symbols[i].archive = i % 4 ? t.text("lib.a") : Value();
    symbols[i].source_file = t.text("");
  }
  const OwnerRanks ranks = rank_owners(symbols);
  ASSERT_EQ(ranks.text[0].size(), 1000u);
  ASSERT_EQ(ranks.text_value[0].size(), 1000u);
  for (size_t r = 1; r < ranks.text[0].size(); ++r) EXPECT_LT(ranks.text[0][r - 1]->str(), ranks.text[0][r]->str());
  for (size_t i = 0; i < symbols.size(); ++i) {
    const uint32_t r = ranks.rank[i].of[0];
    ASSERT_LT(r, ranks.text[0].size());
    EXPECT_EQ(ranks.text_value[0][r].str(), symbols[i].object_file.str());
    EXPECT_EQ(ranks.rank[i].of[1], i % 4 ? 0u : OwnerRanks::kAbsent);
    EXPECT_EQ(ranks.rank[i].of[2], OwnerRanks::kAbsent);
  }
}

TEST(OwnerRanks, OneScratchOverManySectionsMatchesOwnersFromSymbols) {
  Texts t;
  std::mt19937 rnd(5);
  std::vector<Symbol> symbols(6000);
  for (Symbol& s : symbols) {
    const unsigned o = rnd() % 5000;
    s.object_file = rnd() % 7 ? t.text("o" + std::to_string(o)) : Value();
    s.archive = t.text("a" + std::to_string(o % 30));
    s.source_file = t.text("s" + std::to_string(rnd() % 6000));
  }
  const OwnerRanks ranks = rank_owners(symbols);
  OwnerScratch scratch;
  // Sections from one symbol (far fewer than the texts: sorted) to thousands (bitmap).
  size_t at = 0;
  for (size_t n : {1u, 2u, 7u, 24u, 25u, 100u, 1500u, 1u, 2340u}) {
    std::vector<const Symbol*> section;
    for (size_t i = 0; i < n; ++i) section.push_back(&symbols[(at + i * 13) % symbols.size()]);
    at += n;
    const Value got = owners_from_ranks(ranks, section, scratch);
    const Value want = owners_from_symbols(section);
    for (const char* key : {"objects", "archives", "sources"})
      EXPECT_EQ(texts_of(*got.find(key)), texts_of(*want.find(key))) << key << " of " << n;
  }
}

TEST(OwnerRanks, ATextlessOwnerOfTheSectionFailsAsTheSortWould) {
  Texts t;
  std::vector<Symbol> symbols(3);
  symbols[0].object_file = t.text("a.o");
  symbols[1].object_file = Value(7);
  symbols[2].archive = Value(2.5);
  const OwnerRanks ranks = rank_owners(symbols);
  OwnerScratch scratch;
  const Symbol* fine[] = {&symbols[0]};
  EXPECT_EQ(texts_of(*owners_from_ranks(ranks, fine, scratch).find("objects")), std::vector<std::string>{"a.o"});
  const Symbol* bad[] = {&symbols[2], &symbols[1]};
  try {
    owners_from_ranks(ranks, bad, scratch);
    FAIL() << "no error";
  } catch (const Error& e) {
    EXPECT_EQ(e.message(), "'<' not supported between instances of 'float' and 'str'");
  }
  // The scratch is still clean for the next section.
  EXPECT_EQ(texts_of(*owners_from_ranks(ranks, fine, scratch).find("objects")), std::vector<std::string>{"a.o"});
}
