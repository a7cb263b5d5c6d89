#include "MqttPublisher.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <utility>

namespace vx4ctl {

namespace {

constexpr std::chrono::seconds MaxBackoff{30};
constexpr int KeepAliveSeconds = 20;
constexpr int ConnectTimeoutSeconds = 10;

// The broker's refusal of a connection (the code of its answer to CONNECT), in words.
std::string RefusalText(int code)
{
    switch (code) {
    case 1:
        return "the broker refused the connection: unacceptable protocol version";
    case 2:
        return "the broker refused the connection: client id rejected";
    case 3:
        return "the broker refused the connection: server unavailable";
    case 4:
        return "the broker refused the connection: bad user name or password";
    case 5:
        return "the broker refused the connection: not authorized";
    default:
        return {};
    }
}

} // namespace

MqttPublisher::~MqttPublisher()
{
    if (client_)
        MQTTAsync_destroy(&client_);
    std::fill(options_.password.begin(), options_.password.end(), '\0');
}

std::string MqttPublisher::Create(const Options& options, std::function<void()> wake)
{
    options_ = options;
    wake_ = std::move(wake);
    MQTTAsync_createOptions create = MQTTAsync_createOptions_initializer;
    create.sendWhileDisconnected = 1;
    create.allowDisconnectedSendAtAnyTime = 1; // also before the first connection
    create.maxBufferedMessages = std::max(1, options_.maxMessages);
    create.deleteOldestMessages = 1;
    create.restoreMessages = 1;
    create.MQTTVersion = MQTTVERSION_3_1_1;
    const bool spool = !options_.spoolDir.empty();
    const int rc = MQTTAsync_createWithOptions(&client_, options_.uri.c_str(), options_.clientId.c_str(),
                                               spool ? MQTTCLIENT_PERSISTENCE_DEFAULT : MQTTCLIENT_PERSISTENCE_NONE,
                                               spool ? const_cast<char*>(options_.spoolDir.c_str()) : nullptr,
                                               &create);
    if (rc != MQTTASYNC_SUCCESS) {
        client_ = nullptr;
        if (rc == MQTTASYNC_PERSISTENCE_ERROR)
            return "cannot use the spool folder " + options_.spoolDir;
        return std::string("cannot create the MQTT client: ") + MQTTAsync_strerror(rc);
    }
    MQTTAsync_setCallbacks(client_, this, OnConnectionLost, OnMessage, nullptr);
    MQTTAsync_setConnected(client_, this, OnConnected);
    return {};
}

std::string MqttPublisher::Publish(const std::string& topic, const std::string& payload, int qos, bool retained)
{
    // The oldest is dropped when the bound is reached while the messages cannot go out.
    if (!connected_ && Pending() >= std::size_t(std::max(1, options_.maxMessages)))
        ++dropped_;
    MQTTAsync_message message = MQTTAsync_message_initializer;
    message.payload = const_cast<char*>(payload.data());
    message.payloadlen = int(payload.size());
    message.qos = qos;
    message.retained = retained ? 1 : 0;
    MQTTAsync_responseOptions response = MQTTAsync_responseOptions_initializer;
    const int rc = MQTTAsync_sendMessage(client_, topic.c_str(), &message, &response);
    if (rc != MQTTASYNC_SUCCESS)
        return std::string("cannot hand the message to the MQTT client: ") + MQTTAsync_strerror(rc);
    return {};
}

void MqttPublisher::Tick(Clock::time_point now)
{
    // After the first connection Paho reconnects by itself.
    if (everConnected_ || attempting_ || now < nextAttempt_)
        return;
    MQTTAsync_willOptions will = MQTTAsync_willOptions_initializer;
    will.topicName = options_.willTopic.c_str();
    will.message = options_.willPayload.c_str();
    will.retained = 1;
    will.qos = 1;
    MQTTAsync_SSLOptions ssl = MQTTAsync_SSLOptions_initializer;
    ssl.enableServerCertAuth = 1;
    ssl.verify = 1; // the certificate must name the host
    if (!options_.caFile.empty())
        ssl.trustStore = options_.caFile.c_str();
    else
        ssl.CApath = "/etc/ssl/certs";
    ssl.ssl_error_cb = OnTlsError;
    ssl.ssl_error_context = this;

    MQTTAsync_connectOptions connect = MQTTAsync_connectOptions_initializer;
    connect.keepAliveInterval = KeepAliveSeconds;
    connect.cleansession = 0; // a restart with the same client id resumes the session
    connect.will = &will;
    connect.connectTimeout = ConnectTimeoutSeconds;
    connect.automaticReconnect = 1;
    connect.minRetryInterval = 1;
    connect.maxRetryInterval = int(MaxBackoff.count());
    connect.MQTTVersion = MQTTVERSION_3_1_1;
    if (!options_.user.empty()) {
        connect.username = options_.user.c_str();
        connect.password = options_.password.c_str();
    }
    if (options_.uri.rfind("ssl://", 0) == 0)
        connect.ssl = &ssl;
    connect.onSuccess = OnConnectSuccess;
    connect.onFailure = OnConnectFailure;
    connect.context = this;
    {
        std::lock_guard<std::mutex> g(lock_);
        tlsError_.clear();
    }
    attempting_ = true;
    const int rc = MQTTAsync_connect(client_, &connect);
    if (rc != MQTTASYNC_SUCCESS) {
        attempting_ = false;
        NoteFailure(std::string("cannot connect to ") + options_.name + ": " + MQTTAsync_strerror(rc));
    }
    nextAttempt_ = now + backoff_;
    backoff_ = std::min(backoff_ * 2, MaxBackoff);
}

bool MqttPublisher::TakeConnected()
{
    const std::uint64_t made = connections_.load();
    if (made == connectionsTaken_)
        return false;
    connectionsTaken_ = made;
    return true;
}

std::vector<std::string> MqttPublisher::TakeFailures()
{
    std::lock_guard<std::mutex> g(lock_);
    return std::exchange(failures_, {});
}

std::uint64_t MqttPublisher::TakeDropped() { return std::exchange(dropped_, 0); }

std::size_t MqttPublisher::Pending()
{
    MQTTAsync_token* tokens = nullptr;
    if (MQTTAsync_getPendingTokens(client_, &tokens) != MQTTASYNC_SUCCESS || tokens == nullptr)
        return 0;
    std::size_t n = 0;
    while (tokens[n] != -1)
        ++n;
    MQTTAsync_free(tokens);
    return n;
}

bool MqttPublisher::Drain(Clock::time_point deadline, const std::atomic<bool>* stop)
{
    const std::uint64_t failedBefore = failedAttempts_.load();
    bool tried = false;
    while (Pending() != 0) {
        const auto now = Clock::now();
        if (now >= deadline || (stop && stop->load()))
            return false;
        // A first connection that has not been made yet gets one attempt now; when the
        // broker refuses it, there is nothing to wait for.
        if (!everConnected_) {
            if (failedAttempts_.load() != failedBefore && !attempting_)
                return false;
            if (!tried && !attempting_) {
                nextAttempt_ = now;
                tried = true;
            }
        }
        Tick(now);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

void MqttPublisher::Disconnect(int timeoutMs)
{
    if (!client_ || !MQTTAsync_isConnected(client_))
        return;
    MQTTAsync_disconnectOptions options = MQTTAsync_disconnectOptions_initializer;
    options.timeout = timeoutMs;
    if (MQTTAsync_disconnect(client_, &options) != MQTTASYNC_SUCCESS)
        return;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs + 1000);
    while (MQTTAsync_isConnected(client_) && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

void MqttPublisher::OnConnectionLost(void* context, char* cause)
{
    auto* self = static_cast<MqttPublisher*>(context);
    self->connected_ = false;
    self->NoteFailure("the connection to " + self->options_.name + " was lost" +
                      (cause && *cause ? std::string(": ") + cause : std::string()) + "; reconnecting");
    self->Wake();
}

void MqttPublisher::OnConnected(void* context, char*)
{
    auto* self = static_cast<MqttPublisher*>(context);
    self->everConnected_ = true;
    if (!self->connected_.exchange(true))
        ++self->connections_;
    {
        std::lock_guard<std::mutex> g(self->lock_);
        self->lastFailure_.clear();
    }
    self->Wake();
}

int MqttPublisher::OnMessage(void*, char* topic, int, MQTTAsync_message* message)
{
    // Nothing is subscribed to; a message that comes anyway is dropped.
    MQTTAsync_freeMessage(&message);
    MQTTAsync_free(topic);
    return 1;
}

void MqttPublisher::OnConnectSuccess(void* context, MQTTAsync_successData*)
{
    auto* self = static_cast<MqttPublisher*>(context);
    self->everConnected_ = true;
    if (!self->connected_.exchange(true))
        ++self->connections_;
    self->attempting_ = false;
    self->Wake();
}

void MqttPublisher::OnConnectFailure(void* context, MQTTAsync_failureData* response)
{
    auto* self = static_cast<MqttPublisher*>(context);
    std::string why = response ? RefusalText(response->code) : std::string();
    if (why.empty()) {
        std::string tls;
        {
            std::lock_guard<std::mutex> g(self->lock_);
            tls = self->tlsError_;
        }
        if (!tls.empty())
            why = "TLS: " + tls;
        else if (response && response->message)
            why = response->message;
        else
            why = "no connection";
    }
    self->NoteFailure("cannot connect to " + self->options_.name + ": " + why);
    ++self->failedAttempts_;
    self->attempting_ = false;
    self->Wake();
}

int MqttPublisher::OnTlsError(const char* text, std::size_t length, void* context)
{
    auto* self = static_cast<MqttPublisher*>(context);
    std::string line(text, length);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    // OpenSSL's "error:0A000086:SSL routines::certificate verify failed": the words after the
    // last colon say it.
    const auto colon = line.rfind(':');
    if (colon != std::string::npos && colon + 1 < line.size())
        line = line.substr(colon + 1);
    std::lock_guard<std::mutex> g(self->lock_);
    if (self->tlsError_.empty())
        self->tlsError_ = line;
    return 0;
}

void MqttPublisher::NoteFailure(const std::string& text)
{
    std::lock_guard<std::mutex> g(lock_);
    if (text == lastFailure_)
        return;
    lastFailure_ = text;
    failures_.push_back(text);
}

void MqttPublisher::Wake()
{
    if (wake_)
        wake_();
}

} // namespace vx4ctl
