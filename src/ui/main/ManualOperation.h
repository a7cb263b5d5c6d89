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
// frame does 2, 5, 6 and 7 only. The pause-only frame does 1, 4, 6 and 9: the polling
// start's opening and the editor's writes run off the window's thread that way.
//
// The window's thread never waits on the line: everything that exchanges frames or may
// wait for the line's lock (steps 2, 3, 5, 7 and 8 included) runs on a worker thread while
// the window's thread keeps painting. pollingPaused belongs to the window's thread, so
// step 4 is made there, as the frame begins: the 900 ms tick may run while steps 2 and 3
// wait for the line, and it must not start a configuration read (which switches the device
// object's polling back on) in between. Step 9 is made there after step 8 has ended.
//
// While the work runs the user's input does not reach the main window: it is dropped for
// the first showAfterMs (never replayed afterwards, so a key pressed twice runs its
// operation once), then a modal progress window (caption, optional bar, optional Cancel)
// takes it. Run() returns when the work has ended, so an operation reads as a straight
// sequence of steps.
//
// An exception thrown by the work is caught on the worker thread: the frame's closing
// steps still run, the user sees an error box with the caption and the exception's text,
// and the operation's result is -1.
//
// A failed opening in step 5 does not skip the operation: the connection counts the
// opening all the same (step 7 balances it), and the operation's exchanges then fail at
// once with the link's code, which each operation reports as it reports any failure.
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
    Full,      // polling of the device object switched off for the operation
    Light,     // the device object's polling left alone
    LinkOnly,  // only the link's open state is kept: pollingPaused is left alone
    Monitor,   // full, with pollingPaused set before anything else
    PauseOnly, // only pollingPaused is held; the link and the device object's polling are left alone
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
    // The same flag, for the core operations that look at it between their exchanges.
    const std::atomic<bool>& CancelFlag() const { return cancelled_; }
    // Result of opening the link in step 5 (0 when it was open already or opened).
    int OpenResult() const { return openResult_.load(); }

    // For the frame and its tests.
    void Cancel() { cancelled_ = true; }
    void SetOpenResult(int rc) { openResult_ = rc; }
    float Progress() const { return progress_.load(); }
    std::string Text() const;

private:
    std::atomic<bool> cancelled_{false};
    std::atomic<int> openResult_{0};
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
    // Called on the window's thread whenever the reported progress changes (the main
    // window's own progress bar follows it this way).
    std::function<void(float)> onProgress;
};

class ManualOperation : public QObject {
    Q_OBJECT
public:
    // pollingPaused is the main window's display flag; parent is the window the progress
    // window is modal over.
    ManualOperation(QWidget* parent, connection& conn, CVX4Obj& device, bool& pollingPaused);
    ~ManualOperation() override;

    // Runs the frame with work as step 6 on a worker thread. Returns work's result; -1
    // without doing anything when another operation is running.
    int Run(const OperationOptions& options, std::function<int(OperationContext&)> work);

    // Runs the frame around a modal window of the user-interface thread (link test,
    // monitors, system events): steps 1..5 (on the worker thread), then showModal() on this
    // thread, then steps 7..9. Returns the result of opening the link (0 when it was open
    // or opened); showModal is called also when opening failed, as the windows show the
    // failure themselves. -1 without doing anything when another operation is running.
    int RunAround(const OperationOptions& options, const std::function<void()>& showModal);

    // Runs the frame with work on a worker thread and then showModal on this thread, both as
    // step 6 (the system events: the read, then the list shown while the link is still as
    // the read had it). Returns work's result; -1 when another operation is running.
    int RunThenShow(const OperationOptions& options, std::function<int(OperationContext&)> work,
                    const std::function<void()>& showModal);

    // Runs work on a worker thread as a step inside the modal window that RunAround shows (a
    // monitor saving its capture): the window's thread keeps painting, input is held off and
    // the progress window (with Cancel when cancellable) shows as for Run; the frame's own
    // steps are not repeated. Cancel() and a stop signal reach the work's context. Returns
    // work's result, -1 when the work threw.
    int RunStep(const OperationOptions& options, std::function<int(OperationContext&)> work);

    // Result of opening the link for the operation in progress (0 when it was open or
    // opened): the modal window of RunAround reads it to say why nothing answers.
    int OpenResult() const { return openResult_; }

    // True while an operation runs; the main window takes no other device input then.
    bool Busy() const { return busy_; }
    // Stops the running operation's work as its Cancel button does (a stop signal).
    void Cancel();

    // The progress window of the operation in progress while it is shown, else null (for
    // pictures of the console and for tests).
    QWidget* ProgressWindow() const { return progressWindow_; }

signals:
    void busyChanged(bool busy);
    // The progress window of the running operation has just been shown.
    void progressWindowShown(QWidget* window);

private:
    struct Saved;
    int Frame(const OperationOptions& options, const std::function<int(OperationContext&)>& work,
              const std::function<void()>& showModal, int* openResult);
    void Begin(const OperationOptions& options, Saved& saved);
    void End(const OperationOptions& options, const Saved& saved);
    int OpenIfClosed(const OperationOptions& options, Saved& saved);
    void CloseIfOpened(const OperationOptions& options, const Saved& saved);
    // Runs job on a thread of its own while the window's thread keeps its events going.
    void RunOffThread(const OperationOptions& options, OperationContext& context, const std::function<void()>& job);

    QWidget* parent_;
    connection& conn_;
    CVX4Obj& device_;
    bool& pollingPaused_;
    OperationContext* running_ = nullptr; // the work's context while it runs
    bool busy_ = false;
    int openResult_ = 0;
    QWidget* progressWindow_ = nullptr;
};

} // namespace vx4
