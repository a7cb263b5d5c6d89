#pragma once
// Line speed of a serial port by its bit rate: the standard rates through termios, any
// other rate through Linux's custom-speed interface (termios2 with BOTHER).

#include <cstdint>

namespace vx4 {

// Sets input and output speed of the open terminal fd to rate bit/s; other settings
// stay. False when the port refuses the rate.
bool SetSerialSpeed(int fd, std::uint32_t rate);
// The output speed of the open terminal fd in bit/s; 0 when it cannot be read.
std::uint32_t GetSerialSpeed(int fd);

} // namespace vx4
