#pragma once
// The library's one way of reporting serial and framing errors: a single line
// on standard error,
//
//   [err] <source>:<line>> <what happened>: [<errno>] <strerror text>
//
// followed by a flush. Safe from any thread. Source paths and line numbers
// are fixed identifiers of each report (see the constants below), so that
// logs stay comparable across releases.

#include <string>

namespace Korvo::HardwareAPI::IO {

// Text of `err` as a wide string, in the "en_US.utf8" locale (or "C" where
// that is not installed), taken from a locale object of its own: the process
// locale is left alone, and the call is safe from any thread. The narrow text
// is widened byte by byte, without any multibyte decoding.
std::wstring ErrorText(int err);

// Writes one error line. errno is read before anything else happens, so the
// line carries the cause of the failure that led here; errno is left as it
// was found. `what` is a printf format for the operation's own words.
void LogError(const char* source, unsigned line, const char* what, ...) __attribute__((format(printf, 3, 4)));

namespace ErrorSource {
inline constexpr const char* kSerialStream = "Library/src/SerialStream";
inline constexpr const char* kDevice = "Library/src/Device";
}  // namespace ErrorSource

}  // namespace Korvo::HardwareAPI::IO
