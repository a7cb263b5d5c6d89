#include "Device.h"

#include "link/Frames.h"
#include "platform/Cp1251.h"

#include <algorithm>
#include <bit>
#include <cctype>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>

namespace vx4sim {

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t kIdentify = 0x01, kReadClock = 0x02, kSetClock = 0x03, kSysEvent = 0x04,
                       kOpenFile = 0x05, kFileBlock = 0x06, kEcho = 0x08, kReadItem = 0x21,
                       kConfigBlock = 0x22, kSummary = 0x23, kValues = 0x24, kItemText = 0x25,
                       kRelay = 0x26, kArchive = 0x30, kShortTest = 0xF0;
constexpr std::uint8_t kNoData = 246, kFileNotOpen = 248, kNoConfig = 250, kBadCommand = 252,
                       kBadParameter = 253;
constexpr std::size_t kFileBlockBytes = 1011;
constexpr std::size_t kMaxData = vx4::MaxVx3cData;
// Marker byte at the end of every configuration block except the final one (0xFF).
constexpr std::uint8_t kMoreBlocks = 0xFE;

void PushU16(Bytes& b, std::uint16_t v)
{
    b.push_back(std::uint8_t(v));
    b.push_back(std::uint8_t(v >> 8));
}
void PushU32(Bytes& b, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b.push_back(std::uint8_t(v >> (8 * i)));
}
void PushF32(Bytes& b, float v) { PushU32(b, std::bit_cast<std::uint32_t>(v)); }

void PushName(Bytes& b, const std::string& utf8)
{
    std::string cp = vx4::Utf8ToCp1251(utf8);
    cp.resize(6, '\0');
    b.insert(b.end(), cp.begin(), cp.end());
}

std::uint8_t Bcd(unsigned v) { return std::uint8_t(((v / 10) % 10) << 4 | (v % 10)); }
int FromBcd(std::uint8_t b)
{
    if ((b >> 4) > 9 || (b & 15) > 9)
        return -1;
    return (b >> 4) * 10 + (b & 15);
}

std::string Lower(std::string s)
{
    for (char& c : s)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::uint32_t Fnv(std::uint32_t h, const std::uint8_t* p, std::size_t n)
{
    for (std::size_t i = 0; i < n; ++i) {
        h ^= p[i];
        h *= 16777619u;
    }
    return h;
}

// A number text as the device accepts it: optional sign, digits with one optional point
// or comma, optional exponent (not for integers). Surrounding blanks are allowed.
bool ParseNumber(std::string text, bool integer, double* out)
{
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.pop_back();
    std::size_t s = 0;
    while (s < text.size() && (text[s] == ' ' || text[s] == '\t'))
        ++s;
    text = text.substr(s);
    if (text.empty())
        return false;
    std::size_t i = 0;
    if (text[i] == '+' || text[i] == '-')
        ++i;
    std::size_t digits = 0;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) {
        ++i;
        ++digits;
    }
    if (!integer && i < text.size() && (text[i] == '.' || text[i] == ',')) {
        text[i] = '.';
        ++i;
        while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) {
            ++i;
            ++digits;
        }
    }
    if (digits == 0)
        return false;
    if (!integer && i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < text.size() && (text[i] == '+' || text[i] == '-'))
            ++i;
        std::size_t e = 0;
        while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) {
            ++i;
            ++e;
        }
        if (e == 0)
            return false;
    }
    if (i != text.size())
        return false;
    const char* b = text.c_str() + (text[0] == '+' ? 1 : 0);
    double v = 0;
    auto [ptr, ec] = std::from_chars(b, text.c_str() + text.size(), v);
    if (ec != std::errc() || ptr != text.c_str() + text.size() || !std::isfinite(v))
        return false;
    *out = v;
    return true;
}

std::string FormatNumber(double v, bool integer, unsigned decimals, unsigned width)
{
    char buf[64];
    if (integer)
        std::snprintf(buf, sizeof buf, "%0*lld", int(width), static_cast<long long>(std::llround(v)));
    else
        std::snprintf(buf, sizeof buf, "%.*f", int(decimals), v);
    return buf;
}

std::int64_t NowLocalSeconds()
{
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    return std::int64_t(timegm(&tm));
}

} // namespace

Device::Device(DeviceDescription description)
    : desc_(std::move(description)), serial_(desc_.serial),
      clockSet_(std::chrono::steady_clock::now()), started_(clockSet_)
{
    clockBase_ = NowLocalSeconds();
    for (const ItemDesc& d : desc_.items) {
        Item it;
        it.desc = d;
        it.value = float(d.value);
        items_.push_back(it);
    }
    for (FileDesc& f : desc_.files)
        files_[FileKey(f.name)] = f;
    desc_.files.clear();
    events_ = desc_.systemEvents;
    Recompute();
}

// ---------------------------------------------------------------------------------------
// Framing

std::optional<Bytes> Device::Process(const std::uint8_t* frame, std::size_t size, bool shortFrame)
{
    std::lock_guard<std::recursive_mutex> g(lock_);
    Bytes data;
    if (shortFrame) {
        if (size < vx4::ShortOverhead)
            return std::nullopt;
        const std::size_t len = vx4::GetU16(frame);
        if (size != vx4::ShortFrameSize(len) || !vx4::CheckBytesValid(frame, vx4::ShortCovered(len)))
            return std::nullopt;
        std::uint8_t cmd = frame[2];
        if (cmd == kShortTest) {
            // 06 opens the clock test, 04 closes it; the answer repeats the sub-code.
            if (len == 1 && (frame[3] == 0x06 || frame[3] == 0x04))
                data.push_back(frame[3]);
            else
                cmd = kBadParameter;
        } else {
            cmd = kBadCommand;
        }
        Bytes out(3);
        vx4::PutU16(out.data(), std::uint16_t(data.size()));
        out[2] = cmd;
        out.insert(out.end(), data.begin(), data.end());
        out.resize(out.size() + 2);
        vx4::FillCheckBytes(out.data(), vx4::ShortCovered(data.size()));
        return out;
    }

    if (size < vx4::Vx3cOverhead)
        return std::nullopt;
    const std::size_t len = vx4::GetU16(frame + 4);
    if (size != vx4::Vx3cFrameSize(len) || !vx4::CheckBytesValid(frame, vx4::Vx3cCovered(len)))
        return std::nullopt;
    const std::uint32_t address = vx4::GetU32(frame);
    const std::uint8_t cmd = frame[6];
    if (address != serial_ && !(address == vx4::AnyDeviceAddress && cmd == kIdentify))
        return std::nullopt;
    const std::uint8_t* d = frame + vx4::Vx3cHeaderSize;

    std::uint8_t answer;
    switch (cmd) {
    case kIdentify: answer = Identify(data); break;
    case kReadClock: answer = ReadClock(data); break;
    case kSetClock: answer = WriteClock(d, len); break;
    case kSysEvent: answer = NextSystemEvent(d, len, data); break;
    case kOpenFile: answer = OpenFile(d, len, data); break;
    case kFileBlock: answer = FileBlock(d, len, data); break;
    case kEcho:
        data.assign(d, d + len);
        answer = kEcho;
        break;
    case kReadItem: answer = ReadItem(d, len, data); break;
    case kConfigBlock: answer = ConfigBlock(d, len, data); break;
    case kSummary: answer = Summary(data); break;
    case kValues: answer = Values(d, len, data); break;
    case kItemText: answer = ItemTextCommand(d, len, data); break;
    case kRelay: answer = Relay(d, len, data); break;
    case kArchive: answer = ArchiveInfo(d, len, data); break;
    default: answer = kBadCommand; break;
    }
    if (answer != cmd)
        data.clear();
    if (data.size() > kMaxData)
        data.resize(kMaxData);  // never happens with the handlers above; keeps frames sound

    Bytes out(vx4::Vx3cFrameSize(data.size()));
    std::copy(data.begin(), data.end(), out.begin() + vx4::Vx3cHeaderSize);
    // The echo answer carries the request's address; every other answer the device's own.
    vx4::BuildVx3cFrame(out.data(), cmd == kEcho ? address : serial_, std::uint16_t(data.size()),
                        answer);
    return out;
}

std::optional<Bytes> Device::Refusal(const std::uint8_t* frame, std::size_t size, bool shortFrame,
                                     std::uint8_t code)
{
    std::lock_guard<std::recursive_mutex> g(lock_);
    if (shortFrame) {
        if (size < vx4::ShortOverhead || size != vx4::ShortFrameSize(vx4::GetU16(frame)) ||
            !vx4::CheckBytesValid(frame, size - 2))
            return std::nullopt;
        Bytes out{0, 0, code, 0, 0};
        vx4::FillCheckBytes(out.data(), 3);
        return out;
    }
    if (size < vx4::Vx3cOverhead || size != vx4::Vx3cFrameSize(vx4::GetU16(frame + 4)) ||
        !vx4::CheckBytesValid(frame, size - 2))
        return std::nullopt;
    const std::uint32_t address = vx4::GetU32(frame);
    if (address != serial_ && !(address == vx4::AnyDeviceAddress && frame[6] == kIdentify))
        return std::nullopt;
    Bytes out(vx4::Vx3cOverhead);
    vx4::BuildVx3cFrame(out.data(), serial_, 0, code);
    return out;
}

// ---------------------------------------------------------------------------------------
// Commands

std::uint8_t Device::Identify(Bytes& data) const
{
    data = IdentRecord();
    return kIdentify;
}

std::vector<std::uint8_t> Device::IdentRecord() const
{
    std::lock_guard<std::recursive_mutex> g(lock_);
    Bytes r(42, 0);
    r[0] = std::uint8_t(desc_.protoMinor);
    r[1] = std::uint8_t(desc_.protoMajor);
    vx4::PutU16(&r[2], std::uint16_t(desc_.swBuild));
    r[4] = std::uint8_t(desc_.swMinor);
    r[5] = std::uint8_t(desc_.swMajor);
    r[6] = std::uint8_t(desc_.stackFillPct);
    const std::string type = vx4::Utf8ToCp1251(desc_.deviceType);
    std::copy_n(type.begin(), std::min<std::size_t>(4, type.size()), r.begin() + 7);
    const std::string cpu = vx4::Utf8ToCp1251(desc_.cpuType);
    std::copy_n(cpu.begin(), std::min<std::size_t>(9, cpu.size()), r.begin() + 11);
    vx4::PutU32(&r[21], serial_);
    vx4::PutU32(&r[25], std::uint32_t(desc_.initState));
    std::copy(desc_.initTime.begin(), desc_.initTime.end(), r.begin() + 29);
    r[35] = std::uint8_t(desc_.extMinor);
    r[36] = std::uint8_t(desc_.extMajor);
    vx4::PutU32(&r[37], desc_.swChecksum);
    r[41] = desc_.stateFlags;
    return r;
}

std::uint8_t Device::ReadClock(Bytes& data) const
{
    const auto c = Clock();
    data.assign(c.begin(), c.end());
    return kReadClock;
}

std::array<std::uint8_t, 6> Device::Clock() const
{
    std::lock_guard<std::recursive_mutex> g(lock_);
    const auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(
        std::chrono::steady_clock::now() - clockSet_);
    const std::time_t t = std::time_t(clockBase_ + elapsed.count());
    std::tm tm{};
    gmtime_r(&t, &tm);
    return {Bcd(unsigned(tm.tm_mday)), Bcd(unsigned(tm.tm_mon + 1)), Bcd(unsigned(tm.tm_year % 100)),
            Bcd(unsigned(tm.tm_hour)), Bcd(unsigned(tm.tm_min)), Bcd(unsigned(tm.tm_sec))};
}

void Device::SetClock(const std::array<std::uint8_t, 6>& bcd) { WriteClock(bcd.data(), 6); }

std::uint8_t Device::WriteClock(const std::uint8_t* d, std::size_t n)
{
    std::lock_guard<std::recursive_mutex> g(lock_);
    if (n != 6)
        return kBadParameter;
    int v[6];
    for (int i = 0; i < 6; ++i)
        if ((v[i] = FromBcd(d[i])) < 0)
            return kBadParameter;
    static const int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (v[1] < 1 || v[1] > 12 || v[0] < 1 || v[0] > kDays[v[1] - 1] || v[3] > 23 || v[4] > 59 ||
        v[5] > 59)
        return kBadParameter;
    std::tm tm{};
    tm.tm_mday = v[0];
    tm.tm_mon = v[1] - 1;
    tm.tm_year = 100 + v[2];
    tm.tm_hour = v[3];
    tm.tm_min = v[4];
    tm.tm_sec = v[5];
    clockBase_ = std::int64_t(timegm(&tm));
    clockSet_ = std::chrono::steady_clock::now();
    return kSetClock;
}

std::uint8_t Device::NextSystemEvent(const std::uint8_t* d, std::size_t n, Bytes& data)
{
    if (n != 1 || d[0] != 0x01)
        return kBadParameter;
    if (nextEvent_ >= events_.size())
        return kSysEvent;  // no event left: an empty answer
    const SystemEvent& e = events_[nextEvent_++];
    PushU32(data, e.taskId);
    PushU32(data, e.evCode);
    PushU32(data, e.tStamp);
    PushU32(data, e.evCnt);
    std::string text = vx4::Utf8ToCp1251(e.text);
    text.resize(31);
    text.resize(32, '\0');
    data.insert(data.end(), text.begin(), text.end());
    return kSysEvent;
}

std::string Device::FileKey(const std::string& name) const { return Lower(name); }

std::uint8_t Device::OpenFile(const std::uint8_t* d, std::size_t n, Bytes& data)
{
    if (n < 1 || d[0] != 0x01)
        return kBadParameter;
    std::string name(reinterpret_cast<const char*>(d + 1), n - 1);
    name = name.substr(0, name.find('\0'));
    auto f = files_.find(FileKey(name));
    fileOpen_ = f != files_.end() && !name.empty();
    haveLastBlock_ = false;
    filePos_ = 0;
    if (fileOpen_) {
        openFile_ = f->second.bytes;
        PushU32(data, std::uint32_t(openFile_.size()));
    } else {
        openFile_.clear();
        PushU32(data, 0);  // a file the device does not have: size 0, nothing opened
    }
    return kOpenFile;
}

std::uint8_t Device::FileBlock(const std::uint8_t* d, std::size_t n, Bytes& data)
{
    if (n != 1 || (d[0] != 0x5A && d[0] != 0x00))
        return kBadParameter;
    if (!fileOpen_)
        return kFileNotOpen;
    if (d[0] == 0x00 && haveLastBlock_) {
        data = lastBlock_;
        return kFileBlock;
    }
    // Next block (or the first one, when a repeat comes before any block was sent).
    const std::size_t chunk = std::min(kFileBlockBytes, openFile_.size() - filePos_);
    PushU32(data, std::uint32_t(chunk ? filePos_ : openFile_.size()));
    data.insert(data.end(), openFile_.begin() + std::ptrdiff_t(filePos_),
                openFile_.begin() + std::ptrdiff_t(filePos_ + chunk));
    filePos_ += chunk;
    lastBlock_ = data;
    haveLastBlock_ = true;
    return kFileBlock;
}

std::vector<std::uint8_t> Device::ItemBytes(std::size_t index) const
{
    const Item& it = items_[index];
    Bytes b;
    b.push_back(std::uint8_t(it.desc.type));
    switch (it.desc.type) {
    case ItemDesc::Empty:
        break;
    case ItemDesc::Const:
        b.push_back(std::uint8_t(it.desc.system));
        PushName(b, it.desc.name);
        PushF32(b, it.value);
        break;
    case ItemDesc::Calc:
        b.push_back(std::uint8_t(it.desc.system));
        PushName(b, it.desc.name);
        PushU16(b, it.desc.id);
        PushU16(b, it.desc.group);
        break;
    case ItemDesc::Event:
        PushName(b, it.desc.name);
        PushU16(b, it.desc.group);
        PushU32(b, it.desc.mask);
        PushU32(b, it.desc.code);
        break;
    }
    return b;
}

std::uint8_t Device::ReadItem(const std::uint8_t* d, std::size_t n, Bytes& data) const
{
    if (n != 2)
        return kBadParameter;
    const std::uint16_t item = vx4::GetU16(d);
    if (item < 1 || item > items_.size())
        return kBadParameter;
    data = ItemBytes(item - 1u);
    return kReadItem;
}

// Packs the items into blocks of at most blockLimit_ data bytes. Every block after the
// first begins with a copy of the previous block's last item, so a reader can tell a
// repeated block from the next one; the last byte of a block is its end marker. A block
// never ends on an empty slot while more items follow: a copied empty slot could not be
// told from a new one.
std::vector<Bytes> Device::BuildBlocks() const
{
    std::vector<Bytes> entries;
    for (std::size_t i = 0; i < items_.size(); ++i)
        entries.push_back(ItemBytes(i));
    std::vector<Bytes> blocks;
    std::size_t next = 0;
    Bytes prefix;
    do {
        Bytes block = prefix;
        std::size_t first = next;
        while (next < entries.size() && block.size() + entries[next].size() + 1 <= blockLimit_) {
            block.insert(block.end(), entries[next].begin(), entries[next].end());
            ++next;
        }
        std::size_t end = next;
        while (end < entries.size() && end > first && entries[end - 1][0] == 0 &&
               std::any_of(entries.begin() + std::ptrdiff_t(first), entries.begin() + std::ptrdiff_t(end),
                           [](const Bytes& e) { return e[0] != 0; }))
            --end;
        if (end != next) {
            block.resize(block.size() - (next - end));  // empty slots are one byte each
            next = end;
        }
        prefix.clear();
        if (next > first && entries[next - 1][0] != 0)
            prefix = entries[next - 1];
        block.push_back(next >= entries.size() ? 0xFF : kMoreBlocks);
        blocks.push_back(std::move(block));
    } while (next < entries.size());
    return blocks;
}

std::uint8_t Device::ConfigBlock(const std::uint8_t* d, std::size_t n, Bytes& data)
{
    if (n != 1)
        return kBadParameter;
    switch (d[0]) {
    case 0:
        blocks_ = BuildBlocks();
        blockIndex_ = 0;
        blocksStarted_ = true;
        break;
    case 1:
        if (!blocksStarted_)
            return kNoConfig;
        if (blockIndex_ + 1 >= blocks_.size())
            return kNoData;  // the final block has been sent
        ++blockIndex_;
        break;
    case 2:
        if (!blocksStarted_)
            return kNoConfig;
        break;
    default:
        return kBadParameter;
    }
    data = blocks_[blockIndex_];
    return kConfigBlock;
}

std::uint8_t Device::Summary(Bytes& data) const
{
    PushU32(data, std::uint32_t(items_.size()));
    PushU32(data, ConfigChecksum());
    const std::size_t count = std::min<std::size_t>(9, desc_.systems.size());
    data.push_back(std::uint8_t(count));
    for (std::size_t s = 0; s < count; ++s) {
        for (const std::string* t : {&desc_.systems[s].name, &desc_.systems[s].note}) {
            std::string cp = vx4::Utf8ToCp1251(*t);
            cp = cp.substr(0, cp.find('\0'));
            // The loader keeps the texts short enough; cut rather than overflow a frame.
            if (data.size() + cp.size() + 1 > kMaxData)
                cp.resize(kMaxData - data.size() - 1);
            data.insert(data.end(), cp.begin(), cp.end());
            data.push_back(0);
        }
    }
    return kSummary;
}

const Device::Item* Device::FindCalc(std::uint16_t id) const
{
    for (const Item& it : items_)
        if (it.desc.type == ItemDesc::Calc && it.desc.id == id)
            return &it;
    return nullptr;
}

void Device::CurrentValue(const Item& item, float* value, std::uint32_t* status) const
{
    if (item.pinned) {
        *value = item.pinnedValue;
        *status = item.pinnedStatus;
        return;
    }
    const ItemDesc& d = item.desc;
    const double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    const double phase = 0.7 * d.id;
    *value = float(d.base + d.ratePerHour * t / 3600.0 +
                   d.amplitude * std::sin(2 * M_PI * t / d.periodS + phase));
    *status = 0;
    if (d.statusBits) {
        // Now and then (about one 20-second window in six) one of the item's bits is set.
        std::uint32_t h = std::uint32_t(t / 20) * 2654435761u ^ (std::uint32_t(d.id) * 40503u);
        h ^= h >> 13;
        h *= 0x5bd1e995u;
        h ^= h >> 15;
        if (h % 6 == 0) {
            const int bits = std::popcount(d.statusBits);
            int pick = int((h / 6) % unsigned(bits));
            for (int b = 0; b < 32; ++b)
                if ((d.statusBits >> b) & 1u) {
                    if (pick-- == 0) {
                        *status = 1u << b;
                        break;
                    }
                }
        }
    }
}

std::uint8_t Device::Values(const std::uint8_t* d, std::size_t n, Bytes& data) const
{
    if (n == 0 || n % 2 != 0 || n / 2 * 8 > kMaxData)
        return kBadParameter;
    for (std::size_t i = 0; i < n; i += 2) {
        const Item* it = FindCalc(vx4::GetU16(d + i));
        if (!it)
            return kBadParameter;
        float v;
        std::uint32_t s;
        CurrentValue(*it, &v, &s);
        PushF32(data, v);
        PushU32(data, s);
    }
    return kValues;
}

std::optional<std::string> Device::TextOf(std::size_t index) const
{
    const Item& it = items_[index];
    switch (it.desc.type) {
    case ItemDesc::Const:
        return FormatNumber(it.value, it.desc.integer, it.desc.decimals, it.desc.width);
    case ItemDesc::Calc: {
        float v;
        std::uint32_t s;
        CurrentValue(it, &v, &s);
        return FormatNumber(v, false, it.desc.decimals, 1);
    }
    case ItemDesc::Event: {
        char buf[16];
        std::snprintf(buf, sizeof buf, "%08X", unsigned(it.desc.mask));
        return std::string(buf);
    }
    default:
        return std::nullopt;
    }
}

std::uint8_t Device::ItemTextCommand(const std::uint8_t* d, std::size_t n, Bytes& data)
{
    if (n < 3)
        return kBadParameter;
    const std::uint16_t item = vx4::GetU16(d + 1);
    if (item < 1 || item > items_.size())
        return kBadParameter;
    if (d[0] == 0x00) {
        if (n != 3)
            return kBadParameter;
        const auto text = TextOf(item - 1u);
        if (!text)
            return kBadParameter;
        data.assign(text->begin(), text->end());
        data.push_back(0);
        return kItemText;
    }
    if (d[0] != 0x01 || n < 4 || d[n - 1] != 0)
        return kBadParameter;
    Item& it = items_[item - 1u];
    if (it.desc.type != ItemDesc::Const)
        return kBadParameter;
    std::string text(reinterpret_cast<const char*>(d + 3), n - 4);
    text = text.substr(0, text.find('\0'));
    double v;
    if (!ParseNumber(text, it.desc.integer, &v) || v < it.desc.min || v > it.desc.max ||
        std::fabs(v) > double(FLT_MAX))
        return kBadParameter;
    it.value = float(v);
    if (writeChecksumDelayMs_ > 0) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= heldUntil_)
            heldChecksum_ = ConfigChecksum();
        heldUntil_ = now + std::chrono::milliseconds(writeChecksumDelayMs_);
    }
    ++revision_;  // every accepted write is a configuration change
    Recompute();
    return kItemText;
}

std::uint8_t Device::Relay(const std::uint8_t* d, std::size_t n, Bytes& data)
{
    if (n < 2)
        return kBadParameter;
    const std::size_t payload = n - 2;
    auto status = [&](std::uint32_t word) {
        PushU32(data, word);
        return kRelay;
    };
    // Byte 1 = 2 selects the vx2 transducer line; the 16-byte vx2 request follows.
    if (payload != 2 + vx4::Vx2RequestSize || d[1] != 2)
        return status(RelayStatusNoAnswer);
    const std::uint8_t* req = d + 2;
    if (!vx4::CheckBytesValid(req, vx4::Vx2Covered(vx4::Vx2RequestSize)))
        return status(RelayStatusNoAnswer);  // a transducer ignores a damaged frame
    const std::uint32_t address = vx4::GetU32(req);
    Transducer* t = nullptr;
    for (Transducer& x : desc_.transducers)
        if (vx4::Vx2Address(x.serial) == address)
            t = &x;
    if (!t || t->absent)
        return status(RelayStatusNoAnswer);
    if (t->busyCount > 0) {
        --t->busyCount;
        return status(RelayStatusBusy);
    }
    const std::uint8_t cmd = req[4];
    Bytes a(vx4::Vx2AnswerSize(cmd), 0);
    vx4::PutU32(a.data(), address);
    a[4] = cmd;
    const std::size_t count = std::min<std::size_t>(255, t->pairs.size());
    if (cmd == 0x07) {
        a[5] = std::uint8_t(count);
        vx4::PutU32(&a[6], t->serial);
    } else if (cmd == 0x2B && req[5] < count) {
        a[5] = req[5];
        vx4::PutF32(&a[6], t->pairs[req[5]].gi);
        vx4::PutF32(&a[10], t->pairs[req[5]].ge);
    } else {
        a[4] = std::uint8_t(cmd | 0x80);  // the transducer's refusal: unknown command or index
        a[5] = req[5];
    }
    vx4::FillCheckBytes(a.data(), vx4::Vx2Covered(a.size()));
    data = std::move(a);
    return kRelay;
}

std::uint8_t Device::ArchiveInfo(const std::uint8_t* d, std::size_t n, Bytes& data) const
{
    if (n != 1 || d[0] > 4)
        return kBadParameter;
    const auto a = Archive(d[0]);
    data.assign(a.begin(), a.end());
    return kArchive;
}

std::array<std::uint8_t, 12> Device::Archive(unsigned index) const
{
    std::lock_guard<std::recursive_mutex> g(lock_);
    std::array<std::uint8_t, 12> r{};
    if (index > 4)
        return r;
    const ArchiveDesc& a = desc_.archives[index];
    vx4::PutU16(&r[0], a.lastRecord);
    r[2] = a.flags;
    vx4::PutU32(&r[4], a.startAddress);
    vx4::PutU16(&r[8], a.rowsMinusOne);
    return r;
}

// ---------------------------------------------------------------------------------------
// State access

void Device::Recompute()
{
    std::uint32_t h = 2166136261u;
    for (std::size_t i = 0; i < items_.size(); ++i) {
        const Bytes b = ItemBytes(i);
        h = Fnv(h, b.data(), b.size());
    }
    for (const SystemInfo& s : desc_.systems) {
        h = Fnv(h, reinterpret_cast<const std::uint8_t*>(s.name.data()), s.name.size());
        h = Fnv(h, reinterpret_cast<const std::uint8_t*>(s.note.data()), s.note.size());
    }
    checksumBase_ = h;
}

std::uint32_t Device::ItemCount() const
{
    std::lock_guard<std::recursive_mutex> g(lock_);
    return std::uint32_t(items_.size());
}

std::uint32_t Device::ConfigChecksum() const
{
    std::lock_guard<std::recursive_mutex> g(lock_);
    if (writeChecksumDelayMs_ > 0 && std::chrono::steady_clock::now() < heldUntil_)
        return heldChecksum_;
    return checksumBase_ + revision_ * 0x9E3779B1u;
}

void Device::SetWriteChecksumDelay(unsigned ms)
{
    std::lock_guard<std::recursive_mutex> g(lock_);
    writeChecksumDelayMs_ = ms;
    heldUntil_ = {};
}

void Device::ChangeChecksum()
{
    std::lock_guard<std::recursive_mutex> g(lock_);
    ++revision_;
}

std::vector<SystemInfo> Device::Systems() const
{
    std::lock_guard<std::recursive_mutex> g(lock_);
    return desc_.systems;
}

std::vector<std::uint8_t> Device::ItemRecord(std::uint16_t item) const
{
    std::lock_guard<std::recursive_mutex> g(lock_);
    if (item < 1 || item > items_.size())
        return {};
    return ItemBytes(item - 1u);
}

std::optional<std::string> Device::ItemText(std::uint16_t item) const
{
    std::lock_guard<std::recursive_mutex> g(lock_);
    if (item < 1 || item > items_.size())
        return std::nullopt;
    return TextOf(item - 1u);
}

std::optional<float> Device::ConstValue(std::uint16_t item) const
{
    std::lock_guard<std::recursive_mutex> g(lock_);
    if (item < 1 || item > items_.size() || items_[item - 1u].desc.type != ItemDesc::Const)
        return std::nullopt;
    return items_[item - 1u].value;
}

std::vector<std::uint16_t> Device::CalcIds() const
{
    std::lock_guard<std::recursive_mutex> g(lock_);
    std::vector<std::uint16_t> ids;
    for (const Item& it : items_)
        if (it.desc.type == ItemDesc::Calc)
            ids.push_back(it.desc.id);
    return ids;
}

bool Device::CalcValue(std::uint16_t id, float* value, std::uint32_t* status) const
{
    std::lock_guard<std::recursive_mutex> g(lock_);
    const Item* it = FindCalc(id);
    if (!it)
        return false;
    float v;
    std::uint32_t s;
    CurrentValue(*it, &v, &s);
    if (value)
        *value = v;
    if (status)
        *status = s;
    return true;
}

void Device::SetCalcValue(std::uint16_t id, float value, std::uint32_t status)
{
    std::lock_guard<std::recursive_mutex> g(lock_);
    for (Item& it : items_)
        if (it.desc.type == ItemDesc::Calc && it.desc.id == id) {
            it.pinned = true;
            it.pinnedValue = value;
            it.pinnedStatus = status;
        }
}

void Device::SetBlockLimit(std::size_t bytes)
{
    std::lock_guard<std::recursive_mutex> g(lock_);
    // Room for a copied item, one item and the end marker at the least.
    blockLimit_ = std::clamp<std::size_t>(bytes, 2 * 17 + 1, kMaxData);
}

std::vector<std::string> Device::FileNames() const
{
    std::lock_guard<std::recursive_mutex> g(lock_);
    std::vector<std::string> names;
    for (const auto& [key, f] : files_)
        names.push_back(f.name);
    return names;
}

std::optional<std::vector<std::uint8_t>> Device::FileContents(const std::string& name) const
{
    std::lock_guard<std::recursive_mutex> g(lock_);
    auto f = files_.find(FileKey(name));
    if (f == files_.end())
        return std::nullopt;
    return f->second.bytes;
}

void Device::SetFile(const std::string& name, std::vector<std::uint8_t> bytes)
{
    std::lock_guard<std::recursive_mutex> g(lock_);
    files_[FileKey(name)] = FileDesc{name, std::move(bytes), std::nullopt};
}

void Device::RemoveFile(const std::string& name)
{
    std::lock_guard<std::recursive_mutex> g(lock_);
    files_.erase(FileKey(name));
}

std::vector<Transducer> Device::Transducers() const
{
    std::lock_guard<std::recursive_mutex> g(lock_);
    return desc_.transducers;
}

void Device::SetTransducers(std::vector<Transducer> transducers)
{
    std::lock_guard<std::recursive_mutex> g(lock_);
    desc_.transducers = std::move(transducers);
}

std::size_t Device::SystemEventsLeft() const
{
    std::lock_guard<std::recursive_mutex> g(lock_);
    return events_.size() - nextEvent_;
}

void Device::SetSystemEvents(std::vector<SystemEvent> events)
{
    std::lock_guard<std::recursive_mutex> g(lock_);
    events_ = std::move(events);
    nextEvent_ = 0;
}

} // namespace vx4sim
