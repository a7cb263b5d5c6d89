// The File menu's parameter map report in the main window, against the simulator.

#include "mainwindow_fixture.h"

#include "ui/reports/ParameterMapReport.h"

#include <QMenu>
#include <QMenuBar>

namespace vx4::uitest {
namespace {

class ParameterMapReportTest : public MainWindowTest {
protected:
    std::vector<QString> opened;

    void UseTestFiles() {
        const std::string templates = std::string(VX4_BINARY_DIR) + "/Matrix/";
        form->ParameterMap().SetFiles({templates + "карта_параметров_шаблон.dotx", templates + "GIGE_шаблон.dotx",
                                       (dir / "Reports").string() + "/", {}, {}});
        std::filesystem::create_directories(dir / "Reports");
    }
};

TEST_F(ParameterMapReportTest, MenuItemStandsInTheFileMenuAfterTheDownload) {
    CreateForm();
    QMenu* file = form->menuBar()->findChild<QMenu*>("File");
    ASSERT_NE(file, nullptr);
    const auto actions = file->actions();
    const auto n4 = std::find_if(actions.begin(), actions.end(), [](QAction* a) { return a->objectName() == "N4"; });
    ASSERT_NE(n4, actions.end());
    EXPECT_EQ((*n4)->text(), QStringLiteral("Печать карты настр. парам."));
    EXPECT_EQ((*n4)->statusTip(), QStringLiteral("Требуется запуск опроса (F11)"));
    ASSERT_NE(n4, actions.begin());
    EXPECT_EQ((*(n4 - 1))->objectName(), "LoadFromVX4");

    // Before polling has read the configuration there is nothing to print.
    form->ParameterMap().SetOpener([this](const QString& p) { opened.push_back(p); return true; });
    (*n4)->trigger();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_TRUE(boxes[0].contains(QStringLiteral("Требуется запуск опроса (F11)"))) << boxes[0].toStdString();
    EXPECT_TRUE(opened.empty());
}

TEST_F(ParameterMapReportTest, WritesTheMapAndOneTableForEachReadableTransducerThenOpensThem) {
    StartSimulator();
    auto transducers = sim->Transducers();
    ASSERT_EQ(transducers.size(), 3u);
    transducers[1].absent = true; // passed over without a word
    sim->SetTransducers(transducers);
    CreateForm();
    ASSERT_TRUE(StartAndWaitRunning());
    UseTestFiles();
    // The desktop opens the map but nothing opens the graduation tables.
    form->ParameterMap().SetOpener([this](const QString& p) {
        opened.push_back(p);
        return p.contains("_map_");
    });
    boxes.clear();
    form->ParameterMap().MenuItem()->trigger();

    const ReportOutcome& out = form->ParameterMap().LastOutcome();
    EXPECT_EQ(out.error, 0) << out.errorText;
    ASSERT_EQ(out.documents.size(), 3u);
    EXPECT_EQ(out.documents[0].kind, ReportDocument::Map);
    EXPECT_EQ(out.documents[1].transducer, transducers[0].serial);
    EXPECT_EQ(out.documents[2].transducer, transducers[2].serial);
    ASSERT_EQ(opened.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(opened[i].toStdString(), out.documents[i].path);
        EXPECT_TRUE(std::filesystem::exists(out.documents[i].path));
    }
    // One message for each document nothing could open, naming the folder.
    ASSERT_EQ(boxes.size(), 2u);
    for (const QString& b : boxes) {
        EXPECT_TRUE(b.startsWith(QStringLiteral("Невозможно открыть Microsoft Word!"))) << b.toStdString();
        EXPECT_TRUE(b.endsWith(QString::fromStdString((dir / "Reports").string()))) << b.toStdString();
    }
    // Polling went on, and the window's display state is as it was.
    EXPECT_FALSE(form->PollingPaused());
    EXPECT_EQ(form->PollStateValue(), psRunning);
}

TEST_F(ParameterMapReportTest, MissingTemplateIsNamed) {
    StartSimulator();
    CreateForm();
    ASSERT_TRUE(StartAndWaitRunning());
    form->ParameterMap().SetFiles({(dir / "Matrix/карта_параметров_шаблон.dotx").string(), "", dir.string() + "/", {}, {}});
    form->ParameterMap().SetOpener([this](const QString& p) { opened.push_back(p); return true; });
    boxes.clear();
    form->ParameterMap().N4Click();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_TRUE(boxes[0].contains(QStringLiteral("карта_параметров_шаблон.dotx"))) << boxes[0].toStdString();
    EXPECT_TRUE(opened.empty());
}

} // namespace
} // namespace vx4::uitest
