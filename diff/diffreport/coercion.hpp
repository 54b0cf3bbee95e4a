// Loose readers of the diff payload: they never fail, they give empty or zero values.
#pragma once

#include "core/value/value.hpp"

namespace bv::diffreport {

// The list itself when v is a list (a tuple is not), else an empty list.
const List& as_list(const Value& v) noexcept;
// A new map with every key replaced by its text form (a later duplicate replaces the
// earlier value in its place); an empty map for anything that is not a map.
Value as_mapping(const Value& v);
// A number as a double: booleans give 0.0, ints and doubles their value, anything
// else 0.0. An integer beyond the double range gives the infinity of its sign.
double as_number(const Value& v) noexcept;

}  // namespace bv::diffreport
