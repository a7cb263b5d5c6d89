// The frame monitors on the command line: the same capture steps and lines as the console's
// monitor windows, printed to standard output. Only the link is opened: nothing at all is
// sent (no identification, no address search, no purge traffic). With --pcap - the capture
// goes to standard output, flushed piece by piece (for a pipe into Wireshark), and the
// lines to standard error.

#include "Output.h"
#include "Session.h"

#include "link/PcapFile.h"
#include "link/Vx2Monitor.h"
#include "link/Vx3cMonitor.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <memory>

namespace vx4ctl {

namespace {

volatile std::sig_atomic_t interrupted = 0;

void OnSignal(int) { interrupted = 1; }

} // namespace

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
    std::FILE* const lineOut = a.pcapFile == vx4::CPcapFile::StandardOutput ? stderr : stdout;
    if (!a.pcapFile.empty() && !pcap.Open(a.pcapFile, &error)) {
        PrintFailure(error);
        return ExitFailed;
    }
    Session session(g);
    if (session.Open() != 0)
        return ExitFailed;

    interrupted = 0;
    struct sigaction action = {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    struct sigaction oldInt = {}, oldTerm = {};
    sigaction(SIGINT, &action, &oldInt);
    sigaction(SIGTERM, &action, &oldTerm);
    // A reader of the capture that goes away (Wireshark closed) shows as a failed write.
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction oldPipe = {};
    sigaction(SIGPIPE, &ignore, &oldPipe);

    // There is no stopped state to leave: the capture runs from the moment the link is open.
    monitor->isStopped = false;
    const auto start = std::chrono::steady_clock::now();
    std::uint64_t shown = 0;
    bool pcapOk = true;
    bool readerGone = false;
    while (!interrupted) {
        if (a.seconds > 0 &&
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() >= a.seconds)
            break;
        const vx4::SCaptureStep step = monitor->CaptureStep(session.Conn());
        if (step.read && pcapOk && !a.pcapFile.empty() && !pcap.Write(step.piece, &error)) {
            if (errno == EPIPE) {
                readerGone = true; // the reader has ended the capture
                break;
            }
            PrintFailure(error);
            pcapOk = false;
            break;
        }
        for (const std::string& line : step.lines) {
            std::fwrite(line.data(), 1, line.size(), lineOut);
            std::fputc('\n', lineOut);
            if (line != vx4::CFrameMonitor::Separator)
                ++shown;
        }
        if (!step.lines.empty())
            std::fflush(lineOut);
        if (a.lineLimit != 0 && shown >= a.lineLimit)
            break;
    }
    sigaction(SIGINT, &oldInt, nullptr);
    sigaction(SIGTERM, &oldTerm, nullptr);
    if (readerGone) {
        pcap.Close(nullptr);
    } else if (!a.pcapFile.empty() && pcapOk && !pcap.Close(&error)) {
        PrintFailure(error);
        pcapOk = false;
    }
    sigaction(SIGPIPE, &oldPipe, nullptr);
    return pcapOk ? ExitOk : ExitFailed;
}

} // namespace vx4ctl
