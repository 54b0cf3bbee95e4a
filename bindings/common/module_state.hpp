// Per-module state: the attribute names and keys read from the caller's objects,
// interned once when the module is executed.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace bvpy {

#define BV_NAMES(X)                                                                                    \
  X(name) X(demangled_name) X(address) X(size) X(section_name) X(object_file) X(archive) X(source_file) \
  X(compilation_unit) X(execution_region) X(load_region) X(vma) X(lma) X(padding_before)              \
  X(padding_after) X(start_address) X(end_address) X(category) X(value) X(sections) X(symbols)         \
  X(memory_regions) X(stack_heap_hints) X(objects) X(total_flash) X(total_ram) X(id) X(title)          \
  X(description) X(severity) X(affected_entities) X(used_bytes) X(free_bytes) X(overflow_bytes)       \
  X(utilization_ratio) X(by_region) X(kind) X(delta) X(delta_pct) X(status) X(current) X(get)          \
  X(POLICY) X(RESERVED) X(OVERFLOW) X(start) X(end) X(keys) X(items)

enum class N : int {
#define BV_ENUM(n) n,
  BV_NAMES(BV_ENUM)
#undef BV_ENUM
      count_
};

struct ModState {
  PyObject* names[static_cast<int>(N::count_)];
  PyObject* interval_type;  // plotspec's _Interval type (null in other modules)
};

ModState* state(PyObject* module);
// Module exec helper: fills the interned names and gives the core the host's str()
// and comparisons. Returns -1 with an error set on failure.
int init_state(PyObject* module);
int traverse_state(PyObject* module, visitproc visit, void* arg);
int clear_state(PyObject* module);
void free_state(void* module);

}  // namespace bvpy
