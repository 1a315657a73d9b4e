#include "Faults.h"

namespace Korvo::Sim {

namespace {
bool Nth(std::uint64_t count, std::uint64_t every) noexcept { return every != 0 && count % every == 0; }
}  // namespace

Faults::Faults(const FaultOptions& options, std::uint64_t seed) : options_(options), rng_(seed) {}

void Faults::AppendNotification(Wire::Bytes& out)
{
    // Alternate the two codes and walk the length through 0..8 so hosts meet
    // every shape, including the empty one.
    const std::uint64_t k = notifications_++;
    const auto length = static_cast<std::uint8_t>(k % 9);
    out.push_back(k % 2 == 0 ? 0xBA : 0xBB);
    out.push_back(rng_.Byte());
    out.push_back(length);
    for (std::uint8_t i = 0; i < length; ++i) {
        out.push_back(rng_.Byte());
    }
}

bool Faults::Shape(const Wire::Bytes& reply, Wire::Bytes& out)
{
    out.clear();
    const std::uint64_t n = ++replies_;
    if (Nth(n, options_.drop_every)) {
        return false;
    }
    for (std::uint64_t i = 0; i < options_.notify_flood; ++i) {
        AppendNotification(out);
    }
    if (Nth(n, options_.notify_every)) {
        AppendNotification(out);
    }
    const std::size_t start = out.size();
    std::size_t length = reply.size();
    if (Nth(n, options_.truncate_every)) {
        length /= 2;
    }
    out.insert(out.end(), reply.begin(), reply.begin() + static_cast<std::ptrdiff_t>(length));
    if (Nth(n, options_.corrupt_every) && length > 0) {
        out[start] = kCorruptCode;
    }
    return true;
}

bool Faults::HangUpAfterRequest() noexcept
{
    return ++requests_ == options_.disconnect_after && options_.disconnect_after != 0;
}

}  // namespace Korvo::Sim
