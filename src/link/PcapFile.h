#pragma once
// CPcapFile: a capture of the frame monitors as a classic pcap file that Wireshark and
// tshark open. Link type DLT_USER0 (147); every packet is one piece read off the line,
// stamped with the wall-clock time at the end of its read: a 4-byte pseudo-header, then the
// piece's raw bytes.
//
//   offset 0, u8:  the monitor: 1 vx3c, 2 vx2 (MonitorKind)
//   offset 1, u8:  the direction: 0 not known (every vx3c piece), 1 request, 2 answer;
//                  plus 0x80 when the vx2 monitor recognised a Modbus RTU frame by its CRC
//                  (PieceDirection)
//   offset 2, u16 little-endian: the read's status: 0 for a piece read whole, else the
//                  monitor's result code (1013 wrong check bytes, 1016 time-out with part
//                  of a piece, 1017 length beyond the buffer, ...)
//
// Pieces without bytes (failures with nothing received) are not written.
//
// Writes stream: Open writes the file header, each Write one packet, Close puts the file in
// its place. Until then the capture is written under a neighbouring name, and an older file
// of the name is kept; one never closed is removed. The path "-" is standard output (never
// closed), and a fifo is written as it is: on these streams the header and every packet are
// flushed as they are written, so a reader at the other end sees each piece at once. Every failure returns false with the
// system's error text.
//
// A fifo is opened without blocking and never through a link (no reader is an error unless
// the caller waits for one), and written without blocking: a reader that takes nothing is waited for, and a
// cancel (Save's flag) seen, every 100 ms; a reader that closes the fifo is an error.

#include "link/FrameMonitor.h"
#include "platform/StagedFile.h"

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace vx4 {

class CPcapFile {
public:
    static constexpr std::uint32_t LinkTypeUser0 = 147;
    static constexpr std::uint32_t SnapLength = 65535;
    static constexpr std::size_t PseudoHeaderSize = 4;
    static constexpr const char* StandardOutput = "-";

    CPcapFile() = default;
    ~CPcapFile(); // discards a capture not closed
    CPcapFile(const CPcapFile&) = delete;
    CPcapFile& operator=(const CPcapFile&) = delete;

    // Creates (or replaces) the file and writes the file header.
    // With waitForReader, a fifo that no program reads yet is tried again every 100 ms until
    // one does (a capture program whose reader opens the fifo after starting it); a stop
    // signal or the cancel flag ends the wait.
    bool Open(const std::string& path, std::string* error, bool waitForReader = false);
    // One packet for the piece (nothing for a piece without bytes).
    bool Write(const SCapturedPiece& piece, std::string* error);
    bool Close(std::string* error);
    // Drops the capture: the older file of the name stays as it was.
    void Discard();

    // The whole capture in one go.
    static bool Save(const std::string& path, const std::vector<SCapturedPiece>& pieces, std::string* error,
                     const std::atomic<bool>* cancel = nullptr);

private:
    bool Put(const std::uint8_t* bytes, std::size_t n, std::string* error);
    bool PutToFifo(const std::uint8_t* bytes, std::size_t n, std::string* error);
    bool Flush(std::string* error);
    std::unique_ptr<StagedFile> staged_;
    std::FILE* file_ = nullptr;
    bool ownStream_ = false; // file_ is a fifo opened here (closed by Close)
    int pipeFd_ = -1;        // that fifo's descriptor, written directly
    const std::atomic<bool>* cancel_ = nullptr;
    std::string path_;
};

} // namespace vx4
