// Argument conversions; a refused argument is named in the TypeError, in the
// wording of CPython's own argument parsing, by the name its definition gives it.
#pragma once

#include <Python.h>

#include "function.hpp"
#include "refs.hpp"

namespace interop {

// "<qualname>() argument '<name>' must be <expected>, not <type>"
[[noreturn]] void raise_bad_argument(const Call& call, Arg value, const char* expected);

// A str, or a TypeError naming the argument.
void require_text(const Call& call, Arg value);
void require_text_or_none(const Call& call, Arg value);

// A path as text: a str as it is, an os.PathLike as the str that os.fspath() gives.
// Anything else, a bytes path included, is refused as require_text(_or_none) refuses it.
Owned text_path(const Call& call, Arg value);
Owned text_path_or_none(const Call& call, Arg value);

// A number as a Python int: an int is kept, any other number converted as
// int() does (a fraction truncated toward zero); anything else is refused.
Owned int_from_number(const Call& call, Arg value);

// A real number as a Python float: a float is kept, an int or an object with
// __float__ or __index__ converted as float() does; anything else, text
// included, is refused.
Owned float_from_number(const Call& call, Arg value);

// An integer (int or an object with __index__) as a Python int; anything else is refused.
Owned int_from_integer(const Call& call, Arg value);

}  // namespace interop
