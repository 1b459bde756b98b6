// A native function's parameters, read from its signature text by the
// interpreter itself: `def _<signature>: pass` runs with the module's namespace
// as its globals, so defaults and annotations are evaluated as Python evaluates
// them where a function is defined, and a text that is not a valid parameter
// list fails as Python code would.
#pragma once

#include <Python.h>

#include <cstddef>

#include "function.hpp"
#include "refs.hpp"

namespace interop {

struct Signature {
    Owned names;       // tuple of the named parameters, interned
    Owned defaults;    // tuple of the defaults of the last named parameters, or empty
    bool has_varargs = false;
    bool has_varkw = false;
    Owned function;    // the function `_` that the interpreter defined

    // Parameters in all, *args and **kwargs included.
    std::size_t count() const;

    // What inspect.signature reads in the function's dict: the text as __text_signature__
    // where it holds nothing but literal defaults (None, True, False, integers); else
    // __signature__, an inspect.Signature, and __annotations__, as a Python function shows them.
    void describe(PyObject* dict, const FunctionDef& def) const;
};

// Raises SystemError for a definition that our native functions cannot take: a
// signature text that is no parameter list, positional-only or keyword-only
// parameters, or a parameter count other than the implementation's. What
// evaluating a default or an annotation raises propagates unchanged.
Signature read_signature(PyObject* module, const FunctionDef& def);

}  // namespace interop
