// The worker thread of CVX4Obj: the cycle, clearing the store, the change check and the
// gateway it keeps running.

#include "device/Vx4obj.h"

#include "link/Connection.h"
#include "link/ResultCodes.h"
#include "link/Vx4prot.h"
#include "platform/MsClock.h"

namespace vx4 {

using Guard = std::lock_guard<std::recursive_mutex>;

bool CVX4Obj::PauseFor(std::uint32_t ms)
{
    std::unique_lock<std::mutex> lock(wakeLock_);
    return !wake_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopRequested_.load(); });
}

void CVX4Obj::WorkerLoop()
{
    while (!stopRequested_) {
        const std::uint32_t t0 = MsClock();
        if (conn_.IsOpen() && !conn_.LinkUp())
            ReconnectIfAsked();
        if (conn_.LinkUp()) {
            if (ConfigUnchanged() < 0) {
                Guard data(dataLock_);
                ++rereadsRequested_;
            }
            bool reread;
            std::uint64_t takenUp;
            {
                Guard data(dataLock_);
                takenUp = rereadsRequested_;
                reread = takenUp != rereadsTakenUp_;
            }
            if (reread && !stopRequested_) {
                int rc = ReadConfigBlocks();
                if (rc != 0 && !stopRequested_) {
                    ClearStore();
                    rc = ReadConfigItems();
                }
                if (rc != 0)
                    ClearStore();
                if (stopRequested_)
                    break;
                // Reported before the read counts as ended, so whoever sees IsConfigReady
                // has already heard how the read ended.
                Report({SWorkerReport::ConfigRead, rc, 0});
                // A request made while the read ran (the window asking again for the change
                // this read is taking in) is answered by it, unless the read no longer
                // answers it: the device number was changed meanwhile, or the link was
                // closed under the read (a Stop and Start); then another read follows.
                const bool answersLater = conn_.DeviceNumber() == deviceNo_ && rc != LINK_NOT_OPEN;
                {
                    Guard data(dataLock_);
                    rereadsTakenUp_ = answersLater ? rereadsRequested_ : takenUp;
                }
                if (rc == 0) {
                    StopGateway();
                    StartGateway();
                }
            }
            bool poll;
            {
                Guard data(dataLock_);
                poll = info_.itemCount != 0 && pollingEnabled_;
            }
            if (poll && !stopRequested_)
                PollValues();
        }
        // A closed link, or one lost during this cycle: nothing held stays valid.
        if (!conn_.LinkUp()) {
            ClearStore();
            StopGateway();
        }
        const std::uint32_t spent = MsClock() - t0;
        if (spent > longestCycleMs_)
            longestCycleMs_ = spent;
        ++cyclesDone_;
        if (spent < timing_.cycleMs)
            PauseFor(timing_.cycleMs - spent);
    }
    StopGateway();
}

void CVX4Obj::ReconnectIfAsked()
{
    std::uint64_t asked;
    {
        Guard data(dataLock_);
        asked = rereadsRequested_;
        if (asked == rereadsTakenUp_)
            return;
    }
    const int rc = conn_.Reconnect();
    if (rc == 0)
        return;
    // The device cannot be reached: the reads asked for end with nothing read (reported
    // first, as above).
    Report({SWorkerReport::ConfigRead, rc, 0});
    {
        Guard data(dataLock_);
        rereadsTakenUp_ = asked;
    }
}

void CVX4Obj::ClearStore()
{
    Guard data(dataLock_);
    info_.itemCount = 0;
    info_.checksum = 0;
    info_.systemCount = 0;
    store_.Clear();
    progress_ = 0.0f;
    statusText_.clear();
}

int CVX4Obj::ConfigUnchanged()
{
    {
        Guard data(dataLock_);
        if (info_.itemCount == 0 && info_.checksum == 0)
            return 0;
    }
    // dataLock is not held across the exchange: the windows' getters never wait for the line.
    SConfigInfo now;
    int rc;
    {
        Guard link(linkLock_);
        rc = ReadConfigSummary(conn_, deviceNo_, &now);
    }
    if (rc != 0)
        return rc;
    if (stopRequested_)
        return 0;
    Guard data(dataLock_);
    if (info_.itemCount == 0 && info_.checksum == 0)
        return 0; // cleared meanwhile
    return now.itemCount == info_.itemCount && now.checksum == info_.checksum ? 0 : -1;
}

std::size_t CVX4Obj::RelayRequest(const std::uint8_t* request, std::size_t n, std::uint8_t* reply,
                                  std::size_t capacity)
{
    Guard link(linkLock_);
    std::size_t length = 0;
    const int rc = Relay(conn_, deviceNo_, request, n, reply, capacity, &length);
    return rc == 0 ? length : 0;
}

void CVX4Obj::StartGateway()
{
    if (!timing_.runGateway)
        return;
    gateway_.Start(
        deviceNo_,
        [this](const std::uint8_t* request, std::size_t n, std::uint8_t* reply, std::size_t capacity) {
            return RelayRequest(request, n, reply, capacity);
        },
        timing_.gatewayWaitMs);
}

void CVX4Obj::StopGateway() { gateway_.Stop(); }

} // namespace vx4
