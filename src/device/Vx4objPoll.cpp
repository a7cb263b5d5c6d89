// Polling the marked calculated values, and the item texts and constant writes of the
// value editor.

#include "device/Vx4obj.h"

#include "link/Connection.h"
#include "link/Frames.h"
#include "link/ResultCodes.h"
#include "link/Vx4prot.h"
#include "platform/Cp1251.h"
#include "platform/MsClock.h"

#include <algorithm>
#include <cstdint>

namespace vx4 {

using Guard = std::lock_guard<std::recursive_mutex>;

namespace {

constexpr std::size_t BatchLimit = MaxReadValues; // 126 values fit one answer frame
constexpr int TextAttempts = 3;
// Between two summary checks while waiting for a write to show in the checksum.
constexpr std::uint32_t WriteCheckPauseMs = 20;

} // namespace

void CVX4Obj::PollValues()
{
    DeviceClock clock;
    int rc;
    {
        Guard link(linkLock_);
        rc = ReadClock(conn_, deviceNo_, &clock);
    }
    if (stopRequested_)
        return;
    if (rc != 0)
        return Report({SWorkerReport::PollPass, rc, 0});
    std::vector<std::vector<CCalc*>> batches;
    {
        Guard data(dataLock_);
        clock_ = clock;
        // Every marked value, from the last system down, each system's in its own order;
        // then cut into requests of at most BatchLimit, so a system with more marks than one
        // answer holds is read whole in every cycle.
        std::vector<CCalc*> marked;
        for (std::size_t s = store_.SystemCount(); s-- > 0;)
            store_.System(s)->CollectPolled(marked, SIZE_MAX);
        for (std::size_t first = 0; first < marked.size(); first += BatchLimit) {
            const std::size_t end = std::min(marked.size(), first + BatchLimit);
            batches.emplace_back(marked.begin() + std::ptrdiff_t(first), marked.begin() + std::ptrdiff_t(end));
        }
    }
    // Items live until the worker itself clears the store, so the pointers stay valid.
    std::size_t read = 0;
    for (const auto& batch : batches) {
        rc = SendBatch(batch);
        if (stopRequested_)
            return;
        if (rc != 0)
            break;
        read += batch.size();
    }
    Report({SWorkerReport::PollPass, rc, read});
}

int CVX4Obj::SendBatch(const std::vector<CCalc*>& batch)
{
    std::vector<std::uint16_t> ids;
    ids.reserve(batch.size());
    for (const CCalc* c : batch)
        ids.push_back(c->Id());
    std::vector<SItemValue> values(batch.size());
    int rc;
    {
        Guard link(linkLock_);
        rc = ReadValues(conn_, deviceNo_, ids.data(), ids.size(), values.data());
    }
    if (rc != 0 || stopRequested_) {
        if (rc == DEV_BAD_PARAMETER) { // the device no longer knows these items
            Guard data(dataLock_);
            ++rereadsRequested_;
        }
        return rc;
    }
    Guard data(dataLock_);
    for (std::size_t i = 0; i < batch.size(); ++i)
        batch[i]->SetValue(values[i].AsFloat(), values[i].status);
    return 0;
}

std::string CVX4Obj::ReadItemText(std::uint16_t id)
{
    Guard link(linkLock_);
    for (int attempt = 0; attempt < TextAttempts; ++attempt) {
        std::string text;
        if (GetItemText(conn_, deviceNo_, id, &text) == 0)
            return Cp1251ToUtf8(text);
    }
    return "элемент не найден";
}

int CVX4Obj::WriteConstant(std::uint16_t id, const std::string& text)
{
    // linkLock for the whole write; dataLock only for a moment at a time, never across an
    // exchange, so the windows' getters never wait for the line.
    Guard link(linkLock_);
    int rc = PutItemText(conn_, deviceNo_, id, Utf8ToCp1251(text));
    if (rc != 0)
        return rc;
    {
        Guard data(dataLock_);
        const CNode* node = store_.FindNode(id);
        if (!node || node->Info().kind != ITEM_CONST)
            return -1;
    }
    std::uint8_t item[ItemRecordMax] = {};
    std::size_t length = 0;
    rc = ReadItemDescriptor(conn_, deviceNo_, id, item, sizeof item, &length);
    if (rc != 0)
        return rc;
    if (length < 1 + ConstRecordSize)
        return FRAME_LENGTH_ERROR; // no value to take over
    // Wait until the device's checksum shows the write, so the worker's change check does
    // not take the user's own write for a new configuration.
    const std::uint32_t t0 = MsClock();
    while (ConfigUnchanged() == 0 && MsClock() - t0 < timing_.writeWaitMs) {
        if (!PauseFor(WriteCheckPauseMs))
            break;
    }
    SConfigInfo summary;
    rc = ReadConfigSummary(conn_, deviceNo_, &summary);
    if (rc != 0)
        return rc;
    Guard data(dataLock_);
    // The worker may have cleared the configuration meanwhile (the link closed); then its
    // next read takes the summary and the value.
    if (CNode* node = store_.FindNode(id)) {
        TakeSummary(summary);
        node->SetValue(GetF32(item + 1 + 7), 0);
    }
    return 0;
}

} // namespace vx4
