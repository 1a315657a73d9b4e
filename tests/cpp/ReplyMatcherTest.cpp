// Which bytes answer the latest request on the arm's line: constructed byte
// streams for every ordering of late answers, marker answers and partial
// reads, the coincidences where a late answer's bytes look like a marker's
// answer, and a fuzz of random interleavings against a device that leaves
// answers out, cuts them short, corrupts them, is late and chatters.

#include "ReplyMatcher.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <random>
#include <vector>

namespace {

using Korvo::Haptics::ReplyMatcher;
using Verdict = ReplyMatcher::Verdict;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t kState = 0x2B;
constexpr std::uint8_t kPower = 0xAC;
constexpr std::uint8_t kTemperature = 0xAA;
constexpr std::uint8_t kCurrents = 0xAB;
constexpr std::uint8_t kOrientation = 0x0C;
constexpr std::uint8_t kStateLength = 25;

bool Believable(const std::uint8_t* payload, std::size_t size) {
    for (std::size_t at = 0; at + 4 <= size; at += 4) {
        float value;
        std::memcpy(&value, payload + at, 4);
        if (!std::isfinite(value) || std::fabs(value) > 100.0f) return false;
    }
    return true;
}

Bytes Floats(std::uint8_t code, std::initializer_list<float> values) {
    Bytes out{code};
    for (const float v : values) {
        std::uint8_t raw[4];
        std::memcpy(raw, &v, 4);
        out.insert(out.end(), raw, raw + 4);
    }
    return out;
}

Bytes StateReply(float x) { return Floats(kState, {x, 0.02f, 0.2f, 0.0f, 0.0f, 0.0f}); }

Bytes Join(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

struct Marker {
    std::uint8_t code;
    std::uint8_t length;
};
constexpr Marker kMarkers[] = {{kPower, 2}, {kTemperature, 5}, {kCurrents, 13}, {kOrientation, 17}};

void SendForce(ReplyMatcher& m) { ASSERT_TRUE(m.Sent(kState, kStateLength, Believable)); }
void SendMarker(ReplyMatcher& m, const Marker& marker) { ASSERT_TRUE(m.Sent(marker.code, marker.length)); }

Bytes MarkerAnswer(const Marker& marker) {
    Bytes out(marker.length, 0);
    out[0] = marker.code;
    if (marker.code == kPower) out[1] = 1;
    return out;
}

Bytes TheAnswer(const ReplyMatcher& m) {
    Bytes out(kStateLength);
    m.CopyAnswer(out.data());
    return out;
}

// Feeds `bytes` cut at `cuts` (positions), and returns the verdict after
// each piece.
std::vector<Verdict> FeedInPieces(ReplyMatcher& m, const Bytes& bytes, const std::vector<std::size_t>& cuts) {
    std::vector<Verdict> verdicts;
    std::size_t from = 0;
    for (const std::size_t cut : cuts) {
        m.Feed(bytes.data() + from, cut - from);
        verdicts.push_back(m.Judge());
        from = cut;
    }
    m.Feed(bytes.data() + from, bytes.size() - from);
    verdicts.push_back(m.Judge());
    return verdicts;
}

// -- a line in step -------------------------------------------------------------------------------

TEST(ReplyMatcher, InStepTheAnswerIsTakenOnlyWhenWholeHoweverItIsRead) {
    const Bytes reply = StateReply(0.125f);
    for (std::size_t piece = 1; piece <= reply.size(); ++piece) {
        ReplyMatcher m;
        SendForce(m);
        for (std::size_t at = 0; at < reply.size(); at += piece) {
            m.Feed(reply.data() + at, std::min(piece, reply.size() - at));
            if (at + piece < reply.size()) {
                EXPECT_EQ(m.Judge(), Verdict::Pending) << "piece " << piece;
            }
        }
        ASSERT_EQ(m.Judge(), Verdict::Answered) << "piece " << piece;
        EXPECT_EQ(TheAnswer(m), reply);
    }
}

TEST(ReplyMatcher, NotificationsAheadOfTheAnswerAreSkipped) {
    const Bytes reply = StateReply(0.5f);
    const Bytes note_a{0xBA, 7, 3, kState, kPower, 0xFF};  // a body that holds codes
    const Bytes note_b{0xBB, 1, 0};
    for (const Bytes& line : {Join({note_a, reply}), Join({note_b, note_a, reply}), Join({note_b, note_b, reply})}) {
        ReplyMatcher m;
        SendForce(m);
        m.Feed(line.data(), line.size());
        ASSERT_EQ(m.Judge(), Verdict::Answered);
        EXPECT_EQ(TheAnswer(m), reply);
    }
}

// A notification comes in the burst of the answer it precedes: one after
// the latest answer breaks the rules, and the line is lost rather than read
// on a guess.
TEST(ReplyMatcher, ANotificationAfterTheLatestAnswerLosesTheLine) {
    ReplyMatcher m;
    SendForce(m);
    const Bytes line = Join({StateReply(0.5f), Bytes{0xBB, 1, 0}});
    m.Feed(line.data(), line.size());
    EXPECT_EQ(m.Judge(), Verdict::Lost);
}

// A payload that holds a notification's code is read whole: a notification
// cannot follow the latest answer, so the answer cannot have stopped there.
TEST(ReplyMatcher, APayloadThatHoldsANotificationCodeIsReadWhole) {
    Bytes reply = StateReply(0.5f);
    reply[9] = 0xBA;
    reply[10] = 0x01;
    reply[11] = 0x02;
    ReplyMatcher m;
    SendForce(m);
    m.Feed(reply.data(), reply.size());
    ASSERT_EQ(m.Judge(), Verdict::Answered);
    EXPECT_EQ(TheAnswer(m), reply);
}

TEST(ReplyMatcher, HowANeededCountShrinksAsTheAnswerComes) {
    ReplyMatcher m;
    SendForce(m);
    EXPECT_EQ(m.NeededForAnswer(), 25u);
    const Bytes reply = StateReply(0.0f);
    m.Feed(reply.data(), 10);
    EXPECT_EQ(m.NeededForAnswer(), 15u);
}

TEST(ReplyMatcher, AnUnbelievableAnswerFailsTheRequestAndLeavesNothingOutstanding) {
    ReplyMatcher m;
    SendForce(m);
    const Bytes bad = Floats(kState, {NAN, 0, 0, 0, 0, 0});
    m.Feed(bad.data(), bad.size());
    EXPECT_EQ(m.Judge(), Verdict::Failed);
}

TEST(ReplyMatcher, BytesNoRuleExplainsLoseTheLine) {
    // A code no outstanding request answers with, where an answer must begin.
    for (const std::uint8_t stray : {std::uint8_t{0x0B}, kTemperature, kPower}) {
        ReplyMatcher m;
        SendForce(m);
        m.Feed(&stray, 1);
        EXPECT_EQ(m.Judge(), Verdict::Lost) << int(stray);
    }
    // Anything but a notification after the answer, with nothing outstanding.
    ReplyMatcher m;
    SendForce(m);
    const Bytes line = Join({StateReply(0.1f), StateReply(0.2f)});
    m.Feed(line.data(), line.size());
    EXPECT_EQ(m.Judge(), Verdict::Lost);
}

// -- out of step: late answers, a marker, then this tick's answer -----------------------------------

TEST(ReplyMatcher, ALateAnswerThenTheMarkersThenOursAtEveryCut) {
    for (const Marker& marker : kMarkers) {
        const Bytes late = StateReply(0.1f);
        const Bytes ours = StateReply(0.2f);
        const Bytes line = Join({late, MarkerAnswer(marker), ours});
        for (std::size_t cut = 0; cut <= line.size(); ++cut) {
            ReplyMatcher m;
            SendForce(m);  // its answer was late: the tick failed
            SendMarker(m, marker);
            SendForce(m);
            const auto verdicts = FeedInPieces(m, line, {cut});
            if (cut < line.size()) {
                EXPECT_NE(verdicts.front(), Verdict::Answered) << "cut " << cut;
            }
            ASSERT_EQ(verdicts.back(), Verdict::Answered) << "marker " << int(marker.code) << " cut " << cut;
            EXPECT_EQ(TheAnswer(m), ours);
        }
    }
}

TEST(ReplyMatcher, EarlierAnswersLeftOutOrCorruptedDoNotStopOursBeingTaken) {
    const Bytes ours = StateReply(0.3f);
    Bytes corrupted = StateReply(0.1f);
    corrupted[0] = 0xEE;
    for (const Marker& marker : kMarkers) {
        for (const Bytes& earlier : {Bytes{}, corrupted}) {
            ReplyMatcher m;
            SendForce(m);
            SendMarker(m, marker);
            SendForce(m);
            const Bytes line = Join({earlier, MarkerAnswer(marker), ours});
            m.Feed(line.data(), line.size());
            EXPECT_EQ(m.Judge(), Verdict::Answered) << "marker " << int(marker.code) << ", " << earlier.size();
            EXPECT_EQ(TheAnswer(m), ours);
        }
    }
}

// An earlier answer cut short could also have been whole, reaching into
// what follows: then the bytes after it would be answers cut short or
// corrupted, and ours still to come. That tick is not taken; the next one is.
TEST(ReplyMatcher, AnEarlierAnswerCutShortCostsOneMoreTickAtMost) {
    Bytes cut_short = StateReply(0.1f);
    cut_short.resize(12);
    Bytes corrupted_short = StateReply(0.1f);
    corrupted_short[0] = 0xEE;
    corrupted_short.resize(7);
    for (const Marker& marker : kMarkers) {
        for (const Bytes& earlier : {cut_short, corrupted_short}) {
            ReplyMatcher m;
            SendForce(m);
            SendMarker(m, marker);
            SendForce(m);
            const Bytes first = Join({earlier, MarkerAnswer(marker), StateReply(0.2f)});
            m.Feed(first.data(), first.size());
            const Verdict v = m.Judge();
            if (v == Verdict::Answered) {
                EXPECT_EQ(TheAnswer(m), StateReply(0.2f));
                continue;
            }
            EXPECT_EQ(v, Verdict::Ambiguous) << "marker " << int(marker.code) << ", " << earlier.size();
            const Marker& next = kMarkers[(&marker - kMarkers + 1) % std::size(kMarkers)];
            SendMarker(m, next);
            SendForce(m);
            const Bytes ours = StateReply(0.3f);
            const Bytes second = Join({MarkerAnswer(next), ours});
            m.Feed(second.data(), second.size());
            ASSERT_EQ(m.Judge(), Verdict::Answered) << "marker " << int(marker.code) << ", " << earlier.size();
            EXPECT_EQ(TheAnswer(m), ours);
        }
    }
}

// Two late answers arrive in one read before the marker's answer, and the
// bytes just before the second one look like the marker's whole answer:
// taking what follows for ours would be taking a late reply.
TEST(ReplyMatcher, ALateReplyThatEndsLikeTheMarkersAnswerIsNeverTaken) {
    for (const Marker& marker : kMarkers) {
        Bytes first = StateReply(0.1f);
        const Bytes mimic = MarkerAnswer(marker);
        if (mimic.size() >= first.size()) continue;
        std::copy(mimic.begin(), mimic.end(), first.end() - static_cast<std::ptrdiff_t>(mimic.size()));
        const Bytes second = StateReply(0.15f);
        const Bytes ours = StateReply(0.2f);
        ReplyMatcher m;
        SendForce(m);
        SendForce(m);
        SendMarker(m, marker);
        SendForce(m);
        const Bytes stale = Join({first, second});
        m.Feed(stale.data(), stale.size());
        EXPECT_NE(m.Judge(), Verdict::Answered) << "marker " << int(marker.code);
        EXPECT_EQ(m.Judge(), Verdict::Ambiguous) << "marker " << int(marker.code);
        // The real answers settle it.
        const Bytes rest = Join({MarkerAnswer(marker), ours});
        m.Feed(rest.data(), rest.size());
        ASSERT_EQ(m.Judge(), Verdict::Answered) << "marker " << int(marker.code);
        EXPECT_EQ(TheAnswer(m), ours);
    }
}

TEST(ReplyMatcher, ADoubtThatSurvivesIsSettledByTheNextTicksMarker) {
    // The doubtful tick fails; the next one asks another kind of marker.
    Bytes first = StateReply(0.1f);
    first[23] = kPower;
    first[24] = 0;
    const Bytes second = StateReply(0.15f);
    ReplyMatcher m;
    SendForce(m);
    SendForce(m);
    SendMarker(m, kMarkers[0]);
    SendForce(m);
    const Bytes stale = Join({first, second});
    m.Feed(stale.data(), stale.size());
    ASSERT_EQ(m.Judge(), Verdict::Ambiguous);
    SendMarker(m, kMarkers[1]);
    SendForce(m);
    const Bytes ours = StateReply(0.4f);
    const Bytes rest = Join({MarkerAnswer(kMarkers[0]), StateReply(0.3f), MarkerAnswer(kMarkers[1]), ours});
    m.Feed(rest.data(), rest.size());
    ASSERT_EQ(m.Judge(), Verdict::Answered);
    EXPECT_EQ(TheAnswer(m), ours);
}

TEST(ReplyMatcher, ForcesSentBlindCannotBeToldApartAndAreNeverGuessed) {
    // Three forces outstanding, two answers seen: they answer the first two,
    // or the first was left out and they answer the last two.
    ReplyMatcher m;
    SendForce(m);
    SendForce(m);
    SendForce(m);
    const Bytes line = Join({StateReply(0.1f), StateReply(0.2f)});
    m.Feed(line.data(), line.size());
    EXPECT_EQ(m.Judge(), Verdict::Ambiguous);
}

TEST(ReplyMatcher, ARequestLeftUnansweredStaysPendingUntilLaterAnswersShowItWasLeftOut) {
    ReplyMatcher m;
    SendForce(m);
    EXPECT_EQ(m.Judge(), Verdict::Pending);
    SendMarker(m, kMarkers[2]);
    SendForce(m);
    const Bytes ours = StateReply(0.7f);
    const Bytes line = Join({MarkerAnswer(kMarkers[2]), ours});
    m.Feed(line.data(), line.size());
    ASSERT_EQ(m.Judge(), Verdict::Answered);
    EXPECT_EQ(TheAnswer(m), ours);
}

TEST(ReplyMatcher, OutstandingRequestsAreBounded) {
    ReplyMatcher m;
    for (std::size_t i = 0; i < ReplyMatcher::kMaxOutstanding; ++i) ASSERT_TRUE(m.Sent(kState, kStateLength));
    EXPECT_FALSE(m.Sent(kState, kStateLength));
    EXPECT_EQ(m.Outstanding(), ReplyMatcher::kMaxOutstanding);
    m.Reset();
    EXPECT_EQ(m.Outstanding(), 0u);
    EXPECT_TRUE(m.Sent(kState, kStateLength));
}

// -- the fuzz -------------------------------------------------------------------------------------
//
// A host that uses the matcher as the servo loop does, against a device that
// answers in order, late (up to a bound), leaves answers out, or sends
// notifications first, and now and then (never twice among the answers that
// can be outstanding at once) cuts an answer short or corrupts its code
// byte; its bytes come in reads of random size. Every answer the matcher
// settles on must be the very bytes the device sent for that request.

struct Emitted {
    long at;        // when the byte is readable
    std::uint8_t byte;
};

class FuzzDevice {
public:
    explicit FuzzDevice(std::uint32_t seed) : rng_(seed) {}

    static constexpr std::size_t kSpoilGap = ReplyMatcher::kMaxOutstanding;

    // A request reaches the device at `now`; returns the answer it would
    // give whole (what a correct host must take for it).
    Bytes Request(std::uint8_t code, std::uint8_t length, long now, std::uint32_t id) {
        Bytes whole(length, 0);
        whole[0] = code;
        // Every answer's payload is unique and believable.
        for (std::size_t i = 1; i + 4 <= length; i += 4) {
            const float v = static_cast<float>(id % 1000) / 1000.0f + static_cast<float>(i) / 100.0f;
            std::memcpy(&whole[i], &v, 4);
        }
        if (length == 2) whole[1] = static_cast<std::uint8_t>(id & 1);
        const double roll = Uniform();
        Bytes wire;
        if (Uniform() < 0.05) {
            const Bytes note{static_cast<std::uint8_t>(Uniform() < 0.5 ? 0xBA : 0xBB), 3, 2, kState, kPower};
            wire.insert(wire.end(), note.begin(), note.end());
        }
        bool whole_and_true = false;
        const bool may_spoil = ++since_spoilt_ > kSpoilGap;
        if (roll < 0.04) {
            // left out
        } else if (roll < 0.08 && may_spoil) {
            since_spoilt_ = 0;
            wire.insert(wire.end(), whole.begin(), whole.begin() + 1 + Below(length - 1));
        } else if (roll < 0.12 && may_spoil) {
            since_spoilt_ = 0;
            Bytes bad = whole;
            bad[0] = 0xEE;
            if (Uniform() < 0.5) bad.resize(1 + Below(length - 1));
            wire.insert(wire.end(), bad.begin(), bad.end());
        } else {
            wire.insert(wire.end(), whole.begin(), whole.end());
            whole_and_true = true;
        }
        // Late now and then, never beyond the bound a quiet line waits out.
        long start = now + 1 + static_cast<long>(Below(20));
        if (Uniform() < 0.1) start += static_cast<long>(Below(kMaxLatency - 40));
        start = std::max(start, free_at_);
        for (std::size_t i = 0; i < wire.size(); ++i) {
            free_at_ = start + static_cast<long>(i) * static_cast<long>(Below(3));
            out_.push_back({free_at_, wire[i]});
        }
        return whole_and_true ? whole : Bytes{};
    }

    // Everything readable by `now`.
    Bytes Read(long now) {
        Bytes got;
        while (!out_.empty() && out_.front().at <= now) {
            got.push_back(out_.front().byte);
            out_.pop_front();
        }
        return got;
    }

    bool Busy() const { return !out_.empty(); }
    double Uniform() { return std::uniform_real_distribution<double>(0.0, 1.0)(rng_); }
    std::size_t Below(std::size_t n) { return n == 0 ? 0 : std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_); }

    static constexpr long kMaxLatency = 800;

private:
    std::mt19937 rng_;
    std::size_t since_spoilt_ = 0;
    std::deque<Emitted> out_;
    long free_at_ = 0;
};

TEST(ReplyMatcherFuzz, NoAnswerIsEverTakenForAnotherRequestsInRandomInterleavings) {
    constexpr long kPeriod = 100;        // time units per tick
    constexpr long kDeadline = 300;      // a tick's wait
    constexpr long kQuiet = 1000;        // > the device's latest answer
    // A short run here; KORVO_FUZZ_SCENARIOS asks for a long one (the
    // figures in the notes come from 2000).
    // One thread only: a sanitizer finds nothing more in more of it, and
    // makes each scenario ten times slower.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
    constexpr int kShortRun = 4;
#else
    constexpr int kShortRun = 20;
#endif
    const char* asked = std::getenv("KORVO_FUZZ_SCENARIOS");
    const int kScenarios = asked != nullptr ? std::atoi(asked) : kShortRun;
    constexpr int kTicks = 1500;
    long answered = 0, checked_ticks = 0, misattributed = 0, quiet_recoveries = 0;
    for (int scenario = 0; scenario < kScenarios; ++scenario) {
        FuzzDevice device(static_cast<std::uint32_t>(scenario) * 7919u + 17u);
        ReplyMatcher m;
        long now = 0;
        bool quiet = false;
        long last_byte = 0;
        std::size_t next_marker = 0;
        std::uint32_t id = 0;
        for (int tick = 0; tick < kTicks; ++tick, now = std::max(now, static_cast<long>(tick) * kPeriod)) {
            ++checked_ticks;
            if (quiet) {
                // Nothing is sent until nothing has come for kQuiet.
                if (!device.Read(now).empty()) last_byte = now;
                if (now - last_byte >= kQuiet) {
                    m.Reset();
                    quiet = false;
                    ++quiet_recoveries;
                }
                continue;
            }
            const Bytes waiting = device.Read(now);
            m.Feed(waiting.data(), waiting.size());
            if (m.Outstanding() > 0) {
                const Marker& marker = kMarkers[next_marker++ % std::size(kMarkers)];
                if (!m.Sent(marker.code, marker.length)) {
                    quiet = true;
                    last_byte = now;
                    continue;
                }
                device.Request(marker.code, marker.length, now, ++id);
            }
            if (!m.Sent(kState, kStateLength, Believable)) {
                quiet = true;
                last_byte = now;
                continue;
            }
            const Bytes truth = device.Request(kState, kStateLength, now, ++id);
            const long deadline = now + kDeadline;
            for (;;) {
                const Verdict v = m.Judge();
                if (v == Verdict::Answered) {
                    ++answered;
                    if (TheAnswer(m) != truth) ++misattributed;
                    m.Forget();
                    break;
                }
                if (v == Verdict::Failed) {
                    m.Forget();  // when the line is idle; otherwise it stays in view
                    break;
                }
                if (v == Verdict::Lost) {
                    quiet = true;
                    last_byte = now;
                    break;
                }
                if (now >= deadline) break;
                now += 1 + static_cast<long>(device.Below(15));
                const Bytes more = device.Read(now);
                m.Feed(more.data(), more.size());
            }
        }
    }
    EXPECT_EQ(misattributed, 0) << answered << " answers taken";
    // A late answer holds up the ones behind it: those ticks fail whatever
    // the host does. Most of the rest get their answer.
    EXPECT_GT(answered, checked_ticks * 6 / 10) << quiet_recoveries << " quiet recoveries";
    RecordProperty("answered", static_cast<int>(answered));
    RecordProperty("ticks", static_cast<int>(checked_ticks));
    RecordProperty("quiet_recoveries", static_cast<int>(quiet_recoveries));
}

}  // namespace
