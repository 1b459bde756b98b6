// The device's beam pattern manager, created lazily, and the fast beam command table.
#include "BeamHopper.hpp"

namespace beamhopper {

namespace {

struct FastBeamCommand {
    const char* hook;
    const char* command;
};

// _fbs_cmd_dict() in this order; every entry uses the string response type.
constexpr FastBeamCommand kFastBeamCommands[] = {
    {"_getExtCtrl", "ExtCtrl_EN?"},
    {"_setExtCtrl", "ExtCtrl_EN"},
    {"_setBeamPatternEnable", "BEAM_PATTERN_STORE_EN"},
    {"_getBeamPatternEnable", "BEAM_PATTERN_STORE_EN?"},
    {"_eraseBeamPattern", "BEAM_PATTERN_ERASE"},
    {"_setBeamPatternStoreTDBS", "BEAM_PATTERN_STORE_TDBS_BEAM"},
    {"_setBeamPatternStoreFBS", "BEAM_PATTERN_STORE_FBS_BEAM"},
    {"_applyBeamPatternToBFIC", "BEAM_PATTERN_APPLY_BFIC"},
};

}  // namespace

// The manager is memory-heavy, so it is made on first use only, and kept in the device object.
Owned beam_pattern_mgr(Call& call, Ref self)
{
    Module module(call);
    if (module.attr(self, "_beam_pattern_mgr"_n).get() == Py_None)
        module.set_attr(self, "_beam_pattern_mgr"_n, module.call_method(self, "_create_beam_pattern_mgr"_n));
    return module.attr(self, "_beam_pattern_mgr"_n);
}
constexpr FunctionDef beam_pattern_mgr_def = function_def<beam_pattern_mgr>(
    "BeamHopper.beam_pattern_mgr", "(self) -> BeamPatternManager",
    "Lazily create the device-specific BeamPatternManager on first use.");

Owned create_beam_pattern_mgr(Call&, Ref) { interop::raise(PyExc_NotImplementedError); }
constexpr FunctionDef create_beam_pattern_mgr_def = function_def<create_beam_pattern_mgr>(
    "BeamHopper._create_beam_pattern_mgr", "(self) -> BeamPatternManager",
    "Create the device-specific BeamPatternManager instance.");

// A new dict on every call, so callers may change it.
Owned fbs_cmd_dict(Call& call, Ref)
{
    Module module(call);
    Owned table = interop::checked(PyDict_New());
    for (const FastBeamCommand& entry : kFastBeamCommands) {
        Owned response_type = module.attr(module.global("RspType"_n), "RSP_STRING"_n);
        Owned value = interop::checked(PyTuple_Pack(2, interop::text(entry.command).get(), response_type.get()));
        interop::require(PyDict_SetItemString(table, entry.hook, value));
    }
    return table;
}
constexpr FunctionDef fbs_cmd_dict_def = function_def<fbs_cmd_dict>(
    "BeamHopper._fbs_cmd_dict", "(self) -> dict", "Return the command list for the fast beam manager.");

constexpr Operation kOperations[] = {
    {Kind::property, &beam_pattern_mgr_def},
    {Kind::abstract, &create_beam_pattern_mgr_def},
    {Kind::method, &fbs_cmd_dict_def},
};
const std::span<const Operation> pattern_manager_operations{kOperations};

}  // namespace beamhopper
