#include "platform/SerialSpeed.h"

// termios2 lives in the kernel's headers, which clash with <termios.h>; this file uses
// the kernel's definitions only.
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <cerrno>

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept;

namespace vx4 {

namespace {

struct Rate {
    std::uint32_t rate;
    unsigned code;
};

constexpr Rate standardRates[] = {
    {50, B50},         {75, B75},           {110, B110},         {134, B134},         {150, B150},
    {200, B200},       {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
    {2400, B2400},     {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
    {57600, B57600},   {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000}, {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
    {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

} // namespace

bool SetSerialSpeed(int fd, std::uint32_t rate)
{
    if (rate == 0)
        return false;
    struct termios2 tio {};
    if (ioctl(fd, TCGETS2, &tio) != 0)
        return false;
    unsigned code = BOTHER;
    for (const Rate& r : standardRates)
        if (r.rate == rate)
            code = r.code;
    tio.c_cflag &= ~tcflag_t(CBAUD | (CBAUD << IBSHIFT));
    tio.c_cflag |= code | (code << IBSHIFT);
    tio.c_ispeed = rate;
    tio.c_ospeed = rate;
    return ioctl(fd, TCSETS2, &tio) == 0;
}

std::uint32_t GetSerialSpeed(int fd)
{
    struct termios2 tio {};
    if (ioctl(fd, TCGETS2, &tio) != 0)
        return 0;
    const unsigned code = tio.c_cflag & CBAUD;
    if (code == BOTHER)
        return tio.c_ospeed;
    for (const Rate& r : standardRates)
        if (r.code == code)
            return r.rate;
    return tio.c_ospeed;
}

} // namespace vx4
