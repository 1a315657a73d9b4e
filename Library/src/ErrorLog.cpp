#include "Korvo/HardwareAPI/IO/ErrorLog.h"

#include <cerrno>
#include <locale.h>
#include <string.h>

#include <cstdarg>
#include <cstdio>
#include <memory>
#include <mutex>
#include <utility>

namespace Korvo::HardwareAPI::IO {

namespace {

// The texts come from one locale object made once, not from the process
// locale: changing that (setlocale) from a library call would change every
// thread's number and date formatting behind the program's back, and is not
// safe while other threads use it.
locale_t MessageLocale() {
    static const locale_t kLocale = [] {
        locale_t made = ::newlocale(LC_ALL_MASK, "en_US.utf8", static_cast<locale_t>(nullptr));
        if (made == static_cast<locale_t>(nullptr)) made = ::newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
        return made;
    }();
    return kLocale;
}

const char* NarrowErrorText(int err) {
    const locale_t locale = MessageLocale();
    return locale != static_cast<locale_t>(nullptr) ? ::strerror_l(err, locale) : "Unknown error";
}

// The installed sink, shared with every report in flight: replacing it never
// destroys one that another thread is still calling.
std::mutex sink_mutex;
std::shared_ptr<const ErrorSink> installed_sink;

std::shared_ptr<const ErrorSink> CurrentSink() {
    const std::lock_guard lock(sink_mutex);
    return installed_sink;
}

}  // namespace

std::wstring ErrorText(int err) {
    std::wstring wide;
    for (const char* c = NarrowErrorText(err); *c != '\0'; ++c) {
        wide.push_back(static_cast<wchar_t>(static_cast<signed char>(*c)));
    }
    return wide;
}

std::string ErrorReport::Line() const {
    const std::string head = "[err] " + std::string(source) + ":" + std::to_string(line) + "> ";
    return head + operation + ": [" + std::to_string(error) + "] " + error_text;
}

void SetErrorSink(ErrorSink sink) {
    auto replacement = sink ? std::make_shared<const ErrorSink>(std::move(sink)) : nullptr;
    std::shared_ptr<const ErrorSink> previous;
    {
        const std::lock_guard lock(sink_mutex);
        previous = std::exchange(installed_sink, std::move(replacement));
    }
    // `previous` may run the sink's destructor here, outside the lock, or in
    // the last report still holding it.
}

void LogError(const char* source, unsigned line, ErrorKind kind, const char* port, const char* what, ...) {
    const int err = errno;

    va_list args;
    va_start(args, what);
    va_list sizing;
    va_copy(sizing, args);
    const int length = std::vsnprintf(nullptr, 0, what, sizing);
    va_end(sizing);
    std::string words(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    if (length > 0) std::vsnprintf(words.data(), words.size() + 1, what, args);
    va_end(args);

    if (const auto sink = CurrentSink()) {
        ErrorReport report;
        report.source = source;
        report.line = line;
        report.kind = kind;
        report.operation = std::move(words);
        report.port = port != nullptr ? port : "";
        report.error = err;
        report.error_text = NarrowErrorText(err);
        try {
            (*sink)(report);
        } catch (...) {
            // A report must never turn a failure the caller handles by its
            // return value into an exception the caller does not expect.
        }
    } else {
        const std::wstring text = ErrorText(err);
        std::fprintf(stderr, "[err] %s:%u> %s: [%d] %ls\n", source, line, words.c_str(), err, text.c_str());
        std::fflush(stderr);
    }
    // Reporting must not change the cause: a caller that logs twice for one
    // failure (port, then stream) reports the same errno both times.
    errno = err;
}

}  // namespace Korvo::HardwareAPI::IO
