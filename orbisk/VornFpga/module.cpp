// Import of orbisk.VornFpga: host and standard names, the logging setup, the
// constants, the logger and the class FpgaTool, in that order.
#include "FpgaTool.hpp"
#include "docstrings.hpp"

namespace vornfpga {

using interop::FunctionDef;
using interop::function_def;

namespace {

// The class body: FpgaTool's operations in definition order.
// The default of size is the value of _RECV_SIZE (1024) when the class is made.
constexpr FunctionDef kOperations[] = {
    function_def<tool_init>("FpgaTool.__init__", "(self, connection=None, address=None, port=5025)", doc::init),
    function_def<get_recv>("FpgaTool._getRecv", "(self, log_print=False, size=1024, isdecode=True)", doc::get_recv),
    function_def<send_cmd>("FpgaTool._sendCmd", "(self, cmd, log_print=False, size=1024, isdecode=True)",
                            doc::send_cmd),
    function_def<fpga_ctrl_init>("FpgaTool._fpgaCtrlInit", "(self)", doc::fpga_ctrl_init),
    function_def<fpga_get_id>("FpgaTool._fpgaGetId", "(self)", doc::fpga_get_id),
    function_def<fpga_get_version>("FpgaTool._fpgaGetVersion", "(self)", doc::fpga_get_version),
    function_def<fpga_cfg_mode>("FpgaTool._fpgaCfgMode", "(self, mode)", doc::fpga_cfg_mode),
    function_def<fpga_erase>("FpgaTool._fpgaErase", "(self, erase_bits)", doc::fpga_erase),
    function_def<fpga_rst_page_ptr>("FpgaTool._fpgaRstPagePtr", "(self, section)", doc::fpga_rst_page_ptr),
    function_def<fpga_program>("FpgaTool._fpgaProgram", "(self, data_block)", doc::fpga_program),
    function_def<fpga_read>("FpgaTool._fpgaRead", "(self)", doc::fpga_read),
    function_def<fpga_done>("FpgaTool._fpgaDone", "(self)", doc::fpga_done),
    function_def<fpga_refresh>("FpgaTool._fpgaRefresh", "(self)", doc::fpga_refresh),
    function_def<fpga_get_info>("FpgaTool._fpgaGetInfo", "(self)", doc::fpga_get_info),
    function_def<fpga_get_control_fw_ver>("FpgaTool._fpgaGetControlFwVer", "(self)", doc::fpga_get_control_fw_ver),
    function_def<fpga_get_serial_number>("FpgaTool._fpgaGetSerialNumber", "(self)", doc::fpga_get_serial_number),
    function_def<fpga_program_file>("FpgaTool._fpgaProgramFile", "(self, image_path, device_type=28)",
                                     doc::fpga_program_file),
    function_def<check_control_fw_version>("FpgaTool._checkControlFwVersion", "(self)",
                                            doc::check_control_fw_version),
    function_def<check_update_file>("FpgaTool._checkUpdateFile", "(self, image_path)", doc::check_update_file),
    function_def<check_file_header>("FpgaTool._checkFileHeader", "(self, image_path)", doc::check_file_header),
    function_def<init_fpga>("FpgaTool.initFpga", "(self, device_type, disable_fw_check=False)", doc::init_fpga),
    function_def<set_progress_callback>("FpgaTool.set_progress_callback", "(self, callback)",
                                         doc::set_progress_callback),
    function_def<process_fpga_update>("FpgaTool.processFpgaUpdate", "(self, image_path=None, device_type=32)",
                                       doc::process_fpga_update),
    function_def<delete_temp_file>("FpgaTool.deleteTempFile", "(self)", doc::delete_temp_file),
    function_def<disconnect>("FpgaTool.disconnect", "(self)", doc::disconnect),
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

void bind_constants(Ref module)
{
    using interop::add_to_module;
    using interop::text;
    add_to_module(module, "_RECV_SIZE", interop::integer(1024));
    add_to_module(module, "_FPGA_FW_VER_MIN", text("0.1.0.6"));
    add_to_module(module, "_FPGA_VER_MIN_DEV28", text("1.1.0.0"));
    add_to_module(module, "_FPGA_VER_MIN_DEV32", text("0.2.3.4"));
    add_to_module(module, "_DEVICE_WHITELIST", interop::checked(Py_BuildValue("[i]", 32)));
}

void define_fpga_tool(Ref module)
{
    interop::ClassBody body(module, "FpgaTool");
    for (const FunctionDef& def : kOperations) body.define(def);
    body.make_class(reinterpret_cast<PyObject*>(&PyType_Type), {reinterpret_cast<PyObject*>(&PyBaseObject_Type)});
}

int exec_module(PyObject* module) noexcept
{
    return interop::boundary_status([&] {
        interop::init_module_state(module, "orbisk.VornFpga.native_function", kNames);
        bind_imports(module);
        configure_logging(module);
        bind_constants(module);
        define_fpga_tool(module);
    });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = interop::module_definition("orbisk.VornFpga", nullptr, module_slots);

}  // namespace

void log(const Module& module, Name level, Ref message)
{
    module.call_method(module.global("logger"_n), level, message);
}

Owned ret_type(const Module& module, const char* code, Ref message, Ref data)
{
    Owned ret_code = interop::getattr(module.global("RetCode"_n), code);
    Owned result_type = module.global("RetType"_n);
    return data ? interop::call(result_type, ret_code, message, data) : interop::call(result_type, ret_code, message);
}

}  // namespace vornfpga

PyMODINIT_FUNC PyInit_VornFpga(void) { return PyModuleDef_Init(&vornfpga::module_def); }
