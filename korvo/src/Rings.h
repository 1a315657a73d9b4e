#pragma once
// Rings of fixed capacity between one writing thread that must never wait
// (the servo thread, the handle monitor's) and one reading thread at a time,
// without locks. When a ring is full the newest item is refused, never
// written over what the reader has not taken: the writer counts it.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "Korvo/Haptics/Servo.h"

namespace Korvo::Haptics {

template <class T>
class DropRing {
public:
    explicit DropRing(std::size_t capacity) : capacity_(capacity), slots_(new T[capacity ? capacity : 1]) {}

    // The writer: false, and nothing written, when the ring is full.
    bool Push(const T& item) noexcept {
        const std::uint64_t head = head_.load(std::memory_order_relaxed);
        if (head - tail_.load(std::memory_order_acquire) >= capacity_) return false;
        slots_[head % capacity_] = item;
        head_.store(head + 1, std::memory_order_release);
        return true;
    }

    // The reader: appends everything pushed since its last call.
    void DrainInto(std::vector<T>& out) {
        const std::uint64_t tail = tail_.load(std::memory_order_relaxed);
        const std::uint64_t head = head_.load(std::memory_order_acquire);
        out.reserve(out.size() + static_cast<std::size_t>(head - tail));
        for (std::uint64_t i = tail; i < head; ++i) out.push_back(slots_[i % capacity_]);
        tail_.store(head, std::memory_order_release);
    }

    std::size_t Capacity() const noexcept { return capacity_; }
    const void* Data() const noexcept { return slots_.get(); }
    std::size_t Bytes() const noexcept { return sizeof(T) * capacity_; }

private:
    const std::size_t capacity_;
    std::unique_ptr<T[]> slots_;
    std::atomic<std::uint64_t> head_{0};
    std::atomic<std::uint64_t> tail_{0};
};

// The recording: every tick, with a count of those a full ring refused (the
// tick numbers show where the gap is). A capacity of 0 records nothing.
class TickRing {
public:
    explicit TickRing(std::uint32_t capacity) : ring_(capacity) {}

    // The servo thread.
    void Push(const TickRecord& record) noexcept {
        if (ring_.Capacity() != 0 && !ring_.Push(record)) dropped_.fetch_add(1, std::memory_order_relaxed);
    }

    // The reader: everything recorded since the last drain.
    Recording Drain() {
        Recording out;
        ring_.DrainInto(out.ticks);
        out.dropped = dropped_.exchange(0, std::memory_order_relaxed);
        return out;
    }

    const void* Data() const noexcept { return ring_.Data(); }
    std::size_t Bytes() const noexcept { return ring_.Bytes(); }

private:
    DropRing<TickRecord> ring_;
    std::atomic<std::uint64_t> dropped_{0};
};

}  // namespace Korvo::Haptics
