#pragma once
// HandleMonitor: the handle's stream of status frames, read on a thread of
// its own, so that a program polling at screen rate misses nothing.
//
//   Korvo::DeviceTools::HandleMonitor monitor("/dev/ttyUSB0");
//   monitor.Start();
//   auto status = monitor.Latest();          // the newest good frame, any time, any thread
//   for (auto& e : monitor.TakeEvents()) {}  // every button press and release since the last call
//   monitor.Stop();
//
// What runs where
//
//   The monitor thread sleeps until bytes arrive (poll, see IO/Wait.h: no
//   spinning), collects frames (0xDA, a byte-stuffed body, 0xC0), decodes
//   and checks them (StylarFrame), and publishes the newest good one through
//   a SeqLock: Latest() is never torn and never makes the thread wait. Each
//   change of a button bit between good frames becomes an event with the
//   time it was seen, in a queue of kEventCapacity; a queue the program does
//   not drain fills up, and then what it drops is counted, never silent.
//   Frames that fail their checks are counted (Counts::bad_frames) and
//   skipped; the next good one is taken as usual.
//
// Faults and ending
//
//   A port that hangs up ends the thread: Disconnected() is then true and the
//   monitor stays readable (the last status, the events). Stop() ends the
//   thread at once (it is woken, not waited out) and lends a borrowed Handle
//   back, its stream in step: the handle's own operations work again.
//
// From Start() until it ends, the monitor drives its port (see
// SerialStream::Drive): no other stream, loop or device of the process gets
// to it. In a child made by fork() it is not running, Start() throws, and
// Stop() joins and lends back nothing: the thread is the parent's.
//
// Errors: a port that cannot be opened throws std::system_error with the
// path (EBUSY while a loop of this process drives it); a Handle lent
// elsewhere, or in use on another thread, or on a port another loop drives,
// throws std::runtime_error at Start().

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Korvo/Realtime/Tap.h"

namespace Korvo::HardwareAPI::Devices {
class Handle;
}

namespace Korvo::DeviceTools {

class HandleMonitor {
public:
    static constexpr std::size_t kEventCapacity = 4096;

    struct Status {
        double time = -1.0;                  // s since Start() when the frame came; -1: none yet
        std::uint64_t frame = 0;             // good frames so far, this one included
        std::uint8_t device_id = 0;
        std::array<float, 4> quaternion{};   // as GetStylarStatus gives it
        std::uint8_t error_flag = 0;
        std::uint8_t trigger = 0;            // the hall-effect level, 0 to 31
        std::uint8_t buttons = 0;            // bit 0: button 1, bit 1: button 2, bit 2: button 3
        float battery = 0.0f;                // volts
    };

    struct ButtonEvent {
        double time = 0.0;                   // s since Start()
        std::uint8_t button = 0;             // 1 to 3
        bool pressed = false;
        std::uint8_t buttons = 0;            // every button's state after the change
    };

    struct Counts {
        std::uint64_t frames = 0;            // good
        std::uint64_t bad_frames = 0;        // failed their checks
        std::uint64_t events = 0;            // button changes seen
        std::uint64_t events_dropped = 0;    // not kept: the queue was full
    };

    explicit HandleMonitor(const std::string& port);
    // Borrows `handle` (and its stream) from Start() to Stop().
    explicit HandleMonitor(HardwareAPI::Devices::Handle& handle);
    ~HandleMonitor();
    HandleMonitor(const HandleMonitor&) = delete;
    HandleMonitor& operator=(const HandleMonitor&) = delete;

    void Start();
    void Stop() noexcept;
    bool Running() const noexcept;
    bool Disconnected() const noexcept;

    // What is wrong, in words, or empty: the port hung up, or no good frame
    // has come for longer than the frame timeout (since Start(), or since
    // the last one): a port where no handle streams (an arm's, say), or a
    // handle that stopped. Reading it waits for nothing.
    std::string Fault() const;
    // Seconds without a good frame before Fault() says so (default 1;
    // above 0).
    void SetFrameTimeout(double seconds);
    double FrameTimeout() const noexcept;

    // When Start() began, in seconds of the monotonic clock (what Python's
    // time.monotonic() reads): event and status times count from there.
    double StartedAt() const noexcept;

    Status Latest() const noexcept;
    // Every event since the last call, oldest first (one reader at a time).
    std::vector<ButtonEvent> TakeEvents();
    Counts GetCounts() const noexcept;
    // Every good frame from now on (its number and time in it), `capacity`
    // frames deep, for a reader of its own: see Tap.h.
    std::shared_ptr<Realtime::Tap<Status>> OpenTap(std::size_t capacity);

    class Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace Korvo::DeviceTools
