// A contract built on two threads is the contract built on one: the same values,
// or the same error, whichever steps of the build the inputs make fail.
#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>
#include <thread>

#include "analysis/plotspec/plotspec.hpp"
#include "tests/cpp/borrowed_texts.hpp"

using namespace bv;
using namespace bv::plotspec;

namespace {

// What a build gives: its contract, or the kind and message of its error.
struct Outcome {
  Value contract;
  bool failed = false;
  ErrKind kind = ErrKind::Runtime;
  std::string message;
};

Outcome build(ContractInputs in, size_t two_threads_from, BuildProfile* profile = nullptr) {
  in.needs_host = false;
  in.two_threads_from = two_threads_from;
  Outcome out;
  try {
    out.contract = build_visualization_contract(in, profile);
  } catch (const Error& e) {
    out.failed = true;
    out.kind = e.kind();
    out.message = e.message();
  }
  return out;
}

// A model of a few regions, sections and symbols; each fault makes a different step
// of the build fail, and several faults make several steps fail at once.
struct Case {
  Texts t;
  Model model;
  ContractInputs in;

  Case(std::mt19937& rng, unsigned faults) {
    auto pick = [&](unsigned n) { return static_cast<unsigned>(rng() % n); };
    const char* region_names[] = {"FLASH", "RAM", "CCM"};
    for (unsigned r = 0; r < 3; ++r) {
      Region region;
      region.name = t.text(region_names[r]);
      region.start_address = Value(static_cast<long long>(r) << 24);
      region.end_address = Value((static_cast<long long>(r) << 24) + 0xFFFFF);
      region.size = Value(0x100000);
      region.category = t.text(r ? "RAM" : "FLASH");
      model.regions.push_back(region);
    }
    if (faults & 1) model.regions[1].start_address = t.text("0x1000000");  // the regions' order fails
    const unsigned nsec = 30;
    for (unsigned s = 0; s < nsec; ++s) {
      Section sec;
      sec.name = t.text(".sec" + std::to_string(s));
      sec.execution_region = model.regions[s % 3].name;
      sec.load_region = model.regions[0].name;
      sec.vma = Value((static_cast<long long>(s % 3) << 24) + 0x1000 * s);
      sec.lma = Value(0x1000 * static_cast<long long>(s));
      sec.size = Value(0x800);
      sec.padding_before = Value(0);
      sec.padding_after = Value(0);
      model.sections.push_back(sec);
    }
    if (faults & 2) model.sections[pick(nsec)].name = Value(7);  // the section maps fail
    for (unsigned i = 0; i < 600; ++i) {
      Symbol sym;
      sym.name = t.text("sym" + std::to_string(pick(400)));
      sym.demangled_name = pick(4) ? Value() : t.text("ns::f" + std::to_string(i));
      const unsigned s = pick(nsec);
      sym.section_name = t.text(".sec" + std::to_string(s));
      sym.address = Value((static_cast<long long>(s % 3) << 24) + 0x1000 * s + 4 * pick(500));
      sym.size = Value(static_cast<long long>(1 + pick(64)));
      sym.object_file = pick(8) ? t.text("obj" + std::to_string(pick(40)) + ".o") : Value();
      sym.archive = pick(2) ? t.text("lib" + std::to_string(pick(5)) + ".a") : Value();
      sym.source_file = t.text("src" + std::to_string(pick(30)) + ".c");
      model.symbols.push_back(sym);
    }
    if (faults & 4) model.symbols[pick(600)].object_file = Value(3.5);  // owners and views fail
    if (faults & 8) model.symbols[pick(600)].size = t.text("12");     // sizes fail where added
    model.stack_heap_hints = Value::map(0);
    in.model = &model;
    in.usage.assign(model.regions.size(), nullptr);
    in.padding_bytes.assign(model.regions.size(), Value(0));
    Component comp;
    comp.name = t.text("drivers");
    comp.objects = Value::list(2);
    comp.objects.push(t.text("obj1.o"));
    comp.objects.push(t.text("obj2.o"));
    comp.total_flash = Value(100);
    comp.total_ram = Value(20);
    comp.symbols_count = 3;
    in.components.push_back(comp);
    in.regressions = Value::map(2);
    in.regressions.add("flash_delta_bytes", faults & 16 ? t.text("x") : Value(12));  // the diff view fails
    in.regressions.add("ram_delta_bytes", Value(-4));
    in.features = Value::map(2);
    in.features.add("sankey_enabled", Value(true));
    in.features.add("relationship_graph_enabled", Value(true));
  }
};

}  // namespace

TEST(ContractThreads, TwoThreadsGiveWhatOneGivesValuesAndErrors) {
  if (std::thread::hardware_concurrency() < 2) GTEST_SKIP() << "one processor: every build runs on one thread";
  std::mt19937 rng(20261208);
  std::set<std::string> messages;
  int built = 0;
  for (unsigned faults = 0; faults < 32; ++faults) {
    for (int round = 0; round < 3; ++round) {
      Case c(rng, faults);
      const Outcome one = build(c.in, SIZE_MAX);
      // Timing the steps (the benchmark's build) changes nothing either.
      BuildProfile profile;
      const Outcome two = build(c.in, 0, round == 0 ? &profile : nullptr);
      ASSERT_EQ(one.failed, two.failed) << "faults " << faults << ": " << one.message << two.message;
      if (one.failed) {
        EXPECT_EQ(one.kind, two.kind) << "faults " << faults;
        EXPECT_EQ(one.message, two.message) << "faults " << faults;
        messages.insert(one.message);
      } else {
        EXPECT_TRUE(deep_equal(one.contract, two.contract)) << "faults " << faults;
        ++built;
      }
      if (round == 0) EXPECT_TRUE(profile.two_threads);
    }
  }
  // Not vacuous: clean inputs build, and the faults fail the build in different steps.
  EXPECT_GE(built, 3);
  EXPECT_GE(messages.size(), 4u);
}
