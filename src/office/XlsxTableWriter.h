#pragma once
// Writes a table of cell texts as an .xlsx workbook with one sheet: the last header row in
// bold, the data rows below it, the first column in the date-and-time format
// "dd.mm.yy hh:mm:ss", column widths fitted to the texts, a thin border on every cell of the
// block and the pane frozen below the header row. Cells are typed as a spreadsheet reads
// typed input (TypedInput.h): date-times become date-time numbers, numbers numbers, the
// rest text.
//
// The workbook is written in libxlsxwriter's constant-memory mode: the rows are asked for
// one at a time and flushed as they go, so that a table of any length takes a few
// megabytes. A table longer than a sheet holds goes on in further sheets named
// "<sheet>_2", "<sheet>_3"..., each with the header row again.

#include "office/TypedInput.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vx4 {

// The number format of the date-and-time column.
inline constexpr const char* XlsxDateTimeFormat = "dd.mm.yy hh:mm:ss";
// Rows of a sheet, the header row included.
inline constexpr std::uint32_t XlsxSheetRows = 1048576;

struct XlsxTableOptions {
    std::string sheetName = "Sheet1"; // at most 31 characters, none of []:*?/
    DateOrder dateOrder = DateOrder::DayMonthYear;
    std::uint32_t sheetRowLimit = XlsxSheetRows; // tests lower it
    // Called now and then with the share of rows written (0..1).
    std::function<void(double)> progress;
    // Folder for the writer's temporary files; empty: the workbook's folder.
    std::string tempDir;
};

struct XlsxWriteResult {
    int code = 0;      // 0 when written; -1 when the rows could not be stored; else libxlsxwriter's error number
    std::string error; // its text
    std::size_t sheets = 0;
    explicit operator bool() const { return code == 0; }
};

// Fills `cells` with the texts (UTF-8) of table row `row`, replacing what the previous call
// left there (the vector and its strings are reused from call to call, so that their
// buffers are); cells beyond those the reader sets count as empty only when the vector is
// shorter than columnCount.
using XlsxRowReader = std::function<void(std::size_t row, std::vector<std::string>& cells)>;

// Writes rowCount rows of columnCount cells. headerRows is the number of fixed rows at the
// top of the table: only the last of them is written (as row 1); with none, the sheet has
// no header row. A failed write removes the partial file.
XlsxWriteResult WriteXlsxTable(const std::string& path, std::size_t rowCount, std::size_t columnCount,
                               std::size_t headerRows, const XlsxRowReader& readRow,
                               const XlsxTableOptions& options);

// The same for rows held in memory (columnCount: the longest row).
XlsxWriteResult WriteXlsxTable(const std::string& path, const std::vector<std::vector<std::string>>& rows,
                               std::size_t headerRows, const XlsxTableOptions& options);

// The width (in the sheet's character units) that shows text without cutting it off.
double XlsxTextWidth(std::string_view text, bool bold);

} // namespace vx4
