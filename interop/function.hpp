// The native function: the one type our modules define.
//
// It behaves like a Python function where callers can tell: it has a
// __dict__ (holding __name__, __qualname__, __module__, __doc__ and
// __text_signature__, or __signature__ and __annotations__), binds to an
// instance as a method, takes arguments by position or keyword with Python's
// own TypeError wording, and works with abc.abstractmethod, functools.wraps
// and inspect.signature.
//
// An implementation is a plain C++ function
//     Owned impl(Call& call, Ref self, Ref cmd, ...)
// with one Ref (or Arg) per declared parameter (for *args a tuple, for **kwargs a dict),
// described by a FunctionDef made with function_def<impl>(...).
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <utility>

#include "boundary.hpp"
#include "refs.hpp"

namespace interop {

struct NativeFunction;

// An argument as an implementation receives it: a borrowed reference that also
// knows which declared parameter it is, so that a converter (arguments.hpp) can
// name the parameter from the signature text. Declare a parameter as Arg where a
// converter needs it, as Ref elsewhere.
class Arg : public Ref {
public:
    Arg(PyObject* object, std::size_t index) noexcept : Ref(object), index_(index) {}
    std::size_t index() const noexcept { return index_; }

private:
    std::size_t index_;
};

// What an implementation gets besides its arguments.
class Call {
public:
    explicit Call(NativeFunction* function) noexcept : function_(function) {}

    // The module that defined the function: its state and its namespace.
    PyObject* module() const noexcept;
    // The object the function was made with, if any (the wrapped callable of a decorator).
    PyObject* payload() const noexcept;
    // The function's current __qualname__, as Python's own argument errors name it.
    Owned qualname() const;
    // The name of the declared parameter at `index`, as the signature text gives it.
    Owned parameter_name(std::size_t index) const;
    // The function object itself.
    PyObject* self_function() const noexcept { return reinterpret_cast<PyObject*>(function_); }

    // Storage for *args and **kwargs while the call runs.
    Owned varargs;
    Owned varkw;

private:
    NativeFunction* function_;
};

struct FunctionDef {
    const char* qualname;   // "FpgaTool._sendCmd"; __name__ is its last component
    const char* signature;  // "(self, cmd, log_print=False, size=1024, isdecode=True)" or
                            // "(self, beam_id: int, com_gain: int = 0) -> RetType"
    const char* doc;        // nullptr for none
    vectorcallfunc entry;
    std::size_t arity;      // parameters of the implementation after Call&
};

template <class Impl>
struct ImplArity;

template <class... Params>
struct ImplArity<Owned (*)(Call&, Params...)> {
    static constexpr std::size_t value = sizeof...(Params);
};

// Binds vectorcall arguments to the declared parameters; slots gets one borrowed
// reference per parameter. Raises TypeError as Python does for a bad call.
void bind_arguments(Call& call, PyObject* const* args, std::size_t nargsf, PyObject* kwnames, PyObject** slots);

template <auto Impl>
PyObject* native_entry(PyObject* callable, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) noexcept
{
    constexpr std::size_t arity = ImplArity<decltype(Impl)>::value;
    return boundary([&] {
        Call call(reinterpret_cast<NativeFunction*>(callable));
        std::array<PyObject*, arity> slots{};
        bind_arguments(call, args, nargsf, kwnames, slots.data());
        return [&]<std::size_t... I>(std::index_sequence<I...>) {
            return Impl(call, Arg(slots[I], I)...);
        }(std::make_index_sequence<arity>{});
    });
}

template <auto Impl>
constexpr FunctionDef function_def(const char* qualname, const char* signature, const char* doc)
{
    return FunctionDef{qualname, signature, doc, &native_entry<Impl>, ImplArity<decltype(Impl)>::value};
}

// The function type of one module; keep it in the module state.
Owned make_function_type(PyObject* module, const char* qualified_type_name);

// A function of the module made from a definition with static storage. Its
// signature text is read as a def statement in the module would be (see
// signature.hpp): defaults and annotations are evaluated now, with the module's
// names. payload is the object that Call::payload() returns.
Owned make_function(PyObject* module, const FunctionDef& def, PyObject* payload = nullptr);

}  // namespace interop
