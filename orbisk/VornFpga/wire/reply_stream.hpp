// Commands kept in flight on the tool's connection: frames go out several at a
// time through _conn.sendRawBytes, and the replies are taken apart, in order,
// from the byte stream that _conn.recvRawBytes returns. Used by
// _fpgaProgramFile when pipeline_depth is above 1.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "FpgaTool.hpp"

namespace vornfpga {

inline constexpr long kMaxPipelineDepth = 1024;

// A pipeline_depth: an integer (a bool is none) from 1 to kMaxPipelineDepth, or else a
// TypeError or ValueError that names pipeline_depth.
long checked_pipeline_depth(Ref value);

// pipeline_depth of the tool, checked again: a subclass may define it otherwise; 1 when it has none.
std::size_t pipeline_depth(const Module& module, Ref tool);

// FpgaTool.pipeline_depth: a property that checks each value set, kept in the instance's
// __dict__ under its own name.
Owned pipeline_depth_property(Ref module);

class ReplyStream {
public:
    ReplyStream(const Module& module, Ref tool);

    // Sends the frames in one sendRawBytes call; `replies` of them are expected back.
    void send(std::string_view frames, std::size_t replies);

    std::size_t outstanding() const { return outstanding_; }

    // Whether the next reply line, or data block, has arrived whole.
    bool has_line() const;
    bool has_data_block() const;

    // The next reply line, without its line end; receives until it is whole. A line longer
    // than kMaxReplyLine raises a ConnectionError whose `limit` is that bound.
    std::string_view next_line();

    // The data of the next page read's reply (a data frame, then CR LF: decode_data_block);
    // receives until it is whole. Nothing when what arrived is not such a reply: the
    // stream can then not be followed further.
    std::optional<std::string_view> next_data_block();

    // Takes the replies still in flight and forgets them (lines, or data blocks).
    void drain_lines();
    void drain_data_blocks();

    // Monotonic time of the last receive.
    double received_at() const { return received_at_; }

    // Runs phase(); if it raises anything but a failure of the connection itself, the
    // replies still in flight are taken first, so that none is left for the tool's next
    // command. A failure of that draining does not hide the phase's own exception.
    template <class Phase, class Drain>
    auto run(Phase&& phase, Drain&& drain);

private:
    std::string_view unread() const { return std::string_view(buffer_).substr(start_); }
    void receive();
    [[noreturn]] void refuse_long_line();

    const Module& module_;
    Ref tool_;
    Owned monotonic_;
    std::string buffer_;
    std::size_t start_ = 0;
    std::size_t outstanding_ = 0;
    double received_at_ = 0;
    bool connection_failed_ = false;
};

template <class Phase, class Drain>
auto ReplyStream::run(Phase&& phase, Drain&& drain)
{
    try {
        return phase();
    } catch (...) {
        interop::set_error_from_cxx();
        if (connection_failed_ || outstanding_ == 0) interop::throw_error_set();
        Owned error = interop::fetch_error();
        // Best effort: an Exception while draining (the link is gone) is dropped, and the
        // phase's exception goes on; an interrupt while draining goes on instead, chained.
        interop::Caught dropped = interop::catch_exception([&] { interop::while_handling(error, drain); });
        interop::restore_error(std::move(error));
        interop::throw_error_set();
    }
}

}  // namespace vornfpga
