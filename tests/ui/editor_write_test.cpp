// The value editor: its panels, and constants edited in it reaching the simulated device as
// the text the device expects (typed and Enter, typed and left, picked from a drop-down),
// refused writes, and the keys that must not change a pick-list row.

#include "tree_fixture.h"

#include <QComboBox>
#include <QLayout>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QScreen>
#include <QStyleFactory>
#include <QToolTip>

namespace vx4::treetest {
namespace {

class EditorTest : public TreeFixture {
protected:
    void SetUp() override
    {
        TreeFixture::SetUp();
        if (HasFatalFailure())
            return;
        Build();
        QObject::connect(editor, &ParamEditor::writeErrorOccurred, [this](int code) { errors.push_back(code); });
    }

    // Selects the item's node, making it visible first (as a user would reach it).
    void Select(std::uint16_t id)
    {
        QTreeWidgetItem* node = ItemNode(id);
        ASSERT_NE(node, nullptr);
        tree->scrollToItem(node);
        tree->setCurrentItem(node);
        ASSERT_EQ(tree->LastNode(), node);
    }

    // Opens the cell editor on a row's value and returns the line edit (null for a drop-down).
    // Opens the cell editor on a row's value (moving onto the cell opens it) and returns it.
    template <class W>
    W* OpenEditor(int row)
    {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); // closed editors
        editor->setFocus();
        editor->setCurrentCell(row, 1);
        if (!editor->IsCellEditorOpen())
            editor->editItem(editor->item(row, 1));
        QCoreApplication::processEvents();
        for (W* w : editor->viewport()->findChildren<W*>())
            if (w->isVisible())
                return w;
        return nullptr;
    }
    QLineEdit* OpenLineEditor(int row) { return OpenEditor<QLineEdit>(row); }
    QComboBox* OpenComboEditor(int row) { return OpenEditor<QComboBox>(row); }

    void TypeAndEnter(int row, const QString& text)
    {
        QLineEdit* line = OpenLineEditor(row);
        ASSERT_NE(line, nullptr);
        line->selectAll();
        QTest::keyClicks(line, text);
        QTest::keyClick(line, Qt::Key_Return);
        QCoreApplication::processEvents();
    }

    std::vector<int> errors;
};

TEST_F(EditorTest, TypedValueIsSentInTheDevicesShape)
{
    struct Case {
        std::uint16_t id;
        QString typed;
        const char* sent;  // null: nothing is written
        QString shownAfter;
    };
    const std::vector<Case> cases = {
        {kP1, "15.5", "1.550E+01", "15.5"},  // float printed with 3 decimals
        {kN1, "7", "007", "7"},              // integer printed 3 wide
        {kK, "12", nullptr, "12"},           // formatted text equals the device's: no write
        {kP1, "abc", nullptr, "abc"},        // not a number: no write, the cell keeps the text
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.typed.toStdString());
        Select(c.id);
        ASSERT_EQ(editor->rowCount(), 1);
        sim->ClearRequests();
        TypeAndEnter(0, c.typed);
        const auto writes = Writes();
        if (c.sent == nullptr) {
            EXPECT_TRUE(writes.empty());
        } else {
            ASSERT_EQ(writes.size(), 1u);
            EXPECT_EQ(writes[0].first, c.id);
            EXPECT_EQ(writes[0].second, c.sent);
        }
        EXPECT_EQ(editor->ValueAt(0), c.shownAfter);
        EXPECT_TRUE(errors.empty());
    }
    EXPECT_FLOAT_EQ(*sim->ConstValue(kP1), 15.5f);
    EXPECT_FLOAT_EQ(*sim->ConstValue(kN1), 7.0f);
    // The tree label follows a successful write; the user's own write is no configuration change.
    EXPECT_EQ(ItemNode(kP1)->text(0), "P1     = 15.5");
    EXPECT_EQ(ItemNode(kN1)->text(0), "N1     = 7");
    EXPECT_EQ(tree->CheckConfiguration(), 0);
    EXPECT_EQ(editor->WriteError(), 0);
}

TEST_F(EditorTest, LeavingAnEditedCellWritesIt)
{
    Select(kN1);
    sim->ClearRequests();
    QLineEdit* line = OpenLineEditor(0);
    ASSERT_NE(line, nullptr);
    line->selectAll();
    QTest::keyClicks(line, "42");
    editor->setCurrentCell(0, 0);  // leave the value cell
    QCoreApplication::processEvents();
    const auto writes = Writes();
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].second, "042");
    EXPECT_FLOAT_EQ(*sim->ConstValue(kN1), 42.0f);

    // Opening and leaving a cell without changing it writes nothing.
    sim->ClearRequests();
    ASSERT_NE(OpenLineEditor(0), nullptr);
    editor->setCurrentCell(0, 0);
    QCoreApplication::processEvents();
    EXPECT_TRUE(Writes().empty());
}

TEST_F(EditorTest, RefusedWriteRestoresTheCellAndIsReportedOnce)
{
    Select(kP1);
    ASSERT_EQ(editor->KeyAt(0), QStringLiteral("P1 (Давление)"));
    ASSERT_EQ(editor->ValueAt(0), "12.345");
    TypeAndEnter(0, "500");  // outside the device's range
    ASSERT_EQ(Writes().size(), 1u);
    EXPECT_EQ(errors, std::vector<int>{253});
    EXPECT_EQ(editor->ValueAt(0), "12.345");
    EXPECT_EQ(editor->EditSavedText(), "12.345");
    EXPECT_EQ(editor->EditRow(), 1);
    EXPECT_EQ(ItemNode(kP1)->text(0), "P1     = 12.345");
    EXPECT_FLOAT_EQ(*sim->ConstValue(kP1), 12.345f);
    EXPECT_EQ(editor->TakeWriteError(), 253);
    EXPECT_EQ(editor->TakeWriteError(), 0);
}

TEST_F(EditorTest, PickListRowShowsLabelsAndWritesTheOptionValue)
{
    NodeAt({"Система №2 Котельная"})->setExpanded(true);
    Select(kSW);
    ASSERT_EQ(editor->rowCount(), 1);
    EXPECT_EQ(editor->KeyAt(0), QStringLiteral("SW (Режим)"));
    EXPECT_EQ(editor->ValueAt(0), QStringLiteral("Вкл"));
    EXPECT_EQ(editor->PickList(0), (QStringList{"Выкл", "Вкл"}));

    // Typing, Enter and the wheel do nothing in a pick-list row.
    sim->ClearRequests();
    QComboBox* combo = OpenComboEditor(0);
    ASSERT_NE(combo, nullptr);
    EXPECT_EQ(combo->currentText(), QStringLiteral("Вкл"));
    QTest::keyClicks(combo, "abc");
    QTest::keyClick(combo, Qt::Key_Return);
    QTest::keyClick(editor, Qt::Key_Return);
    QCoreApplication::processEvents();
    EXPECT_TRUE(Writes().empty());
    EXPECT_EQ(editor->ValueAt(0), QStringLiteral("Вкл"));

    // Picking "Выкл" sends the option's value as the bank writes it.
    combo = OpenComboEditor(0);
    ASSERT_NE(combo, nullptr);
    combo->setCurrentIndex(0);
    emit combo->activated(0);
    QCoreApplication::processEvents();
    const auto writes = Writes();
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].first, kSW);
    EXPECT_EQ(writes[0].second, "0");
    EXPECT_FLOAT_EQ(*sim->ConstValue(kSW), 0.0f);
    EXPECT_EQ(editor->ValueAt(0), QStringLiteral("Выкл"));
    EXPECT_EQ(ItemNode(kSW)->text(0), QStringLiteral("SW     = Выкл"));
}

TEST_F(EditorTest, FocusGoingToTheMenusOrAnotherWindowKeepsTheEditOpen)
{
    auto* bar = new QMenuBar(host.get());
    // A style whose menu bar takes the focus on Alt and after Escape out of its menu, as the
    // desktop styles do.
    static QStyle* const altNavigation = QStyleFactory::create(QStringLiteral("Windows"));
    ASSERT_NE(altNavigation, nullptr);
    bar->setStyle(altNavigation);
    QMenu* help = bar->addMenu(QStringLiteral("Помощь"));
    help->addAction(QStringLiteral("О программе"));
    host->layout()->setMenuBar(bar);
    host->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(host.get()));

    struct Way {
        const char* name;
        // Takes the focus away from the open cell editor and gives it back as the user does.
        std::function<void(QLineEdit*)> awayAndBack;
    };
    QWidget other; // another window
    QLineEdit otherField(&other);
    const std::vector<Way> ways = {
        {"Alt on its own: the menu bar", [&](QLineEdit* line) {
             QTest::keyClick(line, Qt::Key_Alt);
             ASSERT_EQ(QApplication::focusWidget(), bar);
             QTest::keyClick(bar, Qt::Key_Escape); // the menu bar hands the focus back
         }},
        {"a menu opened with the mouse and closed with Escape", [&](QLineEdit*) {
             QTest::mouseClick(bar, Qt::LeftButton, {}, bar->actionGeometry(help->menuAction()).center());
             ASSERT_TRUE(WaitFor([&] { return QApplication::activePopupWidget() == help; }, 3000));
             QTest::keyClick(help, Qt::Key_Escape); // back to the menu bar
             ASSERT_TRUE(WaitFor([&] { return QApplication::activePopupWidget() == nullptr; }, 3000));
             if (QApplication::focusWidget() == bar)
                 QTest::keyClick(bar, Qt::Key_Escape);
         }},
        {"a tooltip", [&](QLineEdit* line) {
             QToolTip::showText(line->mapToGlobal(QPoint(2, 2)), QStringLiteral("подсказка"), line);
             QCoreApplication::processEvents();
             QToolTip::hideText();
         }},
        {"another window", [&](QLineEdit* line) {
             other.show();
             other.activateWindow();
             otherField.setFocus();
             ASSERT_TRUE(WaitFor([&] { return QApplication::focusWidget() == &otherField; }, 3000));
             other.hide();
             host->activateWindow();
             line->setFocus();
         }},
    };
    Select(kN1);
    // Opens the value cell and types text over its value.
    auto typeInCell = [this](const char* text) {
        sim->ClearRequests();
        QLineEdit* line = OpenLineEditor(0);
        if (line != nullptr) {
            line->setFocus();
            line->selectAll();
            QTest::keyClicks(line, text);
        }
        return line;
    };
    for (std::size_t i = 0; i < ways.size(); ++i) {
        const Way& way = ways[i];
        SCOPED_TRACE(way.name);
        // A value of its own for each way, so that a write would be seen each time.
        const std::string typed = std::to_string(60 + i);
        QLineEdit* line = typeInCell(typed.c_str());
        ASSERT_NE(line, nullptr);
        way.awayAndBack(line);
        QCoreApplication::processEvents();
        EXPECT_TRUE(Writes().empty());
        EXPECT_TRUE(editor->IsCellEditorOpen());
        if (!editor->IsCellEditorOpen())
            continue; // the next way starts with a value written back
        EXPECT_EQ(line->text().toStdString(), typed);
        // Escape in the cell drops the edit.
        QTest::keyClick(line, Qt::Key_Escape);
        QCoreApplication::processEvents();
        EXPECT_FALSE(editor->IsCellEditorOpen());
        EXPECT_EQ(editor->ValueAt(0), "5");
        EXPECT_TRUE(Writes().empty());
    }

    // From the menu bar straight to another widget of the window: the grid is left, the
    // value written. Back from another window, Enter writes.
    QLineEdit* line = typeInCell("42");
    ASSERT_NE(line, nullptr);
    bar->setFocus(Qt::MenuBarFocusReason);
    EXPECT_TRUE(Writes().empty());
    tree->setFocus(Qt::MouseFocusReason);
    QCoreApplication::processEvents();
    auto writes = Writes();
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].second, "042");

    line = typeInCell("4");
    ASSERT_NE(line, nullptr);
    ways.back().awayAndBack(line); // another window
    EXPECT_TRUE(Writes().empty());
    QTest::keyClicks(line, "3");
    QTest::keyClick(line, Qt::Key_Return);
    QCoreApplication::processEvents();
    writes = Writes();
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].second, "043");
}

TEST_F(EditorTest, ArrowKeysLeaveADropDownAndEscapeDropsAnEdit)
{
    QTreeWidgetItem* sys2 = NodeAt({"Система №2 Котельная"});
    sys2->setExpanded(true);
    QTreeWidgetItem* group = NodeAt({"Система №2 Котельная", "Const"});
    group->setExpanded(true);
    ASSERT_EQ(editor->rowCount(), 2);  // SW (pick list), K
    sim->ClearRequests();

    QComboBox* combo = OpenComboEditor(0);
    ASSERT_NE(combo, nullptr);
    QTest::keyClick(combo, Qt::Key_Down);  // moves to the next row, does not pick
    QCoreApplication::processEvents();
    EXPECT_EQ(editor->currentRow(), 1);
    EXPECT_EQ(editor->ValueAt(0), QStringLiteral("Вкл"));
    QTest::keyClick(editor, Qt::Key_Up);
    EXPECT_EQ(editor->currentRow(), 0);

    QLineEdit* line = OpenLineEditor(1);
    ASSERT_NE(line, nullptr);
    line->selectAll();
    QTest::keyClicks(line, "77");
    QTest::keyClick(line, Qt::Key_Escape);
    QCoreApplication::processEvents();
    EXPECT_EQ(editor->ValueAt(1), "12");
    EXPECT_TRUE(Writes().empty());
}

TEST_F(EditorTest, ConstantsGroupShowsRowsOnlyWhenExpanded)
{
    QTreeWidgetItem* group = NodeAt({"Const"});
    int shown = 0, moved = 0;
    QObject::connect(editor, &ParamEditor::progressShown, [&](bool on) { shown += on ? 1 : 0; });
    QObject::connect(editor, &ParamEditor::progressChanged, [&](float) { ++moved; });
    tree->setCurrentItem(group);
    EXPECT_EQ(editor->rowCount(), 0);
    EXPECT_TRUE(editor->Editing());

    group->setExpanded(true);
    ASSERT_EQ(editor->rowCount(), 3);
    EXPECT_EQ(editor->KeyAt(0), QStringLiteral("P1 (Давление)"));
    EXPECT_EQ(editor->ValueAt(0), "12.345");
    EXPECT_EQ(editor->KeyAt(1), "N1");
    EXPECT_EQ(editor->ValueAt(1), "5");
    EXPECT_EQ(editor->KeyAt(2), "dev3");
    EXPECT_EQ(shown, 1);
    EXPECT_EQ(moved, 3);
    EXPECT_FALSE(pollingPaused);  // restored after the build

    for (int row = 0; row < 3; ++row)
        EXPECT_EQ(editor->ConstIdOfRow(group, row), int(kP1 + row));
    EXPECT_EQ(editor->ConstIdOfRow(group, 3), -1);

    // A write from the group's second row goes to that constant.
    sim->ClearRequests();
    TypeAndEnter(1, "9");
    ASSERT_EQ(Writes().size(), 1u);
    EXPECT_EQ(Writes()[0], (std::pair<std::uint16_t, std::string>{kN1, "009"}));
}

TEST_F(EditorTest, TwoConstantsWithOneKeyShareARowThatWritesTheShownOne)
{
    QTreeWidgetItem* sys1 = NodeAt({"Система №1 ЦТП"});
    sys1->setExpanded(true);
    QTreeWidgetItem* group = NodeAt({"Система №1 ЦТП", "Const"});
    ASSERT_NE(group, nullptr);
    group->setExpanded(true);
    ASSERT_EQ(editor->rowCount(), 1);
    EXPECT_EQ(editor->ValueAt(0), "2");  // the second D replaced the first's value
    EXPECT_EQ(editor->ConstIdOfRow(group, 0), int(kD2));
    sim->ClearRequests();
    TypeAndEnter(0, "5");
    ASSERT_EQ(Writes().size(), 1u);
    EXPECT_EQ(Writes()[0].first, kD2);
    EXPECT_FLOAT_EQ(*sim->ConstValue(kD1), 1.0f);
}

TEST_F(EditorTest, ReadOnlyPanelsOfEventsAndCalculatedValues)
{
    NodeAt({"Event"})->setExpanded(true);
    NodeAt({"Event", "GEID 5"})->setExpanded(true);
    Select(kEv2);
    EXPECT_FALSE(editor->Editing());
    ASSERT_EQ(editor->rowCount(), 4);
    const QStringList keys{"GroupEventID", "Имя", "Маска", "Код"};
    const QStringList values{"5", "Ev2", "0x00000008", "3"};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(editor->KeyAt(i), keys[i]);
        EXPECT_EQ(editor->ValueAt(i), values[i]);
    }
    EXPECT_EQ(editor->ConstIdOfRow(tree->currentItem(), 0), -1);

    const auto t1 = std::uint16_t(device->GetNodeInfo(kT1).id);
    sim->SetCalcValue(t1, 12.5f, 4);
    NodeAt({"Система №2 Котельная"})->setExpanded(true);
    NodeAt({"Система №2 Котельная", "Calc"})->setExpanded(true);
    ASSERT_TRUE(WaitFor([&] { return device->GetItemValue(t1).status == 4; }, 3000));
    Select(kT1);
    EXPECT_FALSE(editor->Editing());
    const QStringList calcKeys{"ID", "GroupEventID", "Имя", "Значение", "События"};
    const QStringList calcValues{QString::number(t1), "7", "T1", "12.5", "0x00000004 Авария"};
    ASSERT_EQ(editor->rowCount(), 5);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(editor->KeyAt(i), calcKeys[i]);
        EXPECT_EQ(editor->ValueAt(i), calcValues[i]);
    }
    EXPECT_EQ(editor->ConstIdOfRow(tree->currentItem(), 0), -1);
    sim->ClearRequests();
    editor->setCurrentCell(3, 1);
    QTest::keyClick(editor, Qt::Key_Return);
    EXPECT_TRUE(Writes().empty());

    // The root shows the device information (filled by whoever listens).
    int deviceShown = 0;
    QObject::connect(editor, &ParamEditor::deviceNodeShown, [&] { ++deviceShown; editor->SetRow("Серийный номер", "4321"); });
    tree->setCurrentItem(tree->Root());
    EXPECT_EQ(deviceShown, 1);
    EXPECT_EQ(editor->rowCount(), 1);
    EXPECT_FALSE(editor->Editing());
}

TEST_F(EditorTest, AVanishedCalculatedValueAsksForAReload)
{
    NodeAt({"Система №2 Котельная"})->setExpanded(true);
    NodeAt({"Система №2 Котельная", "Calc"})->setExpanded(true);
    Select(kT1);
    pollState = 3;
    editor->ShowNode(ItemNode(kT1));
    EXPECT_EQ(pollState, 3);  // the item is there

    conn->Close();  // the device object forgets the configuration
    ASSERT_TRUE(WaitFor([this] { return device->GetNodeInfo(kT1).kind == 0; }, 3000));
    editor->ShowNode(ItemNode(kT1));
    EXPECT_EQ(pollState, 0);
}

TEST_F(EditorTest, RowsWithFlagsAreRedAndRowsAlternate)
{
    editor->SetEditing(false);
    editor->ClearRows();
    editor->SetRow("A", "1");
    editor->SetRow("B", "2");
    editor->SetRow("C", "12.5 (Температура) F:0x00000004 [Авария]");
    editor->SetRow("A", "3");  // same key: replaced, not appended
    ASSERT_EQ(editor->rowCount(), 3);
    EXPECT_EQ(editor->Value("A"), "3");
    editor->setCurrentCell(-1, -1);
    editor->clearSelection();

    auto colour = [this](int row, int column) {
        const QRect r = editor->visualItemRect(editor->item(row, column));
        return PixelAt(editor->viewport(), QPoint(r.right() - 3, r.center().y()));
    };
    EXPECT_EQ(colour(0, 0), QColor(0, 255, 255));  // grid row 1: odd
    EXPECT_EQ(colour(0, 1), QColor(0, 255, 255));
    EXPECT_EQ(colour(1, 1), editor->palette().color(QPalette::Base));
    EXPECT_EQ(colour(2, 0), QColor(255, 0, 0));  // both columns of a flagged row
    EXPECT_EQ(colour(2, 1), QColor(255, 0, 0));

    // A row gaining and losing its flag: both cells follow on the screen, where only what
    // changed is painted again (no full repaint as above).
    ASSERT_TRUE(QTest::qWaitForWindowExposed(host.get()));
    auto onScreen = [this](int row, int column) {
        const QRect r = editor->visualItemRect(editor->item(row, column));
        const QPoint p = editor->viewport()->mapTo(host.get(), QPoint(r.right() - 3, r.center().y()));
        const QImage shot = host->screen()->grabWindow(host->winId()).toImage();
        return shot.pixelColor(p * shot.devicePixelRatio());
    };
    const QColor base = editor->palette().color(QPalette::Base);
    ASSERT_TRUE(WaitFor([&] { return onScreen(1, 0) == base; }, 3000));
    editor->SetRow("B", "2 F:0x00000001 ");
    EXPECT_TRUE(WaitFor([&] { return onScreen(1, 0) == QColor(255, 0, 0) && onScreen(1, 1) == QColor(255, 0, 0); }, 3000))
        << onScreen(1, 0).name().toStdString();
    editor->SetRow("B", "2");
    EXPECT_TRUE(WaitFor([&] { return onScreen(1, 0) == base && onScreen(1, 1) == base; }, 3000))
        << onScreen(1, 0).name().toStdString();

    // A key wider than the column widens it.
    const int before = editor->columnWidth(0);
    const QString longKey = QStringLiteral("Очень длинное название параметра");
    editor->SetRow(longKey, "x");
    EXPECT_GE(editor->columnWidth(0), editor->fontMetrics().horizontalAdvance(longKey) + 5);
    EXPECT_GT(editor->columnWidth(0), before);
}

} // namespace
} // namespace vx4::treetest
