// Contract assembly: derives the shared lookup maps once and drives every view
// builder in a fixed order.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <unordered_map>

#include "analysis/plotspec/constants.hpp"
#include "analysis/plotspec/layout_ops.hpp"
#include "analysis/plotspec/plotspec.hpp"
#include "analysis/plotspec/work_share.hpp"
#include "core/value/text.hpp"

namespace bv::plotspec {

std::string section_key(const Value& name) {
  if (name.is_str()) return std::string(name.str());
  std::string key = "\xff";
  append_text_form(key, name);
  return key;
}

Value normalize_feature_flags(const Value& features) {
  Value flags = Value::map(2);
  bool sankey = false, graph = false;
  if (features.is_map()) {
    const Value* s = features.find("sankey_enabled");
    const Value* g = features.find("relationship_graph_enabled");
    // Only a real boolean enables a view: "true", 1 or "yes" do not.
    sankey = s && s->is_bool() && s->as_bool();
    graph = g && g->is_bool() && g->as_bool();
  }
  flags.add("sankey_enabled", Value(sankey));
  flags.add("relationship_graph_enabled", Value(graph));
  return flags;
}

namespace {

const Value kZero(0);
const Value kNoRegion("");

std::string_view strip_or_empty(const Value& v, const char* what) {
  if (!truthy(v)) return {};
  if (!v.is_str()) raise(ErrKind::Attribute, "'" + type_name(v) + "' object has no attribute 'strip' (" + what + ")");
  return py_strip(v.str());
}

}  // namespace

namespace {

// The steps of a build, in the order one thread runs them. With two threads the
// error raised is the one of the earliest step that fails, as with one: each thread
// runs its steps in this order and stops at its first failure, and a step is only
// ever skipped after an earlier one failed.
enum Step : int {
  kFlags,
  kBySection,
  kRanks,
  kSectionMaps,
  kIssues,
  kDeltas,
  kRegions,
  kOwnership,
  kDiff,
  kRelationships,
  kPolicy,
  kNoStep
};
static_assert(kNoStep == BuildProfile::kSteps);

// One thread's run of steps: the first failure is kept and stops the rest.
class Lane {
 public:
  explicit Lane(BuildProfile* profile) : profile_(profile) {}
  template <class F>
  bool run(Step step, F&& f) {
    if (failed_ != kNoStep) return false;
    try {
      const auto t0 = profile_ ? std::chrono::steady_clock::now() : std::chrono::steady_clock::time_point();
      f();
      if (profile_) profile_->seconds[step] = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
      return true;
    } catch (...) {
      failed_ = step;
      error_ = std::current_exception();
      return false;
    }
  }
  Step failed() const { return failed_; }
  [[noreturn]] void rethrow() const { std::rethrow_exception(error_); }

 private:
  BuildProfile* profile_;  // each thread writes only its own steps' times
  Step failed_ = kNoStep;
  std::exception_ptr error_;
};

// A step one thread finishes for the other: done, or failed or skipped (then the
// waiting thread stops, as the step it needs never happened).
class Handoff {
 public:
  void set(bool done) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      state_ = done ? kDone : kFailed;
    }
    ready_.notify_all();
  }
  bool wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    ready_.wait(lock, [&] { return state_ != kPending; });
    return state_ == kDone;
  }

 private:
  enum { kPending, kDone, kFailed } state_ = kPending;
  std::mutex mutex_;
  std::condition_variable ready_;
};

// The region layouts in address order, each with its render hints.
Value build_regions(const ContractInputs& in, const SymbolsBySection& section_symbols, const OwnerRanks& owner_ranks,
                    const IssuesByEntity& by_entity, const BaselineDeltas& deltas) {
  const Model& model = *in.model;
  // Regions in address order; ties by end address, then name.
  std::vector<size_t> order(model.regions.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    const Region& x = model.regions[a];
    const Region& y = model.regions[b];
    const Value kx[3] = {x.start_address, x.end_address, x.name};
    const Value ky[3] = {y.start_address, y.end_address, y.name};
    return py_lt_seq(kx, ky, 3);
  });

  // Sections by their exact, unstripped execution region and load region (null reads
  // as ""); a name that is not text can only match a region name that is not text.
  std::unordered_map<std::string_view, std::vector<const Section*>> by_region, by_load_region;
  for (const Section& s : model.sections) {
    if (!truthy(s.execution_region))
      by_region[std::string_view()].push_back(&s);
    else if (s.execution_region.is_str())
      by_region[s.execution_region.str()].push_back(&s);
    if (!truthy(s.load_region))
      by_load_region[std::string_view()].push_back(&s);
    else if (s.load_region.is_str())
      by_load_region[s.load_region.str()].push_back(&s);
  }
  auto region_of = [](const Value& name) -> const Value& { return truthy(name) ? name : kNoRegion; };
  // A section stored in `region` that runs elsewhere leaves a load image there; one
  // without contents (size 0, no lma) leaves none.
  auto is_load_image = [&](const Section& s, const Value& region_name) {
    return py_eq(region_of(s.load_region), region_name) && !py_eq(region_of(s.execution_region), region_name) &&
           !s.lma.is_null() && layout::gt(s.size, kZero);
  };

  Value regions = Value::list(order.size());
  for (size_t idx : order) {
    const Region& region = model.regions[idx];
    RegionLayoutArgs args;
    args.region = &region;
    if (region.name.is_str()) {
      auto it = by_region.find(region.name.str());
      if (it != by_region.end()) args.sections = it->second;
      auto stored = by_load_region.find(region.name.str());
      if (stored != by_load_region.end())
        for (const Section* s : stored->second)
          if (is_load_image(*s, region.name)) args.load_images.push_back(s);
    } else {
      for (const Section& s : model.sections)
        if (py_eq(region_of(s.execution_region), region.name)) args.sections.push_back(&s);
      for (const Section& s : model.sections)
        if (is_load_image(s, region.name)) args.load_images.push_back(&s);
    }
    args.section_symbols = &section_symbols;
    args.issues_by_entity = &by_entity;
    args.section_baseline_deltas = &deltas;
    args.stack_heap_hints = &model.stack_heap_hints;
    args.owner_ranks = &owner_ranks;
    args.usage = idx < in.usage.size() ? in.usage[idx] : nullptr;
    args.padding_bytes = idx < in.padding_bytes.size() ? in.padding_bytes[idx] : Value(0);
    regions.push(build_region_layout(args));
  }

  int64_t total_region_bytes = 0;
  for (const Value& layout : regions.items()) {
    const Value& size = layout.get("size_bytes", Value(0));
    int64_t n = py_int(size);
    if (n > 0) total_region_bytes = checked_add(total_region_bytes, n);
  }
  Value total(static_cast<long long>(total_region_bytes));
  Value count(static_cast<long long>(regions.size()));
  for (Value& layout : regions.items()) {
    Value hints = build_region_render_hints(layout, total, count);
    layout.add("render_hints", std::move(hints));
  }
  return regions;
}

}  // namespace

const char* const BuildProfile::kNames[kSteps] = {
    "feature flags",   "symbols by section", "owner ranks", "section maps",       "issues by entity",   "baseline deltas",
    "region layouts",  "ownership views",    "diff view",   "relationship views", "policy issue index",
};

Value build_visualization_contract(const ContractInputs& in, BuildProfile* profile) {
  const Model& model = *in.model;
  Value flags, regions, ownership, diff, relationships, policy;
  SymbolsBySection section_symbols;
  OwnerRanks owner_ranks;
  OrderedIndex<const Section*> section_map;
  OrderedIndex<Value> section_to_region;
  IssuesByEntity by_entity;
  BaselineDeltas deltas;

  auto run_flags = [&] { flags = normalize_feature_flags(in.features); };
  auto run_by_section = [&] { section_symbols = symbols_by_section(model.symbols); };
  auto run_ranks = [&] { owner_ranks = rank_owners(model.symbols); };
  auto run_section_maps = [&] {
    section_map.reserve(model.sections.size());
    for (const Section& s : model.sections) section_map[section_key(s.name)] = &s;
    for (const Section& s : model.sections) {
      if (strip_or_empty(s.name, "section name").empty()) continue;
      std::string_view region = strip_or_empty(s.execution_region, "execution_region");
      // Copied into every symbol row of its sections: the caller's own text when
      // stripping left it as it was, so no row copies or creates a string.
      const bool unchanged = s.execution_region.is_str() && s.execution_region.str().size() == region.size();
      section_to_region[section_key(s.name)] = unchanged ? s.execution_region : Value(region);
    }
  };
  auto run_issues = [&] { by_entity = issues_by_entity(in.issues); };
  auto run_deltas = [&] { deltas = section_baseline_deltas(in.regressions); };
  auto run_regions = [&] { regions = build_regions(in, section_symbols, owner_ranks, by_entity, deltas); };
  WorkShare share;  // the main thread helps the ownership views once its own steps are done
  bool sharing = false;
  auto run_ownership = [&] {
    ownership = build_ownership_views(model.symbols, section_map, section_to_region, in.components, &owner_ranks,
                                      sharing ? &share : nullptr);
  };
  auto run_diff = [&] { diff = build_diff_view(in.regressions); };
  auto run_relationships = [&] {
    relationships = build_relationship_views(model, section_map, section_to_region, in.components, flags);
  };
  auto run_policy = [&] { policy = policy_issue_index(in.issues); };

  Lane main_lane(profile), other_lane(profile);
  // The owner ranks and the ownership views (the longest chain) on a second thread;
  // everything else here. The ownership views need the section maps from here, the
  // region layouts the ranks from there.
  Handoff ranks_ready, maps_ready;
  std::jthread other;
  if (!in.needs_host && model.symbols.size() >= in.two_threads_from && std::thread::hardware_concurrency() >= 2) {
    try {
      sharing = true;
      other = std::jthread([&] {
        const bool ranked = other_lane.run(kRanks, run_ranks);
        ranks_ready.set(ranked);
        if (ranked && maps_ready.wait()) other_lane.run(kOwnership, run_ownership);
        share.close();
      });
    } catch (const std::system_error&) {
      sharing = false;  // no second thread: this one does it all
    }
  }
  if (profile) profile->two_threads = other.joinable();
  if (other.joinable()) {
    const bool mapped = main_lane.run(kFlags, run_flags) && main_lane.run(kBySection, run_by_section) &&
                        main_lane.run(kSectionMaps, run_section_maps);
    maps_ready.set(mapped);
    (void)(mapped && main_lane.run(kIssues, run_issues) && main_lane.run(kDeltas, run_deltas) &&
           ranks_ready.wait() && main_lane.run(kRegions, run_regions) && main_lane.run(kDiff, run_diff) &&
           main_lane.run(kRelationships, run_relationships) && main_lane.run(kPolicy, run_policy));
    share.help();
    other.join();
  } else {
    (void)(main_lane.run(kFlags, run_flags) && main_lane.run(kBySection, run_by_section) &&
           main_lane.run(kRanks, run_ranks) && main_lane.run(kSectionMaps, run_section_maps) &&
           main_lane.run(kIssues, run_issues) && main_lane.run(kDeltas, run_deltas) &&
           main_lane.run(kRegions, run_regions) && main_lane.run(kOwnership, run_ownership) &&
           main_lane.run(kDiff, run_diff) && main_lane.run(kRelationships, run_relationships) &&
           main_lane.run(kPolicy, run_policy));
  }
  if (main_lane.failed() != kNoStep || other_lane.failed() != kNoStep)
    (main_lane.failed() < other_lane.failed() ? main_lane : other_lane).rethrow();

  Value contract = Value::map(10);
  contract.add("schema_version", Value::static_str("viz-1.0.0"));
  contract.add("address_units", "bytes");
  contract.add("address_format", "hex");
  contract.add("features", std::move(flags));
  contract.add("regions", std::move(regions));
  contract.add("ownership", std::move(ownership));
  contract.add("diff", std::move(diff));
  contract.add("relationships", std::move(relationships));
  contract.add("policy_issue_index", std::move(policy));
  Value notes = Value::list(3);
  notes.push("All ranges are normalized for renderer consumption.");
  notes.push("Address values are absolute and toolchain-agnostic after normalization.");
  notes.push("Detailed attribution is included on section ranges for side-panel drilldown.");
  contract.add("notes", std::move(notes));
  return contract;
}

}  // namespace bv::plotspec
