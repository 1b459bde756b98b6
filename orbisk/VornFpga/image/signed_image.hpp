// The signed image (.tbin) as the update reads it (image/signed_image.cpp).
#pragma once

#include "FpgaTool.hpp"

namespace vornfpga {

// The device types a signed image is for, as a sorted list of ints.
Owned signed_image_device_types(const Module& module, Ref image_path);

}  // namespace vornfpga
