// Method tables of the plotspec module, one per concern.
#pragma once

#include "bindings/common/args.hpp"
#include "bindings/common/errors.hpp"
#include "bindings/common/make_value.hpp"
#include "bindings/common/module_state.hpp"
#include "bindings/common/read_value.hpp"

namespace bvpy::plotspec {

PyMethodDef* contract_methods();      // contract assembly and lookup indexes
PyMethodDef* layout_methods();        // classification, region layout, range payloads, render hints
PyMethodDef* ownership_methods();     // ownership views and the diff view
PyMethodDef* relationship_methods();  // Sankey view and relationship graph
// Module constants (schema version, limits, token lists) and the _Interval type.
int add_constants(PyObject* m);
int add_layout_types(PyObject* m);  // the _Interval type

#define BV_FASTCALL(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn)), METH_FASTCALL | METH_KEYWORDS

}  // namespace bvpy::plotspec
