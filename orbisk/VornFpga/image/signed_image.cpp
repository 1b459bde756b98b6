// _checkFileHeader: a raw image passes as it is; a signed image (.tbin) passes
// only when the keyed SHA-256 hashes of its JSON header and of its image match.
//
// Signed image: an 80-byte fixed header (header length, image length, image
// start, 4 unused bytes, header HMAC, image HMAC), then the JSON header padded
// with NUL bytes, then the image. The key is the key prefix followed by the
// device types of the JSON header, each written as format(int(v), "03d") in
// ascending order.
#include <algorithm>
#include <string>

#include "image/image_file.hpp"
#include "image/signed_image.hpp"
#include "operations.hpp"
#include "update/outcome.hpp"

namespace vornfpga {

namespace {

// Shared with the packer that signs images, orbisk_tools/signed_image.py.
constexpr std::string_view kKeyPrefix = "73914065";

Owned memoryview_slice(Ref view, std::string_view file, std::string_view region)
{
    Py_ssize_t start = region.empty() ? 0 : region.data() - file.data();
    return interop::checked(PySequence_GetSlice(view, start, start + static_cast<Py_ssize_t>(region.size())));
}

std::string_view strip_nul(std::string_view text)
{
    while (!text.empty() && text.front() == '\0') text.remove_prefix(1);
    while (!text.empty() && text.back() == '\0') text.remove_suffix(1);
    return text;
}

// format(int(value), "03d"), through the interpreter's own int() and format().
Owned device_type_piece(Ref value)
{
    Owned number = interop::checked(PyNumber_Long(value));
    return interop::checked(PyObject_Format(number, interop::text("03d").get()));
}

// The device type text: one value, or a list sorted as Python sorts it, piece after piece.
Owned device_type_text(Ref device_type)
{
    if (!PyList_Check(device_type)) return device_type_piece(device_type);
    interop::require(PyList_Sort(device_type));
    Owned pieces = interop::checked(PyList_New(0));
    for (Py_ssize_t index = 0; index < PyList_GET_SIZE(device_type.get()); ++index)
        interop::require(PyList_Append(pieces, device_type_piece(PyList_GET_ITEM(device_type.get(), index)).get()));
    return interop::checked(PyUnicode_Join(interop::text("").get(), pieces));
}

Owned image_key(Ref device_type)
{
    Owned key_text = interop::format("%s%U", std::string(kKeyPrefix).c_str(), device_type_text(device_type).get());
    return interop::checked(PyUnicode_AsUTF8String(key_text));
}

bool digest_matches(const Module& module, Ref key, Ref message, Ref expected)
{
    Owned hmac = module.global("hmac"_n);
    Owned digest = module.call_method(hmac, "digest"_n, key, message, interop::text("sha256"));
    return interop::truthy(module.call_method(hmac, "compare_digest"_n, digest, expected));
}

// The JSON header of a signed image, from its NUL-padded region.
Owned parse_header(const Module& module, std::string_view header_bytes)
{
    std::string_view json_text = strip_nul(header_bytes);
    Owned text = interop::checked(PyUnicode_DecodeUTF8(json_text.data(), static_cast<Py_ssize_t>(json_text.size()), "strict"));
    return module.call_method(module.global("json"_n), "loads"_n, text);
}

// header.get("DEV_TYPE") or header.get("dev_type")
Owned device_type_member(const Module& module, Ref header)
{
    Owned device_type = module.call_method(header, "get"_n, interop::text("DEV_TYPE"));
    if (!interop::truthy(device_type)) device_type = module.call_method(header, "get"_n, interop::text("dev_type"));
    return device_type;
}

bool refuse(const Module& module, Outcome& outcome, Reason reason, Ref image_path, Owned message,
            Owned error_text = {})
{
    outcome.fail(reason, error_text ? fields({{"path", image_path}, {"error", error_text}}) : fields({{"path", image_path}}));
    outcome.message = std::move(message);
    outcome.log(module, "error"_n, outcome.message);
    return false;
}

// The checks once the file is read; any exception means the file cannot be parsed.
bool verify_signed_image(const Module& module, Outcome& outcome, Ref image_path, Ref contents)
{
    interop::Buffer buffer(contents);
    std::string_view file = buffer.bytes();
    SignedLayout layout = decode_signed_layout(module, file);
    std::string_view header_hash = file_region(file, SignedLayout::header_hash_offset, SignedLayout::hash_size);
    std::string_view image_hash = file_region(file, SignedLayout::image_hash_offset, SignedLayout::hash_size);
    std::string_view header_bytes = file_region(file, SignedLayout::fixed_header_size, layout.header_length);

    Owned header = parse_header(module, header_bytes);
    log(module, "debug"_n, interop::format("FPGA tbin header: %S", header.get()));
    Owned device_type = device_type_member(module, header);
    if (device_type.get() == Py_None) log(module, "warning"_n, interop::text("FPGA tbin header missing dev_type/DEV_TYPE"));
    Owned key = image_key(device_type);

    // The regions are views of the one buffer read from the file, never copies.
    Owned view = interop::checked(PyMemoryView_FromObject(contents));
    if (!digest_matches(module, key, memoryview_slice(view, file, header_bytes), memoryview_slice(view, file, header_hash))) {
        return refuse(module, outcome, Reason::header_hash_mismatch, image_path, interop::text("FPGA tbin header hash mismatch"));
    }
    std::string_view image = file_region(file, layout.image_start_addr, layout.image_length);
    // An empty image would erase the device and load nothing.
    if (image.empty()) {
        return refuse(module, outcome, Reason::signed_image_empty, image_path,
                      interop::format("FPGA tbin image is empty: %U", image_path.get()));
    }
    if (!digest_matches(module, key, memoryview_slice(view, file, image), memoryview_slice(view, file, image_hash))) {
        return refuse(module, outcome, Reason::image_hash_mismatch, image_path, interop::text("FPGA tbin image hash mismatch"));
    }
    log(module, "debug"_n, interop::text("FPGA tbin hash verify success"));
    return true;
}

// A signed image's fixed header and JSON header region, read from the start of the file.
struct SignedHead {
    SignedLayout layout;
    Owned fixed_header;
    Owned header_bytes;
};

SignedHead read_signed_head(const Module& module, Ref image_path, std::uint64_t size)
{
    // read(n) makes room for n bytes before it reads: never ask for more than the file holds
    // (a raw image's first word, taken as the header length, is often 0xFFFFFFFF).
    return with_open_file(module, image_path, Buffering::standard, [&](Ref file) {
        SignedHead head;
        head.fixed_header = module.call_method(file, "read"_n, interop::integer(SignedLayout::fixed_header_size));
        interop::Buffer fixed(head.fixed_header);
        head.layout = decode_signed_layout(module, fixed.bytes());
        std::uint64_t header_length = std::min<std::uint64_t>(head.layout.header_length, size);
        head.header_bytes = module.call_method(file, "read"_n, interop::integer(static_cast<long long>(header_length)));
        return head;
    });
}

// Whether a file is exactly a signed image: its fixed header's lengths fit the
// file to the byte, and its JSON header's keyed hash verifies. A raw bitstream
// never passes both; nothing looser is guessed.
bool is_whole_signed_image(const Module& module, Ref image_path, std::uint64_t file_size)
{
    if (file_size < SignedLayout::fixed_header_size) return false;
    auto whole = interop::catch_exception([&] {
        SignedHead head = read_signed_head(module, image_path, file_size);
        const SignedLayout& layout = head.layout;
        std::uint64_t image_start = SignedLayout::fixed_header_size + std::uint64_t{layout.header_length};
        if (layout.image_start_addr != image_start || image_start + layout.image_length != file_size) return false;
        interop::Buffer fixed(head.fixed_header);
        Owned header_hash = interop::bytes(file_region(fixed.bytes(), SignedLayout::header_hash_offset, SignedLayout::hash_size));
        interop::Buffer header_bytes(head.header_bytes);
        Owned key = image_key(device_type_member(module, parse_header(module, header_bytes.bytes())));
        return digest_matches(module, key, head.header_bytes, header_hash);
    });
    return whole.value && !whole.error;
}

bool check_header(const Module& module, Outcome& outcome, Ref image_path)
{
    if (is_suffix(lower_suffix(module, image_path), ".bin")) {
        Owned size = file_size(module, image_path);
        log(module, "debug"_n, interop::format("FPGA image header check: %U, size=%S", image_path.get(), size.get()));
        // A signed image named .bin would be programmed header and all.
        if (is_whole_signed_image(module, image_path, byte_count(size)))
            return refuse(module, outcome, Reason::signed_image_named_bin, image_path,
                          interop::format("FPGA image is a signed image; rename it to .tbin: %U", image_path.get()));
        return true;
    }

    auto read = interop::catch_exception([&] { return read_whole_file(module, image_path); });
    if (interop::Caught& error = read.error) {
        return error.handle([&] {
            return refuse(module, outcome, Reason::image_unreadable, image_path,
                          interop::format("FPGA image file not readable: %U, %S", image_path.get(), error.value()),
                          interop::checked(PyObject_Str(error.value())));
        });
    }

    auto verified = interop::catch_exception([&] { return verify_signed_image(module, outcome, image_path, read.value); });
    if (interop::Caught& error = verified.error) {
        return error.handle([&] {
            return refuse(module, outcome, Reason::header_parse_error, image_path,
                          interop::format("FPGA tbin header parse error: %S", error.value()),
                          interop::checked(PyObject_Str(error.value())));
        });
    }
    return verified.value;
}

}  // namespace

Owned check_file_header(Call& call, Ref self, interop::Arg path_argument)
{
    Module module(call);
    Outcome outcome;
    return record_outcome(module, self, outcome, [&] {
        Owned image_path = interop::text_path(call, path_argument);
        bool passed = check_header(module, outcome, image_path);
        if (passed) {
            outcome.ok = true;
            outcome.phase = phase::done;
        }
        return interop::boolean(passed);
    });
}
constexpr FunctionDef check_file_header_def = function_def<check_file_header>(
    "FpgaTool._checkFileHeader", "(self, image_path)",
    "Check the header and keyed hashes of a signed (.tbin) image file.");

SignedHeaderFacts signed_header_facts(const Module& module, Ref image_path)
{
    SignedHead head = read_signed_head(module, image_path, byte_count(file_size(module, image_path)));
    interop::Buffer header_bytes(head.header_bytes);
    Owned header = parse_header(module, header_bytes.bytes());
    Owned device_type = device_type_member(module, header);
    Owned types = interop::checked(PyList_New(0));
    if (PyList_Check(device_type.get())) {
        for (Py_ssize_t index = 0; index < PyList_GET_SIZE(device_type.get()); ++index)
            interop::require(PyList_Append(types, interop::checked(PyNumber_Long(PyList_GET_ITEM(device_type.get(), index))).get()));
    } else {
        interop::require(PyList_Append(types, interop::checked(PyNumber_Long(device_type)).get()));
    }
    interop::require(PyList_Sort(types));
    Owned version = module.call_method(header, "get"_n, interop::text("version"));
    return {std::move(types), version.get() == Py_None ? Owned{} : interop::checked(PyObject_Str(version))};
}

constexpr FunctionDef kOperations[] = {
    check_file_header_def,
};
const std::span<const FunctionDef> signed_image_operations{kOperations};

}  // namespace vornfpga
