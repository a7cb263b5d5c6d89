#pragma once
// The configuration tree and the value editor on their own, over a device object that is
// connected through loopback to an in-process simulated device built for these tests, with
// small option banks. Offscreen; short device pauses.

#include "DeviceDescription.h"
#include "Simulator.h"
#include "device/Vx4obj.h"
#include "link/Connection.h"
#include "options/OptionBank.h"
#include "ui/views/ConfigTree.h"
#include "ui/views/ParamEditor.h"

#include <QApplication>
#include <QTest>
#include <QTreeWidgetItemIterator>
#include <QVBoxLayout>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace vx4::treetest {

inline void EnsureApplication()
{
    if (QApplication::instance() != nullptr)
        return;
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "ui_tests";
    static char* argv[] = {name, nullptr};
    new QApplication(argc, argv);
}

// Identifiers of the test device's items: the item number of a constant or an event, the id
// in the record of a calculated value. Those ids are not the values' item numbers: the three ids are the three item numbers shifted round (T1 is
// item 5 with id 6, T2 item 6 with id 11, Q1 item 11 with id 5), so a lookup by item number
// finds another value.
enum : std::uint16_t {
    kP1 = 1,    // device constant, float printed with 3 decimals, 12.345, range -100..100
    kN1 = 2,    // device constant, integer printed 3 wide: 005
    kDev3 = 3,  // device constant "dev3" (a transducer address)
    kSW = 4,    // system 2 constant with the options Выкл/Вкл, value 1
    kT1 = 6,    // system 2 calculated value, group event id 7 (item 5)
    kT2 = 11,   // system 2 calculated value (item 6)
    kEv1 = 7,   // event "Авария", group 0, mask 4, code 17
    kEv2 = 8,   // event, group 5, mask 8, code 3
    kEv3 = 9,   // event, group 1, mask 16, code 4
    kK = 10,    // system 2 constant, integer 12
    kQ1 = 5,    // system 1 calculated value (item 11)
    kD1 = 12,   // system 1 constant "D" = 1
    kD2 = 13,   // system 1 constant "D" = 2 (same key as kD1)
    kItemCount = 13,
};

inline vx4sim::DeviceDescription TestDescription()
{
    using vx4sim::MakeCalc;
    using vx4sim::MakeConst;
    using vx4sim::MakeEvent;
    using vx4sim::MakeIntConst;
    vx4sim::DeviceDescription d;
    d.serial = 4321;
    d.initTime = {0x01, 0x12, 0x26, 0x08, 0x00, 0x00};
    d.systems = {{"ЦТП", "первая"}, {"Котельная", "вторая"}};
    d.items = {MakeConst(0, "P1", 12.345, 3, -100, 100),
               MakeIntConst(0, "N1", 5, 3),
               MakeIntConst(0, "dev3", 3),
               MakeIntConst(2, "SW", 1),
               MakeCalc(2, "T1", kT1, 7, 12.5),
               MakeCalc(2, "T2", kT2, 7, 3.25),
               MakeEvent("Авария", 0, 4, 17),
               MakeEvent("Ev2", 5, 8, 3),
               MakeEvent("Ev3", 1, 16, 4),
               MakeIntConst(2, "K", 12),
               MakeCalc(1, "Q1", kQ1, 0, 1),
               MakeIntConst(1, "D", 1),
               MakeIntConst(1, "D", 2)};
    return d;
}

inline const char* kConstBank = R"(<?xml version="1.0" encoding="UTF-8"?>
<bank>
  <item name="SW" note="Режим"><opt val="0" note="Выкл"/><opt val="1" note="Вкл"/></item>
  <item name="P1" note="Давление"/>
</bank>)";

inline const char* kCalcBank = R"(<?xml version="1.0" encoding="UTF-8"?>
<bank>
  <item name="T$" note="Температура"/>
</bank>)";

class TreeFixture : public ::testing::Test {
protected:
    std::unique_ptr<vx4sim::Simulator> sim;
    std::unique_ptr<connection> conn;
    std::unique_ptr<CVX4Obj> device;
    COptionBank constBank, calcBank;
    bool pollingPaused = false;
    int pollState = 3;
    std::unique_ptr<QWidget> host;
    ConfigTree* tree = nullptr;
    ParamEditor* editor = nullptr;

    void SetUp() override
    {
        EnsureApplication();
        std::string error;
        sim = vx4sim::Simulator::FromJsonText(vx4sim::DescriptionToJson(TestDescription()), &error);
        ASSERT_TRUE(sim) << error;
        ASSERT_TRUE(sim->StartTcp("127.0.0.1", 0, &error)) << error;
        ASSERT_TRUE(constBank.OpenMemory(kConstBank)) << constBank.ErrorText();
        ASSERT_TRUE(calcBank.OpenMemory(kCalcBank)) << calcBank.ErrorText();

        conn = std::make_unique<connection>();
        ConnectionSettings s = conn->Settings();
        s.port = "TCP/IP";
        s.IP = "127.0.0.1";
        s.TCPIPport = std::to_string(sim->Port());
        s.dev_nom = sim->Serial();
        conn->SetSettings(s);
        CVX4Obj::Timing timing;
        timing.cycleMs = 100;
        timing.stabilityPauseMs = 20;
        timing.writeWaitMs = 1500;
        timing.gatewayWaitMs = 20;
        device = std::make_unique<CVX4Obj>(*conn, timing);

        host = std::make_unique<QWidget>();
        auto* layout = new QHBoxLayout(host.get());
        tree = new ConfigTree(host.get(), *device, *conn, constBank, calcBank, pollingPaused, pollState);
        editor = new ParamEditor(host.get(), *device, *conn, constBank, calcBank, *tree, pollingPaused, pollState);
        layout->addWidget(tree);
        layout->addWidget(editor);
        host->resize(900, 600);
        host->show();

        ASSERT_EQ(conn->Open(), 0);
        device->RequestReread();
        ASSERT_TRUE(WaitFor([this] {
            return device->IsConfigReady() && device->GetDeviceInfo().itemCount == kItemCount;
        }, 10000)) << "the device object did not read the configuration";
    }

    void TearDown() override
    {
        host.reset();
        device.reset();
        conn.reset();
        sim.reset();
    }

    // Runs the event loop until pred holds or timeoutMs passed.
    static bool WaitFor(const std::function<bool()>& pred, int timeoutMs)
    {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (!pred()) {
            if (std::chrono::steady_clock::now() >= end)
                return false;
            QTest::qWait(20);
        }
        return true;
    }

    // The node at a path of node texts below the root ("Const/P1     = 12.345"), or null.
    QTreeWidgetItem* NodeAt(const QStringList& path) const
    {
        QTreeWidgetItem* node = tree->Root();
        for (const QString& segment : path) {
            if (node == nullptr)
                return nullptr;
            QTreeWidgetItem* next = nullptr;
            for (int i = 0; i < node->childCount(); ++i)
                if (node->child(i)->text(0) == segment)
                    next = node->child(i);
            node = next;
        }
        return node;
    }

    // The texts of a node's ancestors below the root, the node's own text last.
    static QStringList PathOf(const QTreeWidgetItem* node)
    {
        QStringList path;
        for (; node != nullptr && node->parent() != nullptr; node = node->parent())
            path.prepend(node->text(0));
        return path;
    }

    QTreeWidgetItem* ItemNode(std::uint16_t id) const { return tree->FindNodeById(nullptr, id); }

    // Identifiers asked for by the value requests the simulator received.
    std::set<std::uint16_t> PolledIds() const
    {
        std::set<std::uint16_t> ids;
        for (const auto& f : sim->Requests()) {
            if (f.size() < 7 || f[6] != 0x24)
                continue;
            const std::size_t len = std::size_t(f[4] | (f[5] << 8));
            for (std::size_t i = 0; i + 1 < len && 7 + i + 1 < f.size(); i += 2)
                ids.insert(std::uint16_t(f[7 + i] | (f[8 + i] << 8)));
        }
        return ids;
    }

    // Texts of the constant writes the simulator received (item number, text).
    std::vector<std::pair<std::uint16_t, std::string>> Writes() const
    {
        std::vector<std::pair<std::uint16_t, std::string>> out;
        for (const auto& f : sim->Requests()) {
            if (f.size() < 11 || f[6] != 0x25 || f[7] != 0x01)
                continue;
            const std::size_t len = std::size_t(f[4] | (f[5] << 8));
            std::string text(reinterpret_cast<const char*>(f.data() + 10), len >= 3 ? len - 3 : 0);
            text = text.substr(0, text.find('\0'));
            out.emplace_back(std::uint16_t(f[8] | (f[9] << 8)), text);
        }
        return out;
    }

    // Builds the tree (the device object has read the configuration already).
    void Build() { ASSERT_EQ(tree->BuildTree(), 0); }

    // The colour the widget shows at a point (the widget is rendered first).
    static QColor PixelAt(QWidget* w, QPoint p)
    {
        const QImage img = w->grab().toImage();
        return img.pixelColor(p);
    }
};

} // namespace vx4::treetest
