// Reading the caller's records into the core's record types: each field once, by
// attribute, only the fields an operation reads.
#pragma once

#include "analysis/plotspec/records.hpp"
#include "bindings/common/args.hpp"
#include "bindings/common/errors.hpp"
#include "bindings/common/make_value.hpp"
#include "bindings/common/module_state.hpp"
#include "bindings/common/read_value.hpp"

namespace bvpy::plotspec {

namespace ps = bv::plotspec;

enum SymbolField : unsigned {
  kSymName = 1u << 0,
  kSymDemangled = 1u << 1,
  kSymAddress = 1u << 2,
  kSymSize = 1u << 3,
  kSymSection = 1u << 4,
  kSymObject = 1u << 5,
  kSymArchive = 1u << 6,
  kSymSource = 1u << 7,
  kSymUnit = 1u << 8,
  kSymAll = 0x1ffu,
};

enum SectionField : unsigned {
  kSecName = 1u << 0,
  kSecExec = 1u << 1,
  kSecLoad = 1u << 2,
  kSecVma = 1u << 3,
  kSecLma = 1u << 4,
  kSecSize = 1u << 5,
  kSecPadBefore = 1u << 6,
  kSecPadAfter = 1u << 7,
  kSecAll = 0xffu,
};

enum RegionField : unsigned {
  kRegName = 1u << 0,
  kRegStart = 1u << 1,
  kRegEnd = 1u << 2,
  kRegSize = 1u << 3,
  kRegCategory = 1u << 4,
  kRegAll = 0x1fu,
};

ps::Symbol read_symbol(Call& c, PyObject* o, unsigned fields = kSymAll);
ps::Section read_section(Call& c, PyObject* o, unsigned fields = kSecAll);
ps::Region read_region(Call& c, PyObject* o, unsigned fields = kRegAll);
ps::Component read_component(Call& c, PyObject* o);
// full=false reads only `id` and `affected_entities` (all the entity index needs).
ps::Issue read_issue(Call& c, PyObject* o, bool full = true);
ps::Usage read_usage(Call& c, PyObject* o);

std::vector<ps::Symbol> read_symbols(Call& c, PyObject* seq, unsigned fields = kSymAll);
std::vector<ps::Section> read_sections(Call& c, PyObject* seq, unsigned fields = kSecAll);
std::vector<ps::Component> read_components(Call& c, PyObject* seq);
std::vector<ps::Issue> read_issues(Call& c, PyObject* seq, bool full = true);

// model.sections/symbols/memory_regions/stack_heap_hints (all four read).
ps::Model read_model(Call& c, PyObject* model);
// The stack/heap hints map: a mapping's two hint lists, or an opaque value.
bv::Value read_stack_heap_hints(Call& c, PyObject* hints);
// The baseline comparison: only "status", "flash_delta_bytes", "ram_delta_bytes",
// "sections" (each entry's "delta_bytes") and "regions" (each entry's "current",
// "baseline", "delta"). AttributeError when it has no get().
bv::Value read_regressions(Call& c, PyObject* regressions);
// The feature flags: a dict's two flags, or null for anything that is not a dict.
bv::Value read_features(Call& c, PyObject* features);

// The (key, value) pairs of a mapping the views look names up in, kept alive by the
// call. A value without get() has no lookup, as the host would find.
std::vector<std::pair<PyObject*, PyObject*>> lookup_items(Call& c, PyObject* mapping);

// A section_map / section_symbols style argument given by a Python caller.
// Convert the finished value and return it (new reference).
PyObject* result(bv::Value&& v);

}  // namespace bvpy::plotspec
