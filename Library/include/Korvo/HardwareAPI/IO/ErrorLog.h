#pragma once
// The library's one way of reporting serial and framing errors: a single line
// on standard error,
//
//   [err] <source>:<line>> <what happened>: [<errno>] <strerror text>
//
// followed by a flush. Safe from any thread. Source paths and line numbers
// are fixed identifiers of each report (see the constants below), so that
// logs stay comparable across releases.
//
// A line reporting a timeout carries whatever errno the thread last set: no
// system call failed, so its number and text say nothing about the timeout.
// A program that wants the reports elsewhere (a logging framework, nowhere)
// installs a sink: it then receives each report, with what it is, instead
// of the line on standard error.

#include <functional>
#include <string>

namespace Korvo::HardwareAPI::IO {

// Text of `err` as a wide string, in the "en_US.utf8" locale (or "C" where
// that is not installed), taken from a locale object of its own: the process
// locale is left alone, and the call is safe from any thread. The narrow text
// is widened byte by byte, without any multibyte decoding.
std::wstring ErrorText(int err);

// What an error report is about.
enum class ErrorKind {
    kFailedCall,  // a system call failed: `error` is its errno
    kTimeout,     // a wait ran out: `error` is whatever errno held, not a cause
};

struct ErrorReport {
    const char* source = "";   // one of ErrorSource below
    unsigned line = 0;         // fixed per report (see the source's table)
    ErrorKind kind = ErrorKind::kFailedCall;
    std::string operation;     // the operation's own words, "timeout waiting for header code"
    std::string port;          // the port the stream was made for; empty when not known
    int error = 0;             // errno when the report was made
    std::string error_text;    // its strerror text, as on the line
    // The line standard error gets without a sink, without its newline.
    std::string Line() const;
};

// Receives reports instead of standard error. It runs on the thread that
// failed, which may be any thread (discovery's probes among them) and may
// hold locks its caller is waiting on: a sink must return promptly and must
// not wait for another thread of the program. errno is restored after it.
using ErrorSink = std::function<void(const ErrorReport&)>;

// Installs `sink`; an empty one restores the lines on standard error. Safe
// from any thread, also while reports are being made: a report already
// handed to the previous sink finishes there (the sink is kept alive until
// it returns), every later one goes to the new sink.
void SetErrorSink(ErrorSink sink);

// Writes one error report: to the sink when one is installed, otherwise as
// a line on standard error, flushed. errno is read before anything else
// happens, so the report carries the cause of the failure that led here;
// errno is left as it was found. `port` may be null. `what` is a printf
// format for the operation's own words.
void LogError(const char* source, unsigned line, ErrorKind kind, const char* port, const char* what, ...)
    __attribute__((format(printf, 5, 6)));

namespace ErrorSource {
inline constexpr const char* kSerialStream = "Library/src/SerialStream";
inline constexpr const char* kDevice = "Library/src/Device";
}  // namespace ErrorSource

}  // namespace Korvo::HardwareAPI::IO
