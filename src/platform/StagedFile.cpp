#include "platform/StagedFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vx4 {

StagedFile::~StagedFile() { Discard(); }

std::string StagedFile::Create()
{
    std::string pattern = path_ + ".XXXXXX";
    const int fd = ::mkstemp(pattern.data());
    if (fd < 0) {
        errno_ = errno;
        return "cannot create " + path_ + ": " + std::strerror(errno_);
    }
    temp_ = pattern;
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd, 0666 & ~mask);
    file_ = ::fdopen(fd, "wb");
    if (!file_) {
        errno_ = errno;
        ::close(fd);
        return "cannot create " + path_ + ": " + std::strerror(errno_);
    }
    return {};
}

std::string StagedFile::Commit()
{
    const int rc = std::fclose(file_);
    file_ = nullptr;
    if (rc != 0 || std::rename(temp_.c_str(), path_.c_str()) != 0) {
        errno_ = errno;
        return "cannot write " + path_ + ": " + std::strerror(errno_);
    }
    temp_.clear();
    return {};
}

void StagedFile::Discard()
{
    if (file_)
        std::fclose(file_);
    file_ = nullptr;
    if (!temp_.empty())
        ::unlink(temp_.c_str());
    temp_.clear();
}

} // namespace vx4
