// The C++ layer shared by our extension modules.
//
// Rules of use:
// - Every C API result is checked: a new reference goes straight into
//   checked(...) and becomes an Owned; an int status goes through require(...).
//   Either throws PyErrorSet, which means "a Python exception is set". Code
//   that finds an exception set some other way passes it on with
//   throw_error_set(), never with a bare throw: a checking build stops there
//   when none is set.
// - Every entry from CPython goes through boundary(...) (native functions get
//   it from native_entry), which turns PyErrorSet and any other C++ exception
//   back into NULL or -1 with an exception set. Nothing is thrown into CPython.
// - Owned owns one reference; Ref borrows one and never counts. Return Owned;
//   take Ref. Hand a reference to CPython with Owned::release().
// - No Owned in static storage: what a module keeps lives in its namespace or
//   its module state.
// - Behave like the Python code would: look attributes and module-level names
//   up at the time of use, and let exceptions through unchanged. Where Python
//   code would use try/finally, use try_finally(body, cleanup).
#pragma once

#include "arguments.hpp"
#include "boundary.hpp"
#include "function.hpp"
#include "module_state.hpp"
#include "modules.hpp"
#include "objects.hpp"
#include "refs.hpp"
#include "try_except.hpp"
