#include "link/Vx4prot.h"

#include "link/Connection.h"
#include "link/Frames.h"
#include "link/ResultCodes.h"
#include "platform/FreeSpace.h"
#include "platform/MsClock.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <random>
#include <thread>

namespace vx4 {

namespace {

using Frame = std::array<std::uint8_t, FrameCapacity>;

// Waits and tries of each command.
constexpr std::uint32_t IdentifyWait = 800, IdentifyTries = 3;
constexpr std::uint32_t ReadClockWait = 500, ReadClockTries = 3;
constexpr std::uint32_t SetClockWait = 300;
constexpr std::uint32_t SystemEventWait = 500;
constexpr std::uint32_t FileOpenWait = 500;
constexpr std::uint32_t FileBlockWait = 1000;
constexpr std::uint32_t EchoWait = 500;
constexpr std::uint32_t ItemDescriptorWait = 500, ItemDescriptorTries = 3;
constexpr std::uint32_t ConfigBlockWait = 500;
constexpr std::uint32_t ConfigSummaryWait = 500, ConfigSummaryTries = 3;
constexpr std::uint32_t ReadValuesWait = 500, ReadValuesTries = 3;
constexpr std::uint32_t ItemTextWait = 1000, ItemTextTries = 3;
constexpr std::uint32_t RelayWait = 3000;
constexpr std::uint32_t ArchiveInfoWait = 500, ArchiveInfoTries = 3;
constexpr std::uint32_t TestClockWait = 500;
constexpr std::uint32_t MonitorWait = 250;

constexpr std::uint8_t TestClockFirst = 0x06;
constexpr std::uint8_t TestClockLast = 0x04;

// A device refusal is the answer's command byte; 0 would read as success, so it is 255.
int Refusal(std::uint8_t command) { return command == 0 ? 255 : command; }

// Writes length and command of a vx3c request (the address and check bytes are filled by
// RunCommand) and copies n data bytes behind the header.
void BuildRequest(Frame& req, std::uint8_t command, const std::uint8_t* data, std::size_t n)
{
    PutU16(req.data() + 4, std::uint16_t(n));
    req[6] = command;
    if (n > 0)
        std::memcpy(req.data() + Vx3cHeaderSize, data, n);
}

// Sends a request with the given data and checks the answer's command against the
// request's: 0 with the answer in ans, a link/frame code, or the device's refusal.
int Command(connection& conn, std::uint32_t address, std::uint8_t command, const std::uint8_t* data,
            std::size_t n, Frame& ans, std::uint32_t tries, std::uint32_t waitMs)
{
    Frame req{};
    BuildRequest(req, command, data, n);
    int rc = RunCommand(conn, address, req.data(), ans.data(), tries, waitMs);
    if (rc != 0)
        return rc;
    if (FrameCommand(ans.data()) != command)
        return Refusal(FrameCommand(ans.data()));
    return 0;
}

int ShortTestClock(connection& conn, std::uint8_t subCode)
{
    Frame req{}, ans{};
    PutU16(req.data(), 1);
    req[2] = CMD_TEST_CLOCK;
    req[3] = subCode;
    int rc = RunShortCommand(conn, req.data(), ans.data(), 1, TestClockWait);
    if (rc == 0 && ans[2] != CMD_TEST_CLOCK)
        rc = Refusal(ans[2]);
    return rc;
}

} // namespace

int RunCommand(connection& conn, std::uint32_t address, std::uint8_t* request, std::uint8_t* answer,
               std::uint32_t tries, std::uint32_t waitMs)
{
    if (request == nullptr || answer == nullptr)
        return LINK_BAD_ARGUMENT;
    const std::size_t length = FrameLength(request);
    if (length > MaxVx3cData)
        return LINK_BAD_ARGUMENT;
    PutU32(request, address);
    FillCheckBytes(request, Vx3cCovered(length));
    int rc = conn.Exchange(request, Vx3cFrameSize(length), answer, FrameCapacity, waitMs, tries);
    if (rc != 0)
        return rc;
    const std::size_t answerLength = FrameLength(answer);
    if (answerLength > MaxVx3cData) // the connection refuses these already
        return FRAME_LENGTH_ERROR;
    if (!CheckBytesValid(answer, Vx3cCovered(answerLength)))
        return FRAME_CHECK_FAILED;
    return 0;
}

int RunShortCommand(connection& conn, std::uint8_t* request, std::uint8_t* answer, std::uint32_t tries,
                    std::uint32_t waitMs)
{
    if (request == nullptr || answer == nullptr)
        return LINK_BAD_ARGUMENT;
    constexpr std::size_t maxData = FrameCapacity - ShortOverhead;
    const std::size_t length = GetU16(request);
    if (length > maxData)
        return LINK_BAD_ARGUMENT;
    FillCheckBytes(request, ShortCovered(length));
    int rc = conn.ExchangeShort(request, ShortFrameSize(length), answer, FrameCapacity, waitMs, tries);
    if (rc != 0)
        return rc;
    const std::size_t answerLength = GetU16(answer);
    if (answerLength > maxData)
        return FRAME_LENGTH_ERROR;
    if (!CheckBytesValid(answer, ShortCovered(answerLength)))
        return FRAME_CHECK_FAILED;
    return 0;
}

int Identify(connection& conn, std::uint32_t address, SDevIdent* ident, const std::atomic<bool>* cancel)
{
    Frame ans{};
    int rc;
    if (cancel == nullptr) {
        rc = Command(conn, address, CMD_IDENTIFY, nullptr, 0, ans, IdentifyTries, IdentifyWait);
    } else {
        // One try at a time, and a cancel ends the try in progress as well; a try is
        // repeated on what the connection itself would try again (nothing or a broken
        // answer came).
        const connection::CancelScope cancelScope(cancel);
        rc = LINK_TIMEOUT;
        for (std::uint32_t i = 0; i < IdentifyTries; ++i) {
            if (cancel->load())
                return OPERATION_CANCELLED;
            rc = Command(conn, address, CMD_IDENTIFY, nullptr, 0, ans, 1, IdentifyWait);
            if (rc != LINK_TIMEOUT && rc != LINK_READ_FAILED && rc != FRAME_LENGTH_ERROR)
                break;
        }
        if (cancel->load())
            return OPERATION_CANCELLED; // an answer after the cancel is not taken
    }
    if (rc != 0)
        return rc;
    SDevIdent r = SDevIdent::Decode(FrameData(ans.data()), FrameLength(ans.data()));
    // Devices before protocol 0.5 leave the software checksum undefined.
    if (r.protoMajor == 0 && r.protoMinor < 5)
        r.swChecksum = 0;
    if (ident != nullptr)
        *ident = r;
    return 0;
}

int ReadClock(connection& conn, std::uint32_t address, DeviceClock* clock)
{
    Frame ans{};
    int rc = Command(conn, address, CMD_READ_CLOCK, nullptr, 0, ans, ReadClockTries, ReadClockWait);
    if (rc == 0 && clock != nullptr)
        *clock = DeviceClock::Decode(FrameData(ans.data()), FrameLength(ans.data()));
    return rc;
}

int SetClock(connection& conn, std::uint32_t address, const DeviceClock& clock)
{
    Frame req{};
    std::uint8_t data[DeviceClock::Size];
    clock.Encode(data);
    BuildRequest(req, CMD_SET_CLOCK, data, sizeof data);
    PutU32(req.data(), address);
    FillCheckBytes(req.data(), Vx3cCovered(sizeof data));
    // No answer is awaited: the exchange returns once the request is sent, and a late
    // answer is dropped by the purge of the next exchange.
    return conn.Exchange(req.data(), Vx3cFrameSize(sizeof data), nullptr, 0, SetClockWait, 1);
}

int ReadSystemEvent(connection& conn, std::uint32_t address, SSysEvent* event)
{
    Frame ans{};
    const std::uint8_t data[] = {0x01};
    int rc = Command(conn, address, CMD_SYSTEM_EVENT, data, sizeof data, ans, 1, SystemEventWait);
    if (rc == 0 && event != nullptr)
        *event = SSysEvent::Decode(FrameData(ans.data()), FrameLength(ans.data()));
    return rc;
}

int ReadFile(connection& conn, std::uint32_t address, const std::string& fileName, std::FILE* out,
             ProgressCallback progress, void* user, const std::atomic<bool>* cancel, std::uint32_t* announced)
{
    if (out == nullptr || fileName.size() > MaxFileName)
        return LINK_BAD_ARGUMENT;
    // A cancel ends the exchange in progress too, not only the next one.
    const connection::CancelScope cancelScope(cancel);
    auto cancelled = [cancel] { return cancel != nullptr && cancel->load(); };

    Frame req{}, ans{};
    // Open step: 01 and the name, no terminating zero.
    req[Vx3cHeaderSize] = 0x01;
    std::memcpy(req.data() + Vx3cHeaderSize + 1, fileName.data(), fileName.size());
    PutU16(req.data() + 4, std::uint16_t(1 + fileName.size()));
    req[6] = CMD_FILE_OPEN;
    int rc = RunCommand(conn, address, req.data(), ans.data(), 1, FileOpenWait);
    if (cancelled())
        return OPERATION_CANCELLED;
    if (rc != 0)
        return rc;
    std::size_t answerLength = FrameLength(ans.data());
    if (FrameCommand(ans.data()) != CMD_FILE_OPEN || answerLength == 0)
        return LINK_BAD_ARGUMENT;
    std::uint8_t sizeBytes[4] = {};
    std::memcpy(sizeBytes, FrameData(ans.data()), std::min<std::size_t>(answerLength, 4));
    const std::uint32_t fileSize = GetU32(sizeBytes);
    if (announced != nullptr)
        *announced = fileSize;
    if (std::uint64_t room = 0; FreeSpace(out, &room) && fileSize > room)
        return LOCAL_NO_SPACE;

    // Position of the last block appended: an answer that carries it again (to a repeat
    // request whose block request never reached the device, or from a faulty device) is
    // that block a second time and is not appended twice. A device that never ends is
    // stopped: more than FileBlockRepeats such answers in a row, or more bytes than the
    // announced size and one block, end the transfer with 1017.
    constexpr std::uint64_t MaxFileBlock = MaxVx3cData - 4;
    bool haveAppended = false;
    std::uint32_t lastAppended = 0;
    std::uint32_t sameBlockInARow = 0;
    std::uint64_t appended = 0;

    for (;;) {
        if (cancelled())
            return OPERATION_CANCELLED;
        std::uint8_t step = FILE_NEXT_BLOCK;
        BuildRequest(req, CMD_FILE_BLOCK, &step, 1);
        rc = RunCommand(conn, address, req.data(), ans.data(), 1, FileBlockWait);
        if (rc != 0) {
            step = FILE_REPEAT_BLOCK;
            BuildRequest(req, CMD_FILE_BLOCK, &step, 1);
            for (std::uint32_t i = 0; i < FileBlockRepeats; ++i) {
                if (cancelled())
                    return OPERATION_CANCELLED;
                rc = RunCommand(conn, address, req.data(), ans.data(), 1, FileBlockWait);
                if (rc == 0 && FrameCommand(ans.data()) == CMD_FILE_BLOCK)
                    break;
            }
            if (cancelled())
                return OPERATION_CANCELLED;
            if (rc != 0)
                return rc;
        }
        if (FrameCommand(ans.data()) != CMD_FILE_BLOCK)
            return Refusal(FrameCommand(ans.data()));

        answerLength = FrameLength(ans.data());
        if (answerLength < 4)
            return FRAME_LENGTH_ERROR;
        const std::uint32_t position = GetU32(FrameData(ans.data()));
        if (progress != nullptr)
            progress(user, fileSize == 0 ? 1.0f : float(position) / float(fileSize));
        if (answerLength == 4)
            return 0;

        if (haveAppended && position == lastAppended) {
            if (++sameBlockInARow > FileBlockRepeats)
                return FRAME_LENGTH_ERROR;
            continue;
        }
        sameBlockInARow = 0;
        const std::size_t blockSize = answerLength - 4;
        if (appended + blockSize > std::uint64_t(fileSize) + MaxFileBlock)
            return FRAME_LENGTH_ERROR;
        appended += blockSize;
        errno = 0;
        if (std::fwrite(FrameData(ans.data()) + 4, 1, blockSize, out) != blockSize) {
            if (errno == 0)
                errno = EIO;
            return LOCAL_WRITE_FAILED;
        }
        haveAppended = true;
        lastAppended = position;
    }
}

int Echo(connection& conn, std::uint32_t address, std::uint16_t n)
{
    const std::size_t count = std::min<std::size_t>(n, MaxVx3cData);
    Frame req{}, ans{};
    std::minstd_rand gen(MsClock());
    for (std::size_t i = 0; i < count; ++i)
        req[Vx3cHeaderSize + i] = std::uint8_t(gen() >> 8);
    PutU16(req.data() + 4, std::uint16_t(count));
    req[6] = CMD_ECHO;
    // Bytes left from an earlier answer can never pass as an echo.
    for (std::size_t i = 0; i < count; ++i)
        ans[Vx3cHeaderSize + i] = std::uint8_t(~req[Vx3cHeaderSize + i]);

    int rc = RunCommand(conn, address, req.data(), ans.data(), 1, EchoWait);
    if (rc != 0)
        return rc;
    if (FrameCommand(ans.data()) != CMD_ECHO)
        return ECHO_WRONG_COMMAND;
    if (GetU32(ans.data()) != address)
        return ECHO_WRONG_ADDRESS;
    // An answer of another length is no echo, even when the bytes it has agree.
    if (FrameLength(ans.data()) != count)
        return 1;
    if (std::memcmp(FrameData(req.data()), FrameData(ans.data()), count) != 0)
        return 1;
    return 0;
}

namespace {
int ReadIntoBuffer(connection& conn, std::uint32_t address, std::uint8_t command, const std::uint8_t* data,
                   std::size_t n, std::uint32_t tries, std::uint32_t waitMs, std::uint8_t* buf,
                   std::size_t capacity, std::size_t* length)
{
    if (buf == nullptr && capacity > 0)
        return LINK_BAD_ARGUMENT;
    Frame ans{};
    int rc = Command(conn, address, command, data, n, ans, tries, waitMs);
    if (rc != 0)
        return rc;
    const std::size_t copied = std::min<std::size_t>(FrameLength(ans.data()), capacity);
    if (copied > 0)
        std::memcpy(buf, FrameData(ans.data()), copied);
    if (length != nullptr)
        *length = copied;
    return 0;
}
} // namespace

int ReadItemDescriptor(connection& conn, std::uint32_t address, std::uint16_t item, std::uint8_t* buf,
                       std::size_t capacity, std::size_t* length)
{
    std::uint8_t data[2];
    PutU16(data, item);
    return ReadIntoBuffer(conn, address, CMD_ITEM_DESCRIPTOR, data, sizeof data, ItemDescriptorTries,
                          ItemDescriptorWait, buf, capacity, length);
}

int ReadConfigBlock(connection& conn, std::uint32_t address, std::uint8_t mode, std::uint8_t* buf,
                    std::size_t capacity, std::size_t* length)
{
    return ReadIntoBuffer(conn, address, CMD_CONFIG_BLOCK, &mode, 1, 1, ConfigBlockWait, buf, capacity,
                          length);
}

int ReadConfigSummary(connection& conn, std::uint32_t address, SConfigInfo* info)
{
    Frame ans{};
    int rc = Command(conn, address, CMD_CONFIG_SUMMARY, nullptr, 0, ans, ConfigSummaryTries,
                     ConfigSummaryWait);
    if (rc == 0 && info != nullptr)
        *info = SConfigInfo::Decode(FrameData(ans.data()), FrameLength(ans.data()));
    return rc;
}

int ReadValues(connection& conn, std::uint32_t address, const std::uint16_t* items, std::size_t k,
               SItemValue* values)
{
    if (items == nullptr || values == nullptr || k == 0 || k > MaxReadValues)
        return LINK_BAD_ARGUMENT;
    std::uint8_t data[2 * MaxReadValues];
    for (std::size_t i = 0; i < k; ++i)
        PutU16(data + 2 * i, items[i]);
    Frame ans{};
    int rc = Command(conn, address, CMD_READ_VALUES, data, 2 * k, ans, ReadValuesTries, ReadValuesWait);
    if (rc != 0)
        return rc;
    const std::size_t answerLength = FrameLength(ans.data());
    for (std::size_t i = 0; i < k; ++i) {
        const std::size_t offset = i * SItemValue::Size;
        const std::size_t avail = offset < answerLength ? answerLength - offset : 0;
        values[i] = SItemValue::Decode(FrameData(ans.data()) + offset, avail);
    }
    return 0;
}

int GetItemText(connection& conn, std::uint32_t address, std::uint16_t item, std::string* text)
{
    std::uint8_t data[3] = {0x00};
    PutU16(data + 1, item);
    Frame ans{};
    int rc = Command(conn, address, CMD_ITEM_TEXT, data, sizeof data, ans, ItemTextTries, ItemTextWait);
    if (rc != 0)
        return rc;
    const std::size_t answerLength = FrameLength(ans.data());
    if (text != nullptr && answerLength > 0)
        text->append(reinterpret_cast<const char*>(FrameData(ans.data())), answerLength - 1);
    return 0;
}

int PutItemText(connection& conn, std::uint32_t address, std::uint16_t item, const std::string& text)
{
    if (text.size() > MaxItemText)
        return LINK_BAD_ARGUMENT;
    std::uint8_t data[MaxItemText + 4];
    data[0] = 0x01;
    PutU16(data + 1, item);
    std::memcpy(data + 3, text.data(), text.size());
    data[3 + text.size()] = 0;
    Frame ans{};
    return Command(conn, address, CMD_ITEM_TEXT, data, text.size() + 4, ans, ItemTextTries, ItemTextWait);
}

int Relay(connection& conn, std::uint32_t address, const std::uint8_t* payload, std::size_t n,
          std::uint8_t* answer, std::size_t capacity, std::size_t* answerLength)
{
    if ((payload == nullptr && n > 0) || n > MaxRelayPayload || (answer == nullptr && capacity > 0))
        return LINK_BAD_ARGUMENT;
    Frame req{}, ans{};
    if (n > 0)
        std::memcpy(req.data() + Vx3cHeaderSize, payload, n);
    // The two bytes behind the payload are sent as 00 00 (req is zeroed).
    PutU16(req.data() + 4, std::uint16_t(n + RelayTailBytes));
    req[6] = CMD_RELAY;

    int status = 0;
    bool failed = false;
    for (std::uint32_t attempt = 0; attempt < RelayAttempts; ++attempt) {
        int rc = RunCommand(conn, address, req.data(), ans.data(), 1, RelayWait);
        failed = rc != 0;
        if (failed) {
            status = rc;
        } else if (FrameLength(ans.data()) == 4) {
            status = int(GetU32(FrameData(ans.data())));
        } else {
            status = 0;
            break;
        }
        if (answerLength != nullptr)
            *answerLength = 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(RelayPauseMs));
    }
    if (failed)
        return status;

    const std::size_t copied = std::min<std::size_t>(FrameLength(ans.data()), capacity);
    if (copied > 0)
        std::memcpy(answer, FrameData(ans.data()), copied);
    if (answerLength != nullptr)
        *answerLength = copied;
    if (FrameCommand(ans.data()) != CMD_RELAY)
        return Refusal(FrameCommand(ans.data()));
    return status;
}

int ReadArchiveInfo(connection& conn, std::uint32_t address, std::uint8_t index, SArchiveInfo* info)
{
    Frame ans{};
    int rc = Command(conn, address, CMD_ARCHIVE_INFO, &index, 1, ans, ArchiveInfoTries, ArchiveInfoWait);
    if (rc == 0 && info != nullptr)
        *info = SArchiveInfo::Decode(FrameData(ans.data()), FrameLength(ans.data()));
    return rc;
}

int TestClock(connection& conn, std::uint32_t address)
{
    const int a = ShortTestClock(conn, TestClockFirst);
    Frame ans{};
    const int b = Command(conn, address, CMD_IDENTIFY, nullptr, 0, ans, 1, TestClockWait);
    if (a != 0 && b != 0)
        return -1; // the device is unreachable: no closing request
    (void)ShortTestClock(conn, TestClockLast);
    return a;
}

int ReadVx3cFrame(connection& conn, std::uint8_t* buf, std::size_t* count, std::uint32_t* clockMs)
{
    if (buf == nullptr)
        return LINK_BAD_ARGUMENT;
    std::size_t received = 0;
    int rc = conn.ReceiveFrame(buf, FrameCapacity, &received, MonitorWait, 1);
    const std::uint32_t now = MsClock();
    if (rc == 0) {
        const std::size_t length = FrameLength(buf);
        if (length > MaxVx3cData)
            rc = FRAME_LENGTH_ERROR;
        else if (!CheckBytesValid(buf, Vx3cCovered(length)))
            rc = FRAME_CHECK_FAILED;
    }
    if (count != nullptr)
        *count = received;
    if (clockMs != nullptr)
        *clockMs = now;
    return rc;
}

} // namespace vx4
