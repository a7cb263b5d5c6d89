#pragma once
// The program's millisecond clock: milliseconds since the program started, taken from the
// steady clock, as an unsigned 32-bit count that wraps after about 49.7 days. Take
// differences as unsigned (now - start), which stays right across the wrap.

#include <cstdint>

namespace vx4 {

std::uint32_t MsClock();

} // namespace vx4
