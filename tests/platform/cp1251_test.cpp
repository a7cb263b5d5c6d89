#include "platform/Cp1251.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

using namespace vx4;

namespace {

struct Pair {
    const char* what;
    std::string cp1251;
    std::string utf8;
};

const std::vector<Pair>& Pairs()
{
    static const std::vector<Pair> pairs = {
        {"empty", "", ""},
        {"ascii", "COM1 115200", "COM1 115200"},
        {"capital and small A", "\xC0\xE0", "Аа"},
        {"last letters", "\xDF\xFF", "Яя"},
        {"yo", "\xA8\xB8", "Ёё"},
        {"word", "\xD0\xE0\xF1\xF5\xEE\xE4", "Расход"},
        {"numero sign", "\xB9", "№"},
        {"degree sign", "\xB0", "°"},
        {"euro sign", "\x88", "€"},
        {"nul byte inside", std::string("a\0b", 3), std::string("a\0b", 3)},
    };
    return pairs;
}

} // namespace

TEST(Cp1251, ConvertsBothWays)
{
    for (const Pair& p : Pairs()) {
        EXPECT_EQ(Cp1251ToUtf8(p.cp1251), p.utf8) << p.what;
        EXPECT_EQ(Utf8ToCp1251(p.utf8), p.cp1251) << p.what;
    }
}

TEST(Cp1251, EveryByteSurvivesTheRoundTrip)
{
    for (int b = 1; b < 256; ++b) {
        const std::string one(1, char(b));
        const std::string utf8 = Cp1251ToUtf8(one);
        ASSERT_FALSE(utf8.empty()) << b;
        if (utf8 == "?" && b != '?')
            continue; // the one byte without a character in the code page
        EXPECT_EQ(Utf8ToCp1251(utf8), one) << b;
    }
}

TEST(Cp1251, UnmappableCharactersBecomeQuestionMarks)
{
    // Chinese, a Greek letter and an emoji have no place in code page 1251.
    EXPECT_EQ(Utf8ToCp1251("a中b"), "a?b");
    EXPECT_EQ(Utf8ToCp1251("λ=1"), "?=1");
    EXPECT_EQ(Utf8ToCp1251("\xF0\x9F\x98\x80!"), "?!");
    // Malformed UTF-8: a stray continuation byte, a cut sequence at the end.
    EXPECT_EQ(Utf8ToCp1251("x\x80y"), "x?y");
    EXPECT_EQ(Utf8ToCp1251("\xD0\xF0"), "??");
    EXPECT_EQ(Utf8ToCp1251("ok\xD0"), "ok?");
    // The undefined byte 0x98 of the code page.
    EXPECT_EQ(Cp1251ToUtf8("a\x98z"), "a?z");
}

TEST(Cp1251, LongTextsAndThreads)
{
    std::string cp(5000, '\xE0');
    std::string utf;
    for (int i = 0; i < 5000; ++i)
        utf += "а";
    std::vector<std::thread> threads;
    std::vector<int> ok(4, 0);
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            int good = 0;
            for (int i = 0; i < 50; ++i)
                good += Cp1251ToUtf8(cp) == utf && Utf8ToCp1251(utf) == cp;
            ok[std::size_t(t)] = good;
        });
    for (auto& th : threads)
        th.join();
    for (int good : ok)
        EXPECT_EQ(good, 50);
}
