#include "options/Optlist.h"

#include "bank_fixture.h"

#include <gtest/gtest.h>

namespace vx4 {
namespace {

// The item L has 20 options (val i, label oi) with comments, text and other elements
// carrying val/note between them.
std::string TestBank()
{
    std::string many;
    for (int i = 1; i <= 20; ++i)
        many += "<opt val=\"" + std::to_string(i) + "\" note=\"o" + std::to_string(i) +
                "\"/><!-- c --> text <skip val=\"99\" note=\"skipped\"/>\n";
    return R"(<?xml version="1.0" encoding="UTF-8"?>
<bank>
  <!-- comment before the first item -->
  <item name="A$" note="first" attr="a1">
    <opt val="1" note="one-first"/>
  </item>
  <item name="A1" note="second">
    <opt val="2" note="two-second"/>
  </item>
  <item name="V" note="values">
    <opt val="x" note="not a number"/>
    <opt val="1,5" note="one and a half"/>
    <opt val="0.1" note="tenth"/>
    <opt val="0.5" note="half"/>
    <opt val="2.5" note="two and a half"/>
    <opt note="no val"/>
    <opt val="" note="empty is zero"/>
    <opt val="-2e1" note="minus twenty"/>
    <opt val="1,5,0" note="two commas"/>
    <opt val="7" note="dup"/>
    <opt val="8" note="dup"/>
  </item>
  <item name="L" note="long">
)" + many + R"(  </item>
  <item name="HL" hideopt="yes"/>
  <item name="HU" hideopt="Yes"/>
  <item name="HA" hideopt="YES"/>
  <item note="unnamed"/>
</bank>
)";
}

class Optlist : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        dir_ = new vx4test::TempDir;
        bank_ = new COptionBank;
        ASSERT_TRUE(bank_->Open(dir_->Write("bank.xml", TestBank()))) << bank_->ErrorText();
    }
    static void TearDownTestSuite()
    {
        delete bank_;
        delete dir_;
    }
    static vx4test::TempDir* dir_;
    static COptionBank* bank_;
};
vx4test::TempDir* Optlist::dir_ = nullptr;
COptionBank* Optlist::bank_ = nullptr;

TEST(BankNameMatches, DollarStandsForOneDigitOrATrailingNothing)
{
    struct Case {
        const char* pattern;
        const char* name;
        bool matches;
    };
    const Case cases[] = {
        {"D$", "D", true},     {"D$", "D5", true},   {"D$", "D55", false}, {"D$", "Dx", false},
        {"K$$", "K0", true},   {"K$$", "K00", true}, {"K$$", "K99", true},  {"K$$", "K", false},
        {"K$$", "K0x", false}, {"T$", "T10", false}, {"t$", "T1", false},  {"T1", "T1", true},
        {"T1", "T", false},    {"$", "", true},      {"$", "7", true},     {"", "", true},
        {"", "A", false},      {"A$B", "A1B", true}, {"A$B", "AB", false}, {"A$B", "A$B", true},
        {"Т$", "Т3", true},    {"Т$", "Т", true},    {"Т$", "T3", false},  {"$1", "21", true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(BankNameMatches(c.pattern, c.name), c.matches)
            << '"' << c.pattern << "\" against \"" << c.name << '"';
}

TEST_F(Optlist, OptionLabel)
{
    struct Case {
        const char* name;
        float value;
        const char* label;
    };
    const Case cases[] = {
        {"A1", 2.0f, ""},                 // first matching element wins without a match
        {"A1", 1.0f, "one-first"},        //
        {"A", 1.0f, "one-first"},         //
        {"V", 1.5f, "one and a half"},    // "1,5"; the text before it is no number
        {"V", 0.1f, ""},                  // 0.1 has no exact binary form
        {"V", 0.5f, "half"},              //
        {"V", 2.5f, "two and a half"},    //
        {"V", 0.0f, "empty is zero"},     // an absent val is skipped, an empty one is 0
        {"V", -20.0f, "minus twenty"},    //
        {"V", 7.0f, "dup"},               //
        {"V", 3.0f, ""},                  //
        {"L", 15.0f, "o15"},              // other children do not count towards 15
        {"L", 16.0f, ""},                 // the 16th option is never read
        {"L", 99.0f, ""},                 // only opt elements are options
        {"Z", 1.0f, ""},                  // no matching element
    };
    for (const Case& c : cases)
        EXPECT_EQ(OptionLabel(*bank_, c.name, c.value), c.label) << c.name << " " << c.value;
}

TEST_F(Optlist, OptionLabelWithDecimalComma)
{
    vx4test::CommaLocale comma;
    if (!comma.Active())
        GTEST_SKIP() << "no locale with a decimal comma could be set up";
    EXPECT_EQ(OptionLabel(*bank_, "V", 1.5f), "one and a half");
    EXPECT_EQ(OptionLabel(*bank_, "V", 2.5f), "two and a half");
    EXPECT_EQ(OptionLabel(*bank_, "V", 0.1f), "");
    EXPECT_EQ(OptionLabel(*bank_, "V", -20.0f), "minus twenty");
}

TEST_F(Optlist, FindOptionsReadsTheFirstMatchingElement)
{
    const SOptions a = FindOptions(*bank_, "A1");
    EXPECT_EQ(a.note, "first");
    EXPECT_EQ(a.attr, "a1");
    ASSERT_EQ(a.optCount, 1);
    EXPECT_EQ(a.opts[0].val, "1");
    EXPECT_EQ(a.opts[0].note, "one-first");
    EXPECT_EQ(a.opts[1].val, "");

    const SOptions v = FindOptions(*bank_, "V");
    EXPECT_EQ(v.note, "values");
    EXPECT_EQ(v.attr, "");
    ASSERT_EQ(v.optCount, 11);
    EXPECT_EQ(v.opts[1].val, "1,5"); // as written
    EXPECT_EQ(v.opts[5].val, "");
    EXPECT_EQ(v.opts[5].note, "no val");

    const SOptions l = FindOptions(*bank_, "L");
    ASSERT_EQ(l.optCount, 15);
    for (int i = 0; i < 15; ++i) {
        EXPECT_EQ(l.opts[i].val, std::to_string(i + 1));
        EXPECT_EQ(l.opts[i].note, "o" + std::to_string(i + 1));
    }

    const SOptions none = FindOptions(*bank_, "Z");
    EXPECT_EQ(none.note, "");
    EXPECT_EQ(none.attr, "");
    EXPECT_FALSE(none.hideOpt);
    EXPECT_EQ(none.optCount, 0);
    EXPECT_EQ(none.opts[0].note, "");

    // An element without name has the empty pattern.
    EXPECT_EQ(FindOptions(*bank_, "").note, "unnamed");
}

TEST_F(Optlist, HideOptOnlyForExactYes)
{
    EXPECT_FALSE(FindOptions(*bank_, "HL").hideOpt);
    EXPECT_TRUE(FindOptions(*bank_, "HU").hideOpt);
    EXPECT_FALSE(FindOptions(*bank_, "HA").hideOpt);
    EXPECT_FALSE(FindOptions(*bank_, "V").hideOpt);
}

TEST_F(Optlist, OptionNote)
{
    EXPECT_EQ(OptionNote(*bank_, "A7"), "first");
    EXPECT_EQ(OptionNote(*bank_, "V"), "values");
    EXPECT_EQ(OptionNote(*bank_, "HL"), "");
    EXPECT_EQ(OptionNote(*bank_, "Z"), "");
}

TEST_F(Optlist, OptionValueOf)
{
    struct Case {
        const char* name;
        const char* text;
        const char* result;
    };
    const Case cases[] = {
        {"V", "one and a half", "1,5"}, // val as written, not normalised
        {"V", "half", "0.5"},           //
        {"V", "Half", "Half"},          // labels compare case-sensitively
        {"V", "7.25", "7.25"},          // a typed number comes back
        {"V", "dup", "7"},              // the first of repeated labels
        {"V", "empty is zero", ""},     //
        {"V", "no val", "no val"},      // no val: no value to write
        {"A1", "two-second", "two-second"}, // only the first matching element
        {"L", "o15", "15"},             //
        {"L", "o16", "o16"},            // beyond the 15 options read
        {"Z", "abc", "abc"},            //
    };
    for (const Case& c : cases)
        EXPECT_EQ(OptionValueOf(*bank_, c.name, c.text), c.result) << c.name << " " << c.text;
}

TEST(OptlistClosedBank, LookupsGiveEmptyResults)
{
    vx4test::TempDir dir;
    COptionBank bank;
    ASSERT_FALSE(bank.Open(dir.File("missing.xml")));
    EXPECT_EQ(FindOptions(bank, "T1").optCount, 0);
    EXPECT_EQ(FindOptions(bank, "").note, "");
    EXPECT_EQ(OptionLabel(bank, "T1", 0.0f), "");
    EXPECT_EQ(OptionNote(bank, ""), "");
    EXPECT_EQ(OptionValueOf(bank, "T1", "Вкл"), "Вкл");
}

} // namespace
} // namespace vx4
