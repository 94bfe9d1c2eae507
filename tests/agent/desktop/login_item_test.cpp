#include "agent/desktop/login_item.h"

#include <gtest/gtest.h>

#include "tests/support/temp_folder.h"

namespace vantle::agent {
namespace {

using testing::TempFolder;

TEST(AutostartLoginItem, EnableWritesAnEntryThatDisableOrTheDesktopSwitchesOff) {
  TempFolder config;
  AutostartLoginItem item(config / "autostart", "/usr/bin/vantle-agent");
  EXPECT_FALSE(item.isEnabled());
  EXPECT_EQ(item.enable(), std::nullopt);
  EXPECT_TRUE(item.isEnabled());
  const std::string text = testing::readText(config / "autostart/orvane-vantle-agent.desktop");
  EXPECT_EQ(text.rfind("[Desktop Entry]\nType=Application\n", 0), 0u) << text;
  EXPECT_NE(text.find("\nExec=\"/usr/bin/vantle-agent\"\n"), std::string::npos) << text;

  EXPECT_EQ(item.disable(), std::nullopt);
  EXPECT_FALSE(item.isEnabled());

  // An entry switched off by the desktop is not enabled until enabled again.
  const std::string entry = AutostartLoginItem::entryText("/usr/bin/vantle-agent");
  for (const char* off : {"Hidden=true\n", "X-GNOME-Autostart-enabled = false\n"}) {
    config.write("autostart/orvane-vantle-agent.desktop", entry + off);
    EXPECT_FALSE(item.isEnabled()) << off;
  }
  config.write("autostart/orvane-vantle-agent.desktop", entry + "[Desktop Action Quit]\nHidden=true\n");
  EXPECT_TRUE(item.isEnabled());  // another group's key
  config.write("autostart/orvane-vantle-agent.desktop", entry + "Hidden=true\n");
  EXPECT_EQ(item.enable(), std::nullopt);
  EXPECT_TRUE(item.isEnabled());
}

TEST(AutostartLoginItem, ExecQuotesAndEscapesThePath) {
  // Quoted; " ` $ \ escaped by a backslash; every backslash doubled again as
  // a string value; % doubled as it would start a field code.
  EXPECT_NE(AutostartLoginItem::entryText("/opt/Orvane \"Live\"/$x`\\100%/agent")
                .find("\nExec=\"/opt/Orvane \\\\\"Live\\\\\"/\\\\$x\\\\`\\\\\\\\100%%/agent\"\n"),
            std::string::npos);
}

TEST(AutostartLoginItem, FailuresAreValues) {
  TempFolder config;
  config.write("autostart", "a file where the folder should be");
  EXPECT_TRUE(AutostartLoginItem(config / "autostart", "/usr/bin/vantle-agent").enable());
  EXPECT_TRUE(AutostartLoginItem({}, "/usr/bin/vantle-agent").enable());
  EXPECT_EQ(AutostartLoginItem(config / "other", "").enable(), Failure{"The agent's own program could not be found."});
}

}  // namespace
}  // namespace vantle::agent
