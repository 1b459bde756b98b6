#include "objects.hpp"

#include <vector>

namespace interop {

Owned call(Ref callable, std::initializer_list<Ref> positional, std::initializer_list<Keyword> keywords)
{
    std::vector<PyObject*> stack;
    stack.reserve(1 + positional.size() + keywords.size());
    stack.push_back(nullptr);
    for (Ref value : positional) stack.push_back(value);
    Owned names = checked(PyTuple_New(static_cast<Py_ssize_t>(keywords.size())));
    Py_ssize_t index = 0;
    for (const Keyword& keyword : keywords) {
        stack.push_back(keyword.value);
        PyTuple_SET_ITEM(names.get(), index++, Owned::ref(keyword.name).release());
    }
    return checked(PyObject_Vectorcall(callable, stack.data() + 1, positional.size() | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                       keywords.size() ? names.get() : nullptr));
}

Owned global(Ref module, Ref name)
{
    Ref found = lookup(PyModule_GetDict(module), name);
    if (found) return Owned::ref(found);
    found = lookup(PyEval_GetBuiltins(), name);
    if (found) return Owned::ref(found);
    raise_format(PyExc_NameError, "name '%U' is not defined", name.get());
}

}  // namespace interop
