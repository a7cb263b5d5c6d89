// The frame monitor windows: the toolbar's captions and flags, opening from the File menu in
// the monitor frame, logging the simulator's traffic only while started, what survives
// reopening, the full log, and saving as RTF (read back by LibreOffice) and as pcap (read
// back by tshark).

#include "mainwindow_fixture.h"

#include "link/link_fake.h"
#include "office/RtfWriter.h"
#include "ui/main/ManualOperation.h"
#include "ui/monitors/Unit_vx2_monitor.h"
#include "ui/monitors/Unit_vx3c_monitor.h"

#include <QPlainTextEdit>
#include <QTimer>
#include <QToolButton>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <thread>
#include <iterator>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vx4::uitest {
namespace {

std::vector<std::string> CommandRows(const std::string& command)
{
    std::vector<std::string> rows;
    std::FILE* p = ::popen(command.c_str(), "r");
    if (!p) return rows;
    char buf[4096];
    std::string all;
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) all.append(buf, n);
    ::pclose(p);
    std::size_t at = 0;
    while (at < all.size()) {
        std::size_t end = all.find('\n', at);
        if (end == std::string::npos) end = all.size();
        std::string row = all.substr(at, end - at);
        if (!row.empty() && row.back() == '\r') row.pop_back();
        rows.push_back(row);
        at = end + 1;
    }
    return rows;
}

vx4sim::Emission Traffic(vx4sim::Emission::Kind kind, double rate) {
    vx4sim::Emission e;
    e.kind = kind;
    e.rate = rate;
    e.faults = false;
    return e;
}

class MonitorWindowTest : public MainWindowTest {
protected:
    // Opens a monitor from its menu item and runs body while it is shown modally; body's
    // last act closes it.
    void WhileOpen(const std::function<void()>& open, const std::function<TFrameMonitorForm*()>& monitor,
                   const std::function<void(TFrameMonitorForm&)>& body) {
        bool ran = false;
        std::function<void()> wait;
        wait = [&] {
            TFrameMonitorForm* m = monitor();
            if (m == nullptr || !m->isVisible()) {
                QTimer::singleShot(20, wait);
                return;
            }
            ran = true;
            body(*m);
            m->close();
        };
        QTimer::singleShot(0, wait);
        open();
        EXPECT_TRUE(ran);
    }
};

TEST(MonitorToolbar, CaptionsNameTheStateAndTheFilterSteps) {
    EnsureApplication();
    connection conn;
    Tvx3c_monitor vx3c(nullptr, conn, [] { return 12u; });
    EXPECT_EQ(vx3c.windowTitle(), "vx3c монитор");
    EXPECT_EQ(vx3c.ToolButtonSave->text(), "Сохранить");
    EXPECT_EQ(vx3c.ToolButtonClear->text(), "Очистить");
    EXPECT_EQ(vx3c.ProposedFileName(), "VX4_12_monitor.rtf");
    struct Step {
        QToolButton* button;
        QString caption;
        bool stopped, decoded;
    };
    const Step steps[] = {{vx3c.ToolButtonStop, "Старт", false, true},
                          {vx3c.ToolButtonStyle, "Прост.", false, false},
                          {vx3c.ToolButtonStop, "Стоп", true, false},
                          {vx3c.ToolButtonStyle, "Разбор", true, true}};
    EXPECT_EQ(vx3c.ToolButtonStop->text(), "Стоп");
    EXPECT_EQ(vx3c.ToolButtonStyle->text(), "Разбор");
    for (const Step& s : steps) {
        s.button->click();
        EXPECT_EQ(s.button->text(), s.caption);
        EXPECT_EQ(vx3c.Monitor().isStopped.load(), s.stopped) << s.caption.toStdString();
        EXPECT_EQ(vx3c.Monitor().isDecoded.load(), s.decoded) << s.caption.toStdString();
    }

    Tvx2_monitor vx2(nullptr, conn, [] { return 7u; });
    EXPECT_EQ(vx2.windowTitle(), "vx2 монитор");
    EXPECT_EQ(vx2.ProposedFileName(), "VX2_7_monitor.rtf");
    EXPECT_EQ(vx2.ToolButtonShowType->text(), "Все");
    const std::pair<QString, int> filters[] = {{"Запр.", 1}, {"Отв.", 2}, {"Все", 0}, {"Запр.", 1}};
    for (const auto& [caption, value] : filters) {
        vx2.ToolButtonShowType->click();
        EXPECT_EQ(vx2.ToolButtonShowType->text(), caption);
        EXPECT_EQ(vx2.Monitor().showFilter.load(), value);
    }
}

TEST(MonitorLog, FullLogDropsItsOldestLinesAndClearEmptiesIt) {
    EnsureApplication();
    connection conn;
    Tvx3c_monitor m(nullptr, conn, [] { return 0u; });
    m.SetLogCapacity(3);
    for (int i = 1; i <= 5; ++i) m.AppendLogLine(QStringLiteral("line %1").arg(i));
    EXPECT_EQ(m.LogLines(), (QStringList{"line 3", "line 4", "line 5"}));
    m.ToolButtonClear->click();
    EXPECT_TRUE(m.LogLines().isEmpty());
    EXPECT_TRUE(m.CapturedPieces().empty());
}

TEST(RtfWriter, EscapesAndUnicode) {
    const struct {
        std::string line, rtf;
    } cases[] = {
        {"St[0000] Raw[01 ]", "St[0000] Raw[01 ]\\par\n"},
        {"a\\b{c}d", "a\\\\b\\{c\\}d\\par\n"},
        {"\xD0\x96\t\x01z", "\\u1046?\\tab z\\par\n"},             // Ж, tab, a control character left out
        {"\xEF\xBF\xBD\xF0\x9F\x98\x80", "\\u-3?\\u-10179?\\u-8704?\\par\n"}, // U+FFFD, U+1F600
        {"\xFFx", "\\u-3?x\\par\n"},                                   // not UTF-8
    };
    for (const auto& c : cases) {
        const std::string doc = RtfDocument({c.line});
        EXPECT_EQ(doc.rfind("{\\rtf1\\ansi", 0), 0u);
        EXPECT_NE(doc.find("{\\fonttbl{\\f0\\fmodern\\fprq1\\fcharset204 Courier New;}}"), std::string::npos);
        EXPECT_NE(doc.find("\\f0\\fs16 \n" + c.rtf + "}\n"), std::string::npos) << c.line << "\n" << doc;
    }
    EXPECT_EQ(RtfDocument({}).find("\\par\n"), std::string::npos);
}

TEST(MonitorThread, ReopeningWhileTheLastReadStillBlocksCapturesAgain) {
    EnsureApplication();
    auto state = std::make_shared<conntest::FakeLinkState>();
    state->realReadSleepMs = 1500; // a read that outlasts the 1000 ms the closing waits
    connection conn;
    conn.SetLinkFactory(conntest::FakeFactory(state));
    ASSERT_EQ(conn.Open(), OK);
    Tvx3c_monitor m(nullptr, conn, [] { return 0u; });
    m.show();
    m.ToolButtonStop->click();
    QTest::qWait(100);
    m.close();
    EXPECT_TRUE(m.CaptureRunning()) << "left to end after its read";
    EXPECT_EQ(m.ToolButtonStop->text(), "Стоп");
    m.show();
    EXPECT_TRUE(m.CaptureRunning());
    m.ToolButtonStop->click();
    QTest::qWait(2000);
    EXPECT_TRUE(m.CaptureRunning()) << "the new showing has its own capture";
    EXPECT_FALSE(m.Monitor().isStopped.load());
    m.close();
}

TEST_F(MonitorWindowTest, Vx3cMonitorOpensInTheMonitorFrameAndLogsOnlyWhileStarted) {
    StartSimulator();
    sim->SetEmission(Traffic(vx4sim::Emission::Vx3c, 100));
    CreateForm();
    form->show();
    ASSERT_FALSE(form->Conn().IsOpen());

    QStringList firstLines;
    WhileOpen([this] { form->vx3c1Click(); }, [this] { return form->Vx3cMonitor(); },
              [&](TFrameMonitorForm& m) {
                  EXPECT_FALSE(form->isVisible()) << "the main window is hidden";
                  EXPECT_TRUE(form->PollingPaused());
                  EXPECT_TRUE(form->Conn().IsOpen());
                  EXPECT_EQ(m.ToolButtonStop->text(), "Стоп");
                  // Stopped at first: the traffic is thrown away.
                  QTest::qWait(400);
                  EXPECT_TRUE(m.LogLines().isEmpty());
                  m.ToolButtonStop->click();
                  ASSERT_TRUE(QTest::qWaitFor([&] { return m.LogLines().size() >= 10; }, 10000));
                  m.ToolButtonStop->click();
                  QTest::qWait(300);
                  firstLines = m.LogLines();
                  // Stopped again: nothing more comes.
                  QTest::qWait(300);
                  EXPECT_EQ(m.LogLines(), firstLines);
                  m.ToolButtonStyle->click();
              });
    EXPECT_TRUE(form->isVisible());
    EXPECT_FALSE(form->Conn().IsOpen()) << "the link is left as it was found";
    for (const QString& line : firstLines) {
        EXPECT_TRUE(line.startsWith("St[0000] dT[")) << line.toStdString();
        EXPECT_TRUE(line.contains("] CS[")) << line.toStdString();
    }
    EXPECT_TRUE(firstLines.first().startsWith("St[0000] dT[     0] ")) << firstLines.first().toStdString();
    EXPECT_TRUE(sim->Requests().empty()) << "a monitor only listens";
    EXPECT_EQ(form->Vx3cMonitor()->CapturedPieces().size(), std::size_t(firstLines.size()));

    // Reopened: stopped again, the log and the style kept; new lines come plain.
    WhileOpen([this] { form->vx3c1Click(); }, [this] { return form->Vx3cMonitor(); },
              [&](TFrameMonitorForm& m) {
                  EXPECT_EQ(m.ToolButtonStop->text(), "Стоп");
                  EXPECT_EQ(m.ToolButtonStyle->text(), "Прост.");
                  EXPECT_EQ(m.LogLines(), firstLines);
                  m.ToolButtonStop->click();
                  ASSERT_TRUE(QTest::qWaitFor([&] { return m.LogLines().size() >= firstLines.size() + 3; }, 10000));
              });
    const QStringList all = form->Vx3cMonitor()->LogLines();
    EXPECT_TRUE(all.last().contains("] Raw[")) << all.last().toStdString();
    EXPECT_FALSE(form->Vx3cMonitor()->CaptureRunning());
}

TEST_F(MonitorWindowTest, ClearAlsoDropsTheLinesNotShownYet) {
    StartSimulator();
    sim->SetEmission(Traffic(vx4sim::Emission::Vx3c, 100));
    CreateForm();
    WhileOpen([this] { form->vx3c1Click(); }, [this] { return form->Vx3cMonitor(); },
              [&](TFrameMonitorForm& m) {
                  m.ToolButtonStop->click();
                  ASSERT_TRUE(QTest::qWaitFor([&] { return !m.LogLines().isEmpty(); }, 10000));
                  // The window's thread is busy: the capture's lines wait for it.
                  std::this_thread::sleep_for(std::chrono::milliseconds(300));
                  m.ToolButtonStop->click();
                  // Long enough for the read in progress to end: no more lines after it.
                  std::this_thread::sleep_for(std::chrono::milliseconds(800));
                  ASSERT_GT(m.PendingLines(), 0u);
                  m.ToolButtonClear->click();
                  QTest::qWait(300);
                  EXPECT_TRUE(m.LogLines().isEmpty()) << m.LogLines().join('\n').toStdString();
                  EXPECT_EQ(m.PendingLines(), 0u);
              });
}

TEST_F(MonitorWindowTest, Vx2MonitorDecodesRequestsAndAnswers) {
    StartSimulator();
    sim->SetEmission(Traffic(vx4sim::Emission::Vx2, 100));
    CreateForm();
    WhileOpen([this] { form->vx2Click(); }, [this] { return form->Vx2Monitor(); },
              [&](TFrameMonitorForm& m) {
                  m.ToolButtonStop->click();
                  ASSERT_TRUE(QTest::qWaitFor([&] { return m.LogLines().size() >= 12; }, 10000));
              });
    int requests = 0, answers = 0;
    for (const QString& line : form->Vx2Monitor()->LogLines()) {
        if (line.contains("] Cmd[")) ++requests;
        else if (line.contains("] Ans[")) ++answers;
        else if (line != "---------------------") ADD_FAILURE() << line.toStdString();
    }
    EXPECT_GE(requests, 5);
    EXPECT_GE(answers, 5);
    EXPECT_TRUE(sim->Requests().empty());
}

TEST_F(MonitorWindowTest, SavedFilesGiveBackTheLogAndTheCapture) {
    StartSimulator();
    sim->SetEmission(Traffic(vx4sim::Emission::Vx3c, 200));
    CreateForm();
    WhileOpen([this] { form->vx3c1Click(); }, [this] { return form->Vx3cMonitor(); },
              [&](TFrameMonitorForm& m) {
                  m.ToolButtonStop->click();
                  ASSERT_TRUE(QTest::qWaitFor([&] { return m.LogLines().size() >= 20; }, 10000));
                  m.ToolButtonStop->click();
              });
    TFrameMonitorForm& m = *form->Vx3cMonitor();
    // A line with what RTF must escape and text outside ASCII.
    m.AppendLogLine(QStringLiteral("{\\отметка} ---"));
    const QStringList log = m.LogLines();

    // RTF, read back by LibreOffice with a profile of its own.
    const std::string rtf = (dir / "VX4_1_monitor.rtf").string();
    EXPECT_TRUE(m.SaveLog(QString::fromStdString(rtf)).isEmpty());
    const std::string profile = "file://" + (dir / "lo-profile").string();
    const std::string convert = "soffice -env:UserInstallation=" + profile +
                                " --headless --convert-to txt:Text --outdir '" + dir.string() + "' '" + rtf +
                                "' >/dev/null 2>&1";
    ASSERT_EQ(std::system(convert.c_str()), 0) << convert;
    std::ifstream txt(dir / "VX4_1_monitor.txt", std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(txt)), std::istreambuf_iterator<char>());
    if (text.rfind("\xEF\xBB\xBF", 0) == 0) text.erase(0, 3);
    QStringList back = QString::fromUtf8(text.data(), qsizetype(text.size())).split('\n');
    for (QString& line : back)
        if (line.endsWith('\r')) line.chop(1);
    while (!back.isEmpty() && back.last().isEmpty()) back.removeLast();
    EXPECT_EQ(back, log);

    // pcap, read back by tshark: one packet per piece, its bytes behind the pseudo-header
    // (vx3c, direction not known, the read's status).
    const std::vector<SCapturedPiece> pieces = m.CapturedPieces();
    const std::string pcap = (dir / "capture.pcap").string();
    EXPECT_TRUE(m.SaveCapture(QString::fromStdString(pcap)).isEmpty());
    std::vector<std::string> rows = CommandRows("tshark -r '" + pcap + "' -T fields -e data.data 2>/dev/null");
    while (!rows.empty() && rows.back().empty()) rows.pop_back();
    ASSERT_EQ(rows.size(), pieces.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        QByteArray expected("\x01\x00", 2);
        expected += char(pieces[i].status & 0xFF);
        expected += char((pieces[i].status >> 8) & 0xFF);
        expected += QByteArray(reinterpret_cast<const char*>(pieces[i].bytes.data()), qsizetype(pieces[i].bytes.size()));
        EXPECT_EQ(rows[i], expected.toHex().toStdString()) << i;
    }

    // A file that cannot be written: the system's message, the log unchanged.
    boxes.clear();
    const QString failed = m.SaveLog(QString::fromStdString((dir / "missing" / "x.rtf").string()));
    EXPECT_TRUE(failed.contains("No such file or directory")) << failed.toStdString();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0], failed);
    EXPECT_EQ(m.LogLines(), log);
    EXPECT_FALSE(m.SaveCapture(QString::fromStdString((dir / "missing" / "x.pcap").string())).isEmpty());
    EXPECT_EQ(boxes.size(), 2u);
}

// Saving the capture to a fifo never holds the window: without a reader it fails at once,
// a reader that goes away is an error (not the end of the console), and a reader that
// takes nothing is left when the save is cancelled, as a stop signal does.
TEST_F(MonitorWindowTest, SavingToAFifoNeverHoldsTheWindow) {
    std::signal(SIGPIPE, SIG_IGN); // as the console does
    StartSimulator();
    sim->SetEmission(Traffic(vx4sim::Emission::Vx3c, 400));
    CreateForm();
    const std::string fifo = (dir / "capture.fifo").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    WhileOpen([this] { form->vx3c1Click(); }, [this] { return form->Vx3cMonitor(); },
              [&](TFrameMonitorForm& m) {
                  m.ToolButtonStop->click();
                  // More than the smallest pipe holds, so that a reader taking nothing blocks the writer.
                  ASSERT_TRUE(QTest::qWaitFor(
                      [&] {
                          std::size_t bytes = 0;
                          for (const SCapturedPiece& p : m.CapturedPieces()) bytes += p.bytes.size() + 20;
                          return bytes > 3 * 4096;
                      },
                      20000));
                  m.ToolButtonStop->click();

                  const QString none = m.SaveCapture(QString::fromStdString(fifo));
                  EXPECT_TRUE(none.contains("no program reads")) << none.toStdString();

                  // A reader that opens the fifo and closes it again.
                  std::atomic<bool> stop{false};
                  std::thread closer([&] {
                      while (!stop) {
                          const int fd = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
                          if (fd >= 0) {
                              ::fcntl(fd, F_SETPIPE_SZ, 4096);
                              std::this_thread::sleep_for(std::chrono::milliseconds(20));
                              ::close(fd);
                          }
                          std::this_thread::sleep_for(std::chrono::milliseconds(5));
                      }
                  });
                  QString gone;
                  ASSERT_TRUE(QTest::qWaitFor(
                      [&] {
                          gone = m.SaveCapture(QString::fromStdString(fifo));
                          return !gone.contains("no program reads");
                      },
                      10000));
                  stop = true;
                  closer.join();
                  EXPECT_TRUE(gone.contains("closed it")) << gone.toStdString();

                  // A reader that holds the fifo and takes nothing: the window keeps running
                  // its timers, and a cancel ends the save.
                  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
                  ASSERT_GE(reader, 0);
                  ::fcntl(reader, F_SETPIPE_SZ, 4096);
                  int ticks = 0;
                  QTimer ticker;
                  QObject::connect(&ticker, &QTimer::timeout, [&] {
                      if (++ticks == 10) form->Operations().Cancel();
                  });
                  ticker.start(50);
                  const QString cancelled = m.SaveCapture(QString::fromStdString(fifo));
                  ticker.stop();
                  ::close(reader);
                  EXPECT_TRUE(cancelled.contains("cancelled")) << cancelled.toStdString();
                  EXPECT_GE(ticks, 10) << "the window's thread kept going while the save waited";
              });
}

} // namespace
} // namespace vx4::uitest
