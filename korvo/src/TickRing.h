#pragma once
// The recording: a ring of tick records filled by the servo thread and
// drained by any one other thread at a time, without locks. When it is full
// the newest tick is dropped and counted, never written over what the reader
// has not taken: the tick numbers then show the gap, and the count says how
// many.

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "Korvo/Haptics/Servo.h"

namespace Korvo::Haptics {

class TickRing {
public:
    explicit TickRing(std::uint32_t capacity) : capacity_(capacity), slots_(new TickRecord[capacity ? capacity : 1]) {}

    // The servo thread.
    void Push(const TickRecord& record) noexcept {
        if (capacity_ == 0) return;
        const std::uint64_t head = head_.load(std::memory_order_relaxed);
        if (head - tail_.load(std::memory_order_acquire) >= capacity_) {
            dropped_.fetch_add(1, std::memory_order_relaxed);
            return;
        }
        slots_[head % capacity_] = record;
        head_.store(head + 1, std::memory_order_release);
    }

    // The reader: everything recorded since the last drain.
    Recording Drain() {
        Recording out;
        const std::uint64_t tail = tail_.load(std::memory_order_relaxed);
        const std::uint64_t head = head_.load(std::memory_order_acquire);
        out.ticks.reserve(static_cast<std::size_t>(head - tail));
        for (std::uint64_t i = tail; i < head; ++i) out.ticks.push_back(slots_[i % capacity_]);
        tail_.store(head, std::memory_order_release);
        out.dropped = dropped_.exchange(0, std::memory_order_relaxed);
        return out;
    }

    const void* Data() const noexcept { return slots_.get(); }
    std::size_t Bytes() const noexcept { return sizeof(TickRecord) * capacity_; }

private:
    const std::uint32_t capacity_;
    std::unique_ptr<TickRecord[]> slots_;
    std::atomic<std::uint64_t> head_{0};
    std::atomic<std::uint64_t> tail_{0};
    std::atomic<std::uint64_t> dropped_{0};
};

}  // namespace Korvo::Haptics
