// _fpgaProgramFile: erase, write the image in 16-byte blocks, read it all back
// page by page, compare the SHA-256 digests of both directions, then done and
// refresh. An image whose read-back differs is never loaded: neither done nor
// refresh is sent, and the log names the first byte that differs.
// verify_image_on_device: the same read-back alone, for verifyFpgaImage.
#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "device_types.hpp"
#include "image/image_file.hpp"
#include "operations.hpp"
#include "update/outcome.hpp"
#include "update/programming.hpp"
#include "update/progress.hpp"
#include "wire/protocol.hpp"
#include "wire/reply_stream.hpp"

namespace vornfpga {

namespace {

constexpr std::size_t kBlockSize = 16;
// A block the device keeps refusing is not sent for ever: after this many
// attempts the run stops without loading the half-written image.
constexpr int kMaxBlockAttempts = 10;

// Reading a raw image again for the comparison, in chunks of this size.
constexpr std::size_t kCompareChunk = 64 * 1024;

// Compares the read-back, as it arrives, with the image taken again piece by
// piece (the signed image's buffer, or the raw file read again), so that no
// second copy of the image is held.
class ReadBackComparison {
public:
    // next_piece() gives the next bytes of the image, empty at its end.
    explicit ReadBackComparison(std::function<std::string_view()> next_piece) : next_piece_(std::move(next_piece)) {}

    void compare(std::string_view read_back)
    {
        while (!read_back.empty() && !difference_) {
            if (piece_.empty()) piece_ = next_piece_();
            if (piece_.empty()) {  // the image file is shorter now than when it was written
                difference_ = compared_;
                return;
            }
            std::size_t size = std::min(read_back.size(), piece_.size());
            auto [left, right] = std::mismatch(read_back.begin(), read_back.begin() + size, piece_.begin());
            if (left != read_back.begin() + size) {
                difference_ = compared_ + static_cast<std::uint64_t>(left - read_back.begin());
                return;
            }
            compared_ += size;
            read_back.remove_prefix(size);
            piece_.remove_prefix(size);
        }
    }

    // The offset of the first byte of the image that the read-back did not match;
    // where the read-back ended early, the offset where it ended.
    std::optional<std::uint64_t> first_difference(std::uint64_t image_size) const
    {
        if (!difference_ && compared_ < image_size) return compared_;
        return difference_;
    }

private:
    std::function<std::string_view()> next_piece_;
    std::string_view piece_;
    std::uint64_t compared_ = 0;
    std::optional<std::uint64_t> difference_;
};

// The blocks of an image held in memory, at most `block_size` bytes each.
class ViewBlocks {
public:
    ViewBlocks(std::string_view image, std::size_t block_size) : rest_(image), block_size_(block_size) {}

    std::string_view next()
    {
        std::string_view block = rest_.substr(0, block_size_);
        rest_.remove_prefix(block.size());
        return block;
    }

private:
    std::string_view rest_;
    std::size_t block_size_;
};

class ProgrammingRun {
public:
    ProgrammingRun(const Module& module, Ref tool, Ref image_path, std::uint64_t file_size, Outcome& outcome)
        : module_(module),
          outcome_(outcome),
          tool_(tool),
          image_path_(image_path),
          is_signed_(is_suffix(lower_suffix(module, image_path), ".tbin")),
          progress_(module, tool, outcome),
          monotonic_(module.attr(module.global("time"_n), "monotonic"_n)),
          file_size_(file_size),
          identity_(outcome.image_identity ? Owned::ref(outcome.image_identity.get()) : file_identity(module, image_path))
    {
        start_time_ = now();
    }

    // Erase, page pointer, and the first progress report, which carries the image's size: a
    // signed image is read before the erase, so that one that cannot be read leaves the device as it was.
    // False, with nothing sent, when the image file is no longer the one that was checked.
    bool prepare(Ref device_type)
    {
        if (is_signed_ && !signed_file_) {
            outcome_.phase = phase::check;  // an error reading the file is the file's, the device untouched
            load_signed_image();
        }
        if (!image_as_checked()) {
            if (same_word(outcome_.device_state, state::untouched)) outcome_.phase = phase::check;
            return false;
        }
        sent_ = 0;
        outcome_.bytes_written = 0;
        outcome_.phase = phase::erase;
        write_hash_ = new_hasher();
        write_update_ = module_.attr(write_hash_, "update"_n);
        if (const DeviceType* type = find_device_type(device_type)) {
            outcome_.device_state = state::erased;
            try {
                module_.call_method(tool_, "_fpgaErase"_n, interop::bytes(type->erase_bits));
            } catch (const interop::PyErrorSet&) {
                if (nothing_sent()) outcome_.device_state = state::untouched;
                throw;
            }
        } else if (!warned_no_erase_) {
            // Such a device may erase by itself; a library user should still hear of it.
            warned_no_erase_ = true;
            log(module_, "warning"_n,
                interop::format("FPGA device type %S has no erase command; the image is written over the "
                                "configuration memory as it is",
                                device_type.get()));
        }
        reset_page_pointer();
        progress_.notify(progress_.write_stage(), 0, file_size_);
        return true;
    }

    // Whether the exception being raised says that nothing reached the device: a connection
    // tells so with an attribute `sent` that is false (one closed before the erase, say); any
    // other exception may have come after the command was sent.
    bool nothing_sent() const
    {
        Owned error = interop::fetch_error();
        Owned sent = interop::find_attr(error, module_.name("sent"_n));
        bool none = sent && PyBool_Check(sent.get()) && sent.get() == Py_False;
        interop::restore_error(std::move(error));
        return none;
    }

    // Ends a progress line left open by a run that ends by an exception.
    void abandon_line() noexcept { progress_.abandon_line(); }

    enum class Written { whole, refused, refused_in_window, image_changed };

    // Write phase: one block write at a time at depth 1, or up to `depth` in flight.
    Written write(std::size_t depth)
    {
        outcome_.phase = phase::write;
        outcome_.device_state = state::erased;
        outcome_.pipeline_depth = depth;
        Written written = with_image<Written>(kBlockSize, [&](auto& blocks) {
            return depth == 1 ? write_each(blocks) : write_in_window(blocks, depth);
        });
        if (written == Written::whole && !raw_image_as_checked()) return Written::image_changed;
        return written;
    }

    // Read-back, compared with the image as the pages arrive; then the verdict, and done
    // and refresh only for a verified image.
    bool verify_and_finish(std::size_t depth)
    {
        return with_image<bool>(kCompareChunk, [&](auto& image) {
            ReadBackComparison comparison([&] { return image.next(); });
            return verify_and_finish(comparison, depth);
        });
    }

    // Read-only: the configuration memory read back for the image's length (the bytes an
    // update would write) and compared with the image; nothing is erased, written or loaded.
    // The offset of the first byte that differs, or nothing when the device holds the image.
    std::optional<std::uint64_t> verify_only(std::size_t depth)
    {
        if (is_signed_ && !signed_file_) {
            outcome_.phase = phase::check;
            load_signed_image();
        }
        if (!image_as_checked()) return std::nullopt;
        sent_ = file_size_;
        std::optional<std::uint64_t> difference =
            with_image<std::optional<std::uint64_t>>(kCompareChunk, [&](auto& image) {
                ReadBackComparison comparison([&] { return image.next(); });
                outcome_.phase = phase::verify;
                progress_.notify(progress_.verify_stage(), 0, sent_);
                read_back(comparison, depth);
                return comparison.first_difference(sent_);
            });
        raw_image_as_checked();
        return difference;
    }

private:
    bool verify_and_finish(ReadBackComparison& comparison, std::size_t depth)
    {
        outcome_.phase = phase::verify;
        progress_.end_line();
        Owned write_digest = module_.call_method(write_hash_, "hexdigest"_n);
        log(module_, "debug"_n, interop::format("w hash: %U", write_digest.get()));
        log(module_, "info"_n, interop::text("Verify Data"));
        progress_.notify(progress_.verify_stage(), 0, sent_);

        read_back(comparison, depth);
        if (!raw_image_as_checked()) {
            log_total_time();
            return false;
        }
        Owned read_digest = module_.call_method(read_hash_, "hexdigest"_n);
        log(module_, "debug"_n, interop::format("r hash: %U", read_digest.get()));

        bool verified = interop::require(PyObject_RichCompareBool(write_digest, read_digest, Py_EQ)) != 0;
        if (verified) {
            log(module_, "info"_n, interop::text("Verify Success"));
            // The memory holds the image whole; processFpgaUpdate confirms the load by the version.
            outcome_.phase = phase::load;
            outcome_.device_state = state::written;
            module_.call_method(tool_, "_fpgaDone"_n);
            module_.call_method(tool_, "_fpgaRefresh"_n);
        } else {
            log_verify_failure(comparison.first_difference(sent_));
        }
        log_total_time();
        return verified;
    }

    // Page pointer, then `sent_` bytes read back (at `depth`) into the comparison and the read hash.
    void read_back(ReadBackComparison& comparison, std::size_t depth)
    {
        read_hash_ = new_hasher();
        read_hashed_ = 0;
        reset_page_pointer();
        if (depth == 1)
            read_each(comparison);
        else
            read_in_window(comparison, depth);
        progress_.end_line();
        flush_read_hash();
    }

    // Runs use(blocks) over the image in pieces of at most `size` bytes: the signed image's
    // region in memory, or the raw file, opened unbuffered and closed on every path.
    template <class Result, class Use>
    Result with_image(std::size_t size, Use&& use)
    {
        if (is_signed_) {
            ViewBlocks blocks(signed_image_, size);
            return use(blocks);
        }
        return with_open_file(module_, image_path_, Buffering::none, [&](Ref file) {
            BlockReader blocks(module_, file, size);
            return use(blocks);
        });
    }

    // Whether the image file is still the file that was checked (as the identity taken then
    // says), so that what is written, compared and loaded is what was checked; when not,
    // records image_changed. A signed image is checked once its bytes are in memory.
    bool image_as_checked(bool read_whole = true)
    {
        if (read_whole && identity_ && same_file_identity(module_, image_path_, identity_)) return true;
        progress_.end_line();
        outcome_.fail(Reason::image_changed);
        outcome_.log(module_, "error"_n,
                     interop::text("FPGA image file changed after it was checked"));
        return false;
    }

    // The same for a raw image, which is read again for each pass, with the bytes written
    // counted too (a file cut short while it is read).
    bool raw_image_as_checked() { return is_signed_ || image_as_checked(sent_ == file_size_); }

    void load_signed_image()
    {
        signed_file_.emplace(read_whole_file(module_, image_path_));
        std::string_view file = signed_file_->bytes();
        SignedLayout layout = decode_signed_layout(module_, file);
        signed_image_ = file_region(file, layout.image_start_addr, layout.image_length);
        file_size_ = signed_image_.size();
    }

    // ---- one exchange at a time, through the tool's own _fpgaProgram and _fpgaRead

    template <class Blocks>
    Written write_each(Blocks& blocks)
    {
        for (std::string_view chunk = blocks.next(); !chunk.empty(); chunk = blocks.next()) {
            Owned block = interop::bytes(chunk);
            interop::call(write_update_, block);
            if (!program_block(block)) return Written::refused;
        }
        return Written::whole;
    }

    // Sends one block until the device acknowledges it; false when it refused every attempt.
    bool program_block(Ref block)
    {
        double block_start = 0;
        double block_end = 0;
        for (int attempt = 1;; ++attempt) {
            block_start = now();
            Owned accepted = module_.call_method(tool_, "_fpgaProgram"_n, block);
            block_end = now();
            if (interop::truthy(accepted)) break;
            if (attempt == kMaxBlockAttempts) {
                progress_.end_line();
                outcome_.fail(Reason::block_refused, fields({{"offset", offset(sent_)}, {"attempts", interop::integer(attempt)}}));
                outcome_.log(module_, "error"_n, interop::format("FPGA block at byte offset %llu refused %d times; programming stopped",
                                                       static_cast<unsigned long long>(sent_), attempt));
                return false;
            }
        }
        sent_ += static_cast<std::uint64_t>(PyBytes_GET_SIZE(block.get()));
        outcome_.bytes_written = sent_;
        progress_.report(progress_.write_stage(), sent_, file_size_, block_end - block_start);
        return true;
    }

    void read_each(ReadBackComparison& comparison)
    {
        for (std::uint64_t read = kBlockSize; read < sent_ + kBlockSize; read += kBlockSize) {
            double page_start = now();
            Owned page = module_.call_method(tool_, "_fpgaRead"_n);
            double page_end = now();
            progress_.report(progress_.verify_stage(), std::min(read, sent_), sent_, page_end - page_start);
            interop::Buffer page_bytes(page);
            take_page(comparison, page_bytes.bytes());
        }
    }

    // ---- up to `depth` commands in flight, straight on the connection

    // A refusal leaves the blocks sent after it at unknown places (a block carries no
    // address): the replies in flight are taken, and the caller writes again from the erase.
    template <class Blocks>
    Written write_in_window(Blocks& blocks, std::size_t depth)
    {
        struct InFlight {
            std::size_t length;
            double sent_at;
        };
        ReplyStream stream(module_, tool_);
        std::deque<InFlight> in_flight;
        std::string frames;
        std::string hashed;
        bool more = true;
        auto top_up = [&] {
            double sent_at = now();
            std::size_t count = 0;
            for (; more && in_flight.size() < depth; ++count) {
                std::string_view block = blocks.next();
                if (block.empty()) {
                    more = false;
                    break;
                }
                append_program_line(frames, block);
                hashed.append(block);
                in_flight.push_back({block.size(), sent_at});
            }
            if (count == 0) return;
            interop::call(write_update_, interop::bytes(hashed));
            stream.send(frames, count);
            frames.clear();
            hashed.clear();
        };
        return stream.run(
            [&] {
                for (;;) {
                    // A line waiting with nothing in flight answers no block: it is taken for the next one.
                    if (in_flight.empty() || !stream.has_line()) top_up();
                    if (in_flight.empty()) break;
                    bool accepted = is_acknowledgement(module_, stream.next_line());
                    InFlight block = in_flight.front();
                    in_flight.pop_front();
                    if (!accepted) {
                        progress_.end_line();
                        log(module_, "warning"_n,
                            interop::format("FPGA block at byte offset %llu refused with %zu blocks in flight; writing "
                                            "the image again from the erase, one block at a time",
                                            static_cast<unsigned long long>(sent_), depth));
                        stream.drain_lines();
                        return Written::refused_in_window;
                    }
                    sent_ += block.length;
                    outcome_.bytes_written = sent_;
                    progress_.report_throttled(progress_.write_stage(), sent_, file_size_,
                                               stream.received_at() - block.sent_at, stream.received_at());
                }
                return Written::whole;
            },
            [&] { stream.drain_lines(); });
    }

    void read_in_window(ReadBackComparison& comparison, std::size_t depth)
    {
        ReplyStream stream(module_, tool_);
        const std::uint64_t pages = (sent_ + kBlockSize - 1) / kBlockSize;
        std::uint64_t requested = 0;
        std::deque<double> asked_at;
        std::string frames;
        auto top_up = [&] {
            std::uint64_t count = std::min<std::uint64_t>(depth - stream.outstanding(), pages - requested);
            if (count == 0) return;
            frames.clear();
            for (std::uint64_t index = 0; index < count; ++index) frames += "FPGA_READ\r\n";
            asked_at.insert(asked_at.end(), count, now());
            stream.send(frames, count);
            requested += count;
        };
        stream.run(
            [&] {
                for (std::uint64_t read = kBlockSize; read < sent_ + kBlockSize; read += kBlockSize) {
                    if (stream.outstanding() == 0 || !stream.has_data_block()) top_up();
                    std::optional<std::string_view> page = stream.next_data_block();
                    if (!page) {
                        progress_.end_line();
                        outcome_.fail(Reason::readback_not_data, fields({{"offset", offset(read - kBlockSize)}}));
                        outcome_.log(module_, "error"_n, interop::text("FPGA read-back reply is not a data block; "
                                                                       "the read-back stops there"));
                        return;
                    }
                    double seconds = stream.received_at() - asked_at.front();
                    asked_at.pop_front();
                    // The page is valid until the stream receives again.
                    progress_.report_throttled(progress_.verify_stage(), std::min(read, sent_), sent_, seconds,
                                               stream.received_at());
                    take_page(comparison, *page);
                }
            },
            [&] { stream.drain_data_blocks(); });
    }

    // ---- both depths

    // Only the bytes written are compared and hashed: a device may pad the last page.
    void take_page(ReadBackComparison& comparison, std::string_view page)
    {
        std::string_view written = page.substr(0, static_cast<std::size_t>(std::min<std::uint64_t>(page.size(), sent_ - read_hashed_)));
        read_hashed_ += written.size();
        comparison.compare(written);
        read_pending_.append(written);
        if (read_pending_.size() >= kCompareChunk) flush_read_hash();
    }

    void flush_read_hash()
    {
        if (read_pending_.empty()) return;
        interop::call(module_.attr(read_hash_, "update"_n), interop::bytes(read_pending_));
        read_pending_.clear();
    }

    // "Verify Failed" and where the read-back differs, both with the run's first failure.
    void log_verify_failure(std::optional<std::uint64_t> difference)
    {
        if (difference)
            outcome_.fail(Reason::readback_mismatch, fields({{"offset", offset(*difference)}}));
        else
            outcome_.fail(Reason::image_changed);
        outcome_.log(module_, "error"_n, interop::text("Verify Failed"));
        if (difference)
            outcome_.log(module_, "error"_n, interop::format("FPGA read-back differs from the image at byte offset %llu",
                                                            static_cast<unsigned long long>(*difference)));
        else
            outcome_.log(module_, "error"_n, interop::text("FPGA read-back differs from the image as written; "
                                                           "the image file changed during the update"));
    }

    static Owned offset(std::uint64_t value) { return interop::checked(PyLong_FromUnsignedLongLong(value)); }

    double now() const
    {
        Owned seconds = interop::call(monotonic_);
        return interop::require_value(PyFloat_AsDouble(seconds));
    }

    Owned new_hasher() const { return module_.call_method(module_.global("hashlib"_n), "sha256"_n); }

    void reset_page_pointer() { module_.call_method(tool_, "_fpgaRstPagePtr"_n, interop::bytes("CFG")); }

    void log_total_time()
    {
        std::string line = "FPGA program file finished. Total time: ";
        append_fixed(line, now() - start_time_, 4);
        log(module_, "info"_n, interop::text(line + " sec"));
    }

    const Module& module_;
    Outcome& outcome_;
    Ref tool_;
    Ref image_path_;
    bool is_signed_;
    Progress progress_;
    Owned monotonic_;
    std::uint64_t file_size_;
    Owned identity_;  // the image file's, when it was checked
    std::uint64_t sent_ = 0;
    bool warned_no_erase_ = false;
    double start_time_ = 0;
    Owned write_hash_;
    Owned write_update_;
    Owned read_hash_;
    std::uint64_t read_hashed_ = 0;
    std::string read_pending_;  // read-back bytes not yet given to the hash
    std::optional<interop::Buffer> signed_file_;  // holds the signed image's bytes for the run
    std::string_view signed_image_;
};

}  // namespace

Owned fpga_program_file(Call& call, Ref self, interop::Arg image_path, interop::Arg device_type)
{
    Module module(call);
    interop::require_text(call, image_path);
    Owned type = interop::int_from_integer(call, device_type);

    // Called by processFpgaUpdate, the run records its progress in that update's outcome.
    Outcome unrecorded;
    Outcome* active = active_outcome(self);
    Outcome& outcome = active ? *active : unrecorded;
    outcome.programming_ran = true;
    ProgrammingRun run(module, self, image_path, byte_count(file_size(module, image_path)), outcome);
    std::size_t depth = pipeline_depth(module, self);
    try {
        if (!run.prepare(type)) return interop::boolean(false);
        ProgrammingRun::Written written = run.write(depth);
        if (written == ProgrammingRun::Written::refused_in_window) {
            depth = 1;
            if (!run.prepare(type)) return interop::boolean(false);
            written = run.write(depth);
        }
        if (written != ProgrammingRun::Written::whole) return interop::boolean(false);
        return interop::boolean(run.verify_and_finish(depth));
    } catch (...) {
        interop::set_error_from_cxx();
        run.abandon_line();
        interop::throw_error_set();
    }
}
constexpr FunctionDef fpga_program_file_def = function_def<fpga_program_file>(
    "FpgaTool._fpgaProgramFile", "(self, image_path, device_type=28)",
    "Write an image file to the FPGA in 16-byte blocks, read it back and compare the SHA-256 digests.");

std::optional<std::uint64_t> verify_image_on_device(const Module& module, Ref tool, Ref image_path, Outcome& outcome)
{
    ProgrammingRun run(module, tool, image_path, byte_count(file_size(module, image_path)), outcome);
    std::size_t depth = pipeline_depth(module, tool);
    try {
        return run.verify_only(depth);
    } catch (...) {
        interop::set_error_from_cxx();
        run.abandon_line();
        interop::throw_error_set();
    }
}

constexpr FunctionDef kOperations[] = {
    fpga_program_file_def,
};
const std::span<const FunctionDef> programming_operations{kOperations};

}  // namespace vornfpga
