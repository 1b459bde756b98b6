// The device types the tool knows, and what each needs. Any other type is
// updated without an erase, and no version is read after it.
#pragma once

#include "FpgaTool.hpp"

namespace vornfpga {

// How processFpgaUpdate reads the new FPGA version after loading an image.
enum class VersionQuery {
    fpga_version,    // GET_FPGA_VER
    front_end_info,  // the "fpga_ver" of GET_FE_INFO's first entry
};

// The command whose reply holds the version a query reads.
constexpr const char* version_command(VersionQuery query)
{
    return query == VersionQuery::fpga_version ? "GET_FPGA_VER" : "GET_FE_INFO";
}

struct DeviceType {
    long number;
    const char* erase_bits;  // the argument of FPGA_ERASE before a write
    VersionQuery version_after_update;
    Name minimum_version;              // the module constant holding the lowest supported FPGA version
    const char* minimum_version_text;  // its value
    bool initialised;                  // in _DEVICE_WHITELIST: initFpga brings it up and checks its version
};

inline constexpr DeviceType kDeviceTypes[] = {
    {28, "14", VersionQuery::front_end_info, "_FPGA_VER_MIN_DEV28"_n, "1.1.0.0", false},
    {32, "12", VersionQuery::fpga_version, "_FPGA_VER_MIN_DEV32"_n, "0.2.3.4", true},
};

// The entry numerically equal to `device_type` (an int the operation has made), or nullptr.
inline const DeviceType* find_device_type(Ref device_type)
{
    for (const DeviceType& type : kDeviceTypes)
        if (interop::require(PyObject_RichCompareBool(device_type, interop::integer(type.number).get(), Py_EQ)))
            return &type;
    return nullptr;
}

}  // namespace vornfpga
