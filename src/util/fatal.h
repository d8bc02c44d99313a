// The one way a run ends early: a message on standard error and a status.
// fatal() throws FatalError carrying its message, so that every RAII owner
// on the way out (open files, directory handles, uncommitted temporary
// files) releases what it holds, and so that a worker thread's failure can
// travel to the thread that decides, in order, which failure is reported.
// The driver prints the message of the error that ends the run.
//
// Two kinds of message: the tool's own, which get the "mdtree: " prefix and
// a line feed here (fatal, fatal_errno, warn), and the fixed texts that
// scripts match byte for byte, printed exactly as given (fatal_fixed,
// fatal_open). Either way a control byte (from a file name) is escaped, so
// that a name can neither forge a line nor drive the terminal.
#pragma once

#include <cstdio>
#include <exception>
#include <string>
#include <string_view>

struct FatalError {
    int status;
    std::string message = {};  // complete, line feed included; printed by the driver
};

// "mdtree: <formatted text>\n".
[[noreturn]] void fatal(int status, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
// "mdtree: <what> <path>: <strerror(errno)>\n", status 1.
[[noreturn]] void fatal_errno(const char* what, const char* path);
// A fixed text, given with its own line end.
[[noreturn]] void fatal_fixed(int status, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
// The fixed text of a file that can not be opened: "can not open <path> with
// mode <mode> at line <line>\n", status 1.
[[noreturn]] void fatal_open(const char* path, const char* mode, int line);
// When err says the process or the system has no descriptor left (EMFILE,
// ENFILE), ends the run saying so: "mdtree: <what> <path>: Too many open
// files". The fixed texts of a failed open would blame the file.
void fatal_if_out_of_descriptors(int err, const char* what, const char* path);
// The one way a text reaches standard error: after what standard output
// holds, and above the status line while one shows (erased first, drawn
// again below). Every message goes out here.
void err_text(std::string_view text);
// The tool's own message that does not end the run: "mdtree: <text>\n" on
// standard error at once.
void warn(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Prints a FatalError's message on standard error, after what standard
// output already holds.
void report(const FatalError& e);
// The same for a FatalError kept for later (a file's failure that a job
// judges rather than ends on); any other exception is rethrown.
void report(const std::exception_ptr& e);

// Per-file lines on standard output. A failed write (a full disk behind a
// redirection) ends the run instead of being lost silently.
void out_printf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Flushes standard output; a failure there is fatal.
void flush_stdout();
// Flushes standard error; false when a line written there during the run
// was lost (a full disk behind a redirection). No message can tell it, so
// the run ends with status 1: the archive jobs' per-file lines go there.
bool flush_stderr();

// A snapshot listing line for a name: "[\]<first>  <name>\n", the first field
// being a hex digest or a store object's path. The one place listing lines
// are printed: -l and -i.
void print_listing_line(std::string_view first, std::string_view name);

// Any other per-file line that shows a name: "[\]<before><name><after>\n",
// the backslash and the escaping only when the name holds a byte below 32.
// On standard output a failed write is fatal (out_printf); on standard
// error it goes above the status line (err_text).
void print_name_line(std::FILE* to, std::string_view before, std::string_view name, std::string_view after = {});
