// Method tables of the diffreport module, one per concern.
#pragma once

#include "bindings/common/args.hpp"
#include "bindings/common/errors.hpp"
#include "bindings/common/make_value.hpp"
#include "bindings/common/module_state.hpp"
#include "bindings/common/read_value.hpp"

namespace bvpy::diffreport {

PyMethodDef* ranking_methods();  // entry ranking, coercion helpers, console summary
PyMethodDef* html_methods();     // HTML page and its fragments

#define BV_FASTCALL(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn)), METH_FASTCALL | METH_KEYWORDS

}  // namespace bvpy::diffreport
