#pragma once
// The export of the polled-value table ("toExcel", "Перенос в Excel"): the whole table is
// written as a new .xlsx workbook (office/XlsxTableWriter.h) into the folder for the user's
// files, named VX-4_<serial>_<yyyyMMdd-HHmmss>.xlsx, and opened with the desktop's
// application for spreadsheets. The user saves or discards it there; the console keeps no
// reference to it.

#include <QString>

#include <cstdint>
#include <functional>

class QDateTime;
class QWidget;

namespace vx4 {

class TPolledValuesModel;

inline constexpr const char* ExcelErrorCaption = "Ошибка";
// No application opened the workbook (the path of the written file follows on a new line).
inline constexpr const char* ExcelOpenFailedText =
    "Невозможно открыть Microsoft Excel!      \r\nВозможно, Excel не установлен на компьютере.";
// Writing the workbook failed (the path and the reason follow on a new line).
inline constexpr const char* ExcelTransferFailedText =
    "Невозможно перенести данные в Microsoft Excel!  \t  Возможно, Excel документ редактируется";

// "VX-4_<serial>_<yyyyMMdd-HHmmss>.xlsx"
QString ExportFileName(std::uint32_t serial, const QDateTime& time);
// A path in folder (ending in "/") under that name that no file has yet: "_2", "_3"... are
// added before ".xlsx" while one does.
QString UniqueExportPath(const QString& folder, std::uint32_t serial, const QDateTime& time);

struct TableExportOptions {
    std::uint32_t serial = 0; // of the identification record the device answered
    QString folder;           // empty: UserFilesDir()
    std::function<void(double)> progress;
};

// Writes and opens the workbook; shows the error box on failure. Returns the path of the
// workbook written (also when no application opened it), empty when none was written.
QString ExportTableToExcel(QWidget* parent, const TPolledValuesModel& model, const TableExportOptions& options);

// What opens the workbook (OpenWithDesktop unless set); an empty function restores it.
using WorkbookOpener = std::function<bool(const QString& path)>;
void SetWorkbookOpener(WorkbookOpener opener);

} // namespace vx4
