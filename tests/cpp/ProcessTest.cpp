// What a whole program does around its ports and loops: a second user of a
// port in the same process (refused while a loop drives it, the drive and
// device operations racing under ThreadSanitizer), StopAll while loops start
// on other threads, fork() (a child holds none of its parent's ports and
// runs none of its loops), and termination signals (the loops send their
// zero force, then the process ends as the signal would have ended it).

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "Korvo/DeviceTools/HandleMonitor.h"
#include "Korvo/Haptics/Servo.h"
#include "Korvo/HardwareAPI/Devices/Arvena.h"
#include "Korvo/HardwareAPI/IO/PortHolder.h"
#include "Korvo/HardwareAPI/IO/SerialStream.h"
#include "support/ArmPeer.h"
#include "support/PtyPeer.h"
#include "support/StderrCapture.h"

extern char** environ;

namespace {

using namespace Korvo::HardwareAPI;
using namespace std::chrono_literals;
using Devices::Arvena;
using Devices::PortDriven;
using IO::PortHolder;
using IO::SerialStream;
using Korvo::DeviceTools::HandleMonitor;
using Korvo::Haptics::Servo;
using Korvo::Haptics::ServoOptions;
using Korvo::Testing::ArmPeer;
using Korvo::Testing::Bytes;
using Korvo::Testing::PtyPeer;
using Korvo::Testing::StderrCapture;

ServoOptions Gentle() {
    ServoOptions o;
    o.rate = 500.0;
    o.realtime = false;
    o.exchange_timeout = 0.05;
    o.limits.ramp_time = 0.01;
    o.limits.max_force_step = 1.0;
    return o;
}

// The last force a stopped loop wrote, once the peer has read it.
ArmPeer::Force LastForce(const ArmPeer& arm) {
    std::size_t seen = arm.ForceCount();
    while (arm.AwaitForces(seen + 1, 50ms)) seen = arm.ForceCount();
    const auto forces = arm.Forces();
    return forces.empty() ? ArmPeer::Force{-1.0f, -1.0f, -1.0f} : forces.back();
}

constexpr ArmPeer::Force kZeroForce{0.0f, 0.0f, 0.0f};

// -- one driver per port --------------------------------------------------------------------------

TEST(PortDriving, NoOtherStreamOrDeviceOfTheProcessGetsToADrivenPort) {
    PtyPeer peer;
    SerialStream earlier(peer.Path());
    Arvena earlier_arm(&earlier, 0.05f);
    SerialStream driving(peer.Path());
    Arvena twin(&driving, 0.05f);  // a device on the driving stream itself
    ASSERT_EQ(driving.Drive("a servo loop"), "");
    EXPECT_STREQ(driving.Driver(), "a servo loop");
    EXPECT_STREQ(IO::PortDriver(peer.Path()), "a servo loop");

    {
        StderrCapture capture;
        SerialStream late(peer.Path());
        EXPECT_EQ(late.Descriptor(), -1);
        const auto lines = capture.Lines();
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_EQ(lines[0], "[err] Library/src/SerialStream:39> unable to open port '" + peer.Path() +
                                "' (driven by a servo loop of this process): [16] Device or resource busy");
        EXPECT_EQ(lines[1], "[err] Library/src/SerialStream:18> unable to open stream '" + peer.Path() +
                                "': [16] Device or resource busy");
    }
    // Devices refuse before they touch the port, whichever stream they use.
    EXPECT_THROW(earlier_arm.end_effector_force({0.0f, 0.0f, -3.0f}), PortDriven);
    EXPECT_THROW(twin.send_raw("\x2a", 1), PortDriven);
    // The earlier stream used directly fails, without writing.
    EXPECT_FALSE(earlier.WriteWhole("\x01", 1, IO::Deadline(0.1f)));
    EXPECT_EQ(errno, EBUSY);
    EXPECT_EQ(earlier.Drive("a handle monitor"), "is driven by a servo loop of this process");
    EXPECT_TRUE(peer.Drain().empty());
    // The loop's own stream works.
    ASSERT_TRUE(driving.WriteWhole("\x02", 1, IO::Deadline(0.1f)));
    EXPECT_EQ(peer.Read(1), Bytes{0x02});

    driving.StopDriving();
    EXPECT_EQ(IO::PortDriver(peer.Path()), nullptr);
    SerialStream after(peer.Path());
    EXPECT_GE(after.Descriptor(), 0);
    earlier_arm.send_raw("\x03", 1);
    EXPECT_EQ(peer.Read(1), Bytes{0x03});
}

// A device operation and a loop starting to drive the port, racing: an
// operation either ends before the drive begins or starts after it ends,
// never in between. The driver marks its drive on the wire (0xD0 when it
// begins, 0xD1 before it ends); the device writes 0x01.
TEST(PortDriving, ADriveAndADeviceOperationNeverOverlap) {
    PtyPeer peer;
    SerialStream other(peer.Path());
    Arvena arm(&other, 0.5f);
    SerialStream driving(peer.Path());
    std::atomic<bool> stop{false};
    std::atomic<int> sent{0}, refused{0}, failed{0};
    std::thread user([&] {
        while (!stop) {
            try {
                arm.send_raw("\x01", 1);
                ++sent;
            } catch (const PortDriven&) {
                ++refused;
            } catch (const std::runtime_error&) {
                ++failed;
            }
            std::this_thread::sleep_for(20us);  // room for a drive to begin
        }
    });
    // Everything written, in order, read as it comes so that no write waits.
    Bytes line;
    std::atomic<bool> written{false};
    std::thread reader([&] {
        while (!written) {
            const Bytes got = peer.Read(4096, 5ms);
            line.insert(line.end(), got.begin(), got.end());
        }
        const Bytes rest = peer.Drain();
        line.insert(line.end(), rest.begin(), rest.end());
    });
    int drives = 0;
    // Until both sides have had many turns (the machine decides when each runs).
    const auto give_up = std::chrono::steady_clock::now() + 5s;
    while ((drives < 50 || sent < 50) && std::chrono::steady_clock::now() < give_up) {
        if (!driving.Drive("a servo loop").empty()) continue;  // an operation was running
        ++drives;
        driving.WriteWhole("\xd0", 1, IO::Deadline(1.0f));
        std::this_thread::yield();
        driving.WriteWhole("\xd1", 1, IO::Deadline(1.0f));
        driving.StopDriving();
        std::this_thread::sleep_for(20us);
    }
    stop = true;
    user.join();
    written = true;
    reader.join();
    EXPECT_GE(drives, 50);
    EXPECT_GE(sent.load(), 50);
    EXPECT_EQ(failed.load(), 0);
    EXPECT_EQ(std::count(line.begin(), line.end(), 0x01), sent.load());
    bool inside = false;
    for (const std::uint8_t b : line) {
        if (b == 0xD0) inside = true;
        if (b == 0xD1) inside = false;
        ASSERT_FALSE(inside && b == 0x01) << "a device wrote while the port was driven";
    }
}

TEST(PortDriving, ALoopHoldsItsPortFromStartUntilItEndsEvenByItself) {
    ArmPeer peer;
    Servo servo(peer.Path(), Gentle());
    Servo second(peer.Path(), Gentle());  // made before the first starts
    servo.Start();
    ASSERT_TRUE(peer.AwaitForces(5, 10s));
    try {
        second.Start();
        ADD_FAILURE() << "a second loop started on a driven port";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "the arm's port is driven by a servo loop of this process");
    }
    try {
        HandleMonitor monitor(peer.Path());
        ADD_FAILURE() << "a monitor opened a driven port";
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code().value(), EBUSY);
    }
    // A pulled cable ends the loop by itself: the port is free at once.
    peer.HangUp();
    for (int i = 0; i < 2000 && servo.Running(); ++i) std::this_thread::sleep_for(1ms);
    ASSERT_FALSE(servo.Running());
    EXPECT_EQ(IO::PortDriver(peer.Path()), nullptr);
}

// Loops starting on another thread while StopAll runs again and again: once
// the last StopAll has returned, with no Start under way, no loop runs. Each
// loop is started once, so that a later Start of it cannot stop what an
// earlier StopAll missed.
TEST(StopAll, LeavesNoLoopRunningWhateverStartedMeanwhile) {
    ArmPeer peer;
    SerialStream stream(peer.Path());
    Arvena arm(&stream, 0.5f);
    ServoOptions options = Gentle();
    options.recording = 0;
    std::atomic<bool> stop{false};
    std::atomic<int> starts{0};
    std::vector<std::unique_ptr<Servo>> made;
    std::thread starter([&] {
        while (!stop) {
            made.push_back(std::make_unique<Servo>(arm, options));
            try {
                made.back()->Start();
                ++starts;
            } catch (const std::runtime_error&) {
                // The last one still runs: the arm is lent, the port driven.
            }
        }
    });
    const auto give_up = std::chrono::steady_clock::now() + 5s;
    while (starts < 100 && std::chrono::steady_clock::now() < give_up) {
        Servo::StopAll();
        std::this_thread::sleep_for(200us);
    }
    stop = true;
    starter.join();
    Servo::StopAll();
    EXPECT_GE(starts.load(), 100);
    EXPECT_EQ(LastForce(peer), kZeroForce);
    const std::size_t after = peer.ForceCount();
    EXPECT_FALSE(peer.AwaitForces(after + 1, 100ms)) << "a loop still runs";
    for (const auto& servo : made) EXPECT_FALSE(servo->Running());
}

// -- fork -----------------------------------------------------------------------------------------------

// Runs `child` in a child process made by fork(); its result is the child's
// exit status (0: every check there held).
int InChild(int (*child)(void*), void* context) {
    const pid_t pid = ::fork();
    if (pid == 0) ::_exit(child(context));
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

struct Inherited {
    SerialStream* stream;
    std::string path;
};

// Each check that fails sets its own bit of the status.
int UseInheritedStream(void* context) {
    auto& inherited = *static_cast<Inherited*>(context);
    SerialStream& stream = *inherited.stream;
    int failed = 0;
    if (!stream.Inherited() || stream.Descriptor() != -1) failed |= 1;
    if (stream.WriteWhole("\x04", 1, IO::Deadline(0.1f)) || errno != EBUSY) failed |= 2;
    stream.Write("\x05", 1);
    if (stream.good()) failed |= 4;
    if (stream.Drive("a servo loop").empty()) failed |= 8;
    SerialStream own(inherited.path);  // the parent's port: locked, as for any other process
    if (own.Descriptor() != -1 || IO::WhoHoldsPort(inherited.path) != PortHolder::Another) failed |= 16;
    stream.Close();  // the child's descriptor only: the parent's lock stays
    return failed;
}

TEST(Fork, AChildHoldsNoneOfItsParentsPortsAndLeavesThemAlone) {
    PtyPeer peer;
    SerialStream stream(peer.Path());
    ASSERT_GE(stream.Descriptor(), 0);
    Inherited inherited{&stream, peer.Path()};
    {
        StderrCapture capture;  // the child's error lines
        EXPECT_EQ(InChild(&UseInheritedStream, &inherited), 0);
    }
    EXPECT_TRUE(peer.Drain().empty());
    // The parent's stream works, and its lock held throughout.
    EXPECT_EQ(IO::WhoHoldsPort(peer.Path()), PortHolder::ThisProcess);
    const int other = ::open(peer.Path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    EXPECT_NE(::flock(other, LOCK_EX | LOCK_NB), 0);
    ::close(other);
    stream.Write("\x06", 1);
    EXPECT_TRUE(stream.good());
    EXPECT_EQ(peer.Read(1), Bytes{0x06});
}

struct Running {
    Servo* servo;
    std::string path;
};

int UseInheritedServo(void* context) {
    auto& running = *static_cast<Running*>(context);
    int failed = 0;
    if (running.servo->Running()) failed |= 1;
    try {
        running.servo->Start();
        failed |= 2;
    } catch (const std::runtime_error&) {
    }
    running.servo->SetForce({0.0, 0.0, -3.0});
    running.servo->Stop();  // joins nothing, sends nothing
    Servo::StopAll();
    try {
        Servo own(running.path, Gentle());
        failed |= 4;
    } catch (const std::system_error& e) {
        if (e.code().value() != EBUSY) failed |= 8;
    }
    return failed;
}

TEST(Fork, AChildNeitherRunsNorStopsItsParentsLoop) {
    ArmPeer peer;
    Servo servo(peer.Path(), Gentle());
    servo.Start();
    servo.SetForce({0.0, 0.0, 1.0});
    ASSERT_TRUE(peer.AwaitForces(20, 10s));
    Running running{&servo, peer.Path()};
    EXPECT_EQ(InChild(&UseInheritedServo, &running), 0);
    const std::size_t after_child = peer.ForceCount();
    ASSERT_TRUE(peer.AwaitForces(after_child + 20, 10s));
    EXPECT_TRUE(servo.Running());
    EXPECT_EQ(servo.EndReason(), "");
    servo.Stop();
    EXPECT_EQ(LastForce(peer), kZeroForce);
    const auto forces = peer.Forces();
    EXPECT_TRUE(std::none_of(forces.begin(), forces.end(), [](const ArmPeer::Force& f) { return f[2] < 0.0f; }));
}

// -- termination signals -----------------------------------------------------------------------------

struct Disposition {
    bool handled;  // a handler, not SIG_DFL or SIG_IGN
    void (*handler)(int);
};

Disposition Current(int sig) {
    struct sigaction now {};
    ::sigaction(sig, nullptr, &now);
    return {now.sa_handler != SIG_DFL && now.sa_handler != SIG_IGN, now.sa_handler};
}

void Set(int sig, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    ::sigaction(sig, &action, nullptr);
}

void ProgramsOwn(int) {}

TEST(ExitSignals, OnlySignalsAtTheirDefaultAreTakenAndOnlyWhileALoopRuns) {
    Set(SIGHUP, SIG_IGN);  // the program's choice
    ArmPeer peer;
    {
        Servo servo(peer.Path(), Gentle());
        servo.Start();
        EXPECT_TRUE(Current(SIGTERM).handled);
        EXPECT_TRUE(Current(SIGINT).handled);
        EXPECT_EQ(Current(SIGHUP).handler, SIG_IGN);
        Set(SIGINT, &ProgramsOwn);  // installed while the loop runs: kept
        servo.Stop();
        EXPECT_EQ(Current(SIGTERM).handler, SIG_DFL);
        EXPECT_EQ(Current(SIGINT).handler, &ProgramsOwn);
        EXPECT_EQ(Current(SIGHUP).handler, SIG_IGN);
    }
    Set(SIGHUP, SIG_DFL);
    Set(SIGINT, SIG_DFL);
}

// Starts korvo_servo_process on the arm's port; returns its pid and the read
// end of its standard output.
std::pair<pid_t, int> StartPushing(const std::string& port, bool own_handler) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category(), "pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    std::string program = KORVO_SERVO_PROCESS;
    std::string own = "own";
    std::vector<char*> argv{program.data(), const_cast<char*>(port.c_str())};
    if (own_handler) argv.push_back(own.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int failed = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    if (failed != 0) throw std::system_error(failed, std::generic_category(), program);
    return {pid, out[0]};
}

std::string ReadAll(int fd) {
    std::string text;
    char buffer[256];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<std::size_t>(n));
    return text;
}

std::string ReadLine(int fd) {
    std::string line;
    char c = 0;
    while (::read(fd, &c, 1) == 1 && c != '\n') line.push_back(c);
    return line;
}

class TerminationSignal : public ::testing::TestWithParam<int> {};

TEST_P(TerminationSignal, EndsTheProcessWithItsStatusAfterTheZeroForce) {
    ArmPeer peer;
    const auto [pid, out] = StartPushing(peer.Path(), false);
    ASSERT_EQ(ReadLine(out), "pushing");
    ::kill(pid, GetParam());
    int status = 0;
    ::waitpid(pid, &status, 0);
    ::close(out);
    ASSERT_TRUE(WIFSIGNALED(status)) << "exit status " << WEXITSTATUS(status);
    EXPECT_EQ(WTERMSIG(status), GetParam());
    EXPECT_EQ(LastForce(peer), kZeroForce);
    const auto forces = peer.Forces();
    EXPECT_NE(std::find(forces.begin(), forces.end(), ArmPeer::Force{0.0f, 0.0f, 2.0f}), forces.end());
}

INSTANTIATE_TEST_SUITE_P(Signals, TerminationSignal, ::testing::Values(SIGTERM, SIGHUP, SIGINT),
                         [](const auto& signal) { return std::string(sigabbrev_np(signal.param)); });

TEST(ExitSignals, AProgramsOwnHandlerIsKeptAndRuns) {
    ArmPeer peer;
    const auto [pid, out] = StartPushing(peer.Path(), true);
    ASSERT_EQ(ReadLine(out), "pushing");
    ::kill(pid, SIGTERM);
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_EQ(ReadAll(out), "handled\n");
    ::close(out);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 3);
    EXPECT_EQ(LastForce(peer), kZeroForce);
}

}  // namespace
