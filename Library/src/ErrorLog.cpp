#include "Korvo/HardwareAPI/IO/ErrorLog.h"

#include <cerrno>
#include <locale.h>
#include <string.h>

#include <cstdarg>
#include <cstdio>

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

}  // namespace

std::wstring ErrorText(int err) {
    const locale_t locale = MessageLocale();
    const char* text = locale != static_cast<locale_t>(nullptr) ? ::strerror_l(err, locale) : "Unknown error";
    std::wstring wide;
    for (const char* c = text; *c != '\0'; ++c) {
        wide.push_back(static_cast<wchar_t>(static_cast<signed char>(*c)));
    }
    return wide;
}

void LogError(const char* source, unsigned line, const char* what, ...) {
    const int err = errno;
    const std::wstring text = ErrorText(err);

    va_list args;
    va_start(args, what);
    va_list sizing;
    va_copy(sizing, args);
    const int length = std::vsnprintf(nullptr, 0, what, sizing);
    va_end(sizing);
    std::string words(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    if (length > 0) std::vsnprintf(words.data(), words.size() + 1, what, args);
    va_end(args);

    std::fprintf(stderr, "[err] %s:%u> %s: [%d] %ls\n", source, line, words.c_str(), err, text.c_str());
    std::fflush(stderr);
    // Reporting must not change the cause: a caller that logs twice for one
    // failure (port, then stream) reports the same errno both times.
    errno = err;
}

}  // namespace Korvo::HardwareAPI::IO
