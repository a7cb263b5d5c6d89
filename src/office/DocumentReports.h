#pragma once
// The document reports: the device's parameter map and one graduation table per flow
// transducer, each a .docx made from its template in Matrix/ and written to the reports
// folder under a name of its own. No office application is involved; the console opens
// the written documents with the desktop's default application afterwards, vx4ctl only
// writes them.
//
// PrintParameterMap, in this order:
//   the parameter map: page header "VX-4 № <serial>\tкарта настроечных параметров\t<date>",
//   the marks Дата_Протокола, Номер_VX_4, Версия_ПО, КС_конфигурации and
//   Краткое_описание_системы_1.._9; then every constant of systems 1..9 in identifier order
//   into the next free row of its system's table (number, name, value or its label from the
//   constant bank, the bank's note), with an empty row kept after the last one; column 1
//   holds a running count over all constants, those of the device as a whole (system 0,
//   not printed) included; then the fields are marked for update;
//   then for each transducer in list order until the first address 0: its pairs are read
//   (a transducer that cannot be read is passed over) and its table written: page header,
//   Дата_Протокола, Номер_ЗФЛ, row i + 2 of table 1 = i, Gi, Ge.
// A template, mark or table that is missing, or a document that cannot be written, ends
// the report; the documents written before stay and are listed. Every loop is bounded: by
// the item count (at most 65535), the transducer list and each transducer's pairs.

#include "office/ReportSource.h"
#include "options/OptionBank.h"

#include <cstdint>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vx4 {

// Template names under the data folders (platform/FileLocations.h).
inline constexpr const char* ParameterMapTemplate = "Matrix/карта_параметров_шаблон.dotx";
inline constexpr const char* GraduationTemplate = "Matrix/GIGE_шаблон.dotx";

// A template as it was looked up: read once then (so that what is used is what was checked,
// however long the report waits for the device), or why it could not be.
struct ReportTemplate {
    bool read = false;
    std::string bytes;
    std::string why; // when not read: the reason (the system's, or the data file check's)
};

struct ReportFiles {
    std::string mapTemplate;   // path of the parameter map's template
    std::string gradTemplate;  // path of the graduation table's template
    std::string outDir;        // folder the documents go to, ending in "/"
    // Filled by ReportTemplates; when left empty, the paths above are opened when used.
    std::optional<ReportTemplate> mapFile, gradFile;
};

// The templates as the data folders hold them (found and read once), with no folder for
// the documents yet.
ReportFiles ReportTemplates();
// The templates as ReportTemplates reads them and the user's Reports folder.
ReportFiles DefaultReportFiles();

struct ReportDocument {
    enum Kind { Map, Graduation } kind = Map;
    std::uint32_t transducer = 0; // for a graduation table
    std::string path;
};

struct ReportOutcome {
    std::vector<ReportDocument> documents; // written, in order
    int error = 0;          // 0, or the CWordDocument code that ended the report
    std::string errorText;  // what was missing or could not be written
    bool cancelled = false; // the user stopped the report (no error)
};

// Progress: fraction 0..1 of the work and what is being done.
using ReportProgress = std::function<void(float fraction, const std::string& text)>;
// Asked before each constant of the map, before and after each transducer is read and
// before each of its pairs: true stops the report there. The document being filled is
// dropped; those written before stay.
using ReportCancelled = std::function<bool()>;

ReportOutcome PrintParameterMap(ReportSource& source, const COptionBank& constBank, const ReportFiles& files,
                                const ReportProgress& progress = {}, const ReportCancelled& cancelled = {});

// ---- text forms (the current C locale) ----
// The date in the locale's short form and the time in its long form ("%x %X").
std::string ReportDateTime(std::time_t when);
// A single as the shortest general decimal text (at most 15 significant digits) that reads
// back as the same single, with the locale's decimal separator.
std::string GeneralNumberText(float value);
// File names: VX-4_<serial>_map_<time>.docx, VX-4_<serial>_ZFL_<address>_<time>.docx.
std::string MapDocumentName(std::uint32_t serial, std::time_t when);
std::string GraduationDocumentName(std::uint32_t serial, std::uint32_t address, std::time_t when);

} // namespace vx4
