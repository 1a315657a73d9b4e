#pragma once
// SeqLock<T>: one small value published by one thread that must never wait
// (the servo thread, the handle monitor's), read by any number of others
// that never see half of one write and half of another.
//
// The writer bumps a sequence number to odd, stores the value, and bumps it
// to even; a reader copies the value between two reads of the sequence and
// tries again when they differ or are odd. (No fences: ThreadSanitizer does
// not model them, and on x86 the orderings below cost nothing.) The value is
// kept as atomic words, so concurrent access is well defined (and quiet under
// ThreadSanitizer).
//
// Who waits: never the writer. A reader retries while a write is under way,
// so a writer stopped half-way (preempted) holds its readers until it goes
// on: use a SeqLock only where the writer is the thread that must not wait
// and the readers may. Values that go to such a thread cross in a Mailbox
// instead (see Mailbox.h). Writes must not overlap: one writing thread.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace Korvo::Realtime {

template <class T>
class SeqLock {
    static_assert(std::is_trivially_copyable_v<T>, "a SeqLock holds plain values");

public:
    SeqLock() : SeqLock(T{}) {}
    explicit SeqLock(const T& value) { Store(value); }

    void Store(const T& value) noexcept {
        Word words[kWords]{};
        std::memcpy(words, &value, sizeof(T));
        const std::uint64_t seq = sequence_.load(std::memory_order_relaxed);
        sequence_.store(seq + 1, std::memory_order_relaxed);
        // Release on every word (rather than a fence): a reader that sees any
        // new word also sees the odd sequence stored before it.
        for (std::size_t i = 0; i < kWords; ++i) words_[i].store(words[i], std::memory_order_release);
        sequence_.store(seq + 2, std::memory_order_release);
    }

    T Load() const noexcept {
        Word words[kWords];
        for (;;) {
            const std::uint64_t before = sequence_.load(std::memory_order_acquire);
            if ((before & 1) != 0) continue;
            for (std::size_t i = 0; i < kWords; ++i) words[i] = words_[i].load(std::memory_order_acquire);
            if (sequence_.load(std::memory_order_relaxed) == before) break;
        }
        T value;
        std::memcpy(&value, words, sizeof(T));
        return value;
    }

    // How many writes there have been.
    std::uint64_t Writes() const noexcept { return sequence_.load(std::memory_order_acquire) / 2; }

private:
    using Word = std::uint64_t;
    static constexpr std::size_t kWords = (sizeof(T) + sizeof(Word) - 1) / sizeof(Word);

    std::atomic<std::uint64_t> sequence_{0};
    std::atomic<Word> words_[kWords]{};
};

}  // namespace Korvo::Realtime
