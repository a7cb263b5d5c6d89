// The frame monitors on the command line: the same capture steps and lines as the console's
// monitor windows, printed to standard output. Only the link is opened: nothing at all is
// sent (no identification, no address search, no purge traffic). With --pcap - the capture
// goes to standard output, flushed piece by piece (for a pipe into Wireshark), and the
// lines to standard error.

#include "Output.h"
#include "Session.h"
#include "StopSignals.h"

#include "link/PcapFile.h"
#include "link/ResultCodes.h"
#include "link/ResultTexts.h"
#include "link/Vx2Monitor.h"
#include "link/Vx3cMonitor.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <memory>
#include <optional>

namespace vx4ctl {

namespace {

void PrintLines(const vx4::SCaptureStep& step, std::FILE* out)
{
    for (const std::string& line : step.lines) {
        std::fwrite(line.data(), 1, line.size(), out);
        std::fputc('\n', out);
    }
    if (!step.lines.empty())
        std::fflush(out);
}

// A read that failed with nothing received, other than the silence of a quiet line: the
// link is lost (or was never there), and every further read would fail the same way.
bool LinkLost(const vx4::SCaptureStep& step)
{
    return step.read && step.piece.bytes.empty() && step.piece.status != vx4::OK &&
           step.piece.status != vx4::LINK_TIMEOUT;
}

// "error <code> <text>" on standard error.
void PrintResult(int code)
{
    const char* text = vx4::FailureText(code);
    std::cerr << "error " << code << (text ? text : "") << '\n';
}

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
    // There is no stopped state to leave: the capture runs from the moment the link is open.
    monitor->isStopped = false;
    // With the capture on standard output the lines go to standard error.
    std::FILE* const lineOut = a.pcapFile == vx4::CPcapFile::StandardOutput ? stderr : stdout;
    Session session(g);
    if (session.Open() != 0) {
        // The monitor's own line for a connection without a link, as the window would show it.
        PrintLines(monitor->CaptureStep(session.Conn()), lineOut);
        return ExitFailed;
    }
    // The capture file only once there is a link to capture: a failed open leaves none.
    vx4::CPcapFile pcap;
    std::string error;
    if (!a.pcapFile.empty() && !pcap.Open(a.pcapFile, &error, true)) {
        PrintFailure(error);
        return ExitFailed;
    }

    // A stop signal is the usual end of a capture: the pcap file is then closed and kept.
    std::optional<StopSignals> stop(std::in_place);
    // A reader of the capture that goes away (Wireshark closed) shows as a failed write.
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction oldPipe = {};
    sigaction(SIGPIPE, &ignore, &oldPipe);

    const auto start = std::chrono::steady_clock::now();
    std::uint64_t frames = 0;
    bool ok = true;
    bool readerGone = false;
    while (!stop->Requested()) {
        if (a.seconds > 0 &&
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() >= a.seconds)
            break;
        const vx4::SCaptureStep step = monitor->CaptureStep(session.Conn());
        // A frame the filter drops stays out of the capture as it stays off the screen.
        if (step.read && !step.filtered && !a.pcapFile.empty() && !pcap.Write(step.piece, &error)) {
            if (errno == EPIPE) {
                readerGone = true; // the reader has ended the capture
                break;
            }
            PrintFailure(error);
            ok = false;
            break;
        }
        PrintLines(step, lineOut);
        if (LinkLost(step)) {
            // The link is gone: once shown, the failure ends the run instead of repeating.
            PrintResult(step.piece.status);
            ok = false;
            break;
        }
        // Only what came off the line counts, never a failure line nor a separator.
        if (step.read && !step.piece.bytes.empty() && !step.lines.empty())
            ++frames;
        if (a.lineLimit != 0 && frames >= a.lineLimit)
            break;
    }
    stop.reset();
    if (readerGone) {
        pcap.Close(nullptr);
    } else if (!a.pcapFile.empty() && !pcap.Close(&error) && ok) {
        PrintFailure(error);
        ok = false;
    }
    sigaction(SIGPIPE, &oldPipe, nullptr);
    return ok ? ExitOk : ExitFailed;
}

} // namespace vx4ctl
