#include "ReplyMatcher.h"

#include <algorithm>
#include <bit>

#include "Korvo/HardwareAPI/Devices/Arvena.h"

namespace Korvo::Haptics {

namespace {

using HardwareAPI::Devices::Arvena;
using HardwareAPI::Devices::Device;

bool IsNotification(std::uint8_t byte) { return byte == Device::kNotificationA || byte == Device::kNotificationB; }

}  // namespace

bool ReplyMatcher::IsProtocolCode(std::uint8_t byte) noexcept {
    switch (byte) {
        case Arvena::kWakeupReply:
        case Arvena::kIdentity:
        case Arvena::kEndEffectorState:
        case Arvena::kJointState:
        case Arvena::kMotorCurrents:
        case Arvena::kOrientation:
        case Arvena::kPowerStatus:
        case Arvena::kTemperature:
        case Device::kNotificationA:
        case Device::kNotificationB:
            return true;
        default:
            return false;
    }
}

void ReplyMatcher::Clear(Routes& r) noexcept {
    for (std::size_t f = 0; f <= kMaxFaults; ++f) {
        for (std::uint32_t busy = r.occupied[f]; busy != 0; busy &= busy - 1) {
            const auto k = static_cast<std::size_t>(std::countr_zero(busy));
            r.inside[f][k] = 0;
            r.garbage[f][k] = 0;
        }
        r.occupied[f] = 0;
        r.between[f] = kNone;
    }
    r.notes_count = 0;
    r.notes_overflow = false;
    r.ends_count = 0;
    r.ends_overflow = false;
}

void ReplyMatcher::Reset() noexcept {
    count_ = 0;
    Clear(routes_);
    routes_.between[0] = 0;
}

void ReplyMatcher::Between(Routes& into, std::size_t faults, std::uint8_t index) noexcept {
    into.between[faults] = std::min(into.between[faults], index);
}

void ReplyMatcher::Within(Routes& into, bool corrupted, std::size_t faults, std::size_t k, std::size_t index) noexcept {
    (corrupted ? into.garbage : into.inside)[faults][k] |= static_cast<Mask>(1u << index);
    into.occupied[faults] |= 1u << k;
}

void ReplyMatcher::AddNote(Routes& into, std::size_t faults, std::uint16_t left, std::uint8_t index) noexcept {
    for (std::size_t i = 0; i < into.notes_count; ++i) {
        Routes::Note& note = into.notes[i];
        if (note.faults == faults && note.left == left) {
            note.index = std::min(note.index, index);
            return;
        }
    }
    if (into.notes_count == kMaxNotes) {
        into.notes_overflow = true;
        return;
    }
    into.notes[into.notes_count++] = Routes::Note{static_cast<std::uint8_t>(faults), index, left};
}

void ReplyMatcher::Answered(Routes& into, std::size_t faults, std::uint64_t end) noexcept {
    for (std::size_t i = 0; i < into.ends_count; ++i) {
        if (into.ends[i] == end) {
            into.ends_faults[i] = static_cast<std::uint8_t>(std::min<std::size_t>(into.ends_faults[i], faults));
            return;
        }
    }
    if (into.ends_count == kMaxAnsweredEnds) {
        into.ends_overflow = true;
        return;
    }
    into.ends[into.ends_count] = end;
    into.ends_faults[into.ends_count++] = static_cast<std::uint8_t>(faults);
}

bool ReplyMatcher::Sent(std::uint8_t code, std::uint8_t length, Check believable) noexcept {
    if (count_ == kMaxOutstanding || length < 2 || length > kMaxAnswer) return false;
    requests_[count_++] = Request{code, length, believable};
    // Routes that had the previous latest request's answer are idle: the new
    // answer may begin there.
    for (std::size_t i = 0; i < routes_.ends_count; ++i) {
        Between(routes_, routes_.ends_faults[i], static_cast<std::uint8_t>(count_ - 1));
    }
    if (routes_.ends_overflow) Between(routes_, kMaxFaults, static_cast<std::uint8_t>(count_ - 1));
    routes_.ends_count = 0;
    routes_.ends_overflow = false;
    Prune(routes_);
    return true;
}

bool ReplyMatcher::Believable(const Request& request) const noexcept {
    if (request.believable == nullptr) return true;
    std::uint8_t payload[kMaxAnswer];
    for (std::size_t i = 1; i < request.length; ++i) {
        payload[i - 1] = recent_[(position_ - request.length + i) % recent_.size()];
    }
    return request.believable(payload, request.length - 1u);
}

void ReplyMatcher::Prune(Routes& r) const noexcept {
    const std::size_t latest = count_ - 1;
    // A route that assumes fewer spoilt answers stands for the same route
    // assuming more.
    for (std::size_t f = 1; f <= kMaxFaults; ++f) {
        for (std::size_t g = 0; g < f; ++g) {
            if (r.between[g] <= r.between[f]) r.between[f] = kNone;
            for (std::uint32_t busy = r.occupied[f] & r.occupied[g]; busy != 0; busy &= busy - 1) {
                const auto k = static_cast<std::size_t>(std::countr_zero(busy));
                r.inside[f][k] &= static_cast<Mask>(~r.inside[g][k]);
                r.garbage[f][k] &= static_cast<Mask>(~r.garbage[g][k]);
            }
        }
    }
    for (std::size_t f = 0; f <= kMaxFaults; ++f) {
        for (std::uint32_t busy = r.occupied[f]; busy != 0; busy &= busy - 1) {
            const auto k = static_cast<std::size_t>(std::countr_zero(busy));
            // Corrupted answers may stop anywhere: an earlier, longer one
            // allows whatever a later, shorter one does.
            if (Mask m = r.garbage[f][k]; m != 0 && std::popcount(m) > 1) {
                std::uint8_t longest = 0;
                for (; m != 0; m &= static_cast<Mask>(m - 1)) {
                    const int i = std::countr_zero(m);
                    if (requests_[i].length <= longest) {
                        r.garbage[f][k] &= static_cast<Mask>(~(1u << i));
                    } else {
                        longest = requests_[i].length;
                    }
                }
            }
            // Answers of the same shape: the earliest stands for the later
            // ones, except the latest request's own.
            if (Mask m = r.inside[f][k]; m != 0 && std::popcount(m) > 1) {
                std::array<std::uint16_t, kMaxOutstanding> shapes{};
                std::size_t seen = 0;
                for (; m != 0; m &= static_cast<Mask>(m - 1)) {
                    const auto i = static_cast<std::size_t>(std::countr_zero(m));
                    const auto shape = static_cast<std::uint16_t>(requests_[i].code << 8 | requests_[i].length);
                    const bool known = std::find(shapes.begin(), shapes.begin() + seen, shape) != shapes.begin() + seen;
                    if (known && i != latest) {
                        r.inside[f][k] &= static_cast<Mask>(~(1u << i));
                    } else if (!known) {
                        shapes[seen++] = shape;
                    }
                }
            }
            if ((r.inside[f][k] | r.garbage[f][k]) == 0) r.occupied[f] &= ~(1u << k);
        }
    }
    // Notifications likewise.
    for (std::size_t i = 0; i < r.notes_count; ++i) {
        for (std::size_t j = 0; j < r.notes_count; ++j) {
            const Routes::Note& a = r.notes[j];
            Routes::Note& b = r.notes[i];
            if (i != j && a.left == b.left && a.faults < b.faults && a.index <= b.index) b.index = kNone;
        }
    }
    std::size_t kept = 0;
    for (std::size_t i = 0; i < r.notes_count; ++i) {
        if (r.notes[i].index != kNone) r.notes[kept++] = r.notes[i];
    }
    r.notes_count = static_cast<std::uint8_t>(kept);
}

bool ReplyMatcher::Empty(const Routes& r) const noexcept {
    if (r.notes_count > 0 || r.ends_count > 0 || r.ends_overflow) return false;
    for (std::size_t f = 0; f <= kMaxFaults; ++f) {
        if (r.between[f] != kNone || r.occupied[f] != 0) return false;
    }
    return true;
}

void ReplyMatcher::Feed(const std::uint8_t* bytes, std::size_t n) noexcept {
    const std::size_t latest = count_ - 1;
    Routes* r = &routes_;
    Routes* next = &spare_;
    for (std::size_t b = 0; b < n; ++b) {
        if (r->notes_overflow) break;  // followed no further: Lost
        const std::uint8_t byte = bytes[b];
        recent_[position_ % recent_.size()] = byte;
        ++position_;
        Clear(*next);
        // Where an answer may begin with this byte: where the routes were
        // between answers, and after any answer cut short just before it.
        std::array<std::uint8_t, kMaxFaults + 1> from = r->between;
        for (std::size_t f = 0; f <= kMaxFaults; ++f) {
            for (std::uint32_t busy = r->occupied[f]; busy != 0; busy &= busy - 1) {
                const auto k = static_cast<std::size_t>(std::countr_zero(busy));
                // The k-th byte of an answer, then the next one; cut short
                // instead, the next answer begins (a spoilt answer, unless it
                // was counted as corrupted already).
                for (int corrupted = 0; corrupted < 2; ++corrupted) {
                    const Mask m = corrupted ? r->garbage[f][k] : r->inside[f][k];
                    if (m == 0) continue;
                    const std::size_t cut = corrupted ? f : f + 1;
                    if (cut <= kMaxFaults) {
                        from[cut] = std::min(from[cut], static_cast<std::uint8_t>(std::countr_zero(m) + 1));
                    }
                    for (Mask left = m; left != 0; left &= static_cast<Mask>(left - 1)) {
                        const auto i = static_cast<std::size_t>(std::countr_zero(left));
                        const Request& request = requests_[i];
                        if (k + 1 < request.length) {
                            Within(*next, corrupted != 0, f, k + 1, i);
                        } else if (!corrupted && i == latest && Believable(request)) {
                            Answered(*next, f, position_);
                        } else {
                            Between(*next, f, static_cast<std::uint8_t>(i + 1));
                        }
                    }
                }
            }
        }
        // Notifications in progress.
        for (std::size_t i = 0; i < r->notes_count; ++i) {
            const Routes::Note& note = r->notes[i];
            const std::uint16_t left = note.left == kNoteHeader   ? static_cast<std::uint16_t>(kNoteLength)
                                       : note.left == kNoteLength ? byte
                                                                  : static_cast<std::uint16_t>(note.left - 1);
            if (left == 0) {
                Between(*next, note.faults, note.index);
            } else {
                AddNote(*next, note.faults, left, note.index);
            }
        }
        // Answers, and notifications ahead of them, begin only where a
        // request is still unanswered: nothing may follow the latest answer
        // but the next request's burst.
        const bool corrupted = !IsProtocolCode(byte);
        for (std::size_t f = 0; f <= kMaxFaults; ++f) {
            if (from[f] == kNone || from[f] >= count_) continue;
            if (IsNotification(byte)) AddNote(*next, f, static_cast<std::uint16_t>(kNoteHeader), from[f]);
            for (std::size_t i = from[f]; i < count_; ++i) {
                if (corrupted) {
                    if (f < kMaxFaults) Within(*next, true, f + 1, 1, i);
                } else if (byte == requests_[i].code) {
                    Within(*next, false, f, 1, i);
                }
            }
        }
        Prune(*next);
        std::swap(r, next);
    }
    if (r != &routes_) routes_ = *r;
}

ReplyMatcher::Verdict ReplyMatcher::Judge() const noexcept {
    const Routes& r = routes_;
    if (r.notes_overflow || Empty(r)) return Verdict::Lost;
    if (count_ == 0) return Verdict::Pending;
    const std::size_t latest = count_ - 1;
    const auto earlier = static_cast<Mask>((1u << latest) - 1);
    bool others = r.notes_count > 0;
    bool may_come = r.notes_count > 0;  // a notification always comes ahead of an answer still to come
    for (std::size_t f = 0; f <= kMaxFaults; ++f) {
        if (r.between[f] != kNone) {
            others = true;
            may_come = may_come || r.between[f] <= latest;
        }
        for (std::uint32_t busy = r.occupied[f]; busy != 0; busy &= busy - 1) {
            const auto k = static_cast<std::size_t>(std::countr_zero(busy));
            others = true;
            // An answer on its way: the latest one's, or an earlier one with
            // the latest to follow (a corrupted latest answer never counts).
            may_come = may_come || r.inside[f][k] != 0 || (r.garbage[f][k] & earlier) != 0;
        }
    }
    if (r.ends_count > 0 || r.ends_overflow) {
        if (others || r.ends_overflow || r.ends_count > 1) return Verdict::Ambiguous;
        // Kept long enough to be read back (nothing may follow it, so only
        // a very late look could miss it).
        return position_ - r.ends[0] + requests_[latest].length <= recent_.size() ? Verdict::Answered
                                                                                 : Verdict::Failed;
    }
    return may_come ? Verdict::Pending : Verdict::Failed;
}

void ReplyMatcher::CopyAnswer(std::uint8_t* out) const noexcept {
    if (count_ == 0 || routes_.ends_count == 0) return;
    const std::size_t length = requests_[count_ - 1].length;
    const std::uint64_t end = routes_.ends[0];
    for (std::size_t i = 0; i < length; ++i) out[i] = recent_[(end - length + i) % recent_.size()];
}

bool ReplyMatcher::Settled() const noexcept {
    const Routes& r = routes_;
    if (r.notes_overflow || Empty(r) || r.notes_count > 0) return false;
    for (std::size_t f = 0; f <= kMaxFaults; ++f) {
        if (r.occupied[f] != 0) return false;
        if (r.between[f] != kNone && r.between[f] != count_) return false;
    }
    return true;
}

void ReplyMatcher::Forget() noexcept {
    if (Settled()) Reset();
}

std::size_t ReplyMatcher::NeededForAnswer() const noexcept {
    if (count_ == 0) return 1;
    if (routes_.ends_count > 0 || routes_.ends_overflow) return 1;  // more bytes can only settle a doubt
    const std::size_t latest = count_ - 1;
    const std::size_t whole = requests_[latest].length;
    std::size_t least = whole;
    for (std::size_t f = 0; f <= kMaxFaults; ++f) {
        for (std::uint32_t busy = routes_.occupied[f]; busy != 0; busy &= busy - 1) {
            const auto k = static_cast<std::size_t>(std::countr_zero(busy));
            if ((routes_.inside[f][k] >> latest) & 1u) least = std::min(least, whole - k);
        }
    }
    return std::max<std::size_t>(least, 1);
}

}  // namespace Korvo::Haptics
