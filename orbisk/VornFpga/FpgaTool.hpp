// orbisk.VornFpga: FpgaTool, the FPGA update tool of one device connection.
//
// Each operation of FpgaTool is a native function (interop/function.hpp): its
// body and its definition (qualified name, signature text, docstring) stand
// together in the file of its concern, and each file ends with its definitions
// in the file's order; module.cpp joins them in the order of the class body,
// which is the order of the stub (orbisk/VornFpga.pyi), the one list of them
// that tests hold the class to. This header declares what every operation
// needs; device_types.hpp holds the device types. Each concern has its folder:
//   module.cpp  import-time names, logging setup, constants, the classes
//   wire/       the device protocol: the data frame, the transport, the command
//               set, and the replies of commands in flight
//   image/      image files: reading them, the signed image, the file check
//   update/     the update itself: programming with its read-back, progress,
//               outcomes and their reason keys, the update and the read-back on
//               their own, initialisation, the firmware check, the lifecycle
#pragma once

#include <Python.h>

#include <cstddef>
#include <span>
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
    "_conn", "_owns_conn", "progress_callback", "pipeline_depth", "last_outcome", "console_progress",
    // attributes of UpdateOutcome, and the class; reason is FpgaConnectError's too
    "ok", "reason", "details", "message", "phase", "bytes_written", "device_state", "UpdateOutcome",
    // operations of the tool, called through the instance
    "_sendCmd", "_getRecv", "_fpgaCtrlInit", "_fpgaCfgMode", "_fpgaGetId", "_fpgaGetVersion", "_fpgaErase",
    "_fpgaRstPagePtr", "_fpgaProgram", "_fpgaRead", "_fpgaDone", "_fpgaRefresh", "_fpgaGetInfo", "_fpgaGetControlFwVer",
    "_checkUpdateFile", "_checkFileHeader", "_fpgaProgramFile", "deleteTempFile", "disconnect",
    // operations and attributes of the connection
    "last_error", "initConnection", "closeConnection", "sendCmd", "sendRawBytes", "recvRawBytes",
    // keyword arguments
    "log_print", "size", "isdecode", "image_path", "device_type", "data", "buffering", "extra", "timeout",
    // module-level names
    "logger", "FpgaConnectError", "RspType", "VER", "RetType", "RetCode", "_FPGA_FW_VER_MIN", "_FPGA_VER_MIN_DEV28", "_FPGA_VER_MIN_DEV32", "_DEVICE_WHITELIST",
    "Path", "open", "time", "hashlib", "hmac", "json", "struct",
    // the tool's own connection: from .VornCommService import _TCPConn, when it is made
    "VornCommService", "_TCPConn",
    // attributes of results and host enumerations
    "RetData", "RSP_LIST", "OK", "WARNING", "ERROR",
    // attributes of paths, files, text, dicts and sys.stdout
    "exists", "is_file", "stat", "st_size", "suffix", "lower", "read", "close", "strip", "decode", "get", "values",
    "write", "st_dev", "st_ino", "st_mtime_ns",
    // attributes of the standard modules and their objects
    "sha256", "update", "hexdigest", "digest", "compare_digest", "loads", "monotonic",
    // of a failed connection's error; limit: of a reply too long
    "errno", "gaierror", "limit", "sent",
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

}  // namespace vornfpga
