#pragma once
// Haptic effects: small force laws evaluated on the servo thread every tick,
// summed (with the commanded force and the hook) before the safety envelope.
//
//   auto wall = std::make_shared<Plane>(Plane::Params{{0, 0, 0.22}, {0, 0, -1}, 1500, 8});
//   auto spring = std::make_shared<Spring>(Spring::Params{{0, 0.02, 0.2}, 150, 4, 0.2});
//   servo.Effects().Add(wall);
//   servo.Effects().Add(spring);           // both fade in over the fade time
//   auto moved = spring->GetParams();
//   moved.target = {0.01, 0.02, 0.2};
//   spring->SetParams(moved);              // from any thread; the anchor moves there at max_speed
//   servo.Effects().Remove(wall);          // fades out, then lets go of it
//
// What runs where
//
//   Force() runs on the servo thread only. SetParams() runs on any thread
//   at any rate, from any number of threads at once: it takes a whole
//   parameter set, checks it (std::invalid_argument naming the parameter,
//   and nothing changes when it throws), and publishes it through a Mailbox;
//   the servo thread takes the latest whole set at its next tick, never half
//   of one, and never waits, not even for a writer stopped half-way through
//   a set (see Mailbox.h). GetParams() gives the set last written.
//
//   An effect runs in one loop at a time: adding it to a second loop throws
//   std::invalid_argument (its state, such as a spring's anchor, belongs to
//   one servo thread). Once it is out of a loop (removed and faded out, or
//   the loop's stack gone) it may join another.
//
// Built-in effects (positions in metres, forces in newtons, in the arm's frame)
//
//   Constant  force                          F = force
//   Damper    viscosity b >= 0               F = -b v
//   Spring    target, stiffness k >= 0,      F = k (anchor - p) - b v, where the
//             damping b >= 0, max_speed > 0  anchor moves toward target at no
//                                            more than max_speed (m/s)
//   Plane     point, normal (any length      a one-sided wall: the normal points
//             but zero; kept as a unit       out of it into free space; with
//             vector), stiffness, damping    depth d = (point - p) . n > 0,
//                                            F = max(0, k d - b (v . n)) n
//   Sphere    center, radius > 0,            inside: keeps p within the sphere;
//             stiffness, damping, inside     outside: keeps p out of it; the
//                                            force is along the radius, k by the
//                                            penetration, damped as the plane
//   Box       min, max corners (min < max    inside: each axis pushed back in
//             on every axis), stiffness,     separately; outside: pushed out
//             damping, inside                through the nearest face
//
// Your own effect: derive from Effect and implement Force(); keep its own
// parameters the same way (a Mailbox written from other threads, read by
// Force() with Read()).
//
// The stack
//
//   EffectStack holds up to kCapacity effects for one servo loop. Add,
//   Remove, Enable run on any thread (they serialise among themselves); the
//   servo thread sees each change at its next tick. Each effect's weight
//   moves between 0 and 1 linearly over the fade time (settable, default
//   0.03 s) when it is added, removed, enabled or disabled, so that the force
//   never steps. A removed effect is let go of once it has faded out.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "Korvo/Realtime/Mailbox.h"
#include "Korvo/Realtime/SeqLock.h"
#include "Korvo/Haptics/Servo.h"
#include "Korvo/Haptics/Vector.h"

namespace Korvo::Haptics {

class Effect {
public:
    virtual ~Effect() = default;
    // The force this tick. On the servo thread: quick, no blocking,
    // allocation, exceptions or Python.
    virtual Vector3d Force(const TickInput& input) noexcept = 0;

private:
    friend class EffectStack;
    // The stack whose loop runs the effect, or null.
    std::atomic<const void*> owner_{nullptr};
};

class Constant : public Effect {
public:
    struct Params {
        Vector3d force{};
    };
    Constant();
    explicit Constant(const Params& params);
    void SetParams(const Params& params);
    Params GetParams() const { return params_.Latest(); }
    Vector3d Force(const TickInput& input) noexcept override;

private:
    Realtime::Mailbox<Params> params_;
};

class Damper : public Effect {
public:
    struct Params {
        double viscosity = 0.0;  // N s/m
    };
    Damper();
    explicit Damper(const Params& params);
    void SetParams(const Params& params);
    Params GetParams() const { return params_.Latest(); }
    Vector3d Force(const TickInput& input) noexcept override;

private:
    Realtime::Mailbox<Params> params_;
};

class Spring : public Effect {
public:
    struct Params {
        Vector3d target{};
        double stiffness = 0.0;  // N/m
        double damping = 0.0;    // N s/m
        double max_speed = 0.1;  // m/s the anchor moves at, at most
    };
    Spring();
    explicit Spring(const Params& params);
    void SetParams(const Params& params);
    Params GetParams() const { return params_.Latest(); }
    // The anchor the force pulls toward, as the servo thread last moved it.
    Vector3d Anchor() const noexcept { return anchor_.Load(); }
    Vector3d Force(const TickInput& input) noexcept override;

private:
    Realtime::Mailbox<Params> params_;
    Realtime::SeqLock<Vector3d> anchor_;
    Vector3d at_{};      // the anchor, on the servo thread
    bool placed_ = false;
};

class Plane : public Effect {
public:
    struct Params {
        Vector3d point{};
        Vector3d normal{0.0, 0.0, 1.0};
        double stiffness = 0.0;
        double damping = 0.0;
    };
    Plane();
    explicit Plane(const Params& params);
    void SetParams(const Params& params);
    Params GetParams() const { return params_.Latest(); }
    Vector3d Force(const TickInput& input) noexcept override;

private:
    Realtime::Mailbox<Params> params_;
};

class Sphere : public Effect {
public:
    struct Params {
        Vector3d center{};
        double radius = 0.05;
        double stiffness = 0.0;
        double damping = 0.0;
        bool inside = true;  // keep the end effector inside (true) or outside
    };
    Sphere();
    explicit Sphere(const Params& params);
    void SetParams(const Params& params);
    Params GetParams() const { return params_.Latest(); }
    Vector3d Force(const TickInput& input) noexcept override;

private:
    Realtime::Mailbox<Params> params_;
};

class Box : public Effect {
public:
    struct Params {
        Vector3d min{-0.05, -0.05, -0.05};
        Vector3d max{0.05, 0.05, 0.05};
        double stiffness = 0.0;
        double damping = 0.0;
        bool inside = true;
    };
    Box();
    explicit Box(const Params& params);
    void SetParams(const Params& params);
    Params GetParams() const { return params_.Latest(); }
    Vector3d Force(const TickInput& input) noexcept override;

private:
    Realtime::Mailbox<Params> params_;
};

class EffectStack {
public:
    static constexpr std::size_t kCapacity = 64;

    explicit EffectStack(double fade_time = 0.03);
    ~EffectStack();

    // Adds an effect (kept alive until it has faded out after Remove, or the
    // stack goes). Throws std::length_error when full, std::invalid_argument
    // when the effect is already in the stack.
    void Add(std::shared_ptr<Effect> effect, bool enabled = true);
    // Fades the effect out, then lets go of it. False when not in the stack.
    bool Remove(const Effect* effect);
    bool Enable(const Effect* effect, bool enabled);
    bool Contains(const Effect* effect) const;
    std::size_t Size() const;
    // Seconds an effect takes to fade in or out; > 0 and <= 10.
    void SetFadeTime(double seconds);
    double FadeTime() const noexcept { return fade_time_.load(); }
    // The weight the servo thread last gave an effect (0 to 1), -1 if absent.
    double Weight(const Effect* effect) const;
    // The effects in the stack (not those fading out after Remove), in no set
    // order: a new effect takes whichever slot is free.
    std::vector<std::shared_ptr<Effect>> List() const;
    // Whether a servo thread evaluates the stack (its loop says so): while
    // none does, a removed effect is let go of at once.
    void SetLive(bool live);

    // The sum of the effects' weighted forces; on the servo thread.
    Vector3d Force(const TickInput& input) noexcept;

private:
    // kRetiring: the servo thread is letting go (no writer may revive it
    // then); kRetired: it has, and writers may free the slot.
    enum State : std::uint8_t { kEmpty, kActive, kRemoving, kRetiring, kRetired };
    struct Slot {
        std::atomic<Effect*> effect{nullptr};
        std::atomic<bool> enabled{false};
        std::atomic<std::uint8_t> state{kEmpty};
        std::atomic<double> weight{0.0};  // written by the servo thread
    };

    // Lets go of effects the servo thread has retired (writers only).
    void Reap() const;
    // Ends the stack's claim on a slot's effect and frees it for Reap.
    static void Retire(Slot& slot) noexcept;
    Slot* Find(const Effect* effect);
    const Slot* Find(const Effect* effect) const;

    mutable std::array<Slot, kCapacity> slots_;
    mutable std::array<std::shared_ptr<Effect>, kCapacity> owners_;  // writers only
    mutable std::mutex writers_;
    std::atomic<double> fade_time_;
    bool live_ = false;  // writers only
};

}  // namespace Korvo::Haptics
