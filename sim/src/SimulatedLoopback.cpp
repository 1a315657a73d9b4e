#include "SimulatedLoopback.h"

namespace Korvo::Sim {

std::size_t SimulatedLoopback::Consume(const std::uint8_t* data, std::size_t size, double /*now*/, Request& out)
{
    out.Clear();
    if (size == 0) {
        return 0;
    }
    out.complete = true;
    out.has_reply = true;
    out.reply.assign(data, data + size);
    return size;
}

}  // namespace Korvo::Sim
