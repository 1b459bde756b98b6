// What each of our modules keeps, and how its operations see it.
//
// A module lists the attribute and global names its operations use in a
// constexpr table; they are interned once, at import, into the module state.
// An operation names one as "sendCmd"_n (the module defines the literal with
// ModuleView<Table>::find, so a name missing from the table does not compile).
#pragma once

#include <Python.h>

#include <cstddef>
#include <initializer_list>
#include <string>
#include <string_view>

#include "boundary.hpp"
#include "function.hpp"
#include "objects.hpp"

namespace interop {

struct ModuleState {
    PyObject* function_type;  // the module's native function type
    PyObject* names;          // tuple: the name table, interned
};

// The state of one of our modules, as _functools' get_functools_state gives its own.
inline ModuleState* module_state(PyObject* module) { return static_cast<ModuleState*>(PyModule_GetState(module)); }

// Fills the state at import: the function type, named qualified_type_name, and the interned names.
template <std::size_t N>
void init_module_state(PyObject* module, const char* qualified_type_name, const std::string_view (&names)[N])
{
    ModuleState* state = module_state(module);
    state->function_type = make_function_type(module, qualified_type_name).release();
    Owned tuple = checked(PyTuple_New(N));
    for (std::size_t index = 0; index < N; ++index)
        PyTuple_SET_ITEM(tuple.get(), index, interned(std::string(names[index]).c_str()).release());
    state->names = tuple.release();
}

// The module's GC hooks: the state holds strong references.
int traverse_module_state(PyObject* module, visitproc visit, void* arg);
int clear_module_state(PyObject* module);
void free_module_state(void* module);

// The slots of one of our modules: its exec function, and what the module assumes of the
// interpreter. Everything a module keeps lives in its own state and namespace, so each
// interpreter that imports it gets its own; it has not been tried under an interpreter with
// a GIL of its own, so it asks for the shared one. The operations rely on the GIL: a tool,
// its connection and the module state are used by one thread at a time.
template <int (*Exec)(PyObject*) noexcept>
inline PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(Exec)},
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_USED},
#endif
    {0, nullptr},
};

// The definition of one of our modules: multi-phase init, a ModuleState, one exec slot.
// Keep it and its slots in static storage.
inline PyModuleDef module_definition(const char* name, const char* doc, PyModuleDef_Slot* slots)
{
    return PyModuleDef{PyModuleDef_HEAD_INIT, name, doc, sizeof(ModuleState), nullptr, slots,
                       traverse_module_state, clear_module_state, free_module_state};
}

// The module as an operation sees it: its interned names and its namespace.
template <const auto& Table>
class ModuleView {
public:
    struct Name {
        std::size_t index;
    };

    static consteval Name find(std::string_view wanted)
    {
        for (std::size_t index = 0; index < std::size(Table); ++index)
            if (Table[index] == wanted) return Name{index};
        throw "name missing from the module's name table";
    }

    explicit ModuleView(const Call& call) : module_(call.module())
    {
        state_ = module_state(module_);
        if (state_ == nullptr) throw_error_set();
        if (state_->names == nullptr) raise(PyExc_RuntimeError, "the module is no longer initialised");
    }

    Ref name(Name name) const { return PyTuple_GET_ITEM(state_->names, static_cast<Py_ssize_t>(name.index)); }
    PyObject* module() const { return module_; }

    // A module-level name, looked up when used, so that a host may rebind it.
    Owned global(Name name) const { return interop::global(module_, this->name(name)); }
    Owned attr(Ref object, Name name) const { return getattr(object, this->name(name)); }
    void set_attr(Ref object, Name name, Ref value) const { setattr(object, this->name(name), value); }

    template <class... Args>
    Owned call_method(Ref object, Name method, const Args&... args) const
    {
        return interop::call_method(object, name(method), args...);
    }

    Owned call_method(Ref object, Name method, std::initializer_list<Ref> positional,
                      std::initializer_list<Keyword> keywords) const
    {
        return interop::call_method(object, name(method), positional, keywords);
    }

private:
    PyObject* module_;
    ModuleState* state_;
};

}  // namespace interop
