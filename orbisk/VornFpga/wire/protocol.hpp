// The device protocol's data frame, and the block write's reply.
//
// Data travels in a frame: "#", the digit count d of its length N, N written
// with max(d, 2) digits, then the N bytes unchanged (CR and LF among them). A
// block write is "FPGA_PROGRAM " and such a frame; a page read is answered with
// one, followed by CR LF.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "FpgaTool.hpp"

namespace vornfpga {

// Bytes one raw receive asks for (_RECV_SIZE, the default size of _getRecv and
// _sendCmd); as text for their signature texts.
#define VORNFPGA_RECV_SIZE "1024"
consteval std::size_t decimal(std::string_view digits)
{
    std::size_t value = 0;
    for (char digit : digits) value = value * 10 + static_cast<std::size_t>(digit - '0');
    return value;
}
inline constexpr std::size_t kRecvSize = decimal(VORNFPGA_RECV_SIZE);
// What _getRecv cuts off a page read's reply: the head of a frame of up to 99
// bytes ("#2" and two digits), and the CR LF after it.
inline constexpr std::size_t kRawFrameHead = 4;
inline constexpr std::size_t kRawFrameTail = 2;
// The largest page one raw receive can carry; a longer data block is no page.
inline constexpr std::size_t kLargestRawPage = kRecvSize - kRawFrameHead - kRawFrameTail;

// Writes the head of the frame of `size` bytes of data at `out` (room for kMaxFrameHead
// bytes) and returns its length.
inline constexpr std::size_t kMaxFrameHead = 24;
std::size_t write_frame_head(char* out, std::size_t size);

// Appends the frame of `data`: its head, then the data.
void append_frame(std::string& out, std::string_view data);

// The block write is kProgramCommand and the frame of the block; append_program_line
// appends it with CR LF after it, as it goes on the wire.
inline constexpr std::string_view kProgramCommand = "FPGA_PROGRAM ";
void append_program_line(std::string& out, std::string_view block);

// A page read's reply at the start of `rest`: a frame of at most kLargestRawPage
// bytes, then CR LF. For a whole one, `head` and `length` say where its data is.
enum class DataBlock { incomplete, whole, malformed };
DataBlock decode_data_block(std::string_view rest, std::size_t& head, std::size_t& length);

// For an incomplete data block at the start of `rest`: how many bytes it lacks at least,
// as far as its head tells (all of them once the head is whole).
std::size_t data_block_missing(std::string_view rest);

// The longest reply line taken from a device with commands in flight; a longer one is
// no reply of this protocol, and the replies after it cannot be told apart.
inline constexpr std::size_t kMaxReplyLine = 4096;

// Whether a block write's reply, stripped of white space, is "0": a reply as the
// connection returns it, or a reply line as it came from the device.
bool is_acknowledgement(const Module& module, Ref reply);
bool is_acknowledgement(const Module& module, std::string_view reply_line);

}  // namespace vornfpga
