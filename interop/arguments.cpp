#include "arguments.hpp"

#include "boundary.hpp"
#include "objects.hpp"

namespace interop {

void raise_bad_argument(const Call& call, const char* name, const char* expected, Ref value)
{
    raise_format(PyExc_TypeError, "%U() argument '%s' must be %s, not %s", call.qualname().get(), name, expected,
                 type_name(value));
}

void require_text(const Call& call, const char* name, Ref value)
{
    if (!PyUnicode_Check(value)) raise_bad_argument(call, name, "str", value);
}

void require_text_or_none(const Call& call, const char* name, Ref value)
{
    if (!value.is_none() && !PyUnicode_Check(value)) raise_bad_argument(call, name, "str or None", value);
}

Owned int_from_number(const Call& call, const char* name, Ref value)
{
    if (PyLong_CheckExact(value)) return Owned::ref(value);
    PyNumberMethods* number = Py_TYPE(value.get())->tp_as_number;
    bool is_number = PyLong_Check(value) || PyFloat_Check(value) ||
                     (number != nullptr && (number->nb_index != nullptr || number->nb_int != nullptr));
    if (!is_number) raise_bad_argument(call, name, "int", value);
    return checked(PyNumber_Long(value));
}

Owned float_from_number(const Call& call, const char* name, Ref value)
{
    if (PyFloat_CheckExact(value)) return Owned::ref(value);
    PyNumberMethods* number = Py_TYPE(value.get())->tp_as_number;
    bool is_number = PyFloat_Check(value) || PyLong_Check(value) ||
                     (number != nullptr && (number->nb_float != nullptr || number->nb_index != nullptr));
    if (!is_number) raise_bad_argument(call, name, "float", value);
    return checked(PyNumber_Float(value));
}

Owned int_from_integer(const Call& call, const char* name, Ref value)
{
    if (PyLong_CheckExact(value)) return Owned::ref(value);
    PyNumberMethods* number = Py_TYPE(value.get())->tp_as_number;
    if (!PyLong_Check(value) && (number == nullptr || number->nb_index == nullptr))
        raise_bad_argument(call, name, "int", value);
    return checked(PyNumber_Index(value));
}

}  // namespace interop
