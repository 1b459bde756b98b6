// processFpgaUpdate: file check, header check, programming with read-back, then
// the new FPGA version; set_progress_callback sets who hears of the progress.
#include "device_types.hpp"
#include "image/image_file.hpp"
#include "image/signed_image.hpp"
#include "operations.hpp"
#include "update/outcome.hpp"
#include "update/programming.hpp"

namespace vornfpga {

namespace {

Owned refusal(const Module& module, Outcome& outcome, Owned message)
{
    outcome.message = std::move(message);
    outcome.log(module, "error"_n, outcome.message);
    return ret_type(module, "ERROR"_n, outcome.message);
}

Owned refusal(const Module& module, Outcome& outcome, const char* message)
{
    return refusal(module, outcome, interop::text(message));
}

// Records device_type_mismatch and returns "FPGA image is for device types 28, 32, not 40."
// when a signed image is not for the device; nothing for a raw image, which names no device type.
Owned device_type_refusal(const Module& module, Outcome& outcome, Ref image_path, Ref device_type)
{
    if (is_suffix(lower_suffix(module, image_path), ".bin")) return {};
    SignedHeaderFacts facts = signed_header_facts(module, image_path);
    outcome.expected_version = std::move(facts.version);
    Owned& types = facts.device_types;
    if (interop::require(PySequence_Contains(types, device_type))) return {};
    Owned names = interop::checked(PyList_New(0));
    for (Py_ssize_t index = 0; index < PyList_GET_SIZE(types.get()); ++index)
        interop::require(PyList_Append(names, interop::checked(PyObject_Str(PyList_GET_ITEM(types.get(), index))).get()));
    Owned listed = interop::checked(PyUnicode_Join(interop::text(", ").get(), names));
    outcome.fail(Reason::device_type_mismatch,
                 fields({{"path", image_path}, {"image_types", types}, {"device_type", device_type}}));
    return interop::format("FPGA image is for device type%s %U, not %S.", PyList_GET_SIZE(types.get()) == 1 ? "" : "s",
                           listed.get(), device_type.get());
}

// self.<check>(image_path), with the reason it recorded when it refuses.
bool check_passes(const Module& module, Ref self, Name check, Ref image_path, Outcome& outcome, Reason generic)
{
    Owned before = last_outcome(module, self);
    if (interop::truthy(module.call_method(self, check, image_path))) return true;
    adopt_reason(module, self, before, outcome, generic);
    return false;
}

// The version the device reports after programming, as its device type says; "" for other types.
Owned new_version(const Module& module, Ref self, Ref device_type)
{
    const DeviceType* type = find_device_type(device_type);
    if (!type) return interop::text("");
    if (type->version_after_update == VersionQuery::fpga_version) return module.call_method(self, "_fpgaGetVersion"_n);
    Owned reply = module.call_method(self, "_fpgaGetInfo"_n);
    Owned info = module.call_method(module.global("json"_n), "loads"_n, reply);
    Owned entries = interop::checked(PyObject_GetIter(module.call_method(info, "values"_n).get()));
    Owned first = Owned::take(PyIter_Next(entries));
    if (!first) {
        if (PyErr_Occurred()) interop::throw_error_set();
        first = interop::checked(PyDict_New());
    }
    return module.call_method(first, "get"_n, interop::text("fpga_ver"), interop::text(""));
}

// After done and refresh: the version the device now reports, which confirms the load when it is
// the one the image's header names (any, for an image that names none).
Owned confirm_load(const Module& module, Outcome& outcome, Ref self, Ref device_type)
{
    outcome.phase = phase::version;
    outcome.device_state = state::written;
    Owned version = new_version(module, self, device_type);
    if (!outcome.expected_version ||
        interop::require(PyObject_RichCompareBool(interop::checked(PyObject_Str(version)).get(), outcome.expected_version, Py_EQ)))
        outcome.device_state = state::loaded;
    return version;
}

// The checks an image passes before the device is touched: the refusal's result, or nothing.
Owned image_refusal(const Module& module, Outcome& outcome, Ref self, Ref image_path, Ref type)
{
    if (image_path.is_none() || PyUnicode_GET_LENGTH(image_path.get()) == 0) {
        outcome.fail(Reason::no_image_path);
        return refusal(module, outcome, "FPGA image path is not provided.");
    }
    // The file the device gets must be the file checked now: programming compares with this.
    outcome.image_identity = file_identity(module, image_path);
    if (!check_passes(module, self, "_checkUpdateFile"_n, image_path, outcome, Reason::file_check_failed))
        return refusal(module, outcome, "FPGA update file check failed.");
    if (!check_passes(module, self, "_checkFileHeader"_n, image_path, outcome, Reason::header_check_failed))
        return refusal(module, outcome, "FPGA image header check failed.");
    if (Owned mismatch = device_type_refusal(module, outcome, image_path, type))
        return refusal(module, outcome, std::move(mismatch));
    return {};
}

Owned update(Call& call, const Module& module, Outcome& outcome, Ref self, interop::Arg path_argument,
             interop::Arg device_type)
{
    // A pathlib.Path goes on as the text os.fspath gives, to the checks and the log lines alike.
    Owned image_path = interop::text_path_or_none(call, path_argument);
    Owned type = interop::int_from_integer(call, device_type);
    Owned result = interop::checked(
        Py_BuildValue("{s:O,s:s,s:s}", "success", Py_False, "error_message", "", "fw_version", ""));

    if (Owned refused = image_refusal(module, outcome, self, image_path, type)) return refused;

    // The device is touched from here on; _fpgaProgramFile records its progress in `outcome`.
    outcome.phase = phase::erase;
    Owned programmed = interop::call(module.attr(self, "_fpgaProgramFile"_n), {},
                                     {{module.name("image_path"_n), image_path}, {module.name("device_type"_n), device_type}});
    if (!interop::truthy(programmed)) {
        // An override that did not run ours may have changed the device all the same.
        if (!outcome.programming_ran) outcome.device_state = state::erased;
        outcome.fail(Reason::programming_failed);
        return refusal(module, outcome, "FPGA update process failed.");
    }

    Owned version = confirm_load(module, outcome, self, type);
    log(module, "info"_n, interop::format("Updated FPGA version: %S", version.get()));
    log(module, "info"_n, interop::text("FPGA update process completed successfully."));
    interop::require(PyDict_SetItemString(result, "success", Py_True));
    interop::require(PyDict_SetItemString(result, "fw_version", version));
    outcome.ok = true;
    outcome.phase = phase::done;
    return interop::call(module.global("RetType"_n), {}, {{module.name("data"_n), result}});
}

// The image checks, then the read-back alone: the device is never erased, written or loaded.
Owned verify(Call& call, const Module& module, Outcome& outcome, Ref self, interop::Arg path_argument,
             interop::Arg device_type, bool load)
{
    // A pathlib.Path goes on as the text os.fspath gives, to the checks and the log lines alike.
    Owned image_path = interop::text_path_or_none(call, path_argument);
    Owned type = interop::int_from_integer(call, device_type);
    if (Owned refused = image_refusal(module, outcome, self, image_path, type)) return refused;

    std::optional<std::uint64_t> difference = verify_image_on_device(module, self, image_path, outcome);
    if (outcome.failed_with(Reason::image_changed)) {
        outcome.message = interop::text("FPGA image file changed while the device was read back; nothing is known");
        Owned data = fields({{"holds", Py_False}, {"offset", Py_None}});
        return ret_type(module, "ERROR"_n, outcome.message, data);
    }
    if (!difference && !outcome.reason) {
        Owned message = interop::text("FPGA image verified");
        log(module, "info"_n, message);
        Owned data = fields({{"holds", Py_True}, {"offset", Py_None}});
        if (load) {
            // The memory holds the image whole: it is loaded as an update loads it, nothing rewritten.
            outcome.phase = phase::load;
            outcome.device_state = state::written;
            module.call_method(self, "_fpgaDone"_n);
            module.call_method(self, "_fpgaRefresh"_n);
            Owned version = confirm_load(module, outcome, self, type);
            log(module, "info"_n, interop::format("FPGA image loaded without rewriting; FPGA version: %S", version.get()));
            message = interop::text("FPGA image verified and loaded");
            interop::require(PyDict_SetItemString(data, "fw_version", version));
        }
        outcome.ok = true;
        outcome.phase = phase::done;
        return ret_type(module, "OK"_n, message, data);
    }
    // A malformed data block is recorded with its offset already; the first failure stands.
    outcome.fail(Reason::readback_mismatch,
                 fields({{"offset", interop::checked(PyLong_FromUnsignedLongLong(difference.value_or(0)))}}));
    PyObject* found = PyDict_GetItemWithError(outcome.details, interop::text("offset").get());  // borrowed
    if (!found && PyErr_Occurred()) interop::throw_error_set();
    Owned offset = Owned::ref(found ? found : Py_None);
    outcome.message = interop::format("FPGA read-back differs from the image at byte offset %S", offset.get());
    outcome.log(module, "error"_n, outcome.message);
    Owned data = fields({{"holds", Py_False}, {"offset", offset}});
    return ret_type(module, "ERROR"_n, outcome.message, data);
}

}  // namespace

Owned set_progress_callback(Call& call, Ref self, interop::Arg callback)
{
    // Refused here rather than at the first report, when the device is already erased.
    if (!callback.is_none() && !PyCallable_Check(callback)) interop::raise_bad_argument(call, callback, "callable or None");
    Module(call).set_attr(self, "progress_callback"_n, callback);
    return interop::none();
}
constexpr FunctionDef set_progress_callback_def = function_def<set_progress_callback>(
    "FpgaTool.set_progress_callback", "(self, callback)",
    R"(
        Set progress callback function.

        Arguments:
            callback: The callback function to be called on progress updates.
        )");

Owned process_fpga_update(Call& call, Ref self, interop::Arg image_path, interop::Arg device_type)
{
    Module module(call);
    Outcome outcome;
    ActiveOutcome active(self, outcome);
    return record_outcome(module, self, outcome, [&] { return update(call, module, outcome, self, image_path, device_type); });
}
constexpr FunctionDef process_fpga_update_def = function_def<process_fpga_update>(
    "FpgaTool.processFpgaUpdate", "(self, image_path=None, device_type=32)",
    R"(
        Process FPGA update with the given image path.

        Arguments:
            image_path: The path to the FPGA image file.
            device_type: The type of the device (default is 32).

        Return:
            RetType whose RetData is a dict containing update result:
            {
                'success': bool,
                'error_message': str,
                'fw_version': str
            }
        )");

Owned verify_fpga_image(Call& call, Ref self, interop::Arg image_path, interop::Arg device_type, interop::Arg load)
{
    Module module(call);
    Outcome outcome;
    bool loads = interop::truthy(load);
    return record_outcome(module, self, outcome,
                          [&] { return verify(call, module, outcome, self, image_path, device_type, loads); });
}
constexpr FunctionDef verify_fpga_image_def = function_def<verify_fpga_image>(
    "FpgaTool.verifyFpgaImage", "(self, image_path=None, device_type=32, load=False)",
    R"(
        Verify that the FPGA's configuration memory holds the given image.

        The image passes the checks processFpgaUpdate makes; then the configuration
        memory is read back for the image's length and compared with it. Nothing is
        erased or written. With load true, a memory that holds the image is then
        loaded as an update loads it (done, refresh, and the new FPGA version read),
        without rewriting it; otherwise nothing is loaded.

        Arguments:
            image_path: The path to the FPGA image file.
            device_type: The type of the device (default is 32).
            load: Whether to load an image the memory holds (default is False).

        Return:
            RetType whose RetData, once the image passed its checks, is
            {'holds': bool, 'offset': int or None}: the first byte offset that differs;
            with load, a memory that holds the image adds 'fw_version': the FPGA
            version read after loading it. last_outcome.device_state says whether the
            load was confirmed ("loaded") or not ("written").
        )");

constexpr FunctionDef kOperations[] = {
    set_progress_callback_def, process_fpga_update_def, verify_fpga_image_def,
};
const std::span<const FunctionDef> update_operations{kOperations};

}  // namespace vornfpga
