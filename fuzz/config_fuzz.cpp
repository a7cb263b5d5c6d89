// The configuration read as the device object does it: identification, summary, archive
// descriptors and clock, then the configuration blocks (or, when they fail, item by item)
// into the store, then polling, item texts and a constant write. A scripted device gives
// every answer; the worker keeps asking until the input is used up. Whenever the object
// says its configuration is ready, the copy it hands out must be whole and consistent.
// Input: one flags byte, then the answer chunks in the order the exchanges take them.
#include "FuzzSupport.h"

#include "device/Vx4obj.h"
#include "link/Vx4prot.h"

#include <chrono>
#include <functional>
#include <thread>

namespace {

using namespace vx4;
using vx4fuzz::Bytes;
using vx4fuzz::Check;
using vx4fuzz::Input;

// Names are at most six CP1251 bytes, each at most three bytes of UTF-8.
void CheckNode(const SNodeInfo& n, ItemKind kind)
{
    Check(n.kind == kind);
    Check(n.name.size() <= 3 * ItemNameSize);
}

void CheckSnapshot(const SConfigSnapshot& snap)
{
    Check(snap.systems.size() <= SConfigInfo::MaxSystems);
    // (Not against info.systemCount: a constant write takes over the summary the device
    // gives afterwards, whatever system count it names.)
    Check(snap.transducers.size() <= CConfigStore::MaxTransducers);
    for (const SSystemSnapshot& s : snap.systems) {
        for (const SNodeInfo& n : s.consts)
            CheckNode(n, ITEM_CONST);
        for (const SNodeInfo& n : s.calcs)
            CheckNode(n, ITEM_CALC);
    }
    for (const SNodeInfo& n : snap.deviceConsts)
        CheckNode(n, ITEM_CONST);
    for (const SNodeInfo& n : snap.events)
        CheckNode(n, ITEM_EVENT);
}

CVX4Obj::Timing FuzzTiming()
{
    CVX4Obj::Timing t;
    t.cycleMs = 0; // no pause between cycles: the input ends the run
    t.stabilityPauseMs = 0;
    t.stabilityRounds = 1;
    t.writeWaitMs = 0;
    t.runGateway = false;
    return t;
}

// Runs the object until stop() says so. flags: bit 0 marks the calculated values for
// polling, bit 1 reads a constant's text, bit 2 writes a constant.
void Drive(connection& conn, std::uint8_t flags, const std::function<bool(bool ready)>& stop)
{
    CVX4Obj obj(conn, FuzzTiming());
    obj.RequestReread();
    bool extras = false;
    for (;;) {
        const bool ready = obj.IsConfigReady();
        if (stop(ready))
            break;
        if (ready) {
            const SConfigSnapshot snap = obj.GetConfigSnapshot();
            CheckSnapshot(snap);
            // Nothing read: ask again, as the console does on its next start of polling.
            if (snap.info.itemCount == 0)
                obj.RequestReread();
            std::uint16_t firstConst = 0;
            for (const SSystemSnapshot& s : snap.systems) {
                for (const SNodeInfo& n : s.calcs) {
                    if (flags & 1)
                        obj.SetItemPolled(n.id, true);
                    (void)obj.GetItemValue(n.id);
                    (void)obj.ItemStatusChanged(n.id);
                    (void)obj.GetActiveEventNames(n.id);
                }
                for (const SNodeInfo& n : s.consts)
                    firstConst = firstConst ? firstConst : n.id;
            }
            for (std::uint16_t id = 0; id < 8; ++id)
                Check(obj.GetNodeInfo(id).id == id || obj.GetNodeInfo(id).kind == ITEM_NONE);
            if (!extras && firstConst != 0) {
                if (flags & 2)
                    (void)obj.ReadItemText(firstConst);
                if (flags & 4)
                    (void)obj.WriteConstant(firstConst, "1.5");
                extras = true;
            }
        }
        float progress = 0;
        obj.GetProgress(&progress, nullptr);
        Check(progress >= 0.0f && progress <= 100.0f);
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
}

void MakeSeeds(const char* dir)
{
    for (std::uint8_t flags : {0, 1, 7}) {
        vx4sim::Simulator sim;
        Bytes seed = {flags};
        std::size_t writes = 0;
        {
            connection conn;
            vx4fuzz::OpenRecording(conn, sim, seed);
            std::size_t readySize = 0;
            Drive(conn, flags, [&](bool ready) {
                std::lock_guard<std::recursive_mutex> hold(conn.Lock());
                if (ready && readySize == 0)
                    readySize = seed.size();
                ++writes;
                return readySize != 0 && seed.size() > readySize + 400;
            });
        }
        vx4fuzz::WriteSeed(dir, "demo_flags" + std::to_string(flags), seed);
    }
}

} // namespace

VX4_FUZZ_SEEDS

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    Input in(data, size);
    const std::uint8_t flags = in.Byte();
    connection conn;
    vx4fuzz::OpenScripted(conn, 123456, in);
    Drive(conn, flags, [&](bool) { return in.Done(); });
    return 0;
}
