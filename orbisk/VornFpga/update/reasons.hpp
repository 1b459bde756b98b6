// Why an update, a check or a read-back did not succeed, as stable keys: the one list of them,
// which the module also exports as _REASON_KEYS.
#pragma once

#include <array>
#include <cstddef>

namespace vornfpga {

enum class Reason : std::size_t {
    // refusals of the image, before the device is touched
    no_image_path, image_not_found, image_type, image_not_file, image_stat_failed, image_empty, image_unreadable,
    header_parse_error, header_hash_mismatch, image_hash_mismatch, signed_image_empty, signed_image_named_bin,
    device_type_mismatch, file_check_failed, header_check_failed,
    // failures once the device was touched
    block_refused, readback_mismatch, readback_not_data, image_changed, programming_failed,
    // the exceptions that end a call
    timeout, connection_lost, reply_too_long, interrupted, callback_error, error,
    count
};

// Each key, in the enumeration's order.
inline constexpr std::array<const char*, static_cast<std::size_t>(Reason::count)> kReasonKeys = {
    "no_image_path", "image_not_found", "image_type", "image_not_file", "image_stat_failed", "image_empty",
    "image_unreadable", "header_parse_error", "header_hash_mismatch", "image_hash_mismatch", "signed_image_empty",
    "signed_image_named_bin", "device_type_mismatch", "file_check_failed", "header_check_failed",
    "block_refused", "readback_mismatch", "readback_not_data", "image_changed", "programming_failed",
    "timeout", "connection_lost", "reply_too_long", "interrupted", "callback_error", "error",
};

constexpr const char* key(Reason reason) { return kReasonKeys[static_cast<std::size_t>(reason)]; }

}  // namespace vornfpga
