#include "platform/MsClock.h"

#include <chrono>

namespace vx4 {

namespace {

std::chrono::steady_clock::time_point ProgramStart()
{
    static const auto start = std::chrono::steady_clock::now();
    return start;
}

// Fixes the start at program load rather than at the first call.
const auto startAtLoad = ProgramStart();

} // namespace

std::uint32_t MsClock()
{
    const auto elapsed = std::chrono::steady_clock::now() - ProgramStart();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(ms));
}

} // namespace vx4
