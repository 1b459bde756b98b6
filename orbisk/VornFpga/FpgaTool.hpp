// orbisk.VornFpga: FpgaTool, the FPGA update tool of one device connection.
//
// Each operation of FpgaTool is a native function (interop/function.hpp)
// implemented by one C++ function below; module.cpp assembles the class.
// Files by concern:
//   module.cpp          import-time names, logging setup, constants, the class
//   lifecycle.cpp       constructor, deleteTempFile, disconnect
//   transport.cpp       _sendCmd, _getRecv: command framing and replies
//   commands.cpp        the FPGA command set, with the block write frame
//   firmware_check.cpp  _checkControlFwVersion
//   device_init.cpp     initFpga
//   file_check.cpp      _checkUpdateFile
//   signed_image.cpp    _checkFileHeader: the signed image format and its keyed hashes
//   image_file.cpp      reading image files; the signed image's fixed header
//   programming.cpp     _fpgaProgramFile: block writes, read-back, digests, done and refresh
//   reply_stream.cpp    commands in flight (pipeline_depth above 1): their replies from the byte stream
//   progress.cpp        the console progress line and the progress callback
//   update.cpp          processFpgaUpdate, set_progress_callback
#pragma once

#include <Python.h>

#include <cstddef>
#include <string>
#include <string_view>

#include "interop.hpp"

namespace vornfpga {

using interop::Call;
using interop::Owned;
using interop::Ref;

// Names used by the operations, interned once per module.
inline constexpr std::string_view kNames[] = {
    // attributes of the tool
    "_conn", "_owns_conn", "progress_callback", "pipeline_depth",
    // operations of the tool, called through the instance
    "_sendCmd", "_getRecv", "_fpgaGetControlFwVer", "deleteTempFile", "_fpgaProgram", "_fpgaRead",
    // operations of the connection
    "initConnection", "closeConnection", "sendCmd", "sendRawBytes", "recvRawBytes",
    // keyword arguments
    "log_print", "size", "isdecode",
    // module-level names
    "logger", "RspType", "VER", "RetType", "RetCode", "_FPGA_FW_VER_MIN", "_FPGA_VER_MIN_DEV32", "_DEVICE_WHITELIST",
    "Path", "open", "time", "hashlib", "hmac", "json", "struct",
    // attributes of other objects
    "RetData", "RSP_LIST", "strip", "update", "write",
    // logger methods
    "debug", "info", "warning", "error",
};

using Module = interop::ModuleView<kNames>;
using Name = Module::Name;

consteval Name operator""_n(const char* text, std::size_t size) { return Module::find({text, size}); }

// logger.<level>(message), through the module's logger as it is bound now.
void log(const Module& module, Name level, Ref message);

// RetType(RetCode.<code>, message) or RetType(RetCode.<code>, message, data), by position.
Owned ret_type(const Module& module, const char* code, Ref message, Ref data = nullptr);

// lifecycle.cpp
Owned tool_init(Call& call, Ref self, Ref connection, Ref address, Ref port);
Owned delete_temp_file(Call& call, Ref self);
Owned disconnect(Call& call, Ref self);

// transport.cpp
Owned get_recv(Call& call, Ref self, Ref log_print, Ref size, Ref isdecode);
Owned send_cmd(Call& call, Ref self, Ref cmd, Ref log_print, Ref size, Ref isdecode);

// commands.cpp
Owned fpga_ctrl_init(Call& call, Ref self);
Owned fpga_get_id(Call& call, Ref self);
Owned fpga_get_version(Call& call, Ref self);
Owned fpga_cfg_mode(Call& call, Ref self, Ref mode);
Owned fpga_erase(Call& call, Ref self, Ref erase_bits);
Owned fpga_rst_page_ptr(Call& call, Ref self, Ref section);
Owned fpga_program(Call& call, Ref self, Ref data_block);
Owned fpga_read(Call& call, Ref self);
Owned fpga_done(Call& call, Ref self);
Owned fpga_refresh(Call& call, Ref self);
Owned fpga_get_info(Call& call, Ref self);
Owned fpga_get_control_fw_ver(Call& call, Ref self);
Owned fpga_get_serial_number(Call& call, Ref self);

// "FPGA_PROGRAM #", the digit count of N, then N with at least two digits.
class ProgramFrameHeader {
public:
    explicit ProgramFrameHeader(std::size_t length);
    std::string_view text() const { return {text_, size_}; }

private:
    char text_[48];
    std::size_t size_;
};

// The whole frame of a block write, CR LF included, appended to `out`.
void append_program_frame(std::string& out, std::string_view block);

// Whether a block write's reply, stripped of white space, is "0": a reply as the
// connection returns it, or a reply line as it came from the device.
bool is_acknowledgement(const Module& module, Ref reply);
bool is_acknowledgement(const Module& module, std::string_view reply_line);

// firmware_check.cpp
Owned check_control_fw_version(Call& call, Ref self);

// device_init.cpp
Owned init_fpga(Call& call, Ref self, Ref device_type, Ref disable_fw_check);

// file_check.cpp
Owned check_update_file(Call& call, Ref self, Ref image_path);

// signed_image.cpp
Owned check_file_header(Call& call, Ref self, Ref image_path);
// The device types a signed image is for, as a sorted list of ints.
Owned signed_image_device_types(const Module& module, Ref image_path);

// programming.cpp
Owned fpga_program_file(Call& call, Ref self, Ref image_path, Ref device_type);

// update.cpp
Owned set_progress_callback(Call& call, Ref self, Ref callback);
Owned process_fpga_update(Call& call, Ref self, Ref image_path, Ref device_type);

}  // namespace vornfpga
