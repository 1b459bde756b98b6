// Whether the device's control firmware is at least _FPGA_FW_VER_MIN.
#include "FpgaTool.hpp"
#include "operations.hpp"

namespace vornfpga {

Owned check_control_fw_version(Call& call, Ref self)
{
    Module module(call);
    Owned ver = module.global("VER"_n);
    Owned fw_ver = interop::call(ver, module.call_method(self, "_fpgaGetControlFwVer"_n));
    log(module, "debug"_n, interop::format("RIS control FW version: %S", fw_ver.get()));
    Owned minimum = module.global("_FPGA_FW_VER_MIN"_n);
    if (interop::require(PyObject_RichCompareBool(fw_ver, interop::call(ver, minimum).get(), Py_LT))) {
        log(module, "warning"_n, interop::format("RIS control FW version %S is lower than minimum required version %S",
                                                fw_ver.get(), minimum.get()));
        return interop::boolean(false);
    }
    return interop::boolean(true);
}
constexpr FunctionDef check_control_fw_version_def = function_def<check_control_fw_version>(
    "FpgaTool._checkControlFwVersion", "(self)", "Check if the control firmware version is compatible.");

constexpr FunctionDef kOperations[] = {
    check_control_fw_version_def,
};
const std::span<const FunctionDef> firmware_check_operations{kOperations};

}  // namespace vornfpga
