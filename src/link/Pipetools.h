#pragma once
// The local gateway: a Unix-domain socket of type SOCK_SEQPACKET through which other
// programs of the same user reach the device over the console's connection. A client
// sends one request message (1..255 bytes) and receives one reply message: the handler's
// answer, or an empty message when the handler had none. One client is served at a time;
// while it is connected, others are refused. An empty or over-long message drops the
// client, and so does a reply the client does not take within the wait (a client that
// sends without reading) and a client that sends no request within the request time-out
// (10 s from its connect or its last reply), so that an idle client cannot keep the only
// slot. A client of another user (by the peer's credentials) is closed at once.
//
// The socket file lives in a directory of the user's own that nobody else may enter (the
// runtime directory when it is the user's with mode 0700, else /tmp/vx4pult-<uid>); it is
// created with mode 0600 and removed when the gateway stops, provided it is still the
// file the gateway bound. A lock file beside it marks the live server for as long as it
// runs, so a second console for the same device leaves the socket to the first even while
// the first serves a client; a file left by a crashed run is replaced; a socket another
// program listens on is left alone. The gateway then does not run, which it says once on
// standard error.
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
    // The longest a connected client may take to send its next request.
    static constexpr std::uint32_t RequestTimeoutMs = 10000;

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
    // The request time-out for the servers started from now on (RequestTimeoutMs unless set).
    void SetRequestTimeout(std::uint32_t ms) { requestTimeoutMs_ = ms; }
    // The socket path the running server listens on (empty before it is set up).
    std::string Path() const;

    // "VX-4_<deviceNo>_5B647F26-45E3-4d4a-BAC9-061E17C66550"
    static std::string SocketName(std::uint32_t deviceNo);
    // $XDG_RUNTIME_DIR when it is a directory owned by the user with mode 0700, else
    // /tmp/vx4pult-<uid>, created with mode 0700 when missing and used only when it is a
    // directory of the user's own closed to others. Empty when no usable directory exists.
    static std::string SocketDirectory();
    // parent/vx4pult-<uid>, made with mode 0700 when missing; empty when it cannot be made or
    // is not a directory of the user's own closed to others (another user took the name
    // first), with *problem naming the folder and what is wrong with it.
    static std::string PrivateDirectoryIn(const std::string& parent, std::string* problem);
    static std::string SocketPath(std::uint32_t deviceNo);

private:
    void Serve(std::uint32_t deviceNo, Handler handler, std::uint32_t waitMs, std::uint32_t requestTimeoutMs);
    void ReportServedElsewhere(const std::string& path);

    std::thread thread_;
    std::atomic<bool> stop_{false};
    int wakeFds_[2] = {-1, -1}; // written by Stop so that a waiting server returns at once
    mutable std::mutex pathLock_;
    std::string path_;
    std::atomic<bool> toldServedElsewhere_{false};
    std::uint32_t requestTimeoutMs_ = RequestTimeoutMs;
};

} // namespace vx4
