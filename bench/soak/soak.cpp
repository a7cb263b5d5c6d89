// Fault soak: the device object polls the simulated demo device over TCP while a share of
// the answers goes wrong: dropped requests, lost answers, corrupted check bytes, cut
// frames, late answers, wrong addresses, wrong commands, busy refusals and configuration
// changes behind the console's back. The run is split into segments; each begins with a
// forced configuration read under faults and ends with the faults stopped, new values
// pinned in the device and a count of the cycles the object takes to poll them right.
//
// Beside the polling, a local client relays requests through the object's gateway and
// misbehaves a share of the time: it closes its connection in the middle of a request,
// connects and leaves without a word, takes its time before asking or before reading, and
// sends over-long messages. The device answers each relay with the payload and two marker
// bytes, under the same faults as everything else.
//
// Checked throughout: no cycle longer than its bound (no hang), whenever the object says
// its configuration is ready, the copy it hands out is either empty or the whole
// configuration (never a tree from a partial read), every relayed reply is either empty
// (a failed relay) or the device's answer to that very request, and the resident memory
// grows by at most 1 MB per hour, extrapolated from the run after its first segment.
// Exit status 0 when every check held.
//
//   soak [--cycles N] [--reads N] [--faults P] [--cycle-ms MS] [--minutes M] [--seed N]
//
// --minutes runs by time instead of by cycles (the long run) and reports the resident
// memory after the first minute and at the end.

#include "device/Vx4obj.h"
#include "link/Connection.h"
#include "link/Frames.h"
#include "link/Vx4prot.h"

#include "Simulator.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <malloc.h>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

struct Options {
    unsigned cycles = 1000;
    unsigned reads = 20;
    double faults = 0.2;
    unsigned cycleMs = 50;
    double minutes = 0;
    unsigned seed = 1;
    // The longest a cycle may take: a configuration read under faults (blocks failing, then
    // item by item, each lost answer waiting out its time-out) runs to some 20 s.
    unsigned cycleBoundMs = 60000;
    unsigned recoveryLimit = 2;
};

// Faults the soak injects through the simulator's hook, one drawn per request.
enum Fault { Dropped, Lost, Corrupted, Truncated, Delayed, WrongAddress, WrongCommand, Busy, SummaryChange, FaultKinds };
const char* const FaultNames[FaultKinds] = {"dropped",       "lost",    "corrupted", "truncated",     "delayed",
                                            "wrong address", "wrong command", "busy", "summary change"};

class Injector {
public:
    Injector(vx4sim::Simulator& sim, unsigned seed) : sim_(sim), rng_(seed) {}

    void SetRate(double p) { rate_ = p; }
    std::uint64_t Count(Fault f) const { return counts_[f].load(); }
    std::uint64_t Total() const
    {
        std::uint64_t t = 0;
        for (const auto& c : counts_)
            t += c.load();
        return t;
    }
    std::uint64_t Requests() const { return requests_.load(); }

    vx4sim::HookResult operator()(const Bytes& request)
    {
        using vx4sim::HookResult;
        ++requests_;
        double draw;
        int kind;
        unsigned delayMs;
        {
            std::lock_guard<std::mutex> g(lock_);
            draw = std::uniform_real_distribution<double>(0.0, 1.0)(rng_);
            kind = std::uniform_int_distribution<int>(0, FaultKinds - 1)(rng_);
            delayMs = std::uniform_int_distribution<unsigned>(100, 900)(rng_);
        }
        const bool relay = request.size() >= vx4::Vx3cOverhead + vx4::RelayTailBytes && request[6] == vx4::CMD_RELAY;
        if (draw >= rate_)
            return relay ? vx4sim::HookResult{HookResult::Replace, RelayAnswer(request)} : HookResult{};
        const Fault f = Fault(kind);
        ++counts_[f];
        if (f == Dropped)
            return {HookResult::Silent, {}};
        if (f == SummaryChange) {
            sim_.ChangeChecksum();
            return {};
        }
        std::optional<Bytes> answer = relay ? RelayAnswer(request) : sim_.Answer(request);
        if (!answer || answer->size() < vx4::ShortOverhead)
            return {HookResult::Silent, {}};
        Bytes& a = *answer;
        const bool isShort = a.size() >= 3 && a[2] == 0xF0;
        const std::size_t covered = a.size() - 2;
        switch (f) {
        case Lost:
            return {HookResult::Silent, {}};
        case Corrupted:
            a[a.size() / 2] ^= 0x24;
            break;
        case Truncated:
            a.resize(a.size() / 2);
            break;
        case Delayed:
            std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
            break;
        case WrongAddress:
            if (!isShort) {
                vx4::PutU32(a.data(), vx4::GetU32(a.data()) ^ 0x00010000);
                vx4::FillCheckBytes(a.data(), covered);
            }
            break;
        case WrongCommand:
            a[isShort ? 2 : 6] ^= 0x80;
            vx4::FillCheckBytes(a.data(), covered);
            break;
        case Busy:
            a.resize(isShort ? vx4::ShortOverhead : vx4::Vx3cOverhead);
            if (isShort) {
                vx4::PutU16(a.data(), 0);
                a[2] = 251;
            } else {
                vx4::PutU16(a.data() + 4, 0);
                a[6] = 251;
            }
            vx4::FillCheckBytes(a.data(), a.size() - 2);
            break;
        default:
            break;
        }
        return {HookResult::Replace, std::move(a)};
    }

    // The device's answer to a relay: the payload (without its two trailing bytes) and the
    // marker bytes AA BB, so that it is never mistaken for a 4-byte status word.
    static Bytes RelayAnswer(const Bytes& request)
    {
        Bytes data(request.begin() + vx4::Vx3cHeaderSize, request.end() - 2 - vx4::RelayTailBytes);
        data.insert(data.end(), {0xAA, 0xBB});
        Bytes frame(data.size() + vx4::Vx3cOverhead);
        std::copy(data.begin(), data.end(), frame.begin() + vx4::Vx3cHeaderSize);
        vx4::BuildVx3cFrame(frame.data(), vx4::GetU32(request.data()), std::uint16_t(data.size()), vx4::CMD_RELAY);
        return frame;
    }

private:
    vx4sim::Simulator& sim_;
    std::mutex lock_;
    std::mt19937 rng_;
    std::atomic<double> rate_{0.0};
    std::atomic<std::uint64_t> counts_[FaultKinds] = {};
    std::atomic<std::uint64_t> requests_{0};
};

// The items of a configuration copy, without the summary (whose checksum the faults change).
struct Items {
    std::vector<std::string> systems;
    std::vector<vx4::SNodeInfo> nodes;
    bool operator==(const Items&) const = default;
};

Items ItemsOf(const vx4::SConfigSnapshot& snap)
{
    Items items;
    for (const auto& s : snap.systems) {
        items.systems.push_back(s.name + "\n" + s.note);
        items.nodes.insert(items.nodes.end(), s.consts.begin(), s.consts.end());
        items.nodes.insert(items.nodes.end(), s.calcs.begin(), s.calcs.end());
    }
    items.nodes.insert(items.nodes.end(), snap.deviceConsts.begin(), snap.deviceConsts.end());
    items.nodes.insert(items.nodes.end(), snap.events.begin(), snap.events.end());
    return items;
}

long ResidentKb()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return -1;
}

// A local program that relays through the gateway, and misbehaves a share of the time.
class RelayClient {
public:
    RelayClient(vx4::CVX4Obj& obj, unsigned seed) : obj_(obj), rng_(seed) { thread_ = std::thread([this] { Run(); }); }
    ~RelayClient()
    {
        stop_ = true;
        thread_.join();
        Close();
    }

    std::uint64_t Answered() const { return answered_; }
    std::uint64_t Empty() const { return empty_; }
    std::uint64_t Misbehaved() const { return misbehaved_; }
    std::uint64_t Wrong() const { return wrong_; }

private:
    enum Action { Ask, CloseMidRequest, LeaveWordless, SlowToAsk, SlowToRead, Overlong, Actions };

    void Run()
    {
        while (!stop_) {
            if (fd_ < 0 && !Connect()) {
                Pause(20);
                continue;
            }
            const Action a = Draw(10) < 6 ? Ask : Action(1 + Draw(Actions - 1));
            if (a != Ask)
                ++misbehaved_;
            switch (a) {
            case Ask:
                Exchange(0);
                break;
            case CloseMidRequest:
                Send(Request());
                Close();
                break;
            case LeaveWordless:
                Close();
                break;
            case SlowToAsk:
                Pause(200 + Draw(1300));
                Exchange(0);
                break;
            case SlowToRead:
                Exchange(200 + Draw(1300));
                break;
            case Overlong:
                Send(Bytes(300, 0x55));
                Close();
                break;
            default:
                break;
            }
        }
    }

    unsigned Draw(unsigned n) { return std::uniform_int_distribution<unsigned>(0, n - 1)(rng_); }
    void Pause(unsigned ms)
    {
        for (unsigned waited = 0; waited < ms && !stop_; waited += 10)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    Bytes Request()
    {
        Bytes r(3 + Draw(vx4::MaxRelayPayload - 4)); // its answer, two bytes longer, still fits
        for (auto& b : r)
            b = std::uint8_t(Draw(256));
        return r;
    }
    bool Connect()
    {
        const std::string path = obj_.GatewayPath();
        sockaddr_un addr{};
        if (path.empty() || path.size() >= sizeof addr.sun_path)
            return false;
        addr.sun_family = AF_UNIX;
        std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
        fd_ = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        if (fd_ >= 0 && ::connect(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0)
            return true;
        Close();
        return false;
    }
    void Close()
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }
    bool Send(const Bytes& b) { return ::send(fd_, b.data(), b.size(), MSG_NOSIGNAL) == ssize_t(b.size()); }

    // One request and its reply, read readDelayMs after sending. A reply is either empty (the
    // relay failed) or the request followed by the device's marker bytes.
    void Exchange(unsigned readDelayMs)
    {
        const Bytes request = Request();
        if (!Send(request)) {
            Close();
            return;
        }
        Pause(readDelayMs);
        // A relay retries a lost answer a few times: allow it well over its worst case.
        pollfd p{fd_, POLLIN, 0};
        for (int waited = 0; waited < 30000 && !stop_ && ::poll(&p, 1, 100) == 0; waited += 100) {
        }
        std::uint8_t buf[512];
        const ssize_t n = (p.revents & POLLIN) ? ::recv(fd_, buf, sizeof buf, MSG_DONTWAIT) : -1;
        if (n < 0 || (n == 0 && (p.revents & POLLHUP))) {
            Close(); // dropped, or stopping
            return;
        }
        if (n == 0) {
            ++empty_;
            return;
        }
        Bytes expected = request;
        expected.insert(expected.end(), {0xAA, 0xBB});
        if (Bytes(buf, buf + n) == expected) {
            ++answered_;
        } else {
            ++wrong_;
            std::fprintf(stderr, "soak: a relayed reply of %zd bytes is not the answer to its request\n", n);
        }
    }

    vx4::CVX4Obj& obj_;
    std::mt19937 rng_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    int fd_ = -1;
    std::atomic<std::uint64_t> answered_{0}, empty_{0}, misbehaved_{0}, wrong_{0};
};

// The resident memory with freed memory handed back first, so that what is counted is
// what the program holds.
long HeldKb()
{
    ::malloc_trim(0);
    return ResidentKb();
}

bool ParseArgs(int argc, char** argv, Options& o)
{
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
        if (v == nullptr)
            return false;
        if (a == "--cycles")
            o.cycles = unsigned(std::atoi(v));
        else if (a == "--reads")
            o.reads = unsigned(std::max(1, std::atoi(v)));
        else if (a == "--faults")
            o.faults = std::atof(v);
        else if (a == "--cycle-ms")
            o.cycleMs = unsigned(std::atoi(v));
        else if (a == "--minutes")
            o.minutes = std::atof(v);
        else if (a == "--seed")
            o.seed = unsigned(std::atoi(v));
        else
            return false;
        ++i;
    }
    return true;
}

class Soak {
public:
    explicit Soak(const Options& o) : o_(o), injector_(sim_, o.seed) {}

    int Run()
    {
        std::string err;
        if (!sim_.StartTcp("127.0.0.1", 0, &err)) {
            std::fprintf(stderr, "soak: %s\n", err.c_str());
            return 2;
        }
        sim_.SetHook([this](const Bytes& r) { return injector_(r); });
        vx4::ConnectionSettings s = conn_.Settings();
        s.port = "TCP/IP";
        s.IP = "127.0.0.1";
        s.TCPIPport = std::to_string(sim_.Port());
        s.dev_nom = sim_.Serial();
        s.AuxTmout = 0;
        conn_.SetSettings(s);
        if (conn_.Open() != 0) {
            std::fprintf(stderr, "soak: cannot connect to the simulator\n");
            return 2;
        }
        vx4::CVX4Obj::Timing t;
        t.cycleMs = o_.cycleMs;
        t.stabilityPauseMs = 20;
        t.stabilityRounds = 3;
        t.writeWaitMs = 500;
        // The gateway's socket goes into a runtime folder of the run's own.
        char runtimeDir[] = "/tmp/vx4soakXXXXXX";
        if (!::mkdtemp(runtimeDir)) {
            std::fprintf(stderr, "soak: cannot make a runtime folder\n");
            return 2;
        }
        ::setenv("XDG_RUNTIME_DIR", runtimeDir, 1);
        t.runGateway = true;
        obj_ = std::make_unique<vx4::CVX4Obj>(conn_, t);

        // The whole configuration, read without faults, is what every ready copy must be.
        obj_->RequestReread();
        if (!WaitUntil([&] { return Loaded(); }, 30000)) {
            std::fprintf(stderr, "soak: the first configuration read did not finish\n");
            return 1;
        }
        reference_ = ItemsOf(obj_->GetConfigSnapshot());
        client_ = std::make_unique<RelayClient>(*obj_, o_.seed);

        const auto start = Clock::now();
        const auto deadline = start + std::chrono::milliseconds(long(o_.minutes * 60000));
        const std::uint64_t perSegment = std::max<std::uint64_t>(1, o_.cycles / o_.reads);
        unsigned segment = 0;
        for (;; ++segment) {
            if (o_.minutes > 0 ? Clock::now() >= deadline : segment >= o_.reads)
                break;
            if (o_.minutes > 0 && firstMinuteKb_ < 0 && Clock::now() - start >= std::chrono::minutes(1))
                firstMinuteKb_ = ResidentKb();
            // The simulator keeps every request it received; in the same process that would
            // read as the console's memory growing.
            sim_.ClearRequests();
            // A forced configuration read and perSegment cycles under faults.
            injector_.SetRate(o_.faults);
            obj_->RequestReread();
            ++forcedReads_;
            const std::uint64_t until = obj_->CyclesDone() + perSegment;
            Watch([&] { return obj_->CyclesDone() >= until; });
            // Faults stop; new values pinned; count the cycles until they are polled.
            injector_.SetRate(0);
            Recover(segment);
            if (failed_ && o_.minutes > 0)
                break;
            if (segment == 0) { // memory is measured from here: the first segment warms up
                baseKb_ = HeldKb();
                baseTime_ = Clock::now();
            }
        }
        const long endKb = ResidentKb();
        CheckMemory();
        cycles_ = obj_->CyclesDone();
        longestCycle_ = obj_->LongestCycleMs();
        client_.reset();
        if (clientWrong_ != 0)
            failed_ = true;
        obj_.reset();
        ::rmdir(runtimeDir);
        conn_.Close();
        sim_.SetHook(nullptr);
        sim_.Stop();
        Report(Clock::now() - start, endKb);
        return failed_ ? 1 : 0;
    }

private:
    bool Loaded() { return obj_->IsConfigReady() && obj_->GetDeviceInfo().itemCount != 0; }

    // Growth of the held memory since the first segment, extrapolated to an hour. A page or
    // an allocator's block more or less is no trend, so a fixed allowance for that is
    // added to the hour's megabyte times the measured time; over a long run it vanishes.
    void CheckMemory()
    {
        clientAnswered_ = client_->Answered();
        clientEmpty_ = client_->Empty();
        clientMisbehaved_ = client_->Misbehaved();
        clientWrong_ = client_->Wrong();
        if (baseKb_ < 0)
            return;
        endHeldKb_ = HeldKb();
        measuredHours_ = std::chrono::duration<double>(Clock::now() - baseTime_).count() / 3600.0;
        const double allowedKb = MemoryGrowthKbPerHour * measuredHours_ + MemoryNoiseKb;
        if (double(endHeldKb_ - baseKb_) > allowedKb) {
            std::fprintf(stderr, "soak: held memory grew by %ld kB in %.1f s, more than %.0f kB allowed\n",
                         endHeldKb_ - baseKb_, measuredHours_ * 3600.0, allowedKb);
            failed_ = true;
        }
    }
    static constexpr double MemoryGrowthKbPerHour = 1024;
    static constexpr double MemoryNoiseKb = 256;

    template <typename F>
    bool WaitUntil(F done, int ms)
    {
        const auto end = Clock::now() + std::chrono::milliseconds(ms);
        while (!done()) {
            if (Clock::now() > end)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }

    // Marks every calculated value of a ready configuration for polling (the console
    // does the same after building its tree) and checks that the copy is whole.
    void Inspect()
    {
        if (!obj_->IsConfigReady())
            return;
        const vx4::SConfigSnapshot snap = obj_->GetConfigSnapshot();
        if (!obj_->IsConfigReady())
            return; // a new read began while copying
        const Items items = ItemsOf(snap);
        if (items.nodes.empty() && items.systems.empty()) {
            // Nothing loaded (the read failed): the console asks again on its next start.
            if (snap.info.itemCount == 0)
                obj_->RequestReread();
            return;
        }
        ++readyChecks_;
        if (!(items == reference_)) {
            ++partialTrees_;
            failed_ = true;
            std::fprintf(stderr, "soak: a ready configuration differs from the whole one (%zu of %zu items)\n",
                         items.nodes.size(), reference_.nodes.size());
        }
        for (const auto& s : snap.systems)
            for (const auto& c : s.calcs)
                obj_->SetItemPolled(c.id, true);
    }

    // Watches the object until done(), checking the cycle bound.
    template <typename F>
    void Watch(F done)
    {
        std::uint64_t lastCycles = obj_->CyclesDone();
        auto lastChange = Clock::now();
        while (!done()) {
            Inspect();
            const std::uint64_t c = obj_->CyclesDone();
            if (c != lastCycles) {
                lastCycles = c;
                lastChange = Clock::now();
            } else if (Clock::now() - lastChange > std::chrono::milliseconds(o_.cycleBoundMs)) {
                std::fprintf(stderr, "soak: no cycle ended for %u ms (hang)\n", o_.cycleBoundMs);
                ++hangs_;
                failed_ = true;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    void Recover(unsigned segment)
    {
        const std::vector<std::uint16_t> ids = sim_.CalcIds();
        const float base = 1000.0f + float(segment);
        for (std::size_t i = 0; i < ids.size(); ++i)
            sim_.SetCalcValue(ids[i], base + float(i), 0);
        const std::uint64_t from = obj_->CyclesDone();
        auto polledRight = [&] {
            if (!obj_->IsConfigReady())
                return false;
            for (std::size_t i = 0; i < ids.size(); ++i)
                if (obj_->GetItemValue(ids[i]).value != base + float(i))
                    return false;
            return true;
        };
        // The cycle whose poll pass first brought the right values, noted on the worker itself
        // (its report comes before the cycle is counted), so that a watcher held back on a busy
        // machine does not count the cycles that ran meanwhile.
        std::atomic<std::uint64_t> rightIn{0};
        obj_->SetWorkerListener([&](const vx4::SWorkerReport& r) {
            if (r.kind == vx4::SWorkerReport::PollPass && r.result == 0 && rightIn == 0 && polledRight())
                rightIn = obj_->CyclesDone() + 1;
        });
        const std::uint64_t limit = from + 20;
        Watch([&] { return rightIn != 0 || obj_->CyclesDone() >= limit || failed_; });
        obj_->SetWorkerListener({});
        const std::uint64_t took = (rightIn != 0 ? rightIn.load() : obj_->CyclesDone()) - from;
        if (rightIn == 0) {
            std::fprintf(stderr, "soak: segment %u: values not polled right %llu cycles after the faults stopped\n",
                         segment, (unsigned long long)took);
            failed_ = true;
            return;
        }
        ++recoveries_;
        longestRecovery_ = std::max(longestRecovery_, took);
        if (took > o_.recoveryLimit) {
            std::fprintf(stderr, "soak: segment %u: recovery took %llu cycles\n", segment, (unsigned long long)took);
            failed_ = true;
        }
    }

    void Report(Clock::duration elapsed, long endKb)
    {
        const std::uint32_t longest = longestCycle_;
        std::printf("soak: %llu cycles in %.1f s, %u forced configuration reads, %llu ready copies checked\n",
                    (unsigned long long)cycles_, std::chrono::duration<double>(elapsed).count(), forcedReads_,
                    (unsigned long long)readyChecks_);
        std::printf("soak: %llu faults injected in %llu requests (%.1f %%):", (unsigned long long)injector_.Total(),
                    (unsigned long long)injector_.Requests(),
                    injector_.Requests() ? 100.0 * double(injector_.Total()) / double(injector_.Requests()) : 0.0);
        for (int f = 0; f < FaultKinds; ++f)
            std::printf("%s %s %llu", f ? "," : "", FaultNames[f], (unsigned long long)injector_.Count(Fault(f)));
        std::printf("\n");
        std::printf("soak: %llu recoveries, longest %llu cycles; longest cycle %u ms; %llu partial trees, %llu hangs\n",
                    (unsigned long long)recoveries_, (unsigned long long)longestRecovery_, longest,
                    (unsigned long long)partialTrees_, (unsigned long long)hangs_);
        if (o_.minutes > 0)
            std::printf("soak: resident memory %ld kB after the first minute, %ld kB at the end (%+ld kB)\n",
                        firstMinuteKb_, endKb, firstMinuteKb_ >= 0 ? endKb - firstMinuteKb_ : 0L);
        std::printf("soak: gateway client: %llu relays answered, %llu empty replies, %llu misbehaviours, %llu wrong replies\n",
                    (unsigned long long)clientAnswered_, (unsigned long long)clientEmpty_,
                    (unsigned long long)clientMisbehaved_, (unsigned long long)clientWrong_);
        if (baseKb_ >= 0) {
            const double growth = double(endHeldKb_ - baseKb_);
            std::printf("soak: held memory %ld kB after the first segment, %ld kB at the end (%+.0f kB in %.1f s, "
                        "%+.0f kB per hour extrapolated)\n",
                        baseKb_, endHeldKb_, growth, measuredHours_ * 3600.0,
                        measuredHours_ > 0 ? growth / measuredHours_ : 0.0);
        }
        std::printf("soak: %s\n", failed_ ? "FAILED" : "passed");
    }

private:
    Options o_;
    vx4sim::Simulator sim_;
    Injector injector_;
    vx4::connection conn_;
    std::unique_ptr<vx4::CVX4Obj> obj_;
    Items reference_;
    bool failed_ = false;
    unsigned forcedReads_ = 0;
    std::uint64_t cycles_ = 0, readyChecks_ = 0, partialTrees_ = 0, hangs_ = 0, recoveries_ = 0, longestRecovery_ = 0;
    std::uint32_t longestCycle_ = 0;
    long firstMinuteKb_ = -1;
    std::unique_ptr<RelayClient> client_;
    long baseKb_ = -1, endHeldKb_ = -1;
    Clock::time_point baseTime_;
    double measuredHours_ = 0;
    std::uint64_t clientAnswered_ = 0, clientEmpty_ = 0, clientMisbehaved_ = 0, clientWrong_ = 0;
};

} // namespace

int main(int argc, char** argv)
{
    Options o;
    if (!ParseArgs(argc, argv, o)) {
        std::fprintf(stderr,
                     "usage: soak [--cycles N] [--reads N] [--faults P] [--cycle-ms MS] [--minutes M] [--seed N]\n");
        return 2;
    }
    Soak soak(o);
    return soak.Run();
}
