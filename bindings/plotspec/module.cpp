// The plotspec extension module: one method table per concern, added at exec time.
#include "bindings/common/args.hpp"
#include "bindings/common/errors.hpp"
#include "bindings/common/make_value.hpp"
#include "bindings/common/module_state.hpp"
#include "bindings/common/read_value.hpp"
#include "bindings/plotspec/methods.hpp"

namespace {

int plotspec_exec(PyObject* m) {
  if (bvpy::init_state(m) < 0) return -1;
  for (PyMethodDef* defs : {bvpy::plotspec::contract_methods(), bvpy::plotspec::layout_methods(),
                            bvpy::plotspec::ownership_methods(), bvpy::plotspec::relationship_methods()}) {
    if (PyModule_AddFunctions(m, defs) < 0) return -1;
  }
  return bvpy::plotspec::add_constants(m);
}

PyModuleDef_Slot plotspec_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(plotspec_exec)},
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr}};

PyModuleDef plotspec_def = {
    PyModuleDef_HEAD_INIT,
    "brenvale.plotspec",
    "The visualization contract: one JSON-ready document a renderer draws without computing anything.",
    sizeof(bvpy::ModState),
    nullptr,
    plotspec_slots,
    bvpy::traverse_state,
    bvpy::clear_state,
    bvpy::free_state,
};

}  // namespace

PyMODINIT_FUNC PyInit_plotspec(void) { return PyModuleDef_Init(&plotspec_def); }
