// The device protocol's data frame and the block write's reply (wire/commands.cpp).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "FpgaTool.hpp"

namespace vornfpga {

// Data travels in a frame: "#", the digit count d of its length N, N written
// with max(d, 2) digits, then the N bytes unchanged (CR and LF among them). A
// block write is "FPGA_PROGRAM " and such a frame; a page read is answered with
// one, followed by CR LF.

// "FPGA_PROGRAM #", the digit count of N, then N with at least two digits.
class ProgramFrameHeader {
public:
    explicit ProgramFrameHeader(std::size_t length);
    std::string_view text() const { return {text_, size_}; }

private:
    char text_[48];
    std::size_t size_;
};

// The whole frame of a block write, CR LF included, appended to `out`.
void append_program_frame(std::string& out, std::string_view block);

// Whether a block write's reply, stripped of white space, is "0": a reply as the
// connection returns it, or a reply line as it came from the device.
bool is_acknowledgement(const Module& module, Ref reply);
bool is_acknowledgement(const Module& module, std::string_view reply_line);

}  // namespace vornfpga
