#include "Korvo/Realtime/ErrorQueue.h"

#include <utility>

namespace Korvo::Realtime {

ErrorQueue::ErrorQueue(std::size_t capacity) : capacity_(capacity) {}

void ErrorQueue::Push(const HardwareAPI::IO::ErrorReport& report) {
    {
        const std::lock_guard lock(mutex_);
        if (reports_.size() >= capacity_) {
            ++dropped_;
        } else {
            reports_.push_back(report);
        }
    }
    ready_.notify_all();
}

ErrorQueue::Taken ErrorQueue::Take() {
    Taken taken;
    const std::lock_guard lock(mutex_);
    taken.reports.assign(std::make_move_iterator(reports_.begin()), std::make_move_iterator(reports_.end()));
    reports_.clear();
    taken.dropped = std::exchange(dropped_, 0);
    return taken;
}

bool ErrorQueue::Wait(std::chrono::nanoseconds timeout) {
    std::unique_lock lock(mutex_);
    ready_.wait_for(lock, timeout, [&] { return woken_ || !reports_.empty() || dropped_ > 0; });
    woken_ = false;
    return !reports_.empty() || dropped_ > 0;
}

void ErrorQueue::Wake() {
    {
        const std::lock_guard lock(mutex_);
        woken_ = true;
    }
    ready_.notify_all();
}

HardwareAPI::IO::ErrorSink ErrorQueue::Sink() {
    return [this](const HardwareAPI::IO::ErrorReport& report) { Push(report); };
}

}  // namespace Korvo::Realtime
