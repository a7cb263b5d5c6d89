// The parameter map of a large simulated device, printed as a ratio: the time to build and
// write the map (every constant read from the device object, labelled from the demo
// constant bank, the .docx written) divided by the line time of that configuration's read
// at --baud (every request and answer byte the block read moved, 10 bits a byte). The
// device is served over loopback TCP, so the read itself is quick; only its bytes count.
// Options: --baud N (115200), --items N (10000), --runs N (3, the best is taken).

#include "device/Vx4obj.h"
#include "link/Connection.h"
#include "office/DocumentReports.h"
#include "options/OptionBank.h"

#include "Simulator.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <ctime>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// The device without its transducers: the map alone.
class MapOnly final : public vx4::ReportSource {
public:
    explicit MapOnly(vx4::CVX4Obj& d) : device_(d) {}
    vx4::SVX4_Info GetDeviceInfo() override { return device_.GetDeviceInfo(); }
    vx4::SNodeInfo GetNodeInfo(std::uint16_t id) override { return device_.GetNodeInfo(id); }
    std::vector<std::uint32_t> GetTransducers() override { return {}; }
    int ReadGraduation(std::uint32_t, vx4::CGiGeArray&) override { return 1; }

private:
    vx4::CVX4Obj& device_;
};

} // namespace

int main(int argc, char** argv)
{
    unsigned baud = 115200, items = 10000, runs = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        const unsigned v = unsigned(std::strtoul(argv[i + 1], nullptr, 10));
        if (a == "--baud") baud = v;
        else if (a == "--items") items = v;
        else if (a == "--runs") runs = v;
        else {
            std::fprintf(stderr, "unknown option %s\n", a.c_str());
            return 2;
        }
    }
    if (baud == 0 || items == 0 || runs == 0) return 2;

    auto sim = vx4sim::Simulator::LargeProfile(items);
    std::string err;
    if (!sim->StartTcp("127.0.0.1", 0, &err)) {
        std::fprintf(stderr, "simulator: %s\n", err.c_str());
        return 1;
    }
    std::atomic<std::uint64_t> lineBytes{0};
    vx4sim::Simulator* s = sim.get();
    sim->SetHook([&lineBytes, s](const std::vector<std::uint8_t>& request) -> vx4sim::HookResult {
        auto answer = s->Answer(request);
        lineBytes += request.size() + (answer ? answer->size() : 0);
        if (!answer) return {vx4sim::HookResult::Silent, {}};
        return {vx4sim::HookResult::Replace, std::move(*answer)};
    });

    vx4::connection conn;
    vx4::ConnectionSettings cs = conn.Settings();
    cs.port = "TCP/IP";
    cs.IP = "127.0.0.1";
    cs.TCPIPport = std::to_string(sim->Port());
    cs.dev_nom = sim->Serial();
    conn.SetSettings(cs);
    if (int rc = conn.Open(); rc != 0) {
        std::fprintf(stderr, "open: %d\n", rc);
        return 1;
    }
    vx4::CVX4Obj::Timing timing;
    // A calm worker: its summary checks would otherwise hold the data lock against the
    // report's item reads.
    timing.cycleMs = 200;
    timing.stabilityPauseMs = 0;
    timing.runGateway = false;
    vx4::CVX4Obj device(conn, timing);
    device.EnablePolling(false);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    lineBytes = 0;
    device.RequestReread();
    while (!device.IsConfigReady()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const std::uint64_t readBytes = lineBytes.load();
    const double lineTime = double(readBytes) * 10.0 / double(baud);
    if (device.GetDeviceInfo().itemCount != items) {
        std::fprintf(stderr, "read failed: %u of %u items\n", device.GetDeviceInfo().itemCount, items);
        return 1;
    }

    vx4::COptionBank bank;
    if (!bank.Open(std::string(VX4_SOURCE_DIR) + "/data/constbank.xml")) {
        std::fprintf(stderr, "constbank.xml: %s\n", bank.ErrorText().c_str());
        return 1;
    }
    const std::string out = (std::filesystem::temp_directory_path() / ("vx4bench_report_" + std::to_string(::getpid()))).string();
    std::filesystem::create_directories(out);
    const std::string templates = std::string(VX4_BINARY_DIR) + "/Matrix/";
    const vx4::ReportFiles files{templates + "карта_параметров_шаблон.dotx", templates + "GIGE_шаблон.dotx", out + "/", {}, {}};

    auto threadCpu = [] {
        timespec ts{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
        return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
    };
    MapOnly mapOnly(device);
    double best = 1e9, bestCpu = 1e9;
    std::uintmax_t size = 0;
    for (unsigned r = 0; r < runs; ++r) {
        const auto t0 = Clock::now();
        const double c0 = threadCpu();
        const vx4::ReportOutcome o = vx4::PrintParameterMap(mapOnly, bank, files);
        const double t = std::chrono::duration<double>(Clock::now() - t0).count();
        bestCpu = std::min(bestCpu, threadCpu() - c0);
        if (o.error != 0 || o.documents.size() != 1) {
            std::fprintf(stderr, "report failed: %s\n", o.errorText.c_str());
            return 1;
        }
        size = std::filesystem::file_size(o.documents[0].path);
        best = std::min(best, t);
    }
    // The whole report once more, with the graduation tables read over loopback.
    vx4::DeviceReportSource full(device);
    const auto t0 = Clock::now();
    const vx4::ReportOutcome all = vx4::PrintParameterMap(full, bank, files);
    const double tAll = std::chrono::duration<double>(Clock::now() - t0).count();
    std::filesystem::remove_all(out);
    conn.Close();
    sim->SetHook(nullptr);
    sim->Stop();

    std::printf("parameter map of %u items: %.3f s (best of %u; CPU %.3f s; %ju bytes); configuration read line time "
                "at %u baud %.2f s (%llu bytes); ratio %.4f (goal <= 0.05)\n",
                items, best, runs, bestCpu, size, baud, lineTime, static_cast<unsigned long long>(readBytes),
                best / lineTime);
    std::printf("whole report (map and %zu graduation tables over loopback): %.3f s\n",
                all.documents.empty() ? std::size_t(0) : all.documents.size() - 1, tAll);
    return best / lineTime <= 0.05 ? 0 : 1;
}
