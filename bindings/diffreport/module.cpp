// The diffreport extension module: one method table per concern, added at exec time.
#include "bindings/common/args.hpp"
#include "bindings/common/errors.hpp"
#include "bindings/common/make_value.hpp"
#include "bindings/common/module_state.hpp"
#include "bindings/common/read_value.hpp"
#include "bindings/diffreport/methods.hpp"

namespace {

int diffreport_exec(PyObject* m) {
  if (bvpy::init_state(m) < 0) return -1;
  for (PyMethodDef* defs : {bvpy::diffreport::ranking_methods(), bvpy::diffreport::html_methods()}) {
    if (PyModule_AddFunctions(m, defs) < 0) return -1;
  }
  return 0;
}

PyModuleDef_Slot diffreport_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(diffreport_exec)},
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr}};

PyModuleDef diffreport_def = {
    PyModuleDef_HEAD_INIT,
    "brenvale.diffreport",
    "The build-to-build diff report: ranked entries, a console summary and a self-contained HTML page.",
    sizeof(bvpy::ModState),
    nullptr,
    diffreport_slots,
    bvpy::traverse_state,
    bvpy::clear_state,
    bvpy::free_state,
};

}  // namespace

PyMODINIT_FUNC PyInit_diffreport(void) { return PyModuleDef_Init(&diffreport_def); }
