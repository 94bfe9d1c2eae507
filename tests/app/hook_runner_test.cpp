// The user's hooks, run for real: shell scripts in a temporary folder.
#include "app/hooks/hook_runner.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>

#include "tests/support/eventually.h"
#include "tests/support/live_process.h"
#include "tests/support/temp_folder.h"

namespace vantle::app {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::eventually;
using ::testing::HasSubstr;
using testing::readText;

class HookRunnerTest : public ::testing::Test {
 protected:
  void hook(const std::string& name, const std::string& script) {
    const fs::path file = folder.path() / "hooks" / name;
    fs::create_directories(file.parent_path());
    std::ofstream(file) << "#!/bin/sh\ncd '" << folder.str() << "'\n" << script << "\n";
    fs::permissions(file, fs::perms::owner_all);
  }
  std::string log() const { return fs::exists(folder.path() / "log") ? readText(folder.path() / "log") : ""; }
  size_t lines(const std::string& word) const {
    const std::string text = log();
    size_t count = 0;
    for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) ++count;
    return count;
  }

  testing::TempFolder folder;
};

TEST_F(HookRunnerTest, AHookGetsItsVariablesAsTheyAreWithNoShellBetween) {
  hook("shot-closed", R"(printf '%s|%s\n' "$VANTLE_FOLDER" "$VANTLE_SEQ" >> log)");
  HookRunner runner(folder.path() / "hooks", 10s);
  runner.fire("shot-closed",
              {{"VANTLE_FOLDER", "/Shoot/$(touch pwned) `touch pwned` ; touch pwned"}, {"VANTLE_SEQ", "7"}});
  runner.fire("frame-landed", {});  // no such hook: nothing happens
  ASSERT_TRUE(eventually([&] { return lines("|7") == 1; }, 10));
  EXPECT_EQ(log(), "/Shoot/$(touch pwned) `touch pwned` ; touch pwned|7\n");
  EXPECT_FALSE(fs::exists(folder.path() / "pwned"));
}

TEST_F(HookRunnerTest, AHookRunsOnceAtATimeWithABoundedBacklog) {
  // Each run waits for the test to let it go, and notes any run beside it.
  hook("frame-landed",
       "mkdir running || echo overlap >> log\n"
       "while [ ! -e go ]; do sleep 0.05; done\n"
       "echo ran >> log\n"
       "rmdir running");
  {
    HookRunner runner(folder.path() / "hooks", 60s);
    runner.fire("frame-landed", {});
    ASSERT_TRUE(eventually([&] { return fs::exists(folder.path() / "running"); }, 20));
    for (int i = 0; i < 99; ++i) runner.fire("frame-landed", {});
    std::ofstream(folder.path() / "go");
    ASSERT_TRUE(eventually(
        [&] { return lines("ran") == 1 + HookRunner::backlog && !fs::exists(folder.path() / "running"); }, 30))
        << log();
  }
  EXPECT_EQ(lines("overlap"), 0u) << log();
  EXPECT_EQ(lines("ran"), 1 + HookRunner::backlog);
}

TEST_F(HookRunnerTest, AHookPastItsTimeIsStoppedWithWhatItStartedAndSoIsOneLeftRunning) {
  const std::string hanging =
      "trap 'echo stopped >> log; kill $child; exit 1' TERM\n"
      "sleep 1000 & child=$!\n"
      "echo $child > \"child-$(basename \"$0\")\"\n"
      "wait";
  hook("shot-closed", hanging);
  hook("shoot-ended", hanging);
  {
    HookRunner runner(folder.path() / "hooks", 300ms);
    runner.fire("shot-closed", {});
    ASSERT_TRUE(eventually([&] { return lines("stopped") == 1; }, 20)) << log();
  }
  {
    HookRunner runner(folder.path() / "hooks", 600s);
    runner.fire("shoot-ended", {});
    ASSERT_TRUE(eventually([&] { return fs::exists(folder.path() / "child-shoot-ended"); }, 20));
  }  // the agent stopping: the hook is not waited for
  EXPECT_EQ(lines("stopped"), 2u) << log();
}

TEST_F(HookRunnerTest, WhatAStoppedHookLeavesBehindIsStoppedToo) {
  // The hook obeys the stop, but what it started shrugs it off: it goes all the same.
  hook("shot-closed",
       "trap 'exit 0' TERM\n"
       "sh -c 'trap \"\" TERM; echo $$ > stubborn; exec sleep 1000' >/dev/null 2>&1 &\n"
       "wait");
  {
    HookRunner runner(folder.path() / "hooks", 600s);
    runner.fire("shot-closed", {});
    ASSERT_TRUE(eventually([&] { return fs::exists(folder.path() / "stubborn"); }, 20));
  }
  const std::string stubborn = readText(folder.path() / "stubborn");
  const pid_t pid = std::stoi(stubborn);
  EXPECT_TRUE(eventually([&] { return testing::processGone(pid); }, 20));
  if (!testing::processGone(pid)) ::kill(pid, SIGKILL);  // not left for the next test to trip on
}

}  // namespace
}  // namespace vantle::app
