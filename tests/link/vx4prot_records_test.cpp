// Decoding of the wire records from answer data, and the result code texts.

#include "link/ResultTexts.h"
#include "link/Vx4Records.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using namespace vx4;
using Bytes = std::vector<std::uint8_t>;

namespace {

Bytes IdentBytes()
{
    Bytes b(42);
    for (std::size_t i = 0; i < b.size(); ++i)
        b[i] = std::uint8_t(0x10 + i);
    return b;
}

} // namespace

TEST(Vx4Records, DevIdentFieldsSitAtTheirOffsetsLittleEndian)
{
    const Bytes b = IdentBytes();
    const SDevIdent d = SDevIdent::Decode(b.data(), b.size());
    EXPECT_EQ(d.protoMinor, 0x10);
    EXPECT_EQ(d.protoMajor, 0x11);
    EXPECT_EQ(d.swBuild, 0x1312);
    EXPECT_EQ(d.swMinor, 0x14);
    EXPECT_EQ(d.swMajor, 0x15);
    EXPECT_EQ(d.stackFillPct, 0x16);
    EXPECT_EQ(d.deviceType[0], 0x17);
    EXPECT_EQ(d.deviceType[3], 0x1A);
    EXPECT_EQ(d.cpuType[0], 0x1B);
    EXPECT_EQ(d.cpuType[8], 0x23);
    EXPECT_EQ(d.serial, 0x28272625u);
    EXPECT_EQ(d.initState, 0x2C2B2A29);
    EXPECT_EQ(d.initTime[0], 0x2D);
    EXPECT_EQ(d.initTime[5], 0x32);
    EXPECT_EQ(d.extMinor, 0x33);
    EXPECT_EQ(d.extMajor, 0x34);
    EXPECT_EQ(d.swChecksum, 0x38373635u);
    EXPECT_EQ(d.stateFlags, 0x39);
    // Encoding gives back the same 42 bytes.
    const auto back = d.Bytes();
    EXPECT_EQ(Bytes(back.begin(), back.end()), b);
}

TEST(Vx4Records, ShortAnswersLeaveTheRestOfARecordZero)
{
    Bytes b = IdentBytes();
    SDevIdent d = SDevIdent::Decode(b.data(), 41);
    EXPECT_EQ(d.stateFlags, 0);
    EXPECT_EQ(d.swChecksum, 0x38373635u);
    d = SDevIdent::Decode(b.data(), 23); // serial cut after two bytes
    EXPECT_EQ(d.serial, 0x2625u);
    EXPECT_EQ(d.initState, 0);

    const Bytes ev = {1, 0, 0, 0, 2, 0, 0, 0};
    const SSysEvent e = SSysEvent::Decode(ev.data(), ev.size());
    EXPECT_EQ(e.TaskID, 1u);
    EXPECT_EQ(e.EvCode, 2u);
    EXPECT_EQ(e.TStamp, 0u);
    EXPECT_EQ(e.Text(), "");
    EXPECT_EQ(SSysEvent::Decode(nullptr, 0), SSysEvent{});

    const Bytes arch = {0x34, 0x12, 0x05, 0xEE, 0x78, 0x56, 0x34, 0x12, 0xFF};
    const SArchiveInfo a = SArchiveInfo::Decode(arch.data(), arch.size());
    EXPECT_EQ(a.lastRecord, 0x1234);
    EXPECT_EQ(a.flags, 0x05);
    EXPECT_EQ(a.startAddress, 0x12345678u);
    EXPECT_EQ(a.rowsMinusOne, 0x00FF); // high byte not carried
}

TEST(Vx4Records, SystemEventTextEndsAtZeroOrAfter32Bytes)
{
    Bytes b(48, 0);
    std::memcpy(&b[16], "\xCF\xF3\xF1\xEA", 4); // "Пуск" in CP1251
    EXPECT_EQ(SSysEvent::Decode(b.data(), b.size()).Text(), "\xCF\xF3\xF1\xEA");
    std::fill(b.begin() + 16, b.end(), 'x');
    EXPECT_EQ(SSysEvent::Decode(b.data(), b.size()).Text(), std::string(32, 'x'));
    // Bytes beyond the 48-byte record are not read.
    b.push_back('y');
    EXPECT_EQ(SSysEvent::Decode(b.data(), b.size()).Text(), std::string(32, 'x'));
}

TEST(Vx4Records, ClockValuesAreBcdAndCappedAt99)
{
    const DeviceClock c = DeviceClock::FromValues(9, 12, 26, 23, 5, 100);
    const std::array<std::uint8_t, 6> expect = {0x09, 0x12, 0x26, 0x23, 0x05, 0x99};
    EXPECT_EQ(c.bcd, expect);
    EXPECT_EQ(c.Value(DeviceClock::Hour), 23u);
    EXPECT_EQ(c.Value(DeviceClock::Second), 99u);
    EXPECT_EQ(ToBcdByte(250), 0x99);
    const std::uint8_t three[] = {0x31, 0x01, 0x27};
    const DeviceClock d = DeviceClock::Decode(three, 3);
    EXPECT_EQ(d.Value(DeviceClock::Year), 27u);
    EXPECT_EQ(d.bcd[3], 0);
}

TEST(Vx4Records, ItemValueKeepsItsBitsAndStatus)
{
    const Bytes b = {0x00, 0x00, 0xC0, 0x3F, 0x04, 0x03, 0x02, 0x81};
    const SItemValue v = SItemValue::Decode(b.data(), b.size());
    EXPECT_FLOAT_EQ(v.AsFloat(), 1.5f);
    EXPECT_EQ(v.status, 0x81020304u);
    std::uint8_t out[8];
    v.Encode(out);
    EXPECT_EQ(Bytes(out, out + 8), b);
}

namespace {
struct SummaryCase {
    const char* what;
    Bytes data;
    int systemCount;
    std::vector<std::pair<std::string, std::string>> texts; // slot 0.. in order
};

Bytes SummaryHead(std::uint8_t systems)
{
    return {0x2C, 0x01, 0, 0, 0xEF, 0xBE, 0xAD, 0xDE, systems};
}

Bytes Head8()
{
    Bytes h = SummaryHead(0);
    h.resize(8);
    return h;
}

Bytes Concat(Bytes a, const std::string& tail)
{
    a.insert(a.end(), tail.begin(), tail.end());
    return a;
}
} // namespace

TEST(Vx4Records, ConfigSummaryTexts)
{
    using std::string;
    const std::vector<SummaryCase> cases = {
        {"8 bytes: nine empty systems", Head8(), 9, {}},
        {"two systems", Concat(SummaryHead(2), string("A\0a\0BB\0bb\0", 10)), 2, {{"A", "a"}, {"BB", "bb"}}},
        {"zero systems, texts ignored", Concat(SummaryHead(0), string("X\0x\0", 4)), 0, {}},
        {"note missing at the end", Concat(SummaryHead(2), string("A\0a\0B", 5)), 2, {{"A", "a"}, {"B", ""}}},
        {"unterminated name", Concat(SummaryHead(1), string("ABC")), 1, {{"ABC", ""}}},
        {"count above 9 is taken as 9",
         Concat(SummaryHead(12), string("1\0\0" "2\0\0" "3\0\0" "4\0\0" "5\0\0" "6\0\0" "7\0\0" "8\0\0" "9\0\0" "10\0\0", 31)),
         9,
         {{"1", ""}, {"2", ""}, {"3", ""}, {"4", ""}, {"5", ""}, {"6", ""}, {"7", ""}, {"8", ""}, {"9", ""}}},
        {"CP1251 bytes kept", Concat(SummaryHead(1), string("\xD2\xC2\x31\0\xEF\0", 6)), 1, {{"\xD2\xC2\x31", "\xEF"}}},
    };
    for (const SummaryCase& c : cases) {
        SCOPED_TRACE(c.what);
        const SConfigInfo info = SConfigInfo::Decode(c.data.data(), c.data.size());
        EXPECT_EQ(info.itemCount, 300u);
        EXPECT_EQ(info.checksum, 0xDEADBEEFu);
        EXPECT_EQ(info.systemCount, c.systemCount);
        for (std::size_t i = 0; i < 9; ++i) {
            const std::string name = i < c.texts.size() ? c.texts[i].first : "";
            const std::string note = i < c.texts.size() ? c.texts[i].second : "";
            EXPECT_EQ(info.systemNames[i], name) << i;
            EXPECT_EQ(info.systemNotes[i], note) << i;
        }
    }
}

TEST(ResultTexts, DeviceCodesAndTimeoutHaveTheirTexts)
{
    const std::pair<int, const char*> expect[] = {
        {246, " Ошибка исполнения запрошенной операции  связанная с отсутствием данных на момент запроса"},
        {247, " Ошибка записи файла"},
        {248, " Файл не открыт"},
        {249, " Ошибка, связанная с подчиненным устройством"},
        {250, " Конфигурация не задана"},
        {251, " Прибор занят и не может ответить на запрос"},
        {252, " Неверный код команды"},
        {253, " Ошибка в передаваемом в команде параметре"},
        {254, " Операция инициализации прошла с ошибкой"},
        {1016, " Таймаут ожидания ответа"},
    };
    for (const auto& [code, text] : expect) {
        ASSERT_NE(ResultCodeText(code), nullptr) << code;
        EXPECT_STREQ(ResultCodeText(code), text) << code;
    }
    for (int code : {0, 1, 245, 255, 1013, 1015, 1017, -1})
        EXPECT_EQ(ResultCodeText(code), nullptr) << code;
}

TEST(ResultTexts, FailureTextsAddTheLinksOwnFailures)
{
    // The console's texts first, then the link's and the frames' failures.
    EXPECT_STREQ(FailureText(253), ResultCodeText(253));
    EXPECT_STREQ(FailureText(1016), ResultCodeText(1016));
    const std::pair<int, const char*> expect[] = {{1003, " Связь не открыта"},
                                                   {1011, " Ошибка приема, связь прервана"},
                                                   {1013, " Неверные контрольные байты"},
                                                   {1017, " Неверная длина кадра"}};
    for (const auto& [code, text] : expect)
        EXPECT_STREQ(FailureText(code), text) << code;
    for (int code : {0, 1, 255, 1002, 1100, -1})
        EXPECT_EQ(FailureText(code), nullptr) << code;
}
