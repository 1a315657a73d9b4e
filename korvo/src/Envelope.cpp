#include "Envelope.h"

#include <algorithm>
#include <cmath>

namespace Korvo::Haptics {

void Envelope::Start(double now) noexcept {
    previous_ = kZero;
    ramp_start_ = now;
    enabled_ = true;
    fade_ = 1.0;
    failures_ = 0;
    faults_ = kNoFault;
    fault_time_ = -1.0;
    stop_ = false;
}

void Envelope::Raise(std::uint32_t fault, double now) noexcept {
    if ((faults_ & fault) == 0) fault_time_ = now;
    faults_ |= fault;
}

Vector3d Envelope::Next(const Vector3d& desired, const Tick& tick, const SafetyLimits& limits) noexcept {
    const std::uint32_t before = faults_;

    // Exchanges: a run of failures, cleared by the next good one.
    failures_ = tick.exchange_ok ? 0 : failures_ + 1;
    if (failures_ >= limits.max_failed_exchanges) {
        Raise(kExchanges, tick.now);
        if (limits.stop_on_failure) stop_ = true;
    } else if (tick.exchange_ok) {
        faults_ &= ~kExchanges;
    }

    // Speed, with hysteresis: cleared well below the limit, so that a speed
    // hovering at the limit does not switch the force on and off.
    if (tick.exchange_ok) {
        if (tick.speed > limits.max_speed) {
            Raise(kSpeed, tick.now);
        } else if (tick.speed < 0.5 * limits.max_speed) {
            faults_ &= ~kSpeed;
        }
    }

    // Heartbeat.
    if (limits.heartbeat > 0.0 && tick.since_call_in > limits.heartbeat) {
        Raise(kHeartbeat, tick.now);
    } else {
        faults_ &= ~kHeartbeat;
    }

    // A force that cannot be sent.
    if (IsFinite(desired)) {
        faults_ &= ~kBadForce;
    } else {
        Raise(kBadForce, tick.now);
    }

    // Once the last fault has cleared, forces come back from zero; so they
    // do when the program enables the loop again.
    if (before != kNoFault && faults_ == kNoFault) ramp_start_ = tick.now;
    if (tick.enabled && !enabled_) ramp_start_ = tick.now;
    enabled_ = tick.enabled;

    if ((faults_ & (kSpeed | kExchanges | kBadForce | kDisconnected)) != 0 || !tick.enabled) {
        // Forces off at once, not eased off: these are the unsafe cases (and
        // a loop the program has disabled).
        previous_ = kZero;
        fade_ = 0.0;
        return previous_;
    }

    Vector3d target = desired;
    if ((faults_ & kHeartbeat) != 0) {
        // From the force of the moment the program went quiet, linearly.
        if (fade_ == 1.0) fade_from_ = previous_;
        fade_ = limits.fade_time > 0.0 ? std::max(0.0, fade_ - tick.dt / limits.fade_time) : 0.0;
        target = fade_ * fade_from_;
        // Never more than is asked for now: a force that effects bring down
        // by themselves (a coupling whose peer went stale) is not held up by
        // the fade of what it was.
        if (Norm(desired) < Norm(target)) target = desired;
    } else {
        fade_ = 1.0;
        const double ramp = limits.ramp_time > 0.0 ? (tick.now - ramp_start_) / limits.ramp_time : 1.0;
        target = std::clamp(ramp, 0.0, 1.0) * target;
    }

    // Magnitude, direction kept; and the last force within the limit as it
    // stands now, so that a lowered limit acts at this tick.
    target = Shorten(target, limits.max_force);
    const Vector3d last = Shorten(previous_, limits.max_force);

    // Change per tick: the force may grow by at most max_force_step, but
    // never waits to shrink. Anything within max_force_step of a point
    // between zero and the last force is allowed (the last force shortened,
    // then moved by at most a step); the target, or the allowed point
    // nearest to it. All of it lies within the magnitude limit.
    const double along = Dot(last, last);
    const double share = along > 0.0 ? std::clamp(Dot(target, last) / along, 0.0, 1.0) : 0.0;
    const Vector3d base = share * last;
    const Vector3d change = target - base;
    const double step = Norm(change);
    if (step > limits.max_force_step) target = base + (limits.max_force_step / step) * change;

    previous_ = target;
    return target;
}

Vector3d Envelope::Shorten(const Vector3d& force, double limit) noexcept {
    // Scaled to its largest component first, so that no length overflows,
    // however long the force (finite) is.
    const double largest = std::max({std::fabs(force[0]), std::fabs(force[1]), std::fabs(force[2])});
    if (!(largest > 0.0)) return force;
    const Vector3d unit = (1.0 / largest) * force;
    const double length = Norm(unit);
    return largest > limit / length ? (limit / length) * unit : force;
}

}  // namespace Korvo::Haptics
