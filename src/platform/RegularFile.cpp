#include "platform/RegularFile.h"

#include "platform/PathWalk.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vx4 {

int OpenRegularFile(const std::string& path, std::string* why, bool followLinks)
{
    // A look before the open keeps a device's open (which may act on the device) from
    // happening at all; the check on the open descriptor closes the gap in between.
    struct stat st{};
    if ((followLinks ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st)) != 0) {
        *why = std::strerror(errno);
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        *why = NotRegularFileText;
        return -1;
    }
    // O_NONBLOCK: a FIFO put in place since the look opens at once instead of waiting.
    const int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | (followLinks ? 0 : O_NOFOLLOW);
    const int fd = ::open(path.c_str(), flags);
    if (fd < 0) {
        *why = errno == ELOOP && !followLinks ? NotRegularFileText : std::strerror(errno);
        return -1;
    }
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        *why = NotRegularFileText;
        ::close(fd);
        return -1;
    }
    const int fl = ::fcntl(fd, F_GETFL);
    if (fl != -1) ::fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
    return fd;
}

bool ReadRegularFile(const std::string& path, std::size_t limit, std::string* bytes, std::string* why)
{
    bytes->clear();
    const int fd = OpenRegularFile(path, why);
    if (fd < 0) return false;
    const bool ok = ReadOpenFile(fd, limit, bytes, why);
    ::close(fd);
    return ok;
}

} // namespace vx4
