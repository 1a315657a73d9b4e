// Port enumeration and probing on a directory the test builds, with links to
// pty slaves played by scripted peers. Limits are scaled down through the
// internal seam; the public functions use 3 s and 5 s. ProbePort, the
// korvo command's probe, is held to the same answers.

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <thread>
#include <fstream>
#include <memory>
#include <set>

#include "DiscoveryDetail.h"
#include "Korvo/HardwareAPI/IO/SerialStream.h"
#include "Korvo/HardwareAPI/Probe.h"
#include "support/PtyPeer.h"
#include "support/StderrCapture.h"

namespace {

namespace fs = std::filesystem;
using namespace Korvo::HardwareAPI;
using Korvo::Testing::Bytes;
using Korvo::Testing::Concat;
using Korvo::Testing::PtyPeer;
using Korvo::Testing::StderrCapture;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr float kProbeTimeout = 0.2f;
constexpr auto kLimit = 300ms;

const Bytes kWakeup{0x0A};

Bytes ArmReply(std::uint8_t model) { return Concat({{0x0B, 0x01, 0x00, model, 0x01, 0x02}, Bytes(16, 0xAB)}); }
const Bytes kStatusReply = Concat({{0xDA, 0x42, 0x00, 0x00, 0x07}, Bytes(16, 0), {0x00}});
const Bytes kInfoReply{0xD0, 0x05, 0x42, 0x00, 0x02, 0x01, 0x03};
const Bytes kErrorReply{0xDF, 0x42, 0x00, 0x01};

class TempDirectory {
public:
    TempDirectory() {
        std::string pattern = (fs::temp_directory_path() / "korvo-dev-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data());
    }
    ~TempDirectory() { fs::remove_all(path_); }
    const fs::path& Path() const { return path_; }
    void Link(const std::string& name, const fs::path& target) const { fs::create_symlink(target, path_ / name); }

private:
    fs::path path_;
};

int ArmProbe(const char* port) { return DiscoveryDetail::ProbeArvena(port, kProbeTimeout); }
int HandleProbe(const char* port) { return DiscoveryDetail::ProbeHandle(port, kProbeTimeout); }

// -- enumeration ----------------------------------------------------------------------

TEST(ListPorts, ClassifiesByNameAndResolvesLinks) {
    TempDirectory dev;
    PtyPeer acm, usb, rfcomm, adapter;
    dev.Link("ttyACM0", acm.Path());
    dev.Link("ttyUSB3", usb.Path());
    dev.Link("rfcomm1", rfcomm.Path());
    dev.Link("my-ttyUSB-adapter", adapter.Path());  // the pattern anywhere in the name
    dev.Link("ttyACM-null", "/dev/null");           // a link to another node
    for (const char* other : {"ttyS0", "tty1", "console"}) std::ofstream(dev.Path() / other).put('x');

    std::set<std::pair<std::string, int>> listed;
    for (const PortEntry& e : DiscoveryDetail::ListPorts(dev.Path())) listed.insert({e.path, static_cast<int>(e.kind)});
    EXPECT_EQ(listed, (std::set<std::pair<std::string, int>>{
                          {acm.Path(), 1}, {usb.Path(), 2}, {rfcomm.Path(), 3}, {adapter.Path(), 2}, {"/dev/null", 1}}));
}

TEST(ListPorts, KeepsTheDirectorysOwnOrderAndDuplicates) {
    TempDirectory dev;
    PtyPeer a, b;
    dev.Link("ttyACM0", a.Path());
    dev.Link("ttyACM1", b.Path());
    dev.Link("ttyUSB0", a.Path());  // a second name for the same node
    std::vector<std::string> expected;
    for (const auto& entry : fs::directory_iterator(dev.Path())) expected.push_back(fs::canonical(entry.path()).string());
    std::vector<std::string> listed;
    for (const PortEntry& e : DiscoveryDetail::ListPorts(dev.Path())) listed.push_back(e.path);
    EXPECT_EQ(listed, expected);
}

TEST(ListPorts, MissingDirectoryOrNoMatchGivesAnEmptyList) {
    EXPECT_TRUE(DiscoveryDetail::ListPorts("/nonexistent/korvo-dev").empty());
    TempDirectory dev;
    std::ofstream(dev.Path() / "ttyS0").put('x');
    EXPECT_TRUE(DiscoveryDetail::ListPorts(dev.Path()).empty());
}

TEST(ListPorts, DanglingLinkIsAnError) {
    TempDirectory dev;
    dev.Link("ttyUSB9", dev.Path() / "gone");
    EXPECT_THROW(DiscoveryDetail::ListPorts(dev.Path()), fs::filesystem_error);
}

// -- probing ------------------------------------------------------------------------------

using Kind = ProbeResult::Kind;
const Bytes kNotification{0xBA, 0x00, 0x02, 0x01, 0x02};

// One reply to the wakeup, as each probe takes it: whether the detect
// functions list the port, and what ProbePort says.
struct AnswerCase {
    const char* name;
    Bytes reply;
    bool arm_listed;
    bool handle_listed;
    Kind kind;
    std::string detail;
};

class Probes : public ::testing::TestWithParam<AnswerCase> {};

TEST_P(Probes, AcceptOnlyTheExpectedAnswer) {
    const auto& c = GetParam();
    StderrCapture capture;
    for (const auto& [probe, listed] : {std::pair{&ArmProbe, c.arm_listed}, std::pair{&HandleProbe, c.handle_listed}}) {
        PtyPeer device;
        device.Script({{kWakeup, c.reply}});
        const auto found = DiscoveryDetail::Detect({{device.Path(), PortKind::ACM}}, {PortKind::ACM}, probe, kLimit);
        EXPECT_EQ(found, listed ? std::vector<std::string>{device.Path()} : std::vector<std::string>{});
        EXPECT_EQ(device.Join(), std::vector<Bytes>{kWakeup});
        EXPECT_TRUE(device.Drain().empty()) << "exactly one wakeup per probe";
    }

    PtyPeer device;
    device.Script({{kWakeup, c.reply}});
    const std::string logged = capture.Text();
    const ProbeResult result = ProbePort(device.Path(), kProbeTimeout);
    EXPECT_EQ(result.kind, c.kind);
    EXPECT_EQ(result.detail, c.detail);
    EXPECT_EQ(result.error, 0);
    EXPECT_EQ(device.Join(), std::vector<Bytes>{kWakeup});
    EXPECT_TRUE(device.Drain().empty()) << "exactly one wakeup per probe";
    EXPECT_EQ(capture.Text(), logged) << "ProbePort keeps off standard error";
}

INSTANTIATE_TEST_SUITE_P(
    Answers, Probes,
    ::testing::Values(
        AnswerCase{"ArmModel4", ArmReply(4), true, false, Kind::Arm, ""},
        AnswerCase{"ArmModel3", ArmReply(3), false, false, Kind::Arm, ""},
        AnswerCase{"ArmCutShort", Concat({{0x0B, 0x01, 0x00, 0x04}, Bytes(17, 0)}), false, false, Kind::Nothing,
                   "an answer that is no device's (code 0x0B)"},
        AnswerCase{"HandleStatus", kStatusReply, false, true, Kind::Handle, ""},
        AnswerCase{"HandleInfo", kInfoReply, false, true, Kind::Handle, ""},
        AnswerCase{"HandleError", kErrorReply, false, false, Kind::Nothing, "an answer that is no device's (code 0xDF)"},
        AnswerCase{"Silent", {}, false, false, Kind::Nothing, "no answer"},
        AnswerCase{"NotificationsFirst", Concat({kNotification, {0xBB, 0x00, 0x00}, kInfoReply}), false, true,
                   Kind::Handle, ""},
        AnswerCase{"NotificationCutShort", {0xBA, 0x00, 0x05, 0x01}, false, false, Kind::Nothing,
                   "a notification cut short"},
        AnswerCase{"NotificationThenSilence", kNotification, false, false, Kind::Nothing, "no answer"},
        AnswerCase{"CodeZero", {0x00}, false, false, Kind::Nothing, "an answer that is no device's (code 0x00)"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(Detect, AnswerAfterTheLimitDoesNotCountButIsWaitedFor) {
    PtyPeer device;
    device.Script({{kWakeup, ArmReply(4), 500ms}});
    const auto start = Clock::now();
    const auto found = DiscoveryDetail::Detect({{device.Path(), PortKind::ACM}}, {PortKind::ACM},
                                               [](const char* p) { return DiscoveryDetail::ProbeArvena(p, 2.0f); }, kLimit);
    EXPECT_TRUE(found.empty());
    EXPECT_GE(Clock::now() - start, 500ms);
}

TEST(Detect, IncompleteStatusSucceedsTooLateToCount) {
    PtyPeer device;
    device.Script({{kWakeup, {0xDA, 0x42, 0x00}}});
    StderrCapture quiet;
    EXPECT_EQ(DiscoveryDetail::ProbeHandle(device.Path().c_str(), 0.4f), 1);
    device.Join();
    device.Script({{kWakeup, {0xDA, 0x42, 0x00}}});
    const auto found = DiscoveryDetail::Detect({{device.Path(), PortKind::USB}}, {PortKind::USB},
                                               [](const char* p) { return DiscoveryDetail::ProbeHandle(p, 0.4f); }, kLimit);
    EXPECT_TRUE(found.empty());
}

TEST(Detect, ListsEveryAnsweringDeviceInListOrderAndProbesOnlyItsKinds) {
    PtyPeer first, second, skipped;
    first.Script({{kWakeup, kStatusReply}});
    second.Script({{kWakeup, kInfoReply}});
    const std::vector<PortEntry> ports{
        {second.Path(), PortKind::RFCOMM}, {skipped.Path(), PortKind::ACM}, {first.Path(), PortKind::USB}};
    const auto found = DiscoveryDetail::Detect(ports, {PortKind::USB, PortKind::RFCOMM}, HandleProbe, kLimit);
    EXPECT_EQ(found, (std::vector<std::string>{second.Path(), first.Path()}));
    EXPECT_TRUE(skipped.Drain().empty());
}

TEST(Detect, ProbesNeverOverlap) {
    std::atomic<int> running{0}, most{0};
    const std::vector<PortEntry> ports{{"a", PortKind::ACM}, {"b", PortKind::ACM}, {"c", PortKind::ACM}};
    const auto found = DiscoveryDetail::Detect(
        ports, {PortKind::ACM},
        [&](const char*) {
            most = std::max(most.load(), ++running);
            std::this_thread::sleep_for(20ms);
            --running;
            return 1;
        },
        kLimit);
    EXPECT_EQ(found.size(), 3u);
    EXPECT_EQ(most.load(), 1);
}

TEST(Detect, ProbeExceptionLeavesTheDetectFunction) {
    const std::vector<PortEntry> ports{{"a", PortKind::ACM}};
    EXPECT_THROW(DiscoveryDetail::Detect(ports, {PortKind::ACM},
                                         [](const char*) -> int { throw std::runtime_error("probe broke"); }, kLimit),
                 std::runtime_error);
}

TEST(Probe, UnopenablePortIsSkippedWithItsOpenLine) {
    StderrCapture capture;
    EXPECT_EQ(DiscoveryDetail::ProbeArvena("/nonexistent/ttyACM0", kProbeTimeout), 0);
    EXPECT_EQ(DiscoveryDetail::ProbeHandle("/", kProbeTimeout), 0);
    const auto lines = capture.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].rfind("[err] Library/src/SerialStream:39> unable to open port '/nonexistent/ttyACM0'", 0), 0u);
    EXPECT_EQ(lines[1].rfind("[err] Library/src/SerialStream:39> unable to open port '/'", 0), 0u);
}

TEST(Probe, LeavesNoDescriptorOpen) {
    const auto open_descriptors = [] {
        return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator{});
    };
    PtyPeer device;
    device.Script({{kWakeup, ArmReply(4)}, {kWakeup, kStatusReply}});
    const auto before = open_descriptors();
    EXPECT_EQ(ArmProbe(device.Path().c_str()), 1);
    EXPECT_EQ(HandleProbe(device.Path().c_str()), 1);
    EXPECT_EQ(open_descriptors(), before);
    EXPECT_EQ(device.Join().size(), 2u);
}

// -- ProbePort ----------------------------------------------------------------------------

TEST(ProbePort, DecodesTheRecordTheDeviceSent) {
    PtyPeer arm, handle;
    arm.Script({{kWakeup, Concat({kNotification, ArmReply(4)})}});
    handle.Script({{kWakeup, kInfoReply}});
    const ProbeResult a = ProbePort(arm.Path(), kProbeTimeout);
    const ProbeResult h = ProbePort(handle.Path(), kProbeTimeout);
    ASSERT_EQ(a.kind, Kind::Arm);
    EXPECT_EQ(a.arm.device_id, 1);
    EXPECT_EQ(a.arm.device_model_number, 4);
    EXPECT_EQ(a.arm.firmware_version, 2);
    EXPECT_EQ(a.arm.device_id_ext.bytes(), Bytes(16, 0xAB));
    ASSERT_EQ(h.kind, Kind::Handle);
    ASSERT_TRUE(h.handle_info);
    EXPECT_EQ(h.handle.device_id, 0x42);
    EXPECT_EQ(h.handle.tool_data_remaining, 5);
    EXPECT_EQ(h.handle.firmware_version, 3);
}

TEST(ProbePort, LeavesHeldAndUnopenablePortsAloneAndSaysWhy) {
    PtyPeer held_here;
    IO::SerialStream holder(held_here.Path());
    StderrCapture capture;
    EXPECT_EQ(ProbePort(held_here.Path(), kProbeTimeout).kind, Kind::Busy);
    const ProbeResult missing = ProbePort("/nonexistent/ttyACM0", kProbeTimeout);
    EXPECT_EQ(missing.kind, Kind::Unopenable);
    EXPECT_EQ(missing.error, ENOENT);
    EXPECT_TRUE(held_here.Drain().empty());
    EXPECT_EQ(capture.Text(), "");
}

}  // namespace
