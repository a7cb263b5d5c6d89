#include "platform/FreeSpace.h"

#include <sys/statvfs.h>

namespace vx4 {

bool FreeSpace(std::FILE* file, std::uint64_t* bytes)
{
    const int fd = file ? ::fileno(file) : -1;
    struct statvfs fs {};
    if (fd < 0 || ::fstatvfs(fd, &fs) != 0)
        return false;
    *bytes = std::uint64_t(fs.f_bavail) * std::uint64_t(fs.f_frsize);
    return true;
}

} // namespace vx4
