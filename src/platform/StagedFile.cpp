#include "platform/StagedFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>

namespace vx4 {

namespace {

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
void SyncFolder(int folder)
{
    const int fd = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    (void)::fsync(fd);
    ::close(fd);
}

// Makes a new file leaf + "." + six random letters or digits in folder (as mkostemp does,
// but in the folder that was checked); its descriptor, or -1 with errno.
int MakeNeighbour(int folder, const std::string& leaf, std::string* name)
{
    static const char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    for (int attempt = 0; attempt < 100; ++attempt) {
        unsigned char random[6];
        if (::getrandom(random, sizeof random, 0) != ssize_t(sizeof random))
            return -1;
        *name = leaf + ".";
        for (unsigned char r : random)
            *name += letters[r % 62];
        const int fd = ::openat(folder, name->c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    errno = EEXIST;
    return -1;
}

// Whether name is leaf + "." + six letters or digits: a neighbour of this writer's making.
bool IsNeighbourName(const std::string& name, const std::string& leaf)
{
    if (name.size() != leaf.size() + 7 || name.compare(0, leaf.size(), leaf) != 0 || name[leaf.size()] != '.')
        return false;
    for (std::size_t i = leaf.size() + 1; i < name.size(); ++i) {
        const char c = name[i];
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')))
            return false;
    }
    return true;
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
    int walkError = 0;
    const std::string refused = WalkPath(path_, PathTrust::Write, &where_, &walkError);
    if (!refused.empty()) {
        Fail("cannot create", walkError);
        return "cannot create " + path_ + ": " + refused;
    }
    target_ = where_.shown == "/" ? "/" + where_.leaf : where_.shown + "/" + where_.leaf;
    const int folder = where_.folder;
    const char* leaf = where_.leaf.c_str();
    struct stat st {};
    const bool exists = ::fstatat(folder, leaf, &st, AT_SYMLINK_NOFOLLOW) == 0;
    if (exists && mode_ == Mode::KeepExisting)
        return Fail("cannot create", EEXIST);
    if (exists && S_ISDIR(st.st_mode))
        return Fail("cannot create", EISDIR);
    if (exists && !S_ISREG(st.st_mode)) {
        // A device, fifo or socket of that name is never replaced by a file (as root the
        // rename would succeed and take, say, /dev/full away); nor is a link put there
        // since the walk.
        Fail("cannot create", EINVAL);
        return "cannot create " + path_ + ": not a regular file";
    }
    RemoveStaleNeighbours();

    const int fd = MakeNeighbour(folder, where_.leaf, &tempName_);
    if (fd < 0) {
        const int err = errno;
        tempName_.clear();
        // A folder that allows no new file, with the file itself writable: the very file
        // looked at above is opened (never through a link, never waiting on a fifo).
        if ((err == EACCES || err == EPERM) && mode_ == Mode::Replace && exists) {
            const int out = ::openat(folder, leaf, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
            if (out < 0)
                return Fail("cannot create", errno == ELOOP ? EACCES : errno);
            struct stat now {};
            if (::fstat(out, &now) != 0 || !S_ISREG(now.st_mode) || now.st_dev != st.st_dev || now.st_ino != st.st_ino) {
                ::close(out);
                Fail("cannot create", EINVAL);
                return "cannot create " + path_ + ": the file was replaced while it was opened";
            }
            file_ = ::open_memstream(&memory_, &memorySize_);
            if (!file_) {
                const int memErr = errno;
                ::close(out);
                return Fail("cannot create", memErr);
            }
            inPlaceFd_ = out;
            inPlace_ = true;
            return {};
        }
        return Fail("cannot create", err);
    }
    temp_ = where_.shown == "/" ? "/" + tempName_ : where_.shown + "/" + tempName_;
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

void StagedFile::RemoveStaleNeighbours()
{
    const int fd = ::openat(where_.folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    DIR* dir = ::fdopendir(fd);
    if (dir == nullptr) {
        ::close(fd);
        return;
    }
    const std::time_t now = std::time(nullptr);
    // A folder of any size is looked through once; nothing but the names is read.
    while (const dirent* e = ::readdir(dir)) {
        const std::string name = e->d_name;
        if (!IsNeighbourName(name, where_.leaf))
            continue;
        struct stat st {};
        if (::fstatat(where_.folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
            st.st_uid == ::geteuid() && now - st.st_mtime > StaleNeighbourSeconds)
            (void)::unlinkat(where_.folder, name.c_str(), 0);
    }
    ::closedir(dir);
}

std::string StagedFile::HandOver()
{
    if (file_ && !inPlace_) {
        std::fclose(file_);
        file_ = nullptr;
    }
    // The neighbour by way of the folder that was checked, not by its path again.
    if (inPlace_ || tempName_.empty())
        return {};
    return "/proc/self/fd/" + std::to_string(where_.folder) + "/" + tempName_;
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
    const int fd = inPlaceFd_; // opened (not truncated) and checked by Create
    inPlaceFd_ = -1;
    struct stat st {};
    int err = ::fstat(fd, &st) == 0 ? 0 : errno;
    const off_t oldSize = st.st_size;
    const off_t newSize = off_t(memorySize_);
    // The space the whole new content needs is taken before any byte is written (also
    // when it is shorter: the older file may hold holes or share its blocks).
    if (err == 0 && newSize > 0) {
        err = ::posix_fallocate(fd, 0, newSize);
        // What a failed reservation added goes again; the older content is untouched.
        if (err != 0) {
            [[maybe_unused]] const int undone = ::ftruncate(fd, oldSize);
        }
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
    if (tempName_.empty())
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
        const int fd = ::openat(where_.folder, tempName_.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
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
        const int folder = where_.folder;
        const char* temp = tempName_.c_str();
        const char* leaf = where_.leaf.c_str();
        if (::renameat2(folder, temp, folder, leaf, RENAME_NOREPLACE) != 0) {
            if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP)
                return Fail("cannot write", errno);
            if (::linkat(folder, temp, folder, leaf, 0) != 0)
                return Fail("cannot write", errno);
            ::unlinkat(folder, temp, 0);
        }
    } else if (::renameat(where_.folder, tempName_.c_str(), where_.folder, where_.leaf.c_str()) != 0) {
        return Fail("cannot write", errno);
    }
    temp_.clear();
    tempName_.clear();
    SyncFolder(where_.folder);
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
    if (inPlaceFd_ >= 0)
        ::close(inPlaceFd_);
    inPlaceFd_ = -1;
    if (!tempName_.empty() && where_.folder >= 0)
        ::unlinkat(where_.folder, tempName_.c_str(), 0);
    temp_.clear();
    tempName_.clear();
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
