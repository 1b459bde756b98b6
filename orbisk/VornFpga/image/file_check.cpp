// _checkUpdateFile: whether the image file can be used at all, before the device is touched.
#include "image/image_file.hpp"
#include "operations.hpp"
#include "update/outcome.hpp"

namespace vornfpga {

namespace {

Owned refuse(const Module& module, Outcome& outcome, Reason reason, Ref image_path, Owned message)
{
    outcome.fail(reason, fields({{"path", image_path}}));
    outcome.message = std::move(message);
    outcome.log(module, "error"_n, outcome.message);
    return interop::boolean(false);
}

Owned refuse(const Module& module, Outcome& outcome, Reason reason, const char* text, Ref image_path)
{
    return refuse(module, outcome, reason, image_path, interop::format("%s%U", text, image_path.get()));
}

// The same for a failed file operation: the message and the details name the error.
Owned refuse_with(const Module& module, Outcome& outcome, Reason reason, const char* text, Ref image_path,
                  interop::Caught& error)
{
    error.handle([&] {
        outcome.fail(reason, fields({{"path", image_path}, {"error", interop::checked(PyObject_Str(error.value()))}}));
        outcome.message = interop::format("%s%U, %S", text, image_path.get(), error.value());
        outcome.log(module, "error"_n, outcome.message);
    });
    return interop::boolean(false);
}

Owned check(const Module& module, Outcome& outcome, Ref image_path)
{
    Owned path = interop::call(module.global("Path"_n), image_path);
    if (!interop::truthy(module.call_method(path, "exists"_n)))
        return refuse(module, outcome, Reason::image_not_found, "FPGA image path not found: ", image_path);
    Owned suffix = lower_suffix(module, image_path);
    if (!is_suffix(suffix, ".bin") && !is_suffix(suffix, ".tbin")) {
        outcome.fail(Reason::image_type, fields({{"path", image_path}, {"suffix", suffix}}));
        return refuse(module, outcome, Reason::image_type, "FPGA image file type error: ", image_path);
    }
    if (!interop::truthy(module.call_method(path, "is_file"_n)))
        return refuse(module, outcome, Reason::image_not_file, "FPGA image not found: ", image_path);

    auto status = interop::catch_exception([&] { return module.call_method(path, "stat"_n); });
    if (status.error)
        return refuse_with(module, outcome, Reason::image_stat_failed, "FPGA image file error: ", image_path, status.error);
    if (!interop::truthy(module.attr(status.value, "st_size"_n)))
        return refuse(module, outcome, Reason::image_empty, "FPGA image is empty: ", image_path);

    auto read_one_byte = [&] {
        with_open_file(module, path, Buffering::standard,
                       [&](Ref file) { return module.call_method(file, "read"_n, interop::integer(1)); });
    };
    if (interop::Caught error = interop::catch_exception(read_one_byte))
        return refuse_with(module, outcome, Reason::image_unreadable, "FPGA image file not readable: ", image_path, error);
    outcome.ok = true;
    outcome.phase = phase::done;
    return interop::boolean(true);
}

}  // namespace

Owned check_update_file(Call& call, Ref self, interop::Arg path_argument)
{
    Module module(call);
    Outcome outcome;
    return record_outcome(module, self, outcome, [&] {
        Owned image_path = interop::text_path(call, path_argument);
        return check(module, outcome, image_path);
    });
}
constexpr FunctionDef check_update_file_def = function_def<check_update_file>(
    "FpgaTool._checkUpdateFile", "(self, image_path)",
    "Check that the image file exists, is a .bin or .tbin file and can be read.");

constexpr FunctionDef kOperations[] = {
    check_update_file_def,
};
const std::span<const FunctionDef> file_check_operations{kOperations};

}  // namespace vornfpga
