#include "ValuesWorkbook.h"

#include "Ctl.h"
#include "Output.h"

#include "common/GeneralFloatText.h"
#include "office/XlsxTableWriter.h"
#include "platform/NormalizeDecimalSeparator.h"

namespace vx4ctl {

ValuesWorkbook::ValuesWorkbook(std::string file, vx4::CVX4Obj& device, const std::vector<std::uint16_t>& ids)
    : file_(std::move(file))
{
    if (file_.empty())
        return;
    serial_ = device.GetDeviceInfo().ident.serial;
    std::vector<std::string> header{"Дата Время"};
    for (std::uint16_t id : ids) {
        const vx4::SNodeInfo info = device.GetNodeInfo(id);
        header.push_back(std::to_string(info.data[0]) + info.name);
    }
    rows_.push_back(std::move(header));
}

void ValuesWorkbook::Add(const std::string& time, const std::vector<float>& values)
{
    if (file_.empty())
        return;
    std::vector<std::string> row{time};
    for (float v : values)
        row.push_back(vx4::GeneralFloatText(double(v), vx4::DecimalSeparator()));
    rows_.push_back(std::move(row));
}

int ValuesWorkbook::Write()
{
    if (file_.empty())
        return ExitOk;
    vx4::XlsxTableOptions options;
    options.sheetName = "VX-4_" + std::to_string(serial_);
    options.dateOrder = vx4::DateOrder::DayMonthYear;
    const vx4::XlsxWriteResult r = vx4::WriteXlsxTable(file_, rows_, 1, options);
    if (!r) {
        PrintFailure("cannot write " + file_ + ": " + r.error);
        return ExitFailed;
    }
    return ExitOk;
}

} // namespace vx4ctl
