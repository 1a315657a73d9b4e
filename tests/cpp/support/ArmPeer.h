#pragma once
// ArmPeer: a scripted arm on a pty, played by a thread of its own, for the
// servo loop's tests. It answers force requests (0x2A) with a state reply
// whose position and velocity the test sets, and each query a servo loop uses
// as a marker (0xAC, 0xAA, 0xAB, 0x0C) with its own code followed by zero
// bytes, as many as that reply carries; it writes down every force it
// receives. Faults are chosen per request, by the index of the force request
// they hit (from 0): no reply, a reply with a wrong code, a reply sent late.

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/PtyPeer.h"

namespace Korvo::Testing {

class ArmPeer {
public:
    enum class Fault { Drop, Corrupt, Late };
    using Force = std::array<float, 3>;

    ArmPeer();
    ~ArmPeer();
    ArmPeer(const ArmPeer&) = delete;
    ArmPeer& operator=(const ArmPeer&) = delete;

    const std::string& Path() const { return pty_.Path(); }

    void SetState(const std::array<float, 3>& position, const std::array<float, 3>& velocity);
    // Each state reply then carries the index of its request in position
    // x (index * 1e-4 m), so that a test can tell which request a reply
    // answered.
    void NumberReplies(bool on) { number_ = on; }
    // `fault` hits the reply to force request number `index`; Late sends it
    // `late` after the request.
    void Inject(std::size_t index, Fault fault, std::chrono::microseconds late = std::chrono::microseconds(0));
    // Stops answering (the arm is silent, the line stays up).
    void Mute(bool muted) { muted_ = muted; }
    // Pulls the cable.
    void HangUp();

    // Every force received so far, in order.
    std::vector<Force> Forces() const;
    std::size_t ForceCount() const;
    // Waits until at least n forces have come; false after `limit`.
    bool AwaitForces(std::size_t n, std::chrono::milliseconds limit) const;

private:
    void Serve();

    PtyPeer pty_;
    mutable std::mutex mutex_;
    std::array<float, 3> position_{0.0f, 0.02f, 0.2f};
    std::array<float, 3> velocity_{0.0f, 0.0f, 0.0f};
    std::map<std::size_t, std::pair<Fault, std::chrono::microseconds>> faults_;
    std::vector<Force> forces_;
    std::atomic<bool> muted_{false};
    std::atomic<bool> number_{false};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace Korvo::Testing
