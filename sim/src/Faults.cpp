#include "Faults.h"

namespace korvo::sim {

namespace {
bool nth(std::uint64_t count, std::uint64_t every) noexcept { return every != 0 && count % every == 0; }
}  // namespace

Faults::Faults(const FaultOptions& options, std::uint64_t seed) : options_(options), rng_(seed) {}

void Faults::appendNotification(wire::Bytes& out)
{
    // Alternate the two codes and walk the length through 0..8 so hosts meet
    // every shape, including the empty one.
    const std::uint64_t k = notifications_++;
    const auto length = static_cast<std::uint8_t>(k % 9);
    out.push_back(k % 2 == 0 ? 0xBA : 0xBB);
    out.push_back(rng_.byte());
    out.push_back(length);
    for (std::uint8_t i = 0; i < length; ++i) {
        out.push_back(rng_.byte());
    }
}

bool Faults::shape(const wire::Bytes& reply, wire::Bytes& out)
{
    out.clear();
    const std::uint64_t n = ++replies_;
    if (nth(n, options_.dropEvery)) {
        return false;
    }
    for (std::uint64_t i = 0; i < options_.notifyFlood; ++i) {
        appendNotification(out);
    }
    if (nth(n, options_.notifyEvery)) {
        appendNotification(out);
    }
    const std::size_t start = out.size();
    std::size_t length = reply.size();
    if (nth(n, options_.truncateEvery)) {
        length /= 2;
    }
    out.insert(out.end(), reply.begin(), reply.begin() + static_cast<std::ptrdiff_t>(length));
    if (nth(n, options_.corruptEvery) && length > 0) {
        out[start] = kCorruptCode;
    }
    return true;
}

bool Faults::hangUpAfterRequest() noexcept
{
    return ++requests_ == options_.disconnectAfter && options_.disconnectAfter != 0;
}

}  // namespace korvo::sim
