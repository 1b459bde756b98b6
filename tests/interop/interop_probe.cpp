// interop_probe: a module for the tests only, built by tests/interop/conftest.py and
// never installed. It reaches the parts of the interop layer that our modules use only
// on faulty paths: the boundary's fallbacks, bad function definitions, and the edges
// of try_finally and catch_exception.
#include <cstddef>
#include <new>
#include <stdexcept>
#include <string_view>

#include "interop.hpp"

namespace {

using interop::Call;
using interop::FunctionDef;
using interop::function_def;
using interop::Owned;
using interop::Ref;

constexpr std::string_view kNames[] = {"_"};

// Fails in the way `kind` names, as C++ code under a boundary can.
void fail(Ref kind)
{
    auto is = [&](const char* name) { return PyUnicode_Check(kind) && PyUnicode_CompareWithASCIIString(kind, name) == 0; };
    if (is("bad_alloc")) throw std::bad_alloc();
    if (is("cxx")) throw std::runtime_error("a C++ failure");
    if (is("unknown")) throw 42;
    if (is("marker")) throw interop::PyErrorSet{};  // the bare throw that throw_error_set() replaces
    if (is("unset")) interop::throw_error_set();
    interop::raise_format(PyExc_ValueError, "unknown kind %R", kind.get());
}

// A body for the probes: a kind of failure, or a callable whose result it returns.
Owned run_body(Ref body)
{
    if (PyUnicode_Check(body)) fail(body);
    return interop::call(body);
}

Owned fail_impl(Call&, Ref kind)
{
    fail(kind);
    return interop::none();
}

// (status, exception) as boundary_status leaves them for the entry of a slot.
Owned status_of(Call&, Ref kind)
{
    int status = interop::boundary_status([&] { fail(kind); });
    Owned error = PyErr_Occurred() ? interop::fetch_error() : interop::none();
    return interop::checked(Py_BuildValue("(iO)", status, error.get()));
}

Owned try_finally_impl(Call&, Ref body, Ref cleanup)
{
    return interop::try_finally([&] { return run_body(body); }, [&] { interop::call(cleanup); });
}

// (caught, handled): the exception that catch_exception caught, or None; what
// handler(caught) returned inside Caught::handle, or None without a handler.
Owned catch_exception_impl(Call&, Ref body, Ref handler)
{
    interop::Caught caught = interop::catch_exception([&] { run_body(body); });
    if (!caught) return interop::checked(Py_BuildValue("(OO)", Py_None, Py_None));
    Owned handled = handler.is_none() ? interop::none() : caught.handle([&] { return interop::call(handler, caught.value()); });
    return interop::checked(Py_BuildValue("(OO)", caught.value(), handled.get()));
}

// (value, caught): what body() returned, or None and the exception caught.
Owned catch_value(Call&, Ref body)
{
    auto attempt = interop::catch_exception([&] { return run_body(body); });
    Owned value = attempt.value ? attempt.value : interop::none();
    return interop::checked(Py_BuildValue("(OO)", value.get(), attempt.error ? attempt.error.value() : Py_None));
}

// try_finally with a body that returns nothing: None.
Owned try_finally_void(Call&, Ref body, Ref cleanup)
{
    interop::try_finally([&] { run_body(body); }, [&] { interop::call(cleanup); });
    return interop::none();
}

Owned pair(Call&, Ref first, Ref second) { return interop::checked(PyTuple_Pack(2, first.get(), second.get())); }

struct NamedDef {
    const char* name;
    FunctionDef def;
};

// Definitions of a function with two parameters, good and bad.
constexpr NamedDef kDefinitions[] = {
    {"plain", function_def<pair>("probe.plain", "(a, b=2)", "Two values.")},
    {"annotated", function_def<pair>("probe.annotated", "(a: int, b: str = 'x') -> tuple", nullptr)},
    {"varargs", function_def<pair>("probe.varargs", "(a, *args)", nullptr)},
    {"varkw", function_def<pair>("probe.varkw", "(a, **kwargs)", nullptr)},
    {"unclosed", function_def<pair>("probe.unclosed", "(a, b", nullptr)},
    {"default_first", function_def<pair>("probe.default_first", "(a=1, b)", nullptr)},
    {"keyword_only", function_def<pair>("probe.keyword_only", "(a, *, b)", nullptr)},
    {"positional_only", function_def<pair>("probe.positional_only", "(a, /, b)", nullptr)},
    {"too_many", function_def<pair>("probe.too_many", "(a, b, c)", nullptr)},
    {"unknown_default", function_def<pair>("probe.unknown_default", "(a, b=no_such_name)", nullptr)},
};

// The function of the definition named `name`, made in this module.
Owned define(Call& call, Ref name)
{
    for (const NamedDef& named : kDefinitions)
        if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, named.name) == 0)
            return interop::make_function(call.module(), named.def);
    interop::raise_format(PyExc_KeyError, "%R", name.get());
}

constexpr FunctionDef kFunctions[] = {
    function_def<fail_impl>("fail", "(kind)", nullptr),
    function_def<status_of>("status_of", "(kind)", nullptr),
    function_def<try_finally_impl>("try_finally", "(body, cleanup)", nullptr),
    function_def<catch_exception_impl>("catch_exception", "(body, handler=None)", nullptr),
    function_def<catch_value>("catch_value", "(body)", nullptr),
    function_def<try_finally_void>("try_finally_void", "(body, cleanup)", nullptr),
    function_def<define>("define", "(name)", nullptr),
};

int exec_module(PyObject* module) noexcept
{
    return interop::boundary_status([&] {
        interop::init_module_state(module, "interop_probe.native_function", kNames);
        for (const FunctionDef& def : kFunctions)
            interop::add_to_module(module, def.qualname, interop::make_function(module, def));
    });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = interop::module_definition("interop_probe", nullptr, module_slots);

}  // namespace

PyMODINIT_FUNC PyInit_interop_probe(void) { return PyModuleDef_Init(&module_def); }
