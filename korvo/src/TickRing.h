#pragma once
// The servo loop's recording ring (see Servo.h: Drain()).

#include <cstdint>

#include "Korvo/Haptics/Servo.h"
#include "Realtime/Rings.h"

namespace Korvo::Haptics {

// The recording: every tick, the newest kept when the ring is full. Drain()
// takes what came since the last drain; the tick numbers show where ticks
// are missing and Recording::dropped counts them. A capacity of 0 records
// nothing. One drainer at a time.
class TickRing {
public:
    explicit TickRing(std::uint32_t capacity) : ring_(capacity) {}

    // The servo thread.
    void Push(const TickRecord& record) noexcept { ring_.Push(record); }

    Recording Drain() {
        Recording out;
        const std::uint64_t head = ring_.Head();
        out.dropped = ring_.ReadFrom(drained_, head, out.ticks);
        drained_ = head;
        return out;
    }

    const void* Data() const noexcept { return ring_.Data(); }
    std::size_t Bytes() const noexcept { return ring_.Bytes(); }

private:
    Realtime::NewestRing<TickRecord> ring_;
    std::uint64_t drained_ = 0;  // the drainer's
};

}  // namespace Korvo::Haptics
