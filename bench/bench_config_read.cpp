// Configuration read of a large simulated device over a pseudo-terminal paced at --baud,
// printed as ratios: the read's time (the stability pause set to zero) divided by the
// line time of every request and answer byte the read moved (10 bits a byte). First the
// block read, then the item-by-item read (the device refusing blocks).
// Options: --baud N (115200), --items N (10000), --skip-blocks, --skip-items.

#include "device/Vx4obj.h"
#include "link/Connection.h"
#include "link/Frames.h"
#include "link/Vx4prot.h"

#include "Simulator.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

struct Options {
    unsigned baud = 115200;
    unsigned items = 10000;
    bool blocks = true, itemByItem = true;
};

bool ParseArgs(int argc, char** argv, Options* o)
{
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> unsigned {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "%s needs a value\n", a.c_str());
                std::exit(2);
            }
            return unsigned(std::strtoul(argv[++i], nullptr, 10));
        };
        if (a == "--baud")
            o->baud = value();
        else if (a == "--items")
            o->items = value();
        else if (a == "--skip-blocks")
            o->blocks = false;
        else if (a == "--skip-items")
            o->itemByItem = false;
        else {
            std::fprintf(stderr, "unknown option %s\n", a.c_str());
            return false;
        }
    }
    return o->baud > 0 && o->items > 0;
}

// The refusal a device sends for a command it does not know.
Bytes Refusal(std::uint32_t address)
{
    Bytes f(vx4::Vx3cOverhead);
    vx4::BuildVx3cFrame(f.data(), address, 0, 252);
    return f;
}

int Run(const Options& o, bool blocks)
{
    auto sim = vx4sim::Simulator::LargeProfile(o.items);
    sim->SetBaud(o.baud);
    std::string err;
    if (!sim->StartPty(&err)) {
        std::fprintf(stderr, "simulator pty: %s\n", err.c_str());
        return 1;
    }
    const std::uint32_t serial = sim->Serial();
    // The device answers through the hook so that every byte on the line is counted.
    std::atomic<std::uint64_t> lineBytes{0};
    std::atomic<bool> counting{true};
    std::atomic<unsigned> exchanges{0};
    vx4sim::Simulator* s = sim.get();
    sim->SetHook([&, s, blocks, serial](const Bytes& request) -> vx4sim::HookResult {
        std::optional<Bytes> answer;
        if (!blocks && request.size() > 6 && request[6] == vx4::CMD_CONFIG_BLOCK)
            answer = Refusal(serial);
        else
            answer = s->Answer(request);
        if (counting) {
            lineBytes += request.size() + (answer ? answer->size() : 0);
            ++exchanges;
        }
        if (!answer)
            return {vx4sim::HookResult::Silent, {}};
        return {vx4sim::HookResult::Replace, std::move(*answer)};
    });

    vx4::connection conn;
    vx4::ConnectionSettings cs = conn.Settings();
    cs.port = sim->PtyPath();
    cs.speed = o.baud;
    cs.dev_nom = serial;
    conn.SetSettings(cs);
    if (int rc = conn.Open(); rc != 0) {
        std::fprintf(stderr, "open %s: %d\n", cs.port.c_str(), rc);
        return 1;
    }
    vx4::CVX4Obj::Timing timing;
    timing.cycleMs = 5;
    timing.stabilityPauseMs = 0;
    auto obj = std::make_unique<vx4::CVX4Obj>(conn, timing);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    lineBytes = 0;
    exchanges = 0;

    const auto t0 = Clock::now();
    obj->RequestReread();
    while (!obj->IsConfigReady())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const double t = std::chrono::duration<double>(Clock::now() - t0).count();
    counting = false;
    const std::uint32_t loaded = obj->GetDeviceInfo().itemCount;
    obj.reset();
    conn.Close();
    sim->SetHook(nullptr);
    sim->Stop();
    if (loaded != o.items) {
        std::fprintf(stderr, "%s read failed: %u of %u items\n", blocks ? "block" : "item", loaded, o.items);
        return 1;
    }
    const double lineTime = double(lineBytes) * 10.0 / double(o.baud);
    std::printf("%s read of %u items at %u baud over pty: %.2f s, %u exchanges, %llu line bytes, "
                "line time %.2f s, ratio %.3f%s\n",
                blocks ? "block" : "item-by-item", o.items, o.baud, t, exchanges.load(),
                static_cast<unsigned long long>(lineBytes.load()), lineTime, t / lineTime,
                blocks ? " (goal <= 1.05)" : "");
    std::fflush(stdout);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    Options o;
    if (!ParseArgs(argc, argv, &o))
        return 2;
    int rc = 0;
    if (o.blocks)
        rc |= Run(o, true);
    if (o.itemByItem)
        rc |= Run(o, false);
    return rc;
}
