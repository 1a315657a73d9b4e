#pragma once
// SerialStream: the byte stream through which a device talks to its serial
// port. It is a std::iostream over a serialib, plus the three operations the
// device layer uses: Close, BytesAvailable and Write.
//
// Failure is sticky: once the bad, fail or end-of-file flag is set nothing in
// the library clears it, every later read fails at once and every later write
// sends nothing. A caller recovers by opening a new stream.
//
// Thread safety: none. A stream, and the device using it, belong to one thread
// at a time.

#include <cstddef>
#include <iostream>
#include <memory>
#include <string>

#include "Korvo/HardwareAPI/IO/Deadline.h"
#include "Korvo/HardwareAPI/IO/Wait.h"
#include "Korvo/HardwareAPI/IO/serialib.h"

namespace Korvo::HardwareAPI::IO {

class SerialStream : public std::basic_iostream<char> {
public:
    // Stores a copy of the port name; with open_now it opens the port at once
    // (logging lines 39 and 18 when it cannot). Construction never throws
    // because of the port: a stream whose port failed to open exists and
    // fails its reads and writes. Without open_now only OpenPort and the
    // destructor may be used until OpenPort has run.
    explicit SerialStream(const char* port, bool open_now = true);
    // Throws std::invalid_argument when `port` holds a NUL byte: cut there,
    // it would name another port.
    explicit SerialStream(const std::string& port, bool open_now = true) : SerialStream(CheckedName(port), open_now) {}
    ~SerialStream() override;

    SerialStream(const SerialStream&) = delete;
    SerialStream& operator=(const SerialStream&) = delete;

    // Attaches a new serialib and opens the port: 1 when open and configured
    // (DTR raised), -2 when the node cannot be opened (line 39 logged; the
    // buffer stays attached without a descriptor). Call once per stream.
    char OpenPort();

    // Closes the descriptor; later reads find end of file, writes fail.
    virtual void Close();

    // Bytes waiting in the port (FIONREAD), 0 when closed or on error. A byte
    // the buffer holds as its cached byte is not counted.
    virtual int BytesAvailable();

    // Bytes known to be waiting without asking the port: what BytesAvailable
    // last counted, less what has been read through this stream since. Bytes
    // only leave the port by being read, so at least that many are there,
    // unless someone else reads the same port (which no caller should do).
    std::size_t KnownAvailable() const noexcept;

    // Waits until at least n bytes are waiting in the port, the deadline
    // passes or the port hangs up: it looks for kSpinBeforeSleep, then
    // sleeps in poll() (see Wait.h, also for what ends a wait early). Returns
    // Ready at once when the stream has failed, since reading then fails at
    // once; a port that never opened waits out the deadline.
    // `spin` is how long it looks before it sleeps.
    WaitResult AwaitBytes(std::size_t n, const Deadline& deadline, bool interruptible = true,
                          std::chrono::nanoseconds spin = kSpinBeforeSleep);

    // Marks the stream failed (bad) because its port hung up, with errno
    // EIO for the error line that reports it: nothing more will come.
    void FailHungUp();

    static constexpr float kDefaultWriteLimit = 5.0f;

    // Writes n bytes whole: when the port's output queue is full (a device
    // that stopped reading), waits for room, up to the write limit, instead
    // of leaving part of a request behind. When it cannot (limit passed,
    // port gone), what was written of the request is discarded before the
    // device reads it, the stream fails (bad) and line 53 is logged with the
    // errno of the failure (EAGAIN when the queue stayed full). A failed
    // stream writes nothing, and logs line 53 again (unless at end of file)
    // with the errno that failed it. The wait may be ended early as any
    // wait (Wait.h); the fragment is then discarded as well.
    virtual void Write(const char* data, std::size_t n);

    // How long Write waits for room in the output queue (float seconds, as
    // every time limit; default 5). Devices set it to their read_timeout.
    void SetWriteLimit(float seconds) noexcept { write_limit_ = seconds; }

    // Write's core, for callers that report failures themselves (a servo
    // loop must not write to standard error): writes n bytes whole by the
    // deadline, or discards what was written of them and returns false with
    // errno set. Logs nothing and leaves the stream's state alone.
    bool WriteWhole(const char* data, std::size_t n, const Deadline& deadline, bool interruptible = true);

    const std::string& PortName() const noexcept { return port_name_; }

    // Descriptor of the open port, -1 when none.
    int Descriptor() const noexcept { return port_buffer_ ? port_buffer_->Descriptor() : -1; }

private:
    static const char* CheckedName(const std::string& port);

    // A copy: callers (the Python binding among them) hand over temporaries.
    std::string port_name_;
    std::unique_ptr<serialib> port_buffer_;
    // The last count of BytesAvailable, and the buffer's read total then.
    std::size_t counted_ = 0;
    unsigned long long read_when_counted_ = 0;
    float write_limit_ = kDefaultWriteLimit;
    // What failed the stream, when this class saw it: later error lines name it.
    int failure_errno_ = 0;

    void Fail(int err);
    // Sets errno to what failed the stream, for the error line that follows.
    void RecallFailure() const noexcept;
};

}  // namespace Korvo::HardwareAPI::IO
