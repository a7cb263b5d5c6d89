#pragma once
// ManualOperation: the one frame around every one-shot device operation of the console.
//
// It keeps the polling display and the device object's own polling out of the way and
// leaves the link exactly as open or closed as it found it:
//   1. remember pollingPaused;            2. remember whether the link is open;
//   3. (full) EnablePolling(false);       4. pollingPaused := true;
//   5. open the link when it was closed;  6. the operation;
//   7. close the link when it was closed; 8. (full) EnablePolling(previous);
//   9. restore pollingPaused.
// Light frames leave out 3 and 8; monitor frames set pollingPaused before 2; the link-only
// frame does 2, 5, 6 and 7 only.
//
// The window's thread never waits on the line: everything that exchanges frames (opening
// the link included) runs on a worker thread while a modal progress window keeps the window
// painting and takes the user's input away from the main window. Run() returns when the
// work has ended, so an operation reads as a straight sequence of steps.
//
// User-interface thread only, except OperationContext, which the work uses.

#include <QObject>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

class QWidget;

namespace vx4 {

class CVX4Obj;
class connection;

enum class FrameKind {
    Full,     // polling of the device object switched off for the operation
    Light,    // the device object's polling left alone
    LinkOnly, // only the link's open state is kept: pollingPaused is left alone
    Monitor,  // full, with pollingPaused set before anything else
};

// What the device work sees while it runs on the worker thread. Thread-safe.
class OperationContext {
public:
    // Fraction 0..1 of the work done; shown by the progress window's bar.
    void SetProgress(float fraction);
    // A line of text under the caption (optional).
    void SetText(const std::string& text);
    // True once the user pressed Cancel; the work checks it between exchanges and stops.
    bool Cancelled() const { return cancelled_.load(); }

    // For the frame and its tests.
    void Cancel() { cancelled_ = true; }
    float Progress() const { return progress_.load(); }
    std::string Text() const;

private:
    std::atomic<bool> cancelled_{false};
    std::atomic<float> progress_{-1.0f}; // below 0: nothing reported yet
    mutable std::mutex textLock_;
    std::string text_;
};

struct OperationOptions {
    QString caption;                 // shown as the progress window's title and label
    FrameKind kind = FrameKind::Full;
    bool cancellable = false;        // a Cancel button where stopping is safe
    bool progressBar = false;        // a progress bar where the work reports one
    // The progress window is shown only when the work takes longer than this, so short
    // operations do not flash a window.
    int showAfterMs = 150;
};

class ManualOperation : public QObject {
    Q_OBJECT
public:
    // pollingPaused is the main window's display flag; parent is the window the progress
    // window is modal over.
    ManualOperation(QWidget* parent, connection& conn, CVX4Obj& device, bool& pollingPaused);
    ~ManualOperation() override;

    // Runs the frame with work as step 6 on a worker thread. Returns work's result, or the
    // result of opening the link when that failed (the work is then not run).
    int Run(const OperationOptions& options, std::function<int(OperationContext&)> work);

    // Runs the frame around a modal window of the user-interface thread (link test,
    // monitors, system events): steps 1..5 (on the worker thread), then showModal() on this
    // thread, then steps 7..9. Returns the result of opening the link (0 when it was open
    // or opened); showModal is called also when opening failed, as the windows show the
    // failure themselves.
    int RunAround(const OperationOptions& options, const std::function<void()>& showModal);

    // True while an operation runs; the main window takes no other device input then.
    bool Busy() const { return busy_; }

signals:
    void busyChanged(bool busy);

private:
    struct Saved;
    void Enter(const OperationOptions& options, Saved& saved);
    void Leave(const OperationOptions& options, const Saved& saved);
    int OpenIfClosed(const OperationOptions& options, Saved& saved);

    QWidget* parent_;
    connection& conn_;
    CVX4Obj& device_;
    bool& pollingPaused_;
    bool busy_ = false;
};

} // namespace vx4
