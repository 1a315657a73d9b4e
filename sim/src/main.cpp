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

using namespace korvo::sim;

namespace {

constexpr int kExitRuntime = 1;
constexpr int kExitUsage = 2;

std::unique_ptr<SimulatedDevice> makeDevice(const DeviceOptions& d, std::uint64_t seed, double now)
{
    switch (d.kind) {
    case DeviceKind::Arm: return std::make_unique<SimulatedArm>(d.arm, now);
    case DeviceKind::Handle: return std::make_unique<SimulatedHandle>(d.handle, seed, now);
    case DeviceKind::Loopback: break;
    }
    return std::make_unique<SimulatedLoopback>();
}

std::uint64_t freshSeed()
{
    std::random_device rd;
    return (static_cast<std::uint64_t>(rd()) << 32) ^ rd();
}

}  // namespace

int main(int argc, char** argv)
{
    const pid_t parentAtStart = ::getppid();

    Options options;
    try {
        options = parseOptions(argc, argv);
    } catch (const UsageError& e) {
        std::fprintf(stderr, "korvo-sim: %s\n\n%s", e.what(), usageText().c_str());
        return kExitUsage;
    }
    if (options.help) {
        std::fputs(usageText().c_str(), stdout);
        return 0;
    }

    // Every thread inherits this mask; the main thread alone takes the signals,
    // synchronously, so shutdown runs in ordinary code and removes the links.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGUSR1}) {
        sigaddset(&stopSignals, s);
    }
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    // A fixture that closes our standard output must not kill us before cleanup.
    signal(SIGPIPE, SIG_IGN);

    if (options.dieWithParent) {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parentAtStart) {
            return 0;  // the parent is already gone
        }
    }

    for (const auto& d : options.devices) {
        if (!d.link.empty()) {
            try {
                Link::checkClaimable(d.link);
            } catch (const LinkRefused& e) {
                std::fprintf(stderr, "korvo-sim: %s\n", e.what());
                return kExitUsage;
            }
        }
    }

    const std::uint64_t seed = options.seed.value_or(freshSeed());
    const SimClock clock;
    Announcer announcer;
    Fd stopFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!stopFd) {
        std::perror("korvo-sim: eventfd");
        return kExitRuntime;
    }

    std::vector<std::unique_ptr<Server>> servers;
    for (std::size_t i = 0; i < options.devices.size(); ++i) {
        const DeviceOptions& d = options.devices[i];
        const std::uint64_t deviceSeed = seed + 0x9E3779B97F4A7C15ull * (i + 1);
        Pty pty;
        try {
            pty = Pty::open();
        } catch (const std::system_error& e) {
            std::fprintf(stderr, "korvo-sim: %s: %s\n", kindName(d.kind), e.what());
            return kExitRuntime;
        }
        Link link(d.link);
        try {
            link.pointTo(pty.slavePath());
        } catch (const std::exception& e) {
            std::fprintf(stderr, "korvo-sim: %s\n", e.what());
            return kExitUsage;
        }
        servers.push_back(std::make_unique<Server>(d.kind, makeDevice(d, deviceSeed, clock.now()),
                                                   Faults(d.faults, deviceSeed ^ 0x5EEDull), std::move(pty),
                                                   std::move(link), announcer, clock, stopFd.get(),
                                                   options.busyPollUs, options.realtimePriority));
    }

    // Announced before any thread runs, so that a reconnect line (a host may
    // already be using a --link path) can never come before these.
    for (std::size_t i = 0; i < servers.size(); ++i) {
        announcer.announce(options.devices[i].kind, servers[i]->slavePath());
    }
    std::vector<std::thread> threads;
    threads.reserve(servers.size());
    for (auto& server : servers) {
        threads.emplace_back([s = server.get()] { s->run(); });
    }

    int received = 0;
    while (sigwait(&stopSignals, &received) != 0) {
    }

    const std::uint64_t one = 1;
    if (::write(stopFd.get(), &one, sizeof one) != sizeof one) {
        std::perror("korvo-sim: eventfd write");
    }
    for (auto& t : threads) {
        t.join();
    }
    servers.clear();  // closes the pseudo-terminals and removes the links
    return received == SIGUSR1 ? kExitRuntime : 0;
}
