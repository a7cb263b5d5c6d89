#pragma once
// A real broker for the publish tests: Debian's mosquitto on a free loopback port with its
// configuration in a temporary folder; a subscriber on Paho's client; and a program run in
// the background with its output in files.

#include "CtlRunner.h"

#include <MQTTClient.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <vector>

namespace mqtttest {

using Clock = std::chrono::steady_clock;
// The cap of every wait: generous, for a loaded machine.
inline constexpr std::chrono::seconds WaitCap{60};

// Polls cond every 20 ms until it holds or the cap passes.
bool WaitUntil(const std::function<bool()>& cond, std::chrono::seconds cap = WaitCap);

// A program started in the background; standard output and error go to files.
class Process {
public:
    Process(const std::string& program, const std::vector<std::string>& args, const std::string& cwd = {});
    ~Process(); // kills the process when it still runs
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;
    pid_t Pid() const { return pid_; }
    void Signal(int sig);
    // The exit status once it has ended (-1 when a signal ended it); waits up to the cap,
    // -2 when it did not end.
    int Wait(std::chrono::seconds cap = WaitCap);
    bool Running();
    std::string Out() const;
    std::string Err() const;

private:
    ctltest::TempDir dir_;
    pid_t pid_ = -1;
    int status_ = -2;
};

struct BrokerOptions {
    std::string passwordFile; // mosquitto_passwd file: anonymous clients are refused
    std::string certFile, keyFile; // TLS listener
};

class Broker {
public:
    explicit Broker(BrokerOptions options = {});
    ~Broker();
    std::uint16_t Port() const { return port_; }
    std::string Url() const; // mqtt://127.0.0.1:PORT or mqtts://localhost:PORT
    std::string PahoUri() const; // tcp://127.0.0.1:PORT
    // Starts mosquitto on the port (the same one again after Stop); true once it listens.
    bool Start();
    // SIGTERM (the broker saves its sessions) or SIGKILL; waits for the end.
    void Stop(int sig = 15);
    const std::string& Folder() const { return dir_.Path(); }

private:
    BrokerOptions options_;
    ctltest::TempDir dir_;
    std::uint16_t port_ = 0;
    std::unique_ptr<Process> process_;
};

struct Message {
    std::string topic;
    std::string payload;
    bool retained = false;
};

// A subscriber to TOPIC at QoS 1. A persistent one (cleanSession false) keeps its session
// on the broker between connections.
class Subscriber {
public:
    Subscriber(const std::string& uri, const std::string& clientId, bool cleanSession);
    ~Subscriber();
    Subscriber(const Subscriber&) = delete;
    Subscriber& operator=(const Subscriber&) = delete;
    // Connects (retrying up to the cap) and subscribes.
    bool Connect(const std::string& topic);
    void Disconnect();
    std::vector<Message> Messages();
    // The payloads received on topics ending in suffix, in order.
    std::vector<std::string> Payloads(const std::string& suffix);
    bool WaitFor(const std::function<bool(const std::vector<Message>&)>& cond, std::chrono::seconds cap = WaitCap);

private:
    static int OnMessage(void* context, char* topic, int topicLength, MQTTClient_message* message);
    static void OnLost(void* context, char* cause);

    MQTTClient client_ = nullptr;
    bool cleanSession_;
    std::mutex lock_;
    std::vector<Message> messages_;
};

// The seq numbers of the values messages among payloads.
std::vector<std::uint64_t> Seqs(const std::vector<std::string>& valuesPayloads);

} // namespace mqtttest
