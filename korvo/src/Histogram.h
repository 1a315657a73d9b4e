#pragma once
// Durations counted in 1 us bins up to 20 ms (and one bin beyond), written
// by one thread without locks and read by any: enough for percentiles of
// loop periods and exchange times at any rate the servo runs.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace Korvo::Haptics {

class Histogram {
public:
    static constexpr std::size_t kBins = 20000;  // 1 us each; one more for anything longer

    Histogram() : bins_(new std::atomic<std::uint64_t>[kBins + 1]) { Reset(); }

    // Writer side (the servo thread).
    void Add(std::chrono::nanoseconds d) noexcept {
        const auto us = d.count() < 0 ? 0 : static_cast<std::size_t>(d.count() / 1000);
        bins_[us < kBins ? us : kBins].fetch_add(1, std::memory_order_relaxed);
        if (d.count() > max_ns_.load(std::memory_order_relaxed)) max_ns_.store(d.count(), std::memory_order_relaxed);
    }

    // Reader side. A count racing with Add may be off by the ticks of that
    // instant; statistics do not need more.
    void Reset() noexcept {
        for (std::size_t i = 0; i <= kBins; ++i) bins_[i].store(0, std::memory_order_relaxed);
        max_ns_.store(0, std::memory_order_relaxed);
    }
    std::uint64_t Count() const noexcept;
    // Seconds at or below which `fraction` of the durations lie (bin upper edge).
    double Percentile(double fraction) const noexcept;
    double Max() const noexcept { return static_cast<double>(max_ns_.load(std::memory_order_relaxed)) * 1e-9; }
    // The atomics, for locking them in memory.
    const void* Data() const noexcept { return bins_.get(); }
    std::size_t Bytes() const noexcept { return sizeof(std::atomic<std::uint64_t>) * (kBins + 1); }

private:
    std::unique_ptr<std::atomic<std::uint64_t>[]> bins_;
    std::atomic<std::int64_t> max_ns_{0};
};

}  // namespace Korvo::Haptics
