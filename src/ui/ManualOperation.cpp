#include "ui/ManualOperation.h"

#include "device/Vx4obj.h"
#include "link/Connection.h"

#include <QDialog>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include <thread>

namespace vx4 {

void OperationContext::SetProgress(float fraction)
{
    if (fraction < 0.0f) fraction = 0.0f;
    if (fraction > 1.0f) fraction = 1.0f;
    progress_ = fraction;
}

void OperationContext::SetText(const std::string& text)
{
    std::lock_guard<std::mutex> hold(textLock_);
    text_ = text;
}

std::string OperationContext::Text() const
{
    std::lock_guard<std::mutex> hold(textLock_);
    return text_;
}

struct ManualOperation::Saved {
    bool pollingPaused = false;
    bool wasOpen = false;
    bool polling = false;
};

ManualOperation::ManualOperation(QWidget* parent, connection& conn, CVX4Obj& device,
                                 bool& pollingPaused)
    : QObject(parent), parent_(parent), conn_(conn), device_(device), pollingPaused_(pollingPaused)
{
}

ManualOperation::~ManualOperation() = default;

namespace {

// Runs job on a thread of its own while a modal progress window (shown after showAfterMs)
// keeps the user-interface thread painting. Returns when job has returned.
void RunOffThread(QWidget* parent, const OperationOptions& options, OperationContext& context,
                  const std::function<void()>& job)
{
    std::atomic<bool> done{false};
    QEventLoop loop;
    std::thread worker([&] {
        job();
        done = true;
        QMetaObject::invokeMethod(&loop, "quit", Qt::QueuedConnection);
    });

    QDialog window(parent);
    window.setWindowTitle(options.caption);
    window.setModal(true);
    window.setWindowFlag(Qt::WindowCloseButtonHint, false);
    auto* layout = new QVBoxLayout(&window);
    auto* label = new QLabel(options.caption, &window);
    layout->addWidget(label);
    QProgressBar* bar = nullptr;
    if (options.progressBar) {
        bar = new QProgressBar(&window);
        bar->setRange(0, 1000);
        bar->setValue(0);
        layout->addWidget(bar);
    }
    QPushButton* cancel = nullptr;
    if (options.cancellable) {
        cancel = new QPushButton(QStringLiteral("Отмена"), &window);
        layout->addWidget(cancel, 0, Qt::AlignRight);
        QObject::connect(cancel, &QPushButton::clicked, &window, [&context, cancel] {
            context.Cancel();
            cancel->setEnabled(false);
        });
    }
    window.resize(360, window.sizeHint().height());

    QElapsedTimer since;
    since.start();
    QTimer refresh;
    refresh.setInterval(50);
    QObject::connect(&refresh, &QTimer::timeout, &window, [&] {
        if (done) return;
        if (!window.isVisible() && since.elapsed() >= options.showAfterMs) window.show();
        if (bar) {
            const float f = context.Progress();
            if (f >= 0.0f) bar->setValue(static_cast<int>(f * 1000.0f));
        }
        const std::string text = context.Text();
        label->setText(text.empty() ? options.caption
                                    : options.caption + QStringLiteral("\n") + QString::fromStdString(text));
    });
    refresh.start();
    if (!done) loop.exec(QEventLoop::ExcludeUserInputEvents);
    // A blocked event loop is never left waiting: the flag is read after the loop ends too.
    while (!done) loop.processEvents(QEventLoop::ExcludeUserInputEvents | QEventLoop::WaitForMoreEvents);
    worker.join();
    refresh.stop();
    window.hide();
}

} // namespace

void ManualOperation::Enter(const OperationOptions& options, Saved& saved)
{
    saved.pollingPaused = pollingPaused_;
    if (options.kind == FrameKind::Monitor) pollingPaused_ = true;
    if (options.kind != FrameKind::LinkOnly) pollingPaused_ = true;
}

int ManualOperation::OpenIfClosed(const OperationOptions& options, Saved& saved)
{
    // Worker thread: steps 2, 3 and 5.
    saved.wasOpen = conn_.IsOpen();
    if (options.kind == FrameKind::Full || options.kind == FrameKind::Monitor)
        saved.polling = device_.EnablePolling(false);
    if (!saved.wasOpen) return conn_.Open();
    return 0;
}

void ManualOperation::Leave(const OperationOptions& options, const Saved& saved)
{
    // Worker thread: steps 7 and 8.
    if (!saved.wasOpen) conn_.Close();
    if (options.kind == FrameKind::Full || options.kind == FrameKind::Monitor)
        device_.EnablePolling(saved.polling);
}

int ManualOperation::Run(const OperationOptions& options, std::function<int(OperationContext&)> work)
{
    if (busy_) return -1;
    busy_ = true;
    emit busyChanged(true);
    Saved saved;
    Enter(options, saved);
    OperationContext context;
    int result = 0;
    RunOffThread(parent_, options, context, [&] {
        result = OpenIfClosed(options, saved);
        if (result == 0) result = work(context);
        Leave(options, saved);
    });
    if (options.kind != FrameKind::LinkOnly) pollingPaused_ = saved.pollingPaused;
    busy_ = false;
    emit busyChanged(false);
    return result;
}

int ManualOperation::RunAround(const OperationOptions& options, const std::function<void()>& showModal)
{
    if (busy_) return -1;
    busy_ = true;
    emit busyChanged(true);
    Saved saved;
    Enter(options, saved);
    OperationContext context;
    int opened = 0;
    RunOffThread(parent_, options, context, [&] { opened = OpenIfClosed(options, saved); });
    showModal();
    RunOffThread(parent_, options, context, [&] { Leave(options, saved); });
    if (options.kind != FrameKind::LinkOnly) pollingPaused_ = saved.pollingPaused;
    busy_ = false;
    emit busyChanged(false);
    return opened;
}

} // namespace vx4
