// The frame monitors' decoders: whatever pieces come off the line (any bytes, any length
// up to what a read asks for, any status, any clock), each piece gives the lines it may
// give (vx3c at most one, vx2 at most two: a separator and the frame), every line is
// whole text on one line, the vx2 monitor's next read asks for no more than its buffer
// holds, and the pieces written as a pcap file come back in its packet records.
// Input: a filter byte, then pieces: a status selector, a clock step (16 bits), a length
// (16 bits) and the bytes.
#include "FuzzSupport.h"

#include "link/PcapFile.h"
#include "link/Vx2Monitor.h"
#include "link/Vx3cMonitor.h"

#include <unistd.h>

#include <string>

namespace {

using namespace vx4;
using vx4fuzz::Bytes;
using vx4fuzz::Check;
using vx4fuzz::Input;

constexpr int Statuses[] = {0, FRAME_CHECK_FAILED, LINK_TIMEOUT, FRAME_LENGTH_ERROR, 1, -1};

void CheckLines(const std::vector<std::string>& lines, std::size_t most)
{
    Check(lines.size() <= most);
    for (const std::string& line : lines) {
        Check(!line.empty());
        Check(line.find('\n') == std::string::npos && line.find('\r') == std::string::npos);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    Input in(data, size);
    CVx3cMonitor vx3c;
    CVx2Monitor vx2;
    vx2.showFilter = std::uint8_t(in.Byte() % 3);
    std::vector<SCapturedPiece> pieces;
    std::uint32_t tick = 0;
    while (!in.Done()) {
        const int status = Statuses[in.Byte() % std::size(Statuses)];
        tick += in.U16();
        const std::size_t asked = in.U16();
        const Bytes bytes = in.Take(asked % (FrameCapacity + 1));

        CheckLines(vx3c.Decode(status, bytes.data(), bytes.size(), tick), 1);
        (void)CVx3cMonitor::Fields(bytes.data(), bytes.size());

        const CVx2Monitor::SRead next = vx2.NextRead(tick);
        Check(next.expectedLen <= CVx2Monitor::BufferSize);
        const std::size_t n = std::min(bytes.size(), next.expectedLen);
        CheckLines(vx2.Decode(status, bytes.data(), n, tick, next.expectedLen), 2);

        SCapturedPiece piece;
        piece.status = status;
        piece.direction = std::uint8_t(tick);
        piece.bytes.assign(bytes.begin(), bytes.end());
        pieces.push_back(std::move(piece));
    }

    // The capture as a pcap file: a 24-byte header and, for each piece with bytes, a
    // 16-byte record header, the pseudo-header and the piece.
    char path[] = "/tmp/vx4-monitor-fuzz-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0)
        return 0;
    close(fd);
    std::string error;
    Check(CPcapFile::Save(path, pieces, &error));
    std::size_t expected = 24;
    for (const SCapturedPiece& p : pieces)
        if (!p.bytes.empty())
            expected += 16 + CPcapFile::PseudoHeaderSize + p.bytes.size();
    std::FILE* f = std::fopen(path, "rb");
    Check(f != nullptr);
    std::fseek(f, 0, SEEK_END);
    Check(std::size_t(std::ftell(f)) == expected);
    std::fclose(f);
    unlink(path);
    return 0;
}
