// Fast parallel mode (the device's external control), through _getExtCtrl and _setExtCtrl.
#include "BeamHopper.hpp"

namespace beamhopper {

Owned get_fast_parallel_mode(Call& call, Ref self)
{
    Module module(call);
    Owned ret = call_hook(module, self, "_getExtCtrl"_n);
    if (!succeeded(module, "_getExtCtrl"_n, ret)) return ret;
    Owned data = module.attr(ret, "RetData"_n);
    Owned mode = interop::checked(PyNumber_Long(data));
    return interop::call(module.global("RetType"_n), {}, {{module.name("data"_n), interop::boolean(interop::truthy(mode))}});
}
constexpr FunctionDef get_fast_parallel_mode_def = function_def<get_fast_parallel_mode>(
    "BeamHopper.getFastParallelMode", "(self) -> RetType", "Get the fast parallel mode.");

// Sends "<0 or 1>,<int(fbs_mode)>"; remembers the state only once the device accepted it.
Owned set_fast_parallel_mode(Call& call, Ref self, Ref to_enable, Ref fbs_mode)
{
    Module module(call);
    bool enable = interop::truthy(to_enable);
    Owned mode = interop::checked(PyNumber_Long(fbs_mode));
    Owned ret = call_hook(module, self, "_setExtCtrl"_n, interop::format("%s,%S", enable ? "1" : "0", mode.get()));
    if (!succeeded(module, "_setExtCtrl"_n, ret)) return ret;
    module.set_attr(self, "external_control_enabled"_n, interop::boolean(enable));
    return interop::call(module.global("RetType"_n));
}
constexpr FunctionDef set_fast_parallel_mode_def = function_def<set_fast_parallel_mode>(
    "BeamHopper.setFastParallelMode",
    "(self, toEnable: bool, fbs_mode: FBSMode = FBSMode.FULL_GAIN_PHASE) -> RetType",
    R"(
        Set the fast parallel mode.

        Args:
            toEnable (bool): Whether to enable or disable the fast parallel mode.
            fbs_mode (FBSMode): The fast beam switch mode to set. Defaults to FBSMode.FULL_GAIN_PHASE.
        )");

constexpr Operation kOperations[] = {
    {Kind::method, &get_fast_parallel_mode_def},
    {Kind::method, &set_fast_parallel_mode_def},
};
const std::span<const Operation> parallel_mode_operations{kOperations};

}  // namespace beamhopper
