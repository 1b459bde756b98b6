// Python's try/except/finally in C++: exceptions handled as those statements handle them.
#pragma once

#include <Python.h>

#include <type_traits>
#include <utility>

#include "boundary.hpp"
#include "refs.hpp"

namespace interop {

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

// Runs code while `error` is the exception being handled, as an except or
// finally block runs: sys.exc_info() there shows it, and whatever the code
// raises carries it as __context__, as the interpreter chains every exception
// set while another is handled. Throws PyErrorSet if the code raised.
template <class Code>
auto while_handling(Ref error, Code&& code)
{
    Owned outer = Owned::take(PyErr_GetHandledException());
    PyErr_SetHandledException(error);
    try {
        if constexpr (std::is_void_v<decltype(code())>) {
            code();
            PyErr_SetHandledException(outer.get());
        } else {
            auto result = code();
            PyErr_SetHandledException(outer.get());
            return result;
        }
    } catch (...) {
        // Setting the error chains the handled exception, as raising does in Python.
        set_error_from_cxx();
        PyErr_SetHandledException(outer.get());
        throw_error_set();
    }
}

// Python's try/finally: cleanup() runs on every path out of body(), which may
// return a value or nothing. An exception from body() continues unchanged after
// cleanup(); one raised by cleanup() replaces the result or the exception on its
// way, and carries that exception as __context__.
template <class Body, class Cleanup>
auto try_finally(Body&& body, Cleanup&& cleanup)
{
    auto guarded = [&] {
        try {
            return body();
        } catch (...) {
            set_error_from_cxx();
            Owned error = fetch_error();
            while_handling(error, cleanup);
            restore_error(std::move(error));
            throw_error_set();
        }
    };
    if constexpr (std::is_void_v<decltype(body())>) {
        guarded();
        cleanup();
    } else {
        auto result = guarded();
        cleanup();
        return result;
    }
}

// An exception taken out of the interpreter, as `except ... as error` holds it.
class Caught {
public:
    Caught() = default;
    explicit Caught(Owned error) : error_(std::move(error)) {}

    explicit operator bool() const noexcept { return static_cast<bool>(error_); }
    PyObject* value() const noexcept { return error_.get(); }

    // Runs the body of the except clause; what it raises is chained to this exception.
    template <class Handler>
    auto handle(Handler&& handler)
    {
        return while_handling(error_, handler);
    }

private:
    Owned error_;
};

// What catch_exception gives for a body that returns a value: the value, or
// (value left empty) the caught error.
template <class T>
struct Attempt {
    T value{};
    Caught error;
};

// try: body() / except Exception as error: for a body that returns nothing, the
// caught error, empty when body() succeeded; for one that returns a value, an
// Attempt. A C++ failure counts as the Python exception that the boundary would
// make of it (std::bad_alloc as MemoryError). Other exceptions, KeyboardInterrupt
// and SystemExit among them, go on to the caller.
template <class Body>
auto catch_exception(Body&& body)
{
    using Result = decltype(body());
    try {
        if constexpr (std::is_void_v<Result>) {
            body();
            return Caught{};
        } else {
            return Attempt<Result>{body(), Caught{}};
        }
    } catch (...) {
        set_error_from_cxx();
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw_error_set();
        if constexpr (std::is_void_v<Result>)
            return Caught(fetch_error());
        else
            return Attempt<Result>{Result{}, Caught(fetch_error())};
    }
}

}  // namespace interop
