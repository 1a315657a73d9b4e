#pragma once
// Which bytes on the arm's line answer the latest request: a pure function of
// the requests sent and the bytes read since the line was last known to be in
// step, with no guessing.
//
// The rules the arm's line follows. The arm answers its requests in order.
// Each answer is a code byte and a fixed number of bytes after it. A flaky arm
// or cable may leave an answer out, cut it short, or corrupt its code byte
// into one that is no code of the protocol (a corrupted answer may be cut
// short too). Notifications (0xBA or 0xBB, one byte, a length byte and that
// many bytes) come in the burst of an answer, ahead of it: never after the
// answer to the last request sent.
//
// Every way the bytes read so far can be split into answers of the
// outstanding requests under those rules is a route; the matcher follows all
// of them at once, one byte at a time. It keeps them as sets (which requests'
// answers are this many bytes in, where the next answer may begin), so the
// work per byte is bounded whatever the line does.
//
// The latest request counts as answered only when every route agrees: its
// whole answer, with its own code and believable values, ended at the same
// byte in all of them. A late answer to an earlier request can never pass for
// it then: a route in which those bytes are that late answer exists, and
// while it does the verdict is Ambiguous (more bytes may settle it;
// otherwise the tick fails and the next request is judged with all of this
// still in view). When no route is left (bytes the rules cannot explain) the
// verdict is Lost, and only a quiet line brings certainty back (see ArmLink).
//
// Used by the servo thread only: nothing here allocates, locks or waits.

#include <array>
#include <cstddef>
#include <cstdint>

namespace Korvo::Haptics {

class ReplyMatcher {
public:
    static constexpr std::size_t kMaxOutstanding = 32;
    static constexpr std::size_t kMaxAnswer = 32;
    // Answers cut short or corrupted that a route may assume among those
    // outstanding at once. A flaky line spoils an answer now and then; a
    // route that needs more spoilt answers than this is not followed, and
    // where the line really was that bad, no route is left (Lost) or the
    // doubt lasts until a quiet line resets it.
    static constexpr std::size_t kMaxFaults = 1;

    enum class Verdict : std::uint8_t {
        Answered,    // every route: the latest request's whole, believable answer, ending at the same byte
        Failed,      // on no route can its answer still come (left out, cut short, corrupted, unbelievable)
        Pending,     // no route has it yet, but it may still come
        Ambiguous,   // some routes have it and others do not
        Lost,        // no route explains the bytes read
    };

    // What makes a whole answer believable (its payload, code byte excluded).
    using Check = bool (*)(const std::uint8_t* payload, std::size_t size);

    ReplyMatcher() noexcept { Reset(); }

    // The line is in step: nothing is outstanding.
    void Reset() noexcept;

    // A request went out; its answer is `code` and `length` bytes in all
    // (code included, at least 2). False when kMaxOutstanding are
    // outstanding already: nothing is recorded, and the caller must bring
    // the line back to a known state another way.
    bool Sent(std::uint8_t code, std::uint8_t length, Check believable = nullptr) noexcept;

    // Bytes read from the line, in order.
    void Feed(const std::uint8_t* bytes, std::size_t n) noexcept;

    // About the latest request sent.
    Verdict Judge() const noexcept;

    // Copies the latest request's answer (code first, as many bytes as the
    // request said) to `out`, when Judge() is Answered.
    void CopyAnswer(std::uint8_t* out) const noexcept;

    // Whether every route has every request behind it: the line is idle.
    bool Settled() const noexcept;
    // Once Settled(): the requests are done with and forgotten.
    void Forget() noexcept;

    // At least how many more bytes it takes for the latest request to count
    // as answered on some route (1 when more bytes can only settle a doubt).
    std::size_t NeededForAnswer() const noexcept;

    // Requests whose answers may still be on their way.
    std::size_t Outstanding() const noexcept { return count_; }

    // Whether `byte` is a code the arm begins an answer or a notification
    // with: a corrupted code byte is never one of them.
    static bool IsProtocolCode(std::uint8_t byte) noexcept;

private:
    using Mask = std::uint32_t;  // one bit per outstanding request
    static_assert(kMaxOutstanding <= 32);
    static constexpr std::uint8_t kNone = 0xFF;
    // Notification progress: the two bytes after its code, then its body.
    static constexpr std::size_t kNoteHeader = 256;
    static constexpr std::size_t kNoteLength = 257;
    static constexpr std::size_t kMaxAnsweredEnds = 4;
    static constexpr std::size_t kMaxNotes = 16;

    struct Request {
        std::uint8_t code;
        std::uint8_t length;
        Check believable;
    };

    // The routes, as sets, by how many spoilt answers they assume (f).
    struct Routes {
        // inside[f][k]: requests whose answer (with its own code) has k bytes read.
        std::array<std::array<Mask, kMaxAnswer>, kMaxFaults + 1> inside{};
        // garbage[f][k]: requests whose corrupted answer has k bytes read.
        std::array<std::array<Mask, kMaxAnswer>, kMaxFaults + 1> garbage{};
        // Where the next answer may begin on some route that has not had the
        // latest request's whole answer: this request or any later one
        // (earlier ones left out); kNone when nowhere.
        std::array<std::uint8_t, kMaxFaults + 1> between{};
        // Notifications in progress: `left` bytes to go (kNoteHeader,
        // kNoteLength: its first two bytes are due), then the answer of
        // request `index` or a later one.
        struct Note {
            std::uint8_t faults;
            std::uint8_t index;
            std::uint16_t left;
        };
        std::array<Note, kMaxNotes> notes{};
        std::uint8_t notes_count = 0;
        bool notes_overflow = false;  // more at once than fit: followed as Lost
        // occupied[f]: bit k set when inside[f][k] or garbage[f][k] is.
        std::array<std::uint32_t, kMaxFaults + 1> occupied{};
        // Routes on which the latest request's whole answer came: where it
        // ended (several when routes disagree; `ends_overflow` when more
        // than fit, which only ever means disagreement).
        std::array<std::uint64_t, kMaxAnsweredEnds> ends{};
        std::array<std::uint8_t, kMaxAnsweredEnds> ends_faults{};
        std::uint8_t ends_count = 0;
        bool ends_overflow = false;
    };

    static void Clear(Routes& routes) noexcept;
    static void Between(Routes& into, std::size_t faults, std::uint8_t index) noexcept;
    static void Answered(Routes& into, std::size_t faults, std::uint64_t end) noexcept;
    // Drops routes another route covers: a later request's answer read as
    // far as an earlier one's of the same shape (the same futures, except
    // for the latest request's, which the verdict looks for).
    void Prune(Routes& routes) const noexcept;
    bool Empty(const Routes& routes) const noexcept;
    static void AddNote(Routes& into, std::size_t faults, std::uint16_t left, std::uint8_t index) noexcept;
    static void Within(Routes& into, bool corrupted, std::size_t faults, std::size_t k, std::size_t index) noexcept;
    bool Believable(const Request& request) const noexcept;

    std::array<Request, kMaxOutstanding> requests_{};
    std::size_t count_ = 0;
    Routes routes_;
    Routes spare_;  // the next byte's routes, built beside routes_
    std::uint64_t position_ = 0;  // bytes fed so far
    // The newest bytes read, for the answer's bytes once it is settled.
    std::array<std::uint8_t, 512> recent_{};
};

}  // namespace Korvo::Haptics
