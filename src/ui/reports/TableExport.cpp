#include "ui/reports/TableExport.h"

#include "office/XlsxTableWriter.h"
#include "platform/FileLocations.h"
#include "ui/main/DesktopOpen.h"
#include "ui/main/MessageBoxes.h"
#include "ui/views/PolledValuesModel.h"

#include <QApplication>
#include <QDateTime>
#include <QFileInfo>

namespace vx4 {

namespace {

WorkbookOpener& Opener()
{
    static WorkbookOpener opener;
    return opener;
}

} // namespace

void SetWorkbookOpener(WorkbookOpener opener) { Opener() = std::move(opener); }

QString ExportFileName(std::uint32_t serial, const QDateTime& time)
{
    return QStringLiteral("VX-4_%1_%2.xlsx").arg(serial).arg(time.toString(QStringLiteral("yyyyMMdd-HHmmss")));
}

QString UniqueExportPath(const QString& folder, std::uint32_t serial, const QDateTime& time)
{
    const QString name = ExportFileName(serial, time);
    QString path = folder + name;
    const QString stem = path.left(path.size() - 5); // without ".xlsx"
    for (int n = 2; QFileInfo::exists(path); ++n)
        path = stem + QLatin1Char('_') + QString::number(n) + QStringLiteral(".xlsx");
    return path;
}

QString ExportTableToExcel(QWidget* parent, const TPolledValuesModel& model, const TableExportOptions& options)
{
    const QString caption = QString::fromUtf8(ExcelErrorCaption);
    QString folder = options.folder;
    if (folder.isEmpty())
        folder = QString::fromStdString(UserFilesDir());
    if (folder.isEmpty()) {
        ShowErrorBox(parent,
                     QString::fromUtf8(ExcelTransferFailedText) + QStringLiteral("\r\n") +
                         QString::fromStdString(UserFilesDir()) + QStringLiteral(": no folder for the user's files"),
                     caption);
        return {};
    }
    if (!folder.endsWith(QLatin1Char('/')))
        folder += QLatin1Char('/');
    const QString path = UniqueExportPath(folder, options.serial, QDateTime::currentDateTime());

    // The title row is the table's only fixed row; without it (nothing collected yet) the
    // rows are written as data.
    const int rows = model.DataRows();
    const bool titled = model.Titled();
    XlsxTableOptions xo;
    xo.sheetName = "VX-4_" + std::to_string(options.serial);
    xo.dateOrder = model.Texts().dateOrder;
    xo.progress = options.progress;
    QApplication::setOverrideCursor(Qt::WaitCursor);
    const XlsxWriteResult written = WriteXlsxTable(
        path.toStdString(), std::size_t(rows + (titled ? 1 : 0)), std::size_t(model.columnCount()), titled ? 1 : 0,
        [&model, titled](std::size_t row, std::vector<std::string>& cells) {
            model.RowTexts(int(row) - (titled ? 1 : 0), cells);
        },
        xo);
    QApplication::restoreOverrideCursor();
    if (!written) {
        ShowErrorBox(parent,
                     QString::fromUtf8(ExcelTransferFailedText) + QStringLiteral("\r\n") + path + QStringLiteral(": ") +
                         QString::fromStdString(written.error),
                     caption);
        return {};
    }
    const bool opened = Opener() ? Opener()(path) : OpenWithDesktop(path);
    if (!opened)
        ShowErrorBox(parent, QString::fromUtf8(ExcelOpenFailedText) + QStringLiteral("\r\n") + path, caption);
    return path;
}

} // namespace vx4
