// The chart and table pages under the value editor: collecting values from the tree,
// sampling them at each tick, "Удалить", "Clean", the rebuild of the tree and the export to
// a spreadsheet, with the main window polling the in-process simulator.

#include "mainwindow_fixture.h"
#include "office/xlsx_readback.h"

#include "device/Vx4obj.h"
#include "ui/reports/TableExport.h"
#include "ui/views/ParamEditor.h"
#include "ui/views/PolledValuesChart.h"
#include "ui/views/PolledValuesModel.h"
#include "ui/views/PolledValuesPages.h"

#include <QAction>
#include <QDateTimeAxis>
#include <QDropEvent>
#include <QLineSeries>
#include <QListWidget>
#include <QMimeData>
#include <QRegularExpression>
#include <QTableView>
#include <QTimeZone>
#include <QFileInfo>

#include <fstream>

namespace vx4::uitest {
namespace {

class ValuesPagesTest : public MainWindowTest {
protected:
    void SetUp() override {
        MainWindowTest::SetUp();
        StartSimulator();
        CreateForm();
        ASSERT_TRUE(StartAndWaitRunning());
    }
    void TearDown() override {
        SetWorkbookOpener({});
        MainWindowTest::TearDown();
    }

    TPolledValuesPages& Pages() { return form->Values(); }
    TPolledValuesModel& Model() { return Pages().TableModel(); }
    TPolledValuesChart& Chart() { return Pages().Chart(); }
    QListWidget& List() { return Pages().List(); }

    QTreeWidgetItem* Node(const std::string& name) {
        const std::uint16_t id = ItemNamed(name);
        return id == 0 ? nullptr : form->Tree().FindNodeById(nullptr, id);
    }
    // What the tree hands over when the node is dragged (the node is selected first).
    std::unique_ptr<QMimeData> DragOf(QTreeWidgetItem* node) {
        ConfigTree& tree = form->Tree();
        tree.setCurrentItem(node);
        return std::unique_ptr<QMimeData>(tree.model()->mimeData({tree.indexFromItem(node)}));
    }
    bool Drop(const std::string& name, QWidget* target = nullptr, QPoint pos = {-1, -1}) {
        QTreeWidgetItem* node = Node(name);
        if (node == nullptr) return false;
        auto mime = DragOf(node);
        return Pages().DragDrop(&form->Tree(), mime.get(), target ? target : &List(), pos);
    }
    // One tick in psRunning: the values are refreshed and every listed value sampled.
    void Tick() { form->Polling().Timer1Timer(); }
    // Pins a value in the device and ticks until the device object has read it.
    void Pin(const std::string& name, float value) {
        const std::uint16_t id = ItemNamed(name);
        sim->SetCalcValue(id, value, 0);
        form->Device().SetItemPolled(id, true);
        ASSERT_TRUE(TickUntil([&] { return form->Device().GetItemValue(id).value == value; }, 10000)) << name;
    }
    QStringList Headers() {
        QStringList h;
        for (int c = 0; c < Model().columnCount(); ++c) h << Model().headerData(c, Qt::Horizontal).toString();
        return h;
    }
    QStringList Captions() {
        QStringList l;
        for (int i = 0; i < List().count(); ++i) l << List().item(i)->text();
        return l;
    }
    QStringList SeriesNames() {
        QStringList s;
        for (int i = 0; i < Chart().SeriesCount(); ++i) s << Chart().SeriesAt(i)->name();
        return s;
    }
};

TEST_F(ValuesPagesTest, FirstDropSetsUpTheTitleRowTheEntryAndItsSeries) {
    EXPECT_FALSE(Pages().ExcelButton().isEnabled());
    ASSERT_TRUE(Drop("T1"));
    EXPECT_EQ(Headers(), QStringList({"Дата Время", "1T1"}));
    EXPECT_EQ(Model().DataRows(), 1); // one empty data row
    EXPECT_EQ(Model().SampleRows(), 0u);
    EXPECT_EQ(Model().CellText(0, 0), QString());
    ASSERT_EQ(List().count(), 1);
    EXPECT_EQ(List().item(0)->text(), "1T1");
    EXPECT_EQ(List().item(0)->checkState(), Qt::Checked);
    ASSERT_EQ(SeriesNames(), QStringList({"1T1"}));
    EXPECT_TRUE(Chart().SeriesAt(0)->isVisible());
    EXPECT_TRUE(Pages().ExcelButton().isEnabled());
}

TEST_F(ValuesPagesTest, RefusedDropsChangeNothing) {
    ASSERT_TRUE(Drop("T1"));
    ConfigTree& tree = form->Tree();
    auto mime = DragOf(Node("T2"));
    // Not from the tree (another program, or no source at all), or onto the tree itself.
    EXPECT_FALSE(Pages().DragDrop(nullptr, mime.get(), &List(), {-1, -1}));
    EXPECT_FALSE(Pages().DragDrop(&List(), mime.get(), &List(), {-1, -1}));
    EXPECT_FALSE(Pages().DragDrop(&tree, mime.get(), &tree, {-1, -1}));
    // A real drop event from outside the program goes through the same check.
    QDropEvent outside(QPointF(5, 5), Qt::CopyAction, mime.get(), Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(List().viewport(), &outside);
    EXPECT_FALSE(outside.isAccepted());
    // A constant or an event: the tree hands nothing over for them; a payload naming one
    // while it is selected is refused too.
    for (const char* name : {"Kt", "E1"}) {
        QTreeWidgetItem* node = nullptr;
        const std::uint32_t n = form->Device().GetDeviceInfo().itemCount;
        for (std::uint32_t i = 1; i <= n && node == nullptr; ++i) {
            const SNodeInfo info = form->Device().GetNodeInfo(std::uint16_t(i));
            if ((name[0] == 'K' && info.kind == ITEM_CONST) || (name[0] == 'E' && info.kind == ITEM_EVENT))
                node = tree.FindNodeById(nullptr, info.id);
        }
        ASSERT_NE(node, nullptr) << name;
        EXPECT_EQ(DragOf(node), nullptr) << name;
        QMimeData forged;
        forged.setData(ConfigTree::CalcMimeType,
                       (QString::number(ConfigTree::DataOf(node)->itemId) + "\n9X").toUtf8());
        tree.setCurrentItem(node);
        EXPECT_FALSE(Pages().DragOver(&tree, &forged, &List())) << name;
        EXPECT_FALSE(Pages().DragDrop(&tree, &forged, &Pages().Table(), {-1, -1})) << name;
    }
    // Other data, and a value already listed.
    QMimeData text;
    text.setText("1T2");
    EXPECT_FALSE(Pages().DragDrop(&tree, &text, &List(), {-1, -1}));
    EXPECT_FALSE(Drop("T1"));
    EXPECT_FALSE(Drop("T1", &Pages().Table()));

    EXPECT_EQ(Captions(), QStringList({"1T1"}));
    EXPECT_EQ(Headers(), QStringList({"Дата Время", "1T1"}));
    EXPECT_EQ(SeriesNames(), QStringList({"1T1"}));
}

// A drop inserts the entry, its column and its series at the same position; each tick
// samples every value into its own column and series.
TEST_F(ValuesPagesTest, EntriesColumnsAndSeriesStayInStep) {
    Pin("G1", 1.5f);
    Pin("T1", 12.3f);
    Pin("T2", -7.25f);
    ASSERT_TRUE(Drop("T1"));
    ASSERT_TRUE(Drop("G1", &List(), List().visualItemRect(List().item(0)).center())); // before 1T1
    QTableView& table = Pages().Table();
    table.resize(600, 200);
    const int t1Column = table.columnViewportPosition(2) + 3;
    ASSERT_TRUE(Drop("T2", &table, QPoint(t1Column, 5))); // before 1T1's column
    EXPECT_EQ(Captions(), QStringList({"1G1", "1T2", "1T1"}));
    EXPECT_EQ(Headers(), QStringList({"Дата Время", "1G1", "1T2", "1T1"}));
    EXPECT_EQ(SeriesNames(), QStringList({"1G1", "1T2", "1T1"}));

    Tick();
    ASSERT_EQ(Model().SampleRows(), 1u);
    // 12.3 as a 32-bit float, widened: the table shows every digit of it.
    EXPECT_EQ(Model().CellText(0, 1), "1.5");
    EXPECT_EQ(Model().CellText(0, 2), "-7.25");
    EXPECT_EQ(Model().CellText(0, 3), "12.3000001907349");
    EXPECT_EQ(Chart().SeriesAt(2)->at(0).y(), double(12.3f));
    EXPECT_EQ(Chart().SeriesAt(1)->at(0).y(), -7.25);
    // The value editor shows the same value as 12.3.
    form->Tree().setCurrentItem(Node("T1"));
    EXPECT_EQ(form->Editor().Value("Значение"), "12.3");

    // The date and time of the sample in the locale's short date and long time.
    qint64 t = 0;
    ASSERT_TRUE(Model().SampleTime(0, &t));
    const QString stamp = Model().CellText(0, 0);
    EXPECT_EQ(stamp, Model().Texts().DateTimeText(t));
    EXPECT_TRUE(stamp.contains(QDateTime::fromMSecsSinceEpoch(t, QTimeZone::utc()).toString("HH:mm:ss"))) << qPrintable(stamp);
}

TEST_F(ValuesPagesTest, HundredAndOneTicks) {
    ASSERT_TRUE(Drop("T1"));
    Tick();
    ASSERT_EQ(Chart().SeriesAt(0)->count(), 1);
    const double firstX = Chart().SeriesAt(0)->at(0).x();
    for (int i = 1; i < 100; ++i) Tick();
    EXPECT_EQ(Chart().SeriesAt(0)->count(), 100);
    EXPECT_EQ(Chart().SeriesAt(0)->at(0).x(), firstX);
    Tick(); // the 101st: the oldest point goes
    EXPECT_EQ(Chart().SeriesAt(0)->count(), 100);
    EXPECT_GT(Chart().SeriesAt(0)->at(0).x(), firstX);
    // The table keeps everything: 101 samples and the empty last row.
    EXPECT_EQ(Model().SampleRows(), 101u);
    EXPECT_EQ(Model().DataRows(), 102);
    EXPECT_FALSE(Model().CellText(100, 1).isEmpty());
    EXPECT_TRUE(Model().CellText(101, 0).isEmpty());
    EXPECT_TRUE(Model().CellText(101, 1).isEmpty());
}

TEST_F(ValuesPagesTest, UncheckedLineKeepsSampling) {
    ASSERT_TRUE(Drop("T1"));
    ASSERT_TRUE(Drop("T2"));
    Tick();
    QLineSeries* series = Chart().SeriesAt(0);
    List().item(0)->setCheckState(Qt::Unchecked);
    EXPECT_FALSE(series->isVisible());
    EXPECT_TRUE(Chart().SeriesAt(1)->isVisible());
    for (int i = 0; i < 3; ++i) Tick();
    EXPECT_EQ(series->count(), 4); // sampled while hidden
    EXPECT_EQ(Model().SampleRows(), 4u);
    List().item(0)->setCheckState(Qt::Checked);
    EXPECT_EQ(Chart().SeriesAt(0), series); // the same series, with its points
    EXPECT_TRUE(series->isVisible());
    EXPECT_EQ(series->count(), 4);
    EXPECT_EQ(Chart().SeriesCount(), 2);
}

TEST_F(ValuesPagesTest, CleanKeepsTheOldestSampleAndDeleteOfTheOnlyEntryLeavesTheTitleRow) {
    Pin("T1", 1.25f);
    ASSERT_TRUE(Drop("T1"));
    for (int i = 0; i < 50; ++i) Tick();
    ASSERT_EQ(Model().SampleRows(), 50u);
    const QString oldest = Model().CellText(0, 0) + "|" + Model().CellText(0, 1);
    Pages().CleanButton().trigger();
    EXPECT_EQ(Model().DataRows(), 1);
    EXPECT_EQ(Model().CellText(0, 0) + "|" + Model().CellText(0, 1), oldest);
    // The device's value changes (read by the device object's worker, no tick meanwhile).
    const std::uint16_t id = ItemNamed("T1");
    sim->SetCalcValue(id, 3.5f, 0);
    for (int waited = 0; form->Device().GetItemValue(id).value != 3.5f && waited < 10000; waited += 20) QTest::qWait(20);
    ASSERT_EQ(form->Device().GetItemValue(id).value, 3.5f);
    Tick(); // the next sample is written over it
    EXPECT_EQ(Model().DataRows(), 2);
    EXPECT_EQ(Model().SampleRows(), 1u);
    EXPECT_EQ(Model().CellText(0, 1), "3.5");
    EXPECT_EQ(Chart().SeriesAt(0)->count(), 51); // the chart is not cleaned

    // "Удалить" does nothing without a selected entry, then removes the only one.
    List().clearSelection();
    Pages().DeleteItem().trigger();
    EXPECT_EQ(List().count(), 1);
    List().setCurrentRow(0);
    Pages().DeleteItem().trigger();
    EXPECT_EQ(List().count(), 0);
    EXPECT_EQ(Chart().SeriesCount(), 0);
    EXPECT_EQ(Headers(), QStringList({"Дата Время"}));
    EXPECT_EQ(Model().DataRows(), 0);
    EXPECT_FALSE(Pages().ExcelButton().isEnabled());
    Tick(); // nothing listed: nothing sampled
    EXPECT_EQ(Model().DataRows(), 0);
}

// Zoomed in, the axes stay where the user put them while samples come in; going back
// fits them to the points again.
TEST_F(ValuesPagesTest, ZoomHoldsTheAxesUntilReset) {
    ASSERT_TRUE(Drop("T1"));
    Chart().resize(500, 300);
    for (int i = 0; i < 5; ++i) Tick();
    const QRectF area = Chart().chart()->plotArea();
    Chart().ZoomAt(area.center(), 2.0);
    ASSERT_TRUE(Chart().IsZoomed());
    const QDateTime zoomedMax = Chart().AxisX()->max();
    QTest::qWait(1100);
    Tick();
    EXPECT_EQ(Chart().AxisX()->max(), zoomedMax);
    QTest::mouseClick(Chart().viewport(), Qt::RightButton, {}, area.center().toPoint());
    EXPECT_FALSE(Chart().IsZoomed());
    const QLineSeries* s = Chart().SeriesAt(0);
    EXPECT_EQ(Chart().AxisX()->max().toMSecsSinceEpoch(), qint64(s->at(s->count() - 1).x()));
}

TEST_F(ValuesPagesTest, RebuildingTheTreeClearsListChartAndTable) {
    ASSERT_TRUE(Drop("T1"));
    ASSERT_TRUE(Drop("G1"));
    for (int i = 0; i < 3; ++i) Tick();
    ASSERT_EQ(form->Tree().BuildTree(), 0);
    EXPECT_EQ(List().count(), 0);
    EXPECT_EQ(Chart().SeriesCount(), 0);
    EXPECT_EQ(Model().columnCount(), 1);
    EXPECT_EQ(Model().DataRows(), 0);
    // Values can be collected again from the new tree.
    ASSERT_TRUE(Drop("T1"));
    Tick();
    EXPECT_EQ(Model().SampleRows(), 1u);
}

// The export writes VX-4_<serial>_<time>.xlsx into the user's folder and opens it; the
// workbook read back with LibreOffice holds the table.
TEST_F(ValuesPagesTest, ExportWritesTheTableAndOpensIt) {
    Model().SetTexts(SampleTexts::FromLocale(QLocale(QLocale::Russian, QLocale::Russia), ','));
    Pin("T1", 12.3f);
    ASSERT_TRUE(Drop("T1"));
    ASSERT_TRUE(Drop("G1"));
    ASSERT_TRUE(Drop("T2"));
    for (int i = 0; i < 3; ++i) Tick();
    EXPECT_EQ(Model().CellText(0, 1), "12,3000001907349");

    const std::filesystem::path out = dir / "export";
    std::filesystem::create_directories(out);
    Pages().SetExportFolder(QString::fromStdString(out.string()));
    std::vector<QString> opened;
    SetWorkbookOpener([&](const QString& path) {
        opened.push_back(path);
        return true;
    });
    Pages().ExcelButton().trigger();
    EXPECT_TRUE(boxes.empty()) << qPrintable(boxes.empty() ? QString() : boxes[0]);
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0], Pages().LastExport());
    const std::uint32_t serial = form->Device().GetDeviceInfo().ident.serial;
    const QString name = QFileInfo(opened[0]).fileName();
    EXPECT_TRUE(QRegularExpression(QString("^VX-4_%1_\\d{8}-\\d{6}\\.xlsx$").arg(serial)).match(name).hasMatch())
        << qPrintable(name);

    const auto sheets = xlsxtest::ReadWithLibreOffice(opened[0].toStdString());
    ASSERT_EQ(sheets.size(), 1u);
    EXPECT_EQ(sheets.begin()->first, "VX-4_" + std::to_string(serial));
    xlsxtest::CsvRows expected = {{{"Дата Время", true}, {"1T1", true}, {"1G1", true}, {"1T2", true}}};
    for (int r = 0; r < 3; ++r) {
        qint64 t = 0;
        ASSERT_TRUE(Model().SampleTime(std::size_t(r), &t));
        std::vector<xlsxtest::CsvCell> row = {
            {QDateTime::fromMSecsSinceEpoch(t, QTimeZone::utc()).toString("dd.MM.yy HH:mm:ss").toStdString(), false}};
        for (int c = 1; c <= 3; ++c) row.push_back({Model().CellText(r, c).replace(',', '.').toStdString(), false});
        expected.push_back(row);
    }
    xlsxtest::ExpectSameRows(sheets.begin()->second, expected); // the empty last row is not in the CSV

    // A second export in the same second gets a name of its own.
    Pages().ExcelButton().trigger();
    ASSERT_EQ(opened.size(), 2u);
    EXPECT_NE(opened[1], opened[0]);
}

TEST_F(ValuesPagesTest, ExportFailuresAreReportedWithThePath) {
    ASSERT_TRUE(Drop("T1"));
    Tick();
    const std::filesystem::path out = dir / "export";
    std::filesystem::create_directories(out);
    Pages().SetExportFolder(QString::fromStdString(out.string()));

    // No application opens the workbook: the message names the file, which stays.
    SetWorkbookOpener([](const QString&) { return false; });
    Pages().ExcelButton().trigger();
    ASSERT_EQ(boxes.size(), 1u);
    const QString written = Pages().LastExport();
    EXPECT_TRUE(boxes[0].startsWith(QString::fromUtf8(ExcelOpenFailedText))) << qPrintable(boxes[0]);
    EXPECT_TRUE(boxes[0].endsWith("\r\n" + written)) << qPrintable(boxes[0]);
    EXPECT_TRUE(QFileInfo::exists(written));

    // The workbook cannot be written: the transfer message, and no file.
    boxes.clear();
    const std::filesystem::path notAFolder = dir / "plain-file";
    std::ofstream(notAFolder) << "x";
    Pages().SetExportFolder(QString::fromStdString(notAFolder.string()));
    bool openedAny = false;
    SetWorkbookOpener([&](const QString&) { return openedAny = true; });
    Pages().ExcelButton().trigger();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_TRUE(boxes[0].startsWith(QString::fromUtf8(ExcelTransferFailedText))) << qPrintable(boxes[0]);
    EXPECT_TRUE(boxes[0].contains(QString::fromStdString(notAFolder.string()))) << qPrintable(boxes[0]);
    EXPECT_TRUE(Pages().LastExport().isEmpty());
    EXPECT_FALSE(openedAny);
    EXPECT_TRUE(std::filesystem::is_regular_file(notAFolder));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(out), std::filesystem::directory_iterator()), 1);
}

} // namespace
} // namespace vx4::uitest
