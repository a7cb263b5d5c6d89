#include "platform/StagedFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace vx4 {

namespace {

std::string Folder(const std::string& path)
{
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// The path with symbolic links followed (up to 40 of them), so that a link is written
// through and keeps being a link; a link that points nowhere gives the file it names.
std::string FollowLinks(std::string path)
{
    for (int i = 0; i < 40; ++i) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
            return path;
        std::string target(std::size_t(st.st_size > 0 ? st.st_size : 0) + 256, '\0');
        const ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
        if (n <= 0 || std::size_t(n) >= target.size())
            return path;
        target.resize(std::size_t(n));
        path = target[0] == '/' ? target : Folder(path) + "/" + target;
    }
    return path;
}

// The process's file mode creation mask, read without changing it (umask() would, for a
// moment, for every thread).
mode_t CurrentUmask()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("Umask:", 0) == 0)
            return mode_t(std::strtoul(line.c_str() + 6, nullptr, 8) & 0777);
    return 022;
}

// Flushes the folder's entry of a renamed file; file systems that cannot are let be.
void SyncFolder(const std::string& path)
{
    const int fd = ::open(Folder(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    (void)::fsync(fd);
    ::close(fd);
}

bool WriteAll(int fd, const char* bytes, std::size_t n)
{
    std::size_t done = 0;
    while (done < n) {
        const ssize_t w = ::pwrite(fd, bytes + done, n - done, off_t(done));
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0) {
            if (w == 0)
                errno = EIO;
            return false;
        }
        done += std::size_t(w);
    }
    return true;
}

} // namespace

StagedFile::~StagedFile() { Discard(); }

std::string StagedFile::Fail(const char* what, int err)
{
    errno_ = err ? err : EIO;
    Discard();
    return std::string(what) + " " + path_ + ": " + std::strerror(errno_);
}

std::string StagedFile::Create()
{
    Discard();
    target_ = FollowLinks(path_);
    struct stat st {};
    const bool exists = ::stat(target_.c_str(), &st) == 0;
    if (exists && mode_ == Mode::KeepExisting)
        return Fail("cannot create", EEXIST);
    if (exists && S_ISDIR(st.st_mode))
        return Fail("cannot create", EISDIR);
    if (exists && !S_ISREG(st.st_mode)) {
        // A device, fifo or socket of that name is never replaced by a file (as root the
        // rename would succeed and take, say, /dev/full away).
        Fail("cannot create", EINVAL);
        return "cannot create " + path_ + ": not a regular file";
    }

    std::string pattern = target_ + ".XXXXXX";
    const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        // A folder that allows no new file, with the file itself writable.
        if ((err == EACCES || err == EPERM) && mode_ == Mode::Replace && exists && S_ISREG(st.st_mode) &&
            ::access(target_.c_str(), W_OK) == 0) {
            file_ = ::open_memstream(&memory_, &memorySize_);
            if (!file_)
                return Fail("cannot create", errno);
            inPlace_ = true;
            return {};
        }
        return Fail("cannot create", err);
    }
    temp_ = pattern;
    // The new file takes the older one's permissions, or the usual ones of a new file.
    (void)::fchmod(fd, exists ? (st.st_mode & 07777) : (0666 & ~CurrentUmask()));
    file_ = ::fdopen(fd, "wb");
    if (!file_) {
        const int err = errno;
        ::close(fd);
        return Fail("cannot create", err);
    }
    return {};
}

std::string StagedFile::HandOver()
{
    if (file_ && !inPlace_) {
        std::fclose(file_);
        file_ = nullptr;
    }
    return inPlace_ ? std::string() : temp_;
}

std::string StagedFile::CommitInPlace()
{
    errno = 0;
    const bool flushed = std::fflush(file_) == 0;
    const int flushError = errno;
    std::fclose(file_); // the content is now complete in memory
    file_ = nullptr;
    if (!flushed)
        return Fail("cannot write", flushError);
    const int fd = ::open(target_.c_str(), O_WRONLY | O_CLOEXEC); // not truncated: the older content stays
    if (fd < 0)
        return Fail("cannot write", errno);
    struct stat st {};
    int err = ::fstat(fd, &st) == 0 ? 0 : errno;
    const off_t oldSize = st.st_size;
    const off_t newSize = off_t(memorySize_);
    // The space the new content needs is taken before any byte is written.
    if (err == 0 && newSize > oldSize) {
        err = ::posix_fallocate(fd, 0, newSize);
        if (err != 0)
            (void)::ftruncate(fd, oldSize);
    }
    if (err == 0 && !WriteAll(fd, memory_, memorySize_))
        err = errno;
    if (err == 0 && ::ftruncate(fd, newSize) != 0)
        err = errno;
    if (err == 0 && ::fsync(fd) != 0)
        err = errno;
    if (::close(fd) != 0 && err == 0)
        err = errno;
    if (err != 0)
        return Fail("cannot write", err);
    std::free(memory_);
    memory_ = nullptr;
    inPlace_ = false;
    return {};
}

std::string StagedFile::Commit()
{
    if (inPlace_)
        return CommitInPlace();
    if (temp_.empty())
        return Fail("cannot write", errno_ ? errno_ : EBADF);
    if (file_) {
        errno = 0;
        const bool flushed = std::fflush(file_) == 0 && ::fsync(::fileno(file_)) == 0;
        const int err = errno;
        const bool closed = std::fclose(file_) == 0;
        file_ = nullptr;
        if (!flushed || !closed)
            return Fail("cannot write", flushed ? errno : err);
    } else {
        // Written by a library under the neighbour's name.
        const int fd = ::open(temp_.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return Fail("cannot write", errno);
        const int err = ::fsync(fd) == 0 ? 0 : errno;
        ::close(fd);
        if (err != 0)
            return Fail("cannot write", err);
    }
    if (mode_ == Mode::KeepExisting) {
        // Never over a file of that name, also one made since Create; a file system without
        // such a rename takes a hard link, which never replaces either.
        if (::renameat2(AT_FDCWD, temp_.c_str(), AT_FDCWD, target_.c_str(), RENAME_NOREPLACE) != 0) {
            if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP)
                return Fail("cannot write", errno);
            if (::link(temp_.c_str(), target_.c_str()) != 0)
                return Fail("cannot write", errno);
            ::unlink(temp_.c_str());
        }
    } else if (std::rename(temp_.c_str(), target_.c_str()) != 0) {
        return Fail("cannot write", errno);
    }
    temp_.clear();
    SyncFolder(target_);
    return {};
}

void StagedFile::Discard()
{
    if (file_)
        std::fclose(file_);
    file_ = nullptr;
    std::free(memory_);
    memory_ = nullptr;
    memorySize_ = 0;
    inPlace_ = false;
    if (!temp_.empty())
        ::unlink(temp_.c_str());
    temp_.clear();
}

std::string StagedFile::Write(const std::string& path, std::string_view bytes, Mode mode, int* err)
{
    StagedFile file(path, mode);
    std::string error = file.Create();
    if (error.empty() && std::fwrite(bytes.data(), 1, bytes.size(), file.File()) != bytes.size())
        error = file.Fail("cannot write", errno);
    if (error.empty())
        error = file.Commit();
    if (err)
        *err = error.empty() ? 0 : file.Errno();
    return error;
}

} // namespace vx4
