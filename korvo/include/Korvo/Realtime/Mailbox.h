#pragma once
// Mailbox<T>: a value handed from any number of threads to one thread that
// must never wait for them (the servo thread).
//
// Three slots (a triple buffer). A writer fills the slot no one else is
// using and then, in one atomic exchange, swaps it with the slot in the
// middle, marked fresh. The reader, when the middle slot is fresh, swaps it
// with its own in one atomic exchange and reads that: the latest value
// written whole. A writer stopped half-way through a value (preempted by the
// servo thread itself on the same core, or by anything else) is filling a
// slot the reader never looks at, so it delays no read, and the reader goes
// on with the last whole value.
//
// Writers take a mutex among themselves (any number of threads may write at
// once; each value arrives whole); the reader never takes it. Latest() is
// for threads other than the reader: it takes the writers' mutex and gives
// the last value written.
//
// Thread contract: Write() and Latest() from any thread; Read() from one
// thread only (the mailbox's reader), and never concurrently with itself.

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <type_traits>

namespace Korvo::Realtime {

namespace Testing {
// Called by every Write() after its value is in its slot and before it is
// handed over: tests stop a writer there, half-way, to show that the reader
// does not wait for it. Null (the default): nothing is called.
inline std::atomic<void (*)()> mailbox_write_pause{nullptr};
}  // namespace Testing

template <class T>
class Mailbox {
    static_assert(std::is_trivially_copyable_v<T>, "a Mailbox holds plain values");

public:
    Mailbox() : Mailbox(T{}) {}
    explicit Mailbox(const T& value) : slots_{value, value, value}, latest_(value) {}
    Mailbox(const Mailbox&) = delete;
    Mailbox& operator=(const Mailbox&) = delete;

    // Any thread.
    void Write(const T& value) {
        const std::lock_guard<std::mutex> lock(writers_);
        slots_[back_] = value;
        if (auto pause = Testing::mailbox_write_pause.load(std::memory_order_acquire)) pause();
        back_ = static_cast<std::uint8_t>(middle_.exchange(static_cast<std::uint8_t>(back_ | kFresh),
                                                           std::memory_order_acq_rel) &
                                          kIndex);
        latest_ = value;
    }

    // Any thread but the reader's: the last value written.
    T Latest() const {
        const std::lock_guard<std::mutex> lock(writers_);
        return latest_;
    }

    // The reader's thread only: the latest value written whole. Never waits.
    const T& Read() noexcept {
        if ((middle_.load(std::memory_order_relaxed) & kFresh) != 0) {
            front_ = static_cast<std::uint8_t>(middle_.exchange(front_, std::memory_order_acq_rel) & kIndex);
        }
        return slots_[front_];
    }

private:
    static constexpr std::uint8_t kIndex = 0x3;
    static constexpr std::uint8_t kFresh = 0x4;

    std::array<T, 3> slots_;
    std::atomic<std::uint8_t> middle_{1};
    std::uint8_t back_ = 2;   // the writers' (under writers_)
    std::uint8_t front_ = 0;  // the reader's
    mutable std::mutex writers_;
    T latest_;                // under writers_
};

}  // namespace Korvo::Realtime
