#include "options/OptionBank.h"
#include "options/Optlist.h"

#include "bank_fixture.h"
#include "platform/fifo_reader_watch.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
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
    vx4test::TempDir dir;
    dir.Write("bank.dtd", "<!ELEMENT bank (item*)><!ELEMENT item (#PCDATA|opt)*><!ELEMENT opt EMPTY>"
                          "<!ATTLIST item name CDATA #REQUIRED note CDATA #IMPLIED>"
                          "<!ATTLIST opt val CDATA #REQUIRED note CDATA #REQUIRED>"
                          "<!ENTITY % more SYSTEM \"more.ent\"> %more;");
    dir.Write("more.ent", "<!ENTITY unit \"°C\">");
    dir.Write("opts.ent", "<opt val=\"0\" note=\"Выкл\"/>");

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

    // Every target below holds a valid option; the bank that names it is valid with it.
    // So only the loader's refusal keeps it out, as the control row shows.
    const std::string secretOpt = "<opt val=\"0\" note=\"SECRET\"/>";
    const std::string secret = outside.Write("secret.ent", secretOpt);
    dir.Write("here.ent", secretOpt);
    std::filesystem::create_symlink(secret, dir.File("link.ent"));
    std::filesystem::create_hard_link(secret, dir.File("hard.ent"));
    std::filesystem::create_directory(dir.File("sub"));
    const std::string inSub = dir.Write("sub/inner.ent", secretOpt);
    const auto bankNaming = [](const std::string& target) {
        return "<!DOCTYPE bank [<!ELEMENT bank (item*)><!ELEMENT item (#PCDATA|opt)*><!ELEMENT opt EMPTY>"
               "<!ATTLIST item name CDATA #REQUIRED><!ATTLIST opt val CDATA #REQUIRED note CDATA #REQUIRED>"
               "<!ENTITY e SYSTEM \"" + target + "\">]><bank><item name=\"A\">&e;</item></bank>";
    };
    COptionBank control;
    ASSERT_TRUE(control.Open(dir.Write("bank.xml", bankNaming("here.ent")))) << control.ErrorText();
    EXPECT_EQ(OptionLabel(control, "A", 0.0f), "SECRET");

    const std::pair<std::string, const char*> refused[] = {
        {"file://" + secret, "folder"},
        {secret, "folder"},
        {"../" + std::filesystem::path(outside.Path()).filename().string() + "/secret.ent", "folder"},
        {"link.ent", "not a regular file"},
        {"hard.ent", "more than one name"},
        {"sub/inner.ent", "folder"},
        {"file://" + inSub, "folder"},
    };
    for (const auto& [target, reason] : refused) {
        SCOPED_TRACE(target);
        COptionBank bank;
        EXPECT_FALSE(bank.Open(dir.Write("bank.xml", bankNaming(target))));
        EXPECT_NE(bank.ErrorText().find(reason), std::string::npos) << bank.ErrorText();
        EXPECT_EQ(bank.ErrorText().find("SECRET"), std::string::npos) << bank.ErrorText();
        EXPECT_EQ(OptionLabel(bank, "A", 0.0f), "");
    }
}

// The entities come from the folder the bank was read from, also while the path to it is
// switched between two folders: a bank is never completed with the other folder's files.
TEST(OptionBank, EntitiesFromTheFolderTheBankWasReadFrom)
{
    vx4test::TempDir dir;
    for (const char* side : {"a", "b"}) {
        std::filesystem::create_directory(dir.File(side));
        dir.Write(std::string(side) + "/bank.xml",
                  std::string("<!DOCTYPE bank [<!ELEMENT bank (item*)><!ELEMENT item (#PCDATA|opt)*>"
                              "<!ELEMENT opt EMPTY><!ATTLIST item name CDATA #REQUIRED note CDATA #REQUIRED>"
                              "<!ATTLIST opt val CDATA #REQUIRED note CDATA #REQUIRED>"
                              "<!ENTITY e SYSTEM \"e.ent\">]><bank><item name=\"A\" note=\"") +
                      side + "\">&e;</item></bank>");
        dir.Write(std::string(side) + "/e.ent", std::string("<opt val=\"0\" note=\"") + side + "\"/>");
    }
    std::filesystem::create_directory_symlink("a", dir.File("cur"));
    std::atomic<bool> stop{false};
    std::thread flipper([&] {
        for (int i = 0; !stop; ++i) {
            std::error_code ec;
            std::filesystem::remove(dir.File("next"), ec);
            std::filesystem::create_directory_symlink(i % 2 ? "a" : "b", dir.File("next"), ec);
            std::filesystem::rename(dir.File("next"), dir.File("cur"), ec);
        }
    });
    int mixed = 0, opened = 0;
    for (int i = 0; i < 400; ++i) {
        COptionBank bank;
        if (!bank.Open(dir.File("cur/bank.xml"))) continue;
        ++opened;
        if (OptionNote(bank, "A") != OptionLabel(bank, "A", 0.0f)) ++mixed;
    }
    stop = true;
    flipper.join();
    EXPECT_GT(opened, 0);
    EXPECT_EQ(mixed, 0);
}

// A bank may name an entity that is a fifo, a device or a folder; none is ever opened.
TEST(OptionBank, AFifoDeviceOrFolderIsNeverRead)
{
    vx4test::TempDir dir;
    vx4test::FifoReaderWatch fifo(dir.File("fifo"));
    ASSERT_TRUE(fifo.Made());
    std::filesystem::create_directory(dir.File("folder"));
    const bool root = ::geteuid() == 0;
    // A device in the bank's own folder, so that only the file type can stop it.
    if (root) {
        ASSERT_EQ(::mknod(dir.File("zero").c_str(), S_IFCHR | 0644, makedev(1, 5)), 0);
    } else {
        std::printf("skipped the device case: making a device needs root\n");
    }
    for (const std::string& target : {std::string("fifo"), std::string("folder"), std::string("zero")}) {
        SCOPED_TRACE(target);
        if (target == "zero" && !root) continue;
        COptionBank entity;
        EXPECT_FALSE(entity.Open(dir.Write("bank.xml", "<!DOCTYPE bank [<!ENTITY e SYSTEM \"" + target +
                                                           "\">]><bank><item name=\"A\">&e;</item></bank>")));
        EXPECT_NE(entity.ErrorText().find("not a regular file"), std::string::npos) << entity.ErrorText();
        COptionBank bank;
        EXPECT_FALSE(bank.Open(dir.File(target)));
        EXPECT_NE(bank.ErrorText().find("not a regular file"), std::string::npos) << bank.ErrorText();
    }
    EXPECT_FALSE(fifo.Rescued()) << "the FIFO was opened for reading";
}

// What libxml2 takes quadratic time or much memory over is refused before it sees it.
TEST(OptionBank, AttributesAndSizeAreCappedBeforeParsing)
{
    const auto attributes = [](std::size_t n) {
        std::string a;
        for (std::size_t i = 0; i < n; ++i) a += " a" + std::to_string(i) + "=\"\"";
        return a;
    };
    const auto elements = [&](std::size_t count, std::size_t each) {
        std::string text = "<bank>";
        const std::string one = "<i" + attributes(each) + "/>";
        for (std::size_t i = 0; i < count; ++i) text += one;
        return text + "</bank>";
    };
    const auto defaults = [](std::size_t n) {
        std::string d;
        for (std::size_t i = 0; i < n; ++i) d += " d" + std::to_string(i) + " CDATA 'x'";
        return d;
    };
    struct Case {
        const char* what;
        std::string text;
        const char* refusal; // nullptr: opened
    };
    const Case cases[] = {
        {"attributes per element at the limit", elements(1, BankAttributesPerElement), nullptr},
        {"one attribute more", elements(1, BankAttributesPerElement + 1), "attributes"},
        {"attributes in total at the limit", elements(BankAttributesTotal / 50, 50), nullptr},
        {"attributes in total beyond", elements(BankAttributesTotal / 50 + 1, 50), "attributes"},
        {"attributes from a general entity",
         "<!DOCTYPE bank [<!ENTITY e '<i" + attributes(BankAttributesPerElement + 1) + "/>'>]><bank>&e;</bank>",
         "attributes"},
        {"elements in total beyond", elements(BankTagsTotal, 0), "elements"},
        {"declared defaults added to every element",
         "<!DOCTYPE bank [<!ATTLIST i" + defaults(BankAttributesPerElement + 1) + ">]>" + elements(1, 0), "attributes"},
        {"declared defaults times the elements", "<!DOCTYPE bank [<!ATTLIST i" + defaults(50) + ">]>" +
                                                     elements(BankAttributesTotal / 50, 0), "attributes"},
        {"a bank beyond its size", "<bank>" + std::string(MaxBankBytes, ' ') + "</bank>", "larger than"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        vx4test::TempDir dir;
        COptionBank bank;
        const bool opened = bank.Open(dir.Write("bank.xml", c.text));
        EXPECT_EQ(opened, c.refusal == nullptr) << bank.ErrorText();
        if (c.refusal != nullptr) {
            EXPECT_NE(bank.ErrorText().find(c.refusal), std::string::npos) << bank.ErrorText();
        }
    }
    // An attribute list built from a parameter entity cannot be counted before the parse.
    vx4test::TempDir dir;
    dir.Write("attrs.dtd", "<!ENTITY % list \"" + attributes(10) + "\"><!ENTITY e \"<i %list;/>\">");
    COptionBank built;
    EXPECT_FALSE(built.Open(dir.Write("bank.xml", "<!DOCTYPE bank SYSTEM \"attrs.dtd\"><bank>&e;</bank>")));
    EXPECT_NE(built.ErrorText().find("entities"), std::string::npos) << built.ErrorText();
}

} // namespace
} // namespace vx4
