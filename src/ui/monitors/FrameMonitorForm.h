#pragma once
// TFrameMonitorForm: what the two frame monitor windows (Tvx3c_monitor, Tvx2_monitor) share:
// the toolbar with Save, Clear, Stop and Style, the log, and the capture thread that runs
// the monitor's capture steps while the window is shown.
//
// The capture thread belongs to the window: it starts when the window is shown (stopped at
// first) and is told to end when the window closes; closing waits for it at most 1000 ms,
// and a thread still blocked in a read then is collected at the next opening or when the
// window is destroyed. The thread hands its lines over in order, in batches, and never waits
// for the window to paint them. The log keeps at most LogCapacity lines, dropping the
// oldest. The pieces read are kept as well (up to CaptureCapacity pieces or
// CaptureByteCapacity bytes, oldest dropped) so that the capture can be saved as a pcap
// file; "Очистить" empties both.
//
// The log, the style and the monitor's own state survive closing and reopening.

#include "link/FrameMonitor.h"

#include <QDialog>
#include <QString>
#include <QStringList>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class QPlainTextEdit;
class QTimer;
class QToolBar;
class QToolButton;

namespace vx4 {

class connection;

class TFrameMonitorForm : public QDialog {
    Q_OBJECT
public:
    static constexpr int LogCapacity = 100000;
    static constexpr std::size_t CaptureCapacity = 100000;
    static constexpr std::size_t CaptureByteCapacity = 64u << 20;
    static constexpr int CloseWaitMs = 1000;
    // Lines handed over are shown together at most this often, so that a busy line costs
    // the window a few repaints a second rather than one per frame.
    static constexpr int ShowIntervalMs = 50;

    struct Setup {
        QString caption;        // "vx3c монитор"
        QString filePrefix;     // "VX4_": the proposed file is prefix + devNo + "_monitor.rtf"
        bool raisedPriority = false; // the capture thread runs two nice levels above normal
    };

    // devNo gives the main window's device number when a file name is proposed. The window
    // owns the monitor.
    TFrameMonitorForm(QWidget* parent, connection& conn, std::unique_ptr<CFrameMonitor> monitor, const Setup& setup,
                      std::function<std::uint32_t()> devNo);
    ~TFrameMonitorForm() override; // ends the capture thread

    // Toolbar buttons.
    void ToolButtonSaveClick();
    void ToolButtonClearClick();
    void ToolButtonStopClick();
    void ToolButtonStyleClick();

    // "VX4_12_monitor.rtf".
    QString ProposedFileName() const;
    // Runs a save's work off the window's thread (the main window passes its operation
    // frame); the work gets the flag that asks it to stop. Without one the work runs here.
    using OffThreadRunner = std::function<int(const QString& caption, std::function<int(const std::atomic<bool>&)>)>;
    void SetOffThreadRunner(OffThreadRunner runner) { offThread_ = std::move(runner); }

    // Writes the whole log as RTF / the capture as pcap, replacing the file. Empty on
    // success, otherwise the error text (also shown in an error box). The capture is written
    // off the window's thread: a fifo without a reader, or whose reader takes nothing or
    // goes away, is an error, never a frozen window.
    QString SaveLog(const QString& path);
    QString SaveCapture(const QString& path);

    // Appends one line to the log (the oldest goes when the log is full).
    void AppendLogLine(const QString& text);
    QStringList LogLines() const;
    std::vector<SCapturedPiece> CapturedPieces() const;
    // Lines the capture thread has handed over but the window has not shown yet.
    std::size_t PendingLines() const;
    // CPU time the capture thread has used (this and earlier showings), seconds.
    double CaptureCpuSeconds() const;
    bool CaptureRunning() const;

    CFrameMonitor& MonitorBase() { return monitor_; }

    // Tests use a smaller log.
    void SetLogCapacity(int lines);

    QToolBar* ToolBar1 = nullptr;
    QToolButton* ToolButtonSave = nullptr;
    QToolButton* ToolButtonClear = nullptr;
    QToolButton* ToolButtonStop = nullptr;
    QToolButton* ToolButtonStyle = nullptr;
    QPlainTextEdit* RichEdit = nullptr;

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void StartCapture();
    void StopCapture();
    void CollectThread();
    void CaptureLoop();
    void HandOver(std::vector<std::string>&& lines);
    void DrainPending();
    void StorePiece(SCapturedPiece&& piece);

    connection& conn_;
    std::unique_ptr<CFrameMonitor> owned_;
    CFrameMonitor& monitor_;
    Setup setup_;
    std::function<std::uint32_t()> devNo_;

    std::thread thread_;
    mutable std::mutex endLock_;
    std::condition_variable endSignal_;
    bool threadEnded_ = true;
    std::atomic<double> cpuBefore_{0.0}; // CPU seconds of the threads that have ended

    mutable std::mutex pendingLock_;
    std::vector<std::string> pending_;
    QTimer* showTimer_ = nullptr;

    mutable std::mutex storeLock_;
    std::deque<SCapturedPiece> pieces_;
    std::size_t pieceBytes_ = 0;
    OffThreadRunner offThread_;
};

} // namespace vx4
