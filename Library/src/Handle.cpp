#include "Korvo/HardwareAPI/Devices/Handle.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "Korvo/HardwareAPI/Devices/StylarFrame.h"

namespace Korvo::HardwareAPI::Devices {

// Floats travel in the host's byte order and are copied byte for byte.
static_assert(std::endian::native == std::endian::little, "the handle's wire format is little-endian");

namespace {

std::uint16_t U16(const std::uint8_t* at) { return static_cast<std::uint16_t>(at[0] | (at[1] << 8)); }

StylarStatus Failure(std::uint8_t code) {
    StylarStatus status;
    status.error_flag = code;
    return status;
}

// The initial wait of GetStylarStatus is counted in whole seconds of the
// monotonic clock (so it lasts one to two), on a clock that a time adjustment
// cannot move: it ends when the whole seconds have advanced by two.
IO::Deadline WholeSecondsLater(long long seconds) {
    using namespace std::chrono;
    const auto now = duration_cast<std::chrono::seconds>(steady_clock::now().time_since_epoch());
    return IO::Deadline::At(steady_clock::time_point(now + std::chrono::seconds(seconds)) - nanoseconds(1));
}

}  // namespace

Handle::Handle(IO::SerialStream* serial_stream, float timeout) : Device(serial_stream, timeout) {}

// -- commands -----------------------------------------------------------------------

void Handle::SendDeviceWakeup() {
    output_buffer[0] = kWakeup;
    WriteBytes(1);
}

void Handle::RequestStatus() {
    output_buffer[0] = kStatusRequest;
    WriteBytes(1);
}

void Handle::SendHandleState(std::uint16_t device_id, std::uint8_t data_length,
                             std::span<const std::uint8_t> user_data) {
    if (user_data.size() < data_length) {
        throw std::invalid_argument("SendHandleState: data_length " + std::to_string(data_length) +
                                    " exceeds the " + std::to_string(user_data.size()) + " user data bytes given");
    }
    output_buffer[0] = kHandleState;
    output_buffer[1] = static_cast<std::uint8_t>(device_id & 0xFF);
    output_buffer[2] = static_cast<std::uint8_t>(device_id >> 8);
    output_buffer[3] = data_length;
    std::copy_n(user_data.begin(), data_length, output_buffer.get() + 4);
    WriteBytes(4 + data_length);
}

// -- receive and dispatch ---------------------------------------------------------------

namespace {

// Set while Receive reads a message and hands it to the callbacks, so that a
// callback calling back into the handle's receiving operations is refused
// instead of reading (and dispatching) the next message in the middle of the
// current one.
class Dispatching {
public:
    explicit Dispatching(bool& flag) : flag_(flag) { flag_ = true; }
    ~Dispatching() { flag_ = false; }
    Dispatching(const Dispatching&) = delete;
    Dispatching& operator=(const Dispatching&) = delete;

private:
    bool& flag_;
};

}  // namespace

void Handle::RefuseReentry(const char* operation) const {
    if (dispatching_) {
        throw std::runtime_error(std::string(operation) +
                                 " called from inside one of this handle's own callbacks; read the next message "
                                 "after the callback has returned");
    }
}

int Handle::Receive() {
    RefuseReentry("Handle.Receive");
    const Dispatching dispatching(dispatching_);
    switch (ReadHeaderCode()) {
        case kStatusMessage:
            return ReceiveStatusMessage();
        case kErrorResponse:
            return ReceiveErrorResponse();
        case kHandleInfo:
            return ReceiveHandleInfo();
        default:
            // Unknown (or no) message: its payload length is unknown, so
            // nothing more is read.
            return -1;
    }
}

// The values handed on are whatever input_buffer holds after each read; the
// counts tell the caller whether the payload really came.

HandleInfo HandleInfo::Decode(const std::uint8_t* payload) {
    HandleInfo info;
    info.tool_data_remaining = payload[0];
    info.device_id = U16(payload + 1);
    info.device_model_number = payload[3];
    info.hardware_version = payload[4];
    info.firmware_version = payload[5];
    return info;
}

int Handle::ReceiveHandleInfo() {
    const int count = ReadBytes(kHandleInfoPayload);
    const HandleInfo info = HandleInfo::Decode(input_buffer.get());
    OnReceiveHandleInfo(info.tool_data_remaining, info.device_id, info.device_model_number, info.hardware_version,
                        info.firmware_version);
    OnReceiveHandleInfoRecord(info);
    return count;
}

int Handle::ReceiveStatusMessage() {
    const int first = ReadBytes(kStatusPayload);
    const std::uint8_t* payload = input_buffer.get();
    HandleStatusMessage status;
    status.device_id = U16(payload);
    status.error_flag = payload[2];
    status.hall_effect_sensor_level = payload[3];
    std::memcpy(status.quaternion.data(), payload + 4, sizeof status.quaternion);
    status.user_data_length = payload[20];
    // The user data overwrites the start of input_buffer: everything above
    // has been copied out first.
    const int second = ReadBytes(status.user_data_length);
    std::copy_n(input_buffer.get(), status.user_data_length, status.user_data.begin());
    OnReceiveHandleStatusMessage(status.device_id, status.quaternion.data(), status.error_flag,
                                 status.hall_effect_sensor_level, status.user_data_length, status.user_data.data());
    OnReceiveHandleStatusRecord(status);
    return first + second;
}

int Handle::ReceiveErrorResponse() {
    const int count = ReadBytes(kErrorPayload);
    HandleErrorResponse error;
    error.device_id = U16(input_buffer.get());
    error.error_code = input_buffer[2];
    OnReceiveHandleErrorResponse(error.device_id, error.error_code);
    OnReceiveHandleErrorRecord(error);
    return count;
}

// -- status frame ---------------------------------------------------------------------------

StylarStatus Handle::GetStylarStatus() {
    using StylarFrame::kMinimumBody;
    const auto available = [this] { return stream == nullptr ? 0 : stream->BytesAvailable(); };
    // A frame is only attempted while more bytes wait than its smallest body.
    const auto enough = [&] { return available() > static_cast<int>(kMinimumBody); };

    RefuseReentry("Handle.GetStylarStatus");
    const Use use(*this);
    // A failed stream (or a port that hung up) will never deliver a frame.
    if (stream == nullptr || !stream->good()) return Failure(StylarStatus::kHeaderFailed);
    switch (stream->AwaitBytes(kMinimumBody + 1, WholeSecondsLater(2))) {
        case IO::WaitResult::Ready:
            break;
        case IO::WaitResult::TimedOut:
            return Failure(StylarStatus::kNothingArrived);
        case IO::WaitResult::HungUp:
            stream->FailHungUp();
            return Failure(StylarStatus::kHeaderFailed);
    }

    std::vector<std::uint8_t> stuffed;
    stuffed.reserve(StylarFrame::kMaximumStuffed);
    for (;;) {
        if (!enough()) return Failure(StylarStatus::kNoFrame);

        // Walk forward to the next frame start; each step may skip
        // notifications and wait for a byte.
        std::uint8_t code = ReadHeaderCode();
        for (int further = 0; code != StylarFrame::kStart; ++further) {
            if (code == 0) return Failure(StylarStatus::kHeaderFailed);
            if (further == 100) return Failure(StylarStatus::kNoFrame);
            code = ReadHeaderCode();
        }

        // Only what is already there: a frame still in transit is cut short
        // and then fails its checks. One byte per read, so that nothing of
        // the next frame is taken; the port is asked again only when the
        // bytes it last counted are used up.
        stuffed.clear();
        while (stuffed.size() < StylarFrame::kMaximumStuffed && (stream->KnownAvailable() > 0 || available() > 0)) {
            if (ReadCountedBytes(1) != 1) break;  // a failed stream; the next header read reports it
            stuffed.push_back(input_buffer[0]);
            if (stuffed.back() == StylarFrame::kEnd) break;
        }
        if (stuffed.size() == StylarFrame::kMaximumStuffed && stuffed.back() != StylarFrame::kEnd) continue;

        if (const auto status = StylarFrame::Decode(stuffed)) return *status;
    }
}

// -- default callbacks: nothing to do ---------------------------------------------------------

void Handle::OnReceiveHandleInfoRecord(const HandleInfo&) {}
void Handle::OnReceiveHandleInfo(std::uint8_t, std::uint16_t, std::uint8_t, std::uint8_t, std::uint8_t) {}
void Handle::OnReceiveHandleStatusRecord(const HandleStatusMessage&) {}
void Handle::OnReceiveHandleStatusMessage(std::uint16_t, const float*, std::uint8_t, std::uint8_t, std::uint8_t,
                                          const std::uint8_t*) {}
void Handle::OnReceiveHandleErrorRecord(const HandleErrorResponse&) {}
void Handle::OnReceiveHandleErrorResponse(std::uint16_t, std::uint8_t) {}

}  // namespace Korvo::HardwareAPI::Devices
