#include "image_file.hpp"

#include <algorithm>
#include <cstring>
#include <string>

namespace vornfpga {

namespace {

Owned path_object(const Module& module, Ref image_path) { return interop::call(module.global("Path"_n), image_path); }

std::uint32_t big_endian_u32(const char* bytes)
{
    auto byte = [&](int index) { return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[index])); };
    return byte(0) << 24 | byte(1) << 16 | byte(2) << 8 | byte(3);
}

constexpr std::size_t kChunkSize = 64 * 1024;

}  // namespace

Owned lower_suffix(const Module& module, Ref image_path)
{
    Owned suffix = interop::getattr(path_object(module, image_path), "suffix");
    return interop::call_method(suffix, "lower");
}

bool is_suffix(Ref suffix, std::string_view wanted)
{
    return PyUnicode_Check(suffix) && PyUnicode_CompareWithASCIIString(suffix, std::string(wanted).c_str()) == 0;
}

Owned file_size(const Module& module, Ref image_path)
{
    Owned status = interop::call_method(path_object(module, image_path), "stat");
    return interop::getattr(status, "st_size");
}

Owned read_whole_file(const Module& module, Ref image_path)
{
    Owned file = interop::call(module.global("open"_n), image_path, interop::text("rb"));
    return interop::try_finally([&] { return interop::call_method(file, "read"); },
                                [&] { interop::call_method(file, "close"); });
}

SignedLayout decode_signed_layout(const Module& module, std::string_view file)
{
    if (file.size() < 12) {
        Owned struct_error = interop::getattr(module.global("struct"_n), "error");
        interop::raise(struct_error, "unpack requires a buffer of 4 bytes");
    }
    return SignedLayout{big_endian_u32(file.data()), big_endian_u32(file.data() + 4), big_endian_u32(file.data() + 8)};
}

std::string_view file_region(std::string_view file, std::uint64_t start, std::uint64_t length)
{
    if (start >= file.size()) return {};
    return file.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(std::min<std::uint64_t>(length, file.size() - start)));
}

BlockReader::BlockReader(Ref raw_file, std::size_t block_size)
    : file_(raw_file), readinto_(interop::getattr(raw_file, "readinto")), block_size_(block_size), buffer_(kChunkSize)
{
}

std::string_view BlockReader::next()
{
    while (end_ - start_ < block_size_ && fill()) {
    }
    std::size_t size = std::min(block_size_, end_ - start_);
    std::string_view block(buffer_.data() + start_, size);
    start_ += size;
    return block;
}

// Moves what is left to the front and reads more behind it; false at the end of the file.
bool BlockReader::fill()
{
    if (at_end_) return false;
    std::memmove(buffer_.data(), buffer_.data() + start_, end_ - start_);
    end_ -= start_;
    start_ = 0;
    Owned view = interop::checked(
        PyMemoryView_FromMemory(buffer_.data() + end_, static_cast<Py_ssize_t>(buffer_.size() - end_), PyBUF_WRITE));
    Owned count = interop::call(readinto_, view);
    // The view must not outlive the buffer it points into.
    Owned released = interop::call_method(view, "release");
    Py_ssize_t room = static_cast<Py_ssize_t>(buffer_.size() - end_);
    Py_ssize_t added = count.get() == Py_None ? 0 : interop::require_value(PyLong_AsSsize_t(count));
    if (added > room || added < 0)
        interop::raise_format(PyExc_OSError, "raw readinto() returned invalid length %zd (should have been between 0 and %zd)",
                              added, room);
    if (added == 0) {
        at_end_ = true;
        return false;
    }
    end_ += static_cast<std::size_t>(added);
    return true;
}

}  // namespace vornfpga
