#include "support/ArmPeer.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace Korvo::Testing {

ArmPeer::ArmPeer() : thread_([this] { Serve(); }) {}

ArmPeer::~ArmPeer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
}

void ArmPeer::SetState(const std::array<float, 3>& position, const std::array<float, 3>& velocity) {
    const std::lock_guard<std::mutex> lock(mutex_);
    position_ = position;
    velocity_ = velocity;
}

void ArmPeer::Inject(std::size_t index, Fault fault, std::chrono::microseconds late) {
    const std::lock_guard<std::mutex> lock(mutex_);
    faults_[index] = {fault, late};
}

void ArmPeer::HangUp() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    pty_.HangUp();
}

std::vector<ArmPeer::Force> ArmPeer::Forces() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return forces_;
}

std::size_t ArmPeer::ForceCount() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return forces_.size();
}

bool ArmPeer::AwaitForces(std::size_t n, std::chrono::milliseconds limit) const {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (ForceCount() < n) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void ArmPeer::Serve() {
    AnswerAtOnce();
    Bytes pending;
    std::vector<std::pair<std::chrono::steady_clock::time_point, Bytes>> late;
    while (!stop_) {
        pollfd fd{pty_.Master(), POLLIN, 0};
        ::poll(&fd, 1, 1);
        // An arm answers in order: nothing overtakes a reply held back.
        const auto now = std::chrono::steady_clock::now();
        while (!late.empty() && late.front().first <= now) {
            pty_.Send(late.front().second);
            late.erase(late.begin());
        }
        const auto send = [&](const Bytes& bytes, std::chrono::microseconds delay = std::chrono::microseconds(0)) {
            if (late.empty() && delay.count() == 0) {
                pty_.Send(bytes);
            } else {
                late.emplace_back(std::max(late.empty() ? now : late.back().first, now + delay), bytes);
            }
        };
        if ((fd.revents & POLLIN) == 0) continue;
        std::uint8_t chunk[256];
        const ssize_t got = ::read(pty_.Master(), chunk, sizeof chunk);
        if (got <= 0) continue;
        pending.insert(pending.end(), chunk, chunk + got);
        while (!pending.empty()) {
            // The queries a servo loop uses as markers, answered with
            // replies of their own lengths.
            static const std::map<std::uint8_t, std::size_t> kQueries{{0xAC, 1}, {0xAA, 4}, {0xAB, 12}, {0x0C, 16}};
            if (const auto query = kQueries.find(pending[0]); query != kQueries.end()) {
                pending.erase(pending.begin());
                Bytes answer(1 + query->second, 0x00);
                answer[0] = query->first;
                if (!muted_) send(answer);
                continue;
            }
            if (pending[0] != 0x2A) {
                pending.erase(pending.begin());  // nothing else is asked of it
                continue;
            }
            if (pending.size() < 13) break;
            Force force;
            std::memcpy(force.data(), pending.data() + 1, 12);
            pending.erase(pending.begin(), pending.begin() + 13);
            Bytes reply{0x2B};
            std::size_t index = 0;
            std::pair<Fault, std::chrono::microseconds> fault{Fault::Late, std::chrono::microseconds(-1)};
            {
                const std::lock_guard<std::mutex> lock(mutex_);
                index = forces_.size();
                forces_.push_back(force);
                reply.resize(25);
                std::array<float, 3> position = position_;
                if (number_) position[0] = static_cast<float>(index) * 1e-4f;
                std::memcpy(reply.data() + 1, position.data(), 12);
                std::memcpy(reply.data() + 13, velocity_.data(), 12);
                if (const auto it = faults_.find(index); it != faults_.end()) fault = it->second;
            }
            if (muted_) continue;
            if (fault.second.count() < 0) {
                send(reply);
            } else if (fault.first == Fault::Corrupt) {
                reply[0] = 0xEE;
                send(reply);
            } else if (fault.first == Fault::Late) {
                send(reply, fault.second);
            }  // Drop: nothing
        }
    }
}

}  // namespace Korvo::Testing
