#pragma once
// TeleopCoupling: one end of a position-force teleoperation pair, as an
// effect of that end's servo loop, kept passive over a delayed link by a
// passivity observer and controller (the time-domain passivity approach of
// Hannaford and Ryu, in its two-port form for delayed channels).
//
//   Korvo::Haptics::TeleopCoupling::Params params;          // 150 N/m, 3 N s/m, ...
//   auto follower = std::make_shared<TeleopCoupling>(TeleopCoupling::Role::Follower, params);
//   servo.Effects().Add(follower);
//   follower->SetSample(sample);      // the leader's latest motion, from the thread that receives it
//   follower->SetPeerEnergy(energy);  // the leader's energy account, likewise
//   auto report = follower->Latest(); // what the coupling did at the latest tick: forces, energies, link
//
// The law (channel units: the follower's metres and newtons)
//
//   The leader shows the channel its motion scaled by position_scale:
//   u_L = s_p v_L, x_c = s_p x_L. The follower holds a spring-damper toward
//   it, indexed at its first sample (offset = x_F - x_c then), its anchor
//   moving toward x_c + offset at no more than max_speed:
//
//     c_F = K (anchor - x_F) + B (v_ref - v_F)       (v_ref: the leader's velocity,
//                                                     or the anchor's while it catches up)
//
//   and sends c_F back. The leader's channel force is the reaction,
//   c_L = -c_F (the newest sample received), rendered scaled by force_scale.
//   Each end weighs its channel force by the link weight w (below) and adds
//   damping of its own arm:
//
//     follower  F = c'_F - w b v_F             leader  F = s_f c'_L - w b v_L
//
//   where c' is c after the passivity controller.
//
// Passivity (per tick n, period dt; u the port velocity in channel units)
//
//   Power into the channel at this end's port is P = -c' . u. Each end
//   counts E_in (the sum of P dt where P > 0) and E_out (of -P dt where
//   P < 0), and sends its E_in to the peer, never decreasing. The observer
//   holds the energy this end may still give out:
//
//     W = (E_in,peer - E_in,peer at the first report of that peer)
//         - (E_out - E_out at that moment)
//
//   i.e. what entered at the other end (as the peer's latest report says,
//   which is older than now) less what left here since. Before giving out
//   c . u dt this tick, if W - max(0, c . u) dt < 0, the controller adds a
//   damper along the port velocity, c' = c - alpha u, with
//
//     alpha = min(-(W - c . u dt) / (dt |u|^2), (c . u) / |u|^2)
//
//   which gives out exactly what W allows, never more than stops the
//   output (so the damper's force is at most c's own component along u).
//   Both ends doing so keep each direction of the channel passive, so the
//   whole channel is, whatever the delay and its jitter. The energy the
//   dampers took is `dissipated`. With passivity off the observer still
//   counts (W then goes negative: the energy the delayed channel made).
//   A peer's first energy report, and a new peer (another `source`), start
//   the count over, so a restarted peer never hands over an old budget.
//
//   A follower sends c_F before its controller acts: what the leader renders
//   is the spring's force, which also lets the leader's operator put in the
//   energy the follower needs.
//
// The link
//
//   A peer's sample counts while it is younger than `timeout` (its stamp
//   against the tick's time, both on this loop's clock). The link weight w
//   rises to 1 over ramp_time while samples are fresh and falls to 0 over
//   fade_time once they are not (w <= 1 - (age - timeout) / fade_time, by
//   the clock, however late the ticks): a silent or stale peer fades this
//   end to zero force by timeout + fade_time after its last sample's stamp,
//   and the forces ramp in when it is back. A follower's anchor
//   stays where the arm is while w is 0, so a link that comes back makes
//   the anchor travel to the leader at max_speed, never jump.
//
// What runs where
//
//   Force() on the servo thread. SetParams, SetSample and SetPeerEnergy from
//   any thread (each a Mailbox: whole values, the latest at each tick).
//   Latest() from any thread (a SeqLock written once a tick); OpenTap gives a
//   reader every tick's report (see Tap.h); Writes() counts the ticks
//   reported, for a reader that waits for the next one.

#include <cstdint>
#include <memory>

#include "Korvo/Haptics/Effects.h"
#include "Korvo/Realtime/Mailbox.h"
#include "Korvo/Realtime/SeqLock.h"
#include "Korvo/Realtime/Tap.h"
#include "Korvo/Haptics/Vector.h"

namespace Korvo::Realtime {
template <class T>
class TapSlots;
}  // namespace Korvo::Realtime

namespace Korvo::Haptics {

class TeleopCoupling : public Effect {
public:
    enum class Role : std::uint8_t { Leader, Follower };

    struct Params {
        double stiffness = 150.0;       // N/m, the follower's spring
        double damping = 3.0;           // N s/m, on the velocity difference
        double local_damping = 0.5;     // N s/m, on this arm's own velocity
        double position_scale = 1.0;    // leader: channel metres per leader metre
        double force_scale = 1.0;       // leader: leader newtons per channel newton
        double max_speed = 0.25;        // m/s, the follower's anchor at most
        double timeout = 0.05;          // s, a sample older than this has lapsed
        double fade_time = 0.05;        // s, to zero once the link lapses
        double ramp_time = 0.5;         // s, back to full once it is fresh again
        bool passivity = true;          // the controller acts (the observer always counts)
    };

    // The peer's latest tick, as the receiving thread hands it over.
    struct Sample {
        Vector3d position{};            // a leader's motion in channel units (a follower uses it)
        Vector3d velocity{};
        Vector3d force{};               // a follower's channel force (a leader uses it)
        double stamp = 0.0;             // s: when the peer's tick began, on this loop's clock
        std::uint64_t sequence = 0;     // increasing; 0: no sample
    };

    struct PeerEnergy {
        double energy_in = 0.0;         // J, the peer's E_in
        std::uint64_t source = 0;       // who counts it (a peer that restarts is another); 0: none
    };

    // One tick, as the coupling saw it.
    struct Report {
        std::uint64_t tick = 0;
        double time = 0.0;              // s since the loop started
        Vector3d position{};            // this arm
        Vector3d velocity{};
        Vector3d port_position{};       // this end's motion in channel units
        Vector3d port_velocity{};
        Vector3d anchor{};              // follower: where its spring pulls
        Vector3d peer_position{};       // the newest sample's motion (what a follower follows)
        Vector3d peer_force{};          // the newest sample's force (what a leader renders)
        Vector3d channel{};             // the channel force, weighted by the link, before the controller
        Vector3d force{};               // what the coupling asks of this arm (N)
        double energy_in = 0.0;         // J, E_in of this port
        double energy_out = 0.0;        // J, E_out of this port
        double dissipated = 0.0;        // J, what this end's controller took
        double observed = 0.0;          // J, W after this tick
        double peer_energy = 0.0;       // J, the peer's E_in since the count began here
        double alpha = 0.0;             // N s/m, this tick's controller damping
        double link = 0.0;              // 0 to 1
        double sample_age = -1.0;       // s, of the peer's newest sample here; -1: none yet
        double sample_latency = -1.0;   // s, that sample's age at the first tick that used it
        std::uint64_t sample_sequence = 0;
        std::uint32_t fresh = 0;        // 1 while the newest sample is younger than the timeout
    };

    explicit TeleopCoupling(Role role);
    TeleopCoupling(Role role, const Params& params);
    ~TeleopCoupling() override;

    Role GetRole() const noexcept { return role_; }
    // Throws std::invalid_argument naming the parameter out of range.
    void SetParams(const Params& params);
    Params GetParams() const { return params_.Latest(); }

    // From the thread that receives the peer. Throws std::invalid_argument
    // for values that are not finite.
    void SetSample(const Sample& sample);
    void SetPeerEnergy(const PeerEnergy& energy);

    Report Latest() const noexcept { return report_.Load(); }
    // Ticks reported so far (the SeqLock's first write is its initial value).
    std::uint64_t Writes() const noexcept { return report_.Writes() - 1; }
    // Every tick's report from now on (see Tap.h).
    std::shared_ptr<Realtime::Tap<Report>> OpenTap(std::size_t capacity);

    Vector3d Force(const TickInput& input) noexcept override;

    static void Check(const Params& params);

private:
    const Role role_;
    Realtime::Mailbox<Params> params_;
    Realtime::Mailbox<Sample> sample_;
    Realtime::Mailbox<PeerEnergy> energy_;
    Realtime::SeqLock<Report> report_;
    std::shared_ptr<Realtime::TapSlots<Report>> taps_;

    // The servo thread's own.
    double link_ = 0.0;
    double energy_in_ = 0.0, energy_out_ = 0.0, dissipated_ = 0.0;
    std::uint64_t source_ = 0;
    double peer_in_ = 0.0, peer_base_ = 0.0, out_base_ = 0.0;
    bool indexed_ = false;
    Vector3d offset_{};
    Vector3d anchor_{};
    std::uint64_t last_sequence_ = 0;
    double latency_ = -1.0;
    double last_time_ = -1.0;
};

}  // namespace Korvo::Haptics
