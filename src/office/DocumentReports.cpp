#include "office/DocumentReports.h"

#include "link/Frames.h"
#include "office/WordDocument.h"
#include "options/Optlist.h"
#include "platform/FileLocations.h"
#include "platform/StagedFile.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vx4 {

namespace {

constexpr int SystemTables = SConfigInfo::MaxSystems;

std::string Format(const char* format, auto... args)
{
    char buffer[160];
    std::snprintf(buffer, sizeof buffer, format, args...);
    return buffer;
}

std::string FileTime(std::time_t when)
{
    std::tm t{};
    localtime_r(&when, &t);
    char buffer[32];
    std::strftime(buffer, sizeof buffer, "%Y%m%d_%H%M%S", &t);
    return buffer;
}

// Writes bytes to a new file in dir named name, or name with "_2", "_3", ... before its
// extension when that exists: an existing file is never replaced.
int WriteNewFile(const std::string& dir, const std::string& name, const std::string& bytes, std::string* path,
                 std::string* error)
{
    const auto dot = name.rfind('.');
    const std::string stem = name.substr(0, dot), ext = dot == std::string::npos ? std::string() : name.substr(dot);
    int failure = EEXIST;
    std::string reason;
    for (int n = 1; n <= 1000; ++n) {
        *path = dir + (n == 1 ? name : stem + "_" + std::to_string(n) + ext);
        reason = StagedFile::Write(*path, bytes, StagedFile::Mode::KeepExisting, &failure);
        if (reason.empty()) return 0;
        if (failure != EEXIST) break;
    }
    // A link of another user's under that name is named in the writer's own text.
    *error = "Не удалось записать документ " + *path + ": " +
             (failure == EACCES && reason.find("symbolic link") != std::string::npos ? reason : std::strerror(failure));
    return CWordDocument::WriteFailed;
}

// The document from the template as it was read when looked up, or from its path.
int FromTemplate(CWordDocument& doc, const std::string& path, const std::optional<ReportTemplate>& file)
{
    if (!file) return doc.AddDocumentFromTemplate(path);
    if (file->read) return doc.AddDocumentFromTemplateBytes(file->bytes, path);
    return doc.TemplateNotRead(path, file->why);
}

// Runs the report's steps and keeps the first failure.
class ReportRun {
public:
    ReportRun(ReportSource& source, const COptionBank& bank, const ReportFiles& files, const ReportProgress& progress,
              const ReportCancelled& cancelled)
        : source_(source), bank_(bank), files_(files), progress_(progress), cancelled_(cancelled)
    {
    }

    ReportOutcome Run()
    {
        if (ParameterMap()) Graduations();
        return std::move(outcome_);
    }

private:
    // False (and the failure kept) when rc is not 0.
    bool Ok(int rc, const CWordDocument& doc)
    {
        if (rc == 0) return true;
        outcome_.error = rc;
        outcome_.errorText = doc.ErrorText();
        return false;
    }

    void Progress(float fraction, const std::string& text)
    {
        if (progress_) progress_(fraction, text);
    }

    // True once the user asked to stop; the document in hand is then dropped unwritten.
    bool Cancelled()
    {
        if (!outcome_.cancelled && cancelled_ && cancelled_()) outcome_.cancelled = true;
        return outcome_.cancelled;
    }

    bool Write(CWordDocument& doc, const std::string& name, ReportDocument::Kind kind, std::uint32_t transducer)
    {
        std::string bytes;
        if (!Ok(doc.Save(&bytes), doc)) return false;
        std::string path;
        if (int rc = WriteNewFile(files_.outDir, name, bytes, &path, &outcome_.errorText); rc != 0) {
            outcome_.error = rc;
            return false;
        }
        outcome_.documents.push_back({kind, transducer, path});
        return true;
    }

    bool ParameterMap()
    {
        Progress(0.0f, "Карта параметров");
        const SVX4_Info info = source_.GetDeviceInfo();
        const std::uint32_t serial = info.ident.serial;
        CWordDocument doc;
        if (!Ok(FromTemplate(doc, files_.mapTemplate, files_.mapFile), doc)) return false;
        if (!Ok(doc.WritePageHeader(Format("VX-4 № %u\tкарта настроечных параметров\t", serial) +
                                    ReportDateTime(std::time(nullptr))),
                doc))
            return false;
        const SVX4_Info fresh = source_.GetDeviceInfo();
        const std::pair<std::string, std::string> marks[] = {
            {"Дата_Протокола", ReportDateTime(std::time(nullptr))},
            {"Номер_VX_4", Format("%u", serial)},
            {"Версия_ПО", Format("%u.%u.%u", unsigned(info.ident.swMajor), unsigned(info.ident.swMinor),
                                 unsigned(info.ident.swBuild))},
            {"КС_конфигурации", Format("%X", fresh.checksum)},
        };
        for (const auto& [mark, text] : marks)
            if (!Ok(doc.FillNamedMark(mark, text), doc)) return false;
        for (int s = 1; s <= SystemTables; ++s) {
            const std::string text = info.systemNames[std::size_t(s - 1)] + " (" + info.systemNotes[std::size_t(s - 1)] + ")";
            if (!Ok(doc.FillNamedMark("Краткое_описание_системы_" + std::to_string(s), text), doc)) return false;
        }

        // Each system's table starts with its heading row and one empty row.
        int nextRow[SystemTables + 1];
        std::fill(std::begin(nextRow), std::end(nextRow), 2);
        int number = 0;
        const std::uint32_t count = std::min<std::uint32_t>(info.itemCount, 0xFFFF);
        for (std::uint32_t k = 1; k <= count; ++k) {
            if (Cancelled()) return false;
            if (k % 256 == 0) Progress(0.5f * float(k) / float(count), "Карта параметров");
            const SNodeInfo node = source_.GetNodeInfo(std::uint16_t(k));
            if (node.kind != ITEM_CONST) continue;
            ++number;
            const int s = node.data[0];
            // System 0 is the device as a whole and is not printed; a system number beyond
            // the nine a device has names no table and is passed over as well.
            if (s < 1 || s > SystemTables) continue;
            const float value = GetF32(node.data.data() + 7);
            std::string shown = OptionLabel(bank_, node.name, value);
            if (shown.empty()) shown = GeneralNumberText(value);
            const int row = nextRow[s]++;
            if (!Ok(doc.SetTableCellText(s, row, 1, Format("%i", number)), doc) ||
                !Ok(doc.SetTableCellText(s, row, 2, node.name), doc) || !Ok(doc.SetTableCellText(s, row, 3, shown), doc) ||
                !Ok(doc.SetTableCellText(s, row, 4, OptionNote(bank_, node.name)), doc) || !Ok(doc.AddTableRow(s), doc))
                return false;
        }
        if (!Ok(doc.UpdateFields(), doc)) return false;
        return Write(doc, MapDocumentName(serial, std::time(nullptr)), ReportDocument::Map, 0);
    }

    void Graduations()
    {
        const std::vector<std::uint32_t> transducers = source_.GetTransducers();
        const std::uint32_t serial = source_.GetDeviceInfo().ident.serial;
        for (std::size_t j = 0; j < transducers.size(); ++j) {
            const std::uint32_t a = transducers[j];
            if (a == 0 || Cancelled()) break;
            Progress(0.5f + 0.5f * float(j) / float(transducers.size()), Format("ЗФЛ № %u", a));
            CGiGeArray table;
            if (source_.ReadGraduation(a, table) != 0) continue; // passed over without a word
            if (Cancelled()) break; // asked while the pairs were read
            CWordDocument doc;
            if (!Ok(FromTemplate(doc, files_.gradTemplate, files_.gradFile), doc)) return;
            if (!Ok(doc.WritePageHeader(Format("VX-4 № %u таблица градуировочных коэффициентов ЗФЛ № %u\t", serial, a) +
                                        ReportDateTime(std::time(nullptr))),
                    doc) ||
                !Ok(doc.FillNamedMark("Дата_Протокола", ReportDateTime(std::time(nullptr))), doc) ||
                !Ok(doc.FillNamedMark("Номер_ЗФЛ", Format("%u", a)), doc))
                return;
            for (int i = 0; i < table.Count(); ++i) {
                if (Cancelled()) return;
                const GiGePair p = table.Get(i);
                if (!Ok(doc.SetTableCellText(1, i + 2, 1, Format("%i", i)), doc) ||
                    !Ok(doc.SetTableCellText(1, i + 2, 2, GeneralNumberText(p.gi)), doc) ||
                    !Ok(doc.SetTableCellText(1, i + 2, 3, GeneralNumberText(p.ge)), doc) || !Ok(doc.AddTableRow(1), doc))
                    return;
            }
            if (!Ok(doc.UpdateFields(), doc) ||
                !Write(doc, GraduationDocumentName(serial, a, std::time(nullptr)), ReportDocument::Graduation, a))
                return;
        }
        Progress(1.0f, {});
    }

    ReportSource& source_;
    const COptionBank& bank_;
    const ReportFiles& files_;
    const ReportProgress& progress_;
    const ReportCancelled& cancelled_;
    ReportOutcome outcome_;
};

} // namespace

namespace {

// A template's size as a file: a few tens of kilobytes.
constexpr std::size_t MaxTemplateFileBytes = std::size_t(16) << 20;

ReportTemplate ReadTemplate(const std::vector<std::string>& folders, const char* name, std::string* path)
{
    ReportTemplate t;
    t.read = ReadDataFileIn(folders, name, MaxTemplateFileBytes, &t.bytes, path, &t.why);
    return t;
}

} // namespace

ReportFiles ReportTemplates()
{
    const std::vector<std::string> folders = DataFolders(ProgramDir());
    ReportFiles files;
    files.mapFile = ReadTemplate(folders, ParameterMapTemplate, &files.mapTemplate);
    files.gradFile = ReadTemplate(folders, GraduationTemplate, &files.gradTemplate);
    return files;
}

ReportFiles DefaultReportFiles()
{
    ReportFiles files = ReportTemplates();
    files.outDir = UserFilesDir("Reports");
    return files;
}

ReportOutcome PrintParameterMap(ReportSource& source, const COptionBank& constBank, const ReportFiles& files,
                                const ReportProgress& progress, const ReportCancelled& cancelled)
{
    if (files.outDir.empty()) {
        ReportOutcome none;
        none.error = CWordDocument::WriteFailed;
        none.errorText = "Не удалось создать папку для отчётов";
        return none;
    }
    ReportFiles f = files;
    if (f.outDir.back() != '/') f.outDir += '/';
    return ReportRun(source, constBank, f, progress, cancelled).Run();
}

std::string ReportDateTime(std::time_t when)
{
    std::tm t{};
    localtime_r(&when, &t);
    char buffer[128];
    if (std::strftime(buffer, sizeof buffer, "%x %X", &t) == 0) return {};
    return buffer;
}

std::string GeneralNumberText(float value)
{
    char buffer[64];
    if (!std::isfinite(value)) {
        std::snprintf(buffer, sizeof buffer, "%g", double(value));
        return buffer;
    }
    int precision = 1;
    for (; precision < 15; ++precision) {
        std::snprintf(buffer, sizeof buffer, "%.*g", precision, double(value));
        if (std::strtof(buffer, nullptr) == value) break;
    }
    // Whole digits are written out rather than as an exponent while they fit in 15.
    const double magnitude = std::fabs(double(value));
    if (magnitude >= 1.0 && magnitude < 1e15)
        precision = std::max(precision, int(std::floor(std::log10(magnitude))) + 1);
    std::snprintf(buffer, sizeof buffer, "%.*g", precision, double(value));
    return buffer;
}

std::string MapDocumentName(std::uint32_t serial, std::time_t when)
{
    return "VX-4_" + std::to_string(serial) + "_map_" + FileTime(when) + ".docx";
}

std::string GraduationDocumentName(std::uint32_t serial, std::uint32_t address, std::time_t when)
{
    return "VX-4_" + std::to_string(serial) + "_ZFL_" + std::to_string(address) + "_" + FileTime(when) + ".docx";
}

} // namespace vx4
