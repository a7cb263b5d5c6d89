#include "common/DarFile.h"

#include "platform/StagedFile.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace vx4 {

std::vector<DarRow> DarFile::RowsFromPairs(const std::vector<std::pair<double, double>>& pairs)
{
    std::vector<DarRow> rows;
    rows.reserve(pairs.size());
    for (std::size_t i = 0; i < pairs.size(); ++i)
        rows.push_back(DarRow{std::to_string(i), pairs[i].first, pairs[i].second});
    return rows;
}

std::string DarFile::Number(double v)
{
    std::string body;
    const bool negative = std::signbit(v);
    if (std::isnan(v)) {
        body = "NAN";
    } else if (std::isinf(v)) {
        body = "INF";
    } else {
        char buf[64];
        const auto r = std::to_chars(buf, buf + sizeof buf, std::fabs(v), std::chars_format::scientific, 6);
        body.assign(buf, r.ptr);
        for (char& c : body)
            if (c == 'e')
                c = 'E';
    }
    std::string text = (negative ? "-" : " ") + body;
    if (text.size() < 9)
        text.insert(0, 9 - text.size(), ' ');
    return text;
}

std::string DarFile::Text(const std::vector<DarRow>& rows)
{
    // " %s\t%9s\t%9s" of the header cells; "\xB9" is "№" in code page 1251.
    std::string text = " \xB9\t       Gi\t       Ge";
    for (const DarRow& row : rows) {
        text += "\r\n ";
        text += row.number;
        text += '\t';
        text += Number(row.gi);
        text += '\t';
        text += Number(row.ge);
    }
    return text;
}

bool DarFile::Write(const std::string& path, const std::vector<DarRow>& rows)
{
    return StagedFile::Write(path, Text(rows)).empty();
}

std::string DarFile::FileName(std::int32_t transducerNo)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%8.8d.dar", int(transducerNo));
    return buf;
}

} // namespace vx4
