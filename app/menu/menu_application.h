// The agent as a menu bar application: the controller, published on Qt's
// GUI thread, shown in a tray menu (or a status window), the pairing QR
// window and the folder panel.
//
// At launch it starts the controller and offers the login item once; at quit
// (the menu's "Quit Orvane Live Agent", Ctrl+Q, or SIGINT/SIGTERM when the
// session ends) it stops the agent and waits until every record is on disk.
#pragma once

#include <signal.h>

#include <memory>
#include <string>

#include "app/agent_options.h"
#include "app/bus/agent_bus.h"

namespace vantle::app {

// Runs the application until it quits; returns the exit code. `stops` are
// the blocked signals that quit it. With a `bus`, the application serves
// its commands and publishes its state there.
int runMenuApplication(int argc, char** argv, const AgentOptions& options, const sigset_t& stops,
                       std::unique_ptr<AgentBus> bus);

// Tells the user, in a dialog, why the application does not start.
void showStartupRefusal(int argc, char** argv, const std::string& sentence);

// "Version " follows this in the menu: the project version and the build
// number, "?" for what the build did not say ("0.4.0 (123)").
std::string versionText();

}  // namespace vantle::app
