#include "Korvo/Haptics/Teleop.h"

#include <algorithm>
#include <cmath>

#include "Checks.h"
#include "Realtime/Taps.h"

template class Korvo::Realtime::Tap<Korvo::Haptics::TeleopCoupling::Report>;

namespace Korvo::Haptics {


namespace {

void Within(double value, double low, double high, bool low_included, const char* name, const char* rule) {
    const bool above = low_included ? value >= low : value > low;
    if (!(std::isfinite(value) && above && value <= high)) Refuse(name, rule, value);
}

}  // namespace

TeleopCoupling::TeleopCoupling(Role role) : TeleopCoupling(role, Params{}) {}

TeleopCoupling::TeleopCoupling(Role role, const Params& params)
    : role_(role), taps_(std::make_shared<Realtime::TapSlots<Report>>()) {
    SetParams(params);
}

TeleopCoupling::~TeleopCoupling() = default;

void TeleopCoupling::Check(const Params& p) {
    Within(p.stiffness, 0.0, 1e5, true, "stiffness", "from 0 to 100000 N/m");
    Within(p.damping, 0.0, 1e4, true, "damping", "from 0 to 10000 N s/m");
    Within(p.local_damping, 0.0, 1e4, true, "local_damping", "from 0 to 10000 N s/m");
    Within(p.position_scale, 0.0, 100.0, false, "position_scale", "above 0 and at most 100");
    Within(p.force_scale, 0.0, 100.0, false, "force_scale", "above 0 and at most 100");
    Within(p.max_speed, 0.0, 10.0, false, "max_speed", "above 0 and at most 10 m/s");
    Within(p.timeout, 0.0, 10.0, false, "timeout", "above 0 and at most 10 s");
    Within(p.fade_time, 0.0, 10.0, false, "fade_time", "above 0 and at most 10 s");
    Within(p.ramp_time, 0.0, 60.0, false, "ramp_time", "above 0 and at most 60 s");
}

void TeleopCoupling::SetParams(const Params& params) {
    Check(params);
    params_.Write(params);
}

void TeleopCoupling::SetSample(const Sample& sample) {
    RequireFinite(sample.position, "position");
    RequireFinite(sample.velocity, "velocity");
    RequireFinite(sample.force, "force");
    if (!std::isfinite(sample.stamp)) Refuse("stamp", "finite", sample.stamp);
    sample_.Write(sample);
}

void TeleopCoupling::SetPeerEnergy(const PeerEnergy& energy) {
    Within(energy.energy_in, 0.0, 1e12, true, "energy_in", "finite and not negative");
    energy_.Write(energy);
}

std::shared_ptr<Realtime::Tap<TeleopCoupling::Report>> TeleopCoupling::OpenTap(std::size_t capacity) {
    return taps_->Open(capacity);
}

Vector3d TeleopCoupling::Force(const TickInput& in) noexcept {
    const Params p = params_.Read();
    const Sample s = sample_.Read();
    const PeerEnergy e = energy_.Read();
    const double dt = in.dt;

    // The peer's account counts from its first report here, and from the
    // first of any new peer: a budget never comes from an account that
    // began before this end's own.
    if (e.source != 0 && e.source != source_) {
        source_ = e.source;
        peer_base_ = peer_in_ = e.energy_in;
        out_base_ = energy_out_;
    } else if (e.source != 0 && e.energy_in > peer_in_) {
        peer_in_ = e.energy_in;
    }

    Report r;
    r.tick = in.tick;
    r.time = in.time;
    r.position = in.position;
    r.velocity = in.velocity;

    const bool have = s.sequence != 0;
    const double age = have ? in.time - s.stamp : -1.0;
    const bool fresh = have && age <= p.timeout;
    // By the loop's clock, not by its ticks: a loop that falls behind
    // still fades out by timeout + fade_time after the last sample.
    const double elapsed = last_time_ < 0.0 ? dt : std::max(0.0, in.time - last_time_);
    last_time_ = in.time;
    if (fresh) {
        link_ = std::min(1.0, link_ + elapsed / p.ramp_time);
    } else {
        const double left = have ? std::clamp(1.0 - (age - p.timeout) / p.fade_time, 0.0, 1.0) : 0.0;
        link_ = std::min(link_, left);
    }
    if (have && s.sequence != last_sequence_) {
        last_sequence_ = s.sequence;
        latency_ = age;
    }

    Vector3d channel{};
    Vector3d u{};
    if (role_ == Role::Follower) {
        u = in.velocity;
        r.port_position = in.position;
        if (have && !indexed_) {
            offset_ = in.position - s.position;
            indexed_ = true;
        }
        // Faded out (or never linked), the anchor waits where the arm is.
        if (link_ == 0.0) {
            anchor_ = in.position;
        } else {
            const Vector3d way = (s.position + offset_) - anchor_;
            const double distance = Norm(way);
            const double reach = p.max_speed * dt;
            Vector3d reference = s.velocity;
            if (distance <= reach) {
                anchor_ = s.position + offset_;
            } else {
                const Vector3d step = (reach / distance) * way;
                anchor_ += step;
                reference = (1.0 / dt) * step;
            }
            channel = p.stiffness * (anchor_ - in.position) + p.damping * (reference - in.velocity);
        }
        r.anchor = anchor_;
    } else {
        u = p.position_scale * in.velocity;
        r.port_position = p.position_scale * in.position;
        if (have) channel = -1.0 * s.force;
    }
    channel = link_ * channel;

    // The observer, and the controller where the budget falls short.
    const double budget = (peer_in_ - peer_base_) - (energy_out_ - out_base_);
    const double give = Dot(channel, u);
    const double uu = Dot(u, u);
    double alpha = 0.0;
    if (p.passivity && give > 0.0 && uu > 0.0) {
        const double short_by = give * dt - budget;
        if (short_by > 0.0) alpha = std::min(short_by / (dt * uu), give / uu);
    }
    const Vector3d applied = channel - alpha * u;
    const double power_out = Dot(applied, u);
    if (power_out > 0.0) {
        energy_out_ += power_out * dt;
    } else {
        energy_in_ -= power_out * dt;
    }
    dissipated_ += alpha * uu * dt;

    const double scale = role_ == Role::Leader ? p.force_scale : 1.0;
    const Vector3d force = scale * applied - (link_ * p.local_damping) * in.velocity;

    r.port_velocity = u;
    r.peer_position = s.position;
    r.peer_force = s.force;
    r.channel = channel;
    r.force = force;
    r.energy_in = energy_in_;
    r.energy_out = energy_out_;
    r.dissipated = dissipated_;
    r.observed = (peer_in_ - peer_base_) - (energy_out_ - out_base_);
    r.peer_energy = peer_in_ - peer_base_;
    r.alpha = alpha;
    r.link = link_;
    r.sample_age = age;
    r.sample_latency = latency_;
    r.sample_sequence = last_sequence_;
    r.fresh = fresh ? 1u : 0u;
    report_.Store(r);
    taps_->Publish(r);
    return force;
}

}  // namespace Korvo::Haptics
