// Windows are placed wholly on the screen: a saved position from another monitor layout, or
// a window centred on a parent near the edge, comes back inside the screen's free area.

#include "ui/dialogs/ScreenPlacement.h"

#include <gtest/gtest.h>

namespace {

TEST(ScreenPlacement, AWindowIsMovedInsideTheArea)
{
    const QRect area(0, 0, 1024, 768);
    const QSize frame(800, 600);
    struct Case {
        QPoint wanted;
        QPoint placed;
    };
    const Case cases[] = {
        {{100, 50}, {100, 50}},     // inside: left alone
        {{-51, 20}, {0, 20}},       // the monitor opened partly off the left edge
        {{500, 400}, {224, 168}},   // off the bottom right
        {{-3000, -3000}, {0, 0}},   // a position from a screen that is gone
        {{5000, 100}, {224, 100}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(vx4::ClampToArea(c.wanted, frame, area), c.placed) << c.wanted.x() << "," << c.wanted.y();
    // A window larger than the area keeps its top left corner on the screen.
    EXPECT_EQ(vx4::ClampToArea({-10, 300}, QSize(2000, 1000), area), QPoint(0, 0));
    // An area that is not at the origin (a second screen, a panel on the left).
    EXPECT_EQ(vx4::ClampToArea({900, -5}, frame, QRect(1024, 30, 1280, 994)), QPoint(1024, 30));
}

} // namespace
