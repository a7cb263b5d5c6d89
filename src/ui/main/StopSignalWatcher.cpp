#include "ui/main/StopSignalWatcher.h"

#include "ui/main/ManualOperation.h"

#include <QApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <QWidget>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace vx4 {

namespace {

int signalPipe[2] = {-1, -1};

void OnStopSignal(int signal)
{
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(signal);
    // A full pipe already holds a wake-up; nothing else can be done in a handler.
    if (::write(signalPipe[1], &byte, 1) < 0) {
    }
    errno = saved;
}

} // namespace

StopSignalWatcher::StopSignalWatcher(ManualOperation& operations, QObject* parent)
    : QObject(parent), operations_(operations)
{
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    notifier_ = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] { Arrived(); });
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, &oldInt_);
    sigaction(SIGTERM, &action, &oldTerm_);
    sigaction(SIGHUP, &action, &oldHup_);
}

StopSignalWatcher::~StopSignalWatcher()
{
    if (!notifier_) return;
    sigaction(SIGINT, &oldInt_, nullptr);
    sigaction(SIGTERM, &oldTerm_, nullptr);
    sigaction(SIGHUP, &oldHup_, nullptr);
    delete notifier_;
    ::close(signalPipe[0]);
    ::close(signalPipe[1]);
    signalPipe[0] = signalPipe[1] = -1;
}

void StopSignalWatcher::Arrived()
{
    unsigned char bytes[16];
    const ssize_t n = ::read(signalPipe[0], bytes, sizeof bytes);
    if (n <= 0 || signal_ != 0) return; // the first signal is being handled already
    signal_ = bytes[0];
    operations_.Cancel();
    CloseWhenIdle();
}

void StopSignalWatcher::CloseWhenIdle()
{
    if (operations_.Busy()) {
        // A window the operation shows (a monitor, the events list, a message) is closed so
        // that the operation can end; its own progress window goes with the Cancel above.
        for (QWidget* w : QApplication::topLevelWidgets())
            if (w->isVisible() && w->isModal() && w != operations_.ProgressWindow()) w->close();
        // The operation returns to its caller first, which removes what it had not finished.
        connect(&operations_, &ManualOperation::busyChanged, this,
                [this](bool busy) {
                    if (!busy) QTimer::singleShot(0, this, [] { QApplication::closeAllWindows(); });
                },
                Qt::SingleShotConnection);
        return;
    }
    QApplication::closeAllWindows();
}

} // namespace vx4
