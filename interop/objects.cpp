#include "objects.hpp"

#include <vector>

namespace interop {

namespace {

// The vectorcall of callable (or, with a name, of the method of that name) with the positional
// arguments after `first` and the keywords, whose names go in a tuple as vectorcall wants them.
Owned vectorcall(Ref callable, Ref name, PyObject* first, std::initializer_list<Ref> positional,
                 std::initializer_list<Keyword> keywords)
{
    // Room for the arguments of every call we make; more go on the heap.
    constexpr std::size_t kInline = 8;
    std::size_t count = 1 + positional.size() + keywords.size();
    PyObject* inline_stack[kInline];
    std::vector<PyObject*> heap_stack;
    PyObject** stack = inline_stack;
    if (count > kInline) {
        heap_stack.resize(count);
        stack = heap_stack.data();
    }
    std::size_t next = 0;
    stack[next++] = first;
    for (Ref value : positional) stack[next++] = value;
    Owned names;
    if (keywords.size()) {
        names = checked(PyTuple_New(static_cast<Py_ssize_t>(keywords.size())));
        Py_ssize_t index = 0;
        for (const Keyword& keyword : keywords) {
            stack[next++] = keyword.value;
            PyTuple_SET_ITEM(names.get(), index++, Owned::ref(keyword.name).release());
        }
    }
    if (name) {
        std::size_t nargs = 1 + positional.size();
        return checked(PyObject_VectorcallMethod(name, stack, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, names.get()));
    }
    return checked(PyObject_Vectorcall(callable, stack + 1, positional.size() | PY_VECTORCALL_ARGUMENTS_OFFSET, names.get()));
}

}  // namespace

Owned call(Ref callable, std::initializer_list<Ref> positional, std::initializer_list<Keyword> keywords)
{
    return vectorcall(callable, nullptr, nullptr, positional, keywords);
}

Owned call_method(Ref object, Ref name, std::initializer_list<Ref> positional, std::initializer_list<Keyword> keywords)
{
    return vectorcall(nullptr, name, object, positional, keywords);
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
