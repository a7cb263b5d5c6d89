// The window never waits for the line: closing it while a slow device trickles an answer
// in ends at once and writes the settings file once; a step on the line asked for while
// an operation runs waits its turn instead of running on the window's thread.

#include "mainwindow_fixture.h"

#include "Simulator.h"
#include "ui/main/ManualOperation.h"
#include "ui/main/PollingCycle.h"

#include <QAction>
#include <QTest>
#include <QTimer>

#include <chrono>
#include <sys/inotify.h>
#include <unistd.h>

namespace vx4::uitest {
namespace {

using Clock = std::chrono::steady_clock;

class WindowLineTest : public MainWindowTest {
protected:
    void Drip(unsigned ms) {
        vx4sim::Faults f;
        f.drip = 1.0;
        f.dripMs = ms;
        sim->SetFaults(f);
    }
};

TEST_F(WindowLineTest, ClosingWhileAnAnswerTricklesInEndsAtOnceAndWritesTheSettingsOnce) {
    StartSimulator();
    CreateForm();
    ASSERT_TRUE(StartAndWaitRunning());
    Drip(900);
    // The worker's next exchange takes the line and its answer comes byte by byte.
    QTest::qWait(2000);
    ASSERT_TRUE(form->Conn().IsOpen());
    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(inotify_add_watch(watch, dir.c_str(), IN_MOVED_TO | IN_CLOSE_WRITE), 0);
    const auto start = Clock::now();
    form->close();
    form.reset();
    const auto took = Clock::now() - start;
    EXPECT_LT(took, std::chrono::milliseconds(1000));
    // Every write of the file lands once under its name.
    int writes = 0;
    alignas(inotify_event) char buf[8192];
    for (ssize_t n; (n = ::read(watch, buf, sizeof buf)) > 0;)
        for (char* p = buf; p < buf + n;) {
            const auto* e = reinterpret_cast<const inotify_event*>(p);
            if (e->len > 0 && std::string(e->name) == "vx4pult.ini") ++writes;
            p += sizeof(inotify_event) + e->len;
        }
    ::close(watch);
    EXPECT_EQ(writes, 1);
    // Everything was kept.
    EXPECT_EQ(GetPrivateProfileString("CONNECTION", "port", "", ini), "TCP/IP");
    EXPECT_EQ(GetPrivateProfileString("CONNECTION", "dev_nom", "", ini), std::to_string(sim->Serial()));
    EXPECT_FALSE(GetPrivateProfileString("WINDOW", "VLE_split", "", ini).empty());
}

TEST_F(WindowLineTest, StopWhileAnOperationRunsWaitsForItsEnd) {
    StartSimulator();
    CreateForm();
    ASSERT_TRUE(StartAndWaitRunning());
    bool openAfterStop = false;
    std::size_t queued = 0;
    std::atomic<bool> release{false};
    OperationOptions options;
    options.kind = FrameKind::Light;
    QTimer::singleShot(300, form.get(), [&] {
        // F10 while the operation holds the frame: nothing on the line from this thread.
        form->StopItem().trigger();
        // The tick's own stop after a failed read comes on top: one stop stays queued.
        form->Polling().Stop_pollingClick();
        queued = form->Polling().PendingSteps();
        openAfterStop = form->Conn().IsOpen();
        release = true;
    });
    form->Operations().Run(options, [&](OperationContext&) {
        while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return 0;
    });
    EXPECT_EQ(queued, 1u);
    EXPECT_TRUE(openAfterStop);
    // Once the operation has ended the queued stop runs in a frame of its own.
    EXPECT_TRUE(TickUntil([&] { return form->Polling().PendingSteps() == 0 && !form->Conn().IsOpen(); }, 5000));
    EXPECT_TRUE(form->PollingPaused());
}

} // namespace
} // namespace vx4::uitest
