#include "options/Optlist.h"
#include "platform/Cp1251.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace vx4 {
namespace {

const std::string DataDir = std::string(VX4_SOURCE_DIR) + "/data/";

std::string ReadBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

class DemoBanks : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(constBank.Open(DataDir + "constbank.xml")) << constBank.ErrorText();
        ASSERT_TRUE(calcBank.Open(DataDir + "calcbank.xml")) << calcBank.ErrorText();
    }
    COptionBank constBank, calcBank;
};

TEST_F(DemoBanks, AreStoredInCodePage1251)
{
    for (const char* name : {"constbank.xml", "calcbank.xml"}) {
        const std::string bytes = ReadBytes(DataDir + name);
        EXPECT_NE(bytes.find("encoding=\"windows-1251\""), std::string::npos) << name;
        EXPECT_NE(bytes.find(Utf8ToCp1251("Температура")), std::string::npos) << name;
        EXPECT_EQ(bytes.find("Температура"), std::string::npos) << name;
    }
}

TEST_F(DemoBanks, NotesForTheDemoDeviceItems)
{
    struct Case {
        bool constant;
        const char* name;
        const char* note;
    };
    const Case cases[] = {
        {true, "dev1", "Заводской номер преобразователя расхода"},
        {true, "dev3", "Заводской номер преобразователя расхода"},
        {true, "ЛетВр", "Переход на летнее время"},
        {true, "Отчет", "Отчетный день месяца"},
        {true, "РасчЧ", "Расчетный час, ч"},
        {true, "Адрес", "Сетевой адрес прибора"},
        {true, "Tхв", "Температура холодной воды, °C"},
        {true, "Pхв", "Давление холодной воды, МПа"},
        {true, "Gmin", "Нижний предел расхода, м3/ч"},
        {true, "Gmax", "Верхний предел расхода, м3/ч"},
        {true, "Ду", "Диаметр условного прохода, мм"},
        {true, "Реж", "Режим учета"},
        {true, "En2", "Включение канала"},
        {true, "K7", "Константа"},
        {true, "K12345", "Константа"},
        {false, "G1", "Расход, м3/ч"},
        {false, "G2", "Расход, м3/ч"},
        {false, "T1", "Температура, °C"},
        {false, "T9", "Температура, °C"},
        {false, "dT", "Разность температур, °C"},
        {false, "P1", "Давление, МПа"},
        {false, "Q", "Тепловая мощность, Гкал/ч"},
        {false, "W", "Тепловая энергия, Гкал"},
        {false, "M1", "Масса, т"},
        {false, "Tраб", "Время наработки, ч"},
        {false, "V42", "Расчетное значение"},
        {false, "V99999", "Расчетное значение"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(OptionNote(c.constant ? constBank : calcBank, c.name), c.note) << c.name;
}

TEST_F(DemoBanks, NamedSettings)
{
    EXPECT_EQ(OptionLabel(constBank, "ЛетВр", 1.0f), "Вкл");
    EXPECT_EQ(OptionLabel(constBank, "Реж", 0.0f), "Выкл");
    EXPECT_EQ(OptionValueOf(constBank, "Реж", "Вкл"), "1");
    EXPECT_EQ(OptionLabel(constBank, "Ду", 50.0f), "Ду 50");
    EXPECT_EQ(FindOptions(constBank, "Ду").optCount, 15);
    EXPECT_EQ(OptionLabel(constBank, "Kt", 0.5f), "0,5");
    EXPECT_EQ(OptionValueOf(constBank, "Kt", "2,5"), "2,5");
    EXPECT_EQ(FindOptions(constBank, "Tхв").optCount, 0);
}

} // namespace
} // namespace vx4
