#pragma once
// Conventions shared by the bound classes: running device work without the
// interpreter lock, deprecation warnings, and request vectors.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cmath>
#include <limits>
#include <optional>
#include <sstream>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "GilRelease.h"
#include "Korvo/HardwareAPI/Devices/Arvena.h"
#include "Korvo/HardwareAPI/IO/SerialStream.h"

namespace Korvo::HardwareAPI::Bindings {

using PythonSupport::GilRelease;

// Runs `work` with the interpreter lock released, so other Python threads run
// while a device exchange waits. `work` must not touch Python objects.
template <class Work>
decltype(auto) Released(Work&& work) {
    const GilRelease release;
    return std::forward<Work>(work)();
}

// A deprecated entry point: warns with `text` (DeprecationWarning, stack level
// 1) and then runs `body` whatever the warnings filter does with the warning.
// If the filter turned the warning into an exception, that exception is
// raised after the body has run, so the device exchange is never skipped.
template <class Body>
decltype(auto) Deprecated(const char* text, Body&& body) {
    std::optional<pybind11::error_already_set> raised;
    if (PyErr_WarnEx(PyExc_DeprecationWarning, text, 1) < 0) raised.emplace();
    if constexpr (std::is_void_v<decltype(body())>) {
        std::forward<Body>(body)();
        if (raised) throw std::move(*raised);
    } else {
        auto result = std::forward<Body>(body)();
        if (raised) throw std::move(*raised);
        return result;
    }
}

// A request value (element `index` of the argument `name`, or the argument
// itself when index is negative): finite and within the 32-bit float range.
inline float RequestValue(double value, const char* name, long index = -1) {
    if (!std::isfinite(value) || std::fabs(value) > static_cast<double>(std::numeric_limits<float>::max())) {
        std::ostringstream text;
        text << name;
        if (index >= 0) text << "[" << index << "]";
        text << " is " << value << ": requests must be finite and within the range of a 32-bit float";
        throw pybind11::value_error(text.str());
    }
    return static_cast<float>(value);
}

// Vectors shorter than three are refused before anything is sent: the device
// needs three values, and inventing the missing ones would move the arm in a
// way nobody asked for.
inline void RequireThree(std::size_t size, const char* name) {
    if (size < 3) {
        throw pybind11::value_error(std::string(name) + " must hold at least 3 values, got " + std::to_string(size));
    }
}

// The first three elements of a vector the caller hands in to be filled
// (the Receive* calls).
inline Devices::Vector3 First3(const std::vector<float>& values, const char* name) {
    RequireThree(values.size(), name);
    return {values[0], values[1], values[2]};
}

// The first three elements of a request vector, as the 32-bit floats the arm
// receives. Taken from Python as doubles, so that a value beyond the float
// range is refused rather than sent as an infinity; non-finite values are
// refused too. Nothing is sent when this throws (ValueError, naming the
// argument).
inline Devices::Vector3 Request3(const std::vector<double>& values, const char* name) {
    RequireThree(values.size(), name);
    Devices::Vector3 request{};
    for (std::size_t i = 0; i < 3; ++i) request[i] = RequestValue(values[i], name, static_cast<long>(i));
    return request;
}

// Copy of `values` with its first three elements replaced.
inline std::vector<float> WithFirst3(std::vector<float> values, const Devices::Vector3& first) {
    for (std::size_t i = 0; i < first.size(); ++i) values[i] = first[i];
    return values;
}

// Devices talk through their stream from the first call on; an absent one is
// refused where the mistake is made.
inline IO::SerialStream* RequireStream(IO::SerialStream* stream, const char* device) {
    if (stream == nullptr) throw pybind11::type_error(std::string(device) + " needs a SerialStream, not None");
    return stream;
}

}  // namespace Korvo::HardwareAPI::Bindings
