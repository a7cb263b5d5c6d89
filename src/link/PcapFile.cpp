#include "link/PcapFile.h"

#include "link/Frames.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace vx4 {

namespace {

std::string SystemError(const std::string& path, int err) { return path + ": " + std::strerror(err); }

} // namespace

CPcapFile::~CPcapFile() { Discard(); } // a capture not closed is discarded

bool CPcapFile::Put(const std::uint8_t* bytes, std::size_t n, std::string* error)
{
    if (pipeFd_ >= 0)
        return PutToFifo(bytes, n, error);
    if (std::fwrite(bytes, 1, n, file_) == n)
        return true;
    if (error)
        *error = SystemError(path_, errno ? errno : EIO);
    return false;
}

bool CPcapFile::PutToFifo(const std::uint8_t* bytes, std::size_t n, std::string* error)
{
    // The fifo stays non-blocking: a reader that takes nothing is waited for in steps of
    // 100 ms, between which a cancel is seen; a reader that went away is an error (EPIPE,
    // with SIGPIPE ignored by the programs).
    std::size_t done = 0;
    while (done < n) {
        const ssize_t w = ::write(pipeFd_, bytes + done, n - done);
        if (w > 0) {
            done += std::size_t(w);
            continue;
        }
        if (w < 0 && errno == EINTR)
            continue;
        if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (cancel_ && cancel_->load()) {
                if (error)
                    *error = path_ + ": " + "the write was cancelled while the fifo's reader took nothing";
                return false;
            }
            pollfd p{pipeFd_, POLLOUT, 0};
            (void)::poll(&p, 1, 100);
            continue;
        }
        const int err = w < 0 ? errno : EIO;
        if (error)
            *error = err == EPIPE ? path_ + ": the program reading this fifo closed it" : SystemError(path_, err);
        return false;
    }
    return true;
}

bool CPcapFile::Open(const std::string& path, std::string* error, bool waitForReader)
{
    Discard();
    path_ = path;
    struct stat st {};
    if (path == StandardOutput) {
        file_ = stdout;
    } else if (::lstat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode)) {
        // A pipe's reader (Wireshark's capture fifo) takes the stream as it comes. The fifo
        // is opened without waiting for a reader (none: ENXIO, reported) and never through a
        // link, and what was opened is checked to be that fifo.
        int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
        while (fd < 0 && errno == ENXIO && waitForReader && !(cancel_ && cancel_->load())) {
            (void)::poll(nullptr, 0, 100);
            fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
        }
        struct stat opened {};
        if (fd < 0 || ::fstat(fd, &opened) != 0 || !S_ISFIFO(opened.st_mode) || opened.st_ino != st.st_ino) {
            const int err = fd < 0 ? (errno == ENXIO ? ENXIO : errno) : EINVAL;
            if (fd >= 0)
                ::close(fd);
            if (error)
                *error = err == ENXIO ? path + ": no program reads from this fifo" : SystemError(path, err);
            return false;
        }
        file_ = ::fdopen(fd, "wb");
        if (!file_) {
            const int err = errno;
            ::close(fd);
            if (error)
                *error = SystemError(path, err ? err : EIO);
            return false;
        }
        ownStream_ = true;
        pipeFd_ = fd; // written directly (PutToFifo), never through the stream's buffer
    } else {
        staged_ = std::make_unique<StagedFile>(path, StagedFile::Mode::ReplaceStaged);
        if (!staged_->Create().empty()) {
            if (error)
                *error = SystemError(path, staged_->Errno());
            staged_.reset();
            return false;
        }
        file_ = staged_->File();
    }
    // Classic pcap header, little-endian, microsecond stamps, version 2.4.
    std::uint8_t header[24] = {};
    PutU32(header, 0xA1B2C3D4u);
    PutU16(header + 4, 2);
    PutU16(header + 6, 4);
    PutU32(header + 16, SnapLength);
    PutU32(header + 20, LinkTypeUser0);
    return Put(header, sizeof header, error) && (staged_ || Flush(error));
}

bool CPcapFile::Flush(std::string* error)
{
    errno = 0;
    if (std::fflush(file_) == 0)
        return true;
    if (error)
        *error = SystemError(path_, errno ? errno : EIO);
    return false;
}

bool CPcapFile::Write(const SCapturedPiece& piece, std::string* error)
{
    if (!file_) {
        if (error)
            *error = SystemError(path_, EBADF);
        return false;
    }
    if (piece.bytes.empty())
        return true;
    const std::uint32_t length = std::uint32_t(piece.bytes.size() + PseudoHeaderSize);
    const std::int64_t us = piece.wallUs < 0 ? 0 : piece.wallUs;
    std::uint8_t record[16 + PseudoHeaderSize];
    PutU32(record, std::uint32_t(us / 1000000));
    PutU32(record + 4, std::uint32_t(us % 1000000));
    PutU32(record + 8, length);
    PutU32(record + 12, length);
    record[16] = std::uint8_t(piece.kind);
    record[17] = piece.direction;
    // Result codes are small positive numbers; anything else would not survive 16 bits.
    const int status = piece.status >= 0 && piece.status <= 0xFFFF ? piece.status : 0xFFFF;
    PutU16(record + 18, std::uint16_t(status));
    // A stream is flushed record by record, so that a reader at the other end of a pipe sees
    // each piece at once; a file is only read once it is in its place.
    return Put(record, sizeof record, error) && Put(piece.bytes.data(), piece.bytes.size(), error) &&
           (staged_ || Flush(error));
}

bool CPcapFile::Close(std::string* error)
{
    if (!staged_) {
        // Standard output or a fifo: everything was flushed record by record.
        bool ok = true;
        int err = 0;
        if (file_) {
            errno = 0;
            ok = std::fflush(file_) == 0;
            err = errno;
            if (ownStream_ && std::fclose(file_) != 0 && ok) {
                ok = false;
                err = errno;
            }
        }
        file_ = nullptr;
        ownStream_ = false;
        pipeFd_ = -1;
        if (!ok && error)
            *error = SystemError(path_, err ? err : EIO);
        return ok;
    }
    file_ = nullptr;
    const bool committed = staged_->Commit().empty();
    const int err = staged_->Errno();
    staged_.reset();
    if (committed)
        return true;
    if (error)
        *error = SystemError(path_, err);
    return false;
}

void CPcapFile::Discard()
{
    if (ownStream_ && file_)
        std::fclose(file_);
    ownStream_ = false;
    pipeFd_ = -1;
    file_ = nullptr;
    staged_.reset();
}

bool CPcapFile::Save(const std::string& path, const std::vector<SCapturedPiece>& pieces, std::string* error,
                     const std::atomic<bool>* cancel)
{
    CPcapFile file;
    file.cancel_ = cancel;
    if (!file.Open(path, error))
        return false;
    bool ok = true;
    for (const SCapturedPiece& piece : pieces)
        if (!(ok = file.Write(piece, error)))
            break;
    if (ok && file.Close(error))
        return true;
    file.Discard(); // an older file of that name stays as it was
    return false;
}

} // namespace vx4
