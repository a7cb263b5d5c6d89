#include "ui/dialogs/Gigeshow.h"

#include "common/DarFile.h"
#include "mainwindow_fixture.h"
#include "platform/FileLocations.h"
#include "ui/dialogs/GiGeTableModel.h"
#include "ui/views/ZoomChartView.h"

#include <QAction>
#include <QLineEdit>
#include <QLineSeries>
#include <QMenu>
#include <QMenuBar>
#include <QTimer>
#include <QValueAxis>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

using namespace vx4;

namespace {

std::string ReadBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

std::size_t RelayRequests(const vx4sim::Simulator& sim)
{
    std::size_t n = 0;
    for (const auto& r : sim.Requests())
        n += r.size() > 6 && r[6] == 0x26;
    return n;
}

TEST(GiGeDeviation, ReferencePairRule)
{
    struct Case {
        const char* what;
        std::vector<GiGePair> pairs;
        std::vector<QPointF> points;
    };
    const Case cases[] = {
        {"one pair: nothing", {{1, 2}}, {}},
        {"the pair of largest |Ge| is the reference", {{1, -2.2f}, {2, -4}, {4, -8}}, {{1, -9.090909}, {2, 0}, {4, 0}}},
        {"Ge 0 left out", {{1, 0}, {2, 4}, {4, 10}}, {{2, -25}, {4, 0}}},
        {"the first of equal |Ge|", {{1, 5}, {2, -5}}, {{1, 0}, {2, -300}}},
        {"reference Gi 0: nothing", {{0, 10}, {1, 2}}, {}},
        {"every Ge 0: nothing", {{1, 0}, {2, 0}}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto points = TGIGEShowForm::DeviationPoints(c.pairs);
        ASSERT_EQ(points.size(), c.points.size());
        for (std::size_t i = 0; i < points.size(); ++i) {
            EXPECT_DOUBLE_EQ(points[i].x(), c.points[i].x());
            EXPECT_NEAR(points[i].y(), c.points[i].y(), 1e-4);
        }
    }
}

class GiGeShowTest : public uitest::MainWindowTest {
protected:
    void SetUp() override
    {
        MainWindowTest::SetUp();
        StartSimulator();
        std::vector<vx4sim::Transducer> t = sim->Transducers(); // the demo's first
        t.push_back({11, {{1.0f, 2.0f}}, false, 0});
        t.push_back({12, {{3.0f, 5.7f}, {1.0f, 0.0f}, {2.0f, 4.0f}}, false, 0});
        t.push_back({14, {{1.0f, 1.0f}}, true, 0});
        t.push_back({1234, {{1.5f, 10.0f}, {-2.25f, 0.001f}}, false, 0});
        sim->SetTransducers(t);
        CreateForm();
        // The device object addresses the device by the number its configuration read found.
        ASSERT_TRUE(StartAndWaitRunning());
    }

    TGIGEShowForm& View() { return form->GIGEShowForm(); }
};

TEST_F(GiGeShowTest, TransducerZeroReadsNothing)
{
    sim->ClearRequests();
    View().Prepare(form->Device(), 0);
    EXPECT_EQ(RelayRequests(*sim), 0u);
    EXPECT_EQ(View().Model().rowCount(), 0);
    EXPECT_EQ(View().Series1().count(), 0);
    EXPECT_EQ(View().Edit_ZFLAddr->text(), "0");
    // The user enters a number and loads.
    View().Edit_ZFLAddr->setText(" 11 ");
    View().LoadFromVXClick();
    EXPECT_GT(RelayRequests(*sim), 0u);
    EXPECT_EQ(View().TransducerNo(), 11);
    EXPECT_EQ(View().Edit_ZFLAddr->text(), "11");
    EXPECT_EQ(View().Model().rowCount(), 1);
    // Text that is no number keeps the previous one.
    View().Edit_ZFLAddr->setText("abc");
    View().LoadFromVXClick();
    EXPECT_EQ(View().TransducerNo(), 11);
    EXPECT_EQ(View().Edit_ZFLAddr->text(), "11");
}

TEST_F(GiGeShowTest, TableAndCharts)
{
    struct Case {
        std::int32_t transducer;
        int rows;
        int points1;
        int points2;
    };
    const Case cases[] = {
        {11, 1, 1, 0}, // one pair: one point, no deviation
        {12, 3, 3, 2}, // the Ge 0 pair is left out of the deviation chart
        {14, 0, 0, 0}, // absent: the read fails silently
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.transducer);
        View().Prepare(form->Device(), c.transducer);
        EXPECT_EQ(View().Model().rowCount(), c.rows);
        EXPECT_EQ(View().Series1().count(), c.points1);
        EXPECT_EQ(View().Series2().count(), c.points2);
    }
    EXPECT_TRUE(boxes.empty());

    View().Prepare(form->Device(), 12);
    const auto& rows = View().Model().Rows();
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].number, "0");
    EXPECT_EQ(rows[0].gi, "1.000000e+00"); // ordered by Gi
    EXPECT_EQ(rows[0].ge, "0.000000e+00");
    EXPECT_EQ(rows[2].number, "2");
    EXPECT_EQ(View().Series1().at(2), QPointF(3.0, double(5.7f)));
}

TEST_F(GiGeShowTest, SaveWritesTheDarFile)
{
    View().Prepare(form->Device(), 1234);
    const std::string path = TGIGEShowForm::SavePath(1234);
    ASSERT_EQ(path, UserFilesDir("Log") + "00001234.dar");
    std::filesystem::remove(path);
    ASSERT_TRUE(View().SaveClick());
    EXPECT_EQ(ReadBytes(path), " \xB9\t       Gi\t       Ge\r\n"
                               " 0\t-2.250000E+00\t 1.000000E-03\r\n"
                               " 1\t 1.500000E+00\t 1.000000E+01");

    // After a failed read only the header line is written.
    View().Edit_ZFLAddr->setText("14");
    View().LoadFromVXClick();
    const std::string header = TGIGEShowForm::SavePath(14);
    std::filesystem::remove(header);
    ASSERT_TRUE(View().SaveClick());
    EXPECT_EQ(ReadBytes(header), " \xB9\t       Gi\t       Ge");
    std::filesystem::remove(path);
    std::filesystem::remove(header);
    EXPECT_TRUE(boxes.empty());
}

TEST_F(GiGeShowTest, UnwritableFileIsReported)
{
    View().Prepare(form->Device(), 11);
    EXPECT_FALSE(View().WriteDar((dir / "no-such-folder" / "x.dar").string()));
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_TRUE(boxes[0].contains("x.dar"));
}

TEST_F(GiGeShowTest, Chart2FollowsChart1Zoom)
{
    View().Prepare(form->Device(), sim->Transducers().front().serial);
    ASSERT_GT(View().Series2().count(), 2);
    View().resize(740, 514);
    View().show();
    QTest::qWait(50);
    const double fullMin = View().Axis2X().min();
    const double fullMax = View().Axis2X().max();
    const QRectF area = View().Chart1().chart()->plotArea();
    View().Chart1().ZoomTo(QRectF(area.left() + area.width() / 4, area.top(), area.width() / 4, area.height()));
    EXPECT_TRUE(View().Chart1().Zoomed());
    EXPECT_DOUBLE_EQ(View().Axis2X().min(), View().Axis1X().min());
    EXPECT_DOUBLE_EQ(View().Axis2X().max(), View().Axis1X().max());
    EXPECT_GT(View().Axis2X().min(), fullMin);
    View().Chart1().ScrollBy(20, 0);
    EXPECT_DOUBLE_EQ(View().Axis2X().min(), View().Axis1X().min());
    View().Chart1().UndoZoom();
    EXPECT_FALSE(View().Chart1().Zoomed());
    EXPECT_DOUBLE_EQ(View().Axis2X().min(), fullMin);
    EXPECT_DOUBLE_EQ(View().Axis2X().max(), fullMax);
    View().hide();
}

TEST_F(GiGeShowTest, OpenedFromTheTreeWithTheTransducerNumber)
{
    QTreeWidgetItem* node = form->Tree().FindNodeById(nullptr, ItemNamed("dev1"));
    ASSERT_NE(node, nullptr);
    form->Tree().setCurrentItem(node);
    ASSERT_EQ(form->Tree().LastNode(), node);
    std::int32_t shown = -1;
    int rows = -1;
    // The pairs are read before the window shows; it is closed once it is shown.
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, &View(), [&] {
        if (!View().isVisible())
            return;
        shown = View().TransducerNo();
        rows = View().Model().rowCount();
        View().reject();
    });
    closer.start(20);
    form->ShowGraduationItem().trigger();
    EXPECT_EQ(shown, std::int32_t(sim->Transducers().front().serial));
    EXPECT_EQ(rows, int(sim->Transducers().front().pairs.size()));
}

TEST(TransducerNumber, FromTheTreeLabel)
{
    const std::pair<const char*, std::int32_t> cases[] = {
        {"dev1   = 5", 5},          {"DEV2 = 1203045", 1203045}, {"dev1 = 12345678", 12345678},
        {"dev3 =   7  ", 7},        {"dev1 = abc", 0},          {"Gmin = 5", 0},
        {"dev1", 0},                {"", 0},                    {"Адрес dev = 3", 3},
    };
    for (const auto& [label, number] : cases)
        EXPECT_EQ(Tvx4pult_MainForm::TransducerNumberOf(QString::fromUtf8(label)), number) << label;
}

TEST_F(GiGeShowTest, MenuItems)
{
    QMenu* file = form->menuBar()->findChild<QMenu*>("File");
    ASSERT_NE(file, nullptr);
    const auto fileItems = file->actions();
    const auto gige = fileItems.indexOf(&form->Read_GiGeItem());
    ASSERT_GE(gige, 0);
    EXPECT_EQ(form->Read_GiGeItem().text(), "Градуировочные коэфициенты (GiGe)");
    EXPECT_LT(gige, fileItems.indexOf(form->findChild<QAction*>("Exit")));
    EXPECT_TRUE(form->Tree().actions().contains(&form->ShowGraduationItem()));
    EXPECT_EQ(form->ShowGraduationItem().text(), "Показать градуировку");

    QMenu* setting = form->menuBar()->findChild<QMenu*>("Setting");
    ASSERT_NE(setting, nullptr);
    EXPECT_EQ(setting->actions().value(0), &form->PortItem());
    EXPECT_EQ(form->PortItem().shortcut(), QKeySequence("Ctrl+P"));
    // Polling runs (SetUp started it): the item is disabled until it stops.
    EXPECT_FALSE(form->PortItem().isEnabled());
    form->StopItem().trigger();
    EXPECT_TRUE(form->PortItem().isEnabled());
}

} // namespace
