// Reference handles.
//
// Owned holds one strong reference and releases it when it goes away;
// Ref is a borrowed pointer that never touches reference counts.
#pragma once

#include <Python.h>

#include <utility>

namespace interop {

class Owned {
public:
    Owned() noexcept = default;

    // Takes over a new reference, such as a C API result already checked for NULL.
    static Owned take(PyObject* object) noexcept
    {
        Owned owned;
        owned.object_ = object;
        return owned;
    }

    // Takes a new reference to an object that is only borrowed.
    static Owned ref(PyObject* object) noexcept
    {
        Py_XINCREF(object);
        return take(object);
    }

    Owned(const Owned& other) noexcept : object_(other.object_) { Py_XINCREF(object_); }
    Owned(Owned&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Owned& operator=(Owned other) noexcept
    {
        std::swap(object_, other.object_);
        return *this;
    }
    ~Owned() { Py_XDECREF(object_); }

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    // Passes the object to the C API while the handle lives; never from a temporary.
    operator PyObject*() const& noexcept { return object_; }
    operator PyObject*() const&& = delete;

    // Hands the reference to the caller, typically CPython.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }

private:
    PyObject* object_ = nullptr;
};

class Ref {
public:
    Ref(PyObject* object) noexcept : object_(object) {}
    Ref(const Owned& owned) noexcept : object_(owned.get()) {}

    PyObject* get() const noexcept { return object_; }
    operator PyObject*() const noexcept { return object_; }
    bool is(Ref other) const noexcept { return object_ == other.object_; }
    bool is_none() const noexcept { return object_ == Py_None; }

private:
    PyObject* object_;
};

inline Owned none() { return Owned::ref(Py_None); }
inline Owned boolean(bool value) { return Owned::ref(value ? Py_True : Py_False); }

}  // namespace interop
