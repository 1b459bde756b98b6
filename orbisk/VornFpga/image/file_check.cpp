// _checkUpdateFile: whether the image file can be used at all, before the device is touched.
#include "image/image_file.hpp"

namespace vornfpga {

namespace {

Owned refuse(const Module& module, const char* reason, Ref image_path)
{
    log(module, "error"_n, interop::format("%s%U", reason, image_path.get()));
    return interop::boolean(false);
}

Owned refuse_with(const Module& module, const char* reason, Ref image_path, interop::Caught& error)
{
    error.handle([&] { log(module, "error"_n, interop::format("%s%U, %S", reason, image_path.get(), error.value())); });
    return interop::boolean(false);
}

}  // namespace

Owned check_update_file(Call& call, Ref, Ref image_path)
{
    Module module(call);
    interop::require_text(call, "image_path", image_path);
    Owned path = interop::call(module.global("Path"_n), image_path);
    if (!interop::truthy(module.call_method(path, "exists"_n)))
        return refuse(module, "FPGA image path not found: ", image_path);
    Owned suffix = lower_suffix(module, image_path);
    if (!is_suffix(suffix, ".bin") && !is_suffix(suffix, ".tbin"))
        return refuse(module, "FPGA image file type error: ", image_path);
    if (!interop::truthy(module.call_method(path, "is_file"_n)))
        return refuse(module, "FPGA image not found: ", image_path);

    Owned status;
    if (interop::Caught error = interop::catch_exception([&] { status = module.call_method(path, "stat"_n); }))
        return refuse_with(module, "FPGA image file error: ", image_path, error);
    if (!interop::truthy(module.attr(status, "st_size"_n))) return refuse(module, "FPGA image is empty: ", image_path);

    auto read_one_byte = [&] {
        with_open_file(module, path, Buffering::standard,
                       [&](Ref file) { return module.call_method(file, "read"_n, interop::integer(1)); });
    };
    if (interop::Caught error = interop::catch_exception(read_one_byte))
        return refuse_with(module, "FPGA image file not readable: ", image_path, error);
    return interop::boolean(true);
}
extern constexpr FunctionDef check_update_file_def = function_def<check_update_file>(
    "FpgaTool._checkUpdateFile", "(self, image_path)",
    "Check that the image file exists, is a .bin or .tbin file and can be read.");

}  // namespace vornfpga
