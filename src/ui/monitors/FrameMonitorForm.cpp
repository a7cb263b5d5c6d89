#include "ui/monitors/FrameMonitorForm.h"

#include "ui/dialogs/ScreenPlacement.h"

#include "link/PcapFile.h"
#include "office/RtfWriter.h"
#include "ui/main/MessageBoxes.h"

#include <QFileDialog>
#include <QFont>
#include <QFontDatabase>
#include <QPlainTextEdit>
#include <QShowEvent>
#include <QTextBlock>
#include <QTextDocument>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <chrono>

namespace vx4 {

namespace {

const QString RtfFilter = QStringLiteral("Rich Text Format (*.rtf)");
const QString PcapFilter = QStringLiteral("pcap (*.pcap)");

double ThreadCpuSeconds(clockid_t clock)
{
    timespec ts{};
    if (clock_gettime(clock, &ts) != 0)
        return 0.0;
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// Two nice levels above the thread's own: the platform's way of running a thread ahead of
// normal ones. Needs the right to raise priority (CAP_SYS_NICE or RLIMIT_NICE); without it
// the thread simply runs at normal priority.
void RaiseThreadPriority()
{
    const pid_t tid = pid_t(::syscall(SYS_gettid));
    errno = 0;
    const int current = ::getpriority(PRIO_PROCESS, id_t(tid));
    if (current == -1 && errno != 0)
        return;
    (void)::setpriority(PRIO_PROCESS, id_t(tid), current - 2);
}

QToolButton* MakeButton(QToolBar* bar, const char* name, const QString& caption)
{
    auto* b = new QToolButton(bar);
    b->setObjectName(name);
    b->setText(caption);
    b->setToolButtonStyle(Qt::ToolButtonTextOnly);
    bar->addWidget(b);
    return b;
}

} // namespace

TFrameMonitorForm::TFrameMonitorForm(QWidget* parent, connection& conn, std::unique_ptr<CFrameMonitor> monitor,
                                     const Setup& setup, std::function<std::uint32_t()> devNo)
    : QDialog(parent), conn_(conn), owned_(std::move(monitor)), monitor_(*owned_), setup_(setup),
      devNo_(std::move(devNo))
{
    setWindowTitle(setup_.caption);
    setModal(true);
    resize(900, 520);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    ToolBar1 = new QToolBar(this);
    ToolBar1->setObjectName("ToolBar1");
    ToolButtonSave = MakeButton(ToolBar1, "ToolButtonSave", QStringLiteral("Сохранить"));
    ToolButtonClear = MakeButton(ToolBar1, "ToolButtonClear", QStringLiteral("Очистить"));
    ToolButtonStop = MakeButton(ToolBar1, "ToolButtonStop", QStringLiteral("Стоп"));
    ToolButtonStyle = MakeButton(ToolBar1, "ToolButtonStyle", QStringLiteral("Разбор"));
    layout->addWidget(ToolBar1);

    RichEdit = new QPlainTextEdit(this);
    RichEdit->setObjectName("RichEdit");
    RichEdit->setReadOnly(true);
    RichEdit->setLineWrapMode(QPlainTextEdit::NoWrap);
    RichEdit->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    RichEdit->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    RichEdit->setMaximumBlockCount(LogCapacity);
    RichEdit->setUndoRedoEnabled(false);
    // "Courier New" where it is installed (or its metric twin), else the system's fixed font.
    QFont font(QStringLiteral("Courier New"), 8);
    font.setStyleHint(QFont::TypeWriter);
    font.setFixedPitch(true);
    if (!QFontInfo(font).fixedPitch()) {
        font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
        font.setPointSize(8);
    }
    RichEdit->setFont(font);
    layout->addWidget(RichEdit, 1);

    showTimer_ = new QTimer(this);
    showTimer_->setSingleShot(true);
    showTimer_->setInterval(ShowIntervalMs);
    connect(showTimer_, &QTimer::timeout, this, &TFrameMonitorForm::DrainPending);

    connect(ToolButtonSave, &QToolButton::clicked, this, &TFrameMonitorForm::ToolButtonSaveClick);
    connect(ToolButtonClear, &QToolButton::clicked, this, &TFrameMonitorForm::ToolButtonClearClick);
    connect(ToolButtonStop, &QToolButton::clicked, this, &TFrameMonitorForm::ToolButtonStopClick);
    connect(ToolButtonStyle, &QToolButton::clicked, this, &TFrameMonitorForm::ToolButtonStyleClick);
}

TFrameMonitorForm::~TFrameMonitorForm()
{
    monitor_.stopCapture = true;
    if (thread_.joinable())
        thread_.join();
}

// ---- toolbar ---------------------------------------------------------------------------

void TFrameMonitorForm::ToolButtonStopClick()
{
    // The caption names the state the capture is in.
    if (monitor_.isStopped) {
        ToolButtonStop->setText(QStringLiteral("Старт"));
        monitor_.isStopped = false;
    } else {
        ToolButtonStop->setText(QStringLiteral("Стоп"));
        monitor_.isStopped = true;
    }
}

void TFrameMonitorForm::ToolButtonStyleClick()
{
    if (monitor_.isDecoded) {
        ToolButtonStyle->setText(QStringLiteral("Прост."));
        monitor_.isDecoded = false;
    } else {
        ToolButtonStyle->setText(QStringLiteral("Разбор"));
        monitor_.isDecoded = true;
    }
}

void TFrameMonitorForm::ToolButtonClearClick()
{
    // Lines already handed over but not yet shown belong to the log that is emptied too.
    {
        std::lock_guard<std::mutex> hold(pendingLock_);
        pending_.clear();
    }
    RichEdit->clear();
    std::lock_guard<std::mutex> hold(storeLock_);
    pieces_.clear();
    pieceBytes_ = 0;
}

QString TFrameMonitorForm::ProposedFileName() const
{
    return setup_.filePrefix + QString::number(devNo_ ? devNo_() : 0u) + QStringLiteral("_monitor.rtf");
}

void TFrameMonitorForm::ToolButtonSaveClick()
{
    const QString proposed = ProposedFileName();
    const QString base = proposed.left(proposed.size() - 4);
    QFileDialog dialog(this);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setNameFilters({RtfFilter, PcapFilter});
    dialog.selectFile(proposed);
    connect(&dialog, &QFileDialog::filterSelected, &dialog, [&dialog, base](const QString& filter) {
        dialog.selectFile(base + (filter == PcapFilter ? QStringLiteral(".pcap") : QStringLiteral(".rtf")));
    });
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return;
    const QString path = dialog.selectedFiles().first();
    const bool pcap = dialog.selectedNameFilter() == PcapFilter || path.endsWith(".pcap", Qt::CaseInsensitive);
    if (pcap)
        SaveCapture(path);
    else
        SaveLog(path);
}

QString TFrameMonitorForm::SaveLog(const QString& path)
{
    DrainPending();
    std::vector<std::string> lines;
    const QStringList log = LogLines();
    lines.reserve(std::size_t(log.size()));
    for (const QString& line : log)
        lines.push_back(line.toStdString());
    std::string error;
    if (WriteRtfFile(path.toStdString(), lines, SRtfFont{}, &error))
        return {};
    const QString text = QString::fromStdString(error);
    ShowErrorBox(this, text);
    return text;
}

QString TFrameMonitorForm::SaveCapture(const QString& path)
{
    std::string error;
    const std::vector<SCapturedPiece> pieces = CapturedPieces();
    const std::string file = path.toStdString();
    auto work = [&](const std::atomic<bool>& cancel) { return CPcapFile::Save(file, pieces, &error, &cancel) ? 0 : 1; };
    std::atomic<bool> never{false};
    const int rc = offThread_ ? offThread_(windowTitle(), work) : work(never);
    if (rc == 0)
        return {};
    if (error.empty())
        error = file + ": the capture could not be written";
    const QString text = QString::fromStdString(error);
    ShowErrorBox(this, text);
    return text;
}

// ---- the log -------------------------------------------------------------------------------

void TFrameMonitorForm::AppendLogLine(const QString& text) { RichEdit->appendPlainText(text); }

QStringList TFrameMonitorForm::LogLines() const
{
    QStringList lines;
    const QTextDocument* doc = RichEdit->document();
    if (doc->isEmpty())
        return lines;
    for (QTextBlock b = doc->begin(); b.isValid(); b = b.next())
        lines << b.text();
    return lines;
}

void TFrameMonitorForm::SetLogCapacity(int lines) { RichEdit->setMaximumBlockCount(lines); }

std::vector<SCapturedPiece> TFrameMonitorForm::CapturedPieces() const
{
    std::lock_guard<std::mutex> hold(storeLock_);
    return {pieces_.begin(), pieces_.end()};
}

std::size_t TFrameMonitorForm::PendingLines() const
{
    std::lock_guard<std::mutex> hold(pendingLock_);
    return pending_.size();
}

void TFrameMonitorForm::HandOver(std::vector<std::string>&& lines)
{
    bool post = false;
    {
        std::lock_guard<std::mutex> hold(pendingLock_);
        post = pending_.empty();
        for (std::string& line : lines)
            pending_.push_back(std::move(line));
    }
    // One wake-up per batch: everything that comes before the window takes the batch rides
    // along with it.
    if (post)
        QMetaObject::invokeMethod(
            this,
            [this] {
                if (!showTimer_->isActive())
                    showTimer_->start();
            },
            Qt::QueuedConnection);
}

void TFrameMonitorForm::DrainPending()
{
    std::vector<std::string> batch;
    {
        std::lock_guard<std::mutex> hold(pendingLock_);
        batch.swap(pending_);
    }
    if (batch.empty())
        return;
    QString text;
    std::size_t size = 0;
    for (const std::string& line : batch)
        size += line.size() + 1;
    text.reserve(qsizetype(size));
    for (std::size_t i = 0; i < batch.size(); ++i) {
        if (i)
            text += QLatin1Char('\n');
        text += QString::fromUtf8(batch[i].data(), qsizetype(batch[i].size()));
    }
    // One paragraph per line; the log drops its oldest lines beyond its capacity.
    RichEdit->appendPlainText(text);
}

void TFrameMonitorForm::StorePiece(SCapturedPiece&& piece)
{
    std::lock_guard<std::mutex> hold(storeLock_);
    pieceBytes_ += piece.bytes.size();
    pieces_.push_back(std::move(piece));
    while (!pieces_.empty() && (pieces_.size() > CaptureCapacity || pieceBytes_ > CaptureByteCapacity)) {
        pieceBytes_ -= pieces_.front().bytes.size();
        pieces_.pop_front();
    }
}

// ---- the capture thread ----------------------------------------------------------------

void TFrameMonitorForm::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    if (event->spontaneous())
        return;
    if (QWidget* p = parentWidget()) {
        const QRect r = p->frameGeometry();
        MoveOnScreen(this, r.center() - QPoint(width() / 2, height() / 2));
    }
    StartCapture();
}

void TFrameMonitorForm::hideEvent(QHideEvent* event)
{
    QDialog::hideEvent(event);
    if (!event->spontaneous())
        StopCapture();
}

void TFrameMonitorForm::CollectThread()
{
    if (thread_.joinable())
        thread_.join(); // told to end before; its last read is over long since
}

void TFrameMonitorForm::StartCapture()
{
    if (CaptureRunning() && !monitor_.stopCapture)
        return; // already capturing for this showing
    CollectThread(); // a thread told to end at the last closing ends after its read
    monitor_.isStopped = true;
    ToolButtonStop->setText(QStringLiteral("Стоп"));
    monitor_.stopCapture = false;
    {
        std::lock_guard<std::mutex> hold(endLock_);
        threadEnded_ = false;
    }
    thread_ = std::thread([this] { CaptureLoop(); });
}

void TFrameMonitorForm::StopCapture()
{
    monitor_.stopCapture = true;
    {
        std::unique_lock<std::mutex> hold(endLock_);
        endSignal_.wait_for(hold, std::chrono::milliseconds(CloseWaitMs), [this] { return threadEnded_; });
        if (threadEnded_ && thread_.joinable()) {
            hold.unlock();
            thread_.join();
        }
    }
    monitor_.isStopped = true;
    ToolButtonStop->setText(QStringLiteral("Стоп"));
    DrainPending();
}

bool TFrameMonitorForm::CaptureRunning() const
{
    std::lock_guard<std::mutex> hold(endLock_);
    return !threadEnded_;
}

double TFrameMonitorForm::CaptureCpuSeconds() const
{
    std::lock_guard<std::mutex> hold(endLock_);
    double seconds = cpuBefore_.load();
    if (!threadEnded_ && thread_.joinable()) {
        clockid_t clock;
        if (pthread_getcpuclockid(const_cast<std::thread&>(thread_).native_handle(), &clock) == 0)
            seconds += ThreadCpuSeconds(clock);
    }
    return seconds;
}

void TFrameMonitorForm::CaptureLoop()
{
    pthread_setname_np(pthread_self(), monitor_.Kind() == MonitorKind::Vx2 ? "vx2 capture" : "vx3c capture");
    if (setup_.raisedPriority)
        RaiseThreadPriority();
    while (!monitor_.stopCapture) {
        SCaptureStep step = monitor_.CaptureStep(conn_);
        if (step.read && !step.filtered)
            StorePiece(std::move(step.piece));
        if (!step.lines.empty())
            HandOver(std::move(step.lines));
    }
    std::lock_guard<std::mutex> hold(endLock_);
    cpuBefore_ = cpuBefore_.load() + ThreadCpuSeconds(CLOCK_THREAD_CPUTIME_ID);
    threadEnded_ = true;
    endSignal_.notify_all();
}

} // namespace vx4
