// Image files as the operations read them, through Python's own pathlib and
// open(), so that every failure is the OSError a Python caller expects.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "FpgaTool.hpp"

namespace vornfpga {

// Path(image_path).suffix.lower(): ".bin", ".tbin", ... or "" (pathlib's rule for a suffix).
Owned lower_suffix(const Module& module, Ref image_path);
bool is_suffix(Ref suffix, std::string_view wanted);

// Path(image_path).stat().st_size
Owned file_size(const Module& module, Ref image_path);

// What tells one state of a file from another: (st_dev, st_ino, st_size, st_mtime_ns) of
// Path(image_path).stat(); empty when the file cannot be looked at.
Owned file_identity(const Module& module, Ref image_path);

// Whether the file at image_path still has the identity file_identity() gave.
bool same_file_identity(const Module& module, Ref image_path, Ref identity);

// A size that file_size() returned, as a number of bytes.
inline std::uint64_t byte_count(Ref size) { return interop::require_value(PyLong_AsUnsignedLongLong(size)); }

// f = open(path, "rb"), with buffering=0 for Buffering::none; then
// try: return use(f) / finally: f.close()
enum class Buffering { standard, none };
template <class Use>
auto with_open_file(const Module& module, Ref path, Buffering buffering, Use&& use)
{
    Owned open = module.global("open"_n);
    Owned file = buffering == Buffering::none
                     ? interop::call(open, {path, interop::text("rb")}, {{module.name("buffering"_n), interop::integer(0)}})
                     : interop::call(open, path, interop::text("rb"));
    return interop::try_finally([&] { return use(Ref(file)); }, [&] { module.call_method(file, "close"_n); });
}

// f.read() of the whole file, opened as with_open_file does.
Owned read_whole_file(const Module& module, Ref image_path);

// A signed image's fixed header, as far as the file holds it. All fields are
// unsigned 32-bit big-endian; lengths and offsets are bounded by the file.
struct SignedLayout {
    static constexpr std::size_t header_hash_offset = 16;  // HMAC-SHA256 of the JSON header region
    static constexpr std::size_t image_hash_offset = 48;   // HMAC-SHA256 of the image
    static constexpr std::size_t hash_size = 32;
    static constexpr std::size_t fixed_header_size = 80;

    std::uint32_t header_length;
    std::uint32_t image_length;
    std::uint32_t image_start_addr;
};

// Decodes the three length and offset fields; a file shorter than 12 bytes
// raises struct.error, as unpacking them one by one would.
SignedLayout decode_signed_layout(const Module& module, std::string_view file);

// [start, start + length) cut to the file; a start past the end gives nothing.
std::string_view file_region(std::string_view file, std::uint64_t start, std::uint64_t length);

// Reads a file in blocks of at most `block_size` bytes, asking the file object
// for larger chunks with read(). The chunks are bytes objects that the reader
// holds, so the file object is never handed a view of our memory that it could
// keep beyond the reader's life.
class BlockReader {
public:
    BlockReader(const Module& module, Ref file, std::size_t block_size);

    // The next block, valid until the next call; empty at the end of the file.
    std::string_view next();

private:
    std::string_view unread() const;
    bool read_chunk();

    Owned read_;
    std::size_t block_size_;
    Owned chunk_;
    std::size_t position_ = 0;
    std::string gathered_;  // a block that spans two chunks
    bool at_end_ = false;
};

}  // namespace vornfpga
