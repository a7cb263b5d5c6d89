#include "ui/main/ManualOperation.h"

#include "device/Vx4obj.h"
#include "link/Connection.h"
#include "ui/main/MessageBoxes.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>
#include <QWindow>

#include <exception>

#include <thread>

namespace vx4 {

void OperationContext::SetProgress(float fraction)
{
    if (!(fraction >= 0.0f)) fraction = 0.0f; // NaN included
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

ManualOperation::ManualOperation(QWidget* parent, connection& conn, CVX4Obj& device, bool& pollingPaused)
    : QObject(parent), parent_(parent), conn_(conn), device_(device), pollingPaused_(pollingPaused)
{
}

ManualOperation::~ManualOperation() = default;

namespace {

bool KeepsLink(FrameKind kind) { return kind != FrameKind::PauseOnly; }
bool StopsDevicePolling(FrameKind kind) { return kind == FrameKind::Full || kind == FrameKind::Monitor; }
bool PausesDisplay(FrameKind kind) { return kind != FrameKind::LinkOnly; }

// The modal progress window: caption, an optional bar, an optional Cancel. Closing it by
// the window manager or Escape does nothing unless the operation can be cancelled, in
// which case it is the same as Cancel.
class OperationWindow : public QDialog {
public:
    OperationWindow(QWidget* parent, const OperationOptions& options, OperationContext& context)
        : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint), context_(context),
          caption_(options.caption)
    {
        setObjectName("OperationWindow");
        setWindowTitle(options.caption);
        setModal(true);
        auto* layout = new QVBoxLayout(this);
        label_ = new QLabel(options.caption, this);
        label_->setObjectName("OperationText");
        label_->setMinimumWidth(320);
        layout->addWidget(label_);
        if (options.progressBar) {
            bar_ = new QProgressBar(this);
            bar_->setObjectName("OperationProgress");
            bar_->setRange(0, 1000);
            bar_->setValue(0);
            layout->addWidget(bar_);
        }
        if (options.cancellable) {
            cancel_ = new QPushButton(QStringLiteral("Отмена"), this);
            cancel_->setObjectName("OperationCancel");
            layout->addWidget(cancel_, 0, Qt::AlignRight);
            connect(cancel_, &QPushButton::clicked, this, [this] { CancelClick(); });
        }
        adjustSize();
    }

    // Takes over what the work has published since the last call.
    void Refresh()
    {
        if (bar_) {
            const float f = context_.Progress();
            if (f >= 0.0f) bar_->setValue(static_cast<int>(f * 1000.0f));
        }
        const std::string text = context_.Text();
        if (text != shownText_) {
            shownText_ = text;
            label_->setText(text.empty() ? caption_ : caption_ + QStringLiteral("\n") + QString::fromStdString(text));
        }
    }

    void reject() override
    {
        if (cancel_) CancelClick();
    }

protected:
    void closeEvent(QCloseEvent* event) override
    {
        event->ignore();
        reject();
    }

private:
    void CancelClick()
    {
        context_.Cancel();
        cancel_->setEnabled(false);
    }

    OperationContext& context_;
    QString caption_;
    QLabel* label_ = nullptr;
    QProgressBar* bar_ = nullptr;
    QPushButton* cancel_ = nullptr;
    std::string shownText_;
};

// Swallows the user's input to every window but the progress window while it lives.
class InputDropper : public QObject {
public:
    explicit InputDropper(QWidget& progressWindow) : progressWindow_(progressWindow)
    {
        QCoreApplication::instance()->installEventFilter(this);
    }
    ~InputDropper() override { QCoreApplication::instance()->removeEventFilter(this); }

protected:
    bool eventFilter(QObject* target, QEvent* event) override
    {
        if (!IsUserInput(event->type())) return false;
        // Once shown, the progress window takes what is meant for it (Cancel); the modal
        // state keeps everything else from the main window.
        auto* widget = qobject_cast<QWidget*>(target);
        if (progressWindow_.isVisible() && widget && (widget == &progressWindow_ || progressWindow_.isAncestorOf(widget)))
            return false;
        if (progressWindow_.isVisible() && qobject_cast<QWindow*>(target) == progressWindow_.windowHandle() &&
            progressWindow_.windowHandle() != nullptr)
            return false;
        return true;
    }

private:
    static bool IsUserInput(QEvent::Type type)
    {
        switch (type) {
        case QEvent::KeyPress:
        case QEvent::KeyRelease:
        case QEvent::ShortcutOverride:
        case QEvent::Shortcut:
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::Wheel:
        case QEvent::ContextMenu:
        case QEvent::TouchBegin:
        case QEvent::TouchUpdate:
        case QEvent::TouchEnd:
        case QEvent::TabletPress:
        case QEvent::TabletRelease:
            return true;
        default:
            return false;
        }
    }

    QWidget& progressWindow_;
};

} // namespace

void ManualOperation::RunOffThread(const OperationOptions& options, OperationContext& context,
                                   const std::function<void()>& job)
{
    std::atomic<bool> done{false};
    QObject wake; // lives on this thread: the worker's last posted call lands here
    std::thread worker([&] {
        try {
            job();
        } catch (...) {
            // The frame's own steps do not throw; whatever does is shown by Frame.
        }
        done = true;
        QMetaObject::invokeMethod(&wake, [] {}, Qt::QueuedConnection);
    });

    OperationWindow window(parent_, options, context);
    float shownProgress = -1.0f;
    auto refresh = [&] {
        window.Refresh();
        const float f = context.Progress();
        if (f >= 0.0f && f != shownProgress) {
            shownProgress = f;
            if (options.onProgress) options.onProgress(f);
        }
    };
    QElapsedTimer since;
    since.start();
    QTimer ticker;
    ticker.setInterval(50);
    QObject::connect(&ticker, &QTimer::timeout, &window, [&] {
        if (done) return;
        refresh();
        if (!window.isVisible() && since.elapsed() >= options.showAfterMs) {
            window.show();
            progressWindow_ = &window;
            emit progressWindowShown(&window);
        }
    });
    ticker.start();

    // Until the progress window shows, the user's input is dropped: a key pressed twice
    // must not run its operation a second time afterwards. Once the window shows, it takes
    // the input and the main window, blocked by it, gets none. Input still queued when the
    // work ends is dropped as well.
    InputDropper dropper(window);
    QEventLoop loop;
    while (!done) loop.processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    worker.join();
    loop.processEvents(QEventLoop::AllEvents);
    ticker.stop();
    refresh();
    progressWindow_ = nullptr;
    window.hide();
}

void ManualOperation::Begin(const OperationOptions& options, Saved& saved)
{
    // Steps 1 and 4, on the window's thread (see the header for why 4 comes first).
    saved.pollingPaused = pollingPaused_;
    if (PausesDisplay(options.kind)) pollingPaused_ = true;
}

int ManualOperation::OpenIfClosed(const OperationOptions& options, Saved& saved)
{
    // Worker thread: steps 2, 3 and 5.
    if (!KeepsLink(options.kind)) return 0;
    saved.wasOpen = conn_.IsOpen();
    if (StopsDevicePolling(options.kind)) saved.polling = device_.EnablePolling(false);
    if (!saved.wasOpen) return conn_.Open();
    return 0;
}

void ManualOperation::CloseIfOpened(const OperationOptions& options, const Saved& saved)
{
    // Worker thread: steps 7 and 8.
    if (!KeepsLink(options.kind)) return;
    if (!saved.wasOpen) conn_.Close();
    if (StopsDevicePolling(options.kind)) device_.EnablePolling(saved.polling);
}

void ManualOperation::End(const OperationOptions& options, const Saved& saved)
{
    // Step 9.
    if (PausesDisplay(options.kind)) pollingPaused_ = saved.pollingPaused;
}

int ManualOperation::Frame(const OperationOptions& options, const std::function<int(OperationContext&)>& work,
                           const std::function<void()>& showModal, int* openResult)
{
    if (busy_) return -1;
    busy_ = true;
    Saved saved;
    Begin(options, saved);
    emit busyChanged(true);
    OperationContext context;
    int result = 0;
    running_ = &context;
    bool failed = false;
    std::string failure;
    RunOffThread(options, context, [&] {
        context.SetOpenResult(OpenIfClosed(options, saved));
        if (work) {
            try {
                result = work(context);
            } catch (const std::exception& e) {
                failure = e.what();
                failed = true;
            } catch (...) {
                failed = true;
            }
        }
        if (!showModal || failed) CloseIfOpened(options, saved);
    });
    running_ = nullptr;
    openResult_ = context.OpenResult();
    if (openResult) *openResult = openResult_;
    if (failed) {
        // The frame is left as it was found; the user learns what went wrong.
        End(options, saved);
        busy_ = false;
        emit busyChanged(false);
        const QString what = failure.empty() ? QStringLiteral("неизвестная ошибка") : QString::fromStdString(failure);
        ShowErrorBox(parent_, options.caption.isEmpty() ? what : options.caption + QStringLiteral(": ") + what);
        return -1;
    }
    if (showModal) {
        showModal();
        OperationContext closing;
        RunOffThread(options, closing, [&] { CloseIfOpened(options, saved); });
    }
    End(options, saved);
    busy_ = false;
    emit busyChanged(false);
    return result;
}

void ManualOperation::Cancel()
{
    if (running_) running_->Cancel();
}

int ManualOperation::RunStep(const OperationOptions& options, std::function<int(OperationContext&)> work)
{
    OperationContext context;
    OperationContext* const outer = running_;
    running_ = &context;
    int result = -1;
    RunOffThread(options, context, [&] { result = work(context); });
    running_ = outer;
    return result;
}

int ManualOperation::Run(const OperationOptions& options, std::function<int(OperationContext&)> work)
{
    return Frame(options, work, {}, nullptr);
}

int ManualOperation::RunAround(const OperationOptions& options, const std::function<void()>& showModal)
{
    int opened = 0;
    const int rc = Frame(options, {}, showModal ? showModal : [] {}, &opened);
    return rc == -1 && opened == 0 ? -1 : opened;
}

int ManualOperation::RunThenShow(const OperationOptions& options, std::function<int(OperationContext&)> work,
                                 const std::function<void()>& showModal)
{
    return Frame(options, work, showModal ? showModal : [] {}, nullptr);
}

} // namespace vx4
