#include "common/GiGeArray.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace vx4 {
namespace {

std::vector<GiGePair> Pairs(const CGiGeArray& t)
{
    std::vector<GiGePair> out;
    for (int i = 0; i < t.Count(); ++i)
        out.push_back(t.Get(i));
    return out;
}

TEST(GiGeArray, KeepsPairsOrderedByGiWithEqualGiInArrivalOrder)
{
    struct Case {
        const char* what;
        std::vector<GiGePair> in;
        std::vector<GiGePair> expected;
    };
    const Case cases[] = {
        {"reversed arrival", {{3, 30}, {1, 10}, {2, 20}}, {{1, 10}, {2, 20}, {3, 30}}},
        {"equal gi", {{2, 1}, {1, 0}, {2, 2}, {0, 5}, {2, 3}}, {{0, 5}, {1, 0}, {2, 1}, {2, 2}, {2, 3}}},
        {"negative and ascending", {{-1, 1}, {0, 2}, {5, 3}}, {{-1, 1}, {0, 2}, {5, 3}}},
        {"single", {{7, 70}}, {{7, 70}}},
    };
    for (const Case& c : cases) {
        CGiGeArray t;
        for (const GiGePair& p : c.in)
            t.Add(p.gi, p.ge);
        EXPECT_EQ(Pairs(t), c.expected) << c.what;
    }
}

TEST(GiGeArray, IndexOutsideTheTableRaisesTheRangeException)
{
    CGiGeArray t;
    t.Add(1, 10);
    t.Add(2, 20);
    for (int i : {-1, 2, 100}) {
        try {
            t.Get(i);
            ADD_FAILURE() << "Get(" << i << ") did not throw";
        } catch (const std::invalid_argument& e) {
            EXPECT_STREQ(e.what(), "Вне диапазона GiGeArray");
        }
        EXPECT_THROW(t.At(i), std::invalid_argument) << i;
    }
    t.At(1).ge = 25;
    EXPECT_EQ(t.Get(1), (GiGePair{2, 25}));

    t.Clear();
    EXPECT_EQ(t.Count(), 0);
    EXPECT_THROW(t.Get(0), std::invalid_argument);
}

// Switches LC_NUMERIC to a locale with a decimal comma while alive; one is generated with
// localedef when the machine has none.
class CommaLocale {
public:
    CommaLocale()
    {
        saved_ = std::setlocale(LC_NUMERIC, nullptr);
        for (const char* name : {"ru_RU.UTF-8", "de_DE.UTF-8", "ru_RU.utf8", "de_DE.utf8"})
            if (std::setlocale(LC_NUMERIC, name) && IsComma()) {
                active_ = true;
                return;
            }
        const std::string dir = (std::filesystem::temp_directory_path() / "vx4gige_locale").string();
        std::filesystem::create_directories(dir);
        std::ofstream(dir + "/comma.src") << "LC_CTYPE\ncopy \"POSIX\"\nEND LC_CTYPE\n"
                                             "LC_NUMERIC\ndecimal_point \"<U002C>\"\nthousands_sep \"\"\n"
                                             "grouping -1\nEND LC_NUMERIC\n";
        const std::string cmd = "localedef -i " + dir + "/comma.src -f UTF-8 " + dir + "/vx4comma.UTF-8 >/dev/null 2>&1";
        (void)std::system(cmd.c_str());
        setenv("LOCPATH", dir.c_str(), 1);
        active_ = std::setlocale(LC_NUMERIC, "vx4comma.UTF-8") && IsComma();
        unsetenv("LOCPATH");
    }
    ~CommaLocale() { std::setlocale(LC_NUMERIC, saved_.c_str()); }
    bool Active() const { return active_; }

private:
    static bool IsComma() { return std::localeconv()->decimal_point[0] == ','; }
    std::string saved_;
    bool active_ = false;
};

TEST(GiGeArray, ToStringsWritesScientificTextsFromTheFirstRow)
{
    CGiGeArray t;
    t.Add(2, -0.25f);
    t.Add(1.5f, 10);
    std::vector<std::string> gi{"header"}, ge{"header"};
    t.ToStrings(1, gi, ge);
    EXPECT_EQ(gi, (std::vector<std::string>{"header", "1.500000e+00", "2.000000e+00"}));
    EXPECT_EQ(ge, (std::vector<std::string>{"header", "1.000000e+01", "-2.500000e-01"}));

    CommaLocale comma;
    if (!comma.Active())
        GTEST_SKIP() << "no locale with a decimal comma";
    t.ToStrings(0, gi, ge);
    EXPECT_EQ(gi[0], "1,500000e+00");
    EXPECT_EQ(ge[1], "-2,500000e-01");
    EXPECT_EQ(std::strtod(gi[1].c_str(), nullptr), 2.0); // parses back in that locale
}

} // namespace
} // namespace vx4
