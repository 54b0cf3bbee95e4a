// The visualization contract builders. Each takes read-only records and values and
// returns a fresh Value; none keeps state between calls.
#pragma once

#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "analysis/plotspec/records.hpp"
#include "core/value/value.hpp"

namespace bv::plotspec {

// ---- contract assembly ----
Value normalize_feature_flags(const Value& features);
// Wall time of each step of one build, for the benchmarks: what is left in the core
// and which steps make up the longest chain when two threads share the work.
struct BuildProfile {
  static constexpr size_t kSteps = 11;
  static const char* const kNames[kSteps];  // in the order one thread runs the steps
  double seconds[kSteps] = {};
  bool two_threads = false;
};
Value build_visualization_contract(const ContractInputs& in, BuildProfile* profile = nullptr);

// ---- lookup indexes ----
SymbolsBySection symbols_by_section(const std::vector<Symbol>& symbols);
SymbolsBySection symbols_by_section(const std::vector<const Symbol*>& symbols);
Value owners_from_symbols(std::span<const Symbol* const> symbols);
// The owner texts of a whole model ranked once, so each section's owners are a sort
// of small integers instead of a sort of texts.
struct OwnerRanks {
  static constexpr uint32_t kAbsent = UINT32_MAX;       // null or empty
  static constexpr uint32_t kNotText = UINT32_MAX - 1;  // true but not text
  const Symbol* base = nullptr;                         // ranks are indexed by symbol - base
  struct Ranks {
    uint32_t of[3];  // object_file, archive, source_file
  };
  std::vector<Ranks> rank;
  std::vector<const Value*> text[3];  // rank -> one value with that text
  std::vector<Value> text_value[3];   // the same values side by side, read without visiting the symbols
  bool any_not_text = false;
};
OwnerRanks rank_owners(const std::vector<Symbol>& symbols);
// Work space of owners_from_ranks, reused from one section to the next of one build
// (it starts and ends every call empty).
struct OwnerScratch {
  std::vector<uint64_t> seen[3];  // one bit per rank
  std::vector<uint32_t> found;
  std::vector<OwnerRanks::Ranks> gathered;
};
// owners_from_symbols for symbols that all belong to the ranked model.
Value owners_from_ranks(const OwnerRanks& ranks, std::span<const Symbol* const> symbols);
Value owners_from_ranks(const OwnerRanks& ranks, std::span<const Symbol* const> symbols, OwnerScratch& scratch);
IssuesByEntity issues_by_entity(const std::vector<Issue>& issues);
Value policy_issue_index(const std::vector<Issue>& issues);
BaselineDeltas section_baseline_deltas(const Value& regressions);
Value merge_issue_ids(std::span<const Value* const> groups);  // each group a list value
// The same for index entries (null: none), without making lists of them first.
Value merge_issue_ids(std::span<const std::vector<Value>* const> groups);
// The indexes as contract values (for the private operations exposed to Python).
Value to_value(const SymbolsBySection& idx, Value (*symbol_out)(const Symbol&));
Value to_value(const IssuesByEntity& idx);
Value to_value(const BaselineDeltas& idx);

// ---- section classification ----
template <class Tokens>
bool contains_token(std::string_view value, const Tokens& tokens) {
  for (std::string_view t : tokens)
    if (value.find(t) != std::string_view::npos) return true;
  return false;
}
// Hint sets hold the text forms of the hinted section names.
struct HintSet {
  std::vector<std::string> names;  // sorted, for lookup
  bool contains(std::string_view s) const;
  static HintSet from_list(const Value& list);  // text form of every element
};
Value section_kind(const Value& section_name, const Value& region_name, const HintSet& stack_hints,
                   const HintSet& heap_hints);
Value section_role(const Value& section_name, const Value& region_name);

// ---- region layout ----
struct Interval {
  Value start, end;
};
std::optional<Interval> clip_interval(const Interval& interval, const Value& lower, const Value& upper);
std::vector<std::pair<Interval, bool>> free_intervals(const Value& start, const Value& end,
                                                      const std::vector<Interval>& occupied);
Value interval_size(const Interval& iv);
struct RegionLayoutArgs {
  const Region* region = nullptr;
  std::vector<const Section*> sections;
  // Sections of other regions whose load image is stored in this one (their lma and
  // size place it); empty when the caller gives none.
  std::vector<const Section*> load_images;
  const SymbolsBySection* section_symbols = nullptr;
  const IssuesByEntity* issues_by_entity = nullptr;
  const BaselineDeltas* section_baseline_deltas = nullptr;
  const Value* stack_heap_hints = nullptr;
  const OwnerRanks* owner_ranks = nullptr;  // null: owners are sorted by text
  const Usage* usage = nullptr;  // null when the caller has none
  Value padding_bytes;
};
Value build_region_layout(const RegionLayoutArgs& a);

// ---- range payloads ----
Value section_range_payload(const Value& region_name, const Section& section, const Value& section_start,
                            const Value& section_end, const Value& region_size, const Value& kind, const Value& role,
                            std::span<const Symbol* const> symbols, const Value& issue_ids,
                            const Value& baseline_delta, const OwnerRanks* owner_ranks = nullptr);
Value section_panel_data(const Section& section, std::span<const Symbol* const> symbols, const Value& owners,
                         const Value& issue_ids, const Value& baseline_delta);
Value synthetic_range_payload(const Value& range_id, const Value& kind, const Value& label, const Value& start,
                              const Value& end, const Value& region_size, bool is_inter_section_gap);
Value boundary_payload(const std::vector<Value>& boundaries, const Value& region_start, const Value& region_end);

// ---- render hints ----
Value clamp(const Value& value, const Value& lower, const Value& upper);
Value build_region_render_hints(const Value& region, const Value& total_region_bytes, const Value& regions_count);

// ---- ownership views ----
Value category_for_ownership(const Value& region_name, const Section* section);
// `ranks`, when given, must be rank_owners(symbols) (it only saves look-ups);
// `share`, when given, lets another thread help build the treemap.
class WorkShare;
Value build_ownership_views(const std::vector<Symbol>& symbols, const OrderedIndex<const Section*>& section_map,
                            const OrderedIndex<Value>& section_to_region, const std::vector<Component>& components,
                            const OwnerRanks* ranks = nullptr, WorkShare* share = nullptr);

// ---- diff view ----
Value build_diff_view(const Value& regressions);

// ---- relationship views ----
Value build_sankey_view(const Model& model, const OrderedIndex<const Section*>& section_map,
                        const OrderedIndex<Value>& section_to_region);
Value build_relationship_graph_view(const Model& model, const OrderedIndex<Value>& section_to_region,
                                    const std::vector<Component>& components);
Value build_relationship_views(const Model& model, const OrderedIndex<const Section*>& section_map,
                               const OrderedIndex<Value>& section_to_region, const std::vector<Component>& components,
                               const Value& feature_flags);

}  // namespace bv::plotspec
