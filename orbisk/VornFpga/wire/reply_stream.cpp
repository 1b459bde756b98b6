#include "wire/reply_stream.hpp"

#include "wire/protocol.hpp"

#include <algorithm>

namespace vornfpga {

namespace {

// Bytes asked of the connection per receive: a whole window of replies at once.
constexpr Py_ssize_t kReceiveSize = 64 * 1024;

}  // namespace

long checked_pipeline_depth(Ref value)
{
    if (PyBool_Check(value) || !PyIndex_Check(value.get()))
        interop::raise_format(PyExc_TypeError, "pipeline_depth must be an int, not %s", interop::type_name(value));
    Owned number = interop::checked(PyNumber_Index(value));
    int overflow = 0;
    long depth = interop::require_value(PyLong_AsLongAndOverflow(number, &overflow));
    if (overflow != 0 || depth < 1 || depth > kMaxPipelineDepth)
        interop::raise_format(PyExc_ValueError, "pipeline_depth must be from 1 to %ld, not %S", kMaxPipelineDepth,
                              number.get());
    return depth;
}

std::size_t pipeline_depth(const Module& module, Ref tool)
{
    Owned depth = interop::find_attr(tool, module.name("pipeline_depth"_n));
    if (!depth) return 1;
    return static_cast<std::size_t>(checked_pipeline_depth(depth));
}

namespace {

// The value lives in the instance's __dict__ as it did before the property: vars(tool) and
// copies of a tool still hold it.
Owned instance_dict(Ref tool) { return interop::checked(PyObject_GenericGetDict(tool, nullptr)); }

Owned get_pipeline_depth(Call& call, Ref self)
{
    Module module(call);
    Owned dict = instance_dict(self);
    Ref depth = interop::lookup(dict, module.name("pipeline_depth"_n));
    return depth ? Owned::ref(depth) : interop::integer(1);
}
constexpr FunctionDef get_pipeline_depth_def =
    function_def<get_pipeline_depth>("FpgaTool.pipeline_depth", "(self)", nullptr);

Owned set_pipeline_depth(Call& call, Ref self, Ref value)
{
    Module module(call);
    Owned depth = interop::integer(checked_pipeline_depth(value));
    Owned dict = instance_dict(self);
    interop::require(PyDict_SetItem(dict, module.name("pipeline_depth"_n), depth));
    return interop::none();
}
constexpr FunctionDef set_pipeline_depth_def =
    function_def<set_pipeline_depth>("FpgaTool.pipeline_depth", "(self, value)", nullptr);

// del tool.pipeline_depth: the default applies again.
Owned delete_pipeline_depth(Call& call, Ref self)
{
    Module module(call);
    Owned dict = instance_dict(self);
    Ref name = module.name("pipeline_depth"_n);
    if (interop::lookup(dict, name)) interop::require(PyDict_DelItem(dict, name));
    return interop::none();
}
constexpr FunctionDef delete_pipeline_depth_def =
    function_def<delete_pipeline_depth>("FpgaTool.pipeline_depth", "(self)", nullptr);

constexpr const char* kPipelineDepthDoc =
    "Commands an update keeps in flight: an int from 1 to 1024, 1 (one exchange at a time) unless set.";

}  // namespace

Owned pipeline_depth_property(Ref module)
{
    Owned property = interop::global(module, interop::interned("property"));
    return interop::call(property, interop::make_function(module, get_pipeline_depth_def),
                         interop::make_function(module, set_pipeline_depth_def),
                         interop::make_function(module, delete_pipeline_depth_def), interop::text(kPipelineDepthDoc));
}

ReplyStream::ReplyStream(const Module& module, Ref tool)
    : module_(module), tool_(tool), monotonic_(module.attr(module.global("time"_n), "monotonic"_n))
{
}

void ReplyStream::send(std::string_view frames, std::size_t replies)
{
    Owned data = interop::bytes(frames);
    Owned connection = module_.attr(tool_, "_conn"_n);
    try {
        module_.call_method(connection, "sendRawBytes"_n, data);
    } catch (const interop::PyErrorSet&) {
        connection_failed_ = PyErr_ExceptionMatches(PyExc_OSError);
        throw;
    }
    outstanding_ += replies;
}

bool ReplyStream::has_line() const { return unread().find('\n') != std::string_view::npos; }

bool ReplyStream::has_data_block() const
{
    std::size_t header = 0, length = 0;
    return decode_data_block(unread(), header, length) != DataBlock::incomplete;
}

std::string_view ReplyStream::next_line()
{
    std::size_t end;
    while ((end = unread().find('\n')) == std::string_view::npos) {
        if (unread().size() > kMaxReplyLine) refuse_long_line();
        receive();
    }
    if (end > kMaxReplyLine) refuse_long_line();
    std::string_view line = unread().substr(0, end);
    start_ += end + 1;
    --outstanding_;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return line;
}

std::optional<std::string_view> ReplyStream::next_data_block()
{
    std::size_t header = 0, length = 0;
    DataBlock frame;
    while ((frame = decode_data_block(unread(), header, length)) == DataBlock::incomplete) receive();
    --outstanding_;
    if (frame == DataBlock::malformed) return std::nullopt;
    std::string_view data = unread().substr(header, length);
    start_ += header + length + 2;
    return data;
}

void ReplyStream::drain_lines()
{
    while (outstanding_ > 0) next_line();
}

void ReplyStream::drain_data_blocks()
{
    while (outstanding_ > 0)
        if (!next_data_block()) return;  // the stream cannot be followed past it
}

// As the host connection's ReplyTooLong: a ConnectionError with the limit as `limit`.
void ReplyStream::refuse_long_line()
{
    connection_failed_ = true;  // the replies after it cannot be told apart: nothing to drain
    Owned error = interop::call(PyExc_ConnectionError,
                                interop::format("the device sent a reply longer than %zu bytes", kMaxReplyLine));
    module_.set_attr(error, "limit"_n, interop::checked(PyLong_FromSize_t(kMaxReplyLine)));
    interop::raise(PyExc_ConnectionError, error);
}

void ReplyStream::receive()
{
    if (start_ > 0 && start_ * 2 >= buffer_.size()) {
        buffer_.erase(0, start_);
        start_ = 0;
    }
    Owned connection = module_.attr(tool_, "_conn"_n);
    Owned data;
    try {
        data = module_.call_method(connection, "recvRawBytes"_n, interop::integer(kReceiveSize));
    } catch (const interop::PyErrorSet&) {
        connection_failed_ = PyErr_ExceptionMatches(PyExc_OSError);
        throw;
    }
    received_at_ = interop::require_value(PyFloat_AsDouble(interop::call(monotonic_).get()));
    interop::Buffer bytes(data);
    if (bytes.bytes().empty()) {
        connection_failed_ = true;
        interop::raise_format(PyExc_ConnectionError, "the connection returned no data while %zu replies were due",
                              outstanding_);
    }
    buffer_.append(bytes.bytes());
}

}  // namespace vornfpga
