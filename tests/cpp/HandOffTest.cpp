// What crosses between the servo thread and other threads: Mailboxes (to the
// servo thread: never a wait, never a torn value, any number of writers) and
// the ring that keeps the newest ticks (from it: never torn, losses
// counted). The loop-level cases run a servo loop against a scripted arm;
// they also run under ThreadSanitizer.

#include "Korvo/Realtime/Mailbox.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "Korvo/Haptics/Effects.h"
#include "Korvo/Haptics/Servo.h"
#include "Realtime/Rings.h"
#include "support/ArmPeer.h"

namespace {

using namespace Korvo::Haptics;
using namespace Korvo::Realtime;
using Korvo::Testing::ArmPeer;
using namespace std::chrono_literals;

// -- Mailbox ----------------------------------------------------------------------------------------

struct Quad {
    std::uint64_t a, b, c, d;
    bool Whole() const { return b == a && c == a && d == a; }
};

TEST(Mailbox, TheReaderGetsTheLatestWholeValueAndWritersSeeTheirLast) {
    Mailbox<Quad> box(Quad{1, 1, 1, 1});
    EXPECT_EQ(box.Read().a, 1u);
    box.Write(Quad{2, 2, 2, 2});
    box.Write(Quad{3, 3, 3, 3});
    EXPECT_EQ(box.Latest().a, 3u);
    EXPECT_EQ(box.Read().a, 3u);  // the latest, not every one
    EXPECT_EQ(box.Read().a, 3u);  // again, without a new write
    box.Write(Quad{4, 4, 4, 4});
    EXPECT_EQ(box.Read().a, 4u);
}

// Several writers at once, and a reader that reads all the while: every
// value it sees is one some writer wrote whole, and it never goes back.
TEST(Mailbox, ManyWritersOneReaderNoTornValue) {
    Mailbox<Quad> box(Quad{0, 0, 0, 0});
    constexpr int kWriters = 4;
    constexpr std::uint64_t kWrites = 20000;
    std::atomic<bool> done{false};
    std::atomic<long> torn{0}, reads{0};
    std::thread reader([&] {
        std::vector<std::uint64_t> last(kWriters, 0);
        while (!done.load()) {
            const Quad q = box.Read();
            ++reads;
            if (!q.Whole()) ++torn;
            // Writer w writes w + kWriters * i, increasing.
            if (q.a != 0) {
                const auto w = static_cast<std::size_t>(q.a % kWriters);
                if (q.a < last[w]) ++torn;
                last[w] = q.a;
            }
        }
    });
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back([&box, w] {
            for (std::uint64_t i = 1; i <= kWrites; ++i) {
                const std::uint64_t v = static_cast<std::uint64_t>(w) + kWriters * i;
                box.Write(Quad{v, v, v, v});
            }
        });
    }
    for (auto& t : writers) t.join();
    done = true;
    reader.join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_GT(reads.load(), 0);
    EXPECT_TRUE(box.Latest().Whole());
}

// A writer stopped half-way: the reader goes on with the last whole value.
class PausedWriter {
public:
    PausedWriter() {
        instance_ = this;
        Testing::mailbox_write_pause.store(&PausedWriter::Hook);
    }
    ~PausedWriter() {
        Release();
        Testing::mailbox_write_pause.store(nullptr);
        instance_ = nullptr;
    }
    // The next write from `thread` stops in the middle until Release().
    void Arm(std::thread::id thread) {
        const std::lock_guard<std::mutex> lock(mutex_);
        target_ = thread;
    }
    void AwaitPaused() {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return paused_; });
    }
    void Release() {
        const std::lock_guard<std::mutex> lock(mutex_);
        released_ = true;
        changed_.notify_all();
    }

private:
    static void Hook() {
        PausedWriter* self = instance_;
        std::unique_lock<std::mutex> lock(self->mutex_);
        if (std::this_thread::get_id() != self->target_) return;
        self->paused_ = true;
        self->changed_.notify_all();
        self->changed_.wait(lock, [self] { return self->released_; });
    }

    static inline PausedWriter* instance_ = nullptr;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::thread::id target_;
    bool paused_ = false;
    bool released_ = false;
};

TEST(Mailbox, AWriterStoppedHalfWayDelaysNoRead) {
    Mailbox<Quad> box(Quad{1, 1, 1, 1});
    PausedWriter pause;
    std::thread writer([&] {
        pause.Arm(std::this_thread::get_id());
        box.Write(Quad{2, 2, 2, 2});
    });
    pause.AwaitPaused();
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(box.Read().a, 1u);  // the last whole value, at once
    pause.Release();
    writer.join();
    EXPECT_EQ(box.Read().a, 2u);
}

// -- the ring that keeps the newest ----------------------------------------------------------------

TEST(NewestRing, KeepsTheNewestAndCountsWhatWasWrittenOver) {
    NewestRing<int> ring(4);
    std::vector<int> out;
    EXPECT_EQ(ring.ReadFrom(0, ring.Head(), out), 0u);
    for (int i = 0; i < 10; ++i) ring.Push(i);
    EXPECT_EQ(ring.ReadFrom(0, ring.Head(), out), 6u);
    EXPECT_EQ(out, (std::vector<int>{6, 7, 8, 9}));
    out.clear();
    EXPECT_EQ(ring.ReadFrom(8, ring.Head(), out), 0u);
    EXPECT_EQ(out, (std::vector<int>{8, 9}));
    NewestRing<int> none(0);  // keeps nothing, counts nothing
    none.Push(1);
    out.clear();
    EXPECT_EQ(none.ReadFrom(0, none.Head(), out), 0u);
    EXPECT_TRUE(out.empty());
}

TEST(NewestRing, AReaderRacingTheWriterSeesWholeItemsInOrderOrCountsThemLost) {
    NewestRing<Quad> ring(16);
    constexpr std::uint64_t kItems = 100000;
    std::thread writer([&] {
        for (std::uint64_t i = 1; i <= kItems; ++i) ring.Push(Quad{i, i, i, i});
    });
    std::uint64_t from = 0, seen = 0, lost = 0, torn = 0, last = 0;
    while (from < kItems) {
        std::vector<Quad> out;
        const std::uint64_t head = ring.Head();
        lost += ring.ReadFrom(from, head, out);
        for (const Quad& q : out) {
            if (!q.Whole() || q.a <= last) ++torn;
            last = q.a;
        }
        seen += out.size();
        from = head;
    }
    writer.join();
    EXPECT_EQ(torn, 0u);
    EXPECT_EQ(seen + lost, kItems);
}

// -- the loop ---------------------------------------------------------------------------------------

ServoOptions Quick() {
    ServoOptions o;
    o.realtime = RealTimePolicy::Off;
    o.exchange_timeout = 0.5;  // no test here is about deadlines
    o.limits.ramp_time = 1e-3;
    o.limits.max_force_step = 10.0;
    return o;
}

void AwaitTicks(ArmPeer& arm, std::size_t n) { ASSERT_TRUE(arm.AwaitForces(n, 10s)) << "only " << arm.ForceCount(); }

// The old hand-off made the servo thread spin until a stopped writer went
// on: the loop stood still. Now it keeps its ticks, and its force is the
// last whole one, until the writer finishes.
TEST(ServoHandOff, AWriterStoppedHalfWayThroughTheForceDelaysNoTick) {
    ArmPeer arm;
    Servo servo(arm.Path(), Quick());
    servo.SetForce({0.0, 0.0, 1.0});
    servo.Start();
    AwaitTicks(arm, 20);
    // The start's ramp is behind these: from here on every force is whole.
    const std::size_t ramped = arm.ForceCount();
    PausedWriter pause;
    std::thread writer([&] {
        pause.Arm(std::this_thread::get_id());
        servo.SetForce({0.0, 0.0, -1.0});
    });
    pause.AwaitPaused();
    const std::uint64_t before = servo.State().tick;
    const std::size_t sent_before = arm.ForceCount();
    AwaitTicks(arm, sent_before + 50);  // the loop goes on meanwhile
    const ServoState during = servo.State();
    EXPECT_GE(during.tick, before + 40);
    EXPECT_EQ(during.commanded[2], 1.0);
    pause.Release();
    writer.join();
    AwaitTicks(arm, arm.ForceCount() + 10);
    EXPECT_EQ(servo.State().commanded[2], -1.0);
    const std::size_t written = arm.ForceCount();
    servo.Stop();
    // Every force the arm heard in between was one of the two, never half of
    // a write.
    const auto forces = arm.Forces();
    ASSERT_GE(forces.size(), written);
    for (std::size_t i = ramped; i < written; ++i) {
        EXPECT_TRUE(forces[i][2] == 1.0f || forces[i][2] == -1.0f) << "force " << i << ": " << forces[i][2];
    }
}

// Parameters of one effect written from four threads at once while the loop
// evaluates it: every tick sees one whole set.
class Quadruple : public Effect {
public:
    struct Params {
        double a = 0, b = 0, c = 0, d = 0;
    };
    void SetParams(const Params& p) { params_.Write(p); }
    Vector3d Force(const TickInput&) noexcept override {
        const Params& p = params_.Read();
        ++evaluated;
        if (!(p.b == p.a && p.c == p.a && p.d == p.a)) ++torn;
        return kZero;
    }
    std::atomic<long> evaluated{0}, torn{0};

private:
    Mailbox<Params> params_;
};

TEST(ServoHandOff, FourWritersOnOneEffectNeverTearAParameterSet) {
    ArmPeer arm;
    Servo servo(arm.Path(), Quick());
    auto effect = std::make_shared<Quadruple>();
    servo.Effects().Add(effect);
    servo.Start();
    AwaitTicks(arm, 10);
    std::vector<std::thread> writers;
    for (int w = 0; w < 4; ++w) {
        writers.emplace_back([&effect, w] {
            for (int i = 0; i < 100000; ++i) {
                const double v = w * 1e6 + i;
                effect->SetParams({v, v, v, v});
            }
        });
    }
    for (auto& t : writers) t.join();
    AwaitTicks(arm, arm.ForceCount() + 10);
    servo.Stop();
    EXPECT_GT(effect->evaluated.load(), 10);
    EXPECT_EQ(effect->torn.load(), 0);
}

TEST(ServoHandOff, AnEffectRunsInOneLoopAtATime) {
    EffectStack first, second;
    auto spring = std::make_shared<Spring>();
    first.Add(spring);
    EXPECT_THROW(second.Add(spring), std::invalid_argument);
    EXPECT_THROW(first.Add(spring), std::invalid_argument);  // in this one already
    EXPECT_TRUE(first.Remove(spring.get()));  // no loop runs it: gone at once
    EXPECT_NO_THROW(second.Add(spring));
}

TEST(ServoHandOff, AnEffectLeftByAStackThatIsGoneMayJoinAnother) {
    auto damper = std::make_shared<Damper>();
    {
        EffectStack gone;
        gone.Add(damper);
    }
    EffectStack next;
    EXPECT_NO_THROW(next.Add(damper));
}

}  // namespace
