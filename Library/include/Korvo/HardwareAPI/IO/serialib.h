#pragma once
// serialib: one serial device node, configured for raw 115200-baud 8N1, seen
// as an unbuffered std::streambuf.
//
// Blocking behaviour: every read through this class is bounded by a fixed
// 1000 ms limit (TimedRead). The device layer asks the port how many bytes are
// waiting before it reads, so in normal operation a read completes at once.
//
// Thread safety: none. One serialib belongs to one SerialStream, used by one
// thread at a time.

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <streambuf>
#include <string>

namespace Korvo::HardwareAPI::IO {

namespace PortOwnership {
struct Port;
}

class serialib : public std::basic_streambuf<char> {
public:
    // Limit of one TimedRead.
    static constexpr unsigned kReadLimitMs = 1000;
    // The most bytes SetReadableThreshold can ask for (VMIN is a byte).
    static constexpr std::size_t kMaxReadableThreshold = 255;

    serialib() = default;
    ~serialib() override;

    serialib(const serialib&) = delete;
    serialib& operator=(const serialib&) = delete;

    // Opens `path` non-blocking, takes it for this process (an exclusive
    // flock, shared by the streams of this process: a port another program
    // holds is refused with errno EBUSY and left untouched), and configures
    // it: 115200 baud both ways, 8 data bits, no parity, one stop bit, no flow
    // control, raw, reads that return at once (VMIN = VTIME = 0); then
    // discards input that was already waiting: the port starts empty.
    // Returns 1 on success, -2 when the node cannot be opened or is held
    // elsewhere (errno tells why; RefusedBy names a loop of this process that
    // drives it). A node that opens but is not a terminal still counts as
    // opened.
    char Open(const char* path);

    // The loop of this process ("a servo loop") that drives the port the
    // last Open was refused, or null.
    const char* RefusedBy() const noexcept { return refused_by_; }

    // Raises the DTR modem line; other lines are left as they are.
    void SetDTR();

    // Closes the descriptor if one is open (and gives up this stream's hold
    // on the port). The cached byte survives. In the child of a fork it
    // closes only the child's descriptor, and touches no port.
    void Close();

    // One write() of up to n bytes: the count written, or -1 with errno
    // (EAGAIN when the port's output queue is full).
    ssize_t WriteSome(const char* source, std::size_t n);

    // Drops output written to the port but not yet sent (the tail of a
    // request that could not be written whole), so that the device never
    // reads a fragment.
    void DiscardUnsentOutput();

    // Reads up to n bytes into destination within 1000 ms, sleeping in
    // poll() while none are waiting. Returns the count read (0..n; short on
    // timeout) or -2 on a read error or a hang-up (errno EIO; bytes read
    // earlier in the call are then not reported). Always makes at least one
    // read attempt. Waits only when bytes counted as waiting were taken by
    // someone else; it is not interrupted by signals.
    int TimedRead(unsigned char* destination, unsigned n);

    // Makes poll() report the port readable only once `count` bytes wait
    // (the terminal's VMIN, 1 to 255; reads do not block whatever it is, the
    // descriptor being non-blocking). A wait for the rest of a message whose
    // first bytes are already there can then sleep instead of spinning. The
    // setting is changed only when it differs from the last one.
    void SetReadableThreshold(std::size_t count);

    // Descriptor of the open port, -1 while closed, and in the child of a
    // fork when the port was opened by its parent (Inherited).
    int Descriptor() const noexcept { return Inherited() ? -1 : fd_; }

    // Whether the port was opened in the parent of this process, before a
    // fork: it is the parent's, and every operation here fails (EBUSY).
    bool Inherited() const noexcept;

    // False, with errno EBUSY, when this buffer may not use its port: it is
    // inherited, or a loop of this process drives the port through another
    // stream (see SerialStream::Drive). Every operation here that touches
    // the port asks first; a closed port is not refused (its operations
    // fail as they always do).
    bool MayUse() const noexcept;

    // See SerialStream::Drive and the device operations.
    std::string Drive(const char* what);
    void StopDriving() noexcept;
    const char* Driver() const noexcept;
    const char* EnterOperation() noexcept;
    void LeaveOperation() noexcept;

    // Bytes taken from the descriptor so far (by any read).
    unsigned long long BytesRead() const noexcept { return bytes_read_; }

protected:
    std::basic_streambuf<char>* setbuf(char_type*, std::streamsize) override;
    // Waits up to 1000 ms for one byte (this is not a non-blocking query):
    // 1 when a byte is cached, 0 when none came, -1 when the descriptor
    // flags cannot be changed.
    std::streamsize showmanyc() override;
    std::streamsize xsgetn(char_type* destination, std::streamsize n) override;
    int_type underflow() override;
    int_type uflow() override;
    int_type pbackfail(int_type c) override;
    std::streamsize xsputn(const char_type* source, std::streamsize n) override;
    int_type overflow(int_type c) override;

private:
    // One byte read ahead (underflow, showmanyc) or put back (pbackfail).
    char cached_byte_ = 0;
    bool has_cached_byte_ = false;
    int fd_ = -1;
    // The port as this process holds it, and the fork generation it was
    // opened in (see PortOwnership).
    PortOwnership::Port* port_ = nullptr;
    std::uint64_t generation_ = 0;
    const char* refused_by_ = nullptr;
    unsigned long long bytes_read_ = 0;
    // VMIN as last set on the port (Open sets 0).
    unsigned char readable_threshold_ = 0;
};

}  // namespace Korvo::HardwareAPI::IO
