// The boundary between the C API and C++.
//
// A C API failure becomes the C++ exception PyErrorSet while the Python
// exception stays set; boundary() turns it back into NULL or -1 where CPython
// calls in. No C++ exception crosses into CPython.
#pragma once

#include <Python.h>

#include <concepts>
#include <exception>
#include <new>
#include <source_location>
#include <string>

#include "refs.hpp"

namespace interop {

// Thrown only while a Python exception is set: throw it with throw_error_set().
struct PyErrorSet {};

#ifdef ORBISK_CHECK_ERRORS
// A report of an error that is not set is our fault; the boundary could only turn
// it into a SystemError far from where it was made, so a checking build stops here.
[[noreturn]] inline void stop_without_error(const std::source_location& site) noexcept
{
    std::string message = std::string("a Python error was reported while none is set, at ") + site.file_name() + ":" +
                          std::to_string(site.line()) + " in " + site.function_name();
    Py_FatalError(message.c_str());
}
#endif

// Passes the Python exception that is set on to the C++ caller, up to boundary().
// A build with ORBISK_CHECK_ERRORS (the sanitizer build) stops the process when
// none is set, naming the site that reported it.
[[noreturn]] inline void throw_error_set(const std::source_location& site = std::source_location::current())
{
#ifdef ORBISK_CHECK_ERRORS
    if (!PyErr_Occurred()) stop_without_error(site);
#else
    static_cast<void>(site);
#endif
    throw PyErrorSet{};
}

// NULL from the C API means an exception is set.
inline PyObject* require(PyObject* result, const std::source_location& site = std::source_location::current())
{
    if (result == nullptr) throw_error_set(site);
    return result;
}

// -1 from an int-returning C API function means an exception is set.
inline int require(int result, const std::source_location& site = std::source_location::current())
{
    if (result < 0) throw_error_set(site);
    return result;
}

// For results where -1 may be a value too (PyLong_AsSsize_t, PyFloat_AsDouble and the like).
template <class T>
    requires std::integral<T> || std::floating_point<T>
T require_value(T result, const std::source_location& site = std::source_location::current())
{
    if (result == static_cast<T>(-1) && PyErr_Occurred()) throw_error_set(site);
    return result;
}

// A new reference from the C API, checked.
inline Owned checked(PyObject* new_reference, const std::source_location& site = std::source_location::current())
{
    return Owned::take(require(new_reference, site));
}

// As `raise NotImplementedError` does: the exception without arguments.
[[noreturn]] inline void raise(PyObject* type)
{
    PyErr_SetNone(type);
    throw_error_set();
}

[[noreturn]] inline void raise(PyObject* type, const char* message)
{
    PyErr_SetString(type, message);
    throw_error_set();
}

[[noreturn]] inline void raise(PyObject* type, Ref message)
{
    PyErr_SetObject(type, message);
    throw_error_set();
}

// PyErr_Format wording: %s for C text, %U for str objects, %S for str(obj), %R for repr(obj).
template <class... Args>
[[noreturn]] void raise_format(PyObject* type, const char* format, Args... args)
{
    PyErr_Format(type, format, args...);
    throw_error_set();
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

}  // namespace interop
