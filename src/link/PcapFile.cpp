#include "link/PcapFile.h"

#include "link/Frames.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace vx4 {

namespace {

std::string SystemError(const std::string& path, int err) { return path + ": " + std::strerror(err); }

} // namespace

CPcapFile::~CPcapFile() = default;

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
    file_ = nullptr;
    path_ = path;
    staged_ = std::make_unique<StagedFile>(path, StagedFile::Mode::ReplaceStaged);
    if (!staged_->Create().empty()) {
        if (error)
            *error = SystemError(path, staged_->Errno());
        staged_.reset();
        return false;
    }
    file_ = staged_->File();
    // Classic pcap header, little-endian, microsecond stamps, version 2.4.
    std::uint8_t header[24] = {};
    PutU32(header, 0xA1B2C3D4u);
    PutU16(header + 4, 2);
    PutU16(header + 6, 4);
    PutU32(header + 16, SnapLength);
    PutU32(header + 20, LinkTypeUser0);
    return Put(header, sizeof header, error);
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
    const std::uint32_t length = std::uint32_t(piece.bytes.size() + 1);
    const std::int64_t us = piece.wallUs < 0 ? 0 : piece.wallUs;
    std::uint8_t record[17];
    PutU32(record, std::uint32_t(us / 1000000));
    PutU32(record + 4, std::uint32_t(us % 1000000));
    PutU32(record + 8, length);
    PutU32(record + 12, length);
    record[16] = std::uint8_t(piece.kind);
    return Put(record, sizeof record, error) && Put(piece.bytes.data(), piece.bytes.size(), error);
}

bool CPcapFile::Close(std::string* error)
{
    if (!staged_)
        return true;
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
    file_ = nullptr;
    staged_.reset();
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
    file.Discard(); // an older file of that name stays as it was
    return false;
}

} // namespace vx4
