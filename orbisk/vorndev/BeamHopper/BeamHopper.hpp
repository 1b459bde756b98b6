// orbisk.vorndev.BeamHopper: BeamHopper, the abstract mixin that gives the
// host's device classes fast beam switching, and StartEndEnum.
//
// BeamHopper reaches the device only through hook methods of the device
// object (_setBeamPatternEnable, _eraseBeamPattern, _applyBeamPatternToBFIC,
// _reboot, _getExtCtrl, _setExtCtrl), looked up at each call. Each operation is
// a native function (interop/function.hpp) implemented by one C++ function
// below; module.cpp assembles the class.
// Files by concern:
//   module.cpp           import-time names, StartEndEnum, the class BeamHopper
//   setup_bracket.cpp    _require_beam_pattern_setup and the wrapper it returns:
//                        enable, erase, body, then disable and apply on every path
//   pattern_manager.cpp  beam_pattern_mgr (lazy creation), _create_beam_pattern_mgr,
//                        _fbs_cmd_dict (the command table)
//   parallel_mode.cpp    getFastParallelMode, setFastParallelMode
//   configuration.cpp    eraseFastBeamConfig, syncFastBeamConfig, and the base
//                        versions of the abstract gain and pattern operations
//   docstrings.hpp       documentation texts
#pragma once

#include <Python.h>

#include <cstddef>
#include <string_view>

#include "interop.hpp"

namespace beamhopper {

using interop::Call;
using interop::Owned;
using interop::Ref;

// Names used by the operations, interned once per module.
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

// result.RetCode is RetCode.OK: how every hook result is judged.
bool succeeded(const Module& module, Ref result);

// setup_bracket.cpp
Owned require_beam_pattern_setup(Call& call, Ref func);

// pattern_manager.cpp
Owned beam_pattern_mgr(Call& call, Ref self);
Owned create_beam_pattern_mgr(Call& call, Ref self);
Owned fbs_cmd_dict(Call& call, Ref self);

// parallel_mode.cpp
Owned get_fast_parallel_mode(Call& call, Ref self);
Owned set_fast_parallel_mode(Call& call, Ref self, Ref to_enable, Ref fbs_mode);

// configuration.cpp
Owned erase_fast_beam_config(Call& call, Ref self);
Owned sync_fast_beam_config(Call& call, Ref self);
Owned get_fast_beam_gain(Call& call, Ref self, Ref rf_mode, Ref beam_id);
Owned get_fast_beam_pattern(Call& call, Ref self, Ref beam_id);
Owned set_fast_beam_gain(Call& call, Ref self, Ref rf_mode, Ref beam_id, Ref enable, Ref com_gain, Ref ele_gain);
Owned set_fast_beam_pattern_theta_phi(Call& call, Ref self, Ref beam_id, Ref rf_freq, Ref theta, Ref phi);
Owned set_fast_beam_pattern_az_el(Call& call, Ref self, Ref beam_id, Ref rf_freq, Ref azimuth, Ref elevation);

}  // namespace beamhopper
