#include "ui/dialogs/TestConnection.h"

#include "link/ResultTexts.h"
#include "link/Vx4prot.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QFontDatabase>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <QTimer>
#include <QVBoxLayout>

#include <chrono>

namespace vx4 {

namespace {

const char* const ClassCaptions[TestConnCounters::Classes] = {
    "1 - Ошибка ожидания ответа.",  "2 - Ошибка контрольной суммы.", "3 - Ошибка длинны ответа.",
    "4 - Неверная команда ответа.", "5 - Неверный адрес ответа.",    "6 - Неизвестная ошибка.",
};

QLabel* BoldRightLabel(QWidget* parent, const char* name, const QString& text)
{
    auto* label = new QLabel(text, parent);
    label->setObjectName(name);
    label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    QFont f = label->font();
    f.setBold(true);
    label->setFont(f);
    return label;
}

} // namespace

TTestConnForm::TTestConnForm(QWidget* parent, connection& conn) : QDialog(parent), conn_(conn)
{
    setObjectName("TestConnForm");
    setWindowTitle(QStringLiteral("Удаленный пульт управления VX-4 (Тест связи)"));
    setModal(true);

    auto* layout = new QVBoxLayout(this);
    TrackBar1 = new QSlider(Qt::Horizontal, this);
    TrackBar1->setObjectName("TrackBar1");
    TrackBar1->setRange(0, 1015);
    TrackBar1->setValue(1015);
    TrackBar1->setTickInterval(57);
    TrackBar1->setTickPosition(QSlider::TicksBelow);
    layout->addWidget(TrackBar1);
    L_BuffSize = new QLabel(QStringLiteral("Буфер: 1015  byte"), this);
    L_BuffSize->setObjectName("L_BuffSize");
    layout->addWidget(L_BuffSize);

    auto* grid = new QGridLayout;
    for (int i = 0; i < TestConnCounters::Classes; ++i) {
        const QByteArray n = QByteArray::number(i + 1);
        Label[i] = new QLabel(QString::fromUtf8(ClassCaptions[i]), this);
        Label[i]->setObjectName("Label" + n);
        L_Err[i] = BoldRightLabel(this, "L_Err" + n, QStringLiteral("0"));
        L_ErrAux[i] = BoldRightLabel(this, "L_ErrAux" + n, QStringLiteral("0.00%"));
        L_Err[i]->setMinimumWidth(70);
        L_ErrAux[i]->setMinimumWidth(70);
        grid->addWidget(Label[i], i, 0);
        grid->addWidget(L_Err[i], i, 1);
        grid->addWidget(L_ErrAux[i], i, 2);
    }
    grid->setColumnStretch(0, 1);
    layout->addLayout(grid);

    L_Status = new QLabel(QString::fromUtf8(TestConnCounters::InitialStatusText()), this);
    L_Status->setObjectName("L_Status");
    QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    fixed.setBold(true);
    L_Status->setFont(fixed);
    layout->addWidget(L_Status);
    L_Link = new QLabel(this);
    L_Link->setObjectName("L_Link");
    L_Link->hide();
    layout->addWidget(L_Link);

    auto* buttons = new QHBoxLayout;
    Button3 = new QPushButton(QStringLiteral("&Help"), this);
    Button3->setObjectName("Button3");
    Button3->hide();
    B_Start = new QPushButton(QStringLiteral("Пуск"), this);
    B_Start->setObjectName("B_Start");
    B_Start->setDefault(true);
    B_Exit = new QPushButton(QStringLiteral("Выход"), this);
    B_Exit->setObjectName("B_Exit");
    buttons->addStretch(1);
    buttons->addWidget(Button3);
    buttons->addWidget(B_Start);
    buttons->addWidget(B_Exit);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize); // a fixed-size dialog

    connect(TrackBar1, &QSlider::valueChanged, this, &TTestConnForm::TrackBar1Change);
    connect(B_Start, &QPushButton::clicked, this, &TTestConnForm::B_StartClick);
    connect(B_Exit, &QPushButton::clicked, this, &TTestConnForm::B_ExitClick);

    refresh_ = new QTimer(this);
    refresh_->setInterval(50);
    connect(refresh_, &QTimer::timeout, this, &TTestConnForm::RefreshLabels);

    shared_ = std::make_shared<Shared>();
}

TTestConnForm::~TTestConnForm() { StopThread(); }

void TTestConnForm::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    FormShow();
    // Without a window manager the window may never be activated: the show counts as well.
    QTimer::singleShot(0, this, [this] {
        if (isVisible()) FormActivate();
    });
}

void TTestConnForm::changeEvent(QEvent* event)
{
    QDialog::changeEvent(event);
    if (event->type() == QEvent::ActivationChange && isActiveWindow() && isVisible()) FormActivate();
}

void TTestConnForm::done(int r)
{
    FormClose();
    QDialog::done(r);
}

void TTestConnForm::FormShow()
{
    if (threadStarted_) return; // shown again while this showing's thread runs
    shared_ = std::make_shared<Shared>();
    shared_->size = TrackBar1->value();
    shownGeneration_ = 0;
    B_Start->setText(QStringLiteral("Пуск"));
    RefreshLabels();
    L_Status->setText(QString::fromUtf8(TestConnCounters::InitialStatusText()));
}

void TTestConnForm::FormActivate()
{
    // One thread per showing; an activation that arrives while a close waits for the thread
    // (its events keep going) starts nothing.
    if (threadStarted_ || stopping_) return;
    threadStarted_ = true;
    shared_->stop = false;
    shared_->paused = true;
    thread_ = std::thread(&TTestConnForm::ThreadMain, std::ref(conn_), devNo_, shared_);
    refresh_->start();
}

void TTestConnForm::FormClose()
{
    StopThread();
    refresh_->stop();
    RefreshLabels();
}

void TTestConnForm::StopThread()
{
    if (!threadStarted_ || stopping_) return;
    stopping_ = true;
    shared_->stop = true;
    // Wait at most CloseWaitMs for the thread, keeping the window's events going.
    QElapsedTimer waited;
    waited.start();
    while (!shared_->ended && waited.elapsed() < CloseWaitMs) {
        if (QCoreApplication::instance() != nullptr)
            QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents, 5);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (shared_->ended)
        thread_.join();
    else {
        thread_.detach(); // inside a long echo: it ends by itself; shared_ keeps its flags alive
        released_.push_back(shared_);
    }
    threadStarted_ = false;
    stopping_ = false;
}

void TTestConnForm::WaitForReleasedThreads()
{
    for (const auto& shared : released_)
        while (!shared->ended)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    released_.clear();
}

void TTestConnForm::SetLinkResult(int rc)
{
    if (rc == 0) {
        L_Link->clear();
        L_Link->hide();
        return;
    }
    const char* text = ResultCodeText(rc);
    L_Link->setText(QStringLiteral("Связь не открыта: ошибка %1%2").arg(rc).arg(text ? QString::fromUtf8(text) : QString()));
    L_Link->show();
}

void TTestConnForm::B_StartClick()
{
    if (shared_->paused) {
        shared_->paused = false;
        B_Start->setText(QStringLiteral("Стоп"));
    } else {
        shared_->paused = true;
        B_Start->setText(QStringLiteral("Пуск"));
    }
}

void TTestConnForm::B_ExitClick() { reject(); }

void TTestConnForm::TrackBar1Change(int position)
{
    L_BuffSize->setText(QStringLiteral("Буфер: %1 byte").arg(position));
    shared_->size = position;
}

bool TTestConnForm::Running() const { return threadStarted_ && !shared_->ended; }

bool TTestConnForm::Paused() const { return shared_->paused; }

TestConnCounters TTestConnForm::Published() const
{
    std::lock_guard<std::mutex> hold(shared_->lock);
    return shared_->published;
}

void TTestConnForm::RunOneTest() { OneTest(conn_, devNo_, *shared_); }

void TTestConnForm::RefreshLabels()
{
    const std::uint32_t generation = shared_->generation;
    if (generation == shownGeneration_ && generation != 0) return;
    shownGeneration_ = generation;
    const TestConnCounters c = Published();
    for (int cls = 1; cls <= TestConnCounters::Classes; ++cls) {
        L_Err[cls - 1]->setText(QString::fromStdString(c.CountText(cls)));
        L_ErrAux[cls - 1]->setText(QString::fromStdString(c.ShareText(cls)));
    }
    if (c.tests != 0) L_Status->setText(QString::fromStdString(c.StatusText()));
}

int TTestConnForm::OneTest(connection& conn, std::uint32_t devNo, Shared& shared)
{
    const int rc = Echo(conn, devNo, std::uint16_t(shared.size.load()));
    shared.counters.Record(rc);
    std::lock_guard<std::mutex> hold(shared.lock);
    shared.published = shared.counters;
    ++shared.generation;
    return rc;
}

void TTestConnForm::ThreadMain(connection& conn, std::uint32_t devNo, std::shared_ptr<Shared> shared)
{
    using Clock = std::chrono::steady_clock;
    // An echo that fails sooner than this has not waited on the line.
    constexpr auto Quick = std::chrono::milliseconds(20);
    while (!shared->stop) {
        while (!shared->stop && !shared->paused) {
            const auto start = Clock::now();
            const int rc = OneTest(conn, devNo, *shared);
            if (rc == 0 || Clock::now() - start >= Quick) continue;
            // Failed at once (a link that is not open): pause before the next echo, watching
            // the flags meanwhile.
            const auto end = start + std::chrono::milliseconds(QuickFailurePauseMs);
            while (!shared->stop && !shared->paused && Clock::now() < end)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10)); // paused: only the flags are watched
    }
    shared->ended = true;
}

} // namespace vx4
