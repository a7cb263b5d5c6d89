#include "ui/dialogs/Ipedit.h"

#include "mainwindow_fixture.h"

#include <QApplication>
#include <QClipboard>
#include <QDropEvent>
#include <QLineEdit>
#include <QMimeData>
#include <QTest>

#include <gtest/gtest.h>

using namespace vx4;

namespace {

TEST(IpEditConversion, StringToIP)
{
    const std::pair<const char*, std::uint32_t> cases[] = {
        {"192.168.0.1", 0xC0A80001u},
        {"0.0.0.0", 0u},
        {"255.255.255.255", 0xFFFFFFFFu},
        {"10.1", 0x0A000001u},      // short forms as the dotted-address parser reads them
        {"1.2.3", 0x01020003u},
        {"16909060", 0x01020304u},  // one number is the whole address
        {"0x7f.1", 0x7F000001u},    // hexadecimal parts
        {"abc", 0xFFFFFFFFu},       // not an address
        {"", 0xFFFFFFFFu},
        {"256.1.1.1", 0xFFFFFFFFu},
        {"1.2.3.4.5", 0xFFFFFFFFu},
        {"device.local", 0xFFFFFFFFu},
    };
    for (const auto& [text, address] : cases)
        EXPECT_EQ(TIPEdit::StringToIP(text), address) << '"' << text << '"';
}

TEST(IpEditConversion, IPToString)
{
    const std::pair<std::uint32_t, const char*> cases[] = {
        {0xC0A80001u, "192.168.0.1"}, {0u, "0.0.0.0"}, {0xFFFFFFFFu, "255.255.255.255"}, {0x0A000001u, "10.0.0.1"}};
    for (const auto& [address, text] : cases)
        EXPECT_EQ(TIPEdit::IPToString(address), text);
}

class IpEditTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        uitest::EnsureApplication();
        edit = std::make_unique<TIPEdit>();
        edit->show();
        edit->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(edit.get()));
    }

    std::string Fields() const
    {
        std::string s;
        for (int i = 0; i < 4; ++i)
            s += (i ? "|" : "") + edit->Field(i)->text().toStdString();
        return s;
    }

    // Keys go where the focus is, as the user's typing does.
    void Type(const QString& keys)
    {
        for (QChar c : keys)
            QTest::keyClick(QApplication::focusWidget(), c.toLatin1());
    }
    void Press(Qt::Key key, Qt::KeyboardModifiers mods = Qt::NoModifier)
    {
        QTest::keyClick(QApplication::focusWidget(), key, mods);
    }
    void ClearAll()
    {
        for (int i = 0; i < 4; ++i)
            edit->Field(i)->clear();
        edit->Field(0)->setFocus();
    }

    std::unique_ptr<TIPEdit> edit;
};

TEST_F(IpEditTest, SetIPShowsWhatTheParserReads)
{
    const std::pair<const char*, const char*> cases[] = {
        {"192.168.0.1", "192.168.0.1"}, {"abc", "255.255.255.255"}, {"10.1", "10.0.0.1"}, {"0.0.0.0", "0.0.0.0"}};
    for (const auto& [text, shown] : cases) {
        edit->SetIP(text);
        EXPECT_EQ(edit->GetIP(), shown) << text;
        EXPECT_FALSE(edit->GetIsEmpty());
    }
}

TEST_F(IpEditTest, BlankFieldsReadAsZero)
{
    ClearAll();
    EXPECT_TRUE(edit->GetIsEmpty());
    EXPECT_EQ(edit->GetIP(), "0.0.0.0");
    edit->Field(2)->setText("7");
    EXPECT_FALSE(edit->GetIsEmpty());
    EXPECT_EQ(edit->GetIP(), "0.0.7.0");
}

TEST_F(IpEditTest, TypingMovesFromFieldToField)
{
    struct Case {
        const char* keys;
        const char* fields;
    };
    const Case cases[] = {
        {"192168001002", "192|168|001|002"}, // three digits move on
        {"10.1.2.3", "10|1|2|3"},            // so does a dot
        {"1 2 3 4", "1|2|3|4"},              // and a blank
        {"300.1.1.1", "255|1|1|1"},          // an octet stops at 255
        {"1..2", "1|2||"},                   // a dot in an empty field stays
        {"1a2b", "12|||"},                   // letters are dropped
    };
    for (const Case& c : cases) {
        ClearAll();
        Type(QString::fromLatin1(c.keys));
        EXPECT_EQ(Fields(), c.fields) << c.keys;
        EXPECT_TRUE(edit->IsModified());
    }
}

TEST_F(IpEditTest, BackspaceAndArrowsCrossFields)
{
    ClearAll();
    Type("12.34");
    ASSERT_EQ(QApplication::focusWidget(), edit->Field(1));
    Press(Qt::Key_Backspace);
    Press(Qt::Key_Backspace); // field 1 empty now, the cursor at its start
    EXPECT_EQ(Fields(), "12|||");
    Press(Qt::Key_Backspace); // back into field 0, deleting its last digit
    EXPECT_EQ(QApplication::focusWidget(), edit->Field(0));
    EXPECT_EQ(Fields(), "1|||");
    Press(Qt::Key_Right); // at the end of field 0: on to field 1
    EXPECT_EQ(QApplication::focusWidget(), edit->Field(1));
    Press(Qt::Key_Left);
    EXPECT_EQ(QApplication::focusWidget(), edit->Field(0));
}

TEST_F(IpEditTest, PasteOfAWholeAddress)
{
    ClearAll();
    edit->Field(2)->setFocus();
    QApplication::clipboard()->setText(QStringLiteral(" 172.16.5.4 "));
    Press(Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(Fields(), "172|16|5|4");
    // Digits paste into one field; text that is no address changes nothing.
    edit->Field(1)->setFocus();
    edit->Field(1)->selectAll();
    QApplication::clipboard()->setText(QStringLiteral("9"));
    Press(Qt::Key_V, Qt::ControlModifier);
    QApplication::clipboard()->setText(QStringLiteral("host.name"));
    Press(Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(Fields(), "172|9|5|4");
}

// Text that reaches a field past the key handling (dropped, or pasted with the middle
// button, which the field inserts as it is) never makes an octet past 255, and reading
// the address never wraps one.
TEST_F(IpEditTest, DroppedOrInsertedTextKeepsEachOctetInRange)
{
    struct Case {
        const char* text;
        bool drop;
        const char* ip;
    };
    const Case cases[] = {
        {"999", true, "10.0.0.1"},   // refused: the field keeps what it had
        {"999", false, "10.0.0.1"},
        {"256", true, "10.0.0.1"},
        {"1000", false, "10.100.0.1"}, // cut at the field's three digits first
        {"x7", true, "10.0.0.1"},
        {"200", true, "10.200.0.1"}, // a value in range goes in
        {"255", false, "10.255.0.1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.text) + (c.drop ? " dropped" : " inserted"));
        edit->SetIP("10.0.0.1");
        QLineEdit* field = edit->Field(1);
        field->clear();
        if (c.drop) {
            QMimeData data;
            data.setText(QString::fromLatin1(c.text));
            const QPointF at(field->width() / 2.0, field->height() / 2.0);
            QDragEnterEvent enter(at.toPoint(), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(field, &enter);
            QDropEvent drop(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(field, &drop);
        } else {
            field->setFocus();
            field->insert(QString::fromLatin1(c.text)); // what a middle-button paste does
        }
        if (field->text().isEmpty())
            field->setText("0"); // a refused text leaves the field blank, which reads as 0
        EXPECT_LE(field->text().toUInt(), 255u) << field->text().toStdString();
        EXPECT_EQ(edit->GetIP(), c.ip);
    }
}

TEST_F(IpEditTest, AnOctetPastRangeReadsAsItsLimitNotWrapped)
{
    edit->SetIP("10.0.0.1");
    edit->Field(1)->setText("999"); // set from the program, past any check
    EXPECT_NE(edit->GetIP(), "10.231.0.1");
    EXPECT_EQ(edit->GetIP(), "10.255.0.1");
}

TEST_F(IpEditTest, TextKeepsAHostNameUntilEdited)
{
    edit->SetIP("device.local");
    EXPECT_EQ(edit->GetIP(), "255.255.255.255");
    EXPECT_EQ(edit->Text(), "device.local");
    edit->Field(3)->setFocus();
    edit->Field(3)->selectAll();
    Type("1");
    EXPECT_EQ(edit->Text(), "255.255.255.1");
    edit->SetIP("10.1");
    EXPECT_EQ(edit->Text(), "10.1"); // as given, until edited
}

} // namespace
