#pragma once
// Device: the base of Arvena and Handle. It binds a device to its
// SerialStream and provides the framing every exchange uses.
//
// Wire framing, both directions: a one-byte header code that fixes the
// payload length, then the payload (floats IEEE-754 single precision,
// integers little-endian). Devices may send unsolicited notifications before
// any reply: code 0xBA or 0xBB, one uninterpreted byte, a length byte L and L
// bytes; ReadHeaderCode skips them.
//
// Blocking: ReadHeaderCode and ReadBytes wait up to `read_timeout` seconds
// (zero or less, NaN or infinite: without limit), read_raw up to its own
// limit. Each wait looks at the port for a few tens of microseconds and then
// sleeps until the bytes are there (see IO/Wait.h): a reply is taken as soon
// as it arrives, and a silent device costs no processor time. The interrupt
// check of Wait.h may end any wait early by throwing (from Python: Ctrl+C
// raises KeyboardInterrupt); what was read is then consumed and nothing more
// is written.
//
// Failures are return values (0 from the framing reads) plus an error line on
// standard error; only send_raw throws. After a stream failure (a failed read
// or write, a port that hung up) the stream stays failed (see SerialStream),
// and every later wait ends at once with the read that fails.
//
// Thread safety: none. A device and its stream belong to one thread at a time.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

#include "Korvo/HardwareAPI/IO/Deadline.h"
#include "Korvo/HardwareAPI/IO/SerialStream.h"

namespace Korvo::HardwareAPI::Devices {

// Thrown by every operation of a device that is lent (see Device::Lend);
// the message names the borrower ("a servo loop", "a handle monitor").
class DeviceLent : public std::runtime_error {
public:
    explicit DeviceLent(const char* borrower)
        : std::runtime_error(std::string("the device is lent to ") + borrower +
                             ": stop it before using the device directly") {}
};

// Thrown by every operation of a device whose port a loop of this process
// drives (see SerialStream::Drive), whichever stream the device talks
// through; the message names the loop.
class PortDriven : public std::runtime_error {
public:
    explicit PortDriven(const char* driver)
        : std::runtime_error(std::string("the device's port is driven by ") + driver +
                             " of this process: stop it before using the device directly") {}
};

class Device {
public:
    static constexpr std::size_t kBufferSize = 1024;
    static constexpr float kDefaultReadTimeout = 5.0f;
    static constexpr std::uint8_t kNotificationA = 0xBA;
    static constexpr std::uint8_t kNotificationB = 0xBB;

    // Borrows `stream` (the caller keeps it alive while the device is used).
    explicit Device(IO::SerialStream* stream, float read_timeout = kDefaultReadTimeout);
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    // -- framing ---------------------------------------------------------------
    // Writes the first n bytes of output_buffer (n is capped at its size).
    void WriteBytes(int n);
    // Writes `code` followed by `count` floats (1 + 4 * count bytes).
    void SendFloatCommand(std::uint8_t code, const float* values, int count);
    // Header code of the next message that is not a notification; 0 when no
    // byte came within read_timeout (line 78), the stream failed (line 94) or
    // a notification was cut short (lines 112 and 128). Notifications are
    // skipped for at most read_timeout from the first one: every wait after
    // it also ends then (line 78, 112 or 128, by where it was).
    std::uint8_t ReadHeaderCode();
    // Waits for n bytes and reads them into input_buffer: n on success, 0 when
    // they did not all arrive in time (line 153, nothing is read), the stream
    // failed (line 163) or n exceeds the buffer (nothing is read).
    int ReadBytes(std::size_t n);

    // -- raw stream access --------------------------------------------------------
    // Reads up to n bytes into destination. Waits until n are there or
    // `timeout` seconds have passed (zero or less: until n are there), then
    // reads what is waiting, at most n. Never logs; 0 on stream failure.
    std::size_t read_raw(char* destination, std::size_t n, float timeout);
    // Discards input that is already waiting (at most 32 KiB per call).
    void flush_input();
    // Writes the bytes unchanged, without header code. Throws
    // std::runtime_error("send_raw: underlying stream write failed") when there
    // is no stream, nothing to send, or the stream is failed afterwards.
    void send_raw(const char* bytes, std::size_t n);
    // Stored unchanged; takes effect from the next wait on.
    void set_read_timeout(float seconds) { read_timeout = seconds; }

    // -- lending ---------------------------------------------------------------------
    // A device may be lent to one borrower at a time (a servo loop, a handle
    // monitor: something that talks to the port on a thread of its own).
    // While it is lent, every framing and raw operation above, from anyone,
    // throws DeviceLent before it touches the port: a second user would
    // corrupt the borrower's exchanges. `what` names the borrower in that
    // error ("a servo loop") and must outlive the loan (a string literal).
    // Lend is false when the device is lent already, or when an operation is
    // running at that moment (on another thread); Return ends the loan.
    // A loop also drives the port (SerialStream::Drive): then every device
    // on it refuses its operations (PortDriven), not only the lent one.
    bool Lend(const void* borrower, const char* what) noexcept;
    void Return(const void* borrower) noexcept;

    float read_timeout;
    IO::SerialStream* const stream;
    // Header code in byte 0, payload from byte 1.
    const std::unique_ptr<std::uint8_t[]> output_buffer;
    // The header code lands in byte 0 while it is read, then each payload
    // from byte 0.
    const std::unique_ptr<std::uint8_t[]> input_buffer;

protected:
    // ReadBytes without the wait, for bytes the caller has already counted in
    // the port: n on success, 0 when the stream failed (line 163 unless at
    // end of file). n must not exceed the buffer. The caller holds a Use.
    int ReadCountedBytes(std::size_t n);

    // How a framing read waits and reports. The public reads log their
    // failures and wait interruptibly, each wait up to read_timeout. A caller
    // that reports in words of its own (a probe that must keep off standard
    // error) reads quietly, every wait also ending by `by`.
    struct ReadMode {
        bool report = true;
        bool interruptible = true;
        IO::Deadline by = IO::Deadline::Never();
    };
    // Why ReadHeaderCodeIn found no header code.
    enum class ReadFailure { None, NoCode, NotificationCutShort };
    // ReadHeaderCode's work, in `mode`: the code (which may be 0) when
    // `failure` is None. The caller holds a Use.
    std::uint8_t ReadHeaderCodeIn(const ReadMode& mode, ReadFailure& failure);
    // ReadBytes's work, in `mode`. The caller holds a Use.
    int ReadBytesIn(std::size_t n, const ReadMode& mode);

    // Held for the duration of each operation: refuses it while the device
    // is lent (DeviceLent) or its port is driven (PortDriven), and keeps a
    // loan, or a driver, from starting meanwhile.
    class Use {
    public:
        explicit Use(const Device& device);
        ~Use();
        Use(const Use&) = delete;
        Use& operator=(const Use&) = delete;

    private:
        const Device& device_;
    };

private:
    mutable std::atomic<int> in_use_{0};
    // Set first by Lend and cleared last by Return: what an operation looks
    // at to know whether the device is lent, and to whom.
    std::atomic<const char*> lent_to_{nullptr};
    std::atomic<const void*> borrower_{nullptr};

    // Waits until at least n bytes are waiting (see SerialStream::AwaitBytes);
    // false when the deadline passed first.
    bool AwaitBytes(std::size_t n, const IO::Deadline& deadline, bool interruptible);
    // Reads n waiting bytes into destination; false if the stream failed.
    bool ReadWaiting(void* destination, std::size_t n);
};

}  // namespace Korvo::HardwareAPI::Devices
