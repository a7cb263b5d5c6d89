#pragma once
// connection: the console's one door to the device line. Holds the connection settings
// (and keeps them in the INI file), opens and closes the link for whoever needs the line,
// runs every exchange under one recursive lock (the line's lock) and keeps the packet
// statistics. What the window reads and sets (settings, device number, statistics, whether
// a link is held) lives apart from the line under a short lock of its own or in atomics:
// none of it ever waits for an exchange.

#include "link/Link.h"
#include "platform/IniFile.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace vx4 {

struct ConnectionSettings {
    std::string port = "COM1";      // serial port name; exactly "TCP/IP" selects TCP
    std::string IP = "192.168.0.1"; // host for the TCP link
    std::string TCPIPport = "10001";
    std::uint32_t speed = 9600;
    std::uint32_t dev_nom = 0;
    std::uint32_t AuxTmout = 0;
};

struct ConnectionStatistics {
    std::uint32_t packetsOut = 0;
    std::uint32_t packetsOutFailed = 0;
    std::uint32_t packetsIn = 0;
    std::uint32_t packetsInFailed = 0;
    std::uint32_t lastError = 0;
    std::uint32_t maxTime = 0;
    std::uint32_t avgTime = 0;
};

// Told which values LoadSettings and ApplyOverrides set, so that a settings dialog can
// show them without the connection knowing the dialog.
class ConnectionListener {
public:
    enum class Field { Port, IP, TCPIPport, Speed, AuxTmout, DevNom };
    virtual ~ConnectionListener() = default;
    virtual void SettingShown(Field field, const std::string& text) = 0;
};

class SettingsDialog;

class connection {
public:
    using LinkFactory = std::function<std::unique_ptr<CLink>(const ConnectionSettings&)>;

    connection();
    ~connection(); // one Close, then releases everything
    connection(const connection&) = delete;
    connection& operator=(const connection&) = delete;

    // Reads the settings file once; why it was not taken (its defaults are then used), empty
    // when it was or is missing.
    std::string LoadSettings(const std::string& iniPath);
    void LoadSettings(const IniFile& file);
    void SaveSettings(const std::string& iniPath);
    // The keys SaveSettings writes, for a caller that writes them with its own in one go.
    std::vector<IniEntry> SettingsToSave();
    // Command-line overrides: empty texts and zero numbers leave a setting alone, except
    // auxTmout, which always replaces AuxTmout.
    void ApplyOverrides(const std::string& port, const std::string& ip, const std::string& tcpPort,
                        std::uint32_t speed, std::uint32_t devNo, std::uint32_t auxTmout);

    int Open();
    // The system's errno of the link's last failed opening (0 for none, or a failure
    // without a system reason).
    int OpenErrno();
    void Close();
    // Whether a link is held (open count above 0); never waits for an exchange.
    bool IsOpen();
    // The program no longer waits for the line: a read in progress gives up within
    // CLink::StopCheckMs and every later exchange fails at once with LINK_NOT_OPEN.
    void Abandon();

    // While one exists, a read on this thread gives up within CLink::StopCheckMs once the
    // flag becomes true (an operation the user cancelled).
    class CancelScope {
    public:
        explicit CancelScope(const std::atomic<bool>* flag);
        ~CancelScope();
        CancelScope(const CancelScope&) = delete;
        CancelScope& operator=(const CancelScope&) = delete;

    private:
        const std::atomic<bool>* previous_;
    };
    // Whether the link is up: open, and its channel not lost (a TCP peer that closed the
    // connection takes the link down).
    bool LinkUp();
    // Opens the channel of a link that is down again (the link object and the opening
    // count stay); 0 when the link is up afterwards, LINK_NOT_OPEN when none is held. The
    // name lookup and the connect run without the line's lock.
    int Reconnect();

    int Exchange(const std::uint8_t* request, std::size_t n, std::uint8_t* answer, std::size_t capacity,
                 std::uint32_t waitMs, std::uint32_t tries);
    int ExchangeShort(const std::uint8_t* request, std::size_t n, std::uint8_t* answer,
                      std::size_t capacity, std::uint32_t waitMs, std::uint32_t tries);
    int ReceiveFrame(std::uint8_t* buf, std::size_t capacity, std::size_t* received, std::uint32_t waitMs,
                     std::uint32_t tries);
    int ReadBytes(std::uint8_t* buf, std::size_t n, std::size_t* received, std::uint32_t waitMs,
                  std::uint32_t tries);
    bool PurgeInput(std::uint32_t flags);

    void ResetStatistics();
    // Read without the lock by the window's timer; each field is read atomically.
    ConnectionStatistics Statistics() const;

    ConnectionSettings Settings();
    void SetSettings(const ConnectionSettings& s); // what a confirmed settings dialog writes
    std::uint32_t DeviceNumber();
    void SetDeviceNumber(std::uint32_t devNo);

    void SetListener(ConnectionListener* listener);

    // The settings dialog ShowSettingsDialog shows (the window side's; nullptr: none).
    void SetSettingsDialog(SettingsDialog* dialog);
    // Shows the settings dialog modally at (x, y) without holding the lock. A given devNo
    // becomes dev_nom first; editable enables the dialog's device-number field. When
    // editable and devNo is given, *devNo takes the number in that field afterwards, whether
    // the dialog was confirmed or cancelled. True when confirmed; false when cancelled or
    // when no dialog is set.
    bool ShowSettingsDialog(int x, int y, std::uint32_t* devNo, bool editable);
    // Tests put a link of their own behind the connection (an empty factory restores the
    // serial and TCP links); the factory returns nullptr when it cannot create a link.
    void SetLinkFactory(LinkFactory factory);
    // Tests measure answer times with a clock of their own (nullptr restores MsClock).
    void SetClock(std::uint32_t (*clock)());
    // The link the settings select: CTCPIPLink for port "TCP/IP", otherwise CComLink.
    static std::unique_ptr<CLink> MakeLink(const ConnectionSettings& s);

    std::recursive_mutex& Lock() { return lock_; }

private:
    enum class FrameKind { Vx3c, Short };
    int ExchangeKind(FrameKind kind, const std::uint8_t* request, std::size_t n, std::uint8_t* answer,
                     std::size_t capacity, std::uint32_t waitMs, std::uint32_t tries);
    int Send(const std::uint8_t* request, std::size_t n);
    int ReadAnswer(std::uint8_t* buf, std::size_t capacity, std::size_t* count, std::uint32_t waitMs,
                   FrameKind kind);
    void RecordTime(std::uint32_t t);
    void Show(const std::vector<std::pair<ConnectionListener::Field, std::string>>& shown);
    std::unique_ptr<CLink> CreateLink();
    std::uint32_t AuxTmout();
    // The line was abandoned, or the operation on this thread was cancelled.
    bool Stopping() const;

    // The line's lock: the link and the opening count.
    std::recursive_mutex lock_;
    std::unique_ptr<CLink> link_;
    int openCount_ = 0;
    bool reconnecting_ = false; // the link is out for its reconnection
    bool reconnectDropped_ = false; // and was closed by its last user meanwhile
    // A read failed (or brought a frame that does not check): the next request first waits
    // until the line is quiet.
    bool unsettled_ = false;
    std::atomic<bool> linkHeld_{false};
    std::atomic<bool> abandoned_{false};
    std::uint32_t (*clock_)() = nullptr;

    // Short lock of what the window reads and sets; never held across a wait, and never
    // held while the line's lock is taken.
    std::mutex stateLock_;
    ConnectionSettings settings_;
    ConnectionListener* listener_ = nullptr;
    SettingsDialog* dialog_ = nullptr;
    LinkFactory factory_;

    std::atomic<std::uint32_t> packetsOut_{0}, packetsOutFailed_{0}, packetsIn_{0}, packetsInFailed_{0},
        lastError_{0}, maxTime_{0}, avgTime_{0};
};

} // namespace vx4
