#include "Korvo/HardwareAPI/UUID.h"

namespace Korvo::HardwareAPI {

std::string UUID::Hex() const {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * data.size());
    for (std::uint8_t byte : data) {
        text.push_back(kDigits[byte >> 4]);
        text.push_back(kDigits[byte & 0x0F]);
    }
    return text;
}

}  // namespace Korvo::HardwareAPI
