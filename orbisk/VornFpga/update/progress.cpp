#include "update/progress.hpp"

#include <charconv>

namespace vornfpga {

void append_fixed(std::string& out, double value, int precision)
{
    char buffer[400];  // the widest double in fixed notation has 309 digits before the point
    auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, precision);
    if (error != std::errc{}) interop::raise(PyExc_OverflowError, "value too large to format");
    out.append(buffer, end);
}

void append_integer(std::string& out, std::uint64_t value)
{
    char buffer[24];
    out.append(buffer, std::to_chars(buffer, buffer + sizeof buffer, value).ptr);
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
    std::string line;
    line.reserve(96);
    line += "\rProgress: ";
    append_fixed(line, static_cast<double>(current) / static_cast<double>(total) * 100, 2);
    line += "% (";
    append_integer(line, current);
    line += '/';
    append_integer(line, total);
    line += " bytes), block time: ";
    append_fixed(line, seconds, 4);
    line += " sec";
    print(interop::checked(PyUnicode_DecodeASCII(line.data(), static_cast<Py_ssize_t>(line.size()), "strict")));
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
