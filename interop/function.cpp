#include "function.hpp"

#include <structmember.h>

#include <string>
#include <string_view>
#include <vector>

#include "module_state.hpp"
#include "objects.hpp"

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
    const FunctionDef* spec;
    bool has_varargs;
    bool has_varkw;
};

PyObject* Call::module() const noexcept { return function_->module; }

PyObject* Call::payload() const noexcept { return function_->payload; }

namespace {

NativeFunction* as_function(PyObject* object) { return reinterpret_cast<NativeFunction*>(object); }

Owned current_qualname(NativeFunction* function)
{
    if (function->dict) {
        PyObject* qualname = PyDict_GetItemString(function->dict, "__qualname__");
        if (qualname && PyUnicode_Check(qualname)) return Owned::ref(qualname);
    }
    return text(function->spec->qualname);
}

}  // namespace

Owned Call::qualname() const { return current_qualname(function_); }

namespace {

// ---- the signature text --------------------------------------------------

struct Parameter {
    std::string name;
    std::string annotation;    // empty when there is none
    std::string default_text;  // empty when there is no default
    int stars = 0;             // 1 for *args, 2 for **kwargs
};

struct SignatureText {
    std::vector<Parameter> parameters;
    std::string return_annotation;  // empty when there is none
};

std::string_view trim(std::string_view text)
{
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    return text;
}

[[noreturn]] void bad_spec(const FunctionDef& spec, const char* why)
{
    raise_format(PyExc_SystemError, "bad signature of %s: %s", spec.qualname, why);
}

// Position of the first `wanted` outside brackets, or npos.
std::size_t find_top_level(std::string_view text, char wanted)
{
    int depth = 0;
    for (std::size_t index = 0; index < text.size(); ++index) {
        char c = text[index];
        if (c == wanted && depth == 0) return index;
        if (c == '(' || c == '[') ++depth;
        if (c == ')' || c == ']') --depth;
    }
    return std::string_view::npos;
}

// The items between top-level commas, trimmed; none for blank text.
std::vector<std::string_view> split_top_level(std::string_view text)
{
    std::vector<std::string_view> items;
    if (trim(text).empty()) return items;
    for (;;) {
        std::size_t comma = find_top_level(text, ',');
        items.push_back(trim(text.substr(0, comma)));
        if (comma == std::string_view::npos) return items;
        text = text.substr(comma + 1);
    }
}

// "(name: annotation = default, *args, **kwargs) -> annotation"
SignatureText parse_signature(const FunctionDef& spec)
{
    std::string_view text = trim(spec.signature);
    if (text.empty() || text.front() != '(') bad_spec(spec, "not in parentheses");
    std::size_t close = find_top_level(text.substr(1), ')');
    if (close == std::string_view::npos) bad_spec(spec, "not in parentheses");
    SignatureText signature;
    std::string_view after = trim(text.substr(close + 2));
    if (!after.empty()) {
        if (!after.starts_with("->")) bad_spec(spec, "unexpected text after the parameters");
        signature.return_annotation = trim(after.substr(2));
    }
    for (std::string_view item : split_top_level(text.substr(1, close))) {
        Parameter parameter;
        while (!item.empty() && item.front() == '*') {
            ++parameter.stars;
            item.remove_prefix(1);
        }
        std::size_t equals = find_top_level(item, '=');
        if (equals != std::string_view::npos) parameter.default_text = trim(item.substr(equals + 1));
        item = item.substr(0, equals);
        std::size_t colon = find_top_level(item, ':');
        if (colon != std::string_view::npos) parameter.annotation = trim(item.substr(colon + 1));
        parameter.name = trim(item.substr(0, colon));
        if (parameter.name.empty()) bad_spec(spec, "empty parameter name");
        signature.parameters.push_back(std::move(parameter));
    }
    return signature;
}

// A default that inspect reads from __text_signature__ as it stands.
bool is_literal(std::string_view text)
{
    return text == "None" || text == "True" || text == "False" ||
           (!text.empty() && text.find_first_not_of("-0123456789") == std::string_view::npos);
}

// An expression as Python evaluates it where the function is defined: a literal
// (None, True, False, an integer, ...), or a dotted name looked up in the
// module's namespace, optionally subscripted (Callable[..., RetType]).
Owned evaluate(PyObject* module, std::string_view text)
{
    if (text == "None") return none();
    if (text == "True") return boolean(true);
    if (text == "False") return boolean(false);
    if (text == "...") return Owned::ref(Py_Ellipsis);
    if (is_literal(text)) return checked(PyLong_FromString(std::string(text).c_str(), nullptr, 10));
    std::size_t bracket = text.find('[');
    if (bracket != std::string_view::npos) {
        if (text.back() != ']') raise_format(PyExc_SystemError, "cannot evaluate %s", std::string(text).c_str());
        Owned subscripted = evaluate(module, trim(text.substr(0, bracket)));
        std::vector<std::string_view> items = split_top_level(text.substr(bracket + 1, text.size() - bracket - 2));
        Owned key;
        if (items.size() == 1) {
            key = evaluate(module, items.front());
        } else {
            key = checked(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
            for (std::size_t index = 0; index < items.size(); ++index)
                PyTuple_SET_ITEM(key.get(), index, evaluate(module, items[index]).release());
        }
        return checked(PyObject_GetItem(subscripted, key));
    }
    std::size_t dot = text.find('.');
    Owned value = global(module, interned(std::string(text.substr(0, dot)).c_str()));
    while (dot != std::string_view::npos) {
        text = text.substr(dot + 1);
        dot = text.find('.');
        value = getattr(value, interned(std::string(text.substr(0, dot)).c_str()));
    }
    return value;
}

// A signature that a text cannot carry for inspect: annotations, or a default
// that is an object of the module rather than a literal.
bool needs_signature_object(const SignatureText& signature)
{
    if (!signature.return_annotation.empty()) return true;
    for (const Parameter& parameter : signature.parameters)
        if (!parameter.annotation.empty() || (!parameter.default_text.empty() && !is_literal(parameter.default_text)))
            return true;
    return false;
}

// Sets __signature__ (an inspect.Signature) and __annotations__, as a Python
// function defined in the module would show them. defaults holds one value or
// nullptr per parameter.
void set_signature_object(PyObject* module, PyObject* dict, const SignatureText& signature,
                          const std::vector<Owned>& defaults)
{
    Owned inspect = checked(PyImport_ImportModule("inspect"));
    Owned parameter_type = getattr(inspect, "Parameter");
    Owned empty = getattr(parameter_type, "empty");
    Owned annotations = checked(PyDict_New());
    Owned parameters = checked(PyList_New(0));
    for (std::size_t index = 0; index < signature.parameters.size(); ++index) {
        const Parameter& parameter = signature.parameters[index];
        const char* kind = parameter.stars == 1   ? "VAR_POSITIONAL"
                           : parameter.stars == 2 ? "VAR_KEYWORD"
                                                  : "POSITIONAL_OR_KEYWORD";
        Owned name = interned(parameter.name.c_str());
        Owned annotation = empty;
        if (!parameter.annotation.empty()) {
            annotation = evaluate(module, parameter.annotation);
            require(PyDict_SetItem(annotations, name, annotation));
        }
        Ref default_value = defaults[index] ? Ref(defaults[index]) : Ref(empty);
        Owned made = call(parameter_type, {name, getattr(parameter_type, kind)},
                          {{interned("default"), default_value}, {interned("annotation"), annotation}});
        require(PyList_Append(parameters, made));
    }
    Owned return_annotation = empty;
    if (!signature.return_annotation.empty()) {
        return_annotation = evaluate(module, signature.return_annotation);
        require(PyDict_SetItemString(annotations, "return", return_annotation));
    }
    Owned made = call(getattr(inspect, "Signature"), {parameters}, {{interned("return_annotation"), return_annotation}});
    require(PyDict_SetItemString(dict, "__signature__", made));
    require(PyDict_SetItemString(dict, "__annotations__", annotations));
}

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
    Py_ssize_t defaults = function->defaults ? PyTuple_GET_SIZE(function->defaults) : 0;
    Py_ssize_t first_default = count - defaults;
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

Owned make_function(PyObject* module, const FunctionDef& spec, PyObject* payload)
{
    SignatureText signature = parse_signature(spec);
    const std::vector<Parameter>& parameters = signature.parameters;
    if (parameters.size() != spec.arity) bad_spec(spec, "parameter count differs from the implementation's");

    auto* type = reinterpret_cast<PyTypeObject*>(module_state(module)->function_type);
    Owned object = Owned::take(reinterpret_cast<PyObject*>(PyObject_GC_New(NativeFunction, type)));
    if (!object) throw PyErrorSet{};
    NativeFunction* function = as_function(object.get());
    function->vectorcall = spec.entry;
    function->dict = nullptr;
    function->weakrefs = nullptr;
    function->module = Py_NewRef(module);
    function->names = nullptr;
    function->defaults = nullptr;
    function->payload = Py_XNewRef(payload);
    function->spec = &spec;
    function->has_varargs = false;
    function->has_varkw = false;
    PyObject_GC_Track(object.get());

    Owned names = checked(PyList_New(0));
    Owned defaults = checked(PyList_New(0));
    std::vector<Owned> default_values(parameters.size());
    for (std::size_t index = 0; index < parameters.size(); ++index) {
        const Parameter& parameter = parameters[index];
        if (parameter.stars == 1) {
            function->has_varargs = true;
        } else if (parameter.stars == 2) {
            function->has_varkw = true;
        } else {
            if (function->has_varargs || function->has_varkw) bad_spec(spec, "keyword-only parameters are not supported");
            if (!parameter.default_text.empty()) {
                default_values[index] = evaluate(module, parameter.default_text);
                require(PyList_Append(defaults, default_values[index]));
            } else if (PyList_GET_SIZE(defaults.get()) > 0) {
                bad_spec(spec, "parameter without a default follows one with a default");
            }
            require(PyList_Append(names, interned(parameter.name.c_str()).get()));
        }
    }
    function->names = checked(PyList_AsTuple(names)).release();
    if (PyList_GET_SIZE(defaults.get()) > 0) function->defaults = checked(PyList_AsTuple(defaults)).release();

    std::string_view qualname = spec.qualname;
    std::size_t dot = qualname.rfind('.');
    std::string_view name = dot == std::string_view::npos ? qualname : qualname.substr(dot + 1);
    function->dict = checked(PyDict_New()).release();
    require(PyDict_SetItemString(function->dict, "__name__", text(name).get()));
    require(PyDict_SetItemString(function->dict, "__qualname__", text(qualname).get()));
    require(PyDict_SetItemString(function->dict, "__module__", getattr(module, "__name__").get()));
    require(PyDict_SetItemString(function->dict, "__doc__", spec.doc ? text(spec.doc).get() : Py_None));
    if (needs_signature_object(signature))
        set_signature_object(module, function->dict, signature, default_values);
    else
        require(PyDict_SetItemString(function->dict, "__text_signature__", text(spec.signature).get()));
    return object;
}

}  // namespace interop
