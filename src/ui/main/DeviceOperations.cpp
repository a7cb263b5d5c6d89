#include "ui/main/DeviceOperations.h"

#include "common/ClockText.h"
#include "common/SystemEventsText.h"
#include "device/Vx4obj.h"
#include "link/Connection.h"
#include "link/ResultCodes.h"
#include "link/Vx4prot.h"
#include "platform/Cp1251.h"
#include "platform/FileLocations.h"
#include "platform/FreeSpace.h"
#include "platform/StagedFile.h"
#include "ui/dialogs/SaveDialog.h"
#include "ui/dialogs/Syseventdlg.h"
#include "ui/dialogs/TestConnection.h"
#include "ui/main/ManualOperation.h"
#include "ui/main/MessageBoxes.h"
#include "ui/main/PollingCycle.h"

#include <QFileInfo>
#include <QMainWindow>
#include <QProgressBar>

#include <cerrno>
#include <cstring>
#include <vector>

namespace vx4 {

namespace {

std::tm LocalNow()
{
    const std::time_t now = std::time(nullptr);
    std::tm t{};
    localtime_r(&now, &t);
    return t;
}

} // namespace

TDeviceOperations::TDeviceOperations(QObject* parent, DeviceOperationsContext context)
    : QObject(parent), c_(std::move(context)), now_(&LocalNow)
{
}

QStringList TDeviceOperations::DownloadFilters()
{
    return {QStringLiteral("БД (Hour Month Day Year Event) (*.dat)"), QStringLiteral("Осн. конф. (main.xmc) (*.xmc)"),
            QStringLiteral("Сист. контф. (*.xms) (*.xms)"),           QStringLiteral("Бланк отчета (*.xmb) (*.xmb)"),
            QStringLiteral("экранное меню (*.wmc) (*.wmc)"),          QStringLiteral("настройки (*.def) (*.def)")};
}

void TDeviceOperations::SetBusyCursors(bool busy)
{
    for (QWidget* w : {&c_.tree, &c_.editor}) {
        if (busy)
            w->setCursor(Qt::WaitCursor);
        else
            w->unsetCursor();
    }
}

void TDeviceOperations::N91Click()
{
    if (c_.operations.Busy()) return;
    OperationOptions options;
    options.caption = QStringLiteral("Поиск VX-4");
    options.kind = FrameKind::Full;
    options.cancellable = true; // seen between the identify's tries
    std::uint32_t serial = 0;
    std::uint32_t found = 0;
    c_.operations.Run(options, [&](OperationContext& context) {
        serial = c_.device.FindDevice(nullptr, &context.CancelFlag()).serial;
        if (serial != 0) found = c_.conn.DeviceNumber();
        return 0;
    });
    // Nothing answered, or the user cancelled (the search then took no answer): nothing
    // changes, no message.
    if (serial == 0) return;
    c_.devNo = found;
    c_.window.setWindowTitle(TPollingCycle::Caption(c_.devNo));
    emit deviceFound();
}

void TDeviceOperations::SyncTimeClick()
{
    if (c_.operations.Busy()) return;
    OperationOptions options;
    options.caption = QStringLiteral("Синхр. время");
    options.kind = FrameKind::Light;
    const std::uint32_t devNo = c_.devNo;
    const auto now = now_;
    c_.operations.Run(options, [&](OperationContext&) {
        // The result is not looked at; there is no message.
        SetClock(c_.conn, devNo, DeviceClockFromTm(now()));
        return 0;
    });
}

void TDeviceOperations::TestRTCClick()
{
    if (c_.operations.Busy()) return;
    OperationOptions options;
    options.caption = QStringLiteral("Тест RTC");
    options.kind = FrameKind::Light;
    const std::uint32_t devNo = c_.devNo;
    const int rc = c_.operations.Run(options, [&](OperationContext&) { return TestClock(c_.conn, devNo); });
    if (rc > 0)
        ShowErrorBox(&c_.window, QStringLiteral("Ошибка (Проверь SMODE)"));
    else if (rc < 0)
        ShowErrorBox(&c_.window, QStringLiteral("VX-4 недоступен"));
}

void TDeviceOperations::LoadFromVX4Click()
{
    if (c_.operations.Busy()) return;
    SaveDialogOptions dialog;
    dialog.title = QStringLiteral("Выгрузить из VX4");
    dialog.filters = DownloadFilters();
    dialog.defaultSuffix = QStringLiteral("dat");
    dialog.folder = QString::fromStdString(UserFilesDir());
    const QString path = AskSaveFileName(&c_.window, dialog);
    if (path.isEmpty()) return; // cancelled: no frame is entered
    DownloadTo(path);
}

void TDeviceOperations::DownloadTo(const QString& path)
{
    // The local file is made before anything is sent: one that cannot be created is refused
    // here. It is written under a temporary name and takes its place only when complete.
    StagedFile file(path.toStdString(), StagedFile::Mode::ReplaceStaged);
    if (!file.Create().empty()) {
        ShowErrorBox(&c_.window, QStringLiteral("Не удается создать файл %1\n%2")
                                     .arg(path, QString::fromLocal8Bit(std::strerror(file.Errno()))));
        return;
    }
    // The device file is the one the local file is named after.
    const std::string deviceName = Utf8ToCp1251(QFileInfo(path).fileName().toStdString());

    OperationOptions options;
    options.caption = QStringLiteral("Выгрузить из VX4");
    options.kind = FrameKind::Full;
    options.cancellable = true;
    options.progressBar = true;
    options.onProgress = c_.setProgress;
    SetBusyCursors(true);
    c_.progressBar.show();
    int writeError = 0;
    std::uint32_t announced = 0;
    const int rc = c_.operations.Run(options, [&](OperationContext& context) {
        const int result = c_.device.DownloadFile(
            file.File(), deviceName, [&context](float f) { context.SetProgress(f); }, &context.CancelFlag(),
            &announced);
        writeError = errno;
        return result;
    });
    QString error;
    if (rc == 0) {
        if (!file.Commit().empty())
            error = QStringLiteral("Не удается записать файл %1\n%2")
                        .arg(path, QString::fromLocal8Bit(std::strerror(file.Errno())));
    } else {
        std::uint64_t room = 0;
        if (rc == LOCAL_NO_SPACE) FreeSpace(file.File(), &room);
        file.Discard();
        if (rc == LOCAL_NO_SPACE)
            error = QStringLiteral("Недостаточно места для файла %1\nРазмер файла: %2 байт, свободно: %3 байт")
                        .arg(path)
                        .arg(announced)
                        .arg(room);
        else if (rc == LOCAL_WRITE_FAILED)
            error = QStringLiteral("Не удается записать файл %1\n%2")
                        .arg(path, QString::fromLocal8Bit(std::strerror(writeError)));
        else if (rc == DEV_FILE_NOT_OPEN)
            error = QStringLiteral("VX-4: не удается открать файл");
        else if (rc != OPERATION_CANCELLED)
            error = QStringLiteral("Ошибка: ") + QString::number(rc);
    }
    if (!error.isEmpty()) ShowErrorBox(&c_.window, error);
    c_.progressBar.hide();
    SetBusyCursors(false);
}

void TDeviceOperations::SysEventClick()
{
    if (c_.operations.Busy()) return;
    OperationOptions options;
    options.caption = QStringLiteral("Сист. события");
    options.kind = FrameKind::LinkOnly;
    options.cancellable = true;
    options.progressBar = true;
    options.onProgress = c_.setProgress;
    const std::uint32_t devNo = c_.devNo;
    std::vector<SSysEvent> events;
    c_.progressBar.show();
    c_.setProgress(0.0f);
    c_.operations.RunThenShow(
        options,
        [&](OperationContext& context) {
            // What was read before a failure (or Cancel) makes the list.
            SystemEventsText::Read(
                c_.conn, devNo, &events,
                [&context](unsigned r) { context.SetProgress(float(r) / float(SystemEventsText::MaxEvents - 1)); },
                &context.CancelFlag());
            return 0;
        },
        [&] {
            c_.sysEventForm.SetEvents(events);
            c_.sysEventForm.SetDeviceNumber(devNo);
            c_.progressBar.hide();
            c_.sysEventForm.exec();
        });
    c_.progressBar.hide();
}

void TDeviceOperations::TestConnectClick()
{
    if (c_.operations.Busy()) return;
    OperationOptions options;
    options.caption = QStringLiteral("Тест связи");
    options.kind = FrameKind::Full;
    const std::uint32_t devNo = c_.devNo;
    c_.operations.RunAround(options, [&] {
        c_.testConnForm.SetDeviceNumber(devNo);
        c_.testConnForm.SetLinkResult(c_.operations.OpenResult());
        c_.testConnForm.exec();
    });
}

} // namespace vx4
