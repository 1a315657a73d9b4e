#include "Korvo/DeviceTools/HandleMonitor.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <span>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

#include "Korvo/Realtime/SeqLock.h"
#include "Korvo/HardwareAPI/Devices/Handle.h"
#include "Korvo/HardwareAPI/Devices/StylarFrame.h"
#include "Korvo/HardwareAPI/IO/SerialStream.h"
#include "Korvo/HardwareAPI/IO/Wait.h"
#include "Realtime/LoopGuards.h"
#include "Realtime/Rings.h"
#include "Realtime/Taps.h"

namespace Korvo::DeviceTools {

namespace {

using Realtime::DropRing;
using Realtime::Origin;
using Realtime::PortClaim;
using Realtime::SeqLock;
using HardwareAPI::Devices::Handle;
using HardwareAPI::IO::CancelScope;
using HardwareAPI::IO::CancelToken;
using HardwareAPI::IO::Deadline;
using HardwareAPI::IO::SerialStream;
using HardwareAPI::IO::WaitCancelled;
using HardwareAPI::IO::WaitResult;
namespace StylarFrame = HardwareAPI::Devices::StylarFrame;
using Clock = std::chrono::steady_clock;

}  // namespace

class HandleMonitor::Impl {
public:
    Impl(std::unique_ptr<SerialStream> own_stream, std::unique_ptr<Handle> own_handle, Handle* handle)
        : own_stream_(std::move(own_stream)),
          own_handle_(std::move(own_handle)),
          handle_(handle),
          stream_(handle->stream),
          events_(kEventCapacity) {}
    ~Impl() { Stop(); }

    void Start() {
        origin_.RequireHere("this handle monitor");
        if (running_.load()) return;
        Stop();
        if (stream_ == nullptr) throw std::runtime_error("the handle's port is not open");
        if (!handle_->Lend(this, "a handle monitor")) {
            throw std::runtime_error("the handle is lent elsewhere, or in use on another thread");
        }
        lent_ = true;
        try {
            claim_.Take(*stream_, "a handle monitor", "the handle's port");
            token_ = std::make_unique<CancelToken>();
        } catch (...) {
            claim_.Release();
            handle_->Return(this);
            lent_ = false;
            throw;
        }
        disconnected_ = false;
        epoch_ = Clock::now();
        started_at_ = std::chrono::duration<double>(epoch_.time_since_epoch()).count();
        running_ = true;
        thread_ = std::thread([this] { Run(); });
    }

    void Stop() noexcept {
        if (origin_.Forked()) {
            // The thread, and the token it waits on (which the child shares),
            // are the parent's.
            Realtime::Origin::Forget(thread_);
            return;
        }
        const std::lock_guard<std::mutex> lock(stop_mutex_);
        if (thread_.joinable()) {
            token_->Cancel();
            thread_.join();
        }
        claim_.Release();
        if (lent_) {
            handle_->Return(this);
            lent_ = false;
        }
        running_ = false;
    }

    bool Running() const noexcept { return running_.load() && !origin_.Forked(); }
    double StartedAt() const noexcept { return started_at_.load(); }
    bool Disconnected() const noexcept { return disconnected_.load(); }
    std::string Fault() const;
    void SetFrameTimeout(double seconds) {
        if (!(std::isfinite(seconds) && seconds > 0.0)) {
            throw std::invalid_argument("frame_timeout must be above 0 s, got " + std::to_string(seconds));
        }
        frame_timeout_.store(seconds);
    }
    double FrameTimeout() const noexcept { return frame_timeout_.load(); }
    Status Latest() const noexcept { return latest_.Load(); }

    std::vector<ButtonEvent> TakeEvents() {
        std::vector<ButtonEvent> out;
        events_.DrainInto(out);
        return out;
    }

    std::shared_ptr<Realtime::Tap<Status>> OpenTap(std::size_t capacity) { return taps_->Open(capacity); }

    Counts GetCounts() const noexcept {
        Counts c;
        c.frames = latest_.Load().frame;  // frames are numbered from 1
        c.bad_frames = bad_frames_.load(std::memory_order_relaxed);
        c.events = events_seen_.load(std::memory_order_relaxed);
        c.events_dropped = events_dropped_.load(std::memory_order_relaxed);
        return c;
    }

private:
    void Run() noexcept;
    void Frame(const std::vector<std::uint8_t>& stuffed, double now);
    void Event(const ButtonEvent& event) noexcept {
        events_seen_.fetch_add(1, std::memory_order_relaxed);
        if (!events_.Push(event)) events_dropped_.fetch_add(1, std::memory_order_relaxed);
    }

    std::unique_ptr<SerialStream> own_stream_;
    std::unique_ptr<Handle> own_handle_;
    Handle* handle_;
    SerialStream* stream_;
    std::thread thread_;
    std::mutex stop_mutex_;
    Realtime::Origin origin_;
    Realtime::PortClaim claim_;
    std::unique_ptr<CancelToken> token_;
    std::atomic<bool> running_{false};
    std::atomic<bool> disconnected_{false};
    bool lent_ = false;
    Clock::time_point epoch_{};
    std::atomic<double> started_at_{0.0};
    std::atomic<double> frame_timeout_{1.0};

    Realtime::SeqLock<Status> latest_;
    std::uint8_t buttons_ = 0;  // the monitor thread's
    bool seen_any_ = false;
    std::uint64_t frames_ = 0;  // the monitor thread's
    std::atomic<std::uint64_t> bad_frames_{0}, events_seen_{0}, events_dropped_{0};
    Realtime::DropRing<ButtonEvent> events_;
    std::shared_ptr<Realtime::TapSlots<Status>> taps_ = std::make_shared<Realtime::TapSlots<Status>>();
};

void HandleMonitor::Impl::Frame(const std::vector<std::uint8_t>& stuffed, double now) {
    auto decoded = StylarFrame::Decode(stuffed);
    if (!decoded) {
        bad_frames_.fetch_add(1, std::memory_order_relaxed);
        // A frame cut short runs into the next one, whose start byte is then
        // in the middle: the good frame may still be there, behind it.
        for (auto at = stuffed.begin(); !decoded && at != stuffed.end(); ++at) {
            if (*at != StylarFrame::kStart) continue;
            decoded = StylarFrame::Decode(std::span<const std::uint8_t>(&*(at + 1), static_cast<std::size_t>(stuffed.end() - at - 1)));
        }
        if (!decoded) return;
    }
    Status status;
    status.time = now;
    status.frame = ++frames_;
    status.device_id = decoded->device_id;
    status.quaternion = decoded->quaternion;
    status.error_flag = decoded->error_flag;
    status.trigger = decoded->hall_effect_sensor_level;
    status.buttons = decoded->buttons;
    status.battery = decoded->battery_level;
    if (seen_any_) {
        const std::uint8_t changed = buttons_ ^ status.buttons;
        for (std::uint8_t bit = 0; bit < 3; ++bit) {
            if ((changed & (1u << bit)) == 0) continue;
            Event({now, static_cast<std::uint8_t>(bit + 1), (status.buttons & (1u << bit)) != 0, status.buttons});
        }
    }
    buttons_ = status.buttons;
    seen_any_ = true;
    latest_.Store(status);
    taps_->Publish(status);
}

void HandleMonitor::Impl::Run() noexcept {
    const CancelScope scope(*token_);
    std::vector<std::uint8_t> chunk(4096);
    std::vector<std::uint8_t> stuffed;
    stuffed.reserve(StylarFrame::kMaximumStuffed);
    bool in_frame = false;
    try {
        for (;;) {
            // Sleeps until bytes come; a second at a time, so that a line that
            // has hung up is noticed even when poll does not say so.
            const WaitResult waited = stream_->AwaitBytes(1, Deadline(1.0f), false);
            if (waited == WaitResult::HungUp || !stream_->good()) break;
            if (waited == WaitResult::TimedOut) continue;
            // Ready on a stream still good: the wait has counted at least
            // one byte, and the port need not be asked again.
            const auto take = std::min(stream_->KnownAvailable(), chunk.size());
            if (take == 0) continue;
            stream_->read(reinterpret_cast<char*>(chunk.data()), static_cast<std::streamsize>(take));
            if (!stream_->good()) break;
            const double now = std::chrono::duration<double>(Clock::now() - epoch_).count();
            for (std::size_t i = 0; i < take; ++i) {
                const std::uint8_t byte = chunk[i];
                if (!in_frame) {
                    // Anything else on the line (replies to requests) is
                    // passed over until a frame starts.
                    in_frame = byte == StylarFrame::kStart;
                    stuffed.clear();
                    continue;
                }
                stuffed.push_back(byte);
                if (byte == StylarFrame::kEnd) {
                    Frame(stuffed, now);
                    in_frame = false;
                } else if (stuffed.size() >= StylarFrame::kMaximumStuffed) {
                    bad_frames_.fetch_add(1, std::memory_order_relaxed);
                    in_frame = false;
                }
            }
        }
        disconnected_ = true;
    } catch (const WaitCancelled&) {
        // Stop() asked.
    }
    claim_.Release();
    running_ = false;
}

std::string HandleMonitor::Impl::Fault() const {
    if (disconnected_.load()) return "disconnected: the handle's port hung up";
    if (!running_.load()) return "";
    const double now = std::chrono::duration<double>(Clock::now().time_since_epoch()).count() - started_at_.load();
    const Status latest = latest_.Load();
    const double silent = now - (latest.frame > 0 ? latest.time : 0.0);
    if (silent <= frame_timeout_.load()) return "";
    char words[200];
    std::snprintf(words, sizeof words, "no status frames for %.1f s on %s: is a handle streaming there?", silent,
                  stream_ != nullptr ? stream_->PortName().c_str() : "its port");
    return words;
}

// -- the facade -------------------------------------------------------------------------------

HandleMonitor::HandleMonitor(const std::string& port) {
    auto stream = std::make_unique<SerialStream>(port, false);
    if (stream->OpenPort() != 1) throw std::system_error(errno, std::generic_category(), port);
    auto handle = std::make_unique<Handle>(stream.get());
    Handle* raw = handle.get();
    impl_ = std::make_unique<Impl>(std::move(stream), std::move(handle), raw);
}

HandleMonitor::HandleMonitor(Handle& handle) : impl_(std::make_unique<Impl>(nullptr, nullptr, &handle)) {}

HandleMonitor::~HandleMonitor() = default;

void HandleMonitor::Start() { impl_->Start(); }
void HandleMonitor::Stop() noexcept { impl_->Stop(); }
bool HandleMonitor::Running() const noexcept { return impl_->Running(); }
bool HandleMonitor::Disconnected() const noexcept { return impl_->Disconnected(); }
std::string HandleMonitor::Fault() const { return impl_->Fault(); }
void HandleMonitor::SetFrameTimeout(double seconds) { impl_->SetFrameTimeout(seconds); }
double HandleMonitor::FrameTimeout() const noexcept { return impl_->FrameTimeout(); }
double HandleMonitor::StartedAt() const noexcept { return impl_->StartedAt(); }
HandleMonitor::Status HandleMonitor::Latest() const noexcept { return impl_->Latest(); }
std::vector<HandleMonitor::ButtonEvent> HandleMonitor::TakeEvents() { return impl_->TakeEvents(); }
HandleMonitor::Counts HandleMonitor::GetCounts() const noexcept { return impl_->GetCounts(); }
}  // namespace Korvo::DeviceTools

template class Korvo::Realtime::Tap<Korvo::DeviceTools::HandleMonitor::Status>;

namespace Korvo::DeviceTools {

std::shared_ptr<Realtime::Tap<HandleMonitor::Status>> HandleMonitor::OpenTap(std::size_t capacity) {
    return impl_->OpenTap(capacity);
}

}  // namespace Korvo::DeviceTools
