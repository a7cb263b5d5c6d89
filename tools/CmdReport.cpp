// Command: report. The parameter map and the graduation tables of the device as .docx
// documents, written as the console writes them (the templates from Matrix/, the labels and
// notes from constbank.xml), without a display.

#include "Output.h"
#include "Session.h"

#include "office/DocumentReports.h"
#include "options/OptionBank.h"
#include "platform/FileLocations.h"

#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstring>
#include <filesystem>
#include <iostream>

namespace vx4ctl {

int CmdReport(const GlobalOptions& g, const CommandArgs& a)
{
    // Dates and numbers in the documents follow the user's locale, as in the console.
    std::setlocale(LC_ALL, "");
    // The templates and the bank are read now, once: what the report uses is what was
    // checked, however long the device takes.
    vx4::ReportFiles files = vx4::ReportTemplates();
    if (a.outFile.empty()) {
        files.outDir = vx4::UserFilesDir("Reports");
    } else {
        std::error_code ec;
        std::filesystem::create_directories(a.outFile, ec);
        if (!std::filesystem::is_directory(a.outFile)) {
            std::cerr << "-o: " << a.outFile << " is not a folder that can be written to\n";
            return ExitUsage;
        }
        files.outDir = a.outFile;
    }
    // A template that is not found is named with the folders it was looked for in.
    for (const auto& [file, path] : {std::pair{&files.mapFile, files.mapTemplate},
                                      std::pair{&files.gradFile, files.gradTemplate}}) {
        if (!file->has_value() || !(*file)->read) {
            // A file that is there but was refused says why.
            const std::string why = file->has_value() ? (*file)->why : std::string();
            std::cerr << "vx4ctl: the report template " << path << " was not found in " << DataFoldersText()
                      << (why.empty() || why == std::strerror(ENOENT) ? std::string() : " (" + why + ")") << "\n";
            return ExitFailed;
        }
    }
    vx4::COptionBank bank;
    if (!bank.OpenFound(vx4::DataFolders(vx4::ProgramDir()), "constbank.xml"))
        std::cerr << "warning: " << bank.ErrorText() << " (looked for in " << DataFoldersText()
                  << "); values are shown without labels\n";

    Session session(g);
    std::uint32_t address = 0;
    if (session.Connect(&address) != 0 || session.ReadConfiguration() != 0)
        return ExitFailed;
    vx4::DeviceReportSource source(session.Device());
    const vx4::ReportOutcome out = vx4::PrintParameterMap(source, bank, files);
    if (g.json) {
        Json paths = Json::array();
        for (const vx4::ReportDocument& d : out.documents)
            paths.push_back(d.path);
        PrintJson(Json{{"documents", paths}});
    } else {
        for (const vx4::ReportDocument& d : out.documents)
            std::cout << d.path << "\n";
    }
    if (out.error != 0) {
        std::cerr << out.errorText << "\n";
        return ExitFailed;
    }
    return ExitOk;
}

} // namespace vx4ctl
