// korvo-sim: serves simulated Korvo devices on pseudo-terminals.
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <random>
#include <system_error>
#include <thread>
#include <vector>

#include "Announcer.h"
#include "SimulatedArm.h"
#include "Clock.h"
#include "Faults.h"
#include "Fd.h"
#include "SimulatedHandle.h"
#include "Link.h"
#include "SimulatedLoopback.h"
#include "Options.h"
#include "Pty.h"
#include "Server.h"

using namespace Korvo::Sim;

namespace {

constexpr int kExitRuntime = 1;
constexpr int kExitUsage = 2;

std::unique_ptr<SimulatedDevice> MakeDevice(const DeviceOptions& d, std::uint64_t seed, double now)
{
    switch (d.kind) {
    case DeviceKind::Arm: return std::make_unique<SimulatedArm>(d.arm, now);
    case DeviceKind::Handle: return std::make_unique<SimulatedHandle>(d.handle, seed, now);
    case DeviceKind::Loopback: break;
    }
    return std::make_unique<SimulatedLoopback>();
}

std::uint64_t FreshSeed()
{
    std::random_device rd;
    return (static_cast<std::uint64_t>(rd()) << 32) ^ rd();
}

}  // namespace

int main(int argc, char** argv)
{
    const pid_t parent_at_start = ::getppid();

    Options options;
    try {
        options = ParseOptions(argc, argv);
    } catch (const UsageError& e) {
        std::fprintf(stderr, "korvo-sim: %s\n\n%s", e.what(), UsageText().c_str());
        return kExitUsage;
    }
    if (options.help) {
        std::fputs(UsageText().c_str(), stdout);
        return 0;
    }

    // Every thread inherits this mask; the main thread alone takes the signals,
    // synchronously, so shutdown runs in ordinary code and removes the links.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGUSR1}) {
        sigaddset(&stop_signals, s);
    }
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    // A fixture that closes our standard output must not kill us before cleanup.
    signal(SIGPIPE, SIG_IGN);

    if (options.die_with_parent) {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent_at_start) {
            return 0;  // the parent is already gone
        }
    }

    for (const auto& d : options.devices) {
        if (!d.link.empty()) {
            try {
                Link::CheckClaimable(d.link);
            } catch (const LinkRefused& e) {
                std::fprintf(stderr, "korvo-sim: %s\n", e.what());
                return kExitUsage;
            }
        }
    }

    const std::uint64_t seed = options.seed.value_or(FreshSeed());
    const SimClock clock;
    Announcer announcer;
    Fd stop_fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!stop_fd) {
        std::perror("korvo-sim: eventfd");
        return kExitRuntime;
    }

    std::vector<std::unique_ptr<Server>> servers;
    for (std::size_t i = 0; i < options.devices.size(); ++i) {
        const DeviceOptions& d = options.devices[i];
        const std::uint64_t device_seed = seed + 0x9E3779B97F4A7C15ull * (i + 1);
        Pty pty;
        try {
            pty = Pty::Open();
        } catch (const std::system_error& e) {
            std::fprintf(stderr, "korvo-sim: %s: %s\n", KindName(d.kind), e.what());
            return kExitRuntime;
        }
        Link link(d.link);
        try {
            link.PointTo(pty.SlavePath());
        } catch (const std::exception& e) {
            std::fprintf(stderr, "korvo-sim: %s\n", e.what());
            return kExitUsage;
        }
        servers.push_back(std::make_unique<Server>(d.kind, MakeDevice(d, device_seed, clock.Now()),
                                                   Faults(d.faults, device_seed ^ 0x5EEDull), std::move(pty),
                                                   std::move(link), announcer, clock, stop_fd.Get(),
                                                   options.busy_poll_us, options.realtime_priority));
    }

    // Announced before any thread runs, so that a reconnect line (a host may
    // already be using a --link path) can never come before these.
    for (std::size_t i = 0; i < servers.size(); ++i) {
        announcer.Announce(options.devices[i].kind, servers[i]->SlavePath());
    }
    std::vector<std::thread> threads;
    threads.reserve(servers.size());
    for (auto& server : servers) {
        threads.emplace_back([s = server.get()] { s->Run(); });
    }

    int received = 0;
    while (sigwait(&stop_signals, &received) != 0) {
    }

    const std::uint64_t one = 1;
    if (::write(stop_fd.Get(), &one, sizeof one) != sizeof one) {
        std::perror("korvo-sim: eventfd write");
    }
    for (auto& t : threads) {
        t.join();
    }
    servers.clear();  // closes the pseudo-terminals and removes the links
    return received == SIGUSR1 ? kExitRuntime : 0;
}
