// orbisk.VornFpga: FpgaTool, the FPGA update tool of one device connection.
//
// Each operation of FpgaTool is a native function (interop/function.hpp): its
// body and its definition (qualified name, signature text, docstring) stand
// together in the file of its concern, and module.cpp lists the definitions in
// the order of the class body. Files by concern:
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
using interop::FunctionDef;
using interop::function_def;
using interop::Owned;
using interop::Ref;

// Every attribute, method, keyword and module-level name that the operations
// look up, interned once per module: the complete list of what a host, a
// subclass or a test can rebind or patch (and sys.stdout, see Progress::print).
// Import-time code names its own.
inline constexpr std::string_view kNames[] = {
    // attributes of the tool
    "_conn", "_owns_conn", "progress_callback", "pipeline_depth",
    // operations of the tool, called through the instance
    "_sendCmd", "_getRecv", "_fpgaCtrlInit", "_fpgaCfgMode", "_fpgaGetId", "_fpgaGetVersion", "_fpgaErase",
    "_fpgaRstPagePtr", "_fpgaProgram", "_fpgaRead", "_fpgaDone", "_fpgaRefresh", "_fpgaGetInfo", "_fpgaGetControlFwVer",
    "_checkUpdateFile", "_checkFileHeader", "_fpgaProgramFile", "deleteTempFile",
    // operations of the connection
    "initConnection", "closeConnection", "sendCmd", "sendRawBytes", "recvRawBytes",
    // keyword arguments
    "log_print", "size", "isdecode", "image_path", "device_type", "data", "buffering",
    // module-level names
    "logger", "RspType", "VER", "RetType", "RetCode", "_FPGA_FW_VER_MIN", "_FPGA_VER_MIN_DEV32", "_DEVICE_WHITELIST",
    "Path", "open", "time", "hashlib", "hmac", "json", "struct",
    // the tool's own connection: from .VornCommService import _TCPConn, when it is made
    "VornCommService", "_TCPConn",
    // attributes of results and host enumerations
    "RetData", "RSP_LIST", "OK", "WARNING", "ERROR",
    // attributes of paths, files, text, dicts and sys.stdout
    "exists", "is_file", "stat", "st_size", "suffix", "lower", "read", "close", "strip", "decode", "get", "values",
    "write",
    // attributes of the standard modules and their objects
    "sha256", "update", "hexdigest", "digest", "compare_digest", "loads", "monotonic",
    // logger methods; "error" is struct.error too
    "debug", "info", "warning", "error",
};

using Module = interop::ModuleView<kNames>;
using Name = Module::Name;

consteval Name operator""_n(const char* text, std::size_t size) { return Module::find({text, size}); }

// logger.<level>(message), through the module's logger as it is bound now.
void log(const Module& module, Name level, Ref message);

// RetType(RetCode.<code>, message) or RetType(RetCode.<code>, message, data), by position.
Owned ret_type(const Module& module, Name code, Ref message, Ref data = nullptr);

// device_type == value, for a device type the operation has made an int.
inline bool is_device_type(Ref device_type, long value)
{
    return interop::require(PyObject_RichCompareBool(device_type, interop::integer(value).get(), Py_EQ)) != 0;
}

// commands.cpp: the block write frame and its reply.

// Data travels in a frame: "#", the digit count d of its length N, N written
// with max(d, 2) digits, then the N bytes unchanged (CR and LF among them). A
// block write is "FPGA_PROGRAM " and such a frame; a page read is answered with
// one, followed by CR LF.

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

// signed_image.cpp: the device types a signed image is for, as a sorted list of ints.
Owned signed_image_device_types(const Module& module, Ref image_path);

}  // namespace vornfpga
