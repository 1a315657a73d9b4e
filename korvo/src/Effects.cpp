#include "Korvo/Haptics/Effects.h"

#include <algorithm>
#include <cmath>
#include <sstream>
#include <stdexcept>
#include <string>

#include "Checks.h"

namespace Korvo::Haptics {

namespace {

void NotNegative(double value, const char* name) {
    if (!(std::isfinite(value) && value >= 0.0)) Refuse(name, "finite and not negative", value);
}

void Positive(double value, const char* name) {
    if (!(std::isfinite(value) && value > 0.0)) Refuse(name, "finite and above 0", value);
}

// A wall pushes out of itself and never pulls: spring by the depth, damped
// by the speed along the way out (negative going in, which adds to the push).
double Push(double stiffness, double damping, double depth, double speed_out) {
    return std::max(0.0, stiffness * depth - damping * speed_out);
}

}  // namespace

// -- Constant ----------------------------------------------------------------------------------

Constant::Constant() : Constant(Params{}) {}
Constant::Constant(const Params& params) { SetParams(params); }

void Constant::SetParams(const Params& params) {
    RequireFinite(params.force, "force");
    params_.Write(params);
}

Vector3d Constant::Force(const TickInput&) noexcept { return params_.Read().force; }

// -- Damper ------------------------------------------------------------------------------------

Damper::Damper() : Damper(Params{}) {}
Damper::Damper(const Params& params) { SetParams(params); }

void Damper::SetParams(const Params& params) {
    NotNegative(params.viscosity, "viscosity");
    params_.Write(params);
}

Vector3d Damper::Force(const TickInput& in) noexcept { return -params_.Read().viscosity * in.velocity; }

// -- Spring ------------------------------------------------------------------------------------

Spring::Spring() : Spring(Params{}) {}
Spring::Spring(const Params& params) { SetParams(params); }

void Spring::SetParams(const Params& params) {
    RequireFinite(params.target, "target");
    NotNegative(params.stiffness, "stiffness");
    NotNegative(params.damping, "damping");
    Positive(params.max_speed, "max_speed");
    params_.Write(params);
}

Vector3d Spring::Force(const TickInput& in) noexcept {
    const Params p = params_.Read();
    // The anchor starts where the arm is, so that a new spring does not
    // snap, and follows the target no faster than max_speed.
    if (!placed_) {
        at_ = in.position;
        placed_ = true;
    }
    const Vector3d way = p.target - at_;
    const double distance = Norm(way);
    const double reach = p.max_speed * in.dt;
    at_ = distance <= reach ? p.target : at_ + (reach / distance) * way;
    anchor_.Store(at_);
    return p.stiffness * (at_ - in.position) - p.damping * in.velocity;
}

// -- Plane -------------------------------------------------------------------------------------

Plane::Plane() : Plane(Params{}) {}
Plane::Plane(const Params& params) { SetParams(params); }

void Plane::SetParams(const Params& params) {
    RequireFinite(params.point, "point");
    RequireFinite(params.normal, "normal");
    NotNegative(params.stiffness, "stiffness");
    NotNegative(params.damping, "damping");
    const double length = Norm(params.normal);
    if (!(length > 1e-12)) Refuse("normal", "a vector of non-zero length", length);
    Params unit = params;
    unit.normal = (1.0 / length) * params.normal;
    params_.Write(unit);
}

Vector3d Plane::Force(const TickInput& in) noexcept {
    const Params p = params_.Read();
    const double depth = Dot(p.point - in.position, p.normal);
    if (depth <= 0.0) return kZero;
    return Push(p.stiffness, p.damping, depth, Dot(in.velocity, p.normal)) * p.normal;
}

// -- Sphere ------------------------------------------------------------------------------------

Sphere::Sphere() : Sphere(Params{}) {}
Sphere::Sphere(const Params& params) { SetParams(params); }

void Sphere::SetParams(const Params& params) {
    RequireFinite(params.center, "center");
    Positive(params.radius, "radius");
    NotNegative(params.stiffness, "stiffness");
    NotNegative(params.damping, "damping");
    params_.Write(params);
}

Vector3d Sphere::Force(const TickInput& in) noexcept {
    const Params p = params_.Read();
    const Vector3d out = in.position - p.center;
    const double distance = Norm(out);
    // At the very centre any direction is outward; pick one.
    const Vector3d unit = distance > 1e-12 ? (1.0 / distance) * out : Vector3d{0.0, 0.0, 1.0};
    const double speed_out = Dot(in.velocity, unit);
    if (p.inside) {
        if (distance <= p.radius) return kZero;
        return -Push(p.stiffness, p.damping, distance - p.radius, -speed_out) * unit;
    }
    if (distance >= p.radius) return kZero;
    return Push(p.stiffness, p.damping, p.radius - distance, speed_out) * unit;
}

// -- Box ---------------------------------------------------------------------------------------

Box::Box() : Box(Params{}) {}
Box::Box(const Params& params) { SetParams(params); }

void Box::SetParams(const Params& params) {
    RequireFinite(params.min, "min");
    RequireFinite(params.max, "max");
    NotNegative(params.stiffness, "stiffness");
    NotNegative(params.damping, "damping");
    for (std::size_t i = 0; i < 3; ++i) {
        if (!(params.min[i] < params.max[i])) {
            std::ostringstream text;
            text << "min[" << i << "] must be below max[" << i << "], got " << params.min[i] << " and "
                 << params.max[i];
            throw std::invalid_argument(text.str());
        }
    }
    params_.Write(params);
}

Vector3d Box::Force(const TickInput& in) noexcept {
    const Params p = params_.Read();
    Vector3d force{};
    if (p.inside) {
        // Each axis on its own: beyond a face, pushed back through it.
        for (std::size_t i = 0; i < 3; ++i) {
            if (in.position[i] < p.min[i]) {
                force[i] = Push(p.stiffness, p.damping, p.min[i] - in.position[i], in.velocity[i]);
            } else if (in.position[i] > p.max[i]) {
                force[i] = -Push(p.stiffness, p.damping, in.position[i] - p.max[i], -in.velocity[i]);
            }
        }
        return force;
    }
    // Outside: only within the box is there a force, out through the nearest face.
    std::size_t axis = 0;
    double depth = INFINITY;
    double side = 0.0;
    for (std::size_t i = 0; i < 3; ++i) {
        const double below = in.position[i] - p.min[i];
        const double above = p.max[i] - in.position[i];
        if (below <= 0.0 || above <= 0.0) return kZero;
        if (below < depth) {
            depth = below;
            axis = i;
            side = -1.0;
        }
        if (above < depth) {
            depth = above;
            axis = i;
            side = 1.0;
        }
    }
    force[axis] = side * Push(p.stiffness, p.damping, depth, side * in.velocity[axis]);
    return force;
}

// -- the stack ---------------------------------------------------------------------------------

EffectStack::EffectStack(double fade_time) : fade_time_(fade_time) { SetFadeTime(fade_time); }

EffectStack::~EffectStack() {
    // Effects outlive the stack (their owners hold them): they may join
    // another loop now.
    for (Slot& slot : slots_) {
        if (Effect* effect = slot.effect.load()) {
            const void* self = this;
            effect->owner_.compare_exchange_strong(self, nullptr);
        }
    }
}

void EffectStack::Retire(Slot& slot) noexcept {
    if (Effect* effect = slot.effect.load(std::memory_order_acquire)) effect->owner_.store(nullptr, std::memory_order_release);
    slot.state.store(kRetired, std::memory_order_release);
}

void EffectStack::SetFadeTime(double seconds) {
    RequireFadeTime(seconds);
    fade_time_.store(seconds);
}

void EffectStack::SetLive(bool live) {
    const std::lock_guard<std::mutex> lock(writers_);
    live_ = live;
    if (!live) {
        // Nobody evaluates effects now: what was being removed goes at once.
        for (Slot& slot : slots_) {
            if (slot.state.load() == kRemoving) Retire(slot);
        }
        Reap();
    }
}

void EffectStack::Reap() const {
    for (std::size_t i = 0; i < kCapacity; ++i) {
        if (slots_[i].state.load(std::memory_order_acquire) != kRetired) continue;
        slots_[i].effect.store(nullptr);
        slots_[i].state.store(kEmpty);
        owners_[i].reset();
    }
}

EffectStack::Slot* EffectStack::Find(const Effect* effect) {
    for (Slot& slot : slots_) {
        const auto state = slot.state.load();
        if ((state == kActive || state == kRemoving) && slot.effect.load() == effect) return &slot;
    }
    return nullptr;
}

const EffectStack::Slot* EffectStack::Find(const Effect* effect) const {
    return const_cast<EffectStack*>(this)->Find(effect);
}

void EffectStack::Add(std::shared_ptr<Effect> effect, bool enabled) {
    if (!effect) throw std::invalid_argument("effect is empty");
    const std::lock_guard<std::mutex> lock(writers_);
    Reap();
    if (Slot* slot = Find(effect.get())) {
        if (slot->state.load() == kActive) throw std::invalid_argument("the effect is in this loop already");
        // Being removed, not yet gone: it comes back, from its current
        // weight, unless the servo thread has just let go of it.
        slot->enabled.store(enabled);
        std::uint8_t removing = kRemoving;
        if (slot->state.compare_exchange_strong(removing, kActive)) return;
        // Let go of this moment: the servo thread ends the claim at once.
        while (slot->state.load(std::memory_order_acquire) == kRetiring) {
        }
        Reap();
    }
    const void* none = nullptr;
    if (!effect->owner_.compare_exchange_strong(none, this, std::memory_order_acq_rel)) {
        throw std::invalid_argument(
            "the effect runs in another loop: an effect runs in one loop at a time (remove it there first)");
    }
    for (std::size_t i = 0; i < kCapacity; ++i) {
        Slot& slot = slots_[i];
        if (slot.state.load() != kEmpty) continue;
        owners_[i] = std::move(effect);
        slot.weight.store(0.0);
        slot.enabled.store(enabled);
        slot.effect.store(owners_[i].get(), std::memory_order_release);
        slot.state.store(kActive, std::memory_order_release);
        return;
    }
    effect->owner_.store(nullptr);
    throw std::length_error("the loop holds " + std::to_string(kCapacity) + " effects already");
}

bool EffectStack::Remove(const Effect* effect) {
    const std::lock_guard<std::mutex> lock(writers_);
    Slot* slot = Find(effect);
    if (slot == nullptr || slot->state.load() != kActive) return false;
    if (live_) {
        slot->state.store(kRemoving, std::memory_order_release);
    } else {
        Retire(*slot);
    }
    Reap();
    return true;
}

bool EffectStack::Enable(const Effect* effect, bool enabled) {
    const std::lock_guard<std::mutex> lock(writers_);
    Slot* slot = Find(effect);
    if (slot == nullptr || slot->state.load() != kActive) return false;
    slot->enabled.store(enabled);
    return true;
}

bool EffectStack::Contains(const Effect* effect) const {
    const std::lock_guard<std::mutex> lock(writers_);
    Reap();
    const Slot* slot = Find(effect);
    return slot != nullptr && slot->state.load() == kActive;
}

std::vector<std::shared_ptr<Effect>> EffectStack::List() const {
    const std::lock_guard<std::mutex> lock(writers_);
    Reap();
    std::vector<std::shared_ptr<Effect>> effects;
    for (std::size_t i = 0; i < kCapacity; ++i) {
        if (slots_[i].state.load() == kActive) effects.push_back(owners_[i]);
    }
    return effects;
}

std::size_t EffectStack::Size() const {
    const std::lock_guard<std::mutex> lock(writers_);
    Reap();
    std::size_t n = 0;
    for (const Slot& slot : slots_) n += slot.state.load() == kActive ? 1 : 0;
    return n;
}

double EffectStack::Weight(const Effect* effect) const {
    const std::lock_guard<std::mutex> lock(writers_);
    Reap();
    const Slot* slot = Find(effect);
    return slot != nullptr ? slot->weight.load(std::memory_order_relaxed) : -1.0;
}

Vector3d EffectStack::Force(const TickInput& input) noexcept {
    Vector3d total{};
    const double fade = fade_time_.load(std::memory_order_relaxed);
    const double step = input.dt / fade;
    for (Slot& slot : slots_) {
        const auto state = slot.state.load(std::memory_order_acquire);
        if (state != kActive && state != kRemoving) continue;
        Effect* effect = slot.effect.load(std::memory_order_acquire);
        const double target = state == kActive && slot.enabled.load(std::memory_order_relaxed) ? 1.0 : 0.0;
        double weight = slot.weight.load(std::memory_order_relaxed);
        weight = target > weight ? std::min(target, weight + step) : std::max(target, weight - step);
        slot.weight.store(weight, std::memory_order_relaxed);
        if (weight > 0.0) {
            total += weight * effect->Force(input);
        } else if (state == kRemoving) {
            // Faded out: the writers may let go of it now; this thread will
            // not look at it again (unless it was added back meanwhile).
            std::uint8_t removing = kRemoving;
            if (slot.state.compare_exchange_strong(removing, kRetiring, std::memory_order_acq_rel)) Retire(slot);
        }
    }
    return total;
}

}  // namespace Korvo::Haptics
