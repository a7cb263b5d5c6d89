// Building the configuration tree from a simulated device: where each item ends up, the node
// labels and icons, the summary check, the polling marks that follow expansion, the per-tick
// refresh and the custom colours.

#include "tree_fixture.h"

#include <QMimeData>

namespace vx4::treetest {
namespace {

using TreeBuild = TreeFixture;

TEST_F(TreeBuild, ItemsEndUnderTheirSystemAndKindGroups)
{
    Build();
    const QString sys1 = QStringLiteral("Система №1 ЦТП");
    const QString sys2 = QStringLiteral("Система №2 Котельная");
    struct Expect {
        std::uint16_t id;
        QStringList path;  // from below the root, the item's own label last
        int icon;
    };
    const std::vector<Expect> expected = {
        {kP1, {"Const", "P1     = 12.345"}, iconConst},
        {kN1, {"Const", "N1     = 5"}, iconConst},
        {kDev3, {"Const", "dev3   = 3"}, iconTransducerConst},
        {kSW, {sys2, "Const", "SW     = Вкл"}, iconConst},  // the bank's label for value 1
        {kT1, {sys2, "Calc", "T1"}, iconCalc},
        {kT2, {sys2, "Calc", "T2"}, iconCalc},
        {kEv1, {"Event", "Авария : Mask: 0x00000004, Code: 17"}, iconEvent},
        {kEv2, {"Event", "GEID 5", "Ev2    : Mask: 0x00000008, Code: 3"}, iconEvent},
        {kEv3, {"Event", "Ev3    : Mask: 0x00000010, Code: 4"}, iconEvent},  // group id 1: no GEID node
        {kK, {sys2, "Const", "K      = 12"}, iconConst},
        {kQ1, {sys1, "Calc", "Q1"}, iconCalc},
    };
    for (const Expect& e : expected) {
        QTreeWidgetItem* node = ItemNode(e.id);
        ASSERT_NE(node, nullptr) << "item " << e.id;
        EXPECT_EQ(PathOf(node), e.path) << "item " << e.id;
        EXPECT_EQ(ConfigTree::IconOf(node), e.icon) << "item " << e.id;
    }

    // The root and the groups: each group once, in the order its first item was met; the
    // tree is built by identifier, so system 1 comes with Q1's id 5, before the events.
    QTreeWidgetItem* root = tree->Root();
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->text(0), QStringLiteral("VX4 №4321"));
    EXPECT_EQ(tree->topLevelItemCount(), 1);
    QStringList top;
    for (int i = 0; i < root->childCount(); ++i)
        top << root->child(i)->text(0);
    EXPECT_EQ(top, (QStringList{"Const", sys2, sys1, "Event"}));
    EXPECT_EQ(NodeAt({sys2})->childCount(), 2);  // Const, Calc
    EXPECT_EQ(NodeAt({sys2, "Calc"})->childCount(), 2);
    EXPECT_EQ(NodeAt({sys2, "Const"})->childCount(), 2);
    EXPECT_EQ(NodeAt({"Event"})->childCount(), 3);  // Авария, GEID 5, Ev3

    const struct {
        QStringList path;
        int kind;
        int icon;
    } groups[] = {{{"Const"}, nkConstGroup, iconConstGroup}, {{sys2}, nkSystem, iconSystem},
                  {{sys2, "Calc"}, nkCalcGroup, iconCalcGroup}, {{"Event"}, nkEventGroup, iconEventGroup},
                  {{"Event", "GEID 5"}, nkGeidGroup, iconEventGroup}};
    for (const auto& g : groups) {
        QTreeWidgetItem* node = NodeAt(g.path);
        ASSERT_NE(node, nullptr) << g.path.join('/').toStdString();
        ASSERT_TRUE(ConfigTree::DataOf(node).has_value());
        EXPECT_EQ(ConfigTree::DataOf(node)->kind, g.kind) << g.path.join('/').toStdString();
        EXPECT_EQ(ConfigTree::IconOf(node), g.icon) << g.path.join('/').toStdString();
    }

    // After the build the root is expanded and selected, and the summary is saved.
    EXPECT_TRUE(root->isExpanded());
    EXPECT_TRUE(tree->IsRootSelected());
    EXPECT_EQ(tree->LastNode(), root);
    EXPECT_EQ(tree->SavedChecksum(), sim->ConfigChecksum());
    EXPECT_EQ(tree->SavedItemCount(), kItemCount);
    EXPECT_EQ(tree->CheckConfiguration(), 0);
}

TEST_F(TreeBuild, AddItemNodeWalksAndCreatesGroups)
{
    Build();
    const int before = tree->Root()->childCount();
    QTreeWidgetItem* a = tree->AddItemNode("Calc Extra/Other", "x", NodeData{nkCalc, 900}, iconCalc);
    QTreeWidgetItem* b = tree->AddItemNode("Calc Extra/Other", "y", NodeData{nkCalc, 901}, iconCalc);
    QTreeWidgetItem* c = tree->AddItemNode("Const//ignored", "z", NodeData{nkConst, 902}, iconConst);
    ASSERT_TRUE(a && b && c);
    EXPECT_EQ(tree->Root()->childCount(), before + 1);  // one new group, shared
    EXPECT_EQ(a->parent(), b->parent());
    EXPECT_EQ(PathOf(a), (QStringList{"Calc Extra", "Other", "x"}));
    EXPECT_EQ(ConfigTree::DataOf(a->parent()->parent())->kind, nkCalcGroup);  // starts with "Calc"
    EXPECT_FALSE(ConfigTree::DataOf(a->parent()).has_value());               // no known word
    EXPECT_EQ(ConfigTree::IconOf(a->parent()), iconDefault);
    EXPECT_EQ(c->parent(), NodeAt({"Const"}));  // the walk ends at the empty segment
    EXPECT_EQ(tree->FindNodeById(nullptr, 901), b);
    // Groups never match an id; the search starts at the given node.
    EXPECT_EQ(tree->FindNodeById(NodeAt({"Event"}), kP1), nullptr);
    EXPECT_EQ(tree->FindNodeById(NodeAt({"Const"}), kN1), ItemNode(kN1));
}

TEST_F(TreeBuild, RefusesWhileAReadIsPendingAndNoticesAChangedSummary)
{
    Build();
    QTreeWidgetItem* oldRoot = tree->Root();
    device->RequestReread();
    EXPECT_EQ(tree->BuildTree(), -1);
    EXPECT_EQ(tree->Root(), oldRoot);  // nothing changed

    ASSERT_TRUE(WaitFor([this] { return device->IsConfigReady(); }, 10000));
    Build();
    EXPECT_EQ(tree->CheckConfiguration(), 0);
    sim->ChangeChecksum();
    EXPECT_TRUE(WaitFor([this] { return tree->CheckConfiguration() == -1; }, 10000));
}

TEST_F(TreeBuild, TheTreeIsEmptiedBeforeARebuildAndTheOldSelectionForgotten)
{
    Build();
    int cleared = 0;
    QObject::connect(tree, &ConfigTree::aboutToClear, [&] { ++cleared; });
    tree->setCurrentItem(ItemNode(kT1));
    ASSERT_EQ(tree->LastNode(), ItemNode(kT1));
    Build();
    EXPECT_EQ(cleared, 1);
    EXPECT_EQ(tree->LastNode(), tree->Root());
    EXPECT_EQ(tree->Root()->childCount(), 4);
    // Selecting the new T1 node shows it (no stale node stands in the way).
    tree->setCurrentItem(ItemNode(kT1));
    EXPECT_EQ(editor->Value("Имя"), "T1");
}

TEST_F(TreeBuild, ExpandingShowsCalculatedValuesToThePollAndCollapsingHidesThem)
{
    Build();
    const auto t1 = std::uint16_t(device->GetNodeInfo(kT1).id);
    const auto t2 = std::uint16_t(device->GetNodeInfo(kT2).id);
    const auto q1 = std::uint16_t(device->GetNodeInfo(kQ1).id);
    QTreeWidgetItem* system = NodeAt({"Система №2 Котельная"});
    QTreeWidgetItem* calc = NodeAt({"Система №2 Котельная", "Calc"});
    ASSERT_TRUE(system && calc);

    // Nothing is shown yet: nothing is polled.
    sim->ClearRequests();
    QTest::qWait(350);
    EXPECT_TRUE(PolledIds().empty());

    // The system alone expanded is not enough: its Calc group is still collapsed.
    system->setExpanded(true);
    EXPECT_EQ(tree->LastNode(), system);
    EXPECT_EQ(tree->currentItem(), system);
    sim->ClearRequests();
    QTest::qWait(350);
    EXPECT_TRUE(PolledIds().empty());

    calc->setExpanded(true);
    EXPECT_EQ(tree->currentItem(), calc);
    sim->ClearRequests();
    ASSERT_TRUE(WaitFor([&] { return PolledIds().count(t1) && PolledIds().count(t2); }, 3000));
    EXPECT_EQ(PolledIds().count(q1), 0u);  // system 1 stays collapsed

    // Collapsing the system hides the values although their group stays expanded.
    system->setExpanded(false);
    QTest::qWait(500);  // a poll already under way may still ask
    sim->ClearRequests();
    QTest::qWait(400);
    EXPECT_TRUE(PolledIds().empty());

    // Polling follows the next expansion again.
    ASSERT_TRUE(calc->isExpanded());
    system->setExpanded(true);
    sim->ClearRequests();
    EXPECT_TRUE(WaitFor([&] { return PolledIds().count(t1) == 1; }, 3000));
}

TEST_F(TreeBuild, RefreshShowsValuesAndStatusOfAnExpandedSelectedGroup)
{
    Build();
    const auto t1 = std::uint16_t(device->GetNodeInfo(kT1).id);
    const auto t2 = std::uint16_t(device->GetNodeInfo(kT2).id);
    sim->SetCalcValue(t1, 12.5f, 4);
    sim->SetCalcValue(t2, 3.25f, 0);
    QTreeWidgetItem* system = NodeAt({"Система №2 Котельная"});
    QTreeWidgetItem* calc = NodeAt({"Система №2 Котельная", "Calc"});
    system->setExpanded(true);
    calc->setExpanded(true);  // selects the group: one row per value, values still empty
    ASSERT_EQ(editor->rowCount(), 2);
    EXPECT_EQ(editor->Value("T1"), "");

    ASSERT_TRUE(WaitFor([&] { return device->GetItemValue(t1).status == 4; }, 3000));
    ASSERT_TRUE(WaitFor([&] { return device->GetItemValue(t2).value == 3.25f; }, 3000));
    tree->RefreshCalcValues();
    EXPECT_EQ(editor->Value("T1"), QStringLiteral("12.5 (Температура) F:0x00000004 [Авария]"));
    EXPECT_EQ(editor->Value("T2"), QStringLiteral("3.25 (Температура)"));
    EXPECT_TRUE(editor->HandlersAttached());

    // The status goes back to 0: the row loses its flags part at the next refresh.
    sim->SetCalcValue(t1, 12.5f, 0);
    ASSERT_TRUE(WaitFor([&] { return device->GetItemValue(t1).status == 0; }, 3000));
    tree->RefreshCalcValues();
    EXPECT_EQ(editor->Value("T1"), QStringLiteral("12.5 (Температура)"));

    // A selected calculated value gets its panel redrawn with fresh data.
    tree->setCurrentItem(ItemNode(kT1));
    sim->SetCalcValue(t1, 7.75f, 0);
    ASSERT_TRUE(WaitFor([&] { return device->GetItemValue(t1).value == 7.75f; }, 3000));
    tree->RefreshCalcValues();
    EXPECT_EQ(editor->Value("Значение"), "7.75");
}

TEST_F(TreeBuild, CustomColoursFollowStatusAndTransducerConstants)
{
    Build();
    const auto t1 = std::uint16_t(device->GetNodeInfo(kT1).id);
    sim->SetCalcValue(t1, 1.0f, 2);
    NodeAt({"Система №2 Котельная"})->setExpanded(true);
    NodeAt({"Система №2 Котельная", "Calc"})->setExpanded(true);
    NodeAt({"Const"})->setExpanded(true);
    tree->setCurrentItem(tree->Root());
    ASSERT_TRUE(WaitFor([&] { return device->GetItemValue(t1).status == 2; }, 3000));
    tree->RefreshCalcValues();

    auto rowColour = [this](std::uint16_t id) {
        QTreeWidgetItem* node = ItemNode(id);
        tree->scrollToItem(node);
        const QRect r = tree->visualItemRect(node);
        return PixelAt(tree->viewport(), QPoint(r.right() - 3, r.center().y()));
    };
    EXPECT_EQ(rowColour(kT1), QColor(255, 0, 0));
    EXPECT_EQ(rowColour(kDev3), QColor(0, 255, 255));
    const QColor plain = rowColour(kT2);
    EXPECT_NE(plain, QColor(255, 0, 0));
    EXPECT_NE(plain, QColor(0, 255, 255));
    EXPECT_NE(rowColour(kP1), QColor(0, 255, 255));
}

TEST_F(TreeBuild, OnlyCalculatedValuesAreDragged)
{
    Build();
    QTreeWidgetItem* t1 = ItemNode(kT1);
    EXPECT_TRUE(t1->flags() & Qt::ItemIsDragEnabled);
    EXPECT_FALSE(ItemNode(kP1)->flags() & Qt::ItemIsDragEnabled);
    EXPECT_FALSE(ItemNode(kEv1)->flags() & Qt::ItemIsDragEnabled);
    EXPECT_FALSE(tree->Root()->flags() & Qt::ItemIsDragEnabled);

    // The model asks the tree for the drag data, as a drag does.
    const auto indexOf = [this](QTreeWidgetItem* node) {
        QList<int> rows;
        for (QTreeWidgetItem* n = node; n->parent() != nullptr; n = n->parent())
            rows.prepend(n->parent()->indexOfChild(n));
        QModelIndex index = tree->model()->index(0, 0);
        for (int row : rows)
            index = tree->model()->index(row, 0, index);
        return index;
    };
    const auto mimeOf = [&](QTreeWidgetItem* node) {
        return std::unique_ptr<QMimeData>(tree->model()->mimeData({indexOf(node)}));
    };
    std::unique_ptr<QMimeData> mime = mimeOf(t1);
    ASSERT_TRUE(mime);
    const QString payload = QString::fromUtf8(mime->data(ConfigTree::CalcMimeType));
    EXPECT_EQ(payload, QString::number(device->GetNodeInfo(kT1).id) + "\n2T1");
    EXPECT_EQ(mimeOf(ItemNode(kP1)), nullptr);
}

} // namespace
} // namespace vx4::treetest
