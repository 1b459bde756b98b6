#include "function.hpp"

#include <structmember.h>

#include <string_view>
#include <vector>

#include "module_state.hpp"
#include "objects.hpp"
#include "signature.hpp"

namespace interop {

struct NativeFunction {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* dict;
    PyObject* weakrefs;
    PyObject* module;
    PyObject* names;     // tuple of the named parameters, interned
    PyObject* defaults;  // tuple of the defaults of the last named parameters, or NULL
    PyObject* payload;   // or NULL
    const FunctionDef* def;
    bool has_varargs;
    bool has_varkw;
};

PyObject* Call::module() const noexcept { return function_->module; }

Owned Call::parameter_name(std::size_t index) const
{
    if (index >= static_cast<std::size_t>(PyTuple_GET_SIZE(function_->names)))
        raise(PyExc_SystemError, "no named parameter at that position");
    return Owned::ref(PyTuple_GET_ITEM(function_->names, static_cast<Py_ssize_t>(index)));
}

PyObject* Call::payload() const noexcept { return function_->payload; }

namespace {

NativeFunction* as_function(PyObject* object) { return reinterpret_cast<NativeFunction*>(object); }

Owned current_qualname(NativeFunction* function)
{
    if (function->dict) {
        PyObject* qualname = PyDict_GetItemString(function->dict, "__qualname__");
        if (qualname && PyUnicode_Check(qualname)) return Owned::ref(qualname);
    }
    return text(function->def->qualname);
}

}  // namespace

Owned Call::qualname() const { return current_qualname(function_); }

namespace {

// ---- binding -------------------------------------------------------------

[[noreturn]] void raise_too_many_positional(NativeFunction* function, Py_ssize_t given)
{
    Py_ssize_t count = PyTuple_GET_SIZE(function->names);
    Py_ssize_t defaults = function->defaults ? PyTuple_GET_SIZE(function->defaults) : 0;
    Owned takes = defaults ? format("from %zd to %zd", count - defaults, count) : format("%zd", count);
    bool plural = defaults || count != 1;
    raise_format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd %s given",
                 current_qualname(function).get(), takes.get(), plural ? "s" : "", given, given == 1 ? "was" : "were");
}

[[noreturn]] void raise_missing(NativeFunction* function, const std::vector<Py_ssize_t>& missing)
{
    Owned names = checked(PyList_New(0));
    for (Py_ssize_t index : missing)
        require(PyList_Append(names, checked(PyObject_Repr(PyTuple_GET_ITEM(function->names, index))).get()));
    Py_ssize_t count = PyList_GET_SIZE(names.get());
    Owned listed;
    if (count == 1) {
        listed = Owned::ref(PyList_GET_ITEM(names.get(), 0));
    } else if (count == 2) {
        listed = format("%U and %U", PyList_GET_ITEM(names.get(), 0), PyList_GET_ITEM(names.get(), 1));
    } else {
        Owned tail = format(", %U, and %U", PyList_GET_ITEM(names.get(), count - 2), PyList_GET_ITEM(names.get(), count - 1));
        require(PyList_SetSlice(names, count - 2, count, nullptr));
        Owned head = checked(PyUnicode_Join(text(", ").get(), names));
        listed = checked(PyUnicode_Concat(head, tail));
    }
    raise_format(PyExc_TypeError, "%U() missing %i required positional argument%s: %U", current_qualname(function).get(),
                 static_cast<int>(count), count == 1 ? "" : "s", listed.get());
}

Py_ssize_t find_parameter(NativeFunction* function, PyObject* keyword)
{
    Py_ssize_t count = PyTuple_GET_SIZE(function->names);
    for (Py_ssize_t index = 0; index < count; ++index)
        if (PyTuple_GET_ITEM(function->names, index) == keyword) return index;
    for (Py_ssize_t index = 0; index < count; ++index)
        if (require(PyObject_RichCompareBool(keyword, PyTuple_GET_ITEM(function->names, index), Py_EQ))) return index;
    return -1;
}

}  // namespace

void bind_arguments(Call& call, PyObject* const* args, std::size_t nargsf, PyObject* kwnames, PyObject** slots)
{
    NativeFunction* function = as_function(call.self_function());
    Py_ssize_t given = PyVectorcall_NARGS(nargsf);
    Py_ssize_t count = PyTuple_GET_SIZE(function->names);
    Py_ssize_t defaults = function->defaults ? PyTuple_GET_SIZE(function->defaults) : 0;
    Py_ssize_t first_default = count - defaults;
    // The common call: by position only, every parameter without a default given.
    if (kwnames == nullptr && !function->has_varargs && !function->has_varkw && first_default <= given &&
        given <= count) {
        for (Py_ssize_t index = 0; index < given; ++index) slots[index] = args[index];
        for (Py_ssize_t index = given; index < count; ++index)
            slots[index] = PyTuple_GET_ITEM(function->defaults, index - first_default);
        return;
    }
    for (Py_ssize_t index = 0; index < given && index < count; ++index) slots[index] = args[index];
    Py_ssize_t next_slot = count;
    if (function->has_varargs) {
        Py_ssize_t extra = given > count ? given - count : 0;
        call.varargs = checked(PyTuple_New(extra));
        for (Py_ssize_t index = 0; index < extra; ++index)
            PyTuple_SET_ITEM(call.varargs.get(), index, Owned::ref(args[count + index]).release());
        slots[next_slot++] = call.varargs.get();
    }
    if (function->has_varkw) {
        call.varkw = checked(PyDict_New());
        slots[next_slot] = call.varkw.get();
    }
    Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t index = 0; index < keywords; ++index) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, index);
        PyObject* value = args[given + index];
        Py_ssize_t parameter = find_parameter(function, keyword);
        if (parameter < 0) {
            if (!function->has_varkw)
                raise_format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'",
                             current_qualname(function).get(), keyword);
            require(PyDict_SetItem(call.varkw, keyword, value));
            continue;
        }
        if (slots[parameter] != nullptr)
            raise_format(PyExc_TypeError, "%U() got multiple values for argument '%S'", current_qualname(function).get(),
                         keyword);
        slots[parameter] = value;
    }
    if (given > count && !function->has_varargs) raise_too_many_positional(function, given);
    std::vector<Py_ssize_t> missing;
    for (Py_ssize_t index = 0; index < first_default; ++index)
        if (slots[index] == nullptr) missing.push_back(index);
    if (!missing.empty()) raise_missing(function, missing);
    for (Py_ssize_t index = first_default; index < count; ++index)
        if (slots[index] == nullptr) slots[index] = PyTuple_GET_ITEM(function->defaults, index - first_default);
}

namespace {

// ---- the type ------------------------------------------------------------

int function_traverse(PyObject* self, visitproc visit, void* arg)
{
    NativeFunction* function = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(function->dict);
    Py_VISIT(function->module);
    Py_VISIT(function->names);
    Py_VISIT(function->defaults);
    Py_VISIT(function->payload);
    return 0;
}

int function_clear(PyObject* self)
{
    NativeFunction* function = as_function(self);
    Py_CLEAR(function->dict);
    Py_CLEAR(function->module);
    Py_CLEAR(function->names);
    Py_CLEAR(function->defaults);
    Py_CLEAR(function->payload);
    return 0;
}

void function_dealloc(PyObject* self)
{
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (as_function(self)->weakrefs) PyObject_ClearWeakRefs(self);
    function_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// Like a Python function: the function itself through the class, a bound method through an instance.
PyObject* function_descr_get(PyObject* self, PyObject* instance, PyObject*)
{
    if (instance == nullptr || instance == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, instance);
}

PyObject* function_repr(PyObject* self)
{
    return boundary([&] {
        Owned qualname = current_qualname(as_function(self));
        return format("<function %U at %p>", qualname.get(), self);
    });
}

// Pickled by reference, as Python functions are.
PyObject* function_reduce(PyObject* self, PyObject*)
{
    return boundary([&] { return current_qualname(as_function(self)); });
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef function_members[] = {
    {"__dictoffset__", T_PYSSIZET, offsetof(NativeFunction, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(NativeFunction, weakrefs), READONLY, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(NativeFunction, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_methods, function_methods},
    {Py_tp_members, function_members},
    {Py_tp_getset, function_getset},
    {0, nullptr},
};

}  // namespace

Owned make_function_type(PyObject* module, const char* qualified_type_name)
{
    PyType_Spec spec = {
        qualified_type_name,
        sizeof(NativeFunction),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
            Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
        function_slots,
    };
    return checked(PyType_FromModuleAndSpec(module, &spec, nullptr));
}

Owned make_function(PyObject* module, const FunctionDef& def, PyObject* payload)
{
    Signature signature = read_signature(module, def);

    auto* type = reinterpret_cast<PyTypeObject*>(module_state(module)->function_type);
    Owned object = checked(reinterpret_cast<PyObject*>(PyObject_GC_New(NativeFunction, type)));
    NativeFunction* function = as_function(object.get());
    function->vectorcall = def.entry;
    function->dict = nullptr;
    function->weakrefs = nullptr;
    function->module = Py_NewRef(module);
    function->names = Owned(signature.names).release();
    function->defaults = PyTuple_GET_SIZE(signature.defaults.get()) > 0 ? Owned(signature.defaults).release() : nullptr;
    function->payload = Py_XNewRef(payload);
    function->def = &def;
    function->has_varargs = signature.has_varargs;
    function->has_varkw = signature.has_varkw;
    PyObject_GC_Track(object.get());

    std::string_view qualname = def.qualname;
    std::size_t dot = qualname.rfind('.');
    std::string_view name = dot == std::string_view::npos ? qualname : qualname.substr(dot + 1);
    function->dict = checked(PyDict_New()).release();
    require(PyDict_SetItemString(function->dict, "__name__", text(name).get()));
    require(PyDict_SetItemString(function->dict, "__qualname__", text(qualname).get()));
    require(PyDict_SetItemString(function->dict, "__module__", getattr(module, "__name__").get()));
    require(PyDict_SetItemString(function->dict, "__doc__", def.doc ? text(def.doc).get() : Py_None));
    signature.describe(function->dict, def);
    return object;
}

}  // namespace interop
