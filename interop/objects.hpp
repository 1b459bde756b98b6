// Thin, checked wrappers over the object protocol: attributes, truth, calls, text.
#pragma once

#include <Python.h>

#include <initializer_list>
#include <string_view>

#include "boundary.hpp"
#include "refs.hpp"

namespace interop {

inline Owned interned(const char* value) { return checked(PyUnicode_InternFromString(value)); }

// Names are interned: the interpreter's attribute cache keeps a reference to each name it
// caches, and with a name made for one lookup it would keep that throwaway string.
inline Owned getattr(Ref object, Ref name) { return checked(PyObject_GetAttr(object, name)); }
inline Owned getattr(Ref object, const char* name) { return getattr(object, interned(name)); }

// getattr(object, name, None) without the None: empty when the object has no such
// attribute (AttributeError); any other error propagates.
inline Owned find_attr(Ref object, Ref name)
{
    Owned value = Owned::take(PyObject_GetAttr(object, name));
    if (value) return value;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error_set();
    PyErr_Clear();
    return value;
}

inline void setattr(Ref object, Ref name, Ref value) { require(PyObject_SetAttr(object, name, value)); }
inline void setattr(Ref object, const char* name, Ref value) { setattr(object, interned(name), value); }

inline bool truthy(Ref object) { return require(PyObject_IsTrue(object)) != 0; }

// isinstance(error, type) for an exception instance and an exception type (or a tuple of them).
inline bool is_exception(Ref error, Ref type) { return PyErr_GivenExceptionMatches(error, type) != 0; }

inline Owned text(std::string_view value) { return checked(PyUnicode_FromStringAndSize(value.data(), value.size())); }
inline Owned bytes(std::string_view value) { return checked(PyBytes_FromStringAndSize(value.data(), value.size())); }
inline Owned integer(long long value) { return checked(PyLong_FromLongLong(value)); }

// PyUnicode_FromFormat: %s for C text, %U for str objects, %S for str(obj), %R for repr(obj).
template <class... Args>
Owned format(const char* format, Args... args)
{
    return checked(PyUnicode_FromFormat(format, args...));
}

// callable(*args)
template <class... Args>
Owned call(Ref callable, const Args&... args)
{
    PyObject* stack[] = {nullptr, Ref(args).get()...};
    return checked(PyObject_Vectorcall(callable, stack + 1, sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// object.name(*args), without creating a bound method where the type allows it
template <class... Args>
Owned call_method(Ref object, Ref name, const Args&... args)
{
    PyObject* stack[] = {object.get(), Ref(args).get()...};
    return checked(PyObject_VectorcallMethod(name, stack, (1 + sizeof...(Args)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

template <class... Args>
Owned call_method(Ref object, const char* name, const Args&... args)
{
    return call_method(object, interned(name), args...);
}

struct Keyword {
    Ref name;
    Ref value;
};

// callable(*positional, **keywords)
Owned call(Ref callable, std::initializer_list<Ref> positional, std::initializer_list<Keyword> keywords);

// object.name(*positional, **keywords), without creating a bound method where the type allows it
Owned call_method(Ref object, Ref name, std::initializer_list<Ref> positional, std::initializer_list<Keyword> keywords);

// Dict lookup that tells a missing key (empty result) from an error (exception).
inline Ref lookup(Ref dict, Ref key)
{
    PyObject* value = PyDict_GetItemWithError(dict, key);
    if (value == nullptr && PyErr_Occurred()) throw_error_set();
    return value;
}

// A module-level name as Python code in that module sees it: module namespace, then builtins.
Owned global(Ref module, Ref name);

// The bytes of a buffer-protocol object, held while the Buffer lives. A bytes object,
// which cannot change, is only held: its buffer would give the same bytes.
class Buffer {
public:
    explicit Buffer(Ref object)
    {
        if (PyBytes_CheckExact(object)) {
            held_ = Owned::ref(object);
            bytes_ = {PyBytes_AS_STRING(object.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(object.get()))};
            return;
        }
        require(PyObject_GetBuffer(object, &view_, PyBUF_SIMPLE));
        bytes_ = {static_cast<const char*>(view_.buf), static_cast<std::size_t>(view_.len)};
    }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer()
    {
        if (!held_) PyBuffer_Release(&view_);
    }

    std::string_view bytes() const { return bytes_; }

private:
    Owned held_;
    Py_buffer view_;
    std::string_view bytes_;
};

// The Python type name for error messages ("int", "NoneType").
inline const char* type_name(Ref object) { return Py_TYPE(object.get())->tp_name; }

}  // namespace interop
