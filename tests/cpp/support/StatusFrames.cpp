#include "support/StatusFrames.h"

namespace Korvo::Testing {

Bytes FrameFields(std::uint8_t error_flag, std::uint8_t byte3, std::uint8_t device_id, std::uint16_t a,
                  std::uint16_t b, std::uint16_t c, std::uint16_t d, std::uint8_t battery) {
    Bytes body(17, 0);
    body[2] = error_flag;
    body[3] = byte3;
    body[4] = device_id;
    const std::uint16_t q[4] = {a, b, c, d};
    for (int i = 0; i < 4; ++i) {
        body[8 + 2 * i] = static_cast<std::uint8_t>(q[i] & 0xFF);
        body[9 + 2 * i] = static_cast<std::uint8_t>(q[i] >> 8);
    }
    body[16] = battery;
    return body;
}

Bytes StuffedBody(Bytes body, const std::function<void(Bytes&)>& mangle) {
    unsigned sum = 0xDA;
    for (std::uint8_t byte : body) sum += byte;
    body.push_back(static_cast<std::uint8_t>(sum));
    if (mangle) mangle(body);
    Bytes out;
    for (std::uint8_t byte : body) {
        if (byte == 0xC0) {
            out.insert(out.end(), {0xDB, 0xDC});
        } else if (byte == 0xDB) {
            out.insert(out.end(), {0xDB, 0xDD});
        } else {
            out.push_back(byte);
        }
    }
    out.push_back(0xC0);
    return out;
}

Bytes StatusFrame(Bytes body, const std::function<void(Bytes&)>& mangle) {
    return Concat({{0xDA}, StuffedBody(std::move(body), mangle)});
}

}  // namespace Korvo::Testing
