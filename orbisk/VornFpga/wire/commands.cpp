// The FPGA command set: one method per controller command, each sent through
// the tool's own _sendCmd. Only the block write judges its reply.
#include <cstring>
#include <string_view>

#include "operations.hpp"
#include "wire/protocol.hpp"

namespace vornfpga {

namespace {

Owned send(const Module& module, Ref self, std::string_view command)
{
    return module.call_method(self, "_sendCmd"_n, interop::bytes(command));
}

// "<command> " followed by the argument: bytes as they are, anything else as the UTF-8 of its str().
Owned send_with_argument(const Module& module, Ref self, std::string_view command, Ref argument)
{
    Owned argument_bytes = Owned::ref(argument);
    if (!PyBytes_Check(argument)) {
        Owned argument_text = interop::checked(PyObject_Str(argument));
        argument_bytes = interop::checked(PyUnicode_AsUTF8String(argument_text));
    }
    Py_ssize_t size = PyBytes_GET_SIZE(argument_bytes.get());
    Owned line = interop::checked(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(command.size()) + 1 + size));
    char* out = PyBytes_AS_STRING(line.get());
    std::memcpy(out, command.data(), command.size());
    out[command.size()] = ' ';
    std::memcpy(out + command.size() + 1, PyBytes_AS_STRING(argument_bytes.get()), size);
    return module.call_method(self, "_sendCmd"_n, line);
}

// The block write's command, framed in one allocation.
Owned program_command(std::string_view block)
{
    char head[kMaxFrameHead];
    std::size_t head_size = write_frame_head(head, block.size());
    std::size_t size = kProgramCommand.size() + head_size + block.size();
    Owned command = interop::checked(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
    char* out = PyBytes_AS_STRING(command.get());
    std::memcpy(out, kProgramCommand.data(), kProgramCommand.size());
    std::memcpy(out + kProgramCommand.size(), head, head_size);
    std::memcpy(out + kProgramCommand.size() + head_size, block.data(), block.size());
    return command;
}

}  // namespace

Owned fpga_ctrl_init(Call& call, Ref self) { return send(Module(call), self, "FPGA_CTRL_INIT"); }
constexpr FunctionDef fpga_ctrl_init_def = function_def<fpga_ctrl_init>(
    "FpgaTool._fpgaCtrlInit", "(self)", "Initialize the FPGA control.");

Owned fpga_get_id(Call& call, Ref self) { return send(Module(call), self, "FPGA_GET_ID"); }
constexpr FunctionDef fpga_get_id_def = function_def<fpga_get_id>(
    "FpgaTool._fpgaGetId", "(self)", "Get the FPGA ID.");

Owned fpga_get_version(Call& call, Ref self) { return send(Module(call), self, "GET_FPGA_VER"); }
constexpr FunctionDef fpga_get_version_def = function_def<fpga_get_version>(
    "FpgaTool._fpgaGetVersion", "(self)", "Get the FPGA version.");

Owned fpga_cfg_mode(Call& call, Ref self, Ref mode) { return send_with_argument(Module(call), self, "FPGA_CFG_MODE", mode); }
constexpr FunctionDef fpga_cfg_mode_def = function_def<fpga_cfg_mode>(
    "FpgaTool._fpgaCfgMode", "(self, mode)", "Configure the FPGA mode.");

Owned fpga_erase(Call& call, Ref self, Ref erase_bits)
{
    return send_with_argument(Module(call), self, "FPGA_ERASE", erase_bits);
}
constexpr FunctionDef fpga_erase_def = function_def<fpga_erase>(
    "FpgaTool._fpgaErase", "(self, erase_bits)", "Erase the FPGA memory.");

Owned fpga_rst_page_ptr(Call& call, Ref self, Ref section)
{
    return send_with_argument(Module(call), self, "FPGA_RST_PAGE_PTR", section);
}
constexpr FunctionDef fpga_rst_page_ptr_def = function_def<fpga_rst_page_ptr>(
    "FpgaTool._fpgaRstPagePtr", "(self, section)", "Reset the FPGA page pointer.");

// The block write, and whether the device took it.
Owned fpga_program(Call& call, Ref self, interop::Arg data_block)
{
    Module module(call);
    if (!PyObject_CheckBuffer(data_block)) interop::raise_bad_argument(call, data_block, "a bytes-like object");
    interop::Buffer data(data_block);
    Owned reply = module.call_method(self, "_sendCmd"_n, program_command(data.bytes()));
    return interop::boolean(is_acknowledgement(module, reply));
}
constexpr FunctionDef fpga_program_def = function_def<fpga_program>(
    "FpgaTool._fpgaProgram", "(self, data_block)", "Program the FPGA with the given data block.");

Owned fpga_read(Call& call, Ref self)
{
    Module module(call);
    return module.call_method(self, "_sendCmd"_n, {interop::bytes("FPGA_READ")}, {{module.name("isdecode"_n), Py_False}});
}
constexpr FunctionDef fpga_read_def = function_def<fpga_read>(
    "FpgaTool._fpgaRead", "(self)", "Read data from the FPGA.");

Owned fpga_done(Call& call, Ref self) { return send(Module(call), self, "FPGA_DONE"); }
constexpr FunctionDef fpga_done_def = function_def<fpga_done>(
    "FpgaTool._fpgaDone", "(self)", "Mark the FPGA programming as done.");

Owned fpga_refresh(Call& call, Ref self) { return send(Module(call), self, "FPGA_REFRESH"); }
constexpr FunctionDef fpga_refresh_def = function_def<fpga_refresh>(
    "FpgaTool._fpgaRefresh", "(self)", "Refresh the FPGA.");

Owned fpga_get_info(Call& call, Ref self) { return send(Module(call), self, "GET_FE_INFO"); }
constexpr FunctionDef fpga_get_info_def = function_def<fpga_get_info>(
    "FpgaTool._fpgaGetInfo", "(self)", "Get the FPGA information.");

Owned fpga_get_control_fw_ver(Call& call, Ref self) { return send(Module(call), self, "GET_FW_VER"); }
constexpr FunctionDef fpga_get_control_fw_ver_def = function_def<fpga_get_control_fw_ver>(
    "FpgaTool._fpgaGetControlFwVer", "(self)", "Get the FPGA control firmware version.");

Owned fpga_get_serial_number(Call& call, Ref self) { return send(Module(call), self, "GET_SN"); }
constexpr FunctionDef fpga_get_serial_number_def = function_def<fpga_get_serial_number>(
    "FpgaTool._fpgaGetSerialNumber", "(self)", "Get the FPGA serial number.");

bool is_acknowledgement(const Module& module, Ref reply)
{
    if (!PyUnicode_Check(reply)) {
        Owned stripped = module.call_method(reply, "strip"_n);
        return interop::require(PyObject_RichCompareBool(stripped, interop::text("0").get(), Py_EQ)) != 0;
    }
    Py_ssize_t start = 0;
    Py_ssize_t end = PyUnicode_GET_LENGTH(reply.get());
    int kind = PyUnicode_KIND(reply.get());
    const void* data = PyUnicode_DATA(reply.get());
    while (start < end && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, start))) ++start;
    while (end > start && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, end - 1))) --end;
    return end - start == 1 && PyUnicode_READ(kind, data, start) == '0';
}

bool is_acknowledgement(const Module& module, std::string_view reply_line)
{
    if (reply_line == "0") return true;
    // As the connection would read it: text, undecodable bytes replaced.
    Owned text = interop::checked(PyUnicode_DecodeUTF8(reply_line.data(), static_cast<Py_ssize_t>(reply_line.size()), "replace"));
    return is_acknowledgement(module, text);
}

constexpr FunctionDef kOperations[] = {
    fpga_ctrl_init_def,
    fpga_get_id_def,
    fpga_get_version_def,
    fpga_cfg_mode_def,
    fpga_erase_def,
    fpga_rst_page_ptr_def,
    fpga_program_def,
    fpga_read_def,
    fpga_done_def,
    fpga_refresh_def,
    fpga_get_info_def,
    fpga_get_control_fw_ver_def,
    fpga_get_serial_number_def,
};
const std::span<const FunctionDef> command_operations{kOperations};

}  // namespace vornfpga
