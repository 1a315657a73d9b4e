#include "Histogram.h"

namespace Korvo::Haptics {

std::uint64_t Histogram::Count() const noexcept {
    std::uint64_t total = 0;
    for (std::size_t i = 0; i <= kBins; ++i) total += bins_[i].load(std::memory_order_relaxed);
    return total;
}

double Histogram::Percentile(double fraction) const noexcept {
    const std::uint64_t total = Count();
    if (total == 0) return 0.0;
    const auto wanted = static_cast<std::uint64_t>(fraction * static_cast<double>(total) + 0.5);
    std::uint64_t seen = 0;
    for (std::size_t i = 0; i < kBins; ++i) {
        seen += bins_[i].load(std::memory_order_relaxed);
        if (seen >= wanted && seen > 0) return static_cast<double>(i + 1) * 1e-6;
    }
    return Max();
}

}  // namespace Korvo::Haptics
