#include "SimulatedArm.h"

#include <algorithm>

#include "Kinematics.h"

namespace korvo::sim {

namespace {

namespace code {
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
}  // namespace code

// Payload bytes that follow each request code; -1 for a code the arm ignores.
int payloadLength(std::uint8_t c) noexcept
{
    switch (c) {
    case code::kWakeup:
    case code::kCurrents:
    case code::kOrientation:
    case code::kPower:
    case code::kTemperature:
        return 0;
    case code::kIdentity:
        return 1;
    case code::kForce:
    case code::kPosition:
    case code::kTorques:
    case code::kAngles:
        return 12;
    default:
        return -1;
    }
}

ArmPhysics::Vec3 floats(const std::array<std::uint8_t, 12>& p) noexcept
{
    return {wire::getF32(p.data()), wire::getF32(p.data() + 4), wire::getF32(p.data() + 8)};
}

}  // namespace

SimulatedArm::SimulatedArm(const ArmOptions& options, double now) : options_(options), physics_(now) {}

std::array<std::uint8_t, 16> SimulatedArm::deviceUuid() const noexcept
{
    return {'k', 'o', 'r', 'v', 'o', '-', 'a', 'r', 'v', 'e', 'n', 'a', 0x00, 0x01,
            static_cast<std::uint8_t>(options_.deviceId & 0xFF), static_cast<std::uint8_t>(options_.deviceId >> 8)};
}

std::array<std::uint8_t, 16> SimulatedArm::firmwareId() noexcept
{
    return {'k', 'o', 'r', 'v', 'o', '-', 's', 'i', 'm', ' ', 'f', 'w', ' ', '1', '.', '0'};
}

void SimulatedArm::resetParser() noexcept
{
    inRequest_ = false;
    need_ = got_ = 0;
}

std::size_t SimulatedArm::consume(const std::uint8_t* data, std::size_t size, double now, Request& out)
{
    out.clear();
    std::size_t i = 0;
    while (i < size) {
        if (!inRequest_) {
            const std::uint8_t c = data[i++];
            const int length = payloadLength(c);
            if (length < 0) {
                continue;  // not a request code: the arm ignores the byte
            }
            inRequest_ = true;
            code_ = c;
            need_ = static_cast<std::size_t>(length);
            got_ = 0;
        } else {
            const std::size_t take = std::min(need_ - got_, size - i);
            std::copy_n(data + i, take, payload_.begin() + static_cast<std::ptrdiff_t>(got_));
            got_ += take;
            i += take;
        }
        if (inRequest_ && got_ == need_) {
            inRequest_ = false;
            answer(now, out);
            return i;
        }
    }
    return i;
}

void SimulatedArm::appendEndEffectorState(wire::Bytes& out) const
{
    using kinematics::kRadPerDeg;
    // The position is the kinematics of exactly the float angles a joint-state
    // reply would carry, so host-side and on-board positions agree.
    const auto& q = physics_.angles();
    const kinematics::Vec3 reported = {static_cast<float>(q[0] / kRadPerDeg), static_cast<float>(q[1] / kRadPerDeg),
                                       static_cast<float>(q[2] / kRadPerDeg)};
    const auto x = kinematics::position(reported);
    const auto j = kinematics::jacobian(reported);
    const auto& qd = physics_.velocities();
    for (double v : x) {
        wire::putF32(out, static_cast<float>(v));
    }
    for (int r = 0; r < 3; ++r) {
        wire::putF32(out, static_cast<float>(j[r][0] * qd[0] + j[r][1] * qd[1] + j[r][2] * qd[2]));
    }
}

void SimulatedArm::appendJointState(wire::Bytes& out) const
{
    using kinematics::kRadPerDeg;
    for (double v : physics_.angles()) {
        wire::putF32(out, static_cast<float>(v / kRadPerDeg));
    }
    for (double v : physics_.velocities()) {
        wire::putF32(out, static_cast<float>(v / kRadPerDeg));
    }
}

void SimulatedArm::answer(double now, Request& out)
{
    using Mode = ArmPhysics::Mode;
    out.complete = true;
    out.hasReply = true;
    wire::Bytes& r = out.reply;

    switch (code_) {
    case code::kWakeup: {
        physics_.touch(now);
        r.push_back(code::kWakeupReply);
        wire::putU16(r, options_.deviceId);
        r.push_back(options_.model);
        r.push_back(kHardwareVersion);
        r.push_back(kFirmwareVersion);
        const auto uuid = deviceUuid();
        r.insert(r.end(), uuid.begin(), uuid.end());
        break;
    }
    case code::kForce:
    case code::kPosition:
        physics_.command(code_ == code::kForce ? Mode::EndEffectorForce : Mode::EndEffectorTarget, floats(payload_),
                         now);
        r.push_back(code::kEndEffectorState);
        appendEndEffectorState(r);
        break;
    case code::kTorques:
    case code::kAngles:
        physics_.command(code_ == code::kTorques ? Mode::JointTorque : Mode::JointTarget, floats(payload_), now);
        r.push_back(code::kJointState);
        appendJointState(r);
        break;
    case code::kIdentity: {
        physics_.touch(now);
        const std::uint8_t sub = payload_[0];
        if (sub != code::kDeviceId && sub != code::kFirmware) {
            out.hasReply = false;  // unknown identity query: the arm stays silent
            break;
        }
        const auto id = sub == code::kDeviceId ? deviceUuid() : firmwareId();
        r.push_back(code::kIdentity);
        r.push_back(sub);
        r.push_back(static_cast<std::uint8_t>(id.size()));
        r.insert(r.end(), id.begin(), id.end());
        break;
    }
    case code::kCurrents: {
        physics_.touch(now);
        r.push_back(code::kCurrents);
        for (double t : physics_.motorTorques()) {
            wire::putF32(r, static_cast<float>(t / ArmPhysics::kTorqueConstant));
        }
        break;
    }
    case code::kOrientation:
        physics_.touch(now);
        r.push_back(code::kOrientation);
        wire::putF32(r, 0.0f);
        wire::putF32(r, 0.7071f);
        wire::putF32(r, 0.0f);
        wire::putF32(r, 0.7071f);
        break;
    case code::kPower:
        physics_.touch(now);
        r.push_back(code::kPower);
        r.push_back(1);
        break;
    case code::kTemperature:
        physics_.touch(now);
        r.push_back(code::kTemperature);
        wire::putF32(r, static_cast<float>(physics_.temperature()));
        break;
    default:
        out.hasReply = false;
        break;
    }
}

}  // namespace korvo::sim
