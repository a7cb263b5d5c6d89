#pragma once
// The local gateway: a Unix-domain socket of type SOCK_SEQPACKET through which other
// programs of the same user reach the device over the console's connection. A client
// sends one request message (1..255 bytes) and receives one reply message: the handler's
// answer, or an empty message when the handler had none. One client is served at a time;
// while it is connected, others are refused. An empty or over-long message drops the
// client, and so does a reply the client does not take within the wait (a client that
// sends without reading). The socket file lives in the user's runtime directory with mode
// 0600 and is removed when the gateway stops. A file left by a crashed run is replaced; a
// socket another program (a second console for the same device) listens on is left alone:
// the gateway then does not run, which it says once on standard error.
//
// The server knows nothing of the device: the owner supplies the request handler.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace vx4 {

class CPipeServer {
public:
    static constexpr std::size_t MaxMessage = 255;

    // Handles one request of n bytes; writes at most capacity reply bytes and returns
    // their count (0 answers with an empty message).
    using Handler = std::function<std::size_t(const std::uint8_t* request, std::size_t n,
                                              std::uint8_t* reply, std::size_t capacity)>;

    CPipeServer() = default;
    ~CPipeServer(); // Stop
    CPipeServer(const CPipeServer&) = delete;
    CPipeServer& operator=(const CPipeServer&) = delete;

    // Starts the server thread for the device number (a running one is stopped first).
    // waitMs: the longest time the idle server takes to notice Stop, and the longest wait
    // for a client to take its reply.
    void Start(std::uint32_t deviceNo, Handler handler, std::uint32_t waitMs = 100);
    // Ends the server thread and waits for it without limit (a relay in progress is
    // finished first). Does nothing when none runs.
    void Stop();
    bool Running() const;
    // The socket path the running server listens on (empty before it is set up).
    std::string Path() const;

    // "VX-4_<deviceNo>_5B647F26-45E3-4d4a-BAC9-061E17C66550"
    static std::string SocketName(std::uint32_t deviceNo);
    // $XDG_RUNTIME_DIR, else /tmp/vx4pult-<uid>, created with mode 0700 when missing.
    // Empty when no usable directory exists.
    static std::string SocketDirectory();
    static std::string SocketPath(std::uint32_t deviceNo);

private:
    void Serve(std::uint32_t deviceNo, Handler handler, std::uint32_t waitMs);
    void ReportServedElsewhere(const std::string& path);

    std::thread thread_;
    std::atomic<bool> stop_{false};
    int wakeFds_[2] = {-1, -1}; // written by Stop so that a waiting server returns at once
    mutable std::mutex pathLock_;
    std::string path_;
    std::atomic<bool> toldServedElsewhere_{false};
};

} // namespace vx4
