#pragma once
// Handle: the hand-held orientation handle, on a wired or a wireless serial
// link.
//
// Commands (host to handle; none waits for an answer):
//
//   SendDeviceWakeup    0x0A
//   RequestStatus       0xDA
//   SendHandleState     0xDB, device_id u16, data_length u8, data_length bytes
//
// Replies, read and dispatched by Receive (integers little-endian, floats
// IEEE-754 single precision):
//
//   code  message          payload
//   0xD0  handle info      tool_data_remaining u8, device_id u16,
//                          device_model_number u8, hardware_version u8,
//                          firmware_version u8                    (6 bytes)
//   0xDA  status message   device_id u16, error_flag u8, hall level u8,
//                          quaternion 4 x float, user_data_length n u8,
//                          then n bytes of user data              (21 + n)
//   0xDF  error response   device_id u16, error_code u8           (3 bytes)
//
// Receive waits (up to read_timeout, see Device) for one header code,
// skipping notifications, reads that message's payload and calls its two
// callbacks: the unpacked form first, then the record form, both on the
// calling thread before Receive returns. It returns the number of payload
// bytes read: 6, 3 or 21 + n for a complete message, less when the payload
// did not arrive in time (the callbacks still run, with what the input buffer
// then holds). It returns -1, calls nothing and reads nothing further when no
// header code came or the code is none of the three; the payload of an
// unknown message stays in the port. An exception thrown by a callback leaves
// Receive at once, and the record callback of that message is not called.
// A callback must not read from its own handle: Receive and GetStylarStatus
// called from inside one throw std::runtime_error before reading anything.
//
// Status frame: the handle also streams its status as 0xDA, a byte-stuffed
// body (SLIP values: 0xC0 ends the frame, 0xDB 0xDC stands for 0xC0, 0xDB
// 0xDD for 0xDB) and 0xC0. GetStylarStatus reads one such frame from what is
// already waiting, without sending a request; see its comment.
//
// The callbacks' default bodies are empty: a subclass overrides those it
// needs. Records and the arrays handed to the unpacked status callback live
// only for the duration of the call.
//
// Thread safety: none. A handle and its stream belong to one thread at a time.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "Korvo/HardwareAPI/Devices/Device.h"

namespace Korvo::HardwareAPI::Devices {

struct HandleInfo {
    std::uint16_t device_id = 0;
    std::uint8_t tool_data_remaining = 0;
    std::uint8_t device_model_number = 0;
    std::uint8_t hardware_version = 0;
    std::uint8_t firmware_version = 0;

    // From the message's 6-byte payload (after its code 0xD0).
    static HandleInfo Decode(const std::uint8_t* payload);
};

struct HandleStatusMessage {
    static constexpr std::size_t kMaxUserData = 255;

    std::uint16_t device_id = 0;
    std::array<float, 4> quaternion{};
    std::uint8_t error_flag = 0;
    std::uint8_t hall_effect_sensor_level = 0;
    std::uint8_t user_data_length = 0;
    // Bytes past user_data_length are zero.
    std::array<std::uint8_t, kMaxUserData> user_data{};
};

struct HandleErrorResponse {
    std::uint16_t device_id = 0;
    std::uint8_t error_code = 0;
};

// A snapshot of the handle taken from one status frame. On failure every
// field is zero except error_flag, which then holds one of the codes below;
// on success error_flag is the handle's own byte, so the two share the field.
struct StylarStatus {
    // Fewer than 19 bytes arrived within the initial wait.
    static constexpr std::uint8_t kNothingArrived = 99;
    // No header code could be read (time limit or stream failure).
    static constexpr std::uint8_t kHeaderFailed = 2;
    // Too few bytes left for a frame, or no frame start among 101 codes.
    static constexpr std::uint8_t kNoFrame = 3;

    std::uint8_t device_id = 0;
    std::array<float, 4> quaternion{};
    std::uint8_t error_flag = 0;
    std::uint8_t hall_effect_sensor_level = 0;  // 0 to 31
    std::uint8_t buttons = 0;                   // 0 to 7, one bit per button
    float battery_level = 0.0f;                 // volts
};

class Handle : public Device {
public:
    enum Code : std::uint8_t {
        kWakeup = 0x0A,
        kStatusRequest = 0xDA,
        kHandleState = 0xDB,
        kHandleInfo = 0xD0,
        kStatusMessage = 0xDA,
        kErrorResponse = 0xDF,
    };
    static constexpr std::size_t kHandleInfoPayload = 6;
    static constexpr std::size_t kStatusPayload = 21;
    static constexpr std::size_t kErrorPayload = 3;

    // Exchanges nothing with the handle; borrows `stream` like every device.
    explicit Handle(IO::SerialStream* stream, float read_timeout = kDefaultReadTimeout);
    virtual ~Handle() = default;

    void SendDeviceWakeup();
    void RequestStatus();
    // Sends the first data_length bytes of user_data (exactly four bytes when
    // data_length is 0). Throws std::invalid_argument, before anything is
    // written, when user_data holds fewer than data_length bytes.
    void SendHandleState(std::uint16_t device_id, std::uint8_t data_length,
                         std::span<const std::uint8_t> user_data = {});

    // Reads one reply and dispatches it (see above): payload bytes read, or -1.
    int Receive();

    // Reads the next complete status frame from the bytes already waiting.
    // Blocking: first sleeps (see IO/Wait.h) until more than 18 bytes wait,
    // giving up after one to two seconds (whole seconds of the monotonic
    // clock) with kNothingArrived; a failed stream or a hung-up port gives
    // kHeaderFailed at once. Then searches byte by byte for the frame start
    // (each step may wait up to read_timeout for a byte: kHeaderFailed when
    // none comes; a line that drips wrong bytes can so hold the call for up
    // to 101 such waits), collects the body from what is waiting without
    // waiting for the rest, and checks it. A frame that fails its checks (cut
    // short, stray escape at its end, empty, wrong checksum, body shorter than
    // 18 bytes, or 1024 bytes without an end marker) is dropped and the next
    // one tried while at least 19 bytes wait (kNoFrame otherwise).
    StylarStatus GetStylarStatus();

    // -- receive callbacks, called by Receive (empty by default) -----------------
    virtual void OnReceiveHandleInfoRecord(const HandleInfo& info);
    virtual void OnReceiveHandleInfo(std::uint8_t tool_data_remaining, std::uint16_t device_id,
                                     std::uint8_t device_model_number, std::uint8_t hardware_version,
                                     std::uint8_t firmware_version);
    virtual void OnReceiveHandleStatusRecord(const HandleStatusMessage& status);
    // `quaternion` points to 4 floats, `user_data` to user_data_length bytes.
    virtual void OnReceiveHandleStatusMessage(std::uint16_t device_id, const float* quaternion,
                                              std::uint8_t error_flag, std::uint8_t hall_effect_sensor_level,
                                              std::uint8_t user_data_length, const std::uint8_t* user_data);
    virtual void OnReceiveHandleErrorRecord(const HandleErrorResponse& error);
    virtual void OnReceiveHandleErrorResponse(std::uint16_t device_id, std::uint8_t error_code);

private:
    // Throws std::runtime_error, before anything is read, when called from
    // inside one of this handle's callbacks.
    void RefuseReentry(const char* operation) const;

    int ReceiveHandleInfo();
    int ReceiveStatusMessage();
    int ReceiveErrorResponse();

    bool dispatching_ = false;
};

}  // namespace Korvo::HardwareAPI::Devices
