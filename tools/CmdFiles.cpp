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

int CmdDownload(const GlobalOptions& g, const CommandArgs& a)
{
    const std::string deviceName = vx4::Utf8ToCp1251(a.name);
    if (deviceName.empty() || deviceName.size() > vx4::MaxFileName) {
        PrintFailure("device file name must have 1.." + std::to_string(vx4::MaxFileName) + " bytes");
        return ExitUsage;
    }
    const std::string path = a.outFile.empty() ? BaseName(a.name) : a.outFile;
    if (path.empty()) {
        PrintFailure("no local file name for '" + a.name + "'; give one with -o");
        return ExitUsage;
    }
    // A stop signal cancels the transfer; the staged file is then removed on the way out.
    // The signals are caught before the staged file exists, so that no signal can end the
    // program between the two and leave it behind.
    StopSignals stop;
    // The local file must be writable before the device is asked for anything.
    StagedFile out(path, StagedFile::Mode::ReplaceStaged);
    if (std::string err = out.Create(); !err.empty()) {
        PrintFailure(err);
        return ExitFailed;
    }
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
        rc = device.DownloadFile(out.File(), deviceName, [&bar](float f) { bar.Show(f); }, &stop.Flag(), &announced);
        writeError = errno;
    }
    device.EnablePolling(polling);
    if (rc != 0) {
        if (rc == vx4::OPERATION_CANCELLED) {
            // stopped by a signal: nothing to say
        } else if (rc == vx4::LOCAL_NO_SPACE) {
            std::uint64_t room = 0;
            vx4::FreeSpace(out.File(), &room);
            PrintFailure("not enough space for " + path + ": the device file has " + std::to_string(announced) +
                         " bytes, the disk has room for " + std::to_string(room) + " bytes");
        } else if (rc == vx4::LOCAL_WRITE_FAILED) {
            PrintFailure("cannot write " + path + ": " + std::strerror(writeError));
        } else if (rc == vx4::DEV_FILE_NOT_OPEN) {
            PrintError(rc, "VX-4: не удается открать файл");
        } else {
            PrintError(rc);
        }
        out.Discard();
        return rc == vx4::OPERATION_CANCELLED ? stop.ExitCode() : ExitFailed;
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
    const int rc = vx4::SystemEventsText::Read(session.Conn(), address, &events);
    // What was read before a failure is kept, as the events window keeps it.
    const std::string text = vx4::SystemEventsText::Text(events);
    if (a.outFile.empty()) {
        std::cout << Utf8(text) << std::flush;
    } else if (std::string err = WriteWholeFile(a.outFile, text); !err.empty()) {
        PrintFailure(err);
        return ExitFailed;
    }
    if (rc != 0) {
        PrintError(rc);
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
        PrintError(rc);
        return ExitFailed;
    }
    std::vector<std::pair<double, double>> pairs;
    for (int i = 0; i < table.Count(); ++i) {
        const vx4::GiGePair p = table.Get(i);
        pairs.emplace_back(p.gi, p.ge);
    }
    const std::string text = vx4::DarFile::Text(vx4::DarFile::RowsFromPairs(pairs));
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
