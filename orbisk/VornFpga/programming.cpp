// _fpgaProgramFile: erase, write the image in 16-byte blocks, read it all back
// page by page, compare the SHA-256 digests of both directions, then done and refresh.
#include <cstdint>
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

std::uint64_t as_count(Ref number) { return interop::require_value(PyLong_AsUnsignedLongLong(number)); }

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
        Owned contents = read_whole_file(module_, image_path);
        interop::Buffer buffer(contents);
        std::string_view file = buffer.bytes();
        SignedLayout layout = decode_signed_layout(module_, file);
        std::string_view image = file_region(file, layout.image_start_addr, layout.image_length);
        file_size_ = image.size();
        for (std::size_t offset = 0; offset < image.size(); offset += kBlockSize) {
            Owned block = interop::bytes(image.substr(offset, kBlockSize));
            interop::call(write_update_, block);
            if (!program_block(block)) return false;
        }
        return true;
    }

    // Write phase of a raw image: the whole file, streamed.
    bool write_raw(Ref image_path)
    {
        Owned file = interop::call(module_.global("open"_n), {image_path, interop::text("rb")},
                                   {{interop::text("buffering"), interop::integer(0)}});
        return interop::try_finally(
            [&] {
                BlockReader reader(file, kBlockSize);
                for (std::string_view chunk = reader.next(); !chunk.empty(); chunk = reader.next()) {
                    Owned block = interop::bytes(chunk);
                    interop::call(write_update_, block);
                    if (!program_block(block)) return false;
                }
                return true;
            },
            [&] { interop::call_method(file, "close"); });
    }

    // Read-back, verdict, done and refresh.
    bool verify_and_finish()
    {
        progress_.end_line();
        Owned write_digest = interop::call_method(write_hash_, "hexdigest");
        log(module_, "debug"_n, interop::format("w hash: %U", write_digest.get()));
        log(module_, "info"_n, interop::text("Verify Data"));
        progress_.notify(progress_.verify_stage(), 0, sent_);

        Owned read_hash = new_hasher();
        Owned read_update = module_.attr(read_hash, "update"_n);
        reset_page_pointer();
        for (std::uint64_t read = kBlockSize; read < sent_ + kBlockSize; read += kBlockSize) {
            double page_start = now();
            Owned page = module_.call_method(tool_, "_fpgaRead"_n);
            double page_end = now();
            progress_.report(progress_.verify_stage(), read, sent_, page_end - page_start);
            interop::call(read_update, page);
        }
        progress_.end_line();
        Owned read_digest = interop::call_method(read_hash, "hexdigest");
        log(module_, "debug"_n, interop::format("r hash: %U", read_digest.get()));

        bool verified = interop::require(PyObject_RichCompareBool(write_digest, read_digest, Py_EQ)) != 0;
        if (verified)
            log(module_, "info"_n, interop::text("Verify Success"));
        else
            log(module_, "error"_n, interop::text("Verify Failed"));
        interop::call_method(tool_, "_fpgaDone");
        interop::call_method(tool_, "_fpgaRefresh");
        log_total_time();
        return verified;
    }

private:
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
};

}  // namespace

Owned fpga_program_file(Call& call, Ref self, Ref image_path, Ref device_type)
{
    Module module(call);
    interop::require_text(call, "image_path", image_path);
    Owned type = interop::require_int(call, "device_type", device_type);

    ProgrammingRun run(module, self, as_count(file_size(module, image_path)));
    run.prepare(type);
    bool written = is_suffix(lower_suffix(module, image_path), ".tbin") ? run.write_signed(image_path)
                                                                         : run.write_raw(image_path);
    if (!written) return interop::boolean(false);
    return interop::boolean(run.verify_and_finish());
}

}  // namespace vornfpga
