// Device information rows and the state-flags text.
#include "ui/views/DeviceInfoText.h"

#include <gtest/gtest.h>

#include <map>

namespace vx4 {
namespace {

TEST(DeviceInfo, StateFlagsText) {
    const std::pair<std::uint8_t, const char*> cases[] = {
        {0x00, "0x00"},
        {0x01, "0x01: ошибка конфигурации"},
        {0x02, "0x02: прервана связь с ЗФЛ"},
        {0x03, "0x03: ошибка конфигурации; прервана связь с ЗФЛ"},
        {0x04, "0x04: ; RTC остановлены"},
        {0x05, "0x05: ошибка конфигурации; ; RTC остановлены"},
        {0x08, "0x08: ; недост. flash памяти для БД"},
        {0x0C, "0x0C: ; RTC остановлены; ; недост. flash памяти для БД"},
        {0x0F, "0x0F: ошибка конфигурации; прервана связь с ЗФЛ; ; RTC остановлены; ; недост. flash памяти для БД"},
        {0x10, "0x10: "}, // higher bits only in the number
        {0xF2, "0xF2: прервана связь с ЗФЛ"},
    };
    for (const auto& [flags, text] : cases) EXPECT_EQ(StateFlagsText(flags), text) << int(flags);
}

struct Fixture {
    SDevIdent id;
    std::array<SArchiveInfo, SArchiveInfo::Count> db{};
    Fixture() {
        id.protoMajor = 1;
        id.protoMinor = 5;
        id.swMajor = 2;
        id.swMinor = 3;
        id.swBuild = 417;
        id.stackFillPct = 63;
        id.deviceType = {'V', 'X', 0, 0};
        id.cpuType = {'A', 'T', 'm', 'e', 'g', 'a', 0, 'Z', 'Z'};
        id.serial = 123456;
        id.initState = 0;
        id.initTime = {0x25, 0x12, 0x23, 0x14, 0x03, 0x07};
        id.extMajor = 3;
        id.extMinor = 9;
        id.swChecksum = 0xBEEF12;
        id.stateFlags = 0x05;
        db[0] = {17, 0x81, 0, 0x00012000, 743, 0};
        db[1].rowsMinusOne = 65535;
    }
    std::vector<InfoRow> Rows(std::uint32_t items = 40, std::uint32_t sum = 0xABCDEF01) const {
        return DeviceInfoRows(id, items, sum, db);
    }
};

std::map<std::string, std::string> AsMap(const std::vector<InfoRow>& rows) {
    return {rows.begin(), rows.end()};
}

TEST(DeviceInfo, RowsInOrderWithTheirValues) {
    Fixture f;
    auto rows = f.Rows();
    ASSERT_EQ(rows.size(), 13u + 20u);
    const std::vector<InfoRow> head = {
        {"Тип прибора", "VX"},
        {"Серийный номер", "123456"},
        {"Версия ПО", "2.3.417"},
        {"Верcия протокола", "1.5"},
        {"Верcия расширения прот.", "3.9"},
        {"Состояние инициализации", "проведена (OK)"},
        {"Время инициализации", "25.12.23 14:03:07"},
        {"Макс. заполнение стэков %", "63"},
        {"Состояние прибора", "0x05: ошибка конфигурации; ; RTC остановлены"},
        {"Тип CPU", "ATmega"},
        {"Количество элементов конф.", "40"},
        {"К.C. конфигурации", "ABCDEF01"},
        {"К.C. ПО", "BEEF12"},
        {"Часовая БД: указатель на последнюю запись", "17"},
        {"Часовая БД: флаги", "0x81"},
        {"Часовая БД: адрес начала БД", "0x00012000"},
        {"Часовая БД: кол-во строк данных", "744"},
        {"Cуточная БД: указатель на последнюю запись", "0"},
    };
    for (std::size_t i = 0; i < head.size(); ++i) EXPECT_EQ(rows[i], head[i]) << i;
    EXPECT_EQ(rows[20].second, "65536"); // stored 65535 rows-minus-one
    EXPECT_EQ(rows.back().first, "БД событий: кол-во строк данных");
}

TEST(DeviceInfo, KeysUseLatinLettersWhereTheDeviceDoes) {
    Fixture f;
    auto rows = f.Rows();
    // "Вер" + Latin c; "К." + Latin C; "C" of the daily archive is Latin too; "Версия ПО" is all Cyrillic.
    EXPECT_EQ(rows[3].first.substr(0, 7), "\xD0\x92\xD0\xB5\xD1\x80" "c");
    EXPECT_EQ(rows[4].first.substr(0, 7), "\xD0\x92\xD0\xB5\xD1\x80" "c");
    EXPECT_EQ(rows[2].first.substr(6, 2), "\xD1\x81");
    EXPECT_EQ(rows[11].first.substr(0, 5), "\xD0\x9A." "C.");
    EXPECT_EQ(rows[12].first.substr(0, 5), "\xD0\x9A." "C.");
    EXPECT_EQ(rows[17].first[0], 'C');
}

TEST(DeviceInfo, SoftwareChecksumOnlyFromProtocol15) {
    const std::tuple<int, int, bool> cases[] = {{1, 5, true}, {1, 9, true}, {1, 4, false}, {0, 9, false},
                                                {2, 0, false}, {3, 7, true}};
    for (auto [major, minor, shown] : cases) {
        Fixture f;
        f.id.protoMajor = static_cast<std::uint8_t>(major);
        f.id.protoMinor = static_cast<std::uint8_t>(minor);
        EXPECT_EQ(AsMap(f.Rows()).count("К.C. ПО"), shown ? 1u : 0u) << major << "." << minor;
    }
}

TEST(DeviceInfo, InitStateTexts) {
    const std::pair<std::int32_t, const char*> cases[] = {{0, "проведена (OK)"}, {1, "отсутствует"},
                                                          {2, "ошибка инициализации"}, {3, "аппаратная ошибка"},
                                                          {7, "ответ ошибочен"}, {-1, "ответ ошибочен"}};
    for (auto [state, text] : cases) {
        Fixture f;
        f.id.initState = state;
        EXPECT_EQ(AsMap(f.Rows())["Состояние инициализации"], text);
    }
}

TEST(DeviceInfo, DeviceTextsAreConvertedFromCp1251) {
    Fixture f;
    f.id.deviceType = {0xC2, 0xD5, '4', 0}; // "ВХ4" in CP1251
    f.id.cpuType = {0, 'A', 'R', 'M', 0, 0, 0, 0, 0};
    auto m = AsMap(f.Rows());
    EXPECT_EQ(m["Тип прибора"], "ВХ4");
    EXPECT_EQ(m["Тип CPU"], "ARM"); // a zero first byte is left out
    f.id.cpuType = {'X', 0, 'Y', 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(AsMap(f.Rows())["Тип CPU"], "X");
}

} // namespace
} // namespace vx4
