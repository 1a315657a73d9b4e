#include "SimulatedLoopback.h"

namespace korvo::sim {

std::size_t SimulatedLoopback::consume(const std::uint8_t* data, std::size_t size, double /*now*/, Request& out)
{
    out.clear();
    if (size == 0) {
        return 0;
    }
    out.complete = true;
    out.hasReply = true;
    out.reply.assign(data, data + size);
    return size;
}

}  // namespace korvo::sim
