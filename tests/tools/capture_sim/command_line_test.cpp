#include "tools/capture_sim/command_line.h"

#include <gtest/gtest.h>

namespace vantle::tools {
namespace {

using Arguments = std::vector<std::string>;

std::string verdict(const Arguments& arguments) {
  auto result = parseCommandLine(arguments);
  if (const auto* error = std::get_if<UsageError>(&result)) return error->message;
  return "accepted";
}

ControlCommand control(const Arguments& arguments) {
  return std::get<ControlCommand>(std::get<Invocation>(parseCommandLine(arguments)));
}

TEST(CaptureSimCommandLine, RefusesOptionsThatDoNotMakeSense) {
  EXPECT_EQ(verdict({"serve", "--no-document"}), "accepted");
  EXPECT_EQ(verdict({"serve"}), "serve needs --session DIR (or --no-document)");
  EXPECT_EQ(verdict({"serve", "--session", "S", "--battery", "50%"}), "--battery needs --camera");
  EXPECT_EQ(verdict({"serve", "--session", "S", "--catalog", "--no-document"}),
            "--catalog and --no-document contradict each other");
  EXPECT_EQ(verdict({"serve", "--session"}), "--session needs a value");
  for (const Arguments& bad : std::vector<Arguments>{{"ctl", "shoot", "0"},
                                                     {"ctl", "shoot", "2x"},
                                                     {"ctl", "shoot", "2", "--ext", ".CR3"},
                                                     {"ctl", "shoot", "2", "--interval"},
                                                     {"ctl", "shoot", "2", "--interval", "-1"},
                                                     {"ctl", "shoot", "2", "--burst"},
                                                     {"ctl", "deny", "maybe"},
                                                     {"ctl", "reboot"}}) {
    EXPECT_NE(verdict(bad), "accepted") << bad.back();
  }
}

TEST(CaptureSimCommandLine, KeywordsAreNotTakenForNames) {
  EXPECT_EQ(control({"ctl", "document", "open", "catalog"}).kind, ControlCommand::openCatalog);
  EXPECT_EQ(control({"ctl", "document", "open", "./catalog"}).kind, ControlCommand::openSession);
  EXPECT_EQ(control({"ctl", "camera", "none"}).kind, ControlCommand::removeCamera);
  EXPECT_FALSE(control({"ctl", "camera", "EOS R5", "none"}).battery);
  EXPECT_EQ(control({"ctl", "camera", "EOS R5", "64%"}).battery, "64%");
}

}  // namespace
}  // namespace vantle::tools
