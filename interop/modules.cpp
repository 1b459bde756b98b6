#include "modules.hpp"

#include "boundary.hpp"
#include "try_except.hpp"
#include "module_state.hpp"
#include "objects.hpp"

namespace interop {

Owned import_module(const char* name) { return checked(PyImport_ImportModule(name)); }

Owned import_from(Ref globals, const char* module, int level, const char* name)
{
    Owned fromlist = checked(Py_BuildValue("(s)", name));
    Owned imported =
        checked(PyImport_ImportModuleLevelObject(text(module).get(), globals, nullptr, fromlist, level));
    Owned attribute = find_attr(imported, interned(name));
    if (attribute) return attribute;
    Owned module_name = find_attr(imported, interned("__name__"));
    Owned path = Owned::take(PyModule_Check(imported.get()) ? PyModule_GetFilenameObject(imported) : nullptr);
    if (!path) PyErr_Clear();
    Owned message = path ? format("cannot import name '%s' from '%S' (%S)", name, module_name ? module_name.get() : Py_None, path.get())
                         : format("cannot import name '%s' from '%S' (unknown location)", name,
                                  module_name ? module_name.get() : Py_None);
    PyErr_SetImportError(message, module_name ? module_name.get() : Py_None, path ? path.get() : Py_None);
#if PY_VERSION_HEX >= 0x030C0000
    // The interpreter's own `from module import name` also names what was wanted, from which
    // the traceback suggests a similar name.
    Owned error = fetch_error();
    setattr(error, "name_from", interned(name));
    restore_error(std::move(error));
#endif
    throw PyErrorSet{};
}

Owned make_class(Ref metaclass, const char* name, std::initializer_list<Ref> bases, Ref namespace_dict)
{
    Owned base_tuple = checked(PyTuple_New(static_cast<Py_ssize_t>(bases.size())));
    Py_ssize_t index = 0;
    for (Ref base : bases) PyTuple_SET_ITEM(base_tuple.get(), index++, Owned::ref(base).release());
    return call(metaclass, text(name), base_tuple, namespace_dict);
}

void add_to_module(Ref module, const char* name, Ref value) { require(PyModule_AddObjectRef(module, name, value)); }

int traverse_module_state(PyObject* module, visitproc visit, void* arg)
{
    auto* state = static_cast<ModuleState*>(PyModule_GetState(module));
    if (state == nullptr) return 0;
    Py_VISIT(state->function_type);
    Py_VISIT(state->names);
    return 0;
}

int clear_module_state(PyObject* module)
{
    auto* state = static_cast<ModuleState*>(PyModule_GetState(module));
    if (state == nullptr) return 0;
    Py_CLEAR(state->function_type);
    Py_CLEAR(state->names);
    return 0;
}

void free_module_state(void* module) { clear_module_state(static_cast<PyObject*>(module)); }

}  // namespace interop
