#include "wire/protocol.hpp"

#include <algorithm>
#include <charconv>

namespace vornfpga {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

std::size_t write_frame_head(char* out, std::size_t size)
{
    char digits[24];
    char* digits_end = std::to_chars(digits, digits + sizeof digits, size).ptr;
    auto count = static_cast<char>('0' + (digits_end - digits));
    char* next = out;
    *next++ = '#';
    *next++ = count;
    if (digits_end - digits < 2) *next++ = '0';
    next = std::copy(digits, digits_end, next);
    return static_cast<std::size_t>(next - out);
}

void append_frame(std::string& out, std::string_view data)
{
    char head[kMaxFrameHead];
    out.append(head, write_frame_head(head, data.size()));
    out.append(data);
}

void append_program_line(std::string& out, std::string_view block)
{
    out.append(kProgramCommand);
    append_frame(out, block);
    out.append("\r\n");
}

DataBlock decode_data_block(std::string_view rest, std::size_t& head, std::size_t& length)
{
    if (rest.empty()) return DataBlock::incomplete;
    if (rest[0] != '#') return DataBlock::malformed;
    if (rest.size() < 2) return DataBlock::incomplete;
    if (!is_digit(rest[1])) return DataBlock::malformed;
    std::size_t width = std::max<std::size_t>(static_cast<std::size_t>(rest[1] - '0'), 2);
    head = 2 + width;
    if (rest.size() < head) return DataBlock::incomplete;
    length = 0;
    for (char digit : rest.substr(2, width)) {
        if (!is_digit(digit)) return DataBlock::malformed;
        length = length * 10 + static_cast<std::size_t>(digit - '0');
        if (length > kLargestRawPage) return DataBlock::malformed;
    }
    if (rest.size() < head + length + 2) return DataBlock::incomplete;
    return rest.substr(head + length, 2) == "\r\n" ? DataBlock::whole : DataBlock::malformed;
}

std::size_t data_block_missing(std::string_view rest)
{
    if (rest.size() < 2) return 2 - rest.size();
    std::size_t head = 2 + std::max<std::size_t>(static_cast<std::size_t>(rest[1] - '0'), 2);
    if (rest.size() < head) return head - rest.size();
    std::size_t length = 0;
    for (char digit : rest.substr(2, head - 2)) length = length * 10 + static_cast<std::size_t>(digit - '0');
    return head + length + 2 - rest.size();
}

}  // namespace vornfpga
