#pragma once
// The .dar graduation file: a transducer's graduation pairs as text in code page 1251,
// lines separated by CR LF and no line break after the last line. The first line holds
// the header cells " №", "Gi" and "Ge" (" %s\t%9s\t%9s"); each pair follows as
// " %s\t% 9E\t% 9E" with its row number text, Gi and Ge. Numbers always use "." as the
// decimal point, whatever the locale.

#include <cstdint>
#include <string>
#include <vector>

namespace vx4 {

struct DarRow {
    std::string number; // row number text, as the table shows it (rows count from 0)
    double gi = 0;
    double ge = 0;
};

class DarFile {
public:
    // Rows numbered 0, 1, 2 ... for pairs given in table order.
    static std::vector<DarRow> RowsFromPairs(const std::vector<std::pair<double, double>>& pairs);

    // The whole file content (CP1251 bytes).
    static std::string Text(const std::vector<DarRow>& rows);

    // Writes Text(rows) to path, replacing an existing file. False when the file cannot be
    // created or written; an older file is then kept as it was.
    static bool Write(const std::string& path, const std::vector<DarRow>& rows);

    // The proposed file name of a transducer: "%8.8d.dar" (00001234.dar).
    static std::string FileName(std::int32_t transducerNo);

    // "% 9E" of a value, independent of the locale: a blank or "-", one digit, ".", six
    // digits, "E", the exponent's sign and at least two digits (" 1.500000E+00").
    static std::string Number(double v);
};

} // namespace vx4
