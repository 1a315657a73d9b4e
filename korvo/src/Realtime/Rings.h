#pragma once
// Rings of fixed capacity between one writing thread that must never wait
// (the servo thread, the handle monitor's) and readers on other threads,
// without locks.
//
//   DropRing   one reader at a time; when full, the newest item is refused
//              (the writer counts it): for events, where the first ones
//              matter and each is taken once.
//   NewestRing any readers; when full, the oldest item is written over: the
//              ring always holds the newest ones (what a user needs after a
//              fault), and a reader learns how many it missed.

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <type_traits>
#include <vector>

namespace Korvo::Realtime {

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

template <class T>
class NewestRing {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    explicit NewestRing(std::size_t capacity) : capacity_(capacity), slots_(new Slot[capacity ? capacity : 1]) {}

    // The writer: never waits; a full ring loses its oldest item.
    void Push(const T& item) noexcept {
        if (capacity_ == 0) return;
        const std::uint64_t n = head_.load(std::memory_order_relaxed);
        Slot& slot = slots_[n % capacity_];
        Word words[kWords]{};
        std::memcpy(words, &item, sizeof(T));
        // Odd while the slot is being written; a reader that sees any new
        // word also sees the odd mark stored before it (release on each).
        slot.mark.store(2 * n + 1, std::memory_order_relaxed);
        for (std::size_t i = 0; i < kWords; ++i) slot.words[i].store(words[i], std::memory_order_release);
        slot.mark.store(2 * n + 2, std::memory_order_release);
        head_.store(n + 1, std::memory_order_release);
    }

    // Items pushed so far (the next one's number).
    std::uint64_t Head() const noexcept { return head_.load(std::memory_order_acquire); }

    // A reader: appends the items numbered from `from` up to (not
    // including) `head` (at most Head()) that are still in the ring, oldest
    // first; returns how many of those were written over before they could
    // be read.
    std::uint64_t ReadFrom(std::uint64_t from, std::uint64_t head, std::vector<T>& out) const {
        if (capacity_ == 0 || from >= head) return head > from ? head - from : 0;
        std::uint64_t lost = 0;
        // What the writer may have reached meanwhile bounds what is left.
        const std::uint64_t now = Head();
        if (now - from > capacity_) {
            lost = std::min(head, now - capacity_) - from;
            from = std::min(head, now - capacity_);
        }
        out.reserve(out.size() + static_cast<std::size_t>(head - from));
        for (std::uint64_t n = from; n < head; ++n) {
            const Slot& slot = slots_[n % capacity_];
            Word words[kWords];
            const std::uint64_t before = slot.mark.load(std::memory_order_acquire);
            for (std::size_t i = 0; i < kWords; ++i) words[i] = slot.words[i].load(std::memory_order_acquire);
            // Written over (or being written) meanwhile: lost, never torn.
            if (before != 2 * n + 2 || slot.mark.load(std::memory_order_relaxed) != before) {
                ++lost;
                continue;
            }
            T item;
            std::memcpy(&item, words, sizeof(T));
            out.push_back(item);
        }
        return lost;
    }

    std::size_t Capacity() const noexcept { return capacity_; }
    const void* Data() const noexcept { return slots_.get(); }
    std::size_t Bytes() const noexcept { return sizeof(Slot) * capacity_; }

private:
    using Word = std::uint64_t;
    static constexpr std::size_t kWords = (sizeof(T) + sizeof(Word) - 1) / sizeof(Word);
    struct Slot {
        std::atomic<std::uint64_t> mark{0};
        std::atomic<Word> words[kWords]{};
    };

    const std::size_t capacity_;
    std::unique_ptr<Slot[]> slots_;
    std::atomic<std::uint64_t> head_{0};
};

}  // namespace Korvo::Realtime
