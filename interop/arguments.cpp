#include "arguments.hpp"

#include "boundary.hpp"
#include "objects.hpp"

namespace interop {

void raise_bad_argument(const Call& call, Arg value, const char* expected)
{
    raise_format(PyExc_TypeError, "%U() argument '%U' must be %s, not %s", call.qualname().get(),
                 call.parameter_name(value.index()).get(), expected, type_name(value));
}

void require_text(const Call& call, Arg value)
{
    if (!PyUnicode_Check(value)) raise_bad_argument(call, value, "str");
}

void require_text_or_none(const Call& call, Arg value)
{
    if (!value.is_none() && !PyUnicode_Check(value)) raise_bad_argument(call, value, "str or None");
}

namespace {

// os.fspath(value) when value is an os.PathLike (its type has __fspath__) that names a str
// path; empty otherwise. What __fspath__ raises propagates, as from os.fspath.
Owned fspath_text(Arg value)
{
    Owned method = find_attr(reinterpret_cast<PyObject*>(Py_TYPE(value.get())), interned("__fspath__"));
    if (!method || Ref(method).is_none()) return {};
    Owned path = checked(PyOS_FSPath(value));
    if (!PyUnicode_Check(path)) return {};
    return path;
}

}  // namespace

Owned text_path(const Call& call, Arg value)
{
    if (PyUnicode_Check(value)) return Owned::ref(value);
    Owned path = fspath_text(value);
    if (!path) raise_bad_argument(call, value, "str");
    return path;
}

Owned text_path_or_none(const Call& call, Arg value)
{
    if (value.is_none() || PyUnicode_Check(value)) return Owned::ref(value);
    Owned path = fspath_text(value);
    if (!path) raise_bad_argument(call, value, "str or None");
    return path;
}

Owned int_from_number(const Call& call, Arg value)
{
    if (PyLong_CheckExact(value)) return Owned::ref(value);
    PyNumberMethods* number = Py_TYPE(value.get())->tp_as_number;
    bool is_number = PyLong_Check(value) || PyFloat_Check(value) ||
                     (number != nullptr && (number->nb_index != nullptr || number->nb_int != nullptr));
    if (!is_number) raise_bad_argument(call, value, "int");
    return checked(PyNumber_Long(value));
}

Owned float_from_number(const Call& call, Arg value)
{
    if (PyFloat_CheckExact(value)) return Owned::ref(value);
    PyNumberMethods* number = Py_TYPE(value.get())->tp_as_number;
    bool is_number = PyFloat_Check(value) || PyLong_Check(value) ||
                     (number != nullptr && (number->nb_float != nullptr || number->nb_index != nullptr));
    if (!is_number) raise_bad_argument(call, value, "float");
    return checked(PyNumber_Float(value));
}

Owned int_from_integer(const Call& call, Arg value)
{
    if (PyLong_CheckExact(value)) return Owned::ref(value);
    PyNumberMethods* number = Py_TYPE(value.get())->tp_as_number;
    if (!PyLong_Check(value) && (number == nullptr || number->nb_index == nullptr))
        raise_bad_argument(call, value, "int");
    return checked(PyNumber_Index(value));
}

}  // namespace interop
