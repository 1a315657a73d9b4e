// Error reports: the lines on standard error by default, a sink instead of
// them, and the queue that takes reports off the failing thread.

#include <cerrno>
#include <cstring>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Korvo/Realtime/ErrorQueue.h"
#include "Korvo/HardwareAPI/Devices/Device.h"
#include "Korvo/HardwareAPI/IO/ErrorLog.h"
#include "Korvo/HardwareAPI/IO/SerialStream.h"
#include "support/PtyPeer.h"
#include "support/StderrCapture.h"

namespace {

using Korvo::Realtime::ErrorQueue;
using Korvo::HardwareAPI::Devices::Device;
using Korvo::HardwareAPI::IO::ErrorKind;
using Korvo::HardwareAPI::IO::ErrorReport;
using Korvo::HardwareAPI::IO::LogError;
using Korvo::HardwareAPI::IO::SerialStream;
using Korvo::HardwareAPI::IO::SetErrorSink;
using Korvo::Testing::PtyPeer;
using Korvo::Testing::StderrCapture;
using namespace std::chrono_literals;

const std::string kMissing = "/nonexistent/korvo-port";

// Every test leaves the default sink behind, whatever it asserted.
class ErrorSink : public ::testing::Test {
protected:
    ~ErrorSink() override { SetErrorSink({}); }

    // Installs a sink that collects reports, and returns them.
    std::shared_ptr<std::vector<ErrorReport>> Collect() {
        auto reports = std::make_shared<std::vector<ErrorReport>>();
        SetErrorSink([reports](const ErrorReport& r) { reports->push_back(r); });
        return reports;
    }
};

TEST_F(ErrorSink, DefaultLinesAreWrittenWhenNoSinkIsOrWasInstalled) {
    const std::string expected_port = "[err] Library/src/SerialStream:39> unable to open port '" + kMissing + "': [2] " +
                                      std::strerror(ENOENT);
    const std::string expected_stream = "[err] Library/src/SerialStream:18> unable to open stream '" + kMissing +
                                        "': [2] " + std::strerror(ENOENT);
    for (const bool after_a_sink : {false, true}) {
        SCOPED_TRACE(after_a_sink ? "after a sink was removed" : "never a sink");
        if (after_a_sink) {
            SetErrorSink([](const ErrorReport&) {});
            SetErrorSink({});
        }
        StderrCapture capture;
        SerialStream stream(kMissing.c_str());
        // The bytes are on the descriptor at once: the line was flushed.
        EXPECT_EQ(capture.Text(), expected_port + "\n" + expected_stream + "\n");
    }
}

TEST_F(ErrorSink, ReceivesFailedCallsWithTheirPortAndErrnoInsteadOfTheLines) {
    const auto reports = Collect();
    StderrCapture capture;
    errno = 0;
    SerialStream stream(kMissing.c_str());
    EXPECT_EQ(errno, ENOENT);  // left as the failure set it
    EXPECT_EQ(capture.Text(), "");
    ASSERT_EQ(reports->size(), 2u);
    const ErrorReport& port = (*reports)[0];
    EXPECT_STREQ(port.source, "Library/src/SerialStream");
    EXPECT_EQ(port.line, 39u);
    EXPECT_EQ(port.kind, ErrorKind::kFailedCall);
    EXPECT_EQ(port.operation, "unable to open port '" + kMissing + "'");
    EXPECT_EQ(port.port, kMissing);
    EXPECT_EQ(port.error, ENOENT);
    EXPECT_EQ(port.error_text, std::strerror(ENOENT));
    // The line the default would have written, to the byte.
    EXPECT_EQ(port.Line(), "[err] Library/src/SerialStream:39> unable to open port '" + kMissing + "': [2] " +
                               std::strerror(ENOENT));
    EXPECT_EQ((*reports)[1].line, 18u);
}

TEST_F(ErrorSink, ATimeoutIsReportedAsOneWithThePortOfItsStream) {
    PtyPeer peer;
    SerialStream stream(peer.Path());
    Device device(&stream, 0.02f);
    const auto reports = Collect();
    errno = ENOTTY;  // what a terminal ioctl leaves behind; no call fails in a timeout
    EXPECT_EQ(device.ReadHeaderCode(), 0);
    ASSERT_EQ(reports->size(), 1u);
    EXPECT_EQ((*reports)[0].kind, ErrorKind::kTimeout);
    EXPECT_EQ((*reports)[0].line, 78u);
    EXPECT_EQ((*reports)[0].operation, "timeout waiting for header code");
    EXPECT_EQ((*reports)[0].port, peer.Path());
}

TEST_F(ErrorSink, ASinkThatThrowsOrChangesErrnoChangesNothingForTheCaller) {
    SetErrorSink([](const ErrorReport&) {
        errno = EPERM;
        throw std::runtime_error("a broken sink");
    });
    errno = 0;
    SerialStream stream(kMissing.c_str());
    EXPECT_EQ(errno, ENOENT);
    EXPECT_TRUE(stream.good());
}

// Threads report while the sink is replaced under them: every report lands
// in exactly one place (a sink or standard error), and a replaced sink is
// not destroyed while a report is still inside it (ThreadSanitizer and
// AddressSanitizer watch this test).
TEST_F(ErrorSink, ReplacingTheSinkWhileThreadsReportLosesAndDuplicatesNothing) {
    constexpr int kThreads = 4;
    constexpr int kReportsEach = 300;
    std::atomic<int> delivered{0};
    std::atomic<bool> go{false};
    StderrCapture capture;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            while (!go.load()) std::this_thread::yield();
            for (int i = 0; i < kReportsEach; ++i) LogError("test", 1, ErrorKind::kTimeout, nullptr, "report %d", i);
        });
    }
    go.store(true);
    for (int swap = 0; swap < 200; ++swap) {
        // Each sink owns state of its own that dies with it.
        auto own = std::make_shared<std::atomic<int>>(0);
        if (swap % 3 == 2) {
            SetErrorSink({});
        } else {
            SetErrorSink([own, &delivered](const ErrorReport& r) {
                own->fetch_add(1);
                if (r.operation.rfind("report ", 0) == 0) delivered.fetch_add(1);
            });
        }
        std::this_thread::yield();
    }
    for (auto& thread : threads) thread.join();
    SetErrorSink({});
    const int written = static_cast<int>(capture.Lines().size());
    EXPECT_EQ(delivered.load() + written, kThreads * kReportsEach);
}

TEST(ErrorQueue, KeepsOrderAndCountsWhatAFullQueueDrops) {
    ErrorQueue queue(3);
    for (int i = 0; i < 5; ++i) {
        ErrorReport r;
        r.line = static_cast<unsigned>(i);
        queue.Push(r);
    }
    ErrorQueue::Taken taken = queue.Take();
    ASSERT_EQ(taken.reports.size(), 3u);
    for (unsigned i = 0; i < 3; ++i) EXPECT_EQ(taken.reports[i].line, i);
    EXPECT_EQ(taken.dropped, 2u);
    taken = queue.Take();
    EXPECT_TRUE(taken.reports.empty());
    EXPECT_EQ(taken.dropped, 0u);
}

TEST(ErrorQueue, WaitEndsOnAReportOnWakeOrAtItsTimeout) {
    struct Case {
        const char* name;
        bool push;
        bool wake;
        bool expect_ready;
    };
    for (const Case c : {Case{"report", true, false, true}, Case{"wake", false, true, false},
                         Case{"timeout", false, false, false}}) {
        SCOPED_TRACE(c.name);
        ErrorQueue queue;
        std::thread other([&] {
            std::this_thread::sleep_for(10ms);
            if (c.push) queue.Push(ErrorReport{});
            if (c.wake) queue.Wake();
        });
        const auto start = std::chrono::steady_clock::now();
        // A wait that missed its wake-up would last the whole 5 s.
        const bool ready = queue.Wait(c.push || c.wake ? 5s : 30ms);
        const auto waited = std::chrono::steady_clock::now() - start;
        other.join();
        EXPECT_EQ(ready, c.expect_ready);
        EXPECT_LT(waited, 4s);
        if (!c.push && !c.wake) {
            EXPECT_GE(waited, 30ms);
        }
    }
}

// The sink of a queue on the failing threads, a taker on another: every
// report arrives once, in each thread's own order.
TEST(ErrorQueue, ItsSinkCarriesReportsOfManyThreadsToATaker) {
    constexpr int kThreads = 4;
    constexpr int kReportsEach = 500;
    ErrorQueue queue(kThreads * kReportsEach);
    SetErrorSink(queue.Sink());
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kReportsEach; ++i) LogError("test", static_cast<unsigned>(t), ErrorKind::kFailedCall,
                                                            nullptr, "%d", i);
        });
    }
    std::vector<int> next(kThreads, 0);
    int received = 0;
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (received < kThreads * kReportsEach && std::chrono::steady_clock::now() < deadline) {
        queue.Wait(50ms);
        for (const ErrorReport& r : queue.Take().reports) {
            EXPECT_EQ(r.operation, std::to_string(next[r.line]++));
            ++received;
        }
    }
    for (auto& thread : threads) thread.join();
    SetErrorSink({});
    EXPECT_EQ(received, kThreads * kReportsEach);
}

}  // namespace
