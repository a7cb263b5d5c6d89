// The console when the device's end of the link goes away while it polls: the
// configuration is let go, and once the device is back on the same port F11 connects
// again and polling resumes, without restarting the program.

#include "mainwindow_fixture.h"

namespace vx4::uitest {
namespace {

TEST_F(MainWindowTest, LinkLostWhilePollingIsLetGoAndF11ConnectsAgain) {
    StartSimulator();
    CreateForm();
    ASSERT_TRUE(StartAndWaitRunning());
    ASSERT_NE(form->Device().GetDeviceInfo().itemCount, 0u);
    const std::uint16_t port = sim->Port();

    sim->Stop();
    EXPECT_TRUE(TickUntil([this] { return form->Device().GetDeviceInfo().itemCount == 0; }, 10000))
        << "the configuration of a lost device is let go";

    sim = std::make_unique<vx4sim::Simulator>();
    std::string error;
    ASSERT_TRUE(sim->StartTcp("127.0.0.1", port, &error)) << error;
    EXPECT_TRUE(StartAndWaitRunning()) << "F11 connects again";
    EXPECT_NE(form->Device().GetDeviceInfo().itemCount, 0u);
}

} // namespace
} // namespace vx4::uitest
