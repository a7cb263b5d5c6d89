#pragma once
// CPcapFile: a capture of the frame monitors as a classic pcap file that Wireshark and
// tshark open. Link type DLT_USER0 (147); every packet is one piece read off the line:
// a one-byte pseudo-header naming the monitor (1 vx3c, 2 vx2; see MonitorKind), then the
// piece's raw bytes, stamped with the wall-clock time at the end of its read. Pieces
// without bytes (failures with nothing received) are not written.
//
// Writes stream: Open writes the file header, each Write one packet, Close puts the file in
// its place. Until then the capture is written under a neighbouring name, and an older file
// of the name is kept; one never closed is removed. Every failure returns false with the
// system's error text.

#include "link/FrameMonitor.h"
#include "platform/StagedFile.h"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace vx4 {

class CPcapFile {
public:
    static constexpr std::uint32_t LinkTypeUser0 = 147;
    static constexpr std::uint32_t SnapLength = 65535;

    CPcapFile() = default;
    ~CPcapFile(); // discards a capture not closed
    CPcapFile(const CPcapFile&) = delete;
    CPcapFile& operator=(const CPcapFile&) = delete;

    // Creates (or replaces) the file and writes the file header.
    bool Open(const std::string& path, std::string* error);
    // One packet for the piece (nothing for a piece without bytes).
    bool Write(const SCapturedPiece& piece, std::string* error);
    bool Close(std::string* error);
    // Drops the capture: the older file of the name stays as it was.
    void Discard();

    // The whole capture in one go.
    static bool Save(const std::string& path, const std::vector<SCapturedPiece>& pieces, std::string* error);

private:
    bool Put(const std::uint8_t* bytes, std::size_t n, std::string* error);
    std::unique_ptr<StagedFile> staged_;
    std::FILE* file_ = nullptr;
    std::string path_;
};

} // namespace vx4
