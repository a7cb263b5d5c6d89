// Tree build for the simulator's large profile (10,000 items by default), offscreen, as a
// ratio: the time of BuildTree divided by the line time the configuration read of the same
// device needs at 115200 baud (every request and answer byte of the read, 10 bits a byte;
// the real read takes longer, so the ratio is an upper bound). Goal: 0.05 or less.
// Options: --items N, --baud N, --rounds N.


#include "bench_ui_common.h"

#include "Simulator.h"
#include "device/Vx4obj.h"
#include "ui/views/ConfigTree.h"

#include <QApplication>
#include <QTest>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

int main(int argc, char** argv) {
    unsigned items = 10000, baud = 115200, rounds = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        const unsigned v = unsigned(std::strtoul(argv[i + 1], nullptr, 10));
        if (a == "--items") items = v;
        else if (a == "--baud") baud = v;
        else if (a == "--rounds") rounds = std::max(1u, v);
    }
    if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);

    auto sim = vx4sim::Simulator::LargeProfile(items);
    std::string err;
    if (!sim->StartTcp("127.0.0.1", 0, &err)) {
        std::fprintf(stderr, "simulator: %s\n", err.c_str());
        return 1;
    }
    const auto dir = vx4bench::MakeRunFolder("bench_ui_tree");
    vx4bench::WriteConnection(dir, sim->Port(), sim->Serial());
    auto form = vx4bench::MakeForm(dir);

    // Read the configuration once, outside the measurement.
    sim->ClearRequests();
    form->Conn().SetDeviceNumber(sim->Serial());
    form->Conn().Open();
    form->Device().RequestReread();
    while (!form->Device().IsConfigReady()) QTest::qWait(50);
    const std::uint32_t count = form->Device().GetDeviceInfo().itemCount;
    if (count == 0) {
        std::fprintf(stderr, "the configuration was not read\n");
        return 1;
    }
    form->Device().EnablePolling(false);
    std::uint64_t lineBytes = 0;
    for (const auto& request : sim->Requests()) {
        lineBytes += request.size();
        if (auto answer = sim->Answer(request)) lineBytes += answer->size();
    }
    const double lineMs = double(lineBytes) * 10.0 * 1000.0 / double(baud);

    std::vector<double> times;
    for (unsigned r = 0; r < rounds; ++r) {
        const auto t0 = std::chrono::steady_clock::now();
        const int result = form->Tree().BuildTree();
        const auto t1 = std::chrono::steady_clock::now();
        if (result != 0) {
            std::fprintf(stderr, "BuildTree returned %d\n", result);
            return 1;
        }
        times.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
        QTest::qWait(10);
    }
    std::sort(times.begin(), times.end());
    const double buildMs = times[times.size() / 2];
    std::printf("items %u: tree build %.1f ms (median of %u), configuration read line time at %u baud "
                "%.0f ms (%llu bytes)\n",
                count, buildMs, rounds, baud, lineMs, static_cast<unsigned long long>(lineBytes));
    std::printf("ratio %.4f (goal <= 0.05)\n", buildMs / lineMs);
    form.reset();
    std::filesystem::remove_all(dir);
    return 0;
}

