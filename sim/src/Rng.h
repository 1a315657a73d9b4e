// Small deterministic generator: the same --seed must give the same byte stream
// on every platform, which std::uniform_int_distribution does not promise.
#pragma once

#include <cstdint>

namespace Korvo::Sim {

class Rng {
public:
    explicit Rng(std::uint64_t seed = 0) noexcept : state_(seed) {}

    // splitmix64
    std::uint64_t Next() noexcept
    {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }

    std::uint8_t Byte() noexcept { return static_cast<std::uint8_t>(Next() >> 56); }

    // Stateless hash of (seed, key), for values that must be a pure function of time.
    static std::uint64_t Mix(std::uint64_t seed, std::uint64_t key) noexcept
    {
        Rng r(seed ^ (key * 0xD1B54A32D192ED03ull));
        return r.Next();
    }

private:
    std::uint64_t state_;
};

}  // namespace Korvo::Sim
