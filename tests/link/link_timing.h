#pragma once
// Wall-clock measuring for link tests (bounds are kept wide: the machines are noisy).

#include <chrono>

namespace vx4::test {

inline long long ElapsedMs(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

} // namespace vx4::test
