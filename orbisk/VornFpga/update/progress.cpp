#include "update/progress.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace vornfpga {

namespace {

// Room for f"{value:.4f}" of any double: a sign, 309 digits before the point, the point, 4 after.
constexpr std::size_t kFixedRoom = 1 + 309 + 1 + 4;
constexpr int kMaxPrecision = 4;
constexpr std::uint64_t kPowersOfTen[] = {1, 10, 100, 1000, 10000};

char* write_integer(char* out, std::uint64_t value) { return std::to_chars(out, out + 20, value).ptr; }

// f"{value:.{precision}f}" for a finite value below 1e15, from the exact binary value, rounded
// half to even as Python and to_chars round it; nullptr for any other value.
char* write_fixed_exact(char* out, double value, int precision)
{
    if (!std::isfinite(value) || !(std::fabs(value) < 1e15)) return nullptr;
    auto bits = std::bit_cast<std::uint64_t>(value);
    auto biased = static_cast<int>((bits >> 52) & 0x7ff);
    std::uint64_t mantissa = bits & ((std::uint64_t{1} << 52) - 1);
    int exponent = biased == 0 ? -1074 : biased - 1075;
    if (biased != 0) mantissa |= std::uint64_t{1} << 52;
    // Below 1e15 < 2**52 the exponent is negative:
    // |value| * 10**precision = mantissa * 10**precision / 2**shift, below 1e19 < 2**64
    int shift = -exponent;
    unsigned __int128 scaled = static_cast<unsigned __int128>(mantissa) * kPowersOfTen[precision];
    std::uint64_t rounded = 0;  // for a shift of 127 or more: scaled, below 2**67, is less than half of 2**shift
    if (shift < 127) {
        unsigned __int128 remainder = scaled & ((static_cast<unsigned __int128>(1) << shift) - 1);
        unsigned __int128 half = static_cast<unsigned __int128>(1) << (shift - 1);
        rounded = static_cast<std::uint64_t>(scaled >> shift);
        if (remainder > half || (remainder == half && (rounded & 1) != 0)) ++rounded;
    }
    if (std::signbit(value)) *out++ = '-';
    std::uint64_t unit = kPowersOfTen[precision];
    out = write_integer(out, rounded / unit);
    if (precision == 0) return out;
    *out++ = '.';
    std::uint64_t fraction = rounded % unit;
    for (int index = precision - 1; index >= 0; --index, fraction /= 10) out[index] = static_cast<char>('0' + fraction % 10);
    return out + precision;
}

// f"{value:.{precision}f}" at out, which has room for kFixedRoom bytes; a precision of at most 4.
char* write_fixed(char* out, double value, int precision)
{
    if (precision < 0 || precision > kMaxPrecision) interop::raise(PyExc_ValueError, "precision out of range");
    if (char* end = write_fixed_exact(out, value, precision)) return end;
    auto [end, error] = std::to_chars(out, out + kFixedRoom, value, std::chars_format::fixed, precision);
    if (error != std::errc{}) interop::raise(PyExc_OverflowError, "value too large to format");
    return end;
}

char* write_text(char* out, std::string_view text) { return std::copy(text.begin(), text.end(), out); }

// The line as a str: its characters are ASCII by construction, so no decoding is needed.
Owned ascii_text(const char* start, const char* end)
{
    auto size = static_cast<Py_ssize_t>(end - start);
    Owned text = interop::checked(PyUnicode_New(size, 127));
    std::memcpy(PyUnicode_1BYTE_DATA(text.get()), start, static_cast<std::size_t>(size));
    return text;
}

}  // namespace

void append_fixed(std::string& out, double value, int precision)
{
    char buffer[kFixedRoom];
    out.append(buffer, write_fixed(buffer, value, precision));
}

Progress::Progress(const Module& module, Ref tool, Outcome& outcome)
    : module_(module), tool_(tool), outcome_(outcome), write_(interop::text("write")), verify_(interop::text("verify"))
{
}

void Progress::notify(Ref stage, std::uint64_t current, std::uint64_t total)
{
    Owned callback = module_.attr(tool_, "progress_callback"_n);
    if (!interop::truthy(callback)) return;
    Owned current_number = interop::checked(PyLong_FromUnsignedLongLong(current));
    Owned total_number = interop::checked(PyLong_FromUnsignedLongLong(total));
    try {
        interop::call(callback, stage, current_number, total_number);
    } catch (const interop::PyErrorSet&) {
        Owned error = interop::fetch_error();
        outcome_.callback_error = Owned::ref(error.get());
        interop::restore_error(std::move(error));
        interop::throw_error_set();
    }
}

void Progress::report(Ref stage, std::uint64_t current, std::uint64_t total, double seconds)
{
    draw(current, total, seconds);
    notify(stage, current, total);
}

void Progress::report_throttled(Ref stage, std::uint64_t current, std::uint64_t total, double seconds, double now)
{
    constexpr double kRedrawInterval = 0.05;
    if (now - drawn_at_ >= kRedrawInterval) {
        draw(current, total, seconds);
        drawn_at_ = now;
        undrawn_.reset();
    } else {
        undrawn_ = Line{current, total, seconds};
    }
    notify(stage, current, total);
}

void Progress::draw(std::uint64_t current, std::uint64_t total, double seconds)
{
    if (total == 0) interop::raise(PyExc_ZeroDivisionError, "division by zero");
    constexpr std::string_view start = "\rProgress: ", percent = "% (", bytes = " bytes), block time: ", unit = " sec";
    char line[start.size() + percent.size() + bytes.size() + unit.size() + 2 * kFixedRoom + 2 * 20 + 1];
    char* end = write_text(line, start);
    end = write_fixed(end, static_cast<double>(current) / static_cast<double>(total) * 100, 2);
    end = write_text(end, percent);
    end = write_integer(end, current);
    *end++ = '/';
    end = write_integer(end, total);
    end = write_text(end, bytes);
    end = write_fixed(end, seconds, 4);
    end = write_text(end, unit);
    print(ascii_text(line, end));
}

void Progress::end_line()
{
    if (undrawn_) {
        Line line = *undrawn_;
        undrawn_.reset();
        draw(line.current, line.total, line.seconds);
    }
    print(interop::text("\n"));
    line_open_ = false;
}

void Progress::abandon_line() noexcept
{
    if (!line_open_ || console_failed_ || !PyErr_Occurred()) return;
    line_open_ = false;
    Owned error = interop::fetch_error();
    try {
        Owned stream = Owned::ref(PySys_GetObject("stdout"));
        if (stream && stream.get() != Py_None) module_.call_method(stream, "write"_n, interop::text("\n"));
    } catch (...) {
        interop::set_error_from_cxx();
        PyErr_Clear();
    }
    interop::restore_error(std::move(error));
}

// As print(text, end="") does: to sys.stdout as it is bound now, nothing when there is none.
// Like print(), it reads the interpreter's own sys, which the C API names by C text only;
// "stdout" is the one name of the operations outside the name table.
void Progress::print(Ref text)
{
    if (console_failed_) return;
    Owned enabled = interop::find_attr(tool_, module_.name("console_progress"_n));
    if (enabled && !interop::truthy(enabled)) return;
    interop::Caught error = interop::catch_exception([&] {
        Owned stream = Owned::ref(PySys_GetObject("stdout"));
        if (!stream || stream.get() == Py_None) return;
        module_.call_method(stream, "write"_n, text);
        line_open_ = true;
    });
    if (!error) return;
    console_failed_ = true;
    Owned type_name = interop::checked(PyType_GetName(Py_TYPE(error.value())));
    log(module_, "debug"_n,
        interop::format("Progress line off for the rest of this update: writing it raised %U: %S", type_name.get(),
                        error.value()));
}

}  // namespace vornfpga
