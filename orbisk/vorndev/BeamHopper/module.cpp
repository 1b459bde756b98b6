// Import of orbisk.vorndev.BeamHopper: the standard and host names, then
// StartEndEnum, the decorator _require_beam_pattern_setup and the class
// BeamHopper, in that order.
#include <string>

#include "BeamHopper.hpp"
#include "docstrings.hpp"

namespace beamhopper {

using interop::FunctionDef;
using interop::function_def;

namespace {

constexpr FunctionDef kDecorator = function_def<require_beam_pattern_setup>(
    "_require_beam_pattern_setup", "(func: Callable[..., RetType]) -> Callable[..., RetType]",
    doc::require_beam_pattern_setup);

// How the class body binds an operation.
enum class Kind {
    method,
    property,   // property(getter, None, None, doc)
    abstract,   // abstractmethod(function)
    bracketed,  // _require_beam_pattern_setup(function)
};

struct Operation {
    Kind kind;
    FunctionDef spec;
};

// The class body: BeamHopper's operations in definition order. Annotations and
// the default of fbs_mode are evaluated in the module namespace when the class is made.
constexpr Operation kOperations[] = {
    {Kind::property, function_def<beam_pattern_mgr>("BeamHopper.beam_pattern_mgr", "(self) -> BeamPatternManager",
                                                     doc::beam_pattern_mgr)},
    {Kind::abstract, function_def<create_beam_pattern_mgr>("BeamHopper._create_beam_pattern_mgr",
                                                            "(self) -> BeamPatternManager", doc::create_beam_pattern_mgr)},
    {Kind::method, function_def<fbs_cmd_dict>("BeamHopper._fbs_cmd_dict", "(self) -> dict", doc::fbs_cmd_dict)},
    {Kind::method, function_def<get_fast_parallel_mode>("BeamHopper.getFastParallelMode", "(self) -> RetType",
                                                         doc::get_fast_parallel_mode)},
    {Kind::method, function_def<set_fast_parallel_mode>(
                       "BeamHopper.setFastParallelMode",
                       "(self, toEnable: bool, fbs_mode: FBSMode = FBSMode.FULL_GAIN_PHASE) -> RetType",
                       doc::set_fast_parallel_mode)},
    {Kind::bracketed, function_def<erase_fast_beam_config>("BeamHopper.eraseFastBeamConfig", "(self) -> RetType",
                                                            doc::erase_fast_beam_config)},
    {Kind::abstract, function_def<get_fast_beam_gain>("BeamHopper.getFastBeamGain",
                                                       "(self, rf_mode: RFMode, beam_id: int) -> RetType",
                                                       doc::get_fast_beam_gain)},
    {Kind::abstract, function_def<get_fast_beam_pattern>("BeamHopper.getFastBeamPattern",
                                                          "(self, beam_id: int) -> RetType", doc::get_fast_beam_pattern)},
    {Kind::abstract, function_def<set_fast_beam_gain>("BeamHopper.setFastBeamGain",
                                                       "(self, rf_mode: RFMode, beam_id: int, enable: bool, "
                                                       "com_gain: int = 0, ele_gain: int = 0) -> RetType",
                                                       doc::set_fast_beam_gain)},
    {Kind::abstract, function_def<set_fast_beam_pattern_theta_phi>(
                         "BeamHopper.setFastBeamPatternThetaPhi",
                         "(self, beam_id: int, rf_freq: float, theta: float, phi: float) -> RetType",
                         doc::set_fast_beam_pattern)},
    {Kind::abstract, function_def<set_fast_beam_pattern_az_el>(
                         "BeamHopper.setFastBeamPatternAzEl",
                         "(self, beam_id: int, rf_freq: float, azimuth: float, elevation: float) -> RetType",
                         doc::set_fast_beam_pattern)},
    {Kind::bracketed, function_def<sync_fast_beam_config>("BeamHopper.syncFastBeamConfig", "(self) -> RetType",
                                                           doc::sync_fast_beam_config)},
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
    interop::setattr(enumeration, "__doc__", interop::text(doc::start_end_enum));
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
    body.bind("__doc__", interop::text(doc::beam_hopper));
    // _beam_pattern_mgr: BeamPatternManager = None; external_control_enabled: bool = False
    Owned annotations = interop::checked(PyDict_New());
    interop::require(PyDict_SetItemString(annotations, "_beam_pattern_mgr", global(module, "BeamPatternManager").get()));
    interop::require(PyDict_SetItemString(annotations, "external_control_enabled", global(module, "bool").get()));
    body.bind("__annotations__", annotations);
    body.bind("_beam_pattern_mgr", Py_None);
    body.bind("external_control_enabled", Py_False);
    for (const Operation& operation : kOperations)
        body.define(operation.spec, [&](Ref function) { return class_attribute(module, function, operation.kind, operation.spec.doc); });
    Owned base = global(module, "ABC");
    body.make_class(reinterpret_cast<PyObject*>(Py_TYPE(base.get())), {base});
}

int exec_module(PyObject* module) noexcept
{
    return interop::boundary_status([&] {
        interop::init_module_state(module, "orbisk.vorndev.BeamHopper.native_function", kNames);
        bind_imports(module);
        define_start_end_enum(module);
        interop::add_to_module(module, "_require_beam_pattern_setup", interop::make_function(module, kDecorator));
        define_beam_hopper(module);
    });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = interop::module_definition("orbisk.vorndev.BeamHopper", doc::module, module_slots);

}  // namespace

bool succeeded(const Module& module, Ref result)
{
    Owned code = module.attr(result, "RetCode"_n);
    Owned ok = module.attr(module.global("RetCode"_n), "OK"_n);
    return code.get() == ok.get();
}

}  // namespace beamhopper

PyMODINIT_FUNC PyInit_BeamHopper(void) { return PyModuleDef_Init(&beamhopper::module_def); }
