// What handing values to the servo thread costs, and whether writers can
// disturb it.
//
//   korvo-bench-handoff cost ROUNDS
//       The servo thread's reads per tick (the commanded force, the limits,
//       eight effects' parameters) through SeqLocks (how they crossed
//       before) and through Mailboxes, in alternating rounds of a million
//       ticks, with no writer and with a writer busy all the while. Prints
//       one line per round: kind, writer (idle|busy), nanoseconds per tick.
//
//   korvo-bench-handoff loop PORT TICKS BLOCKS
//       A 1 kHz servo loop with eight springs on the arm at PORT, in blocks
//       of TICKS ticks that take turns: nobody writing; four threads that
//       do what the writers do but hand nothing over (build the same
//       parameters, take one of eight locks among themselves); four threads
//       setting the springs' parameters as fast as they can. The middle mode
//       tells what the hand-off costs the loop apart from what four threads
//       contending for locks cost any loop on the machine. Prints one line
//       per block: mode (idle|spinners|writers), period p99 in seconds,
//       periods over 1.5 nominal, ticks, parameter writes.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Korvo/Haptics/Effects.h"
#include "Korvo/Realtime/Mailbox.h"
#include "Korvo/Realtime/SeqLock.h"
#include "Korvo/Haptics/Servo.h"

using namespace Korvo::Haptics;
using namespace Korvo::Realtime;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kEffects = 8;

// The same values either way: a force, the limits, eight springs' parameter sets.
template <template <class> class Box>
struct Values {
    Box<Vector3d> command;
    Box<SafetyLimits> limits;
    std::vector<std::unique_ptr<Box<Spring::Params>>> springs;
    Values() {
        for (int i = 0; i < kEffects; ++i) springs.push_back(std::make_unique<Box<Spring::Params>>());
    }
};

double ReadSeq(Values<SeqLock>& v) {
    double sum = v.command.Load()[2] + v.limits.Load().max_force;
    for (auto& s : v.springs) sum += s->Load().stiffness;
    return sum;
}
double ReadMail(Values<Mailbox>& v) {
    double sum = v.command.Read()[2] + v.limits.Read().max_force;
    for (auto& s : v.springs) sum += s->Read().stiffness;
    return sum;
}

template <class Read, class Write>
double NanosPerTick(Read read, Write write, bool busy) {
    constexpr int kTicks = 1'000'000;
    std::atomic<bool> stop{false};
    std::thread writer;
    if (busy) {
        writer = std::thread([&] {
            for (double x = 0.0; !stop.load(std::memory_order_relaxed); x += 1.0) write(x);
        });
    }
    double sink = 0.0;
    const auto start = Clock::now();
    for (int i = 0; i < kTicks; ++i) sink += read();
    const double ns = std::chrono::duration<double, std::nano>(Clock::now() - start).count() / kTicks;
    stop = true;
    if (writer.joinable()) writer.join();
    if (sink == -1.0) std::puts("");  // keeps the reads
    return ns;
}

int Cost(int rounds) {
    Values<SeqLock> seq;
    Values<Mailbox> mail;
    std::mutex seq_writers;  // the servo's writers took one for its own values
    auto write_seq = [&](double x) {
        {
            const std::lock_guard<std::mutex> lock(seq_writers);
            seq.command.Store({0.0, 0.0, x});
        }
        for (auto& s : seq.springs) s->Store(Spring::Params{{0.0, 0.0, x}, x, 1.0, 0.1});
    };
    auto write_mail = [&](double x) {
        mail.command.Write({0.0, 0.0, x});
        for (auto& s : mail.springs) s->Write(Spring::Params{{0.0, 0.0, x}, x, 1.0, 0.1});
    };
    for (int round = 0; round < rounds; ++round) {
        for (const bool busy : {false, true}) {
            const char* writer = busy ? "busy" : "idle";
            std::printf("seqlock %s %.2f\n", writer, NanosPerTick([&] { return ReadSeq(seq); }, write_seq, busy));
            std::printf("mailbox %s %.2f\n", writer, NanosPerTick([&] { return ReadMail(mail); }, write_mail, busy));
            std::fflush(stdout);
        }
    }
    return 0;
}

int Loop(const std::string& port, std::uint64_t ticks, int blocks) {
    ServoOptions options;
    options.recording = static_cast<std::uint32_t>(ticks + 1000);
    options.limits.max_force = 0.5;
    Servo servo(port, options);
    std::vector<std::shared_ptr<Spring>> springs;
    for (int i = 0; i < kEffects; ++i) {
        springs.push_back(std::make_shared<Spring>(Spring::Params{{0.0, 0.02, 0.2}, 10.0, 0.5, 0.1}));
        servo.Effects().Add(springs.back());
    }
    servo.Start();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    static const char* const kModes[] = {"idle", "spinners", "writers"};
    std::mutex spin_locks[kEffects];
    for (int block = 0; block < 3 * blocks; ++block) {
        const int mode = block % 3;
        std::atomic<bool> stop{false};
        std::atomic<std::uint64_t> writes{0};
        std::vector<std::thread> writers;
        if (mode > 0) {
            const bool write = mode == 2;
            for (int w = 0; w < 4; ++w) {
                writers.emplace_back([&, w, write] {
                    std::uint64_t n = 0;
                    volatile double sink = 0.0;
                    for (double x = 0.0; !stop.load(std::memory_order_relaxed); x += 1e-6, ++n) {
                        const Spring::Params params{{0.0, 0.02, 0.2 + x * 1e-3}, 10.0, 0.5, 0.1};
                        if (write) {
                            springs[static_cast<std::size_t>((w + n) % kEffects)]->SetParams(params);
                        } else {
                            const std::lock_guard<std::mutex> lock(spin_locks[(w + n) % kEffects]);
                            sink = sink + params.target[2];
                        }
                    }
                    if (write) writes += n;
                });
            }
        }
        servo.Drain();
        const std::uint64_t from = servo.State().tick;
        while (servo.State().tick < from + ticks && servo.Running()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        stop = true;
        for (auto& t : writers) t.join();
        const Recording rec = servo.Drain();
        std::vector<double> periods;
        std::uint64_t over = 0;
        for (const TickRecord& r : rec.ticks) {
            if (r.tick <= from || r.tick > from + ticks) continue;
            periods.push_back(r.period);
            if (r.period > 1.5e-3) ++over;
        }
        std::sort(periods.begin(), periods.end());
        const double p99 = periods.empty() ? 0.0 : periods[static_cast<std::size_t>(0.99 * (periods.size() - 1))];
        std::printf("%s %.6f %llu %zu %llu\n", kModes[mode], p99, static_cast<unsigned long long>(over),
                    periods.size(), static_cast<unsigned long long>(writes.load()));
        std::fflush(stdout);
    }
    servo.Stop();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "cost" && argc == 3) return Cost(std::atoi(argv[2]));
    if (mode == "loop" && argc == 5) return Loop(argv[2], std::strtoull(argv[3], nullptr, 10), std::atoi(argv[4]));
    std::fprintf(stderr, "usage: korvo-bench-handoff cost ROUNDS | loop PORT TICKS BLOCKS\n");
    return 2;
}
