#pragma once
// The polling cycle of the main window: the user's switch between "Стоп" and "Опрос", the
// 900 ms tick (Timer1) with its four-state machine that turns the device object's state
// into what the window shows, and the three panels of the status bar.
//
// User-interface thread only. The tick never re-enters itself through its own work: the
// timer is stopped while the tick runs (only the write-error box, shown before that, lets
// further ticks run while it is open).

#include "link/Vx4Records.h"

#include <QObject>
#include <QTimer>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>

class QAction;
class QMainWindow;
class QProgressBar;

namespace vx4 {

class CVX4Obj;
class connection;
class ManualOperation;
class OperationContext;
class ConfigTree;
class ParamEditor;
class TDeviceInfoPanel;
class TStatusBar;

enum PollState : int {
    psRequestReload = 0, // the tree is not current: the next tick asks for a full re-read
    psLoading = 1,       // waiting for the device object's read to end
    psVerify = 2,        // tree built: check that the configuration did not change meanwhile
    psRunning = 3,       // values, device panel and clock refreshed every tick
};

// What the cycle works with; everything belongs to the main window and outlives the cycle.
struct PollingContext {
    QMainWindow& window;
    connection& conn;
    CVX4Obj& device;
    ConfigTree& tree;
    ParamEditor& editor;
    TDeviceInfoPanel& deviceInfo;
    TStatusBar& statusBar;
    QProgressBar& progressBar;
    QAction& stopItem;  // "Стоп" (F10)
    QAction& startItem; // "Опрос" (F11)
    bool& pollingPaused;
    int& pollState;
    std::uint32_t& devNo;
    std::function<void(float)> setProgress;
};

class TPollingCycle : public QObject {
    Q_OBJECT
public:
    static constexpr int TickMs = 900;
    static constexpr const char* CaptionText = "Удаленный пульт управления VX-4";

    // Timer1 runs from construction on.
    TPollingCycle(QObject* parent, PollingContext context);

    // The operation frame the opening and closing of the link run in, off the window's
    // thread (without one they run here).
    void SetOperations(ManualOperation* operations);

    // Runs work (which may wait for the line) in the operation frame (here only when there is
    // no frame at all), then `then` on this thread. While another operation runs, both are
    // queued and run once that operation has ended; 0 is returned then. A step queued right
    // after the same step (by caption) is dropped.
    int RunOnLine(const QString& caption, const std::function<int(OperationContext&)>& work,
                  const std::function<void()>& then = {});
    // Steps queued by RunOnLine that have not run yet.
    std::size_t PendingSteps() const { return pending_.size(); }

    void Start_pollingClick();
    void Stop_pollingClick();
    void Timer1Timer();
    // Lays the progress bar exactly over status panel 0.
    void StatusBarResize();
    // Resets the connection's statistics; the next tick shows zeros.
    void StatusBarDblClick();

    const DeviceClock& LastDeviceClock() const { return deviceClock_; }
    // What status panel 2 shows while stopped: "Стоп", or after the tick stopped polling
    // because nothing was read, "Стоп — <reason> (<code>)".
    const QString& StopText() const { return stopText_; }
    // Back to plain "Стоп" (a search found the device); shown at the next tick.
    void ClearStopReason() { stopText_ = QStringLiteral("Стоп"); }
    // "Стоп — <text of code> (<code>)", or "Стоп — <text>" for a read that failed with no
    // code (an empty configuration).
    static QString StopReasonText(int code);
    QTimer& Timer1() { return timer_; }
    // "Удаленный пульт управления VX-4 №<n>", or without number for 0.
    static QString Caption(std::uint32_t devNo);

signals:
    // One tick in psRunning after the calculated values were refreshed: the chart and the
    // table take their sample here.
    void AddPolledSample();

private:
    void RunningWork();
    // The tick's own stop: as F10, but the panel names why.
    void StopAfterFailedRead();
    void SetBusyCursors(bool busy);
    void SetPortItemEnabled(bool on);

    PollingContext c_;
    QTimer timer_;
    DeviceClock deviceClock_;
    ManualOperation* operations_ = nullptr;
    QString stopText_;
    // The result of the device object's last configuration read, written by its worker;
    // NoReadResult until one ends after the tick asked for it.
    static constexpr int NoReadResult = -0x7FFF;
    std::shared_ptr<std::atomic<int>> lastReadResult_;
    void RunPending();
    struct PendingStep {
        QString caption;
        std::function<int(OperationContext&)> work;
        std::function<void()> then;
    };
    std::deque<PendingStep> pending_;
};

} // namespace vx4
