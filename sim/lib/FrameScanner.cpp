#include "FrameScanner.h"

#include "link/Frames.h"

namespace vx4sim {

ScanResult ScanFrame(const std::uint8_t* buf, std::size_t n)
{
    ScanResult r;
    if (n == 0)
        return r;
    bool shortPending = false;
    if (n >= 3 && buf[2] == 0xF0) {
        // A short frame has no address; only its check bytes tell it from a vx3c header
        // whose address happens to hold F0 in its third byte.
        const std::size_t len = vx4::GetU16(buf);
        if (len + vx4::ShortOverhead <= vx4::FrameCapacity) {
            if (n >= vx4::ShortFrameSize(len)) {
                if (vx4::CheckBytesValid(buf, vx4::ShortCovered(len))) {
                    r.kind = ScanResult::Frame;
                    r.shortFrame = true;
                    r.size = vx4::ShortFrameSize(len);
                    return r;
                }
            } else {
                shortPending = true;
            }
        }
    }
    if (n < vx4::Vx3cHeaderSize)
        return r;
    const std::size_t len = vx4::GetU16(buf + 4);
    if (len > vx4::MaxVx3cData) {
        if (shortPending)
            return r;
        r.kind = ScanResult::Garbage;
        r.size = n;
        return r;
    }
    if (n < vx4::Vx3cFrameSize(len))
        return r;
    r.kind = ScanResult::Frame;
    r.size = vx4::Vx3cFrameSize(len);
    return r;
}

} // namespace vx4sim
