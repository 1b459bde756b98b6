// The operations of FpgaTool, one span per file of their concern, each in the
// file's order; module.cpp lists the files in the order of the class body.
#pragma once

#include <span>

#include "FpgaTool.hpp"

namespace vornfpga {

extern const std::span<const FunctionDef> construction_operations, transport_operations, command_operations,
    programming_operations, firmware_check_operations, file_check_operations, signed_image_operations,
    device_init_operations, update_operations, teardown_operations;

}  // namespace vornfpga
