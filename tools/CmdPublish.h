#pragma once
// vx4ctl publish: the device's values to an MQTT broker, as a long-running command.

#include "Ctl.h"

namespace CLI {
class App;
}

namespace vx4ctl {

// Adds publish's options to its subcommand (they are kept by CmdPublish.cpp).
void AddPublishOptions(CLI::App* publish);
int CmdPublish(const GlobalOptions& g, const CommandArgs& a);

} // namespace vx4ctl
