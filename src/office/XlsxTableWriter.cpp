#include "office/XlsxTableWriter.h"

#include "platform/StagedFile.h"

#include <xlsxwriter.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace vx4 {

namespace {

// Number formats a cell can take.
enum NumFmt : int { fmtGeneral = 0, fmtDateTime, fmtDate, fmtTime, fmtCount };

constexpr const char* NumFmtCode[fmtCount] = {nullptr, XlsxDateTimeFormat, "dd.mm.yyyy", "hh:mm:ss"};
// Characters of a value shown in each format.
constexpr double NumFmtChars[fmtCount] = {0, 17, 10, 8};
// Longest text a cell holds.
constexpr std::size_t MaxCellText = 32767;
constexpr double DefaultWidth = 8.43;
constexpr double MaxWidth = 255;

// Cell formats, made when first needed: bold or not, by number format; all with the border.
class Formats {
public:
    explicit Formats(lxw_workbook* wb) : wb_(wb) {}
    lxw_format* Get(bool bold, int numFmt)
    {
        lxw_format*& f = cache_[bold ? 1 : 0][std::size_t(numFmt)];
        if (f == nullptr) {
            f = workbook_add_format(wb_);
            if (f == nullptr)
                return nullptr;
            format_set_border(f, LXW_BORDER_THIN); // every cell of the block outlined
            if (bold)
                format_set_bold(f);
            if (NumFmtCode[numFmt] != nullptr)
                format_set_num_format(f, NumFmtCode[numFmt]);
        }
        return f;
    }
    // The first column's own format: the date-and-time format only, so that cells below
    // the block stay without borders.
    lxw_format* DateColumn()
    {
        if (dateColumn_ == nullptr) {
            dateColumn_ = workbook_add_format(wb_);
            if (dateColumn_ != nullptr)
                format_set_num_format(dateColumn_, XlsxDateTimeFormat);
        }
        return dateColumn_;
    }

private:
    lxw_workbook* wb_;
    std::array<std::array<lxw_format*, fmtCount>, 2> cache_{};
    lxw_format* dateColumn_ = nullptr;
};

// Cuts text to the longest a cell takes, at a character boundary, and blanks control
// characters that the sheet's XML cannot hold.
const std::string& CellText(const std::string& text, std::string& buf)
{
    bool clean = text.size() <= MaxCellText;
    for (char c : text)
        if (static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n' && c != '\r') {
            clean = false;
            break;
        }
    if (clean)
        return text;
    std::size_t n = std::min(text.size(), MaxCellText);
    while (n > 0 && n < text.size() && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80)
        --n;
    buf.assign(text, 0, n);
    for (char& c : buf)
        if (static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n' && c != '\r')
            c = ' ';
    return buf;
}

class SheetWriter {
public:
    SheetWriter(lxw_workbook* wb, Formats& formats, const XlsxTableOptions& options, std::size_t columnCount)
        : wb_(wb), formats_(formats), options_(options), columns_(columnCount)
    {
    }

    lxw_error Begin(const std::string& name)
    {
        ws_ = workbook_add_worksheet(wb_, name.c_str());
        if (ws_ == nullptr)
            return LXW_ERROR_CREATING_TMPFILE; // the sheet's row file could not be made
        widths_.assign(columns_, 0.0);
        nextRow_ = 0;
        hasHeader_ = false;
        return LXW_NO_ERROR;
    }

    lxw_error WriteRow(const std::vector<std::string>& cells, bool header)
    {
        const lxw_row_t row = nextRow_++;
        if (header)
            hasHeader_ = true;
        for (std::size_t c = 0; c < columns_; ++c) {
            static const std::string empty;
            const std::string& text = c < cells.size() ? cells[c] : empty;
            const TypedInput in = ReadTypedInput(text, options_.dateOrder);
            int numFmt = fmtGeneral;
            if (c == 0)
                numFmt = fmtDateTime; // the column's format, whatever is typed into it
            else if (in.kind == TypedInput::DateTime)
                numFmt = fmtDateTime;
            else if (in.kind == TypedInput::Date)
                numFmt = fmtDate;
            else if (in.kind == TypedInput::Time)
                numFmt = fmtTime;
            lxw_format* fmt = formats_.Get(header, numFmt);
            if (fmt == nullptr)
                return LXW_ERROR_MEMORY_MALLOC_FAILED;
            const lxw_col_t col = lxw_col_t(c);
            lxw_error rc;
            double width = 0;
            switch (in.kind) {
            case TypedInput::Blank:
                rc = worksheet_write_blank(ws_, row, col, fmt);
                break;
            case TypedInput::Text: {
                const std::string& t = CellText(text, buf_);
                rc = worksheet_write_string(ws_, row, col, t.c_str(), fmt);
                width = XlsxTextWidth(t, header);
                break;
            }
            default:
                rc = worksheet_write_number(ws_, row, col, in.value, fmt);
                width = numFmt == fmtGeneral ? XlsxTextWidth(text, header)
                                             : NumFmtChars[numFmt] * (header ? 1.1 : 1.0) + 1.0;
                break;
            }
            if (rc != LXW_NO_ERROR)
                return rc;
            widths_[c] = std::max(widths_[c], width);
        }
        return LXW_NO_ERROR;
    }

    lxw_row_t RowsWritten() const { return nextRow_; }

    // Widths fitted to the texts, the date column's format and the frozen header row.
    // False when the rows could not all be written to the sheet's row file (the library
    // does not check those writes itself).
    bool RowFileGood() const
    {
        FILE* f = ws_->optimize_tmpfile;
        return f == nullptr || (std::fflush(f) == 0 && !std::ferror(f));
    }

    lxw_error End()
    {
        for (std::size_t c = 0; c < columns_; ++c) {
            const double width = widths_[c] > 0 ? std::min(widths_[c], MaxWidth) : DefaultWidth;
            lxw_format* fmt = c == 0 ? formats_.DateColumn() : nullptr;
            if (lxw_error rc = worksheet_set_column(ws_, lxw_col_t(c), lxw_col_t(c), width, fmt); rc != LXW_NO_ERROR)
                return rc;
        }
        if (hasHeader_)
            worksheet_freeze_panes(ws_, 1, 0);
        return LXW_NO_ERROR;
    }

private:
    lxw_workbook* wb_;
    Formats& formats_;
    const XlsxTableOptions& options_;
    std::size_t columns_;
    lxw_worksheet* ws_ = nullptr;
    std::vector<double> widths_;
    lxw_row_t nextRow_ = 0;
    bool hasHeader_ = false;
    std::string buf_;
};

} // namespace

double XlsxTextWidth(std::string_view text, bool bold)
{
    // Widths relative to a digit of the sheet's default font (Calibri 11).
    double w = 0;
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        char32_t cp = c;
        int len = 1;
        if (c >= 0xF0)
            len = 4;
        else if (c >= 0xE0)
            len = 3;
        else if (c >= 0xC0)
            len = 2;
        if (len > 1) {
            cp = c & (0x7F >> len);
            for (int k = 1; k < len && i + std::size_t(k) < text.size(); ++k)
                cp = (cp << 6) | (static_cast<unsigned char>(text[i + std::size_t(k)]) & 0x3F);
        }
        i += std::size_t(len);
        if (cp == ' ' || cp == '.' || cp == ',' || cp == ':' || cp == ';' || cp == '\'' || cp == '|' || cp == 'i' ||
            cp == 'l' || cp == 'j' || cp == 'I' || cp == '!')
            w += 0.5;
        else if (cp >= '0' && cp <= '9')
            w += 1.0;
        else if ((cp >= 'A' && cp <= 'Z') || (cp >= 0x0410 && cp <= 0x042F) || cp == 0x0401)
            w += cp == 'M' || cp == 'W' || cp == 0x0416 || cp == 0x0428 || cp == 0x0429 || cp == 0x041C ? 1.6 : 1.25;
        else if (cp == 'm' || cp == 'w' || cp == 0x0436 || cp == 0x0448 || cp == 0x0449 || cp == 0x043C ||
                 cp == 0x044B || cp == 0x044E)
            w += 1.45;
        else
            w += 1.0;
    }
    if (bold)
        w *= 1.1;
    return w + 1.5; // the cell's margins
}

XlsxWriteResult WriteXlsxTable(const std::string& path, std::size_t rowCount, std::size_t columnCount,
                               std::size_t headerRows, const XlsxRowReader& readRow,
                               const XlsxTableOptions& options)
{
    XlsxWriteResult result;
    columnCount = std::min<std::size_t>(std::max<std::size_t>(columnCount, 1), LXW_COL_MAX);
    headerRows = std::min(headerRows, rowCount);
    const bool hasHeader = headerRows > 0;
    const std::uint32_t limit = std::max<std::uint32_t>(options.sheetRowLimit, 2);
    const std::size_t perSheet = hasHeader ? limit - 1 : limit;

    lxw_workbook_options wbOptions{};
    wbOptions.constant_memory = LXW_TRUE;
    // The row files go beside the workbook by default: a disk that fills up then makes the
    // workbook's own (checked) writes fail as well.
    std::string tempDir = options.tempDir;
    if (tempDir.empty()) {
        const std::size_t slash = path.find_last_of('/');
        tempDir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    }
    wbOptions.tmpdir = tempDir.data();
    wbOptions.use_zip64 = LXW_TRUE; // a long table makes a sheet over 4 GB uncompressed
    // The library writes the workbook under a neighbouring name, which takes the final
    // name only once it is complete.
    StagedFile staged(path, StagedFile::Mode::ReplaceStaged);
    if (std::string err = staged.Create(); !err.empty()) {
        result.code = -1;
        result.error = std::strerror(staged.Errno());
        return result;
    }
    const std::string stagedPath = staged.HandOver();
    lxw_workbook* wb = workbook_new_opt(stagedPath.c_str(), &wbOptions);
    if (wb == nullptr) {
        result.code = LXW_ERROR_MEMORY_MALLOC_FAILED;
        result.error = lxw_strerror(LXW_ERROR_MEMORY_MALLOC_FAILED);
        return result;
    }

    Formats formats(wb);
    SheetWriter sheet(wb, formats, options, columnCount);
    std::vector<std::string> header;
    std::vector<std::string> cells;
    cells.reserve(columnCount);
    if (hasHeader)
        readRow(headerRows - 1, header);

    lxw_error rc = LXW_NO_ERROR;
    int rowFileError = 0;
    const std::size_t dataRows = rowCount - headerRows;
    std::size_t r = 0;
    do {
        const std::size_t n = result.sheets;
        const std::string name = n == 0 ? options.sheetName : options.sheetName + "_" + std::to_string(n + 1);
        if ((rc = sheet.Begin(name)) != LXW_NO_ERROR)
            break;
        ++result.sheets;
        if (hasHeader && (rc = sheet.WriteRow(header, true)) != LXW_NO_ERROR)
            break;
        const std::size_t end = std::min(dataRows, r + perSheet);
        for (; r < end; ++r) {
            readRow(headerRows + r, cells); // the reader overwrites the texts, keeping their buffers
            if ((rc = sheet.WriteRow(cells, false)) != LXW_NO_ERROR)
                break;
            if (options.progress && (r & 4095) == 4095)
                options.progress(double(r + 1) / double(dataRows));
        }
        if (rc != LXW_NO_ERROR)
            break;
        if (!sheet.RowFileGood()) {
            rowFileError = errno;
            break;
        }
        if ((rc = sheet.End()) != LXW_NO_ERROR)
            break;
    } while (r < dataRows);

    const lxw_error closed = workbook_close(wb);
    if (rc == LXW_NO_ERROR)
        rc = closed;
    if (rc != LXW_NO_ERROR || rowFileError != 0) {
        staged.Discard(); // an older file of the name stays as it was
        result.code = rowFileError != 0 ? -1 : int(rc);
        result.error = rowFileError != 0 ? "writing the sheet's rows failed: " + std::string(std::strerror(rowFileError))
                                         : lxw_strerror(rc);
        return result;
    }
    if (std::string err = staged.Commit(); !err.empty()) {
        result.code = -1;
        result.error = std::strerror(staged.Errno());
        return result;
    }
    if (options.progress)
        options.progress(1.0);
    return result;
}

XlsxWriteResult WriteXlsxTable(const std::string& path, const std::vector<std::vector<std::string>>& rows,
                               std::size_t headerRows, const XlsxTableOptions& options)
{
    std::size_t columns = 0;
    for (const auto& row : rows)
        columns = std::max(columns, row.size());
    return WriteXlsxTable(
        path, rows.size(), columns, headerRows,
        [&rows](std::size_t r, std::vector<std::string>& cells) { cells = rows[r]; }, options);
}

} // namespace vx4
