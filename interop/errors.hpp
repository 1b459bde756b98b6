// Python errors inside C++.
//
// A C API failure becomes the C++ exception PyErrorSet while the Python
// exception stays set; boundary() turns it back into NULL or -1 where CPython
// calls in. No C++ exception crosses into CPython.
#pragma once

#include <Python.h>

#include <concepts>
#include <exception>
#include <new>

#include "refs.hpp"

namespace interop {

// Thrown only while a Python exception is set.
struct PyErrorSet {};

// NULL from the C API means an exception is set.
inline PyObject* require(PyObject* result)
{
    if (result == nullptr) throw PyErrorSet{};
    return result;
}

// -1 from an int-returning C API function means an exception is set.
inline int require(int result)
{
    if (result < 0) throw PyErrorSet{};
    return result;
}

// For results where -1 may be a value too (PyLong_AsSsize_t and the like).
template <std::integral T>
T require_value(T result)
{
    if (result == static_cast<T>(-1) && PyErr_Occurred()) throw PyErrorSet{};
    return result;
}

// A new reference from the C API, checked.
inline Owned checked(PyObject* new_reference) { return Owned::take(require(new_reference)); }

// As `raise NotImplementedError` does: the exception without arguments.
[[noreturn]] inline void raise(PyObject* type)
{
    PyErr_SetNone(type);
    throw PyErrorSet{};
}

[[noreturn]] inline void raise(PyObject* type, const char* message)
{
    PyErr_SetString(type, message);
    throw PyErrorSet{};
}

[[noreturn]] inline void raise(PyObject* type, Ref message)
{
    PyErr_SetObject(type, message);
    throw PyErrorSet{};
}

// PyErr_Format wording: %s for C text, %U for str objects, %S for str(obj), %R for repr(obj).
template <class... Args>
[[noreturn]] void raise_format(PyObject* type, const char* format, Args... args)
{
    PyErr_Format(type, format, args...);
    throw PyErrorSet{};
}

inline void set_error_from_cxx() noexcept
{
    try {
        throw;
    } catch (const PyErrorSet&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error reported without an exception set");
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_SystemError, error.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
}

// Entry from CPython for a function that returns an object: body() returns Owned.
template <class Body>
PyObject* boundary(Body&& body) noexcept
{
    try {
        return body().release();
    } catch (...) {
        set_error_from_cxx();
        return nullptr;
    }
}

// Entry from CPython for a function that returns 0 or -1: body() returns nothing.
template <class Body>
int boundary_status(Body&& body) noexcept
{
    try {
        body();
        return 0;
    } catch (...) {
        set_error_from_cxx();
        return -1;
    }
}

// The exception that is set, taken out of the interpreter as one object (its
// traceback attached) so that other code may run; restore_error() sets it again.
inline Owned fetch_error()
{
#if PY_VERSION_HEX >= 0x030C0000
    return Owned::take(PyErr_GetRaisedException());
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Owned owned_type = Owned::take(type), error = Owned::take(value), owned_traceback = Owned::take(traceback);
    if (owned_traceback) require(PyException_SetTraceback(error, owned_traceback));
    return error;
#endif
}

inline void restore_error(Owned error) noexcept
{
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(error.release());
#else
    PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(error.get())));
    PyObject* traceback = PyException_GetTraceback(error);
    PyErr_Restore(type, error.release(), traceback);
#endif
}

// Runs cleanup() while `error` is the exception being handled, as a finally
// block runs with an exception on its way: sys.exc_info() there shows it, and
// whatever cleanup() raises carries it as __context__, as the interpreter
// chains every exception set while another is handled. Throws PyErrorSet if
// cleanup() raised.
template <class Cleanup>
void cleanup_while_handling(Ref error, Cleanup& cleanup)
{
    Owned outer = Owned::take(PyErr_GetHandledException());
    PyErr_SetHandledException(error);
    try {
        cleanup();
    } catch (...) {
        // Setting the error chains the handled exception, as raising does in Python.
        set_error_from_cxx();
        PyErr_SetHandledException(outer.get());
        throw PyErrorSet{};
    }
    PyErr_SetHandledException(outer.get());
}

// Python's try/finally: body() returns Owned, cleanup() runs on every path out.
// An exception from body() continues unchanged after cleanup(); one raised by
// cleanup() replaces the result or the exception on its way, and carries that
// exception as __context__.
template <class Body, class Cleanup>
Owned try_finally(Body&& body, Cleanup&& cleanup)
{
    Owned result;
    try {
        result = body();
    } catch (...) {
        set_error_from_cxx();
        Owned error = fetch_error();
        cleanup_while_handling(error, cleanup);
        restore_error(std::move(error));
        throw PyErrorSet{};
    }
    cleanup();
    return result;
}

}  // namespace interop
