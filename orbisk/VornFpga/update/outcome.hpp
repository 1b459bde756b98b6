// How a call of processFpgaUpdate, _checkUpdateFile or _checkFileHeader ended, as
// data: the tool's last_outcome, an UpdateOutcome. Each refusal or failure is
// recorded where it happens, with a stable reason key and its details, and the
// line the module logs for it carries the same two as record attributes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string_view>
#include <utility>

#include "FpgaTool.hpp"
#include "update/reasons.hpp"

namespace vornfpga {

// Where a call ends, and what the device is left holding: the words of UpdateOutcome's phase and
// device_state, which the module also exports as _PHASES and _DEVICE_STATES.
namespace phase {
inline constexpr const char* check = "check";  // before any device command
inline constexpr const char* erase = "erase";
inline constexpr const char* write = "write";
inline constexpr const char* verify = "verify";  // the read-back
inline constexpr const char* load = "load";  // FPGA_DONE and FPGA_REFRESH
inline constexpr const char* version = "version";  // reading the new version
inline constexpr const char* done = "done";
inline constexpr const char* all[] = {check, erase, write, verify, load, version, done};
}  // namespace phase

namespace state {
inline constexpr const char* untouched = "untouched";
inline constexpr const char* erased = "erased";
inline constexpr const char* written = "written";
inline constexpr const char* loaded = "loaded";
inline constexpr const char* all[] = {untouched, erased, written, loaded};
}  // namespace state

// Whether a phase or state is the named one. By text, never by address: each translation unit may
// hold its own copy of a string literal (an AddressSanitizer build does).
inline bool same_word(const char* word, const char* named) { return std::string_view(word) == named; }

struct Outcome {
    bool ok = false;
    Owned reason;   // str; empty while nothing failed
    Owned details;  // dict; empty for {}
    Owned message;  // str; empty for ""
    const char* phase = phase::check;
    std::uint64_t bytes_written = 0;
    // state::written: the image whole in memory, its load not confirmed; state::loaded: done and
    // refresh answered, and the version read after them the one expected
    const char* device_state = state::untouched;
    std::size_t pipeline_depth = 0;
    // The exception the progress callback raised, while it may be on its way out.
    Owned callback_error;
    // The image file's identity (see file_identity) when its checks began; empty before.
    Owned image_identity;
    // The version a signed image's header names, which the device must report once it loaded
    // the image; empty for a raw image or a header that names none.
    Owned expected_version;
    // Whether the tool's own _fpgaProgramFile ran for this update.
    bool programming_ran = false;

    // Records a refusal or failure; the first one recorded stands.
    void fail(Reason reason_key, Owned reason_details = {});

    // Whether the reason recorded is `reason_key`.
    bool failed_with(Reason reason_key) const;

    // Logs the message at `level` with extra={"reason": ..., "details": ...} of this outcome.
    void log(const Module& module, Name level, Ref message) const;
};

// {"key": value, ...}
Owned fields(std::initializer_list<std::pair<const char*, Ref>> items);

// The Outcome of the processFpgaUpdate running for `tool` in this thread, if any:
// _fpgaProgramFile reports its progress there.
Outcome* active_outcome(Ref tool);

// Makes `outcome` the active one for `tool` while it lives.
class ActiveOutcome {
public:
    ActiveOutcome(Ref tool, Outcome& outcome);
    ~ActiveOutcome();
    ActiveOutcome(const ActiveOutcome&) = delete;
    ActiveOutcome& operator=(const ActiveOutcome&) = delete;

    Ref tool;
    Outcome& outcome;
    ActiveOutcome* previous;
};

// Runs body() and then sets tool.last_outcome from `outcome`, also when body()
// raises: the outcome then names the exception, which goes on unchanged.
Owned record_outcome(const Module& module, Ref tool, Outcome& outcome, const std::function<Owned()>& body);

// After a check returned false: the reason it recorded in the tool's last_outcome
// (an UpdateOutcome other than `before`), or else the generic `reason_key`; an
// overridden check may record none.
void adopt_reason(const Module& module, Ref tool, Ref before, Outcome& outcome, Reason reason_key);

// The tool's last_outcome as it is now; empty if it has none.
Owned last_outcome(const Module& module, Ref tool);

// Binds the class UpdateOutcome in the module.
void define_update_outcome(Ref module);

}  // namespace vornfpga
