#include "link/ResultTexts.h"

namespace vx4 {

namespace {
struct CodeText {
    int code;
    const char* text;
};

const CodeText kTexts[] = {
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
} // namespace

const char* ResultCodeText(int code)
{
    for (const CodeText& t : kTexts)
        if (t.code == code)
            return t.text;
    return nullptr;
}

} // namespace vx4
