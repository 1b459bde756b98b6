// The tool's life: bound to a lent connection, or to one it opens and owns.
#include <cerrno>
#include <cmath>

#include "FpgaTool.hpp"
#include "operations.hpp"

namespace vornfpga {

namespace {

// Why a connection did not come up, from the error the host's connection kept, as a reason key
// of the outcomes: "connection_refused", "timeout", "name_not_found", "unreachable", or None
// when it says nothing we know.
Owned failure_reason(const Module& module, Ref error)
{
    if (!error) return interop::none();
    if (interop::is_exception(error, PyExc_ConnectionRefusedError)) return interop::text("connection_refused");
    if (interop::is_exception(error, PyExc_TimeoutError)) return interop::text("timeout");
    if (!interop::is_exception(error, PyExc_OSError)) return interop::none();
    Owned socket = interop::import_module("socket");
    Owned name_error = module.attr(socket, "gaierror"_n);
    if (interop::is_exception(error, name_error)) return interop::text("name_not_found");
    Owned number = interop::find_attr(error, module.name("errno"_n));
    if (number && PyLong_Check(number.get())) {
        long code = interop::require_value(PyLong_AsLong(number));
        if (code == ENETUNREACH || code == EHOSTUNREACH) return interop::text("unreachable");
    }
    return interop::none();
}

// FpgaConnectError("Cannot connect to ADDRESS:PORT") with its reason, caused by the error
// that the connection kept of its last attempt (its last_error), when it keeps one.
[[noreturn]] void raise_connect_error(const Module& module, Ref connection, Ref address, Ref port)
{
    Owned cause = interop::find_attr(connection, module.name("last_error"_n));
    if (cause && !PyExceptionInstance_Check(cause.get())) cause = {};
    Owned error = interop::call(module.global("FpgaConnectError"_n),
                                interop::format("Cannot connect to %U:%S", address.get(), port.get()));
    module.set_attr(error, "reason"_n, failure_reason(module, cause));
    if (cause) PyException_SetCause(error, cause.release());
    interop::restore_error(std::move(error));
    interop::throw_error_set();
}

}  // namespace

Owned tool_init(Call& call, Ref self, Ref connection, interop::Arg address, interop::Arg port, interop::Arg timeout)
{
    Module module(call);
    interop::require_text_or_none(call, address);
    Owned port_number = interop::int_from_number(call, port);
    Owned timeout_seconds;
    if (!timeout.is_none()) {
        timeout_seconds = interop::float_from_number(call, timeout);
        double seconds = PyFloat_AS_DOUBLE(timeout_seconds.get());
        if (!(seconds > 0) || !std::isfinite(seconds))
            interop::raise_format(PyExc_ValueError, "timeout must be a positive number of seconds, not %R",
                                  timeout_seconds.get());
    }

    if (!connection.is_none()) {
        module.set_attr(self, "_conn"_n, connection);
        module.set_attr(self, "_owns_conn"_n, Py_False);
    } else if (address.is_none()) {
        interop::raise(PyExc_ValueError, "Either connection or address must be provided");
    } else {
        // Imported only here, so that callers who always lend a connection never load it.
        Owned tcp_connection = interop::import_from(PyModule_GetDict(module.module()), module.name("VornCommService"_n), 1,
                                                    module.name("_TCPConn"_n));
        // The time-out goes to the connection only when the caller gave one.
        module.set_attr(self, "_conn"_n,
                        timeout_seconds ? interop::call(tcp_connection, {address, port_number},
                                                        {{module.name("timeout"_n), timeout_seconds}})
                                        : interop::call(tcp_connection, address, port_number));
        Owned opened = module.attr(self, "_conn"_n);
        if (!interop::truthy(module.call_method(opened, "initConnection"_n)))
            raise_connect_error(module, opened, address, port_number);
        module.set_attr(self, "_owns_conn"_n, Py_True);
    }
    module.set_attr(self, "progress_callback"_n, Py_None);
    // The console progress line; False keeps this tool's updates off standard output.
    module.set_attr(self, "console_progress"_n, Py_True);
    module.set_attr(self, "last_outcome"_n, Py_None);
    // Commands _fpgaProgramFile keeps in flight; 1: one exchange at a time.
    module.set_attr(self, "pipeline_depth"_n, interop::integer(1));
    return interop::none();
}
constexpr FunctionDef tool_init_def = function_def<tool_init>(
    "FpgaTool.__init__", "(self, connection=None, address=None, port=5025, timeout=None)",
    R"(
        Initialize the FPGA tool.

        Args:
            connection: An existing DevConnection (e.g. _TCPConn) instance.
            address: IP address of the device. Creates a new TCP connection if provided.
            port: TCP port number (default 5025).
        )");

// The tool creates no temporary files; disconnect() still calls this, so that a
// subclass that does create some can remove them here.
Owned delete_temp_file(Call&, Ref) { return interop::none(); }
constexpr FunctionDef delete_temp_file_def = function_def<delete_temp_file>(
    "FpgaTool.deleteTempFile", "(self)",
    "Remove temporary files of the tool. The tool creates none, so there is nothing to remove.");

Owned disconnect(Call& call, Ref self)
{
    Module module(call);
    module.call_method(self, "deleteTempFile"_n);
    if (interop::truthy(module.attr(self, "_conn"_n)) && interop::truthy(module.attr(self, "_owns_conn"_n))) {
        module.call_method(module.attr(self, "_conn"_n), "closeConnection"_n);
        log(module, "info"_n, interop::text("Disconnected from FPGA device."));
    }
    return interop::none();
}
constexpr FunctionDef disconnect_def = function_def<disconnect>(
    "FpgaTool.disconnect", "(self)",
    R"(
        Close the connection and clean up.
        )");

Owned close_tool(Call& call, Ref self) { return Module(call).call_method(self, "disconnect"_n); }
constexpr FunctionDef close_def = function_def<close_tool>("FpgaTool.close", "(self)", "The same as disconnect().");

Owned enter_context(Call&, Ref self) { return Owned::ref(self); }
constexpr FunctionDef enter_def = function_def<enter_context>("FpgaTool.__enter__", "(self)", "Return the tool itself.");

Owned exit_context(Call& call, Ref self, Ref, Ref, Ref)
{
    Module(call).call_method(self, "disconnect"_n);
    return interop::none();
}
constexpr FunctionDef exit_def = function_def<exit_context>("FpgaTool.__exit__", "(self, exc_type, exc_value, traceback)",
                                                    "Call disconnect(); an exception on its way goes on.");

// The constructor opens the class body; deleteTempFile, disconnect and the ways to reach it close it.
constexpr FunctionDef kConstruction[] = {tool_init_def};
constexpr FunctionDef kTeardown[] = {delete_temp_file_def, disconnect_def, close_def, enter_def, exit_def};
const std::span<const FunctionDef> construction_operations{kConstruction};
const std::span<const FunctionDef> teardown_operations{kTeardown};

}  // namespace vornfpga
