#include "image/image_file.hpp"

#include <algorithm>
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
    Owned suffix = module.attr(path_object(module, image_path), "suffix"_n);
    return module.call_method(suffix, "lower"_n);
}

bool is_suffix(Ref suffix, std::string_view wanted)
{
    return PyUnicode_Check(suffix) && PyUnicode_CompareWithASCIIString(suffix, std::string(wanted).c_str()) == 0;
}

Owned file_size(const Module& module, Ref image_path)
{
    Owned status = module.call_method(path_object(module, image_path), "stat"_n);
    return module.attr(status, "st_size"_n);
}

Owned file_identity(const Module& module, Ref image_path)
{
    auto status = interop::catch_exception([&] { return module.call_method(path_object(module, image_path), "stat"_n); });
    if (status.error) return {};
    return interop::checked(Py_BuildValue("(OOOO)", module.attr(status.value, "st_dev"_n).get(),
                                          module.attr(status.value, "st_ino"_n).get(),
                                          module.attr(status.value, "st_size"_n).get(),
                                          module.attr(status.value, "st_mtime_ns"_n).get()));
}

bool same_file_identity(const Module& module, Ref image_path, Ref identity)
{
    Owned now = file_identity(module, image_path);
    return now && interop::require(PyObject_RichCompareBool(now, identity, Py_EQ)) == 1;
}

Owned read_whole_file(const Module& module, Ref image_path)
{
    return with_open_file(module, image_path, Buffering::standard, [&](Ref file) { return module.call_method(file, "read"_n); });
}

SignedLayout decode_signed_layout(const Module& module, std::string_view file)
{
    if (file.size() < 12) {
        Owned struct_error = module.attr(module.global("struct"_n), "error"_n);
        interop::raise(struct_error, "unpack requires a buffer of 4 bytes");
    }
    return SignedLayout{big_endian_u32(file.data()), big_endian_u32(file.data() + 4), big_endian_u32(file.data() + 8)};
}

std::string_view file_region(std::string_view file, std::uint64_t start, std::uint64_t length)
{
    if (start >= file.size()) return {};
    return file.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(std::min<std::uint64_t>(length, file.size() - start)));
}

BlockReader::BlockReader(const Module& module, Ref file, std::size_t block_size)
    : read_(module.attr(file, "read"_n)), block_size_(block_size)
{
}

std::string_view BlockReader::next()
{
    std::string_view rest = unread();
    if (rest.size() >= block_size_) {
        position_ += block_size_;
        return rest.substr(0, block_size_);
    }
    gathered_.assign(rest);
    position_ += rest.size();
    while (gathered_.size() < block_size_ && read_chunk()) {
        std::string_view more = unread().substr(0, block_size_ - gathered_.size());
        gathered_.append(more);
        position_ += more.size();
    }
    return gathered_;
}

std::string_view BlockReader::unread() const
{
    if (!chunk_) return {};
    return std::string_view(PyBytes_AS_STRING(chunk_.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(chunk_.get())))
        .substr(position_);
}

// The next chunk of the file; false at its end.
bool BlockReader::read_chunk()
{
    if (at_end_) return false;
    Owned chunk = interop::call(read_, interop::integer(kChunkSize));
    if (chunk.get() != Py_None && !PyBytes_Check(chunk.get()))
        interop::raise_format(PyExc_TypeError, "read() should return bytes, not %s", interop::type_name(chunk));
    if (chunk.get() == Py_None || PyBytes_GET_SIZE(chunk.get()) == 0) {
        at_end_ = true;
        return false;
    }
    chunk_ = std::move(chunk);
    position_ = 0;
    return true;
}

}  // namespace vornfpga
