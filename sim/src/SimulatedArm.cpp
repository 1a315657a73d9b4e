#include "SimulatedArm.h"

#include <algorithm>

#include "Kinematics.h"

namespace Korvo::Sim {

namespace {

namespace Code {
constexpr std::uint8_t kWakeup = 0x0A;
constexpr std::uint8_t kWakeupReply = 0x0B;
constexpr std::uint8_t kForce = 0x2A;
constexpr std::uint8_t kPosition = 0x2C;
constexpr std::uint8_t kEndEffectorState = 0x2B;
constexpr std::uint8_t kTorques = 0x1A;
constexpr std::uint8_t kAngles = 0x1C;
constexpr std::uint8_t kJointState = 0x1B;
constexpr std::uint8_t kIdentity = 0x0D;
constexpr std::uint8_t kDeviceId = 0xD1;
constexpr std::uint8_t kFirmware = 0xD2;
constexpr std::uint8_t kCurrents = 0xAB;
constexpr std::uint8_t kOrientation = 0x0C;
constexpr std::uint8_t kPower = 0xAC;
constexpr std::uint8_t kTemperature = 0xAA;
}  // namespace Code

// Payload bytes that follow each request code; -1 for a code the arm ignores.
int PayloadLength(std::uint8_t c) noexcept
{
    switch (c) {
    case Code::kWakeup:
    case Code::kCurrents:
    case Code::kOrientation:
    case Code::kPower:
    case Code::kTemperature:
        return 0;
    case Code::kIdentity:
        return 1;
    case Code::kForce:
    case Code::kPosition:
    case Code::kTorques:
    case Code::kAngles:
        return 12;
    default:
        return -1;
    }
}

ArmPhysics::Vec3 Floats(const std::array<std::uint8_t, 12>& p) noexcept
{
    return {Wire::GetF32(p.data()), Wire::GetF32(p.data() + 4), Wire::GetF32(p.data() + 8)};
}

}  // namespace

SimulatedArm::SimulatedArm(const ArmOptions& options, double now) : options_(options), physics_(now, options.hand) {}

std::array<std::uint8_t, 16> SimulatedArm::DeviceUuid() const noexcept
{
    return {'k', 'o', 'r', 'v', 'o', '-', 'a', 'r', 'v', 'e', 'n', 'a', 0x00, 0x01,
            static_cast<std::uint8_t>(options_.device_id & 0xFF), static_cast<std::uint8_t>(options_.device_id >> 8)};
}

std::array<std::uint8_t, 16> SimulatedArm::FirmwareId() noexcept
{
    return {'k', 'o', 'r', 'v', 'o', '-', 's', 'i', 'm', ' ', 'f', 'w', ' ', '1', '.', '0'};
}

void SimulatedArm::ResetParser() noexcept
{
    in_request_ = false;
    need_ = got_ = 0;
}

std::size_t SimulatedArm::Consume(const std::uint8_t* data, std::size_t size, double now, Request& out)
{
    out.Clear();
    std::size_t i = 0;
    while (i < size) {
        if (!in_request_) {
            const std::uint8_t c = data[i++];
            const int length = PayloadLength(c);
            if (length < 0) {
                continue;  // not a request code: the arm ignores the byte
            }
            in_request_ = true;
            code_ = c;
            need_ = static_cast<std::size_t>(length);
            got_ = 0;
        } else {
            const std::size_t take = std::min(need_ - got_, size - i);
            std::copy_n(data + i, take, payload_.begin() + static_cast<std::ptrdiff_t>(got_));
            got_ += take;
            i += take;
        }
        if (in_request_ && got_ == need_) {
            in_request_ = false;
            Answer(now, out);
            return i;
        }
    }
    return i;
}

void SimulatedArm::AppendEndEffectorState(Wire::Bytes& out) const
{
    using Kinematics::kRadPerDeg;
    // The position is the kinematics of exactly the float angles a joint-state
    // reply would carry, so host-side and on-board positions agree.
    const auto& q = physics_.Angles();
    const Kinematics::Vec3 reported = {static_cast<float>(q[0] / kRadPerDeg), static_cast<float>(q[1] / kRadPerDeg),
                                       static_cast<float>(q[2] / kRadPerDeg)};
    const auto x = Kinematics::Position(reported);
    const auto j = Kinematics::Jacobian(reported);
    const auto& qd = physics_.Velocities();
    for (double v : x) {
        Wire::PutF32(out, static_cast<float>(v));
    }
    for (int r = 0; r < 3; ++r) {
        Wire::PutF32(out, static_cast<float>(j[r][0] * qd[0] + j[r][1] * qd[1] + j[r][2] * qd[2]));
    }
}

void SimulatedArm::AppendJointState(Wire::Bytes& out) const
{
    using Kinematics::kRadPerDeg;
    for (double v : physics_.Angles()) {
        Wire::PutF32(out, static_cast<float>(v / kRadPerDeg));
    }
    for (double v : physics_.Velocities()) {
        Wire::PutF32(out, static_cast<float>(v / kRadPerDeg));
    }
}

void SimulatedArm::Answer(double now, Request& out)
{
    using Mode = ArmPhysics::Mode;
    out.complete = true;
    out.has_reply = true;
    Wire::Bytes& r = out.reply;

    switch (code_) {
    case Code::kWakeup: {
        physics_.Touch(now);
        r.push_back(Code::kWakeupReply);
        Wire::PutU16(r, options_.device_id);
        r.push_back(options_.model);
        r.push_back(kHardwareVersion);
        r.push_back(kFirmwareVersion);
        const auto uuid = DeviceUuid();
        r.insert(r.end(), uuid.begin(), uuid.end());
        break;
    }
    case Code::kForce:
    case Code::kPosition:
        physics_.Command(code_ == Code::kForce ? Mode::EndEffectorForce : Mode::EndEffectorTarget, Floats(payload_),
                         now);
        r.push_back(Code::kEndEffectorState);
        AppendEndEffectorState(r);
        break;
    case Code::kTorques:
    case Code::kAngles:
        physics_.Command(code_ == Code::kTorques ? Mode::JointTorque : Mode::JointTarget, Floats(payload_), now);
        r.push_back(Code::kJointState);
        AppendJointState(r);
        break;
    case Code::kIdentity: {
        physics_.Touch(now);
        const std::uint8_t sub = payload_[0];
        if (sub != Code::kDeviceId && sub != Code::kFirmware) {
            out.has_reply = false;  // unknown identity query: the arm stays silent
            break;
        }
        const auto id = sub == Code::kDeviceId ? DeviceUuid() : FirmwareId();
        r.push_back(Code::kIdentity);
        r.push_back(sub);
        r.push_back(static_cast<std::uint8_t>(id.size()));
        r.insert(r.end(), id.begin(), id.end());
        break;
    }
    case Code::kCurrents: {
        physics_.Touch(now);
        r.push_back(Code::kCurrents);
        for (double t : physics_.MotorTorques()) {
            Wire::PutF32(r, static_cast<float>(t / ArmPhysics::kTorqueConstant));
        }
        break;
    }
    case Code::kOrientation:
        physics_.Touch(now);
        r.push_back(Code::kOrientation);
        Wire::PutF32(r, 0.0f);
        Wire::PutF32(r, 0.7071f);
        Wire::PutF32(r, 0.0f);
        Wire::PutF32(r, 0.7071f);
        break;
    case Code::kPower:
        physics_.Touch(now);
        r.push_back(Code::kPower);
        r.push_back(1);
        break;
    case Code::kTemperature:
        physics_.Touch(now);
        r.push_back(Code::kTemperature);
        Wire::PutF32(r, static_cast<float>(physics_.Temperature()));
        break;
    default:
        out.has_reply = false;
        break;
    }
}

}  // namespace Korvo::Sim
