// Module-level work done at import: imports, classes, module attributes.
#pragma once

#include <Python.h>

#include <initializer_list>

#include "refs.hpp"

namespace interop {

// import name
Owned import_module(const char* name);

// from <level dots><module> import name, relative to the package of the module
// whose namespace is globals; a missing name raises ImportError as Python does.
Owned import_from(Ref globals, const char* module, int level, const char* name);

// metaclass(name, bases, namespace): the class statement without the syntax.
Owned make_class(Ref metaclass, const char* name, std::initializer_list<Ref> bases, Ref namespace_dict);

// Binds a module attribute; the reference is not stolen.
void add_to_module(Ref module, const char* name, Ref value);

}  // namespace interop
