// CVX4Obj: construction, the copies handed to windows, control and the device operations
// that only need the line.

#include "device/Vx4obj.h"

#include "link/Connection.h"
#include "link/Frames.h"
#include "link/ResultCodes.h"
#include "link/Vx4prot.h"

namespace vx4 {

using DataGuard = std::lock_guard<std::recursive_mutex>;

CVX4Obj::CVX4Obj(connection& conn) : CVX4Obj(conn, Timing{}) {}

CVX4Obj::CVX4Obj(connection& conn, const Timing& timing) : conn_(conn), timing_(timing)
{
    deviceNo_ = conn_.DeviceNumber();
    workerThread_ = std::thread(&CVX4Obj::WorkerLoop, this);
}

CVX4Obj::~CVX4Obj()
{
    {
        std::lock_guard<std::mutex> guard(wakeLock_);
        stopRequested_ = true;
    }
    wake_.notify_all();
    if (workerThread_.joinable())
        workerThread_.join();
    ClearStore();
}

// ---- read operations ----

SVX4_Info CVX4Obj::GetDeviceInfo()
{
    DataGuard guard(dataLock_);
    return info_;
}

std::uint32_t CVX4Obj::GetConfigChecksum()
{
    DataGuard guard(dataLock_);
    return info_.checksum;
}

DeviceClock CVX4Obj::GetDeviceClock()
{
    DataGuard guard(dataLock_);
    return clock_;
}

bool CVX4Obj::IsConfigReady()
{
    DataGuard guard(dataLock_);
    return rereadsTakenUp_ == rereadsRequested_;
}

void CVX4Obj::GetProgress(float* progress, std::string* text)
{
    DataGuard guard(dataLock_);
    if (progress)
        *progress = progress_;
    if (text)
        *text = statusText_;
}

SNodeInfo CVX4Obj::GetNodeInfo(std::uint16_t id)
{
    DataGuard guard(dataLock_);
    const CNode* node = store_.FindNode(id);
    return node ? node->Info() : SNodeInfo{};
}

std::vector<std::uint32_t> CVX4Obj::GetTransducers()
{
    DataGuard guard(dataLock_);
    return store_.Transducers();
}

SConfigSnapshot CVX4Obj::GetConfigSnapshot()
{
    DataGuard guard(dataLock_);
    SConfigSnapshot snap;
    snap.info = info_;
    for (std::size_t i = 0; i < store_.SystemCount(); ++i) {
        const CSystem* system = store_.System(i);
        SSystemSnapshot s;
        s.name = system->name;
        s.note = system->note;
        for (const auto& c : system->Consts())
            s.consts.push_back(c->Info());
        for (const auto& c : system->Calcs())
            s.calcs.push_back(c->Info());
        snap.systems.push_back(std::move(s));
    }
    for (const auto& c : store_.DeviceConsts())
        snap.deviceConsts.push_back(c->Info());
    for (const auto& e : store_.Events())
        snap.events.push_back(e->Info());
    snap.transducers = store_.Transducers();
    return snap;
}

// ---- control ----

void CVX4Obj::RequestReread()
{
    DataGuard guard(dataLock_);
    ++rereadsRequested_;
    pollingEnabled_ = true;
}

void CVX4Obj::SetWorkerListener(WorkerListener listener)
{
    std::lock_guard<std::mutex> guard(listenerLock_);
    listener_ = std::move(listener);
}

void CVX4Obj::Report(const SWorkerReport& report)
{
    std::lock_guard<std::mutex> guard(listenerLock_);
    if (listener_)
        listener_(report);
}

bool CVX4Obj::EnablePolling(bool on)
{
    DataGuard guard(dataLock_);
    const bool previous = pollingEnabled_;
    pollingEnabled_ = on;
    return previous;
}

// ---- device operations ----

SDevIdent CVX4Obj::FindDevice(int* result, const std::atomic<bool>* cancel)
{
    DataGuard link(linkLock_);
    SDevIdent ident{};
    int rc = Identify(conn_, AnyDeviceAddress, &ident, cancel);
    if (rc == 0 && cancel != nullptr && cancel->load())
        rc = OPERATION_CANCELLED; // a device that answered after the cancel changes nothing
    if (result)
        *result = rc;
    if (rc != 0)
        return SDevIdent{};
    // The caller gets the record's leading 41 bytes; the state flags are not part of it.
    ident.stateFlags = 0;
    deviceNo_ = ident.serial;
    conn_.SetDeviceNumber(ident.serial);
    return ident;
}

namespace {

void ForwardProgress(void* user, float fraction) { (*static_cast<const CVX4Obj::DownloadProgress*>(user))(fraction); }

} // namespace

int CVX4Obj::DownloadFile(std::FILE* out, const std::string& deviceFileName, const DownloadProgress& progress,
                          const std::atomic<bool>* cancel, std::uint32_t* announced)
{
    // The whole file under the link lock: no other exchange (a gateway relay, the worker's
    // reads) comes between its blocks.
    std::lock_guard<std::recursive_mutex> link(linkLock_);
    // The device the connection is set to now, as a configuration read takes it: a download
    // made before any read goes to the configured device, not to the number at creation.
    deviceNo_ = conn_.DeviceNumber();
    if (progress)
        return ReadFile(conn_, deviceNo_, deviceFileName, out, &ForwardProgress,
                        const_cast<DownloadProgress*>(&progress), cancel, announced);
    return ReadFile(conn_, deviceNo_, deviceFileName, out, nullptr, nullptr, cancel, announced);
}

// ---- items ----

void CVX4Obj::SetItemPolled(std::uint16_t id, bool on)
{
    DataGuard guard(dataLock_);
    for (std::size_t i = 0; i < store_.SystemCount(); ++i)
        if (store_.System(i)->SetCalcPolled(id, on) >= 0)
            return;
}

SNodeValue CVX4Obj::GetItemValue(std::uint16_t id)
{
    DataGuard guard(dataLock_);
    const CNode* node = store_.FindNode(id);
    return node ? node->Value() : SNodeValue{};
}

bool CVX4Obj::ItemStatusChanged(std::uint16_t id)
{
    DataGuard guard(dataLock_);
    const CNode* node = store_.FindNode(id);
    return node && node->Info().kind == ITEM_CALC && node->StatusChanged();
}

std::string CVX4Obj::GetActiveEventNames(std::uint16_t id)
{
    DataGuard guard(dataLock_);
    const CNode* node = store_.FindNode(id);
    if (!node || node->Info().kind != ITEM_CALC)
        return {};
    return store_.EventNamesFor(node);
}

std::string CVX4Obj::ItemName(std::uint8_t type, const std::uint8_t* record, std::size_t length)
{
    return CConfigStore::ItemName(type, record, length);
}

std::string CVX4Obj::EventNamesFor(const CNode* item)
{
    DataGuard guard(dataLock_);
    return store_.EventNamesFor(item);
}

std::string CVX4Obj::GatewayPath() { return gateway_.Path(); }

} // namespace vx4
