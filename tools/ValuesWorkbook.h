#pragma once
// vx4ctl values --xlsx FILE: the samples of the values command as the console's table
// export writes them (office/XlsxTableWriter.h): the header row "Дата Время" and each
// value's caption (its system number followed by its name, such as 1T1), then one row per
// sample with its local date and time as printed and the values in the table's number
// format (a date-time cell of the sheet either way). The sheet is named "VX-4_" and the
// serial number the device answered.

#include "device/Vx4obj.h"

#include <cstdint>
#include <string>
#include <vector>

namespace vx4ctl {

class ValuesWorkbook {
public:
    // Nothing is collected or written when file is empty.
    ValuesWorkbook(std::string file, vx4::CVX4Obj& device, const std::vector<std::uint16_t>& ids);

    // One sample: its time ("YYYY-MM-DD HH:MM:SS") and a value per identifier, in the order
    // given.
    void Add(const std::string& time, const std::vector<float>& values);
    // Writes the workbook; the exit status (a failure is reported on standard error).
    int Write();

private:
    std::string file_;
    std::uint32_t serial_ = 0;
    std::vector<std::vector<std::string>> rows_;
};

} // namespace vx4ctl
