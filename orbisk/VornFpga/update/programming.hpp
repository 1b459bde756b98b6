// The read-back of an image on its own, without erase, write or load.
#pragma once

#include <cstdint>
#include <optional>

#include "FpgaTool.hpp"
#include "update/outcome.hpp"

namespace vornfpga {

// Resets the page pointer, reads the configuration memory back for the image's length at the
// tool's pipeline_depth and compares it with the image (a signed image's image part). The offset
// of the first byte that differs, or nothing when the device holds the image; a malformed data
// block is recorded in `outcome` as readback_not_data.
std::optional<std::uint64_t> verify_image_on_device(const Module& module, Ref tool, Ref image_path, Outcome& outcome);

}  // namespace vornfpga
