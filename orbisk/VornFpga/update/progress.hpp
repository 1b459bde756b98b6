// Progress of one image run: the console line on sys.stdout and the tool's progress_callback.
// The console line is a courtesy: it is off while the tool's console_progress is false, and an
// error writing it turns it off for the rest of the run instead of ending the run.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "FpgaTool.hpp"
#include "update/outcome.hpp"

namespace vornfpga {

// Appends f"{value:.{precision}f}" for a precision of at most 4; both round the binary value exactly.
void append_fixed(std::string& out, double value, int precision);

class Progress {
public:
    // What the callback raises is noted in `outcome` on its way out.
    Progress(const Module& module, Ref tool, Outcome& outcome);

    // progress_callback(stage, current, total), read from the tool at every call and skipped while false.
    void notify(Ref stage, std::uint64_t current, std::uint64_t total);

    // The line "\rProgress: 48.48% (16/33 bytes), block time: 0.0001 sec", then notify().
    void report(Ref stage, std::uint64_t current, std::uint64_t total, double seconds);

    // The same, with the line drawn at most every 50 ms (`now`, monotonic seconds) and its
    // last state always by end_line(): with commands in flight, drawing each block would
    // cost more than the exchange itself.
    void report_throttled(Ref stage, std::uint64_t current, std::uint64_t total, double seconds, double now);

    // The line's last state if it is not drawn yet, then a line end.
    void end_line();

    // A line end after a line left open, for a run that ends by an exception; an
    // error writing it is ignored.
    void abandon_line() noexcept;

    Ref write_stage() const { return write_; }
    Ref verify_stage() const { return verify_; }

private:
    void print(Ref text);
    void draw(std::uint64_t current, std::uint64_t total, double seconds);

    const Module& module_;
    Ref tool_;
    Outcome& outcome_;
    Owned write_;
    Owned verify_;
    double drawn_at_ = -1e9;
    struct Line {
        std::uint64_t current, total;
        double seconds;
    };
    std::optional<Line> undrawn_;
    bool line_open_ = false;  // a line is drawn without its line end
    bool console_failed_ = false;
};

}  // namespace vornfpga
