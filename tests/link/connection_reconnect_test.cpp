// A link that is down (its opening failed, or its channel was lost) and connecting it
// again through the connection, without a new link object.

#include "link/Connection.h"
#include "link/ResultCodes.h"
#include "link/link_fake.h"

#include <gtest/gtest.h>

using namespace vx4;
using vx4::conntest::FakeLinkState;

namespace {

TEST(ConnectionReconnect, ALinkThatIsDownIsOpenedAgainInPlace)
{
    auto link = std::make_shared<FakeLinkState>();
    link->openResult = LINK_NOT_OPEN;
    connection conn;
    EXPECT_EQ(conn.Reconnect(), LINK_NOT_OPEN) << "no link held";
    EXPECT_FALSE(conn.LinkUp());

    conn.SetLinkFactory(conntest::FakeFactory(link));
    EXPECT_EQ(conn.Open(), LINK_NOT_OPEN);
    EXPECT_TRUE(conn.IsOpen()); // the link object is held ...
    EXPECT_FALSE(conn.LinkUp()); // ... but it is down
    EXPECT_EQ(conn.Reconnect(), LINK_NOT_OPEN);

    link->openResult = OK; // the device is back
    EXPECT_EQ(conn.Reconnect(), OK);
    EXPECT_TRUE(conn.LinkUp());
    EXPECT_EQ(link->creations, 1);
    EXPECT_EQ(conn.Reconnect(), OK); // an open link is left as it is
    conn.Close();
    EXPECT_FALSE(conn.LinkUp());
    EXPECT_FALSE(link->alive);
}

} // namespace
