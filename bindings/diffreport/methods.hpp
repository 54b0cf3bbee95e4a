// Method tables of the diffreport module, one per concern.
#pragma once

#include "bindings/common/convert.hpp"

namespace bvpy::diffreport {

PyMethodDef* ranking_methods();  // entry ranking, coercion helpers, console summary
PyMethodDef* html_methods();     // HTML page and its fragments

#define BV_FASTCALL(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn)), METH_FASTCALL | METH_KEYWORDS

}  // namespace bvpy::diffreport
