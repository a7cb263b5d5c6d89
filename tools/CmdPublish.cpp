// Command: publish. The device object polls the calculated values; every cycle that read
// them all becomes one message on an MQTT broker, beside the retained state of the device
// (status, link, info, items). The broker may come and go: messages are kept (on disk under
// --spool) and delivered in order when it is back; the device may come and go: polling goes
// on, and the link topic says so.

#include "CmdPublish.h"

#include "MqttPublisher.h"
#include "Output.h"
#include "Session.h"
#include "StopSignals.h"

#include "device/Vx4Items.h"
#include "link/Connection.h"
#include "link/ResultTexts.h"
#include "options/OptionBank.h"
#include "options/Optlist.h"
#include "platform/FileLocations.h"
#include "platform/PathWalk.h"
#include "platform/RegularFile.h"
#include "platform/StagedFile.h"

#include <CLI/CLI.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <deque>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

namespace vx4ctl {

namespace {

// What is kept while the broker cannot take it: at most this many messages, and at most
// this many bytes counted at the largest values message the published items can give.
constexpr std::uint64_t SpoolMessages = 100000;
constexpr std::uint64_t SpoolBytes = 128ull << 20;
// Upper bounds of one message's parts, for the byte bound.
constexpr std::uint64_t ValuesHeadBytes = 80;  // {"seq":..,"time":"..","values":[]}
constexpr std::uint64_t ValueBytes = 60;       // {"id":65535,"value":-3.4028235e+38,"status":4294967295},
// How long a stop waits for the broker to take what is queued.
constexpr std::chrono::seconds HandoverTime{5};
constexpr std::chrono::seconds MaxDeviceBackoff{30};
constexpr std::size_t SecretLimit = 1024;

struct PublishArgs {
    std::string broker;
    std::string prefix = "vx4";
    std::string interval;
    std::string qos = "1";
    std::string clientId;
    std::string user;
    std::string passwordFile;
    std::string caFile;
    std::string spool;
    std::string count;
    std::string spoolLimit; // hidden: a lower bound on the messages kept, for tests
    bool all = false;
    std::vector<std::string> ids;
};

PublishArgs& Args()
{
    static PublishArgs args;
    return args;
}

std::string UnsignedText(const std::string& s, std::uint64_t min, std::uint64_t max, std::uint64_t* out)
{
    std::string why = ParseUnsigned(s, max, out);
    if (why.empty() && *out < min)
        why = "'" + s + "' is below " + std::to_string(min);
    return why;
}

// mqtt://HOST[:PORT] or mqtts://HOST[:PORT] as Paho's tcp:// or ssl:// address.
std::string ParseBroker(const std::string& text, std::string* uri, bool* tls)
{
    const std::string bad = "cannot parse broker '" + text + "': expected mqtt://HOST[:PORT] or mqtts://HOST[:PORT]";
    std::string rest;
    if (text.rfind("mqtt://", 0) == 0) {
        rest = text.substr(7);
        *tls = false;
    } else if (text.rfind("mqtts://", 0) == 0) {
        rest = text.substr(8);
        *tls = true;
    } else {
        return bad;
    }
    if (!rest.empty() && rest.back() == '/')
        rest.pop_back();
    std::string host = rest, port = *tls ? "8883" : "1883";
    if (!rest.empty() && rest[0] == '[') { // [IPv6]:PORT
        const auto close = rest.find(']');
        if (close == std::string::npos)
            return bad;
        host = rest.substr(0, close + 1);
        if (close + 1 < rest.size()) {
            if (rest[close + 1] != ':')
                return bad;
            port = rest.substr(close + 2);
        }
    } else if (const auto colon = rest.find(':'); colon != std::string::npos) {
        host = rest.substr(0, colon);
        port = rest.substr(colon + 1);
    }
    if (host.empty())
        return bad;
    for (char c : host)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || std::strchr(".-_[]:", c)))
            return bad;
    std::uint64_t portNo = 0;
    if (!ParseUnsigned(port, 65535, &portNo).empty() || portNo == 0)
        return bad;
    *uri = std::string(*tls ? "ssl://" : "tcp://") + host + ":" + std::to_string(portNo);
    return {};
}

// The secret in a password file: the first line. The file is found and opened as a data file
// (no other user's link or folder on the way, one name), and no group and no one else may
// read or change it.
std::string ReadPasswordFile(const std::string& path, std::string* password)
{
    std::string why;
    const int fd = vx4::OpenDataFile(path, &why);
    if (fd < 0)
        return path + ": " + why;
    struct stat st {};
    std::string error;
    if (::fstat(fd, &st) != 0) {
        error = path + ": " + std::strerror(errno);
    } else if ((st.st_uid != ::geteuid() && st.st_uid != 0) || (st.st_mode & (S_IRWXG | S_IRWXO))) {
        error = path + ": a password file must belong to this user (or root) and be open to no one else "
                       "(chmod 600)";
    } else if (st.st_size > off_t(SecretLimit)) {
        error = path + ": longer than " + std::to_string(SecretLimit) + " bytes";
    } else {
        char buffer[SecretLimit + 1];
        std::size_t n = 0;
        while (n < sizeof buffer) {
            const ssize_t r = ::read(fd, buffer + n, sizeof buffer - n);
            if (r < 0 && errno == EINTR)
                continue;
            if (r <= 0)
                break;
            n += std::size_t(r);
        }
        std::string text(buffer, std::min(n, SecretLimit));
        std::fill(buffer, buffer + sizeof buffer, '\0');
        const auto end = text.find_first_of("\r\n");
        *password = text.substr(0, end);
        std::fill(text.begin(), text.end(), '\0');
    }
    ::close(fd);
    return error;
}

// UTC with milliseconds: 2026-12-11T11:09:45.123Z.
std::string UtcText(std::chrono::system_clock::time_point t)
{
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
    const std::time_t seconds = std::time_t(ms / 1000);
    std::tm tm{};
    gmtime_r(&seconds, &tm);
    char buffer[40];
    const std::size_t n = std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%S", &tm);
    std::snprintf(buffer + n, sizeof buffer - n, ".%03dZ", int(ms % 1000));
    return buffer;
}

std::string Dump(const Json& j) { return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace); }

// The failure's text as vx4ctl prints it after the code, without the leading space.
std::string LinkDownText(int code)
{
    std::string s = CodeText(code);
    s.erase(0, s.find_first_not_of(' '));
    return s;
}

// The sequence number of the last values message, kept in the spool so that it carries on
// after a restart.
class SeqFile {
public:
    // One file per client id, so that publishers sharing a spool folder keep their own.
    SeqFile(const std::string& folder, std::string clientId)
    {
        std::replace(clientId.begin(), clientId.end(), '/', '_');
        if (!folder.empty())
            path_ = folder + "/" + clientId + ".seq";
    }
    std::uint64_t Load() const
    {
        if (path_.empty())
            return 0;
        std::string text, why;
        if (!vx4::ReadRegularFile(path_, 32, &text, &why))
            return 0;
        while (!text.empty() && (text.back() == '\n'))
            text.pop_back();
        std::uint64_t v = 0;
        return ParseUnsigned(text, ~std::uint64_t(0), &v).empty() ? v : 0;
    }
    // Before the message goes out: a stop right after it never gives a number twice.
    void Save(std::uint64_t seq)
    {
        if (path_.empty())
            return;
        const std::string error = vx4::StagedFile::Write(path_, std::to_string(seq) + "\n");
        if (!error.empty() && error != lastError_)
            PrintFailure(path_ + ": " + error);
        lastError_ = error;
    }

private:
    std::string path_;
    std::string lastError_;
};

// What the device object's worker tells the command's thread.
struct WorkerEvent {
    enum Kind { ConfigRead, Sample, FailedPass } kind = Sample;
    int result = 0;
    // ConfigRead
    vx4::SConfigSnapshot config;
    vx4::DeviceClock clock;
    std::vector<std::uint16_t> ids; // the values published from now on
    std::vector<std::uint16_t> gone; // listed values the configuration no longer has
    // Sample
    std::vector<vx4::SNodeValue> values;
    std::chrono::system_clock::time_point time;
};

struct Shared {
    std::mutex lock;
    std::condition_variable changed;
    std::deque<WorkerEvent> events;
    std::vector<std::uint16_t> ids; // marked for polling (worker side)
    bool wake = false;
};

// The published items of a configuration: the listed ones (or all calculated values), in
// that order, each with its system, name, the option bank's note and the unit in it.
Json ItemsJson(const std::vector<std::uint16_t>& ids, const vx4::SConfigSnapshot& config,
               const vx4::COptionBank& bank)
{
    Json list = Json::array();
    for (std::uint16_t id : ids) {
        for (const auto& system : config.systems) {
            const auto it = std::find_if(system.calcs.begin(), system.calcs.end(),
                                         [id](const vx4::SNodeInfo& n) { return n.id == id; });
            if (it == system.calcs.end())
                continue;
            const std::string note = vx4::OptionNote(bank, it->name);
            // The bank's notes read "Температура, °C": the unit follows the last comma.
            const auto comma = note.rfind(", ");
            list.push_back({{"id", id},
                            {"system", it->data[0]},
                            {"name", it->name},
                            {"unit", comma == std::string::npos ? std::string() : note.substr(comma + 2)},
                            {"note", note}});
            break;
        }
    }
    return list;
}

std::vector<std::uint16_t> CalcIds(const vx4::SConfigSnapshot& config)
{
    std::vector<std::uint16_t> ids;
    for (const auto& system : config.systems)
        for (const auto& calc : system.calcs)
            ids.push_back(calc.id);
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    return ids;
}

} // namespace

void AddPublishOptions(CLI::App* publish)
{
    PublishArgs& a = Args();
    publish->add_option("--broker", a.broker, "the broker: mqtt://HOST[:PORT] (default port 1883) or mqtts://HOST[:PORT] (TLS, 8883)")
        ->type_name("URL")
        ->required();
    publish->add_option("--prefix", a.prefix, "first level of the topics (default vx4)")->type_name("TEXT");
    publish->add_option("--interval", a.interval, "polling interval, 100..3600000 ms (default 1000)")->type_name("MS");
    publish->add_option("--qos", a.qos, "QoS of the values messages (default 1)")
        ->type_name("0|1")
        ->check(CLI::IsMember({"0", "1"}));
    publish->add_option("--client-id", a.clientId, "MQTT client id (default vx4ctl-SERIAL)")->type_name("ID");
    publish->add_option("--user", a.user, "user name at the broker")->type_name("NAME");
    publish->add_option("--password-file", a.passwordFile,
                        "file whose first line is the password (this user's own, mode 600)")
        ->type_name("FILE");
    publish->add_option("--cafile", a.caFile, "mqtts: the certificates (PEM) the broker's certificate must be signed by")
        ->type_name("FILE");
    publish->add_option("--spool", a.spool, "folder that keeps unsent messages and the sequence number across restarts")
        ->type_name("DIR");
    publish->add_option("--count", a.count, "stop after N cycles")->type_name("N");
    publish->add_flag("--all", a.all, "every calculated value of the configuration");
    publish->add_option("--spool-limit", a.spoolLimit, "at most N messages kept")->type_name("N")->group("");
    publish->add_option("ID", a.ids, "identifiers of calculated values")->type_name("ID");
    publish->footer(
        "Topics under PREFIX/SERIAL: status (retained; online, or offline after a stop and as the last will),\n"
        "link, info and items (retained), values (one message per cycle, at --qos).\n"
        "Messages the broker cannot take yet are kept, on disk under --spool (they survive a restart) or\n"
        "else in memory, and delivered in order: at most " + std::to_string(SpoolMessages) + " messages and " +
        std::to_string(SpoolBytes >> 20) + " MiB (counted at the largest values\n"
        "message the items can give). Beyond that the oldest are dropped, and one line on standard error\n"
        "says how many. SIGTERM or SIGINT publishes offline, hands over what is queued (at most " +
        std::to_string(HandoverTime.count()) + " s)\nand exits 0.");
}

int CmdPublish(const GlobalOptions& g, const CommandArgs&)
{
    const PublishArgs& a = Args();
    auto usage = [](const std::string& message) {
        std::cerr << message << "\nRun with --help for more information.\n";
        return ExitUsage;
    };
    std::string uri;
    bool tls = false;
    if (std::string why = ParseBroker(a.broker, &uri, &tls); !why.empty())
        return usage("--broker: " + why);
    std::uint64_t interval = 1000, count = 0;
    if (!a.interval.empty())
        if (std::string why = UnsignedText(a.interval, 100, 3600000, &interval); !why.empty())
            return usage("--interval: " + why);
    if (!a.count.empty())
        if (std::string why = UnsignedText(a.count, 1, ~std::uint64_t(0), &count); !why.empty())
            return usage("--count: " + why);
    std::uint64_t spoolLimit = SpoolMessages;
    if (!a.spoolLimit.empty())
        if (std::string why = UnsignedText(a.spoolLimit, 1, SpoolMessages, &spoolLimit); !why.empty())
            return usage("--spool-limit: " + why);
    if (a.all == !a.ids.empty())
        return usage(a.all ? "give either --all or identifiers, not both" : "give identifiers of calculated values, or --all");
    std::vector<std::uint16_t> listed;
    for (const std::string& s : a.ids) {
        std::uint64_t v = 0;
        if (std::string why = ParseUnsigned(s, 65535, &v); !why.empty())
            return usage("ID: " + why);
        if (std::find(listed.begin(), listed.end(), std::uint16_t(v)) == listed.end())
            listed.push_back(std::uint16_t(v));
    }
    if (a.prefix.empty() || a.prefix.find_first_of("+#") != std::string::npos)
        return usage("--prefix: a topic level without + or #");
    if (!a.passwordFile.empty() && a.user.empty())
        return usage("--password-file needs --user");
    if (!a.caFile.empty() && !tls)
        return usage("--cafile needs an mqtts:// broker");
    std::string password;
    if (!a.passwordFile.empty())
        if (std::string why = ReadPasswordFile(a.passwordFile, &password); !why.empty())
            return usage("--password-file: " + why);
    if (!a.caFile.empty()) {
        std::string why;
        const int fd = vx4::OpenRegularFile(a.caFile, &why);
        if (fd < 0)
            return usage("--cafile: " + a.caFile + ": " + why);
        ::close(fd);
    }
    if (!a.spool.empty()) {
        if (::mkdir(a.spool.c_str(), 0700) != 0 && errno != EEXIST)
            return usage("--spool: cannot create " + a.spool + ": " + std::strerror(errno));
        struct stat st {};
        if (::stat(a.spool.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || ::access(a.spool.c_str(), W_OK | X_OK) != 0)
            return usage("--spool: " + a.spool + " is not a folder this user can write to");
    }

    StopSignals stop;
    vx4::COptionBank bank;
    if (!bank.OpenFound(vx4::DataFolders(vx4::ProgramDir()), "calcbank.xml"))
        std::cerr << "warning: " << bank.ErrorText() << " (looked for in " << DataFoldersText()
                  << "); items are published without units\n";

    Session session(g);
    session.SetPollInterval(std::uint32_t(interval));
    session.Open(); // a failure is reported; the link is made again below
    vx4::connection& conn = session.Conn();

    // The serial names the topics. Device number 0 asks for the device to be found first.
    auto deviceBackoff = std::chrono::seconds(1);
    std::uint32_t serial = conn.DeviceNumber();
    while (serial == 0 && !stop.Requested()) {
        if (!conn.LinkUp())
            conn.Reconnect();
        std::uint32_t address = 0;
        if (session.Address(&address) == 0) {
            serial = address;
            break;
        }
        const auto until = std::chrono::steady_clock::now() + deviceBackoff;
        while (std::chrono::steady_clock::now() < until && !stop.Requested())
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        deviceBackoff = std::min(deviceBackoff * 2, MaxDeviceBackoff);
    }
    if (stop.Requested())
        return ExitOk;
    const std::string base = a.prefix + "/" + std::to_string(serial) + "/";
    const std::string clientId = a.clientId.empty() ? "vx4ctl-" + std::to_string(serial) : a.clientId;

    vx4::CVX4Obj& device = session.Device();
    auto shared = std::make_shared<Shared>();
    const bool all = a.all;
    device.SetWorkerListener([shared, &device, all, listed](const vx4::SWorkerReport& r) {
        WorkerEvent e;
        if (r.kind == vx4::SWorkerReport::ConfigRead) {
            e.kind = WorkerEvent::ConfigRead;
            e.result = r.result;
            if (r.result == 0) {
                e.config = device.GetConfigSnapshot();
                e.clock = device.GetDeviceClock();
                const std::vector<std::uint16_t> calcs = CalcIds(e.config);
                if (all) {
                    e.ids = calcs;
                } else {
                    for (std::uint16_t id : listed)
                        (std::binary_search(calcs.begin(), calcs.end(), id) ? e.ids : e.gone).push_back(id);
                }
                // A read clears every mark: the published values are marked again.
                for (std::uint16_t id : e.ids)
                    device.SetItemPolled(id, true);
            }
            std::lock_guard<std::mutex> g(shared->lock);
            if (r.result == 0)
                shared->ids = e.ids;
            shared->events.push_back(std::move(e));
            shared->changed.notify_all();
            return;
        }
        std::lock_guard<std::mutex> g(shared->lock);
        if (r.result != 0) {
            e.kind = WorkerEvent::FailedPass;
            e.result = r.result;
        } else if (!shared->ids.empty() && r.valuesRead >= shared->ids.size()) {
            // Taken now, right after the pass's last answer, before anything can change it.
            e.time = std::chrono::system_clock::now();
            for (std::uint16_t id : shared->ids)
                e.values.push_back(device.GetItemValue(id));
            e.ids = shared->ids;
        } else {
            return; // a pass begun before the marks: nothing to say
        }
        shared->events.push_back(std::move(e));
        shared->changed.notify_all();
    });
    device.RequestReread();

    std::unique_ptr<MqttPublisher> mqtt;
    SeqFile seqFile(a.spool, clientId);
    std::uint64_t seq = seqFile.Load();
    std::uint64_t cycles = 0;
    bool firstRead = true;
    std::optional<bool> linkUp; // unknown until the first read or pass
    Json link;
    std::string infoText, itemsText;
    std::uint32_t infoChecksum = 0;
    const int qos = a.qos == "0" ? 0 : 1;
    auto nextReread = std::chrono::steady_clock::now();
    deviceBackoff = std::chrono::seconds(1);
    int exitCode = ExitOk;

    auto publish = [&](const std::string& topic, const std::string& payload, int q, bool retained) {
        if (!mqtt)
            return;
        if (std::string why = mqtt->Publish(base + topic, payload, q, retained); !why.empty())
            PrintFailure(why);
    };
    auto setLink = [&](bool up, int code) {
        if (linkUp == up && (up || link.value("code", 0) == code))
            return;
        linkUp = up;
        link = up ? Json{{"state", "up"}} : Json{{"state", "down"}, {"code", code}, {"text", LinkDownText(code)}};
        publish("link", Dump(link), 1, true);
    };

    // The client, once it is known how large a values message can be: at once for listed
    // values, after the first configuration read for all of them.
    auto createClient = [&](std::size_t values) {
        const std::uint64_t largest = ValuesHeadBytes + ValueBytes * std::max<std::size_t>(1, values);
        MqttPublisher::Options o;
        o.uri = uri;
        o.name = a.broker;
        o.clientId = clientId;
        o.user = a.user;
        o.password = password;
        o.caFile = a.caFile;
        o.spoolDir = a.spool;
        o.maxMessages = int(std::min(spoolLimit, std::max<std::uint64_t>(1, SpoolBytes / largest)));
        o.willTopic = base + "status";
        o.willPayload = "offline";
        mqtt = std::make_unique<MqttPublisher>();
        const std::string why = mqtt->Create(o, [shared] {
            std::lock_guard<std::mutex> g(shared->lock);
            shared->wake = true;
            shared->changed.notify_all();
        });
        std::fill(password.begin(), password.end(), '\0');
        if (!why.empty())
            mqtt.reset();
        return why;
    };
    if (!a.all) {
        if (std::string why = createClient(listed.size()); !why.empty()) {
            PrintFailure(why);
            device.SetWorkerListener({});
            return ExitFailed;
        }
    }

    while (!stop.Requested() && (count == 0 || cycles < count)) {
        std::deque<WorkerEvent> events;
        {
            std::unique_lock<std::mutex> lock(shared->lock);
            shared->changed.wait_for(lock, std::chrono::milliseconds(100),
                                     [&] { return !shared->events.empty() || shared->wake; });
            shared->wake = false;
            events.swap(shared->events);
        }
        const auto now = std::chrono::steady_clock::now();
        for (WorkerEvent& e : events) {
            if (count != 0 && cycles >= count)
                break;
            if (e.kind == WorkerEvent::ConfigRead) {
                if (e.result != 0) {
                    setLink(false, e.result);
                    continue;
                }
                deviceBackoff = std::chrono::seconds(1);
                if (!e.gone.empty()) {
                    std::string list;
                    for (std::uint16_t id : e.gone)
                        list += (list.empty() ? "" : ", ") + std::to_string(id);
                    if (firstRead) {
                        PrintFailure("not a calculated value of this device: " + list);
                        device.SetWorkerListener({});
                        return ExitUsage;
                    }
                    PrintFailure("no longer in the device's configuration, not published: " + list);
                }
                firstRead = false;
                if (!mqtt) {
                    if (std::string why = createClient(e.ids.size()); !why.empty()) {
                        PrintFailure(why);
                        device.SetWorkerListener({});
                        return ExitFailed;
                    }
                }
                const vx4::SVX4_Info& info = e.config.info;
                const std::string infoNow = Dump(InfoJson(info.ident, info, true, info.db.data(), e.clock));
                if (infoText.empty() || info.checksum != infoChecksum) {
                    infoText = infoNow;
                    infoChecksum = info.checksum;
                    publish("info", infoText, 1, true);
                }
                const std::string itemsNow = Dump(ItemsJson(e.ids, e.config, bank));
                if (itemsNow != itemsText) {
                    itemsText = itemsNow;
                    publish("items", itemsText, 1, true);
                }
                setLink(true, 0);
            } else if (e.kind == WorkerEvent::FailedPass) {
                setLink(false, e.result);
            } else {
                setLink(true, 0);
                Json values = Json::array();
                for (std::size_t i = 0; i < e.ids.size(); ++i)
                    values.push_back({{"id", e.ids[i]}, {"value", FloatJson(e.values[i].value)}, {"status", e.values[i].status}});
                ++seq;
                seqFile.Save(seq);
                publish("values", Dump(Json{{"seq", seq}, {"time", UtcText(e.time)}, {"values", values}}), qos, false);
                ++cycles;
            }
        }
        // A device that is gone (the link lost and the configuration cleared, or a read that
        // failed) is asked for again, with backoff.
        if (device.IsConfigReady() && device.GetDeviceInfo().itemCount == 0 && now >= nextReread) {
            device.RequestReread();
            nextReread = now + deviceBackoff;
            deviceBackoff = std::min(deviceBackoff * 2, MaxDeviceBackoff);
        }
        if (mqtt) {
            mqtt->Tick(now);
            if (mqtt->TakeConnected()) {
                publish("status", "online", 1, true);
                // The retained state again: a full spool may have dropped it, or the broker
                // lost it meanwhile (a restart without persistence).
                if (linkUp)
                    publish("link", Dump(link), 1, true);
                if (!infoText.empty())
                    publish("info", infoText, 1, true);
                if (!itemsText.empty())
                    publish("items", itemsText, 1, true);
            }
            for (const std::string& failure : mqtt->TakeFailures())
                PrintFailure(failure);
            if (mqtt->Connected())
                if (const std::uint64_t dropped = mqtt->TakeDropped(); dropped != 0)
                    PrintFailure("the spool was full: the " + std::to_string(dropped) + " oldest messages were dropped");
        }
    }
    device.SetWorkerListener({});
    if (!mqtt)
        return ExitOk;
    // A clean stop: offline, and what is queued handed over within a few seconds.
    publish("status", "offline", 1, true);
    const bool delivered = mqtt->Drain(std::chrono::steady_clock::now() + HandoverTime);
    for (const std::string& failure : mqtt->TakeFailures())
        PrintFailure(failure);
    if (const std::uint64_t dropped = mqtt->TakeDropped(); dropped != 0)
        PrintFailure("the spool was full: the " + std::to_string(dropped) + " oldest messages were dropped");
    if (!delivered) {
        const std::size_t left = mqtt->Pending();
        if (!a.spool.empty()) {
            PrintFailure(std::to_string(left) + " messages not delivered yet are kept in " + a.spool);
        } else {
            PrintFailure(std::to_string(left) + " messages could not be delivered and are lost (no --spool)");
            exitCode = ExitFailed;
        }
    }
    mqtt->Disconnect(1000);
    return exitCode;
}

} // namespace vx4ctl
