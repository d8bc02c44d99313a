#include "util/fatal.h"

#include "util/escape.h"
#include "util/progress.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

std::string vformat(const char* fmt, va_list ap) {
    va_list again;
    va_copy(again, ap);
    char small[512];
    const int n = std::vsnprintf(small, sizeof small, fmt, ap);
    std::string s;
    if (n < 0) {
        s = fmt;
    } else if (std::size_t(n) < sizeof small) {
        s.assign(small, std::size_t(n));
    } else {
        s.resize(std::size_t(n) + 1);
        std::vsnprintf(s.data(), s.size(), fmt, again);
        s.resize(std::size_t(n));
    }
    va_end(again);
    return s;
}

// Escapes the body of a message, keeping the line feed that ends it.
std::string finish(std::string body) {
    const bool nl = !body.empty() && body.back() == '\n';
    if (nl) body.pop_back();
    std::string out = shown(body);
    if (nl) out += '\n';
    return out;
}

// Ends the run when a write to standard output failed (failed, or its error
// flag set).
void check_stdout(bool failed) {
    if (!failed && !std::ferror(stdout)) return;
    const int err = errno;
    std::clearerr(stdout);
    fatal(1, "write error on standard output: %s", std::strerror(err));
}

} // namespace

void err_text(std::string_view text) {
    // Lines already printed on standard output come first.
    std::fflush(stdout);
    if (progress_shown()) {
        progress_err_line(text);
        return;
    }
    std::fwrite(text.data(), 1, text.size(), stderr);
}

void fatal(int status, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::string body = "mdtree: " + vformat(fmt, ap);
    va_end(ap);
    throw FatalError{status, finish(std::move(body) + "\n")};
}

void fatal_errno(const char* what, const char* path) {
    const int err = errno;
    fatal(1, "%s %s: %s", what, path, std::strerror(err));
}

void fatal_fixed(int status, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::string body = vformat(fmt, ap);
    va_end(ap);
    throw FatalError{status, finish(std::move(body))};
}

void fatal_if_out_of_descriptors(int err, const char* what, const char* path) {
    if (err == EMFILE || err == ENFILE) fatal(1, "%s %s: %s", what, path, std::strerror(err));
}

void fatal_open(const char* path, const char* mode, int line) {
    fatal_if_out_of_descriptors(errno, "can not open", path);
    fatal_fixed(1, "can not open %s with mode %s at line %d\n", path, mode, line);
}

void warn(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::string body = "mdtree: " + vformat(fmt, ap);
    va_end(ap);
    err_text(finish(std::move(body) + "\n"));
}

void report(const FatalError& e) { err_text(e.message); }

void report(const std::exception_ptr& e) {
    try {
        std::rethrow_exception(e);
    } catch (const FatalError& f) {
        report(f);
    }
}

void out_printf(const char* fmt, ...) {
    // Lines already on standard error come first (it is buffered when it
    // is not a terminal).
    std::fflush(stderr);
    // On a terminal, the line goes above the status line.
    const ProgressPause pause;
    va_list ap;
    va_start(ap, fmt);
    const int n = std::vfprintf(stdout, fmt, ap);
    va_end(ap);
    check_stdout(n < 0);
}

void flush_stdout() { check_stdout(std::fflush(stdout) != 0); }

bool flush_stderr() {
    // The error flag stays set from the first failed write of the run.
    return std::fflush(stderr) == 0 && !std::ferror(stderr);
}

void print_listing_line(std::string_view first, std::string_view name) {
    if (!has_control(name))
        return out_printf("%.*s  %.*s\n", int(first.size()), first.data(), int(name.size()), name.data());
    out_printf("\\%.*s  %s\n", int(first.size()), first.data(), escape_listing(name).c_str());
}

void print_name_line(std::FILE* to, std::string_view before, std::string_view name, std::string_view after) {
    const bool esc = has_control(name);
    std::string line = esc ? "\\" : "";
    line.append(before).append(esc ? shown(name) : std::string(name)).append(after).append("\n");
    if (to == stdout) return out_printf("%s", line.c_str());
    if (to == stderr) return err_text(line);
    std::fputs(line.c_str(), to);
}
