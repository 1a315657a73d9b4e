#pragma once
// PtyPeer: a pseudo-terminal pair in which the test plays the device.
//
// The library opens Path() (the slave) like any serial node; the test reads
// what the library wrote from the master, byte for byte, and answers with
// exact bytes, now, after a delay, or from a script run on a thread of its
// own while the library blocks in an exchange.
//
// The peer keeps a slave descriptor of its own open, in raw mode, so that
// nothing is echoed or translated before the library configures the port and
// the master never reports a hang-up when the library closes its side.

#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <thread>
#include <vector>

namespace Korvo::Testing {

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

// A device answers at once whatever the host does: the thread that plays one
// takes real-time priority where the process may have it, so that a loaded
// machine does not make its answers late.
void AnswerAtOnce();

// Little helpers to write replies as data.
Bytes FloatBytes(std::initializer_list<float> values);
Bytes Concat(std::initializer_list<Bytes> parts);

class PtyPeer {
public:
    // One step of a scripted exchange: wait for `expect.size()` bytes from the
    // library, then (after `delay`) answer with `reply`.
    struct Step {
        Bytes expect;
        Bytes reply;
        std::chrono::microseconds delay{0};
    };

    PtyPeer();
    ~PtyPeer();
    PtyPeer(const PtyPeer&) = delete;
    PtyPeer& operator=(const PtyPeer&) = delete;

    const std::string& Path() const { return path_; }
    int Master() const { return master_; }
    int Slave() const { return slave_; }

    // Reads up to n bytes written by the library, waiting at most `limit` for
    // them; returns what arrived.
    Bytes Read(std::size_t n, std::chrono::milliseconds limit = 1000ms);
    // Everything the library has written so far, without waiting beyond
    // `quiet` for more.
    Bytes Drain(std::chrono::milliseconds quiet = 20ms);

    // Answers: at once, or from a background thread after a delay.
    void Send(const Bytes& bytes);
    // Send, then wait until the library's side has all of it queued, so that
    // no short time limit can race the delivery.
    void Deliver(const Bytes& bytes);
    void SendAfter(std::chrono::microseconds delay, Bytes bytes);

    // Runs the steps on a background thread; Join() waits for it and returns
    // what the library actually sent, step by step.
    void Script(std::vector<Step> steps, std::chrono::milliseconds step_limit = 2000ms);
    std::vector<Bytes> Join();

    // Pulls the cable: both of the peer's descriptors close, and the
    // library's side of the pty hangs up.
    void HangUp();

    // Bytes waiting for the library on the slave side.
    int PendingForLibrary() const;

private:
    void JoinWorker();

    int master_ = -1;
    int slave_ = -1;
    std::string path_;
    std::thread worker_;
    std::vector<Bytes> received_;
};

}  // namespace Korvo::Testing
