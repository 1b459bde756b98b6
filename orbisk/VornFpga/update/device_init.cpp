// initFpga: control init, configuration mode TRANS, FPGA identity and, on device
// type 32, the FPGA version against its minimum. Device faults become results.
#include "device_types.hpp"
#include "operations.hpp"

namespace vornfpga {

namespace {

Owned new_result_dict()
{
    return interop::checked(Py_BuildValue("{s:O,s:s,s:i,s:O,s:s,s:s,s:s}", "success", Py_False, "error_message", "",
                                          "device_count", 0, "device_info", Py_None, "fpga_id", "", "fw_version", "",
                                          "fpga_version", ""));
}

// The guarded part: every Exception raised here becomes an error result.
Owned initialise(const Module& module, Ref self, Ref device_type, Ref disable_fw_check, Ref info)
{
    module.call_method(self, "_fpgaCtrlInit"_n);
    module.call_method(self, "_fpgaCfgMode"_n, interop::bytes("TRANS"));
    Owned fpga_id = module.call_method(self, "_fpgaGetId"_n);
    interop::require(PyDict_SetItemString(info, "fpga_id", fpga_id));
    log(module, "info"_n, interop::format("FPGA ID: %S", fpga_id.get()));

    const DeviceType* type = find_device_type(device_type);
    if (type && type->initialised) {
        Owned fpga_version = module.call_method(self, "_fpgaGetVersion"_n);
        interop::require(PyDict_SetItemString(info, "fpga_version", fpga_version));
        log(module, "info"_n, interop::format("FPGA Version: %S", fpga_version.get()));
        if (interop::truthy(fpga_version) && !interop::truthy(disable_fw_check)) {
            Owned ver = module.global("VER"_n);
            Owned minimum = module.global(type->minimum_version);
            Owned found = interop::call(ver, fpga_version);
            if (interop::require(PyObject_RichCompareBool(found, interop::call(ver, minimum).get(), Py_LT))) {
                Owned message = interop::format("FPGA version %S is lower than minimum required version %S.",
                                                fpga_version.get(), minimum.get());
                log(module, "warning"_n, message);
                return ret_type(module, "WARNING"_n, message);
            }
        }
    }
    interop::require(PyDict_SetItemString(info, "success", Py_True));
    return ret_type(module, "OK"_n, interop::text("FPGA initialized successfully"), info);
}

}  // namespace

Owned init_fpga(Call& call, Ref self, interop::Arg device_type, Ref disable_fw_check)
{
    Module module(call);
    Owned type = interop::int_from_number(call, device_type);
    Owned info = new_result_dict();

    Owned whitelist = module.global("_DEVICE_WHITELIST"_n);
    if (!interop::require(PySequence_Contains(whitelist, type))) {
        Owned message = interop::format("Device type %S is not supported for firmware version check.", type.get());
        log(module, "warning"_n, message);
        return ret_type(module, "WARNING"_n, message);
    }

    auto result = interop::catch_exception([&] { return initialise(module, self, type, disable_fw_check, info); });
    if (interop::Caught& error = result.error) {
        return error.handle([&] {
            Owned message = interop::format("FPGA initialization failed: %S", error.value());
            log(module, "error"_n, message);
            return ret_type(module, "ERROR"_n, message);
        });
    }
    return result.value;
}
constexpr FunctionDef init_fpga_def = function_def<init_fpga>(
    "FpgaTool.initFpga", "(self, device_type, disable_fw_check=False)",
    R"(
        Initialize FPGA.

        Arguments:
            device_type: The type of the FPGA device.
            disable_fw_check: If True, skip firmware version check.

        Return:
            RetType whose RetData is a dict containing initialization result and device information:
            {
                'success': bool,
                'error_message': str,
                'device_count': int,
                'device_info': dict,
                'fpga_id': str,
                'fw_version': str
            }
        )");

constexpr FunctionDef kOperations[] = {
    init_fpga_def,
};
const std::span<const FunctionDef> device_init_operations{kOperations};

}  // namespace vornfpga
