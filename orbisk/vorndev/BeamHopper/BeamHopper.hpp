// orbisk.vorndev.BeamHopper: BeamHopper, the abstract mixin that gives the
// host's device classes fast beam switching, and StartEndEnum.
//
// BeamHopper reaches the device only through hook methods of the device
// object (_setBeamPatternEnable, _eraseBeamPattern, _applyBeamPatternToBFIC,
// _reboot, _getExtCtrl, _setExtCtrl), looked up at each call. Each operation is
// a native function (interop/function.hpp): its body and its definition
// (qualified name, signature text, docstring) stand together in the file of its
// concern, and module.cpp lists the definitions in the order of the class body,
// each with the decorator the class applies to it. Files by concern:
//   module.cpp           import-time names, StartEndEnum, the class BeamHopper and
//                        the module's docstrings
//   setup_bracket.cpp    _require_beam_pattern_setup and the wrapper it returns:
//                        enable, erase, body, then disable and apply on every path
//   pattern_manager.cpp  beam_pattern_mgr (lazy creation), _create_beam_pattern_mgr,
//                        _fbs_cmd_dict (the command table)
//   parallel_mode.cpp    getFastParallelMode, setFastParallelMode
//   configuration.cpp    eraseFastBeamConfig, syncFastBeamConfig, and the base
//                        versions of the abstract gain and pattern operations
#pragma once

#include <Python.h>

#include <cstddef>
#include <span>
#include <string_view>

#include "interop.hpp"

namespace beamhopper {

using interop::Call;
using interop::FunctionDef;
using interop::function_def;
using interop::Owned;
using interop::Ref;

// Every attribute, method, keyword and module-level name that the operations
// look up, interned once per module: the complete list of what a host, a
// subclass or a test can rebind or patch. Import-time code names its own.
inline constexpr std::string_view kNames[] = {
    // device hooks
    "_setBeamPatternEnable", "_eraseBeamPattern", "_applyBeamPatternToBFIC", "_reboot", "_getExtCtrl", "_setExtCtrl",
    "_create_beam_pattern_mgr",
    // attributes of the device object
    "_beam_pattern_mgr", "external_control_enabled",
    // attributes of results and host enumerations; RetCode is also a module-level name
    "RetCode", "RetData", "OK", "RSP_STRING",
    // keyword arguments
    "user_delay", "data",
    // module-level names
    "RetType", "RspType", "inspect", "wraps",
    // used by the decorator
    "__signature__", "signature",
};

using Module = interop::ModuleView<kNames>;
using Name = Module::Name;

consteval Name operator""_n(const char* text, std::size_t size) { return Module::find({text, size}); }

// self.<hook>, looked up at each call; a device class without it gets an
// AttributeError that names the hook.
Owned hook(const Module& module, Ref self, Name name);

// self.<hook>(*args)
template <class... Args>
Owned call_hook(const Module& module, Ref self, Name name, const Args&... args)
{
    return interop::call(hook(module, self, name), args...);
}

// result.RetCode is RetCode.OK: how a tested hook result is judged. A result without
// RetCode is a TypeError that names the hook which returned it.
bool succeeded(const Module& module, Name hook, Ref result);

// How the class body binds an operation: the decorator line above its def.
enum class Kind {
    method,
    property,   // property(getter, None, None, doc)
    abstract,   // abstractmethod(function)
    bracketed,  // _require_beam_pattern_setup(function)
};

struct Operation {
    Kind kind;
    const FunctionDef* def;
};

// Each operation file's part of the class body, in the class body's order; module.cpp
// lists the files in that order.
extern const std::span<const Operation> pattern_manager_operations, parallel_mode_operations, configuration_operations;

// The decorator _require_beam_pattern_setup, a module-level function (setup_bracket.cpp).
extern const FunctionDef require_beam_pattern_setup_def;

}  // namespace beamhopper
