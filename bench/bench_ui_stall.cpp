// bench_ui_stall: does the window's thread ever wait on the line?
//
// A 10 ms heartbeat timer on the window's thread records the longest gap between two beats
// while the console (a) polls, (b) starts polling (F11) towards an address that accepts
// and never answers, (c) writes a constant from the editor, (d) downloads a file and
// (e) searches for the device, each against a simulator that keeps the connection but has
// stopped answering, and (f) polls a simulator that drips every answer out one byte every
// 300 ms. Goal: every longest gap <= 100 ms.
//
// Then the simulator answers again at 115200 baud, and the download of its largest file
// through the console's operation frame is timed against the same download by vx4ctl
// (whole process: connect and download). Goal: vx4ctl time / console time >= 0.97.
//
// Last, (g): the window is closed while polling and an answer trickles in (one byte every
// 900 ms); the time from the close to the end of the window (all its threads) is printed.
// Goal: <= 1000 ms.
//
// Usage: bench_ui_stall [--quick]   (--quick: shorter watches, one download each)

#include "bench_ui_common.h"

#include "Simulator.h"
#include "device/Vx4obj.h"
#include "link/Connection.h"
#include "ui/main/DeviceOperations.h"
#include "ui/main/ManualOperation.h"
#include "ui/main/PollingCycle.h"
#include "ui/views/ConfigTree.h"
#include "ui/views/ParamEditor.h"

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// The heartbeat: a 10 ms timer whose longest gap is kept.
class Heartbeat {
public:
    Heartbeat() {
        timer_.setInterval(10);
        timer_.setTimerType(Qt::PreciseTimer);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            const qint64 now = clock_.elapsed();
            if (last_ >= 0 && now - last_ > longest_) longest_ = now - last_;
            last_ = now;
        });
        clock_.start();
        timer_.start();
    }
    void Reset() {
        last_ = clock_.elapsed();
        longest_ = 0;
    }
    qint64 Longest() const { return longest_; }

private:
    QTimer timer_;
    QElapsedTimer clock_;
    qint64 last_ = -1;
    qint64 longest_ = 0;
};

// Runs the event loop for ms milliseconds.
void Spin(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// Runs the event loop until pred holds or ms passed.
bool SpinUntil(const std::function<bool()>& pred, int ms) {
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < end) {
        if (pred()) return true;
        Spin(20);
    }
    return pred();
}

// Starts act from the event loop (as a menu click would) and watches the heartbeat while
// it runs and for watchMs after it has begun. Returns the longest gap.
qint64 Watch(Heartbeat& beat, const std::function<void()>& act, int watchMs) {
    beat.Reset();
    bool done = false;
    QTimer::singleShot(0, [&] {
        act();
        done = true;
    });
    const auto start = Clock::now();
    Spin(watchMs);
    SpinUntil([&] { return done; }, 120000);
    (void)start;
    return beat.Longest();
}

void SetSilent(vx4sim::Simulator& sim, bool silent) {
    if (silent)
        sim.SetHook([](const std::vector<std::uint8_t>&) { return vx4sim::HookResult{vx4sim::HookResult::Silent, {}}; });
    else
        sim.SetHook({});
}

// Every answer goes out one byte every ms milliseconds (0: whole again).
void SetDrip(vx4sim::Simulator& sim, unsigned ms) {
    vx4sim::Faults f;
    f.drip = ms ? 1.0 : 0.0;
    f.dripMs = ms;
    sim.SetFaults(f);
}

double RunVx4ctl(unsigned port, std::uint32_t serial, const std::string& name, const std::filesystem::path& out) {
    const std::string cmd = std::string(VX4CTL_PATH) + " --port 127.0.0.1:" + std::to_string(port) + " --dev " +
                            std::to_string(serial) + " download " + name + " -o " + out.string() + " >/dev/null 2>&1";
    const auto t0 = Clock::now();
    const int rc = std::system(cmd.c_str());
    const double s = std::chrono::duration<double>(Clock::now() - t0).count();
    if (rc != 0) std::printf("vx4ctl download failed (%d)\n", rc);
    return s;
}

} // namespace

int main(int argc, char** argv) {
    const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int watchMs = quick ? 4000 : 8000;

    vx4sim::Simulator sim;
    std::string error;
    if (!sim.StartTcp("127.0.0.1", 0, &error)) {
        std::fprintf(stderr, "simulator: %s\n", error.c_str());
        return 1;
    }
    const auto dir = vx4bench::MakeRunFolder("bench_ui_stall");
    vx4bench::WriteConnection(dir, sim.Port(), sim.Serial());
    auto form = vx4bench::MakeForm(dir);
    Heartbeat beat;
    Spin(200);

    std::printf("longest gap between 10 ms beats of the window's thread, device silent (goal <= 100 ms)\n");
    std::vector<std::pair<const char*, qint64>> results;

    // (a) polling: the tree is built, then the device stops answering.
    form->StartItem().trigger();
    if (!SpinUntil([&] { return form->PollStateValue() == vx4::psRunning; }, 60000)) {
        std::fprintf(stderr, "the configuration was not read\n");
        return 1;
    }
    // Select a constant, for (c).
    std::uint16_t constId = 0;
    for (std::uint32_t i = 1; i <= form->Device().GetDeviceInfo().itemCount && constId == 0; ++i) {
        const vx4::SNodeInfo n = form->Device().GetNodeInfo(std::uint16_t(i));
        if (n.kind == 1 && n.name == "Адрес") constId = n.id;
    }
    form->Tree().setCurrentItem(form->Tree().FindNodeById(nullptr, constId));
    Spin(1000);
    SetSilent(sim, true);
    results.push_back({"(a) polling", Watch(beat, [] {}, watchMs)});

    // (c) a constant written from the editor (Enter in its row).
    results.push_back({"(c) editor write", Watch(beat, [&] {
                           vx4::ParamEditor& editor = form->Editor();
                           editor.setCurrentCell(0, 1);
                           editor.SetRow(editor.KeyAt(0), QStringLiteral("7"));
                           editor.ValueListEditor1KeyDown(13);
                       }, 1000)});

    // (b) F11 towards an address that accepts and never answers.
    form->StopItem().trigger();
    results.push_back({"(b) F11 connect", Watch(beat, [&] { form->StartItem().trigger(); }, watchMs)});
    form->StopItem().trigger();

    // (d) a download.
    results.push_back({"(d) download", Watch(beat, [&] {
                           form->DeviceOperations().DownloadTo(QString::fromStdString((dir / "hour.dat").string()));
                       }, 1000)});

    // (e) a search.
    results.push_back({"(e) search", Watch(beat, [&] { form->DeviceOperations().N91Click(); }, 1000)});

    // (f) polling a device that answers, slowly: every answer drips out byte by byte.
    SetSilent(sim, false);
    SetDrip(sim, 300);
    form->StopItem().trigger();
    results.push_back({"(f) dripping poll", Watch(beat, [&] { form->StartItem().trigger(); }, watchMs)});
    form->StopItem().trigger();
    SetDrip(sim, 0);

    qint64 worst = 0;
    for (const auto& [name, gap] : results) {
        std::printf("  %-18s %6lld ms\n", name, static_cast<long long>(gap));
        worst = std::max(worst, gap);
    }
    std::printf("longest stall: %lld ms -> %s\n", static_cast<long long>(worst), worst <= 100 ? "goal met" : "GOAL MISSED");

    // Download of the largest file: the console's frame against vx4ctl, at 115200 baud.
    SetSilent(sim, false);
    std::string largest;
    std::size_t largestSize = 0;
    for (const std::string& name : sim.FileNames()) {
        const auto bytes = sim.FileContents(name);
        if (bytes && bytes->size() > largestSize) {
            largestSize = bytes->size();
            largest = name;
        }
    }
    sim.SetBaud(115200);
    const int runs = quick ? 1 : 2;
    double console = 1e9, ctl = 1e9;
    for (int i = 0; i < runs; ++i) {
        const auto path = dir / "console" / largest;
        std::filesystem::create_directories(path.parent_path());
        const auto t0 = Clock::now();
        form->DeviceOperations().DownloadTo(QString::fromStdString(path.string()));
        console = std::min(console, std::chrono::duration<double>(Clock::now() - t0).count());
        if (std::filesystem::file_size(path) != largestSize) std::printf("console download incomplete\n");
        const auto out = dir / ("ctl_" + largest);
        ctl = std::min(ctl, RunVx4ctl(sim.Port(), sim.Serial(), largest, out));
        if (std::filesystem::file_size(out) != largestSize) std::printf("vx4ctl download incomplete\n");
    }
    const double ratio = ctl / console;
    std::printf("download of %s (%zu bytes) at 115200 baud: console %.3f s, vx4ctl %.3f s, ratio %.3f -> %s\n",
                largest.c_str(), largestSize, console, ctl, ratio, ratio >= 0.97 ? "goal met" : "GOAL MISSED");

    // (g) closing the window while an answer trickles in.
    sim.SetBaud(0);
    SetDrip(sim, 900);
    form->StartItem().trigger();
    Spin(2500); // an exchange is under way, its answer coming in byte by byte
    const auto closing = Clock::now();
    form->close();
    form.reset();
    const double closeMs = std::chrono::duration<double, std::milli>(Clock::now() - closing).count();
    std::printf("(g) closing the window while an answer trickles in: %.0f ms to the end -> %s\n", closeMs,
                closeMs <= 1000 ? "goal met" : "GOAL MISSED");
    SetDrip(sim, 0);
    std::filesystem::remove_all(dir);
    return 0;
}
