#pragma once
// The loop thread's side of Tap<T> (see Tap.h): a fixed number of slots,
// each holding at most one open tap, which the loop thread offers every item
// to. Opening and closing take a mutex among openers and closers only; the
// loop thread reads each slot's pointer and marks the slot busy while it
// offers, so that a closer can wait (briefly) until the item in hand is
// offered, and never the other way round.

#include <array>
#include <atomic>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "Korvo/Realtime/Tap.h"
#include "Rings.h"

namespace Korvo::Realtime {

template <class T>
class TapSlots;

template <class T>
class Tap<T>::Impl {
public:
    Impl(std::size_t capacity, std::weak_ptr<TapSlots<T>> slots) : ring_(capacity), slots_(std::move(slots)) {}

    // The loop thread.
    void Offer(const T& item) noexcept {
        if (!ring_.Push(item)) refused_.fetch_add(1, std::memory_order_relaxed);
    }

    Batch Drain() {
        const std::lock_guard<std::mutex> lock(reader_);
        Batch batch;
        ring_.DrainInto(batch.items);
        batch.refused = refused_.exchange(0, std::memory_order_relaxed);
        return batch;
    }

    void Close() noexcept {
        if (auto slots = slots_.lock()) slots->Remove(this);
        open_.store(false);
    }

    bool IsOpen() const noexcept { return open_.load(); }
    std::size_t Capacity() const noexcept { return ring_.Capacity(); }

private:
    DropRing<T> ring_;
    std::atomic<std::uint64_t> refused_{0};
    std::mutex reader_;  // Drain is one reader at a time; a second caller waits its turn
    std::weak_ptr<TapSlots<T>> slots_;
    std::atomic<bool> open_{true};
};

template <class T>
class TapSlots : public std::enable_shared_from_this<TapSlots<T>> {
public:
    using TapImpl = typename Tap<T>::Impl;

    std::shared_ptr<Tap<T>> Open(std::size_t capacity) {
        if (capacity == 0 || capacity > kMaxTapCapacity) {
            throw std::invalid_argument("tap capacity must be from 1 to " + std::to_string(kMaxTapCapacity) +
                                        " items, got " + std::to_string(capacity));
        }
        auto impl = std::make_shared<TapImpl>(capacity, this->weak_from_this());
        const std::lock_guard<std::mutex> lock(registry_);
        for (std::size_t i = 0; i < kMaxTaps; ++i) {
            if (owners_[i]) continue;
            owners_[i] = impl;
            slots_[i].store(impl.get(), std::memory_order_release);
            return std::make_shared<Tap<T>>(std::move(impl));
        }
        throw std::runtime_error("at most " + std::to_string(kMaxTaps) + " taps may be open at once");
    }

    // Any thread but the loop's.
    void Remove(const TapImpl* impl) noexcept {
        const std::lock_guard<std::mutex> lock(registry_);
        for (std::size_t i = 0; i < kMaxTaps; ++i) {
            if (owners_[i].get() != impl) continue;
            slots_[i].store(nullptr, std::memory_order_seq_cst);
            // Either the loop thread's second look at the slot sees it empty,
            // or this sees the slot busy and waits for that one offer.
            while (busy_[i].load(std::memory_order_seq_cst)) std::this_thread::yield();
            owners_[i].reset();
        }
    }

    // The loop thread.
    void Publish(const T& item) noexcept {
        for (std::size_t i = 0; i < kMaxTaps; ++i) {
            if (slots_[i].load(std::memory_order_relaxed) == nullptr) continue;
            busy_[i].store(true, std::memory_order_seq_cst);
            if (TapImpl* tap = slots_[i].load(std::memory_order_seq_cst)) tap->Offer(item);
            busy_[i].store(false, std::memory_order_release);
        }
    }

private:
    std::array<std::atomic<TapImpl*>, kMaxTaps> slots_{};
    std::array<std::atomic<bool>, kMaxTaps> busy_{};
    std::mutex registry_;  // openers and closers; never the loop thread
    std::array<std::shared_ptr<TapImpl>, kMaxTaps> owners_;
};

template <class T>
typename Tap<T>::Batch Tap<T>::Drain() {
    return impl_->Drain();
}

template <class T>
void Tap<T>::Close() noexcept {
    impl_->Close();
}

template <class T>
bool Tap<T>::IsOpen() const noexcept {
    return impl_->IsOpen();
}

template <class T>
std::size_t Tap<T>::Capacity() const noexcept {
    return impl_->Capacity();
}

template <class T>
Tap<T>::~Tap() {
    impl_->Close();
}

}  // namespace Korvo::Realtime
