// The frame monitors on the command line: the same capture steps and lines as the console's
// monitor windows, printed to standard output. Only the link is opened: nothing at all is
// sent (no identification, no address search, no purge traffic).

#include "Output.h"
#include "Session.h"
#include "StopSignals.h"

#include "link/PcapFile.h"
#include "link/Vx2Monitor.h"
#include "link/Vx3cMonitor.h"

#include <chrono>
#include <cstdio>
#include <iostream>
#include <memory>
#include <optional>

namespace vx4ctl {

int CmdMonitor(const GlobalOptions& g, const CommandArgs& a)
{
    const bool vx2 = a.monitorKind == "vx2";
    if (!vx2 && a.filter != "all") {
        std::cerr << "--filter: only the vx2 monitor tells requests from answers\n";
        return ExitUsage;
    }
    std::unique_ptr<vx4::CFrameMonitor> monitor;
    if (vx2) {
        auto m = std::make_unique<vx4::CVx2Monitor>();
        m->showFilter = a.filter == "requests"  ? vx4::CVx2Monitor::ShowRequests
                        : a.filter == "answers" ? vx4::CVx2Monitor::ShowAnswers
                                                : vx4::CVx2Monitor::ShowAll;
        monitor = std::move(m);
    } else {
        monitor = std::make_unique<vx4::CVx3cMonitor>();
    }
    monitor->isDecoded = !a.raw;

    vx4::CPcapFile pcap;
    std::string error;
    if (!a.pcapFile.empty() && !pcap.Open(a.pcapFile, &error)) {
        PrintFailure(error);
        return ExitFailed;
    }
    Session session(g);
    if (session.Open() != 0)
        return ExitFailed;

    // A stop signal is the usual end of a capture: the pcap file is then closed and kept.
    std::optional<StopSignals> stop(std::in_place);

    // There is no stopped state to leave: the capture runs from the moment the link is open.
    monitor->isStopped = false;
    const auto start = std::chrono::steady_clock::now();
    std::uint64_t shown = 0;
    bool pcapOk = true;
    while (!stop->Requested()) {
        if (a.seconds > 0 &&
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() >= a.seconds)
            break;
        const vx4::SCaptureStep step = monitor->CaptureStep(session.Conn());
        if (step.read && pcapOk && !a.pcapFile.empty() && !pcap.Write(step.piece, &error)) {
            PrintFailure(error);
            pcapOk = false;
            break;
        }
        for (const std::string& line : step.lines) {
            std::fwrite(line.data(), 1, line.size(), stdout);
            std::fputc('\n', stdout);
            if (line != vx4::CFrameMonitor::Separator)
                ++shown;
        }
        if (!step.lines.empty())
            std::fflush(stdout);
        if (a.lineLimit != 0 && shown >= a.lineLimit)
            break;
    }
    stop.reset();
    if (!a.pcapFile.empty() && pcapOk && !pcap.Close(&error)) {
        PrintFailure(error);
        pcapOk = false;
    }
    return pcapOk ? ExitOk : ExitFailed;
}

} // namespace vx4ctl
