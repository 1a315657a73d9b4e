#include "Korvo/HardwareAPI/IO/ErrorLog.h"

#include <cerrno>
#include <clocale>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace Korvo::HardwareAPI::IO {

std::wstring ErrorText(int err) {
    std::setlocale(LC_ALL, "en_US.utf8");
    const char* text = std::strerror(err);
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
