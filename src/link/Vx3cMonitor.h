#pragma once
// CVx3cMonitor: the vx3c frame monitor below the window. Each running step receives one
// vx3c frame (or the broken piece of one) without sending and writes one line for it,
// decoded field by field or as plain bytes:
//   St[1013] dT[   125] FLen[0011] Adr[00000001] Len[0002] Cmd[ 5] CS[3A 7F] Data[01 02 ]
//   St[1016] dT[    40] FLen[0007] Adr[00000001] BadLen[0300] Cmd[ 5]
//   St[1016] dT[    40] FLen[0007] Raw[01 00 00 00 2C 01 05 ]
// A time-out with no bytes is silent.

#include "link/FrameMonitor.h"
#include "link/Frames.h"

namespace vx4 {

class CVx3cMonitor : public CFrameMonitor {
public:
    MonitorKind Kind() const override { return MonitorKind::Vx3c; }

    // The lines for a piece that a read ending at tick brought (status, bytes): none for
    // a silent time-out, otherwise one. Moves lastShownTick as the capture does.
    std::vector<std::string> Decode(int status, const std::uint8_t* bytes, std::size_t n, std::uint32_t tick);

    // The decoded fields of a piece, each present only when enough bytes came: address,
    // declared length ("Bad" in front when the body does not match it), command, then from
    // eight bytes on the check bytes (of a whole frame only) and the data bytes: those that
    // came when fewer than declared arrived, else the declared ones.
    static std::string Fields(const std::uint8_t* bytes, std::size_t n);

protected:
    SCaptureStep RunningStep(connection& conn) override;

private:
    std::uint8_t buf_[FrameCapacity] = {};
};

} // namespace vx4
