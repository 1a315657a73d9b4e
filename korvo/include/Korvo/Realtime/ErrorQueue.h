#pragma once
// ErrorQueue: the library's error reports, taken off the thread that made
// them and handed to another that may wait.
//
//   Korvo::Realtime::ErrorQueue queue;
//   Korvo::HardwareAPI::IO::SetErrorSink(queue.Sink());   // reports queue up here
//   while (queue.Wait(std::chrono::seconds(1))) {
//       for (const auto& report : queue.Take().reports) Log(report);
//   }
//   Korvo::HardwareAPI::IO::SetErrorSink({});              // the lines on standard error again
//
// A report is made on whatever thread failed: a discovery probe, a servo
// thread, a thread that holds a lock another one waits on. Anything that
// waits there (for a logging framework's lock, for an interpreter) can
// deadlock the program. The sink of this queue only copies the report in
// under the queue's own short lock and wakes the waiter; the program hands
// the reports on from a thread of its choosing.
//
// Bounded: a queue nobody takes from holds `capacity` reports; later ones
// are dropped and counted (Taken::dropped), never silently lost.
//
// Thread safety: every operation may be called from any thread. The queue
// must outlive the sink installed from it (install another one first).

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "Korvo/HardwareAPI/IO/ErrorLog.h"

namespace Korvo::Realtime {

class ErrorQueue {
public:
    static constexpr std::size_t kDefaultCapacity = 1024;

    explicit ErrorQueue(std::size_t capacity = kDefaultCapacity);
    ErrorQueue(const ErrorQueue&) = delete;
    ErrorQueue& operator=(const ErrorQueue&) = delete;

    // Queues a copy of `report` (or counts it as dropped when full) and
    // wakes Wait(). Never waits for anything but the queue's own lock.
    void Push(const HardwareAPI::IO::ErrorReport& report);

    struct Taken {
        std::vector<HardwareAPI::IO::ErrorReport> reports;  // oldest first
        std::uint64_t dropped = 0;  // since the previous Take
    };
    // Everything queued; the queue is empty after.
    Taken Take();

    // Waits until a report is queued, `timeout` passes or Wake() is called
    // (the one after it, or one made while nobody waited). True when reports
    // or drops are waiting to be taken.
    bool Wait(std::chrono::nanoseconds timeout);
    void Wake();

    // A sink for SetErrorSink that pushes into this queue.
    HardwareAPI::IO::ErrorSink Sink();

private:
    const std::size_t capacity_;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<HardwareAPI::IO::ErrorReport> reports_;
    std::uint64_t dropped_ = 0;
    bool woken_ = false;
};

}  // namespace Korvo::Realtime
