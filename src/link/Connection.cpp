#include "link/Connection.h"

#include "link/Comlink.h"
#include "link/Frames.h"
#include "link/ResultCodes.h"
#include "link/SettingsDialog.h"
#include "link/Tcpiplink.h"
#include "platform/IniFile.h"
#include "platform/MsClock.h"

#include <new>

namespace vx4 {

namespace {

constexpr const char* Section = "CONNECTION";
// Exchange's purge between tries: abort reading and writing, clear the input queue.
constexpr std::uint32_t ExchangePurgeFlags = PURGE_TXABORT | PURGE_RXABORT | PURGE_RXCLEAR;

std::uint32_t Tries(std::uint32_t tries) { return tries == 0 ? 1 : tries; }

// The cancel flag of the operation running on this thread (see CancelScope).
thread_local const std::atomic<bool>* threadCancel = nullptr;

} // namespace

connection::CancelScope::CancelScope(const std::atomic<bool>* flag) : previous_(threadCancel)
{
    threadCancel = flag;
}

connection::CancelScope::~CancelScope() { threadCancel = previous_; }

connection::connection() = default;

connection::~connection() { Close(); }

std::unique_ptr<CLink> connection::MakeLink(const ConnectionSettings& s)
{
    if (s.port == "TCP/IP")
        return std::unique_ptr<CLink>(new (std::nothrow) CTCPIPLink(s.IP, s.TCPIPport));
    return std::unique_ptr<CLink>(new (std::nothrow) CComLink(s.port, s.speed, 0));
}

void connection::Show(const std::vector<std::pair<ConnectionListener::Field, std::string>>& shown)
{
    ConnectionListener* listener = nullptr;
    {
        std::lock_guard<std::mutex> hold(stateLock_);
        listener = listener_;
    }
    if (listener)
        for (const auto& [field, text] : shown)
            listener->SettingShown(field, text);
}

std::string connection::LoadSettings(const std::string& iniPath)
{
    IniFile file;
    file.Load(iniPath);
    LoadSettings(file);
    return file.ErrorText();
}

void connection::LoadSettings(const IniFile& file)
{
    ConnectionSettings s = Settings();
    s.port = file.Get(Section, "port", "COM1");
    s.IP = file.Get(Section, "IP", "192.168.0.1");
    s.TCPIPport = std::to_string(file.GetNumber(Section, "TCPIPport", "10001"));
    s.speed = file.GetNumber(Section, "speed", "115200");
    s.AuxTmout = file.GetNumber(Section, "AuxTmout", "0");
    s.dev_nom = file.GetNumber(Section, "dev_nom", "1");
    SetSettings(s);
    using F = ConnectionListener::Field;
    Show({{F::Port, s.port},
          {F::IP, s.IP},
          {F::TCPIPport, s.TCPIPport},
          {F::Speed, std::to_string(s.speed)},
          {F::AuxTmout, std::to_string(s.AuxTmout)},
          {F::DevNom, std::to_string(s.dev_nom)}});
}

std::vector<IniEntry> connection::SettingsToSave()
{
    const ConnectionSettings s = Settings();
    return {{Section, "port", s.port},
            {Section, "IP", s.IP},
            {Section, "TCPIPport", s.TCPIPport},
            {Section, "speed", std::to_string(s.speed)},
            {Section, "AuxTmout", std::to_string(s.AuxTmout)}};
}

void connection::SaveSettings(const std::string& iniPath) { WritePrivateProfileStrings(SettingsToSave(), iniPath); }

void connection::ApplyOverrides(const std::string& port, const std::string& ip, const std::string& tcpPort,
                                std::uint32_t speed, std::uint32_t devNo, std::uint32_t auxTmout)
{
    using F = ConnectionListener::Field;
    std::vector<std::pair<F, std::string>> shown;
    {
        std::lock_guard<std::mutex> hold(stateLock_);
        if (!port.empty())
            settings_.port = port;
        if (!ip.empty()) {
            settings_.IP = ip;
            shown.emplace_back(F::IP, ip);
        }
        if (!tcpPort.empty()) {
            settings_.TCPIPport = tcpPort;
            shown.emplace_back(F::TCPIPport, tcpPort);
        }
        if (speed != 0) {
            settings_.speed = speed;
            shown.emplace_back(F::Speed, std::to_string(speed));
        }
        settings_.AuxTmout = auxTmout;
        shown.emplace_back(F::AuxTmout, std::to_string(auxTmout));
        if (devNo != 0) {
            settings_.dev_nom = devNo;
            shown.emplace_back(F::DevNom, std::to_string(devNo));
        }
    }
    Show(shown);
}

std::unique_ptr<CLink> connection::CreateLink()
{
    ConnectionSettings s;
    LinkFactory factory;
    {
        std::lock_guard<std::mutex> hold(stateLock_);
        s = settings_;
        factory = factory_;
    }
    std::unique_ptr<CLink> link = factory ? factory(s) : MakeLink(s);
    if (link)
        link->SetStopCheck([this] { return Stopping(); });
    return link;
}

int connection::Open()
{
    std::lock_guard<std::recursive_mutex> hold(lock_);
    ++openCount_;
    // A link taken out for its reconnection is still held, unless it was closed meanwhile:
    // then a new one is made with the settings as they are now.
    if (link_ || (reconnecting_ && !reconnectDropped_))
        return OK;
    unsettled_ = false;
    link_ = CreateLink();
    if (!link_)
        return LINK_NO_MEMORY;
    linkHeld_ = true;
    // The link object stays whatever its opening gave: exchanges then fail at the link.
    return link_->Open(true);
}

int connection::OpenErrno()
{
    std::lock_guard<std::recursive_mutex> hold(lock_);
    return link_ ? link_->OpenErrno() : 0;
}

void connection::Close()
{
    std::lock_guard<std::recursive_mutex> hold(lock_);
    if (openCount_ > 0)
        --openCount_;
    if (openCount_ == 0) {
        link_.reset();
        // A link out for its reconnection goes when that ends.
        reconnectDropped_ = reconnecting_;
        linkHeld_ = reconnecting_;
    }
}

bool connection::IsOpen() { return linkHeld_.load(); }

void connection::Abandon() { abandoned_ = true; }

bool connection::Stopping() const { return abandoned_.load() || (threadCancel && threadCancel->load()); }

bool connection::LinkUp()
{
    std::lock_guard<std::recursive_mutex> hold(lock_);
    return link_ != nullptr && link_->IsOpen();
}

int connection::Reconnect()
{
    // The name lookup and the connect may take seconds: the link is taken out and opened
    // without the lock, so that nobody waits for them. Exchanges meanwhile find no link and
    // fail at once, as they would at the link that is down.
    std::unique_ptr<CLink> link;
    {
        std::lock_guard<std::recursive_mutex> hold(lock_);
        if (!link_ || reconnecting_)
            return LINK_NOT_OPEN;
        if (link_->IsOpen())
            return OK;
        link = std::move(link_);
        reconnecting_ = true;
    }
    const int code = abandoned_ ? LINK_NOT_OPEN : link->Open(true);
    std::lock_guard<std::recursive_mutex> hold(lock_);
    reconnecting_ = false;
    const bool dropped = reconnectDropped_;
    reconnectDropped_ = false;
    // Closed meanwhile by its last user: the link goes. Opened again after that, the new
    // opening made a link of its own (its settings may have changed): that one stays.
    if (dropped || openCount_ == 0) {
        linkHeld_ = link_ != nullptr;
        return link_ && link_->IsOpen() ? OK : LINK_NOT_OPEN;
    }
    unsettled_ = false;
    link_ = std::move(link);
    return code;
}

void connection::RecordTime(std::uint32_t t)
{
    if (t > maxTime_.load(std::memory_order_relaxed))
        maxTime_.store(t, std::memory_order_relaxed);
    const std::uint32_t avg = avgTime_.load(std::memory_order_relaxed);
    avgTime_.store((avg * 49u + t) / 50u, std::memory_order_relaxed);
}

int connection::Send(const std::uint8_t* request, std::size_t n)
{
    std::lock_guard<std::recursive_mutex> hold(lock_);
    if (!link_)
        return LINK_NOT_OPEN;
    std::size_t sent = 0;
    const int code = link_->Write(request, n, &sent);
    if (code != OK) {
        packetsOutFailed_.fetch_add(1, std::memory_order_relaxed);
        return code;
    }
    if (sent < n) {
        packetsOutFailed_.fetch_add(1, std::memory_order_relaxed);
        return LINK_WRITE_FAILED;
    }
    packetsOut_.fetch_add(1, std::memory_order_relaxed);
    return OK;
}

int connection::ReadAnswer(std::uint8_t* buf, std::size_t capacity, std::size_t* count, std::uint32_t waitMs,
                           FrameKind kind)
{
    std::lock_guard<std::recursive_mutex> hold(lock_);
    const std::size_t header = kind == FrameKind::Vx3c ? Vx3cHeaderSize : ShortHeaderSize;
    auto fail = [this](int code) {
        // The rest of this answer may still be coming: the next request waits for quiet.
        unsettled_ = true;
        packetsInFailed_.fetch_add(1, std::memory_order_relaxed);
        lastError_.store(std::uint32_t(code), std::memory_order_relaxed);
        return code;
    };
    *count = 0;
    const std::uint32_t start = clock_ ? clock_() : MsClock();
    if (!link_)
        return fail(LINK_NOT_OPEN);
    // A buffer too small for the header and the check bytes cannot take any frame.
    if (!buf || capacity < header + 2)
        return fail(FRAME_LENGTH_ERROR);

    // The count reports every byte taken off the line, also when the frame fails, so that
    // a listener can show the piece that came.
    std::size_t got = 0;
    int code = link_->Read(buf, header, &got, waitMs + AuxTmout());
    *count = got;
    if (code != OK)
        return fail(code);
    if (got < header)
        return fail(FRAME_LENGTH_ERROR);

    const std::size_t length = kind == FrameKind::Vx3c ? GetU16(buf + 4) : GetU16(buf);
    if (length > capacity - header - 2)
        return fail(FRAME_LENGTH_ERROR); // the rest stays unread
    got = 0;
    code = link_->Read(buf + header, length + 2, &got, std::uint32_t(length) + 12);
    *count += got;
    if (code != OK)
        return fail(code);
    if (got < length + 2)
        return fail(FRAME_LENGTH_ERROR);
    // Wrong check bytes are the command layer's to report; but a frame that does not check
    // may be a piece of something else, whose rest the next request must not take.
    if (!CheckBytesValid(buf, header + length))
        unsettled_ = true;

    packetsIn_.fetch_add(1, std::memory_order_relaxed);
    RecordTime((clock_ ? clock_() : MsClock()) - start);
    return OK;
}

int connection::ExchangeKind(FrameKind kind, const std::uint8_t* request, std::size_t n, std::uint8_t* answer,
                             std::size_t capacity, std::uint32_t waitMs, std::uint32_t tries)
{
    if (!request || n == 0 || (!answer && capacity > 0))
        return LINK_BAD_ARGUMENT;
    if (abandoned_)
        return LINK_NOT_OPEN;
    std::lock_guard<std::recursive_mutex> hold(lock_);
    if (!link_)
        return LINK_NOT_OPEN;
    int code = LINK_TIMEOUT;
    for (std::uint32_t i = 0; i < Tries(tries); ++i) {
        // A line given up or an operation cancelled sends nothing more.
        if (Stopping())
            return abandoned_ && i == 0 ? LINK_NOT_OPEN : code;
        // What a failed read left coming is dropped first, then anything else pending (a
        // late answer to the previous try).
        if (unsettled_) {
            unsettled_ = false;
            link_->DropUntilQuiet();
            if (Stopping())
                return code;
        }
        link_->Purge(ExchangePurgeFlags);
        code = Send(request, n);
        if (code != OK)
            return code;
        if (capacity == 0)
            return OK;
        std::size_t count = 0;
        code = ReadAnswer(answer, capacity, &count, waitMs, kind);
        if (code == OK)
            return OK;
    }
    return code;
}

int connection::Exchange(const std::uint8_t* request, std::size_t n, std::uint8_t* answer, std::size_t capacity,
                         std::uint32_t waitMs, std::uint32_t tries)
{
    return ExchangeKind(FrameKind::Vx3c, request, n, answer, capacity, waitMs, tries);
}

int connection::ExchangeShort(const std::uint8_t* request, std::size_t n, std::uint8_t* answer,
                              std::size_t capacity, std::uint32_t waitMs, std::uint32_t tries)
{
    return ExchangeKind(FrameKind::Short, request, n, answer, capacity, waitMs, tries);
}

int connection::ReceiveFrame(std::uint8_t* buf, std::size_t capacity, std::size_t* received, std::uint32_t waitMs,
                             std::uint32_t tries)
{
    std::size_t count = 0;
    if (received)
        *received = 0;
    if (!buf || capacity == 0)
        return LINK_BAD_ARGUMENT;
    if (abandoned_)
        return LINK_NOT_OPEN;
    std::lock_guard<std::recursive_mutex> hold(lock_);
    if (!link_)
        return LINK_NOT_OPEN;
    int code = OK;
    for (std::uint32_t i = 0; i < Tries(tries); ++i) {
        code = ReadAnswer(buf, capacity, &count, waitMs, FrameKind::Vx3c);
        if (received)
            *received = count;
        if (code == OK)
            break;
    }
    return code;
}

int connection::ReadBytes(std::uint8_t* buf, std::size_t n, std::size_t* received, std::uint32_t waitMs,
                          std::uint32_t tries)
{
    if (received)
        *received = 0;
    if (abandoned_)
        return LINK_NOT_OPEN;
    std::lock_guard<std::recursive_mutex> hold(lock_);
    if (!link_)
        return LINK_NOT_OPEN;
    int code = OK;
    for (std::uint32_t i = 0; i < Tries(tries); ++i) {
        const std::uint32_t start = clock_ ? clock_() : MsClock();
        std::size_t got = 0;
        code = link_->Read(buf, n, &got, waitMs + AuxTmout());
        if (received)
            *received = got;
        if (code != OK) {
            unsettled_ = true;
            lastError_.store(std::uint32_t(code), std::memory_order_relaxed);
            continue;
        }
        RecordTime((clock_ ? clock_() : MsClock()) - start);
        packetsIn_.fetch_add(1, std::memory_order_relaxed);
        break;
    }
    return code;
}

bool connection::PurgeInput(std::uint32_t flags)
{
    std::lock_guard<std::recursive_mutex> hold(lock_);
    return link_ ? link_->Purge(flags) : false;
}

void connection::ResetStatistics()
{
    // Atomics only: the window resets them while an exchange may hold the line.
    for (auto* a : {&packetsOut_, &packetsOutFailed_, &packetsIn_, &packetsInFailed_, &lastError_, &maxTime_,
                    &avgTime_})
        a->store(0, std::memory_order_relaxed);
}

ConnectionStatistics connection::Statistics() const
{
    ConnectionStatistics s;
    s.packetsOut = packetsOut_.load(std::memory_order_relaxed);
    s.packetsOutFailed = packetsOutFailed_.load(std::memory_order_relaxed);
    s.packetsIn = packetsIn_.load(std::memory_order_relaxed);
    s.packetsInFailed = packetsInFailed_.load(std::memory_order_relaxed);
    s.lastError = lastError_.load(std::memory_order_relaxed);
    s.maxTime = maxTime_.load(std::memory_order_relaxed);
    s.avgTime = avgTime_.load(std::memory_order_relaxed);
    return s;
}

ConnectionSettings connection::Settings()
{
    std::lock_guard<std::mutex> hold(stateLock_);
    return settings_;
}

void connection::SetSettings(const ConnectionSettings& s)
{
    std::lock_guard<std::mutex> hold(stateLock_);
    settings_ = s;
}

std::uint32_t connection::DeviceNumber()
{
    std::lock_guard<std::mutex> hold(stateLock_);
    return settings_.dev_nom;
}

void connection::SetDeviceNumber(std::uint32_t devNo)
{
    std::lock_guard<std::mutex> hold(stateLock_);
    settings_.dev_nom = devNo;
}

std::uint32_t connection::AuxTmout()
{
    std::lock_guard<std::mutex> hold(stateLock_);
    return settings_.AuxTmout;
}

void connection::SetListener(ConnectionListener* listener)
{
    std::lock_guard<std::mutex> hold(stateLock_);
    listener_ = listener;
}

void connection::SetSettingsDialog(SettingsDialog* dialog)
{
    std::lock_guard<std::mutex> hold(stateLock_);
    dialog_ = dialog;
}

bool connection::ShowSettingsDialog(int x, int y, std::uint32_t* devNo, bool editable)
{
    SettingsDialog* dialog = nullptr;
    {
        std::lock_guard<std::mutex> hold(stateLock_);
        dialog = dialog_;
        if (!dialog)
            return false;
        if (devNo)
            settings_.dev_nom = *devNo;
    }
    dialog->SetDevNomEnabled(editable);
    // The dialog reads and writes the settings through the locked accessors.
    const bool confirmed = dialog->ShowModalAt(x, y, *this);
    if (editable && devNo)
        *devNo = dialog->DevNomNumber();
    return confirmed;
}

void connection::SetLinkFactory(LinkFactory factory)
{
    std::lock_guard<std::mutex> hold(stateLock_);
    factory_ = std::move(factory);
}

void connection::SetClock(std::uint32_t (*clock)())
{
    std::lock_guard<std::recursive_mutex> hold(lock_);
    clock_ = clock;
}

} // namespace vx4
