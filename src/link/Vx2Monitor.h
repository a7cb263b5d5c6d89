#pragma once
// CVx2Monitor: the vx2 frame monitor below the window. It listens for the vx2 traffic of
// the flow transducers: every request is 16 bytes long, and the length of an answer follows
// from the command code of the request before it. Each running step reads the length that
// is due with the wait that belongs to it and writes one line for the piece: a valid vx2
// frame of the expected length decoded (or plain), any other valid vx2 frame plain with
// "S " or "A " in front, a Modbus RTU frame (recognised by its CRC-16) as ModBusData, and
// anything else plain. The filter drops requests or answers; a line more than 150 ms after
// the previous one gets the 21-hyphen separator in front.
//   St[0000] dT[     0] FLen[0016] Adr[0000000C] Cmd[ 48] CS[3C 3C] Data[00 00 00 00 00 00 00 00 00 ]
//   St[0000] dT[    40] FLen[0008] Adr[0000000C] Ans[ 48] CS[39 41] Data[05 ]

#include "link/FrameMonitor.h"

namespace vx4 {

class CVx2Monitor : public CFrameMonitor {
public:
    static constexpr std::size_t BufferSize = 80;   // no read asks for more than 72
    static constexpr std::uint32_t SeparatorGapMs = 150;
    enum Filter : std::uint8_t { ShowAll = 0, ShowRequests = 1, ShowAnswers = 2 };

    // The read that is due: its length and its wait (ms, before the auxiliary time-out).
    struct SRead {
        std::size_t expectedLen = 16;
        std::uint32_t waitMs = 3;
    };

    MonitorKind Kind() const override { return MonitorKind::Vx2; }

    // The read that is due at tick now. An answer is due after a request that had the
    // expected length: 72 bytes for command codes from 0x40, 8 for 0x30, 32 otherwise,
    // with the wait of the command code; otherwise a 16-byte request with a 3 ms wait.
    // The wait is shortened by the time already gone since the end of the previous read.
    SRead NextRead(std::uint32_t now) const;
    // The answer wait (ms) of a request with command code c.
    static std::uint32_t AnswerWait(std::uint32_t c);

    // The lines for a piece that a read of expectedLen bytes ending at tick brought, with
    // the state changes of the capture (lastReadEnd, lastShownTick, lastMatched, lastLen,
    // lastCmd). Zero, one or two lines (the separator first).
    std::vector<std::string> Decode(int status, const std::uint8_t* bytes, std::size_t n, std::uint32_t tick,
                                    std::size_t expectedLen);

    std::atomic<std::uint8_t> showFilter{ShowAll}; // written by the window's thread

    // State of the request-answer rhythm; survives stopping and starting. Capture thread only.
    std::uint32_t lastLen = 16;     // length of the last valid vx2 frame of the expected length
    std::uint32_t lastCmd = 0;      // byte 4 of that frame
    bool lastMatched = false;       // the last valid vx2 frame had exactly the expected length
    std::uint32_t lastReadEnd = 0;  // MsClock at the end of the previous read

protected:
    SCaptureStep RunningStep(connection& conn) override;

private:
    std::uint8_t buf_[BufferSize] = {};
};

} // namespace vx4
