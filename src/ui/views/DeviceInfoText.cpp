#include "ui/views/DeviceInfoText.h"

#include "platform/Cp1251.h"

#include <cstdio>

namespace vx4 {

namespace {

template <typename... Args>
std::string Format(const char* fmt, Args... args) {
    char buf[128];
    std::snprintf(buf, sizeof buf, fmt, args...);
    return buf;
}

// Bytes up to the first zero (or all of them), as UTF-8.
template <std::size_t N>
std::string DeviceText(const std::array<std::uint8_t, N>& bytes, std::size_t from = 0) {
    std::string raw;
    for (std::size_t i = from; i < N && bytes[i] != 0; ++i) raw += static_cast<char>(bytes[i]);
    return Cp1251ToUtf8(raw);
}

const char* InitStateText(std::int32_t state) {
    switch (state) {
    case 0: return "проведена (OK)";
    case 1: return "отсутствует";
    case 2: return "ошибка инициализации";
    case 3: return "аппаратная ошибка";
    default: return "ответ ошибочен";
    }
}

// Archive names in descriptor order. "Cуточная" starts with the Latin C, as the device's
// own documentation spells it.
constexpr const char* ArchiveNames[SArchiveInfo::Count] = {"Часовая БД:", "Cуточная БД:", "Месячная БД:",
                                                           "Годовая БД:", "БД событий:"};

} // namespace

std::string StateFlagsText(std::uint8_t f) {
    std::string text = Format("0x%.2X", f);
    if (f == 0) return text;
    text += ": ";
    int parts = 0;
    if (f & 1) {
        text += "ошибка конфигурации";
        ++parts;
    }
    if (f & 2) {
        if (parts) text += "; ";
        text += "прервана связь с ЗФЛ";
        ++parts;
    }
    // The last two names carry their own leading separator.
    if (f & 4) {
        if (parts) text += "; ";
        text += "; RTC остановлены";
        ++parts;
    }
    if (f & 8) {
        if (parts) text += "; ";
        text += "; недост. flash памяти для БД";
    }
    return text;
}

std::vector<InfoRow> DeviceInfoRows(const SDevIdent& id, std::uint32_t itemCount, std::uint32_t checksum,
                                    const std::array<SArchiveInfo, SArchiveInfo::Count>& db) {
    std::vector<InfoRow> rows;
    rows.emplace_back("Тип прибора", DeviceText(id.deviceType));
    rows.emplace_back("Серийный номер", Format("%u", id.serial));
    rows.emplace_back("Версия ПО", Format("%u.%u.%u", unsigned(id.swMajor), unsigned(id.swMinor),
                                          unsigned(id.swBuild)));
    // "Верcия" with a Latin c in the next two keys.
    rows.emplace_back("Вер\x63ия протокола", Format("%u.%u", unsigned(id.protoMajor), unsigned(id.protoMinor)));
    rows.emplace_back("Вер\x63ия расширения прот.", Format("%u.%u", unsigned(id.extMajor), unsigned(id.extMinor)));
    rows.emplace_back("Состояние инициализации", InitStateText(id.initState));
    const auto& t = id.initTime;
    rows.emplace_back("Время инициализации",
                      Format("%.2x.%.2x.%.2x %.2x:%.2x:%.2x", t[0], t[1], t[2], t[3], t[4], t[5]));
    rows.emplace_back("Макс. заполнение стэков %", Format("%u", unsigned(id.stackFillPct)));
    rows.emplace_back("Состояние прибора", StateFlagsText(id.stateFlags));
    // The first CPU character is shown even when a later zero ends the text; a zero there
    // is left out rather than shown as a control character.
    std::string cpu;
    if (id.cpuType[0] != 0) cpu = Cp1251ToUtf8(std::string(1, static_cast<char>(id.cpuType[0])));
    cpu += DeviceText(id.cpuType, 1);
    rows.emplace_back("Тип CPU", cpu);
    rows.emplace_back("Количество элементов конф.", Format("%u", itemCount));
    // "К.C." with a Latin C in the two checksum keys.
    rows.emplace_back("К.\x43. конфигурации", Format("%X", checksum));
    if (id.protoMajor >= 1 && id.protoMinor >= 5) rows.emplace_back("К.\x43. ПО", Format("%X", id.swChecksum));
    for (int i = 0; i < SArchiveInfo::Count; ++i) {
        const std::string name = ArchiveNames[i];
        const SArchiveInfo& a = db[static_cast<std::size_t>(i)];
        rows.emplace_back(name + " указатель на последнюю запись", Format("%u", unsigned(a.lastRecord)));
        rows.emplace_back(name + " флаги", Format("0x%.2X", unsigned(a.flags)));
        rows.emplace_back(name + " адрес начала БД", Format("0x%.8X", a.startAddress));
        rows.emplace_back(name + " кол-во строк данных", Format("%u", unsigned(a.rowsMinusOne) + 1u));
    }
    return rows;
}

} // namespace vx4
