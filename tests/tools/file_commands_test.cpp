// vx4ctl's commands that bring data home: download, events and graduation.

#include "CtlRunner.h"

#include "link/Frames.h"
#include "platform/Cp1251.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>

using namespace ctltest;

namespace {

std::string Bytes(const std::vector<std::uint8_t>& v) { return std::string(v.begin(), v.end()); }

TEST(CtlFiles, DownloadWritesTheDeviceFileByteForByte)
{
    SimDevice dev;
    TempDir dir;
    const RunResult byName = RunCtl(dev.Args({"download", "main.xmc"}), dir.Path());
    ASSERT_EQ(byName.status, 0) << byName.err;
    EXPECT_EQ(byName.out, "");
    EXPECT_EQ(byName.err, ""); // no progress bar when standard error is not a terminal
    EXPECT_EQ(ReadFile(dir.File("main.xmc")), Bytes(*dev.sim.FileContents("main.xmc")));

    const auto hour = *dev.sim.FileContents("hour.dat");
    ASSERT_GT(hour.size(), 3000u); // several blocks
    const RunResult toFile = RunCtl(dev.Args({"download", "hour.dat", "-o", dir.File("h.bin")}));
    ASSERT_EQ(toFile.status, 0) << toFile.err;
    EXPECT_EQ(ReadFile(dir.File("h.bin")), Bytes(hour));
    EXPECT_EQ(DirEntries(dir.Path()), (std::vector<std::string>{"h.bin", "main.xmc"}));

    // "-" is standard output; a folder takes the file under the device file's name.
    const RunResult toStdout = RunCtl(dev.Args({"download", "hour.dat", "-o", "-"}), dir.Path());
    ASSERT_EQ(toStdout.status, 0) << toStdout.err;
    EXPECT_EQ(toStdout.out, Bytes(hour));
    TempDir folder;
    const RunResult toFolder = RunCtl(dev.Args({"download", "main.xmc", "-o", folder.Path()}));
    ASSERT_EQ(toFolder.status, 0) << toFolder.err;
    EXPECT_EQ(ReadFile(folder.File("main.xmc")), Bytes(*dev.sim.FileContents("main.xmc")));
    EXPECT_EQ(DirEntries(dir.Path()), (std::vector<std::string>{"h.bin", "main.xmc"})); // no file named "-"
    const RunResult missing = RunCtl(dev.Args({"download", "nosuch.dat", "-o", "-"}));
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.out, "");
}

TEST(CtlFiles, AFailedDownloadLeavesNoFileAndKeepsAnOlderOne)
{
    SimDevice dev;
    TempDir dir;
    const RunResult missing = RunCtl(dev.Args({"download", "nosuch.dat", "-o", dir.File("x.dat")}));
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err.rfind("error 248 VX-4: не удается открать файл\n  the device has no file 'nosuch.dat'", 0), 0u) << missing.err;

    WriteFile(dir.File("keep.dat"), "older contents");
    // The device refuses the second block (code 247) after the first has been written.
    std::atomic<int> blocks{0};
    dev.sim.SetHook([&blocks](const std::vector<std::uint8_t>& req) {
        vx4sim::HookResult h;
        if (req.size() > 7 && req[6] == 0x06 && ++blocks == 2) {
            h.kind = vx4sim::HookResult::Replace;
            h.bytes.assign(9, 0);
            std::copy(req.begin(), req.begin() + 4, h.bytes.begin());
            h.bytes[6] = 247;
            vx4::FillCheckBytes(h.bytes.data(), 7);
        }
        return h;
    });
    const RunResult broken = RunCtl(dev.Args({"download", "hour.dat", "-o", dir.File("keep.dat")}));
    dev.sim.SetHook(nullptr);
    EXPECT_EQ(broken.status, 1);
    EXPECT_EQ(broken.err, "error 247 Ошибка записи файла\n");
    EXPECT_EQ(ReadFile(dir.File("keep.dat")), "older contents");
    EXPECT_EQ(DirEntries(dir.Path()), std::vector<std::string>{"keep.dat"});

    // A local file that cannot be created is refused before the device is asked.
    dev.sim.ClearRequests();
    const RunResult nowhere = RunCtl(dev.Args({"download", "main.xmc", "-o", dir.File("no/such/dir/main.xmc")}));
    EXPECT_EQ(nowhere.status, 1);
    EXPECT_NE(nowhere.err.find("cannot create"), std::string::npos) << nowhere.err;
    EXPECT_TRUE(dev.sim.Requests().empty());
}

TEST(CtlFiles, ProgressBarOnlyOnATerminal)
{
    SimDevice dev;
    TempDir dir;
    const RunResult r = RunProgram(CtlPath(), dev.Args({"download", "hour.dat"}), dir.Path(), true);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("download ["), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("] 100%"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(ReadFile(dir.File("hour.dat")), Bytes(*dev.sim.FileContents("hour.dat")));
}

TEST(CtlFiles, EventsAsTheEventsWindowSavesThem)
{
    const std::vector<vx4sim::SystemEvent> events = {
        {3, 257, 1765180800, 1, "Включение питания"}, {5, 516, 1765195200, 2, "Обрыв датчика T2"}};
    const std::string expected = "TaskID\tEvCode\tTStamp\tEvCnt\tТекст сообщения\t\r\n"
                                 "3\t257\t1765180800\t1\tВключение питания\t\r\n"
                                 "5\t516\t1765195200\t2\tОбрыв датчика T2\t\r\n";
    SimDevice dev;
    dev.sim.SetSystemEvents(events);
    const RunResult out = RunCtl(dev.Args({"events"}));
    ASSERT_EQ(out.status, 0) << out.err;
    EXPECT_EQ(out.out, expected); // UTF-8 on standard output

    TempDir dir;
    dev.sim.SetSystemEvents(events);
    const RunResult file = RunCtl(dev.Args({"events", "-o", dir.File("ev.txt")}));
    ASSERT_EQ(file.status, 0) << file.err;
    EXPECT_EQ(file.out, "");
    EXPECT_EQ(ReadFile(dir.File("ev.txt")), vx4::Utf8ToCp1251(expected)); // the window's code page

    const RunResult none = RunCtl(dev.Args({"events"})); // all read: the title row alone
    ASSERT_EQ(none.status, 0) << none.err;
    EXPECT_EQ(none.out, "TaskID\tEvCode\tTStamp\tEvCnt\tТекст сообщения\t\r\n");
}

TEST(CtlFiles, GraduationAsATableOrADarFile)
{
    SimDevice dev;
    vx4sim::Transducer t;
    t.serial = 1234;
    t.pairs = {{3, 30}, {1, 10}, {2, 20.5f}};
    vx4sim::Transducer empty;
    empty.serial = 5678;
    vx4sim::Transducer absent;
    absent.serial = 4321;
    absent.absent = true;
    dev.sim.SetTransducers({t, empty, absent});

    const RunResult table = RunCtl(dev.Args({"graduation", "1234"}));
    ASSERT_EQ(table.status, 0) << table.err;
    EXPECT_EQ(table.out, " №\t       Gi\t       Ge\n"
                         " 0\t 1.000000E+00\t 1.000000E+01\n"
                         " 1\t 2.000000E+00\t 2.050000E+01\n"
                         " 2\t 3.000000E+00\t 3.000000E+01\n");

    TempDir dir;
    const RunResult dar = RunCtl(dev.Args({"graduation", "1234", "-o", dir.File("00001234.dar")}));
    ASSERT_EQ(dar.status, 0) << dar.err;
    EXPECT_EQ(ReadFile(dir.File("00001234.dar")), " \xB9\t       Gi\t       Ge"
                                                  "\r\n 0\t 1.000000E+00\t 1.000000E+01"
                                                  "\r\n 1\t 2.000000E+00\t 2.050000E+01"
                                                  "\r\n 2\t 3.000000E+00\t 3.000000E+01");

    const RunResult noPairs = RunCtl(dev.Args({"graduation", "5678"}));
    ASSERT_EQ(noPairs.status, 0) << noPairs.err;
    EXPECT_EQ(noPairs.out, " №\t       Gi\t       Ge\n");

    const RunResult gone = RunCtl(dev.Args({"graduation", "4321", "-o", dir.File("00004321.dar")}));
    EXPECT_EQ(gone.status, 1);
    EXPECT_EQ(gone.err, "error 1 the device refused the request (its answer code)\n"); // the relay's status word: no unit answered
    EXPECT_FALSE(FileExists(dir.File("00004321.dar")));
}

} // namespace
