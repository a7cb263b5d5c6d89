// Commands that bring data home: download, events, graduation.

#include "Output.h"
#include "Session.h"
#include "StopSignals.h"

#include "common/DarFile.h"
#include "common/GiGeArray.h"
#include "common/SystemEventsText.h"
#include "link/ResultCodes.h"
#include "link/Vx4prot.h"
#include "platform/Cp1251.h"
#include "platform/FreeSpace.h"
#include "platform/StagedFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

namespace vx4ctl {

using vx4::StagedFile;

namespace {

std::string BaseName(const std::string& name)
{
    const auto cut = name.find_last_of("/\\");
    return cut == std::string::npos ? name : name.substr(cut + 1);
}

// Writes text to path, replacing the file; an error message, empty on success.
std::string WriteWholeFile(const std::string& path, const std::string& text) { return StagedFile::Write(path, text); }

} // namespace

namespace {

// Copies the downloaded file from its start to standard output; an error message, empty on
// success.
std::string CopyToStandardOutput(std::FILE* file)
{
    if (std::fflush(file) != 0 || std::fseek(file, 0, SEEK_SET) != 0)
        return std::string("cannot read the downloaded file back: ") + std::strerror(errno);
    char buf[65536];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, file)) > 0)
        if (std::fwrite(buf, 1, n, stdout) != n)
            return std::string("cannot write to standard output: ") + std::strerror(errno);
    if (std::ferror(file))
        return std::string("cannot read the downloaded file back: ") + std::strerror(errno);
    if (std::fflush(stdout) != 0)
        return std::string("cannot write to standard output: ") + std::strerror(errno);
    return {};
}

} // namespace

int CmdDownload(const GlobalOptions& g, const CommandArgs& a)
{
    const std::string deviceName = vx4::Utf8ToCp1251(a.name);
    if (deviceName.empty() || deviceName.size() > vx4::MaxFileName) {
        PrintFailure("device file name must have 1.." + std::to_string(vx4::MaxFileName) + " bytes");
        return ExitUsage;
    }
    const bool toStandardOutput = a.outFile == "-";
    std::string path = a.outFile.empty() ? BaseName(a.name) : a.outFile;
    // A folder takes the file under the device file's name.
    if (struct stat st {}; !toStandardOutput && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        path += (path.back() == '/' ? "" : "/") + BaseName(a.name);
    if (path.empty() || (path.back() == '/' && !toStandardOutput)) {
        PrintFailure("no local file name for '" + a.name + "'; name the local file with -o");
        return ExitUsage;
    }
    // A stop signal cancels the transfer; the staged file is then removed on the way out.
    // The signals are caught before the staged file exists, so that no signal can end the
    // program between the two and leave it behind.
    StopSignals stop;
    // The local file must be writable before the device is asked for anything. Standard
    // output gets the file once it is whole, through a temporary file (a pipe has no free
    // space to check against the announced size).
    StagedFile out(path, StagedFile::Mode::ReplaceStaged);
    std::FILE* temporary = nullptr;
    if (toStandardOutput) {
        temporary = std::tmpfile();
        if (!temporary) {
            PrintFailure(std::string("cannot create a temporary file: ") + std::strerror(errno));
            return ExitFailed;
        }
    } else if (std::string err = out.Create(); !err.empty()) {
        PrintFailure(err);
        return ExitFailed;
    }
    struct CloseTemporary {
        std::FILE* f;
        ~CloseTemporary()
        {
            if (f)
                std::fclose(f);
        }
    } closeTemporary{temporary};
    std::FILE* const target = toStandardOutput ? temporary : out.File();
    Session session(g);
    std::uint32_t address = 0;
    if (stop.Requested() || session.Connect(&address) != 0)
        return stop.Requested() ? stop.ExitCode() : ExitFailed;
    vx4::CVX4Obj& device = session.Device();
    const bool polling = device.EnablePolling(false);
    int rc;
    int writeError = 0;
    std::uint32_t announced = 0;
    {
        ProgressBar bar("download");
        rc = device.DownloadFile(target, deviceName, [&bar](float f) { bar.Show(f); }, &stop.Flag(), &announced);
        writeError = errno;
    }
    device.EnablePolling(polling);
    const std::string shownPath = toStandardOutput ? std::string("the temporary file") : path;
    if (rc != 0) {
        if (rc == vx4::OPERATION_CANCELLED) {
            // stopped by a signal: nothing to say
        } else if (rc == vx4::LOCAL_NO_SPACE) {
            std::uint64_t room = 0;
            vx4::FreeSpace(target, &room);
            PrintFailure("not enough space for " + shownPath + ": the device file has " + std::to_string(announced) +
                         " bytes, the disk has room for " + std::to_string(room) + " bytes");
        } else if (rc == vx4::LOCAL_WRITE_FAILED) {
            PrintFailure("cannot write " + shownPath + ": " + std::strerror(writeError));
        } else if (rc == vx4::DEV_FILE_NOT_OPEN) {
            PrintError(rc, "VX-4: не удается открать файл");
            std::cerr << "  the device has no file '" << a.name << "' (names such as main.xmc, Hour.dat)\n";
        } else {
            session.Fail(rc);
        }
        if (!toStandardOutput)
            out.Discard();
        return rc == vx4::OPERATION_CANCELLED ? stop.ExitCode() : ExitFailed;
    }
    if (toStandardOutput) {
        if (std::string err = CopyToStandardOutput(temporary); !err.empty()) {
            PrintFailure(err);
            return ExitFailed;
        }
        return ExitOk;
    }
    if (std::string err = out.Commit(); !err.empty()) {
        PrintFailure(err);
        return ExitFailed;
    }
    return ExitOk;
}

int CmdEvents(const GlobalOptions& g, const CommandArgs& a)
{
    Session session(g);
    std::uint32_t address = 0;
    if (session.Connect(&address) != 0)
        return ExitFailed;
    std::vector<vx4::SSysEvent> events;
    // The device hands each event out once: a person at a terminal learns it before it
    // happens; a script has the help.
    if (a.outFile.empty() && ::isatty(1) == 1)
        std::cerr << "vx4ctl: reading takes the events off the device; the next read shows none. "
                     "Keep them with -o FILE.\n";
    const int rc = vx4::SystemEventsText::Read(session.Conn(), address, &events);
    // What was read before a failure is kept, as the events window keeps it.
    const std::string text = vx4::SystemEventsText::Text(events);
    if (g.json) {
        Json list = Json::array();
        for (const vx4::SSysEvent& e : events)
            list.push_back({{"taskId", e.TaskID},
                            {"evCode", e.EvCode},
                            {"tStamp", e.TStamp},
                            {"time", IsoTime(std::time_t(e.TStamp))},
                            {"evCnt", e.EvCnt},
                            {"text", Utf8(e.Text())}});
        PrintJson(Json{{"events", list}});
    } else if (a.outFile.empty()) {
        std::cout << Utf8(text) << std::flush;
    }
    if (!a.outFile.empty()) {
        if (std::string err = WriteWholeFile(a.outFile, text); !err.empty()) {
            PrintFailure(err);
            return ExitFailed;
        }
    }
    if (rc != 0) {
        session.Fail(rc);
        return ExitFailed;
    }
    return ExitOk;
}

int CmdGraduation(const GlobalOptions& g, const CommandArgs& a)
{
    Session session(g);
    std::uint32_t address = 0;
    if (session.Connect(&address) != 0)
        return ExitFailed;
    vx4::CGiGeArray table;
    if (int rc = session.Device().ReadGraduation(a.address, table); rc != 0) {
        session.Fail(rc);
        return ExitFailed;
    }
    std::vector<std::pair<double, double>> pairs;
    for (int i = 0; i < table.Count(); ++i) {
        const vx4::GiGePair p = table.Get(i);
        pairs.emplace_back(p.gi, p.ge);
    }
    const std::string text = vx4::DarFile::Text(vx4::DarFile::RowsFromPairs(pairs));
    if (g.json) {
        Json list = Json::array();
        for (const auto& [gi, ge] : pairs)
            list.push_back({{"gi", gi}, {"ge", ge}});
        PrintJson(Json{{"transducer", a.address}, {"pairs", list}});
        if (a.outFile.empty())
            return ExitOk;
    }
    if (!a.outFile.empty()) {
        if (std::string err = WriteWholeFile(a.outFile, text); !err.empty()) {
            PrintFailure(err);
            return ExitFailed;
        }
        return ExitOk;
    }
    // On standard output: the same lines in UTF-8, each ending with a line break.
    std::string lines = Utf8(text);
    std::string out;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (lines[i] == '\r' && i + 1 < lines.size() && lines[i + 1] == '\n')
            continue;
        out += lines[i];
    }
    std::cout << out << '\n';
    return ExitOk;
}

} // namespace vx4ctl
