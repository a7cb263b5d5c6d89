#include "ui/reports/ParameterMapReport.h"

#include "device/Vx4obj.h"
#include "link/ResultTexts.h"
#include "office/ReportSource.h"
#include "options/OptionBank.h"
#include "ui/main/DesktopOpen.h"
#include "ui/main/ManualOperation.h"
#include "ui/main/MessageBoxes.h"

#include <QAction>
#include <QWidget>
#include <QDir>
#include <QFileInfo>

namespace vx4 {

namespace {

const char* const Caption = "Печать карты настр. парам.";
// What the user is told when no application opens a written document.
const char* const NoWordText = "Невозможно открыть Microsoft Word!      Возможно, Word не установлен на компьютере.";

} // namespace

TParameterMapReport::TParameterMapReport(QWidget* window, CVX4Obj& device, const COptionBank& constBank,
                                         ManualOperation& frame)
    : QObject(window), window_(window), device_(device), bank_(constBank), frame_(frame),
      opener_([](const QString& path) { return OpenWithDesktop(path); })
{
    N4 = new QAction(QString::fromUtf8(Caption), this);
    N4->setObjectName("N4");
    N4->setStatusTip(QStringLiteral("Требуется запуск опроса (F11)"));
    N4->setToolTip(N4->statusTip());
    connect(N4, &QAction::triggered, this, &TParameterMapReport::N4Click);
}

void TParameterMapReport::N4Click()
{
    if (frame_.Busy()) return;
    outcome_ = {};
    // The map is made of the configuration the console has read; without one there is
    // nothing to print.
    if (!device_.IsConfigReady() || device_.GetDeviceInfo().itemCount == 0) {
        ShowErrorBox(window_, QStringLiteral("Конфигурация прибора не считана.\nТребуется запуск опроса (F11)"));
        return;
    }
    const ReportFiles files = files_ ? *files_ : DefaultReportFiles();
    DeviceReportSource source(device_);
    OperationOptions options;
    options.caption = QString::fromUtf8(Caption);
    options.kind = FrameKind::Light; // the report reads beside the polling, which waits for each read
    options.progressBar = true;
    options.cancellable = true; // seen between constants, transducers and pairs; the documents written so far stay
    const int rc = frame_.Run(options, [&](OperationContext& context) {
        outcome_ = PrintParameterMap(
            source, bank_, files,
            [&context](float fraction, const std::string& text) {
                context.SetProgress(fraction);
                context.SetText(text);
            },
            [&context] { return context.Cancelled(); });
        return 0;
    });
    if (rc != 0) { // the link could not be opened: nothing was done
        const char* text = ResultCodeText(rc);
        ShowErrorBox(window_, QStringLiteral("Ошибка связи: %1%2").arg(rc).arg(text ? QString::fromUtf8(text) : QString()));
        return;
    }
    for (const ReportDocument& d : outcome_.documents) {
        const QString path = QString::fromStdString(d.path);
        if (!opener_(path))
            ShowErrorBox(window_, QString::fromUtf8(NoWordText) + "\n" + QDir::toNativeSeparators(QFileInfo(path).absolutePath()),
                         QStringLiteral("Ошибка"));
    }
    if (outcome_.error != 0) ShowErrorBox(window_, QString::fromStdString(outcome_.errorText));
}

} // namespace vx4
