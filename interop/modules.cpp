#include "modules.hpp"

#include "boundary.hpp"
#include "objects.hpp"
#include "try_except.hpp"

namespace interop {

Owned import_module(const char* name) { return checked(PyImport_ImportModule(name)); }

Owned import_from(Ref globals, Ref module, int level, Ref name)
{
    Owned fromlist = checked(PyTuple_Pack(1, name.get()));
    Owned imported = checked(PyImport_ImportModuleLevelObject(module, globals, nullptr, fromlist, level));
    Owned attribute = find_attr(imported, name);
    if (attribute) return attribute;
    Owned module_name = find_attr(imported, interned("__name__"));
    Owned path = Owned::take(PyModule_Check(imported.get()) ? PyModule_GetFilenameObject(imported) : nullptr);
    if (!path) PyErr_Clear();
    Ref from = module_name ? Ref(module_name) : Ref(Py_None);
    Owned message = path ? format("cannot import name '%U' from '%S' (%S)", name.get(), from.get(), path.get())
                         : format("cannot import name '%U' from '%S' (unknown location)", name.get(), from.get());
    PyErr_SetImportError(message, from, path ? path.get() : Py_None);
#if PY_VERSION_HEX >= 0x030C0000
    // The interpreter's own `from module import name` also names what was wanted, from which
    // the traceback suggests a similar name.
    Owned error = fetch_error();
    setattr(error, "name_from", name);
    restore_error(std::move(error));
#endif
    throw_error_set();
}

Owned import_from(Ref globals, const char* module, int level, const char* name)
{
    return import_from(globals, text(module), level, interned(name));
}

void add_to_module(Ref module, const char* name, Ref value) { require(PyModule_AddObjectRef(module, name, value)); }

ClassBody::ClassBody(Ref module, const char* name)
    : module_(module), name_(name), namespace_(checked(PyDict_New()))
{
    bind("__module__", getattr(module, "__name__"));
    bind("__qualname__", text(name));
}

void ClassBody::bind(const char* name, Ref value) { require(PyDict_SetItemString(namespace_, name, value)); }

void ClassBody::define(const FunctionDef& def)
{
    Owned function = make_function(module_, def);
    bind_as(function, function);
}

void ClassBody::bind_as(Ref function, Ref value)
{
    require(PyDict_SetItem(namespace_, getattr(function, "__name__").get(), value));
}

void ClassBody::make_class(Ref metaclass, std::initializer_list<Ref> bases)
{
    Owned base_tuple = checked(PyTuple_New(static_cast<Py_ssize_t>(bases.size())));
    Py_ssize_t index = 0;
    for (Ref base : bases) PyTuple_SET_ITEM(base_tuple.get(), index++, Owned::ref(base).release());
    add_to_module(module_, name_, call(metaclass, text(name_), base_tuple, namespace_));
}

}  // namespace interop
