// vx4ctl publish against a real mosquitto on loopback and simulated devices. Prints:
//  - latency from a cycle's last answer (the message's time) to the subscriber: median and
//    99th percentile in ms (goals 5 and 20), one publisher of 126 values every 200 ms;
//  - the CPU of one publisher of 126 values once a second, in % of one core (goal 0.5);
//  - scale: N publishers against N simulators and one broker: values messages delivered /
//    numbered (goal 1.000), and the CPU per device in % of one core.
// Options: --seconds S for the scale run (60), --latency-seconds S and --cpu-seconds S for
// the other two (30 each), --devices N (50), --only latency|cpu|scale.

#include "Simulator.h"

#include <MQTTClient.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    double seconds = 60, latencySeconds = 30, cpuSeconds = 30;
    unsigned devices = 50;
    std::string only;
};

bool WaitUntil(const std::function<bool()>& cond, double seconds)
{
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (!cond()) {
        if (Clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

std::uint16_t FreePort()
{
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(s);
    return ntohs(a.sin_port);
}

pid_t Spawn(std::vector<std::string> args, const std::string& cwd = {}, bool quiet = false)
{
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    if (quiet)
        posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    if (!cwd.empty())
        posix_spawn_file_actions_addchdir_np(&fa, cwd.c_str());
    pid_t pid = -1;
    if (posix_spawn(&pid, args[0].c_str(), &fa, nullptr, argv.data(), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    return pid;
}

// User and system CPU of a process so far, in seconds.
double ProcessCpu(pid_t pid)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(f)), {});
    const auto close = text.rfind(')');
    if (close == std::string::npos)
        return 0;
    std::istringstream rest(text.substr(close + 2));
    std::string field;
    double utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14)
            utime = std::stod(field);
        if (i == 15)
            stime = std::stod(field);
    }
    return (utime + stime) / double(::sysconf(_SC_CLK_TCK));
}

// "2026-12-11T11:09:45.123Z" as milliseconds since the epoch.
std::int64_t UtcMs(const std::string& text)
{
    std::tm tm{};
    int ms = 0;
    if (std::sscanf(text.c_str(), "%d-%d-%dT%d:%d:%d.%dZ", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour,
                    &tm.tm_min, &tm.tm_sec, &ms) != 7)
        return 0;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    return std::int64_t(timegm(&tm)) * 1000 + ms;
}

std::int64_t NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

class Broker {
public:
    Broker() : port_(FreePort())
    {
        char pattern[] = "/tmp/bench_publish_XXXXXX";
        dir_ = ::mkdtemp(pattern);
        std::ofstream(dir_ + "/m.conf") << "listener " << port_ << " 127.0.0.1\nallow_anonymous true\nuser root\n"
                                        << "max_queued_messages 1000000\nmax_inflight_messages 0\nlog_dest none\n";
        pid_ = Spawn({"/usr/sbin/mosquitto", "-c", dir_ + "/m.conf"}, {}, true);
        WaitUntil([this] {
            const int s = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(port_);
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            const bool ok = ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
            ::close(s);
            return ok;
        }, 30);
    }
    ~Broker()
    {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    std::uint16_t Port() const { return port_; }
    pid_t Pid() const { return pid_; }
    const std::string& Dir() const { return dir_; }

private:
    std::uint16_t port_;
    std::string dir_;
    pid_t pid_ = -1;
};

// Every values message: its device (the topic's second level), seq, time and when it came.
class Subscriber {
public:
    struct Sample {
        std::string device;
        std::uint64_t seq;
        std::int64_t timeMs, receivedMs;
    };
    explicit Subscriber(std::uint16_t port)
    {
        const std::string uri = "tcp://127.0.0.1:" + std::to_string(port);
        MQTTClient_create(&client_, uri.c_str(), "bench", MQTTCLIENT_PERSISTENCE_NONE, nullptr);
        MQTTClient_setCallbacks(client_, this, nullptr, OnMessage, nullptr);
        MQTTClient_connectOptions o = MQTTClient_connectOptions_initializer;
        MQTTClient_connect(client_, &o);
        MQTTClient_subscribe(client_, "vx4/+/values", 1);
    }
    ~Subscriber()
    {
        MQTTClient_disconnect(client_, 1000);
        MQTTClient_destroy(&client_);
    }
    std::vector<Sample> Samples()
    {
        std::lock_guard<std::mutex> g(lock_);
        return samples_;
    }
    void Clear()
    {
        std::lock_guard<std::mutex> g(lock_);
        samples_.clear();
    }

private:
    static int OnMessage(void* context, char* topic, int, MQTTClient_message* m)
    {
        const std::int64_t now = NowMs();
        auto* self = static_cast<Subscriber*>(context);
        const std::string t = topic;
        const auto j = nlohmann::json::parse(std::string(static_cast<const char*>(m->payload), std::size_t(m->payloadlen)));
        Sample s{t.substr(4, t.find('/', 4) - 4), j.at("seq").get<std::uint64_t>(), UtcMs(j.at("time")), now};
        {
            std::lock_guard<std::mutex> g(self->lock_);
            self->samples_.push_back(s);
        }
        MQTTClient_freeMessage(&m);
        MQTTClient_free(topic);
        return 1;
    }
    MQTTClient client_ = nullptr;
    std::mutex lock_;
    std::vector<Sample> samples_;
};

std::vector<std::string> PublishArgs(std::uint16_t simPort, std::uint32_t serial, std::uint16_t brokerPort,
                                     unsigned intervalMs, const std::string& spool)
{
    std::vector<std::string> a{VX4CTL_PATH,   "--port",   "127.0.0.1:" + std::to_string(simPort),
                               "--dev",       std::to_string(serial), "publish", "--broker",
                               "mqtt://127.0.0.1:" + std::to_string(brokerPort), "--interval",
                               std::to_string(intervalMs), "--all"};
    if (!spool.empty()) {
        a.push_back("--spool");
        a.push_back(spool);
    }
    return a;
}

double Percentile(std::vector<std::int64_t> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return double(v[std::min(v.size() - 1, std::size_t(p * double(v.size() - 1) + 0.5))]);
}

// One publisher of 126 values (a configuration of 210 items) at the interval; the samples of
// the window after its first message.
struct OneRun {
    std::vector<Subscriber::Sample> samples;
    double cpuPercent = 0;
};

OneRun RunOne(unsigned intervalMs, double seconds)
{
    Broker broker;
    auto sim = vx4sim::Simulator::LargeProfile(210);
    std::string err;
    sim->StartTcp("127.0.0.1", 0, &err);
    Subscriber sub(broker.Port());
    const pid_t pub = Spawn(PublishArgs(sim->Port(), sim->Serial(), broker.Port(), intervalMs, {}), VX4_DATA_DIR);
    OneRun run;
    if (!WaitUntil([&] { return !sub.Samples().empty(); }, 120)) {
        std::fprintf(stderr, "bench_publish: no values message within 120 s\n");
    } else {
        sub.Clear();
        const double cpu0 = ProcessCpu(pub);
        const auto t0 = Clock::now();
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        run.cpuPercent = 100.0 * (ProcessCpu(pub) - cpu0) / std::chrono::duration<double>(Clock::now() - t0).count();
        run.samples = sub.Samples();
    }
    ::kill(pub, SIGTERM);
    ::waitpid(pub, nullptr, 0);
    return run;
}

void Latency(const Options& o)
{
    const OneRun run = RunOne(200, o.latencySeconds);
    std::vector<std::int64_t> ms;
    for (const auto& s : run.samples)
        ms.push_back(s.receivedMs - s.timeMs);
    std::printf("latency, last answer to subscriber (126 values every 200 ms, %zu messages): median %.0f ms "
                "(goal <= 5), p99 %.0f ms (goal <= 20), max %.0f ms\n",
                ms.size(), Percentile(ms, 0.5), Percentile(ms, 0.99), Percentile(ms, 1.0));
}

void Cpu(const Options& o)
{
    const OneRun run = RunOne(1000, o.cpuSeconds);
    std::printf("CPU of one publisher, 126 values a second (%zu messages in %.0f s): %.3f %% of a core (goal <= 0.5)\n",
                run.samples.size(), o.cpuSeconds, run.cpuPercent);
}

void Scale(const Options& o)
{
    std::ifstream demoFile(std::string(VX4_SOURCE_DIR) + "/sim/devices/demo.json");
    const nlohmann::json demo = nlohmann::json::parse(demoFile);
    Broker broker;
    Subscriber sub(broker.Port());
    std::vector<std::unique_ptr<vx4sim::Simulator>> sims;
    std::vector<pid_t> pubs;
    std::vector<std::string> spools;
    for (unsigned i = 0; i < o.devices; ++i) {
        nlohmann::json d = demo;
        d["identification"]["serial"] = 200000 + i;
        std::string err;
        auto sim = vx4sim::Simulator::FromJsonText(d.dump(), &err);
        if (!sim || !sim->StartTcp("127.0.0.1", 0, &err)) {
            std::fprintf(stderr, "bench_publish: simulator: %s\n", err.c_str());
            return;
        }
        spools.push_back(broker.Dir() + "/spool" + std::to_string(i));
        pubs.push_back(Spawn(PublishArgs(sim->Port(), sim->Serial(), broker.Port(), 1000, spools.back()), VX4_DATA_DIR));
        sims.push_back(std::move(sim));
    }
    // The window starts once every publisher has sent its first message.
    auto started = [&] {
        std::set<std::string> devices;
        for (const auto& s : sub.Samples())
            devices.insert(s.device);
        return devices.size() == o.devices;
    };
    if (!WaitUntil(started, 300)) {
        std::fprintf(stderr, "bench_publish: not every publisher started within 300 s\n");
    }
    std::vector<double> cpu0;
    for (pid_t p : pubs)
        cpu0.push_back(ProcessCpu(p));
    const double broker0 = ProcessCpu(broker.Pid());
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(o.seconds));
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    double cpu = 0;
    for (std::size_t i = 0; i < pubs.size(); ++i)
        cpu += ProcessCpu(pubs[i]) - cpu0[i];
    const double brokerCpu = ProcessCpu(broker.Pid()) - broker0;
    for (pid_t p : pubs)
        ::kill(p, SIGTERM);
    for (pid_t p : pubs)
        ::waitpid(p, nullptr, 0);
    // Numbered: the last seq each publisher kept in its spool.
    std::uint64_t numbered = 0;
    std::map<std::string, std::uint64_t> last;
    for (std::size_t i = 0; i < spools.size(); ++i) {
        std::ifstream f(spools[i] + "/vx4ctl-" + std::to_string(200000 + i) + ".seq");
        std::uint64_t seq = 0;
        f >> seq;
        numbered += seq;
        last[std::to_string(200000 + i)] = seq;
    }
    auto delivered = [&] {
        std::set<std::pair<std::string, std::uint64_t>> unique;
        for (const auto& s : sub.Samples())
            if (s.seq <= last[s.device])
                unique.insert({s.device, s.seq});
        return unique.size();
    };
    WaitUntil([&] { return delivered() >= numbered; }, 30);
    std::printf("scale, %u publishers, %u simulators, one broker, %.0f s: delivered / numbered values messages "
                "%zu / %llu = %.4f (goal 1.000); CPU per device %.3f %% of a core; broker %.2f %% of a core\n",
                o.devices, o.devices, wall, delivered(), (unsigned long long)numbered,
                numbered ? double(delivered()) / double(numbered) : 0.0, 100.0 * cpu / wall / double(o.devices),
                100.0 * brokerCpu / wall);
}

} // namespace

int main(int argc, char** argv)
{
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string k = argv[i], v = argv[i + 1];
        if (k == "--seconds")
            o.seconds = std::atof(v.c_str());
        else if (k == "--latency-seconds")
            o.latencySeconds = std::atof(v.c_str());
        else if (k == "--cpu-seconds")
            o.cpuSeconds = std::atof(v.c_str());
        else if (k == "--devices")
            o.devices = unsigned(std::atoi(v.c_str()));
        else if (k == "--only")
            o.only = v;
        else {
            std::fprintf(stderr, "usage: bench_publish [--seconds S] [--latency-seconds S] [--cpu-seconds S] "
                                 "[--devices N] [--only latency|cpu|scale]\n");
            return 2;
        }
    }
    if (o.only.empty() || o.only == "latency")
        Latency(o);
    if (o.only.empty() || o.only == "cpu")
        Cpu(o);
    if (o.only.empty() || o.only == "scale")
        Scale(o);
    return 0;
}
