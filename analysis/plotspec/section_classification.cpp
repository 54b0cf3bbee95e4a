// Section classification: the kind and the role of an output section, decided
// from the section and region names by case-insensitive token tests in a fixed
// order (first match wins).
#include <algorithm>

#include "analysis/plotspec/constants.hpp"
#include "analysis/plotspec/layout_ops.hpp"
#include "analysis/plotspec/plotspec.hpp"
#include "core/value/text.hpp"

namespace bv::plotspec {

bool HintSet::contains(std::string_view s) const { return std::binary_search(names.begin(), names.end(), s); }

HintSet HintSet::from_list(const Value& list) {
  HintSet set;
  if (!list.is_list()) raise(ErrKind::Type, "'" + type_name(list) + "' object is not iterable");
  set.names.reserve(list.size());
  for (const Value& v : list.items()) set.names.push_back(text_form(v));
  std::sort(set.names.begin(), set.names.end());
  set.names.erase(std::unique(set.names.begin(), set.names.end()), set.names.end());
  return set;
}

namespace {

// str.lower() of a name that must be text (AttributeError otherwise, as the host's
// None.lower() would raise).
std::string lowered(const Value& v) {
  if (!v.is_str()) raise(ErrKind::Attribute, "'" + type_name(v) + "' object has no attribute 'lower'");
  return py_lower_for_match(v.str());
}

// (v or "").strip().lower()
std::string stripped_lowered(const Value& v) {
  if (!truthy(v)) return {};
  if (!v.is_str()) raise(ErrKind::Attribute, "'" + type_name(v) + "' object has no attribute 'strip'");
  return py_lower_for_match(py_strip(v.str()));
}

const Value kStack("stack");
const Value kHeap("heap");
const Value kProtected("protected");
const Value kReserved("reserved");
const Value kSection("section");
const Value kVectors("vectors");
const Value kBss("bss");
const Value kRodata("rodata");
const Value kData("data");
const Value kText("text");

}  // namespace

Value section_kind(const Value& section_name, const Value& region_name, const HintSet& stack_hints,
                   const HintSet& heap_hints) {
  const std::string name = lowered(section_name);
  const std::string region = lowered(region_name);
  const std::string_view exact = section_name.str();
  if (stack_hints.contains(exact) || contains_token(name, STACK_TOKENS)) return kStack;
  if (heap_hints.contains(exact) || contains_token(name, HEAP_TOKENS)) return kHeap;
  if (contains_token(name, PROTECTED_TOKENS) || contains_token(region, PROTECTED_TOKENS)) return kProtected;
  if (contains_token(name, RESERVED_TOKENS) || contains_token(region, RESERVED_TOKENS)) return kReserved;
  return kSection;
}

Value section_role(const Value& section_name, const Value& region_name) {
  const std::string name = stripped_lowered(section_name);
  const std::string region = stripped_lowered(region_name);
  if (name.empty() && region.empty()) return Value();
  if (contains_token(name, ROLE_VECTOR_TOKENS)) return kVectors;
  if (contains_token(name, ROLE_STACK_TOKENS) || name == "cstack" || name == "stack_mem") return kStack;
  if (name == "heap" || name == "heap_mem" || contains_token(name, ROLE_HEAP_TOKENS)) return kHeap;
  if (name == "bss" || name == "common" || contains_token(name, ROLE_BSS_TOKENS)) return kBss;
  if (contains_token(name, ROLE_RODATA_TOKENS)) return kRodata;
  if (contains_token(name, ROLE_DATA_TOKENS)) return kData;
  if (contains_token(name, ROLE_TEXT_TOKENS)) return kText;
  if (contains_token(region, ROLE_STACK_TOKENS)) return kStack;
  if (contains_token(region, ROLE_HEAP_TOKENS)) return kHeap;
  return Value();
}

namespace layout {

bool contains_token_value(const Value& value, const Value& tokens) {
  if (!tokens.is_list()) raise(ErrKind::Type, "'" + type_name(tokens) + "' object is not iterable");
  for (const Value& token : tokens.items()) {
    if (!value.is_str()) raise(ErrKind::Type, "argument of type '" + type_name(value) + "' is not iterable");
    if (!token.is_str())
      raise(ErrKind::Type, "'in <string>' requires string as left operand, not " + type_name(token));
    if (value.str().find(token.str()) != std::string_view::npos) return true;
  }
  return false;
}

}  // namespace layout

}  // namespace bv::plotspec
