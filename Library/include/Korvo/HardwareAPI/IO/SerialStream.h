#pragma once
// SerialStream: the byte stream through which a device talks to its serial
// port. It is a std::iostream over a serialib, plus the three operations the
// device layer uses: Close, BytesAvailable and Write.
//
// Failure is sticky: once the bad, fail or end-of-file flag is set nothing in
// the library clears it, every later read fails at once and every later write
// sends nothing. A caller recovers by opening a new stream.
//
// A stream that may not use its port fails at its first use, with errno
// EBUSY: in the child of a fork, a stream its parent opened (the port is the
// parent's; see Inherited), and any stream on a port that a loop of this
// process drives through another stream (see Drive).
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
    // A port that a loop of this process drives is refused (EBUSY), and line
    // 39 names the loop: "unable to open port '...' (driven by a servo loop
    // of this process)".
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

    // Descriptor of the open port, -1 when none (also in the child of a
    // fork, for a port the parent opened).
    int Descriptor() const noexcept { return port_buffer_ ? port_buffer_->Descriptor() : -1; }

    // Whether this stream was opened by the parent of this process, before
    // a fork: its port is the parent's, and every operation fails (EBUSY)
    // without touching it. Closing or destroying the stream closes the
    // child's descriptor only.
    bool Inherited() const noexcept;

    // -- one driver per port --------------------------------------------------------
    // A loop that talks to its port on threads of its own (a servo loop, a
    // handle monitor) drives the port through this stream while it runs:
    // meanwhile no other stream of the process may open the port or use it
    // (EBUSY, see above), and no device on the port may run an operation
    // (Device throws PortDriven), this stream's own devices included; the
    // loop talks through the stream itself, from any of its threads. `what`
    // names the loop in those refusals ("a servo loop") and must outlive the
    // driving (a string literal). Returns an empty string when this stream
    // drives its port now; otherwise why it does not, as the rest of a
    // sentence beginning "the port": "is driven by a servo loop of this
    // process", "is in use on another thread" (a device operation is
    // running), "is not open", or that it is the parent's (Inherited).
    std::string Drive(const char* what);
    // Ends Drive's hold; nothing when this stream does not drive its port.
    void StopDriving() noexcept;
    // What drives this stream's port, through this stream or another; null
    // when nothing does.
    const char* Driver() const noexcept;

    // For devices, around each operation: null when it may go on, else what
    // drives the port (the operation must then not touch the port, and not
    // call LeaveOperation). Drive refuses while operations run.
    const char* EnterOperation() noexcept;
    void LeaveOperation() noexcept;

private:
    static const char* CheckedName(const std::string& port);
    // Fails the stream (EBUSY) when its port may not be used from here
    // (inherited, or driven through another stream), and sets errno to what
    // failed it; false when it may.
    bool Refuse();

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
