#include "link/PcapFile.h"

#include "link/Frames.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace vx4 {

namespace {

std::string SystemError(const std::string& path, int err) { return path + ": " + std::strerror(err); }

} // namespace

CPcapFile::~CPcapFile()
{
    if (file_ && file_ != stdout)
        std::fclose(file_);
}

bool CPcapFile::Put(const std::uint8_t* bytes, std::size_t n, std::string* error)
{
    if (std::fwrite(bytes, 1, n, file_) == n)
        return true;
    if (error)
        *error = SystemError(path_, errno ? errno : EIO);
    return false;
}

bool CPcapFile::Open(const std::string& path, std::string* error)
{
    if (file_ && file_ != stdout)
        std::fclose(file_);
    path_ = path;
    errno = 0;
    file_ = path == StandardOutput ? stdout : std::fopen(path.c_str(), "wb");
    if (!file_) {
        if (error)
            *error = SystemError(path, errno);
        return false;
    }
    // Classic pcap header, little-endian, microsecond stamps, version 2.4.
    std::uint8_t header[24] = {};
    PutU32(header, 0xA1B2C3D4u);
    PutU16(header + 4, 2);
    PutU16(header + 6, 4);
    PutU32(header + 16, SnapLength);
    PutU32(header + 20, LinkTypeUser0);
    return Put(header, sizeof header, error) && Flush(error);
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
    // Flushed record by record: a reader at the other end of a pipe sees each piece at once.
    return Put(record, sizeof record, error) && Put(piece.bytes.data(), piece.bytes.size(), error) && Flush(error);
}

bool CPcapFile::Close(std::string* error)
{
    if (!file_)
        return true;
    errno = 0;
    const bool flushed = std::fflush(file_) == 0;
    const int err = errno;
    const bool closed = file_ == stdout || std::fclose(file_) == 0;
    file_ = nullptr;
    if (flushed && closed)
        return true;
    if (error)
        *error = SystemError(path_, err ? err : (errno ? errno : EIO));
    return false;
}

bool CPcapFile::Save(const std::string& path, const std::vector<SCapturedPiece>& pieces, std::string* error)
{
    CPcapFile file;
    if (!file.Open(path, error))
        return false;
    bool ok = true;
    for (const SCapturedPiece& piece : pieces)
        if (!(ok = file.Write(piece, error)))
            break;
    if (ok && file.Close(error))
        return true;
    file.Close(nullptr);
    std::remove(path.c_str()); // no half-written capture is left behind
    return false;
}

} // namespace vx4
