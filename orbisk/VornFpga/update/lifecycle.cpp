// The tool's life: bound to a lent connection, or to one it opens and owns.
#include "FpgaTool.hpp"

namespace vornfpga {

Owned tool_init(Call& call, Ref self, Ref connection, interop::Arg address, interop::Arg port)
{
    Module module(call);
    interop::require_text_or_none(call, address);
    Owned port_number = interop::int_from_number(call, port);

    if (!connection.is_none()) {
        module.set_attr(self, "_conn"_n, connection);
        module.set_attr(self, "_owns_conn"_n, Py_False);
    } else if (address.is_none()) {
        interop::raise(PyExc_ValueError, "Either connection or address must be provided");
    } else {
        // Imported only here, so that callers who always lend a connection never load it.
        Owned tcp_connection = interop::import_from(PyModule_GetDict(module.module()), module.name("VornCommService"_n), 1,
                                                    module.name("_TCPConn"_n));
        module.set_attr(self, "_conn"_n, interop::call(tcp_connection, address, port_number));
        Owned connected = module.call_method(module.attr(self, "_conn"_n), "initConnection"_n);
        if (!interop::truthy(connected))
            interop::raise_format(PyExc_ConnectionError, "Cannot connect to %U:%S", address.get(), port_number.get());
        module.set_attr(self, "_owns_conn"_n, Py_True);
    }
    module.set_attr(self, "progress_callback"_n, Py_None);
    module.set_attr(self, "last_outcome"_n, Py_None);
    // Commands _fpgaProgramFile keeps in flight; 1: one exchange at a time.
    module.set_attr(self, "pipeline_depth"_n, interop::integer(1));
    return interop::none();
}
constexpr FunctionDef tool_init_def = function_def<tool_init>(
    "FpgaTool.__init__", "(self, connection=None, address=None, port=5025)",
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

// The constructor opens the class body; deleteTempFile and disconnect close it.
extern const std::span<const FunctionDef> construction_operations, teardown_operations;
constexpr FunctionDef kConstruction[] = {tool_init_def};
constexpr FunctionDef kTeardown[] = {delete_temp_file_def, disconnect_def};
const std::span<const FunctionDef> construction_operations{kConstruction};
const std::span<const FunctionDef> teardown_operations{kTeardown};

}  // namespace vornfpga
