#include "update/outcome.hpp"

#include <string_view>

namespace vornfpga {

namespace {

thread_local ActiveOutcome* active = nullptr;

Owned text_or_empty(const Owned& value) { return value ? Owned::ref(value.get()) : interop::text(""); }
Owned dict_or_empty(const Owned& value) { return value ? Owned::ref(value.get()) : interop::checked(PyDict_New()); }

// The `limit` of a reply refused for its size: the host connection's ReplyTooLong, known
// without importing the host package by its type's name, or any ConnectionError with an int
// `limit` (the replies of commands in flight raise one). Empty for any other exception.
Owned reply_limit(const Module& module, Ref error, Ref type_name)
{
    if (!interop::is_exception(error, PyExc_Exception)) return {};
    bool named = PyUnicode_CompareWithASCIIString(type_name, "ReplyTooLong") == 0;
    if (!named && !interop::is_exception(error, PyExc_ConnectionError)) return {};
    Owned limit = interop::find_attr(error, module.name("limit"_n));
    if (!limit || !PyLong_Check(limit.get())) return {};
    return limit;
}

// The reason key of an exception that ends a call in `outcome`'s phase.
Reason exception_reason(const Outcome& outcome, Ref error, bool too_long)
{
    if (outcome.callback_error && outcome.callback_error.get() == error.get()) return Reason::callback_error;
    if (!interop::is_exception(error, PyExc_Exception)) return Reason::interrupted;
    if (interop::is_exception(error, PyExc_TimeoutError)) return Reason::timeout;
    if (too_long) return Reason::reply_too_long;
    // Before any device command, an OSError comes from the image file, not the connection.
    bool from_connection = interop::is_exception(error, PyExc_ConnectionError) || !same_word(outcome.phase, phase::check);
    if (interop::is_exception(error, PyExc_OSError) && from_connection) return Reason::connection_lost;
    return Reason::error;
}

// str(error), or what Python's own traceback shows when that raises: the exception on its way
// out matters more than its text.
Owned text_of(Ref error)
{
    PyObject* text = PyObject_Str(error);
    if (text) return Owned::take(text);
    PyErr_Clear();
    return interop::text("<exception str() failed>");
}

// The exception's errno, for an OSError that has an int one; empty otherwise.
Owned errno_of(const Module& module, Ref error)
{
    if (!interop::is_exception(error, PyExc_OSError)) return {};
    Owned number = interop::find_attr(error, module.name("errno"_n));
    if (!number || !PyLong_Check(number.get())) return {};
    return number;
}

void fail_with_exception(const Module& module, Outcome& outcome, Ref error)
{
    Owned type_name = interop::checked(PyType_GetName(Py_TYPE(error.get())));
    Owned text = text_of(error);
    Owned limit = reply_limit(module, error, type_name);
    outcome.ok = false;
    outcome.reason = interop::text(key(exception_reason(outcome, error, static_cast<bool>(limit))));
    outcome.details = fields({{"error", type_name}, {"text", text}});
    if (limit) interop::require(PyDict_SetItemString(outcome.details, "limit", limit));
    if (Owned number = errno_of(module, error)) interop::require(PyDict_SetItemString(outcome.details, "errno", number));
    outcome.message = std::move(text);
}

void store(const Module& module, Ref tool, const Outcome& outcome)
{
    Owned made = interop::call(module.global("UpdateOutcome"_n), interop::boolean(outcome.ok),
                               outcome.reason ? Owned::ref(outcome.reason.get()) : interop::none(),
                               dict_or_empty(outcome.details), text_or_empty(outcome.message), interop::text(outcome.phase),
                               interop::checked(PyLong_FromUnsignedLongLong(outcome.bytes_written)),
                               interop::text(outcome.device_state),
                               interop::checked(PyLong_FromSize_t(outcome.pipeline_depth)));
    module.set_attr(tool, "last_outcome"_n, made);
}

Owned outcome_init(Call& call, Ref self, Ref ok, Ref reason, Ref details, Ref message, Ref phase, Ref bytes_written,
                   Ref device_state, Ref pipeline_depth)
{
    Module module(call);
    module.set_attr(self, "ok"_n, ok);
    module.set_attr(self, "reason"_n, reason);
    module.set_attr(self, "details"_n, details);
    module.set_attr(self, "message"_n, message);
    module.set_attr(self, "phase"_n, phase);
    module.set_attr(self, "bytes_written"_n, bytes_written);
    module.set_attr(self, "device_state"_n, device_state);
    module.set_attr(self, "pipeline_depth"_n, pipeline_depth);
    return interop::none();
}
constexpr FunctionDef outcome_init_def = function_def<outcome_init>(
    "UpdateOutcome.__init__",
    "(self, ok, reason, details, message, phase, bytes_written, device_state, pipeline_depth)",
    "Record how an update or a check ended.");

Owned outcome_repr(Call& call, Ref self)
{
    Module module(call);
    return interop::format(
        "UpdateOutcome(ok=%R, reason=%R, phase=%R, device_state=%R, bytes_written=%R, pipeline_depth=%R, "
        "message=%R, details=%R)",
        module.attr(self, "ok"_n).get(), module.attr(self, "reason"_n).get(), module.attr(self, "phase"_n).get(),
        module.attr(self, "device_state"_n).get(), module.attr(self, "bytes_written"_n).get(),
        module.attr(self, "pipeline_depth"_n).get(), module.attr(self, "message"_n).get(),
        module.attr(self, "details"_n).get());
}
constexpr FunctionDef outcome_repr_def = function_def<outcome_repr>("UpdateOutcome.__repr__", "(self)", nullptr);

constexpr const char* kOutcomeDoc = R"(
    How the last processFpgaUpdate, verifyFpgaImage, _checkUpdateFile or _checkFileHeader
    call ended.

    Attributes:
        ok: True for an update that succeeded (its read-back matched the image and the
            load was sent), a read-back that ran to its end, or a check that passed.
        reason: A stable key naming the refusal or failure; None when ok.
        details: The reason's fields, e.g. {"path": ...}; {} when it has none.
        message: The result's RetMsg, or the str() of the exception that ended the call.
        phase: Where the call ended: "check" (before any device command), "erase", "write",
            "verify" (the read-back), "load" (FPGA_DONE and FPGA_REFRESH), "version"
            (reading the new version) or "done".
        bytes_written: Bytes the device acknowledged.
        device_state: What the device was left holding: "untouched" (its previous image,
            nothing that changes it sent), "erased" (its configuration memory erased, and
            written in part or not verified: update it again before it restarts), "written"
            (the memory holds the new image whole, read back, but its load was not
            confirmed) or "loaded" (done and refresh answered, and the version read after
            them the one the image's header names, any when it names none).
        pipeline_depth: The pipeline_depth the write ran at; 0 when nothing was written.
    )";

}  // namespace

void Outcome::fail(Reason reason_key, Owned reason_details)
{
    if (reason) return;
    ok = false;
    reason = interop::text(key(reason_key));
    details = std::move(reason_details);
}

bool Outcome::failed_with(Reason reason_key) const
{
    return reason && PyUnicode_CompareWithASCIIString(reason, key(reason_key)) == 0;
}

void Outcome::log(const Module& module, Name level, Ref message) const
{
    Owned extra = fields({{"reason", reason ? Owned::ref(reason.get()) : interop::none()},
                           {"details", details ? interop::checked(PyDict_Copy(details)) : dict_or_empty(details)}});
    interop::call(module.attr(module.global("logger"_n), level), {message}, {{module.name("extra"_n), extra}});
}

Owned fields(std::initializer_list<std::pair<const char*, Ref>> items)
{
    Owned dict = interop::checked(PyDict_New());
    for (const auto& [key, value] : items) interop::require(PyDict_SetItemString(dict, key, value));
    return dict;
}

Outcome* active_outcome(Ref tool)
{
    for (ActiveOutcome* entry = active; entry; entry = entry->previous)
        if (entry->tool.get() == tool.get()) return &entry->outcome;
    return nullptr;
}

ActiveOutcome::ActiveOutcome(Ref tool_, Outcome& outcome_) : tool(tool_), outcome(outcome_), previous(active)
{
    active = this;
}

ActiveOutcome::~ActiveOutcome() { active = previous; }

Owned record_outcome(const Module& module, Ref tool, Outcome& outcome, const std::function<Owned()>& body)
{
    Owned result;
    try {
        result = body();
    } catch (...) {
        interop::set_error_from_cxx();
        Owned error = interop::fetch_error();
        interop::while_handling(error, [&] {
            fail_with_exception(module, outcome, error);
            store(module, tool, outcome);
        });
        interop::restore_error(std::move(error));
        interop::throw_error_set();
    }
    store(module, tool, outcome);
    return result;
}

Owned last_outcome(const Module& module, Ref tool) { return interop::find_attr(tool, module.name("last_outcome"_n)); }

void adopt_reason(const Module& module, Ref tool, Ref before, Outcome& outcome, Reason reason_key)
{
    Owned after = last_outcome(module, tool);
    if (after && after.get() != before.get() &&
        interop::require(PyObject_IsInstance(after, module.global("UpdateOutcome"_n).get())) &&
        !interop::truthy(module.attr(after, "ok"_n))) {
        Owned reason = module.attr(after, "reason"_n);
        Owned reason_details = module.attr(after, "details"_n);
        if (PyUnicode_Check(reason.get()) && PyDict_Check(reason_details.get())) {
            outcome.reason = std::move(reason);
            outcome.details = interop::checked(PyDict_Copy(reason_details));
            return;
        }
    }
    outcome.fail(reason_key);
}

void define_update_outcome(Ref module)
{
    interop::ClassBody body(module, "UpdateOutcome");
    body.bind("__doc__", interop::text(kOutcomeDoc));
    body.define(outcome_init_def);
    body.define(outcome_repr_def);
    body.make_class(reinterpret_cast<PyObject*>(&PyType_Type), {reinterpret_cast<PyObject*>(&PyBaseObject_Type)});
}

}  // namespace vornfpga
