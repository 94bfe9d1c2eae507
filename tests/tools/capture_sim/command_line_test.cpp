#include "tools/capture_sim/command_line.h"

#include <gtest/gtest.h>

namespace vantle::tools {
namespace {

std::string verdict(const std::vector<std::string>& arguments) {
  auto result = parseCommandLine(arguments);
  if (const auto* error = std::get_if<UsageError>(&result)) return error->message;
  return "accepted";
}

ControlCommand control(const std::vector<std::string>& arguments) {
  return std::get<ControlCommand>(std::get<Invocation>(parseCommandLine(arguments)));
}

TEST(CaptureSimCommandLine, ServeOptionsMustMakeSenseTogether) {
  const auto serve = std::get<ServeOptions>(std::get<Invocation>(
      parseCommandLine({"serve", "--session", "S", "--camera", "R5", "--battery", "71%", "--job-seconds", "0.1"})));
  EXPECT_EQ(serve.battery, "71%");
  EXPECT_DOUBLE_EQ(serve.jobSeconds, 0.1);
  EXPECT_EQ(verdict({"serve", "--no-document"}), "accepted");
  EXPECT_EQ(verdict({"serve"}), "serve needs --session DIR (or --no-document)");
  EXPECT_EQ(verdict({"serve", "--session", "S", "--battery", "50%"}), "--battery needs --camera");
  EXPECT_EQ(verdict({"serve", "--session", "S", "--catalog", "--no-document"}),
            "--catalog and --no-document contradict each other");
  EXPECT_EQ(verdict({"serve", "--session"}), "--session needs a value");
}

TEST(CaptureSimCommandLine, ShootHasDefaultsAndRefusesNonsense) {
  const ControlCommand plain = control({"ctl", "shoot", "3"});
  EXPECT_EQ(plain.count, 3u);
  EXPECT_DOUBLE_EQ(plain.interval, 1);
  EXPECT_EQ(plain.extension, "CR3");
  EXPECT_EQ(control({"ctl", "shoot", "2", "--ext", "jpg", "--interval", "0"}).extension, "jpg");
  for (const auto& bad : std::vector<std::vector<std::string>>{{"ctl", "shoot", "0"},
                                                               {"ctl", "shoot", "2x"},
                                                               {"ctl", "shoot", "2", "--ext", ".CR3"},
                                                               {"ctl", "shoot", "2", "--interval"},
                                                               {"ctl", "shoot", "2", "--interval", "-1"},
                                                               {"ctl", "shoot", "2", "--burst"}}) {
    EXPECT_NE(verdict(bad), "accepted") << bad.back();
  }
}

TEST(CaptureSimCommandLine, DocumentAndCameraWordsAreNotTakenForNames) {
  EXPECT_EQ(control({"ctl", "document", "open", "catalog"}).kind, ControlCommand::openCatalog);
  EXPECT_EQ(control({"ctl", "document", "open", "./catalog"}).kind, ControlCommand::openSession);
  EXPECT_EQ(control({"ctl", "camera", "none"}).kind, ControlCommand::removeCamera);
  EXPECT_FALSE(control({"ctl", "camera", "EOS R5", "none"}).battery);
  EXPECT_EQ(control({"ctl", "camera", "EOS R5", "64%"}).battery, "64%");
  EXPECT_EQ(verdict({"ctl", "deny", "maybe"}), "deny needs on, off or consent");
  EXPECT_EQ(verdict({"ctl", "reboot"}), "ctl does not know 'reboot'");
}

}  // namespace
}  // namespace vantle::tools
