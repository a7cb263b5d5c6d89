#pragma once
// MqttPublisher: vx4ctl's one connection to an MQTT broker, through Eclipse Paho's
// asynchronous client. What is handed over while the broker cannot be reached is kept (in
// the spool folder when one is given, so that it also survives a restart; else in memory)
// and sent in order once the broker is back. Beyond the bound the oldest messages are
// dropped and counted. Until the first connection has been made the owner's Tick starts
// the attempts, with backoff; after it Paho reconnects by itself.
//
// Paho's callbacks only note what happened and call the wake function; the owner's thread
// takes the notes (TakeConnected, TakeFailures, TakeDropped) and prints them.

#include <MQTTAsync.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace vx4ctl {

class MqttPublisher {
public:
    struct Options {
        std::string uri;      // tcp://HOST:PORT or ssl://HOST:PORT
        std::string name;     // the broker as the user wrote it, for messages
        std::string clientId;
        std::string user;     // empty: no authentication
        std::string password; // with user only
        std::string caFile;   // ssl: the broker's certificate is checked against these
        std::string spoolDir; // empty: messages are kept in memory
        int maxMessages = 1;  // messages kept at most
        std::string willTopic;   // the broker publishes willPayload there (retained, QoS 1)
        std::string willPayload; // when the connection ends without a clean stop
    };
    using Clock = std::chrono::steady_clock;

    MqttPublisher() = default;
    ~MqttPublisher(); // destroys the client; nothing is handed over any more
    MqttPublisher(const MqttPublisher&) = delete;
    MqttPublisher& operator=(const MqttPublisher&) = delete;

    // Creates the client (restoring what the spool holds); an error text, empty on success.
    std::string Create(const Options& options, std::function<void()> wake);
    // Hands a message over; an error text, empty when it was accepted (sent or kept).
    std::string Publish(const std::string& topic, const std::string& payload, int qos, bool retained);
    // Starts a connection attempt when the first connection has not been made yet, none is
    // running and the backoff allows one.
    void Tick(Clock::time_point now);
    bool Connected() const { return connected_.load(); }
    // True once for every connection made (the first and every reconnection).
    bool TakeConnected();
    // Texts of failed attempts and lost connections since the last call; a failure like the
    // one before it is given only once.
    std::vector<std::string> TakeFailures();
    // Messages dropped (the oldest, the bound being reached) since the last call.
    std::uint64_t TakeDropped();
    // Messages accepted but not yet delivered (QoS 1: acknowledged by the broker).
    std::size_t Pending();
    // Waits until nothing is pending or the deadline passes; true when nothing is pending.
    // A connection that is being made is waited for too.
    bool Drain(Clock::time_point deadline, const std::atomic<bool>* stop = nullptr);
    // Ends the connection cleanly (the will is not published), waiting at most timeoutMs.
    void Disconnect(int timeoutMs);

private:
    static void OnConnectionLost(void* context, char* cause);
    static void OnConnected(void* context, char* cause);
    static int OnMessage(void* context, char* topic, int topicLength, MQTTAsync_message* message);
    static void OnConnectSuccess(void* context, MQTTAsync_successData* response);
    static void OnConnectFailure(void* context, MQTTAsync_failureData* response);
    static int OnTlsError(const char* text, std::size_t length, void* context);
    void NoteFailure(const std::string& text);
    void Wake();

    Options options_;
    MQTTAsync client_ = nullptr;
    std::function<void()> wake_;
    std::atomic<bool> connected_{false};
    std::atomic<bool> everConnected_{false};
    std::atomic<bool> attempting_{false};
    std::atomic<std::uint64_t> connections_{0};
    std::atomic<std::uint64_t> failedAttempts_{0};
    std::uint64_t connectionsTaken_ = 0;
    std::uint64_t dropped_ = 0;
    Clock::time_point nextAttempt_{};
    std::chrono::seconds backoff_{1};

    std::mutex lock_; // the texts below
    std::vector<std::string> failures_;
    std::string lastFailure_;
    std::string tlsError_;
};

} // namespace vx4ctl
