#include "options/OptionBank.h"
#include "options/Optlist.h"

#include "bank_fixture.h"
#include "platform/fifo_reader_watch.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <thread>

namespace vx4 {
namespace {

TEST(OptionBank, MissingOrMalformedBankFailsWithTheParserMessage)
{
    struct Case {
        const char* what;
        const char* content;      // nullptr: no file at all
        const char* messagePart;  // expected within the error text
    };
    const Case cases[] = {
        {"missing file", nullptr, "No such file"},
        {"empty file", "", "empty"},
        {"unclosed element", "<bank><item name=\"T1\"></bank>", "mismatch: item"},
        {"two roots", "<a/><b/>", "Extra content"},
        {"undefined entity", "<bank><item note=\"&nope;\"/></bank>", "nope"},
        {"invalid against its own DTD",
         "<!DOCTYPE bank [<!ELEMENT bank (item*)><!ELEMENT item EMPTY>"
         "<!ATTLIST item name CDATA #IMPLIED>]><bank><other/></bank>",
         "other"},
    };
    for (const Case& c : cases) {
        vx4test::TempDir dir;
        const std::string path =
            c.content != nullptr ? dir.Write("bank.xml", c.content) : dir.File("bank.xml");
        COptionBank bank;
        EXPECT_FALSE(bank.Open(path)) << c.what;
        EXPECT_FALSE(bank.IsOpen()) << c.what;
        EXPECT_NE(bank.ErrorText().find(c.messagePart), std::string::npos)
            << c.what << ": " << bank.ErrorText();
        EXPECT_NE(bank.ErrorText().find("bank.xml"), std::string::npos) << c.what;
    }
}

TEST(OptionBank, EncodingsEntitiesAndDtdDefaults)
{
    // "Температура, °C" and the labels "Выкл"/"Вкл" in code page 1251.
    const std::string cp1251 = "<?xml version=\"1.0\" encoding=\"windows-1251\"?>\n"
                               "<bank><item name=\"T$\" note=\"\xD2\xE5\xEC\xEF\xE5\xF0\xE0\xF2"
                               "\xF3\xF0\xE0, \xB0" "C\">"
                               "<opt val=\"0\" note=\"\xC2\xFB\xEA\xEB\"/>"
                               "<opt val=\"1\" note=\"\xC2\xEA\xEB\"/></item></bank>";
    const std::string utf8 = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                             "<bank><item name=\"T$\" note=\"Температура, °C\">"
                             "<opt val=\"0\" note=\"Выкл\"/><opt val=\"1\" note=\"Вкл\"/>"
                             "</item></bank>";
    const std::string dtd = "<!ELEMENT bank (item*)><!ELEMENT item (opt*)><!ELEMENT opt EMPTY>"
                            "<!ATTLIST opt val CDATA #REQUIRED note CDATA #REQUIRED>";
    const std::string entities = "<!DOCTYPE bank [" + dtd +
                                 "<!ATTLIST item name CDATA #REQUIRED note CDATA #IMPLIED>"
                                 "<!ENTITY unit \"°C\"><!ENTITY off "
                                 "'<opt val=\"0\" note=\"Выкл\"/>'>]>"
                                 "<bank><item name=\"T$\" note=\"Температура, &unit;\">&off;"
                                 "<opt val=\"1\" note=\"Вкл\"/></item></bank>";
    const std::string dtdDefault =
        "<!DOCTYPE bank [" + dtd +
        "<!ATTLIST item name CDATA #REQUIRED note CDATA \"Температура, °C\">]>"
        "<bank><item name=\"T$\"><opt val=\"0\" note=\"Выкл\"/><opt val=\"1\" note=\"Вкл\"/>"
        "</item></bank>";
    for (const std::string* text : {&cp1251, &utf8, &entities, &dtdDefault}) {
        vx4test::TempDir dir;
        COptionBank bank;
        ASSERT_TRUE(bank.Open(dir.Write("bank.xml", *text))) << bank.ErrorText() << "\n" << *text;
        EXPECT_EQ(OptionNote(bank, "T3"), "Температура, °C") << *text;
        EXPECT_EQ(OptionLabel(bank, "T3", 0.0f), "Выкл") << *text;
        EXPECT_EQ(OptionValueOf(bank, "T3", "Вкл"), "1") << *text;
        EXPECT_EQ(FindOptions(bank, "T").optCount, 2) << *text;
    }
}

TEST(OptionBank, OpeningAnOpenBankDoesNothing)
{
    vx4test::TempDir dir;
    const std::string path = dir.Write("bank.xml", "<b><i name=\"A\" note=\"old\"/></b>");
    COptionBank bank;
    ASSERT_TRUE(bank.Open(path));
    dir.Write("bank.xml", "<b><i name=\"A\" note=\"new\"/></b>");
    EXPECT_TRUE(bank.Open(path));
    EXPECT_TRUE(bank.Open(dir.File("missing.xml")));
    EXPECT_EQ(OptionNote(bank, "A"), "old");
}

// A listening loopback socket that counts the connections made to it while it lives.
class LoopbackListener {
public:
    LoopbackListener()
    {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
            listen(fd_, 8) != 0 || getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
            return;
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] {
            while (!stop_) {
                pollfd p{fd_, POLLIN, 0};
                if (poll(&p, 1, 20) > 0) {
                    const int c = accept(fd_, nullptr, nullptr);
                    if (c >= 0) {
                        ++connections_;
                        close(c); // refuse quickly so a fetching parser does not wait
                    }
                }
            }
        });
    }
    ~LoopbackListener()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        if (fd_ >= 0)
            close(fd_);
    }
    int Port() const { return port_; }
    int Connections() const { return connections_; }

private:
    int fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    std::thread thread_;
};

TEST(OptionBank, ExternalEntitiesAreNeverFetchedOverTheNetwork)
{
    LoopbackListener server;
    ASSERT_NE(server.Port(), 0);
    const std::string url = "http://127.0.0.1:" + std::to_string(server.Port());
    const std::string texts[] = {
        "<!DOCTYPE bank SYSTEM \"" + url + "/bank.dtd\"><bank><item name=\"A\" note=\"n\"/></bank>",
        "<!DOCTYPE bank [<!ENTITY ext SYSTEM \"" + url +
            "/x.xml\">]><bank><item name=\"A\" note=\"n\">&ext;</item></bank>",
        "<!DOCTYPE bank [<!ENTITY % ext SYSTEM \"" + url +
            "/x.dtd\"> %ext;]><bank><item name=\"A\" note=\"n\"/></bank>",
    };
    for (const std::string& text : texts) {
        vx4test::TempDir dir;
        COptionBank bank;
        if (bank.Open(dir.Write("bank.xml", text)))
            EXPECT_EQ(FindOptions(bank, "A").optCount, 0) << text;
        else
            EXPECT_FALSE(bank.ErrorText().empty());
    }
    EXPECT_EQ(server.Connections(), 0);
}

TEST(OptionBank, RunawayEntityExpansionIsRefused)
{
    std::string text = "<!DOCTYPE bank [<!ELEMENT bank ANY><!ELEMENT item ANY>"
                       "<!ATTLIST item name CDATA #IMPLIED note CDATA #IMPLIED>"
                       "<!ENTITY e0 \"lollollollollol\">";
    for (int i = 1; i <= 12; ++i) {
        text += "<!ENTITY e" + std::to_string(i) + " \"";
        for (int k = 0; k < 10; ++k)
            text += "&e" + std::to_string(i - 1) + ";";
        text += "\">";
    }
    text += "]><bank><item name=\"A\" note=\"&e12;\">&e12;</item></bank>";
    vx4test::TempDir dir;
    COptionBank bank;
    EXPECT_FALSE(bank.Open(dir.Write("bank.xml", text)));
    EXPECT_NE(bank.ErrorText().find("entity"), std::string::npos) << bank.ErrorText();
    EXPECT_EQ(OptionNote(bank, "A"), "");
}

// A bank may keep its type declaration and entity files beside it; nothing else is read.
TEST(OptionBank, ExternalEntitiesOnlyFromRegularFilesInTheBanksFolder)
{
    vx4test::TempDir outside;
    const std::string secret = outside.Write("secret.txt", "SECRET-CONTENT");
    vx4test::TempDir dir;
    dir.Write("bank.dtd", "<!ELEMENT bank (item*)><!ELEMENT item (#PCDATA|opt)*><!ELEMENT opt EMPTY>"
                          "<!ATTLIST item name CDATA #REQUIRED note CDATA #IMPLIED>"
                          "<!ATTLIST opt val CDATA #REQUIRED note CDATA #REQUIRED>"
                          "<!ENTITY % more SYSTEM \"more.ent\"> %more;");
    dir.Write("more.ent", "<!ENTITY unit \"°C\">");
    dir.Write("opts.ent", "<opt val=\"0\" note=\"Выкл\"/>");
    std::filesystem::create_symlink(secret, dir.File("link.ent"));
    std::filesystem::create_directory(dir.File("sub"));
    const std::string inSub = dir.Write("sub/inner.ent", "<opt val=\"0\" note=\"sub\"/>");

    // Its own declaration, a parameter entity and a general entity from its folder: read
    // (and closed again).
    const auto openFiles = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), std::filesystem::directory_iterator());
    };
    const auto filesBefore = openFiles();
    COptionBank good;
    ASSERT_TRUE(good.Open(dir.Write("good.xml", "<!DOCTYPE bank SYSTEM \"bank.dtd\" [<!ENTITY opts SYSTEM "
                                                "\"opts.ent\">]><bank><item name=\"T\" note=\"t, &unit;\">&opts;"
                                                "</item></bank>")))
        << good.ErrorText();
    EXPECT_EQ(OptionNote(good, "T"), "t, °C");
    EXPECT_EQ(OptionLabel(good, "T", 0.0f), "Выкл");
    EXPECT_EQ(openFiles(), filesBefore);
    // Validation against that declaration stays.
    COptionBank invalid;
    EXPECT_FALSE(invalid.Open(dir.Write("invalid.xml", "<!DOCTYPE bank SYSTEM \"bank.dtd\"><bank><other/></bank>")));

    const std::string refused[] = {
        "file://" + secret, secret, "../" + std::filesystem::path(outside.Path()).filename().string() + "/secret.txt",
        "link.ent", "sub/inner.ent", "file://" + inSub, "/etc/passwd",
    };
    for (const std::string& target : refused) {
        SCOPED_TRACE(target);
        // (An external entity in an attribute is no XML at all; the parser says so itself.)
        const std::pair<std::string, bool> texts[] = {
            {"<!DOCTYPE bank [<!ENTITY e SYSTEM \"" + target + "\">]><bank><item name=\"A\">&e;</item></bank>", true},
            {"<!DOCTYPE bank SYSTEM \"" + target + "\"><bank><item name=\"A\" note=\"n\"/></bank>", true},
            {"<!DOCTYPE bank [<!ENTITY e SYSTEM \"" + target + "\">]><bank><item name=\"A\" note=\"&e;\"/></bank>",
             false},
        };
        for (const auto& [text, saysRefused] : texts) {
            COptionBank bank;
            EXPECT_FALSE(bank.Open(dir.Write("bank.xml", text))) << text;
            if (saysRefused) {
                EXPECT_NE(bank.ErrorText().find("refused"), std::string::npos) << bank.ErrorText();
            }
            EXPECT_EQ(bank.ErrorText().find("SECRET"), std::string::npos) << bank.ErrorText();
            EXPECT_EQ(OptionNote(bank, "A"), "");
        }
    }
}

TEST(OptionBank, AFifoDeviceOrFolderIsNeverRead)
{
    vx4test::TempDir dir;
    vx4test::FifoReaderWatch fifo(dir.File("fifo"));
    ASSERT_TRUE(fifo.Made());
    std::filesystem::create_directory(dir.File("folder"));
    for (const std::string& target : {std::string("fifo"), std::string("folder"), std::string("/dev/zero")}) {
        SCOPED_TRACE(target);
        COptionBank entity;
        EXPECT_FALSE(entity.Open(dir.Write("bank.xml", "<!DOCTYPE bank [<!ENTITY e SYSTEM \"" + target +
                                                           "\">]><bank><item name=\"A\">&e;</item></bank>")));
        EXPECT_NE(entity.ErrorText().find("refused"), std::string::npos) << entity.ErrorText();
        COptionBank bank;
        EXPECT_FALSE(bank.Open(target[0] == '/' ? target : dir.File(target)));
        EXPECT_NE(bank.ErrorText().find("not a regular file"), std::string::npos) << bank.ErrorText();
    }
    EXPECT_FALSE(fifo.Rescued()) << "the FIFO was opened for reading";
}

} // namespace
} // namespace vx4
