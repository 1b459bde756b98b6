// The signed image (.tbin) as the update reads it (image/signed_image.cpp).
#pragma once

#include "FpgaTool.hpp"

namespace vornfpga {

struct SignedHeaderFacts {
    Owned device_types;  // the device types the image is for, as a sorted list of ints
    Owned version;       // str() of the header's "version" member; empty when it names none
};

// What a signed image's JSON header says of the image.
SignedHeaderFacts signed_header_facts(const Module& module, Ref image_path);

}  // namespace vornfpga
