// Module-level work done at import: imports, classes, module attributes.
#pragma once

#include <Python.h>

#include <initializer_list>

#include "function.hpp"
#include "refs.hpp"

namespace interop {

// import name
Owned import_module(const char* name);

// from <level dots><module> import name, relative to the package of the module
// whose namespace is globals; a missing name raises ImportError as Python does.
Owned import_from(Ref globals, Ref module, int level, Ref name);
Owned import_from(Ref globals, const char* module, int level, const char* name);

// Binds a module attribute; the reference is not stolen.
void add_to_module(Ref module, const char* name, Ref value);

// A class statement of a module, without the syntax: the namespace is filled in
// the order of the body, then the metaclass makes the class.
class ClassBody {
public:
    // The namespace starts with __module__ and __qualname__, as the interpreter's does.
    ClassBody(Ref module, const char* name);

    // name = value
    void bind(const char* name, Ref value);

    // def <name>(...): the native function of `def`, bound under its __name__.
    void define(const FunctionDef& def);

    // The same with a decorator line above it: what decorate(function) returns is bound.
    template <class Decorate>
    void define(const FunctionDef& def, Decorate&& decorate)
    {
        Owned function = make_function(module_, def);
        bind_as(function, decorate(Ref(function)));
    }

    // metaclass(name, bases, namespace), bound in the module under its name.
    void make_class(Ref metaclass, std::initializer_list<Ref> bases);

private:
    void bind_as(Ref function, Ref value);

    Ref module_;
    const char* name_;
    Owned namespace_;
};

}  // namespace interop
