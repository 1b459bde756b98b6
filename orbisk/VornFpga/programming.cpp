// _fpgaProgramFile: erase, write the image in 16-byte blocks, read it all back
// page by page, compare the SHA-256 digests of both directions, then done and
// refresh. An image whose read-back differs is never loaded: neither done nor
// refresh is sent, and the log names the first byte that differs.
#include <algorithm>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "image_file.hpp"
#include "progress.hpp"

namespace vornfpga {

namespace {

constexpr std::size_t kBlockSize = 16;
// A block the device keeps refusing is not sent for ever: after this many
// attempts the run stops without loading the half-written image.
constexpr int kMaxBlockAttempts = 10;

// Reading a raw image again for the comparison, in chunks of this size.
constexpr std::size_t kCompareChunk = 64 * 1024;

std::uint64_t as_count(Ref number) { return interop::require_value(PyLong_AsUnsignedLongLong(number)); }

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

class ProgrammingRun {
public:
    ProgrammingRun(const Module& module, Ref tool, std::uint64_t file_size)
        : module_(module),
          tool_(tool),
          progress_(module, tool),
          monotonic_(interop::getattr(module.global("time"_n), "monotonic")),
          file_size_(file_size)
    {
        start_time_ = now();
        write_hash_ = new_hasher();
        write_update_ = module.attr(write_hash_, "update"_n);
    }

    void prepare(Ref device_type)
    {
        int overflow = 0;
        long long type = PyLong_AsLongLongAndOverflow(device_type, &overflow);
        if (type == -1 && PyErr_Occurred()) throw interop::PyErrorSet{};
        if (overflow == 0 && (type == 28 || type == 32))
            interop::call_method(tool_, "_fpgaErase", interop::bytes(type == 28 ? "14" : "12"));
        reset_page_pointer();
        progress_.notify(progress_.write_stage(), 0, 0);
    }

    // Write phase of a signed image: the image region that the fixed header locates.
    bool write_signed(Ref image_path)
    {
        signed_file_.emplace(read_whole_file(module_, image_path));
        std::string_view file = signed_file_->bytes();
        SignedLayout layout = decode_signed_layout(module_, file);
        signed_image_ = file_region(file, layout.image_start_addr, layout.image_length);
        file_size_ = signed_image_.size();
        for (std::size_t offset = 0; offset < signed_image_.size(); offset += kBlockSize) {
            Owned block = interop::bytes(signed_image_.substr(offset, kBlockSize));
            interop::call(write_update_, block);
            if (!program_block(block)) return false;
        }
        return true;
    }

    // Write phase of a raw image: the whole file, streamed.
    bool write_raw(Ref image_path)
    {
        return with_raw_file(image_path, kBlockSize, [&](BlockReader& reader) {
            for (std::string_view chunk = reader.next(); !chunk.empty(); chunk = reader.next()) {
                Owned block = interop::bytes(chunk);
                interop::call(write_update_, block);
                if (!program_block(block)) return false;
            }
            return true;
        });
    }

    // Read-back of a signed image, compared with the image in memory.
    bool verify_signed()
    {
        bool given = false;
        return verify_and_finish(ReadBackComparison([&] {
            std::string_view image = given ? std::string_view{} : signed_image_;
            given = true;
            return image;
        }));
    }

    // Read-back of a raw image, compared with the file read again.
    bool verify_raw(Ref image_path)
    {
        return with_raw_file(image_path, kCompareChunk, [&](BlockReader& reader) {
            return verify_and_finish(ReadBackComparison([&] { return reader.next(); }));
        });
    }

private:
    // Read-back, verdict, then done and refresh only for a verified image.
    bool verify_and_finish(ReadBackComparison comparison)
    {
        progress_.end_line();
        Owned write_digest = interop::call_method(write_hash_, "hexdigest");
        log(module_, "debug"_n, interop::format("w hash: %U", write_digest.get()));
        log(module_, "info"_n, interop::text("Verify Data"));
        progress_.notify(progress_.verify_stage(), 0, sent_);

        Owned read_hash = new_hasher();
        Owned read_update = module_.attr(read_hash, "update"_n);
        reset_page_pointer();
        std::uint64_t hashed = 0;
        for (std::uint64_t read = kBlockSize; read < sent_ + kBlockSize; read += kBlockSize) {
            double page_start = now();
            Owned page = module_.call_method(tool_, "_fpgaRead"_n);
            double page_end = now();
            progress_.report(progress_.verify_stage(), read, sent_, page_end - page_start);
            // Only the bytes written are compared and hashed: a device may pad the last page.
            interop::Buffer page_bytes(page);
            std::string_view written = page_bytes.bytes().substr(0, static_cast<std::size_t>(
                std::min<std::uint64_t>(page_bytes.bytes().size(), sent_ - hashed)));
            hashed += written.size();
            comparison.compare(written);
            interop::call(read_update, written.size() == page_bytes.bytes().size() ? Owned::ref(page) : interop::bytes(written));
        }
        progress_.end_line();
        Owned read_digest = interop::call_method(read_hash, "hexdigest");
        log(module_, "debug"_n, interop::format("r hash: %U", read_digest.get()));

        bool verified = interop::require(PyObject_RichCompareBool(write_digest, read_digest, Py_EQ)) != 0;
        if (verified) {
            log(module_, "info"_n, interop::text("Verify Success"));
            interop::call_method(tool_, "_fpgaDone");
            interop::call_method(tool_, "_fpgaRefresh");
        } else {
            log(module_, "error"_n, interop::text("Verify Failed"));
            log_difference(comparison.first_difference(sent_));
        }
        log_total_time();
        return verified;
    }

    void log_difference(std::optional<std::uint64_t> offset)
    {
        if (offset)
            log(module_, "error"_n, interop::format("FPGA read-back differs from the image at byte offset %llu",
                                                   static_cast<unsigned long long>(*offset)));
        else
            log(module_, "error"_n, interop::text("FPGA read-back differs from the image as written; "
                                                  "the image file changed during the update"));
    }

    // Runs use(reader) over the raw image file, opened unbuffered, and closes it on every path.
    template <class Use>
    bool with_raw_file(Ref image_path, std::size_t block_size, Use&& use)
    {
        Owned file = interop::call(module_.global("open"_n), {image_path, interop::text("rb")},
                                   {{interop::text("buffering"), interop::integer(0)}});
        return interop::try_finally(
            [&] {
                BlockReader reader(file, block_size);
                return use(reader);
            },
            [&] { interop::call_method(file, "close"); });
    }

    double now() const
    {
        Owned seconds = interop::call(monotonic_);
        return interop::require_value(PyFloat_AsDouble(seconds));
    }

    Owned new_hasher() const { return interop::call_method(module_.global("hashlib"_n), "sha256"); }

    void reset_page_pointer() { interop::call_method(tool_, "_fpgaRstPagePtr", interop::bytes("CFG")); }

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
                log(module_, "error"_n, interop::format("FPGA block at byte offset %llu refused %d times; programming stopped",
                                                       static_cast<unsigned long long>(sent_), attempt));
                return false;
            }
        }
        sent_ += static_cast<std::uint64_t>(PyBytes_GET_SIZE(block.get()));
        progress_.report(progress_.write_stage(), sent_, file_size_, block_end - block_start);
        return true;
    }

    void log_total_time()
    {
        std::string line = "FPGA program file finished. Total time: ";
        append_fixed(line, now() - start_time_, 4);
        log(module_, "info"_n, interop::text(line + " sec"));
    }

    const Module& module_;
    Ref tool_;
    Progress progress_;
    Owned monotonic_;
    std::uint64_t file_size_;
    std::uint64_t sent_ = 0;
    double start_time_ = 0;
    Owned write_hash_;
    Owned write_update_;
    std::optional<interop::Buffer> signed_file_;  // holds the signed image's bytes for the read-back
    std::string_view signed_image_;
};

}  // namespace

Owned fpga_program_file(Call& call, Ref self, Ref image_path, Ref device_type)
{
    Module module(call);
    interop::require_text(call, "image_path", image_path);
    Owned type = interop::require_int(call, "device_type", device_type);

    ProgrammingRun run(module, self, as_count(file_size(module, image_path)));
    run.prepare(type);
    if (is_suffix(lower_suffix(module, image_path), ".tbin"))
        return interop::boolean(run.write_signed(image_path) && run.verify_signed());
    return interop::boolean(run.write_raw(image_path) && run.verify_raw(image_path));
}

}  // namespace vornfpga
