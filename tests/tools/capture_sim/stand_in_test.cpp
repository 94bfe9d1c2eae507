// The stand-in as the agent meets it: the real program on a private session
// bus, called the way the bridge calls it. What the agent's own tests cannot
// see is checked here: the application's own wording and a job's pace.
#include <gtest/gtest.h>

#include <memory>

#include "agent/capture/capture_one_script.h"
#include "tests/support/eventually.h"
#include "tests/support/private_bus.h"
#include "tests/support/stand_in.h"
#include "tests/support/temp_folder.h"

namespace vantle::testing {
namespace {

namespace fs = std::filesystem;
namespace Script = agent::CaptureOneScript;

const std::string selectedPaths(Script::selectedPaths);
const std::string processSelection(Script::processSelection);

std::string filled(std::string_view text, std::string_view placeholder, std::string_view value) {
  std::string out(text);
  return out.replace(out.find(placeholder), placeholder.size(), value);
}

class StandIn : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { daemon_ = new PrivateBus(); }
  static void TearDownTestSuite() { delete daemon_; }

  void SetUp() override {
    if (!daemon_->available()) GTEST_SKIP() << daemon_->reason();
    session_ = fs::canonical(scratch_.path()) / "Shoot_A";
    standIn_ = std::make_unique<StandInProcess>(
        std::vector<std::string>{"serve", "--session", session_.string(), "--job-seconds", "0.3"},
        scratch_ / "stand-in.log");
    ASSERT_TRUE(app_.waitForOwner(true, 20)) << "the stand-in did not take the name";
  }

  void TearDown() override {
    standIn_.reset();
    app_.waitForOwner(false, 5);  // the next test's stand-in needs the name
  }

  static int ctl(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "ctl");
    return runStandIn(arguments).exitCode;
  }

  std::string run(const std::string& script) {
    const auto reply = app_.runScript(script);
    EXPECT_TRUE(reply.ok && reply.busError.empty()) << reply.busError << reply.errorMessage;
    return reply.result;
  }

  static PrivateBus* daemon_;
  TempFolder scratch_;
  fs::path session_;
  ApplicationClient app_;
  std::unique_ptr<StandInProcess> standIn_;
};

PrivateBus* StandIn::daemon_ = nullptr;

// The agent's own tests meet the selection's order; not its failures' wording.
TEST_F(StandIn, AnEmptySelectionFailsInAllFiveForms) {
  EXPECT_EQ(run(selectedPaths),
            "ERROR: 1:none | 2:Can't get parent image of missing value. | "
            "3:Can't get parent image of missing value. | 4:none | 5:none");
  EXPECT_EQ(run(processSelection), "ERROR: No images selected");
}

TEST_F(StandIn, ShotFramesGoOnFromTheLastAndAJobWritesOneJpegPerImageItCanRead) {
  const fs::path capture = session_ / "Capture";
  TempFolder::writeAt(capture / "IMG_0001.CR3", {});  // numbering goes on after frames already there
  ASSERT_EQ(ctl({"shoot", "3", "--interval", "0"}), 0);
  for (const char* name : {"IMG_0002.CR3", "IMG_0003.CR3", "IMG_0004.CR3"}) {
    const fs::path cot = capture / "CaptureOne/Cache/Thumbnails" / (std::string(name) + ".cot");
    ASSERT_TRUE(eventually([&] { return fs::exists(cot); }, 10)) << name;
    EXPECT_TRUE(isCompleteJpeg(capture / name) && isCompleteJpeg(cot)) << name;
  }
  ASSERT_EQ(ctl({"select", "IMG_0004.CR3", "IMG_0002.CR3", "IMG_0003.CR3"}), 0);
  fs::remove(capture / "IMG_0003.CR3");  // gone before the job gets to it

  // Nothing appears while the job is pending.
  const fs::path output = scratch_ / "storage" / "quickproof";
  ASSERT_EQ(run(filled(Script::prepareRecipe, "%OUTPUT%", output.string())), "OK");
  const std::string queued = run(processSelection);
  ASSERT_TRUE(queued.starts_with("JOB:")) << queued;
  const std::string status = filled(Script::jobStatus, "%JOB%", queued.substr(4));
  EXPECT_EQ(run(status), "PENDING");
  EXPECT_TRUE(!fs::exists(output) || fs::is_empty(output)) << "files before the job ended";
  ASSERT_TRUE(eventually([&] { return run(status) == "DONE"; }, 10));
  EXPECT_TRUE(isCompleteJpeg(output / "IMG_0002.jpg"));
  EXPECT_TRUE(isCompleteJpeg(output / "IMG_0004.jpg"));
  EXPECT_EQ(std::distance(fs::directory_iterator(output), fs::directory_iterator()), 2);
}

}  // namespace
}  // namespace vantle::testing
