#include "module_state.hpp"

namespace interop {

int traverse_module_state(PyObject* module, visitproc visit, void* arg)
{
    ModuleState* state = module_state(module);
    if (state == nullptr) return 0;
    Py_VISIT(state->function_type);
    Py_VISIT(state->names);
    return 0;
}

int clear_module_state(PyObject* module)
{
    ModuleState* state = module_state(module);
    if (state == nullptr) return 0;
    Py_CLEAR(state->function_type);
    Py_CLEAR(state->names);
    return 0;
}

void free_module_state(void* module) { clear_module_state(static_cast<PyObject*>(module)); }

}  // namespace interop
