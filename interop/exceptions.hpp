// Handling Python exceptions in C++ the way try/except/finally handle them.
#pragma once

#include <Python.h>

#include <new>

#include "errors.hpp"
#include "refs.hpp"

namespace interop {

// An exception taken out of the error indicator, as `except ... as error` holds it.
class Caught {
public:
    Caught() = default;

    // Takes the pending exception; the error indicator is then clear.
    static Caught take()
    {
        PyObject* type = nullptr;
        PyObject* value = nullptr;
        PyObject* traceback = nullptr;
        PyErr_Fetch(&type, &value, &traceback);
        PyErr_NormalizeException(&type, &value, &traceback);
        if (traceback != nullptr) PyException_SetTraceback(value, traceback);
        Py_XDECREF(type);
        Py_XDECREF(traceback);
        Caught caught;
        caught.value_ = Owned::take(value);
        return caught;
    }

    explicit operator bool() const noexcept { return static_cast<bool>(value_); }
    PyObject* value() const noexcept { return value_.get(); }

    // raise: sets the exception again, unchanged.
    [[noreturn]] void reraise()
    {
        PyObject* value = value_.release();
        PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value))), value, PyException_GetTraceback(value));
        throw PyErrorSet{};
    }

    // Runs code inside the handler: an exception it raises gets this one as its
    // __context__, as Python chains exceptions raised in except and finally blocks.
    template <class Handler>
    auto handle(Handler&& handler)
    {
        try {
            return handler();
        } catch (const PyErrorSet&) {
            chain_pending_onto(value_.get());
            throw;
        }
    }

private:
    static void chain_pending_onto(PyObject* context)
    {
        Caught raised = take();
        if (raised.value() != context) PyException_SetContext(raised.value(), Py_NewRef(context));
        raised.reraise();
    }

    Owned value_;
};

// try: body() / except Exception as error: the caught error is returned, empty
// when body() succeeded. Other exceptions, KeyboardInterrupt and SystemExit
// among them, go on to the caller.
template <class Body>
Caught catch_exception(Body&& body)
{
    try {
        body();
        return Caught{};
    } catch (const PyErrorSet&) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
        return Caught::take();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return Caught::take();
    }
}

// try: body() / finally: cleanup()
template <class Body, class Cleanup>
auto run_finally(Body&& body, Cleanup&& cleanup)
{
    auto result = [&] {
        try {
            return body();
        } catch (const PyErrorSet&) {
            Caught pending = Caught::take();
            pending.handle(cleanup);
            pending.reraise();
        }
    }();
    cleanup();
    return result;
}

}  // namespace interop
