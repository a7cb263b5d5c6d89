#pragma once
// StopSignalWatcher: SIGINT, SIGTERM and SIGHUP end the console the normal way. The handler
// only writes the signal's number to a pipe; on the window's thread the watcher then
// cancels the running device operation (a download removes its staged file as after
// Cancel) and closes the modal windows it shows, waits until it has ended, and closes every
// window, so the main window's close
// writes the settings and the program leaves its event loop. The handlers in place before
// are restored at destruction. One watcher at a time.

#include <QObject>

#include <csignal>

class QSocketNotifier;

namespace vx4 {

class ManualOperation;

class StopSignalWatcher : public QObject {
    Q_OBJECT
public:
    explicit StopSignalWatcher(ManualOperation& operations, QObject* parent = nullptr);
    ~StopSignalWatcher() override;

    // The first signal that came, 0 while none did.
    int Signal() const { return signal_; }

private:
    void Arrived();
    void CloseWhenIdle();

    ManualOperation& operations_;
    QSocketNotifier* notifier_ = nullptr;
    int signal_ = 0;
    struct sigaction oldInt_ {}, oldTerm_ {}, oldHup_ {};
};

} // namespace vx4
