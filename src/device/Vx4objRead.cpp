// Reading the configuration: the common head (identification, stability wait, summary,
// archive descriptors, clock), the block read and the item-by-item read.

#include "device/Vx4obj.h"

#include "link/Connection.h"
#include "link/Frames.h"
#include "link/ResultCodes.h"
#include "link/Vx4prot.h"
#include "platform/Cp1251.h"

#include <algorithm>
#include <cstring>

namespace vx4 {

using Guard = std::lock_guard<std::recursive_mutex>;

namespace {

constexpr int ItemAttempts = 5;
const char* const ReadingText = "Чтение конфигурации";

bool IsTransducerName(const std::string& rawName) { return rawName.compare(0, 3, "dev") == 0; }

// Record length for a type byte; 0 for an unknown type.
std::size_t RecordLength(std::uint8_t type)
{
    switch (type) {
    case ITEM_CONST:
    case ITEM_CALC:
        return ConstRecordSize;
    case ITEM_EVENT:
        return EventRecordSize;
    default:
        return 0;
    }
}

// The constant's value truncated toward zero, as a transducer address.
std::uint32_t TransducerAddress(const std::uint8_t* constRecord)
{
    const float v = GetF32(constRecord + 7);
    if (!(v > -1.0f) || v >= 4294967296.0f) // not a number or outside u32: no address
        return 0;
    return std::uint32_t(v);
}

} // namespace

void CVX4Obj::SetItemProgress(std::uint32_t number)
{
    const std::uint32_t count = info_.itemCount;
    progress_ = count == 0 ? 100.0f : std::min(100.0f, float(double(number) * 100.0 / double(count)));
}

void CVX4Obj::AddItem(std::uint8_t type, const std::uint8_t* record, std::uint16_t number)
{
    const std::string raw = ItemName(type, record, RecordLength(type));
    std::string name = Cp1251ToUtf8(raw);
    switch (type) {
    case ITEM_CONST:
        store_.AddConst(record, std::move(name), number);
        if (IsTransducerName(raw)) {
            if (const std::uint32_t a = TransducerAddress(record))
                store_.AddTransducer(a);
        }
        break;
    case ITEM_EVENT:
        store_.AddEvent(record, std::move(name), number);
        break;
    case ITEM_CALC:
        store_.AddCalc(record, std::move(name));
        break;
    default:
        break;
    }
}

int CVX4Obj::ReadHead()
{
    ClearStore();
    {
        Guard link(linkLock_);
        const std::uint32_t dev = conn_.DeviceNumber();
        deviceNo_ = dev;
        SDevIdent ident;
        if (dev == 0) {
            const int rc = Identify(conn_, AnyDeviceAddress, &ident);
            if (rc != 0)
                return rc;
            deviceNo_ = ident.serial;
            conn_.SetDeviceNumber(ident.serial);
        } else {
            const int rc = Identify(conn_, dev, &ident);
            if (rc != 0)
                return rc;
        }
    }
    if (stopRequested_)
        return 0;

    // Wait until the configuration stops changing (another program may be writing it).
    for (std::uint32_t round = 0; round < timing_.stabilityRounds; ++round) {
        SConfigInfo a, b;
        int rc;
        {
            Guard link(linkLock_);
            rc = ReadConfigSummary(conn_, deviceNo_, &a);
        }
        if (rc != 0)
            return rc;
        if (stopRequested_ || !PauseFor(timing_.stabilityPauseMs))
            return 0;
        {
            Guard link(linkLock_);
            rc = ReadConfigSummary(conn_, deviceNo_, &b);
        }
        if (rc != 0)
            return rc;
        if (stopRequested_)
            return 0;
        if (a.itemCount == b.itemCount && a.checksum == b.checksum)
            break;
    }

    {
        // Each answer is taken into info under dataLock on its own; dataLock is never held
        // across an exchange, so the windows' getters never wait for the line.
        Guard link(linkLock_);
        const std::uint32_t dev = deviceNo_;
        SDevIdent ident;
        int rc = Identify(conn_, dev, &ident);
        if (rc == 0) {
            Guard data(dataLock_);
            info_.ident = ident;
        }
        if (rc != 0 || stopRequested_)
            return rc;
        SConfigInfo summary;
        rc = ReadConfigSummary(conn_, dev, &summary);
        if (rc != 0 || stopRequested_)
            return rc;
        {
            Guard data(dataLock_);
            TakeSummary(summary);
        }
        for (int i = 0; i < SArchiveInfo::Count; ++i) {
            SArchiveInfo db;
            rc = ReadArchiveInfo(conn_, dev, std::uint8_t(i), &db);
            if (rc == 0) {
                Guard data(dataLock_);
                info_.db[std::size_t(i)] = db;
            }
            if (rc != 0 || stopRequested_)
                return rc;
        }
        DeviceClock clock;
        rc = ReadClock(conn_, dev, &clock);
        if (rc == 0) {
            Guard data(dataLock_);
            clock_ = clock;
        }
        if (rc != 0 || stopRequested_)
            return rc;
    }
    Guard data(dataLock_);
    const std::size_t systems = std::min<std::size_t>(info_.systemCount, CConfigStore::MaxSystems);
    for (std::size_t j = 0; j < systems; ++j)
        store_.AddSystem(info_.systemNames[j], info_.systemNotes[j], info_.systemCount);
    progress_ = 0.0f;
    statusText_ = ReadingText;
    return 0;
}

void CVX4Obj::TakeSummary(const SConfigInfo& summary)
{
    SConfigInfo& part = info_;
    part = summary;
    for (auto& s : part.systemNames)
        s = Cp1251ToUtf8(s);
    for (auto& s : part.systemNotes)
        s = Cp1251ToUtf8(s);
}

int CVX4Obj::ReadConfigBlocks()
{
    int rc = ReadHead();
    if (rc != 0 || stopRequested_)
        return rc;
    std::uint32_t itemCount;
    {
        Guard data(dataLock_);
        itemCount = info_.itemCount;
    }

    std::uint32_t n = 1;
    std::uint8_t mode = CONFIG_FIRST_BLOCK;
    std::uint8_t lastItem[ItemRecordMax] = {};
    std::uint8_t block[FrameCapacity];
    while (n <= itemCount) {
        std::size_t length = 0;
        {
            Guard link(linkLock_);
            for (int attempt = 0; attempt < ItemAttempts; ++attempt) {
                rc = ReadConfigBlock(conn_, deviceNo_, mode, block, sizeof block, &length);
                if (rc == 0 || stopRequested_)
                    break;
                mode = CONFIG_SAME_BLOCK;
            }
            mode = CONFIG_NEXT_BLOCK;
        }
        if (rc != 0 || stopRequested_)
            return rc;
        // An empty block has no end marker: asking on would never end.
        if (length == 0)
            return FRAME_LENGTH_ERROR;

        const std::uint32_t firstNumber = n;
        // The last byte is the block's end marker, never part of an item.
        const std::size_t end = length - 1;
        std::size_t p = 0;
        while (p + 1 < length) {
            const std::uint8_t type = block[p];
            if (type == 0) { // empty slot: one byte, one number
                ++p;
                ++n;
                Guard data(dataLock_);
                SetItemProgress(n - 1);
                continue;
            }
            const std::size_t L = RecordLength(type);
            if (L == 0)
                return -1;
            if (p + 1 + L > end)
                return FRAME_LENGTH_ERROR; // the record would run past the block
            const std::uint8_t* record = block + p + 1;
            const std::string raw = ItemName(type, record, L);
            if (type == ITEM_CONST && IsTransducerName(raw)) {
                if (const std::uint32_t a = TransducerAddress(record)) {
                    Guard data(dataLock_);
                    store_.AddTransducer(a);
                }
            }
            // A block may begin with the previous block's last item sent again.
            if (p == 0 && std::memcmp(block, lastItem, 1 + L) == 0) {
                p += 1 + L;
                continue;
            }
            std::memset(lastItem, 0, sizeof lastItem);
            std::memcpy(lastItem, block + p, 1 + L);
            p += 1 + L;
            {
                Guard data(dataLock_);
                AddItem(type, record, std::uint16_t(n));
                SetItemProgress(n);
            }
            ++n;
        }
        if (block[length - 1] == 0xFF)
            break;
        // A block that brought no new item and no end would be asked for forever.
        if (n == firstNumber)
            return FRAME_LENGTH_ERROR;
    }
    Guard data(dataLock_);
    statusText_.clear();
    progress_ = 100.0f;
    return 0;
}

int CVX4Obj::ReadConfigItems()
{
    int rc = ReadHead();
    if (rc != 0 || stopRequested_)
        return rc;
    std::uint32_t itemCount;
    {
        Guard data(dataLock_);
        itemCount = info_.itemCount;
    }
    for (std::uint32_t n = 1; n <= itemCount; ++n) {
        // Bytes a short answer does not carry stay zero.
        std::uint8_t item[ItemRecordMax] = {};
        std::size_t length = 0;
        {
            Guard link(linkLock_);
            for (int attempt = 0; attempt < ItemAttempts; ++attempt) {
                rc = ReadItemDescriptor(conn_, deviceNo_, std::uint16_t(n), item, sizeof item, &length);
                if (rc == 0 || stopRequested_)
                    break;
            }
        }
        if (rc != 0 || stopRequested_)
            break;
        Guard data(dataLock_);
        AddItem(item[0], item + 1, std::uint16_t(n));
        SetItemProgress(n);
    }
    Guard data(dataLock_);
    statusText_.clear();
    progress_ = 100.0f;
    return rc;
}

} // namespace vx4
