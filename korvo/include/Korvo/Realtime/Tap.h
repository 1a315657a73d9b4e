#pragma once
// Tap<T>: a reader's own stream of everything a loop thread produces (every
// tick of a Servo, every good status frame of a HandleMonitor), beside the
// loop's own recording and independent of who drains that.
//
//   auto tap = servo.OpenTap(8192);          // any thread, running or not
//   auto batch = tap->Drain();               // every tick since the last drain
//   tap->Close();                            // or let the last reference go
//
// Each tap has a preallocated ring of its own. The loop thread offers every
// item to every open tap without ever waiting, allocating, locking or making
// a system call; a full tap refuses the newest item and counts it (its
// numbering shows where the gap is), so a reader that falls behind loses
// items, never the loop its pace. A few taps may be open at once (kMaxTaps
// per loop); opening one more throws std::runtime_error.
//
// Close() may be called from any thread but the loop's, while the loop
// runs: it may wait for the loop thread to finish offering the item in
// hand (microseconds); the loop thread never waits for it. What the ring
// holds stays drainable after Close(). A tap outlives its loop safely.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace Korvo::Realtime {

inline constexpr std::size_t kMaxTaps = 4;
inline constexpr std::size_t kMaxTapCapacity = std::size_t{1} << 24;

template <class T>
class Tap {
public:
    struct Batch {
        std::vector<T> items;        // oldest first
        std::uint64_t refused = 0;   // items a full ring refused since the last drain
    };

    // One reader at a time.
    Batch Drain();
    // Stops receiving; idempotent.
    void Close() noexcept;
    bool IsOpen() const noexcept;
    std::size_t Capacity() const noexcept;

    class Impl;
    explicit Tap(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}
    ~Tap();
    Tap(const Tap&) = delete;
    Tap& operator=(const Tap&) = delete;

private:
    std::shared_ptr<Impl> impl_;
};

}  // namespace Korvo::Realtime
