#pragma once
// CFrameMonitor: what both frame monitors (vx3c and vx2) share below the window. A monitor
// only listens on the connection: one capture step reads one piece off the line (or, while
// stopped, sleeps and throws the input away) and turns it into the lines of the log. The
// monitor windows, vx4ctl and the tests all run the same steps; the window only shows the
// lines.
//
// The flags are written by whoever drives the monitor (the window's thread) and read by
// the capture thread; a change takes effect at the next step. Everything else belongs to
// the capture thread.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vx4 {

class connection;

// Which monitor took a piece. The value is also the first pseudo-header byte of the capture
// file (see PcapFile.h).
enum class MonitorKind : std::uint8_t { Vx3c = 1, Vx2 = 2 };

// What a monitor made of a piece; the second pseudo-header byte of the capture file. The
// vx3c monitor does not tell requests from answers and always gives DirectionUnknown.
enum PieceDirection : std::uint8_t {
    DirectionUnknown = 0,
    DirectionRequest = 1,
    DirectionAnswer = 2,
    PieceModbusFlag = 0x80, // added: the vx2 monitor recognised a Modbus RTU frame by its CRC
};

// One piece taken off the line by a running capture step.
struct SCapturedPiece {
    MonitorKind kind = MonitorKind::Vx3c;
    int status = 0;              // the read's result code
    std::uint32_t tick = 0;      // MsClock at the end of the read
    std::int64_t wallUs = 0;     // wall-clock time at the end of the read, microseconds since 1970
    std::vector<std::uint8_t> bytes;
    std::uint8_t direction = DirectionUnknown; // PieceDirection, with PieceModbusFlag
};

// What one capture step brought.
struct SCaptureStep {
    bool read = false;              // a piece came (bytes, or a failure to show); false when stopped or silent
    bool filtered = false;          // the piece is a frame the filter drops: no line, and no place in a capture
    SCapturedPiece piece;           // valid when read
    std::vector<std::string> lines; // lines for the log, in order (none for silence or a filtered frame)
};

class CFrameMonitor {
public:
    // Put before a line that comes more than SeparatorGapMs after the previous one (vx2).
    static constexpr const char* Separator = "---------------------";
    // A failed read that came back at once (no link) is followed by this pause, so that the
    // capture never spins and the log gets a few such lines a second, not thousands.
    static constexpr std::uint32_t FailurePauseMs = 250;
    static constexpr std::uint32_t StoppedSleepMs = 10;

    virtual ~CFrameMonitor() = default;
    CFrameMonitor() = default;
    CFrameMonitor(const CFrameMonitor&) = delete;
    CFrameMonitor& operator=(const CFrameMonitor&) = delete;

    virtual MonitorKind Kind() const = 0;

    // One step of the capture thread. Stopped: clears lastShownTick, sleeps 10 ms and purges
    // the connection's input. Running: one read and its lines.
    SCaptureStep CaptureStep(connection& conn);

    std::atomic<bool> isStopped{true};  // nothing is read or shown while true
    std::atomic<bool> isDecoded{true};  // decoded lines; false: plain bytes
    std::atomic<bool> stopCapture{false}; // tells the capture thread to end

    // MsClock at the end of the read that produced the previous line; 0: none since the
    // capture was last started. Capture thread only.
    std::uint32_t lastShownTick = 0;

    // The clock the steps read (MsClock by default); tests give their own.
    void SetClock(std::uint32_t (*clock)()) { clock_ = clock; }

protected:
    // One read while running; fills the piece (status, tick, bytes) and the lines.
    virtual SCaptureStep RunningStep(connection& conn) = 0;

    std::uint32_t Now() const;
    bool HasClock() const { return clock_ != nullptr; }
    static std::int64_t WallMicroseconds();
    // "St[%.4u] dT[%6u] FLen[%.4u] " with dT = tick - lastShownTick; lastShownTick := tick.
    std::string LineHead(int status, std::uint32_t tick, std::size_t count);
    // Every byte as "%.2X " (two upper-case hex digits and a blank).
    static void AppendHex(std::string& line, const std::uint8_t* bytes, std::size_t n);
    // "Raw[" + every byte + "]".
    static void AppendRaw(std::string& line, const std::uint8_t* bytes, std::size_t n);
    // The step of a read that ended at tick: its lines and, unless it was silent, its piece.
    SCaptureStep Finish(int status, std::uint32_t tick, const std::uint8_t* bytes, std::size_t n,
                        std::vector<std::string> lines) const;

    // What Decode made of the piece it decoded last, for Finish. Capture thread only.
    std::uint8_t pieceDirection_ = DirectionUnknown;
    bool pieceFiltered_ = false;

private:
    std::uint32_t (*clock_)() = nullptr;
};

} // namespace vx4
