#include "signature.hpp"

#include <string>

#include "boundary.hpp"
#include "objects.hpp"
#include "try_except.hpp"

namespace interop {

namespace {

[[noreturn]] void bad_definition(const FunctionDef& def, const char* why)
{
    raise_format(PyExc_SystemError, "bad definition of %s: %s", def.qualname, why);
}

// None, True, False and integers: the defaults that inspect reads back from a text signature.
bool is_literal(Ref value)
{
    return value.is_none() || PyBool_Check(value) || PyLong_CheckExact(value);
}

}  // namespace

std::size_t Signature::count() const
{
    return static_cast<std::size_t>(PyTuple_GET_SIZE(names.get())) + has_varargs + has_varkw;
}

void Signature::describe(PyObject* dict, const FunctionDef& def) const
{
    Owned annotations = getattr(function, "__annotations__");
    bool literal = PyDict_GET_SIZE(annotations.get()) == 0;
    for (Py_ssize_t index = 0; literal && index < PyTuple_GET_SIZE(defaults.get()); ++index)
        literal = is_literal(PyTuple_GET_ITEM(defaults.get(), index));
    if (literal) {
        require(PyDict_SetItemString(dict, "__text_signature__", text(def.signature).get()));
        return;
    }
    Owned inspect = checked(PyImport_ImportModule("inspect"));
    require(PyDict_SetItemString(dict, "__signature__", call_method(inspect, "signature", function).get()));
    require(PyDict_SetItemString(dict, "__annotations__", annotations));
}

Signature read_signature(PyObject* module, const FunctionDef& def)
{
    std::string source = std::string("def _") + def.signature + ": pass\n";
    Owned code = Owned::take(Py_CompileString(source.c_str(), def.qualname, Py_file_input));
    if (!code) {
        Owned error = fetch_error();
        while_handling(error, [&] { bad_definition(def, "the signature is not a parameter list"); });
    }
    // The def binds _ in a dict of its own: nothing is added to the module's namespace.
    Owned locals = checked(PyDict_New());
    checked(PyEval_EvalCode(code, PyModule_GetDict(module), locals));
    Signature signature;
    signature.function = Owned::ref(lookup(locals, interned("_")));
    if (!signature.function || !PyFunction_Check(signature.function.get()))
        bad_definition(def, "the signature is not a parameter list");

    auto* function_code = reinterpret_cast<PyCodeObject*>(PyFunction_GET_CODE(signature.function.get()));
    if (function_code->co_posonlyargcount != 0 || function_code->co_kwonlyargcount != 0)
        bad_definition(def, "positional-only and keyword-only parameters are not supported");
    signature.has_varargs = (function_code->co_flags & CO_VARARGS) != 0;
    signature.has_varkw = (function_code->co_flags & CO_VARKEYWORDS) != 0;
    Owned variables = checked(PyCode_GetVarnames(function_code));
    signature.names = checked(PyTuple_New(function_code->co_argcount));
    for (Py_ssize_t index = 0; index < function_code->co_argcount; ++index) {
        PyObject* name = Py_NewRef(PyTuple_GET_ITEM(variables.get(), index));
        PyUnicode_InternInPlace(&name);
        PyTuple_SET_ITEM(signature.names.get(), index, name);
    }
    PyObject* defaults = PyFunction_GET_DEFAULTS(signature.function.get());
    signature.defaults = defaults ? Owned::ref(defaults) : checked(PyTuple_New(0));
    if (signature.count() != def.arity) bad_definition(def, "parameter count differs from the implementation's");
    return signature;
}

}  // namespace interop
