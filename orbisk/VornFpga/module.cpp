// Import of orbisk.VornFpga: host and standard names, the logging setup, the
// constants, the logger and the class FpgaTool, in that order.
#include <iterator>
#include <string>

#include "FpgaTool.hpp"
#include "device_types.hpp"
#include "operations.hpp"
#include "update/outcome.hpp"
#include "wire/protocol.hpp"
#include "wire/reply_stream.hpp"

namespace vornfpga {

namespace {

// The class body: FpgaTool's operations in definition order.
const std::span<const FunctionDef>* const kClassBody[] = {
    &construction_operations, &transport_operations, &command_operations, &programming_operations,
    &firmware_check_operations, &file_check_operations, &signed_image_operations, &device_init_operations,
    &update_operations, &teardown_operations,
};

void bind_imports(Ref module)
{
    using interop::add_to_module;
    using interop::import_from;
    for (const char* name : {"hmac", "hashlib", "json", "logging", "struct", "sys", "time"})
        add_to_module(module, name, interop::import_module(name));
    Ref globals = PyModule_GetDict(module);
    add_to_module(module, "Path", import_from(globals, "pathlib", 0, "Path"));
    add_to_module(module, "Optional", import_from(globals, "typing", 0, "Optional"));
    add_to_module(module, "Union", import_from(globals, "typing", 0, "Union"));
    add_to_module(module, "VER", import_from(globals, "VornUtils", 1, "VER"));
    add_to_module(module, "RspType", import_from(globals, "VornUtils", 1, "_RspType"));
    add_to_module(module, "RetType", import_from(globals, "VornUtils", 1, "RetType"));
    add_to_module(module, "RetCode", import_from(globals, "VornPublic", 1, "RetCode"));
}

// logging.basicConfig(level=INFO, format=..., handlers=[StreamHandler(sys.stdout)]): the
// logging module applies it only while the root logger has no handler.
void configure_logging(Ref module)
{
    using interop::getattr;
    Owned logging = getattr(module, "logging");
    Owned stdout_stream = getattr(getattr(module, "sys"), "stdout");
    Owned handler = interop::call(getattr(logging, "StreamHandler"), stdout_stream);
    Owned handlers = interop::checked(PyList_New(1));
    PyList_SET_ITEM(handlers.get(), 0, handler.release());
    interop::call(getattr(logging, "basicConfig"), {},
                  {
                      {interop::text("level"), getattr(logging, "INFO")},
                      {interop::text("format"), interop::text("%(asctime)s - %(name)s [%(levelname)s] %(message)s")},
                      {interop::text("handlers"), handlers},
                  });
    interop::add_to_module(module, "logger", interop::call(getattr(logging, "getLogger"), interop::text("FPGA")));
}

// A tuple of `words`.
template <class Words>
Owned texts(const Words& words)
{
    Owned tuple = interop::checked(PyTuple_New(static_cast<Py_ssize_t>(std::size(words))));
    Py_ssize_t index = 0;
    for (const char* word : words) PyTuple_SET_ITEM(tuple.get(), index++, interop::text(word).release());
    return tuple;
}

// A read-only view of `dict`: types.MappingProxyType(dict).
Owned read_only(Ref mapping_proxy, Owned dict) { return interop::call(mapping_proxy, dict); }

// _DEVICE_TYPES: {number: {"erase_bits", "version_query", "minimum_version", "initialised"}}, read-only.
Owned device_type_table(Ref mapping_proxy)
{
    Owned table = interop::checked(PyDict_New());
    for (const DeviceType& type : kDeviceTypes) {
        Owned entry = fields({{"erase_bits", interop::text(type.erase_bits)},
                              {"version_query", interop::text(version_command(type.version_after_update))},
                              {"minimum_version", interop::text(type.minimum_version_text)},
                              {"initialised", interop::boolean(type.initialised)}});
        interop::require(PyDict_SetItem(table, interop::integer(type.number).get(), read_only(mapping_proxy, entry).get()));
    }
    return read_only(mapping_proxy, table);
}

void bind_constants(Ref module)
{
    using interop::add_to_module;
    using interop::text;
    add_to_module(module, "_RECV_SIZE", interop::integer(kRecvSize));
    add_to_module(module, "_FPGA_FW_VER_MIN", text("0.1.0.6"));
    Owned whitelist = interop::checked(PyList_New(0));
    for (const DeviceType& type : kDeviceTypes) {
        add_to_module(module, std::string(kNames[type.minimum_version.index]).c_str(), text(type.minimum_version_text));
        if (type.initialised) interop::require(PyList_Append(whitelist, interop::integer(type.number).get()));
    }
    add_to_module(module, "_DEVICE_WHITELIST", whitelist);
    // The module's own tables, for the tools around it: the words of its outcomes and its device types.
    add_to_module(module, "_REASON_KEYS", texts(kReasonKeys));
    add_to_module(module, "_PHASES", texts(phase::all));
    add_to_module(module, "_DEVICE_STATES", texts(state::all));
    Owned mapping_proxy = interop::getattr(interop::import_module("types"), "MappingProxyType");
    add_to_module(module, "_DEVICE_TYPES", device_type_table(mapping_proxy));
}

constexpr const char* kConnectErrorDoc = R"(
    The tool could not connect to its device: "Cannot connect to ADDRESS:PORT".

    Attributes:
        reason: Why, when the connection says: "connection_refused", "timeout",
            "name_not_found" or "unreachable"; None otherwise. The connection's own error
            is the __cause__.
    )";

void define_connect_error(Ref module)
{
    Owned attributes = interop::checked(PyDict_New());
    interop::require(PyDict_SetItemString(attributes, "reason", Py_None));
    interop::add_to_module(module, "FpgaConnectError",
                           interop::checked(PyErr_NewExceptionWithDoc("orbisk.VornFpga.FpgaConnectError", kConnectErrorDoc,
                                                                      PyExc_ConnectionError, attributes)));
}

void define_fpga_tool(Ref module)
{
    interop::ClassBody body(module, "FpgaTool");
    for (const std::span<const FunctionDef>* operations : kClassBody)
        for (const FunctionDef& def : *operations) body.define(def);
    body.bind("pipeline_depth", pipeline_depth_property(module));
    body.make_class(reinterpret_cast<PyObject*>(&PyType_Type), {reinterpret_cast<PyObject*>(&PyBaseObject_Type)});
}

int exec_module(PyObject* module) noexcept
{
    return interop::boundary_status([&] {
        interop::init_module_state(module, "orbisk.VornFpga.native_function", kNames);
        bind_imports(module);
        configure_logging(module);
        bind_constants(module);
        define_update_outcome(module);
        define_connect_error(module);
        define_fpga_tool(module);
    });
}

constexpr char kModuleDoc[] = R"(FpgaTool, the FPGA update tool of one device connection.

Importing this module calls logging.basicConfig(level=logging.INFO, format=..., handlers=
[logging.StreamHandler(sys.stdout)]), which takes effect only while the root logger has no
handler: a program that configures logging before the import keeps its configuration, and
one that configures it later must pass force=True to basicConfig, or its call does nothing.
The module logs through the logger "FPGA".
)";

PyModuleDef module_def = interop::module_definition("orbisk.VornFpga", kModuleDoc, interop::module_slots<exec_module>);

}  // namespace

void log(const Module& module, Name level, Ref message)
{
    module.call_method(module.global("logger"_n), level, message);
}

Owned ret_type(const Module& module, Name code, Ref message, Ref data)
{
    Owned ret_code = module.attr(module.global("RetCode"_n), code);
    Owned result_type = module.global("RetType"_n);
    return data ? interop::call(result_type, ret_code, message, data) : interop::call(result_type, ret_code, message);
}

}  // namespace vornfpga

PyMODINIT_FUNC PyInit_VornFpga(void) { return PyModuleDef_Init(&vornfpga::module_def); }
