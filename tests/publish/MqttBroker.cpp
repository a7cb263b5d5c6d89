#include "MqttBroker.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <thread>

extern char** environ;

namespace mqtttest {

bool WaitUntil(const std::function<bool()>& cond, std::chrono::seconds cap)
{
    const auto end = Clock::now() + cap;
    while (!cond()) {
        if (Clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

Process::Process(const std::string& program, const std::vector<std::string>& args, const std::string& cwd)
{
    std::vector<std::string> store{program};
    store.insert(store.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : store)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, dir_.File("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&fa, 2, dir_.File("err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (!cwd.empty())
        posix_spawn_file_actions_addchdir_np(&fa, cwd.c_str());
    if (posix_spawn(&pid_, program.c_str(), &fa, nullptr, argv.data(), environ) != 0)
        pid_ = -1;
    posix_spawn_file_actions_destroy(&fa);
}

Process::~Process()
{
    if (Running()) {
        Signal(SIGKILL);
        Wait();
    }
}

void Process::Signal(int sig)
{
    if (pid_ > 0 && status_ == -2)
        ::kill(pid_, sig);
}

bool Process::Running()
{
    if (pid_ <= 0 || status_ != -2)
        return false;
    int st = 0;
    if (::waitpid(pid_, &st, WNOHANG) == pid_) {
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
        return false;
    }
    return true;
}

int Process::Wait(std::chrono::seconds cap)
{
    WaitUntil([this] { return !Running(); }, cap);
    return status_;
}

std::string Process::Out() const { return ctltest::ReadFile(dir_.File("out")); }
std::string Process::Err() const { return ctltest::ReadFile(dir_.File("err")); }

Broker::Broker(BrokerOptions options) : options_(std::move(options)), port_(ctltest::ClosedPort()) {}

Broker::~Broker() { Stop(SIGKILL); }

std::string Broker::Url() const
{
    return (options_.certFile.empty() ? "mqtt://127.0.0.1:" : "mqtts://localhost:") + std::to_string(port_);
}

std::string Broker::PahoUri() const { return "tcp://127.0.0.1:" + std::to_string(port_); }

bool Broker::Start()
{
    std::string conf = "listener " + std::to_string(port_) + " 127.0.0.1\n"
                       "persistence true\n"
                       "persistence_location " + dir_.Path() + "/\n"
                       "log_dest file " + dir_.File("mosquitto.log") + "\n"
                       "max_queued_messages 100000\n"
                       "user root\n"; // as root: keep reading the files of this folder
    if (options_.passwordFile.empty())
        conf += "allow_anonymous true\n";
    else
        conf += "allow_anonymous false\npassword_file " + options_.passwordFile + "\n";
    if (!options_.certFile.empty())
        conf += "certfile " + options_.certFile + "\nkeyfile " + options_.keyFile + "\n";
    ctltest::WriteFile(dir_.File("mosquitto.conf"), conf);
    process_ = std::make_unique<Process>("/usr/sbin/mosquitto", std::vector<std::string>{"-c", dir_.File("mosquitto.conf")});
    // Listening once a connection is accepted.
    return WaitUntil([this] {
        if (!process_->Running())
            return true;
        const int s = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port_);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const bool ok = ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        ::close(s);
        return ok;
    }) && process_->Running();
}

void Broker::Stop(int sig)
{
    if (!process_)
        return;
    process_->Signal(sig);
    process_->Wait();
    process_.reset();
}

Subscriber::Subscriber(const std::string& uri, const std::string& clientId, bool cleanSession)
    : cleanSession_(cleanSession)
{
    MQTTClient_create(&client_, uri.c_str(), clientId.c_str(), MQTTCLIENT_PERSISTENCE_NONE, nullptr);
    MQTTClient_setCallbacks(client_, this, OnLost, OnMessage, nullptr);
}

Subscriber::~Subscriber()
{
    Disconnect();
    MQTTClient_destroy(&client_);
}

bool Subscriber::Connect(const std::string& topic)
{
    MQTTClient_connectOptions options = MQTTClient_connectOptions_initializer;
    options.cleansession = cleanSession_ ? 1 : 0;
    options.keepAliveInterval = 20;
    options.connectTimeout = 5;
    int rc = MQTTCLIENT_FAILURE;
    WaitUntil([&] { return (rc = MQTTClient_connect(client_, &options)) == MQTTCLIENT_SUCCESS; });
    return rc == MQTTCLIENT_SUCCESS && MQTTClient_subscribe(client_, topic.c_str(), 1) == MQTTCLIENT_SUCCESS;
}

void Subscriber::Disconnect()
{
    if (MQTTClient_isConnected(client_))
        MQTTClient_disconnect(client_, 1000);
}

std::vector<Message> Subscriber::Messages()
{
    std::lock_guard<std::mutex> g(lock_);
    return messages_;
}

std::vector<std::string> Subscriber::Payloads(const std::string& suffix)
{
    std::vector<std::string> out;
    for (const Message& m : Messages())
        if (m.topic.size() >= suffix.size() && m.topic.compare(m.topic.size() - suffix.size(), suffix.size(), suffix) == 0)
            out.push_back(m.payload);
    return out;
}

bool Subscriber::WaitFor(const std::function<bool(const std::vector<Message>&)>& cond, std::chrono::seconds cap)
{
    return WaitUntil([&] { return cond(Messages()); }, cap);
}

int Subscriber::OnMessage(void* context, char* topic, int topicLength, MQTTClient_message* message)
{
    auto* self = static_cast<Subscriber*>(context);
    Message m;
    m.topic = topicLength > 0 ? std::string(topic, std::size_t(topicLength)) : std::string(topic);
    m.payload.assign(static_cast<const char*>(message->payload), std::size_t(message->payloadlen));
    m.retained = message->retained != 0;
    {
        std::lock_guard<std::mutex> g(self->lock_);
        self->messages_.push_back(std::move(m));
    }
    MQTTClient_freeMessage(&message);
    MQTTClient_free(topic);
    return 1;
}

void Subscriber::OnLost(void*, char*) {}

std::vector<std::uint64_t> Seqs(const std::vector<std::string>& valuesPayloads)
{
    std::vector<std::uint64_t> seqs;
    for (const std::string& p : valuesPayloads)
        seqs.push_back(nlohmann::json::parse(p).at("seq").get<std::uint64_t>());
    return seqs;
}

} // namespace mqtttest
