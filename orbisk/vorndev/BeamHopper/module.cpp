// Import of orbisk.vorndev.BeamHopper: the standard and host names, then
// StartEndEnum, the decorator _require_beam_pattern_setup and the class
// BeamHopper, in that order.
#include <string>

#include "BeamHopper.hpp"

namespace beamhopper {

namespace {

constexpr char kModuleDoc[] = "Fast Beam Switch Manager module.";
constexpr char kStartEndEnumDoc[] = "Enum for start and end states.";
constexpr char kBeamHopperDoc[] = "Abstract base class for managing fast beam operations.";

// The class body: BeamHopper's operations in definition order.
const std::span<const Operation>* const kClassBody[] = {
    &pattern_manager_operations,
    &parallel_mode_operations,
    &configuration_operations,
};

// inspect; from abc import ABC, abstractmethod; from enum import IntEnum, auto;
// from functools import wraps; from typing import Callable;
// from ..VornPublic import FBSMode, RFMode; from ..VornUtils import RetCode, RetType;
// from ..VornUtils import _RspType as RspType; from .BeamPatternManager import BeamPatternManager
void bind_imports(Ref module)
{
    using interop::add_to_module;
    using interop::import_from;
    Ref globals = PyModule_GetDict(module);
    add_to_module(module, "inspect", interop::import_module("inspect"));
    add_to_module(module, "ABC", import_from(globals, "abc", 0, "ABC"));
    add_to_module(module, "abstractmethod", import_from(globals, "abc", 0, "abstractmethod"));
    add_to_module(module, "IntEnum", import_from(globals, "enum", 0, "IntEnum"));
    add_to_module(module, "auto", import_from(globals, "enum", 0, "auto"));
    add_to_module(module, "wraps", import_from(globals, "functools", 0, "wraps"));
    add_to_module(module, "Callable", import_from(globals, "typing", 0, "Callable"));
    add_to_module(module, "FBSMode", import_from(globals, "VornPublic", 2, "FBSMode"));
    add_to_module(module, "RFMode", import_from(globals, "VornPublic", 2, "RFMode"));
    add_to_module(module, "RetCode", import_from(globals, "VornUtils", 2, "RetCode"));
    add_to_module(module, "RetType", import_from(globals, "VornUtils", 2, "RetType"));
    add_to_module(module, "RspType", import_from(globals, "VornUtils", 2, "_RspType"));
    add_to_module(module, "BeamPatternManager", import_from(globals, "BeamPatternManager", 1, "BeamPatternManager"));
}

// A module-level name at import, as a class statement or decorator expression sees it.
Owned global(Ref module, const char* name) { return interop::global(module, interop::interned(name)); }

// IntEnum("StartEndEnum", [("OTHER", 0), ("START", auto()), ("END", auto()), ("START_END", auto())])
void define_start_end_enum(Ref module)
{
    Owned automatic = global(module, "auto");
    Owned members = interop::checked(PyList_New(0));
    interop::require(PyList_Append(members, interop::checked(Py_BuildValue("(si)", "OTHER", 0)).get()));
    for (const char* name : {"START", "END", "START_END"}) {
        Owned member = interop::checked(PyTuple_Pack(2, interop::text(name).get(), interop::call(automatic).get()));
        interop::require(PyList_Append(members, member));
    }
    Owned enumeration = interop::call(global(module, "IntEnum"), {interop::text("StartEndEnum"), members},
                                      {{interop::interned("module"), interop::getattr(module, "__name__")},
                                       {interop::interned("qualname"), interop::text("StartEndEnum")}});
    interop::setattr(enumeration, "__doc__", interop::text(kStartEndEnumDoc));
    interop::add_to_module(module, "StartEndEnum", enumeration);
}

Owned class_attribute(Ref module, Ref function, Kind kind, const char* doc)
{
    switch (kind) {
    case Kind::method:
        return Owned::ref(function);
    case Kind::property:
        return interop::call(global(module, "property"), function, Py_None, Py_None, interop::text(doc));
    case Kind::abstract:
        return interop::call(global(module, "abstractmethod"), function);
    case Kind::bracketed:
        return interop::call(global(module, "_require_beam_pattern_setup"), function);
    }
    interop::raise(PyExc_SystemError, "unknown kind of operation");
}

// ABCMeta("BeamHopper", (ABC,), body)
void define_beam_hopper(Ref module)
{
    interop::ClassBody body(module, "BeamHopper");
    body.bind("__doc__", interop::text(kBeamHopperDoc));
    // _beam_pattern_mgr: BeamPatternManager = None; external_control_enabled: bool = False
    Owned annotations = interop::checked(PyDict_New());
    interop::require(PyDict_SetItemString(annotations, "_beam_pattern_mgr", global(module, "BeamPatternManager").get()));
    interop::require(PyDict_SetItemString(annotations, "external_control_enabled", global(module, "bool").get()));
    body.bind("__annotations__", annotations);
    body.bind("_beam_pattern_mgr", Py_None);
    body.bind("external_control_enabled", Py_False);
    for (const std::span<const Operation>* operations : kClassBody)
        for (const Operation& operation : *operations) {
            body.define(*operation.def,
                        [&](Ref function) { return class_attribute(module, function, operation.kind, operation.def->doc); });
        }
    Owned base = global(module, "ABC");
    body.make_class(reinterpret_cast<PyObject*>(Py_TYPE(base.get())), {base});
}

int exec_module(PyObject* module) noexcept
{
    return interop::boundary_status([&] {
        interop::init_module_state(module, "orbisk.vorndev.BeamHopper.native_function", kNames);
        bind_imports(module);
        define_start_end_enum(module);
        interop::add_to_module(module, "_require_beam_pattern_setup", interop::make_function(module, require_beam_pattern_setup_def));
        define_beam_hopper(module);
    });
}

PyModuleDef module_def = interop::module_definition("orbisk.vorndev.BeamHopper", kModuleDoc, interop::module_slots<exec_module>);

}  // namespace

Owned hook(const Module& module, Ref self, Name name)
{
    Owned method = interop::find_attr(self, module.name(name));
    if (!method)
        interop::raise_format(PyExc_AttributeError, "'%s' object has no hook %R: a BeamHopper device class must define it",
                              interop::type_name(self), module.name(name).get());
    return method;
}

bool succeeded(const Module& module, Name hook, Ref result)
{
    Owned code = interop::find_attr(result, module.name("RetCode"_n));
    if (!code)
        interop::raise_format(PyExc_TypeError, "hook %R returned %R, not a result with a RetCode", module.name(hook).get(),
                              result.get());
    Owned ok = module.attr(module.global("RetCode"_n), "OK"_n);
    return code.get() == ok.get();
}

}  // namespace beamhopper

PyMODINIT_FUNC PyInit_BeamHopper(void) { return PyModuleDef_Init(&beamhopper::module_def); }
