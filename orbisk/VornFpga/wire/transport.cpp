// Command transport: a command line is the command's bytes and CR LF. Its reply
// comes either from the connection's managed reply (sendCmd) or, for the
// read-back, from a raw receive with a 4-byte head and a 2-byte tail cut off; a
// data block that arrives in pieces is received whole first.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "operations.hpp"
#include "wire/protocol.hpp"

namespace vornfpga {

namespace {

Owned line_of(std::string_view command)
{
    Owned line = interop::checked(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(command.size()) + 2));
    char* out = PyBytes_AS_STRING(line.get());
    std::memcpy(out, command.data(), command.size());
    std::memcpy(out + command.size(), "\r\n", 2);
    return line;
}

// cmd (str as UTF-8, or any bytes-like object) followed by CR LF, in one allocation.
Owned command_line(const Call& call, interop::Arg cmd)
{
    if (PyUnicode_Check(cmd)) {
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(cmd, &size);
        if (utf8 == nullptr) interop::throw_error_set();
        return line_of({utf8, static_cast<std::size_t>(size)});
    }
    if (!PyObject_CheckBuffer(cmd)) interop::raise_bad_argument(call, cmd, "str or a bytes-like object");
    interop::Buffer command(cmd);
    return line_of(command.bytes());
}

// data[4:-2]: the frame's head and the CR LF after it, cut at fixed places.
Owned cut_frame(Ref data)
{
    constexpr auto head = static_cast<Py_ssize_t>(kRawFrameHead);
    constexpr auto tail = static_cast<Py_ssize_t>(kRawFrameTail);
    if (PyBytes_Check(data)) {
        Py_ssize_t size = PyBytes_GET_SIZE(data.get());
        if (size <= head + tail) return interop::bytes("");
        return interop::checked(PyBytes_FromStringAndSize(PyBytes_AS_STRING(data.get()) + head, size - head - tail));
    }
    Owned slice = interop::checked(PySlice_New(interop::integer(head).get(), interop::integer(-tail).get(), nullptr));
    return interop::checked(PyObject_GetItem(data, slice));
}

// At most this many bytes per receive, as `size` asks; any number when it is no int.
std::size_t receive_limit(Ref size)
{
    if (!PyLong_Check(size.get())) return SIZE_MAX;
    int overflow = 0;
    long long value = interop::require_value(PyLong_AsLongLongAndOverflow(size, &overflow));
    if (overflow > 0) return SIZE_MAX;
    return value < 1 ? 1 : static_cast<std::size_t>(value);
}

// The received bytes, and, when they are the start of a data block, the rest of it: a device
// may send a page in several pieces. Each further receive asks for what the block still lacks
// (at most `size`), so nothing of a later reply is taken; decode_data_block bounds the whole.
Owned whole_data_block(const Module& module, Ref self, Ref size, Owned received)
{
    std::size_t head = 0, length = 0;
    auto incomplete = [&](std::string_view data) {
        return !data.empty() && decode_data_block(data, head, length) == DataBlock::incomplete;
    };
    std::string gathered;
    if (PyBytes_Check(received.get())) {  // as a connection returns it: no buffer view to take
        std::string_view first(PyBytes_AS_STRING(received.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(received.get())));
        if (!incomplete(first)) return received;
        gathered = first;
    } else {
        if (!PyObject_CheckBuffer(received)) return received;
        interop::Buffer first(received);
        if (!incomplete(first.bytes())) return received;
        gathered = first.bytes();
    }
    const std::size_t limit = receive_limit(size);
    do {
        auto wanted = static_cast<long long>(std::min(data_block_missing(gathered), limit));
        Owned more = module.call_method(module.attr(self, "_conn"_n), "recvRawBytes"_n, interop::integer(wanted));
        interop::Buffer piece(more);
        if (piece.bytes().empty())
            interop::raise(PyExc_ConnectionError, "the connection returned no data in the middle of a reply");
        gathered += piece.bytes();
    } while (incomplete(gathered));
    return interop::bytes(gathered);
}

}  // namespace

Owned get_recv(Call& call, Ref self, Ref log_print, Ref size, Ref isdecode)
{
    Module module(call);
    Owned received = module.call_method(module.attr(self, "_conn"_n), "recvRawBytes"_n, size);
    Owned data;
    if (interop::truthy(isdecode)) {
        data = PyBytes_Check(received.get())
                   ? interop::checked(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(received.get()),
                                                           PyBytes_GET_SIZE(received.get()), "strict"))
                   : module.call_method(received, "decode"_n, interop::text("utf-8"));
    } else {
        data = cut_frame(whole_data_block(module, self, size, std::move(received)));
    }
    if (interop::truthy(log_print)) log(module, "debug"_n, interop::format("Received data: %S", data.get()));
    return data;
}
constexpr FunctionDef get_recv_def = function_def<get_recv>(
    "FpgaTool._getRecv", "(self, log_print=False, size=" VORNFPGA_RECV_SIZE ", isdecode=True)", "Receive data from the FPGA.");

Owned send_cmd(Call& call, Ref self, interop::Arg cmd, Ref log_print, Ref size, Ref isdecode)
{
    Module module(call);
    Owned line = command_line(call, cmd);
    if (interop::truthy(isdecode)) {
        Owned reply_kind = module.attr(module.global("RspType"_n), "RSP_LIST"_n);
        Owned result = module.call_method(module.attr(self, "_conn"_n), "sendCmd"_n, line, reply_kind);
        Owned reply = module.attr(result, "RetData"_n);
        return interop::truthy(reply) ? reply : interop::text("");
    }
    module.call_method(module.attr(self, "_conn"_n), "sendRawBytes"_n, line);
    return module.call_method(self, "_getRecv"_n, {},
                              {
                                  {module.name("log_print"_n), log_print},
                                  {module.name("size"_n), size},
                                  {module.name("isdecode"_n), Py_False},
                              });
}
constexpr FunctionDef send_cmd_def = function_def<send_cmd>(
    "FpgaTool._sendCmd", "(self, cmd, log_print=False, size=" VORNFPGA_RECV_SIZE ", isdecode=True)",
    "Send a command to the FPGA and receive the response.");

constexpr FunctionDef kOperations[] = {
    get_recv_def, send_cmd_def,
};
const std::span<const FunctionDef> transport_operations{kOperations};

}  // namespace vornfpga
