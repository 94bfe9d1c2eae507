// The stand-in as the agent meets it: the real program on a private session
// bus, called the way the bridge calls it.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>

#include "agent/capture/capture_one_channel.h"
#include "agent/capture/capture_one_script.h"
#include "tests/support/eventually.h"
#include "tests/support/private_bus.h"
#include "tests/support/stand_in.h"

namespace vantle::testing {
namespace {

namespace fs = std::filesystem;
namespace Channel = agent::CaptureOneChannel;
namespace Script = agent::CaptureOneScript;
using Strings = std::vector<std::string>;

const std::string selectedPaths(Script::selectedPaths);
const std::string processSelection(Script::processSelection);

std::string filled(std::string_view text, std::string_view placeholder, std::string_view value) {
  std::string out(text);
  return out.replace(out.find(placeholder), placeholder.size(), value);
}

// A path as the agent puts it into a script string.
std::string processPath(const fs::path& path) {
  std::string escaped;
  for (char c : path.string()) {
    if (c == '\\' || c == '"') escaped += '\\';
    escaped += c;
  }
  return filled(Script::processPath, "%PATH%", escaped);
}

void touch(const fs::path& file) {
  fs::create_directories(file.parent_path());
  std::ofstream(file) << "not an image";
}

class StandIn : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { daemon_ = new PrivateBus(); }
  static void TearDownTestSuite() { delete daemon_; }

  void SetUp() override {
    if (!daemon_->available()) GTEST_SKIP() << daemon_->reason();
    std::string pattern = (fs::temp_directory_path() / "capture-sim-XXXXXX").string();
    ASSERT_TRUE(mkdtemp(pattern.data()));
    scratch_ = fs::canonical(pattern);
    session_ = scratch_ / "Shoot_A";
  }

  void TearDown() override {
    standIn_.reset();
    app_.waitForOwner(false, 5);  // the next test's stand-in needs the name
    std::error_code ignored;
    if (!scratch_.empty()) fs::remove_all(scratch_, ignored);
  }

  void serve(Strings options) {
    options.insert(options.begin(), "serve");
    options.insert(options.end(), {"--job-seconds", "0.3"});
    standIn_ = std::make_unique<StandInProcess>(options, scratch_ / "stand-in.log");
    ASSERT_TRUE(app_.waitForOwner(true, 20)) << "the stand-in did not take the name";
  }

  Finished ctl(Strings arguments) {
    arguments.insert(arguments.begin(), "ctl");
    return runStandIn(arguments);
  }

  std::string run(const std::string& script) {
    const auto reply = app_.runScript(script);
    EXPECT_TRUE(reply.ok && reply.busError.empty()) << reply.busError << reply.errorMessage;
    return reply.result;
  }

  // Prepares the recipe for `output` and follows the job the script queues
  // until it is done, checking that nothing appears while it is pending.
  void processUntilDone(const std::string& script, const fs::path& output) {
    ASSERT_EQ(run(filled(Script::prepareRecipe, "%OUTPUT%", output.string())), "OK");
    const std::string queued = run(script);
    ASSERT_TRUE(queued.starts_with("JOB:")) << queued;
    const std::string status = filled(Script::jobStatus, "%JOB%", queued.substr(4));
    EXPECT_EQ(run(status), "PENDING");
    EXPECT_TRUE(!fs::exists(output) || fs::is_empty(output)) << "files before the job ended";
    EXPECT_TRUE(eventually([&] { return run(status) == "DONE"; }, 10));
  }

  bool shotAndCached(const fs::path& frame) {
    const fs::path cot = frame.parent_path() / "CaptureOne/Cache/Thumbnails" / (frame.filename().string() + ".cot");
    return eventually([&] { return fs::exists(cot); }, 10) && isCompleteJpeg(frame) && isCompleteJpeg(cot);
  }

  static PrivateBus* daemon_;
  fs::path scratch_, session_;
  ApplicationClient app_;
  std::unique_ptr<StandInProcess> standIn_;
};

PrivateBus* StandIn::daemon_ = nullptr;

TEST_F(StandIn, DenialRefusesEveryRequestUntilLifted) {
  serve({"--session", session_.string(), "--deny"});
  const std::string denied = "error " + std::string(Channel::accessDeniedError);
  EXPECT_EQ(app_.get({"Cudo", "pnam"}), denied);
  EXPECT_EQ(app_.count({"Cudo", "COco", "CCPr"}), denied);
  EXPECT_EQ(app_.runScript(selectedPaths).busError, denied);

  ASSERT_EQ(ctl({"deny", "consent"}).exitCode, 0);
  EXPECT_EQ(app_.get({"Cudo", "pnam"}), "error " + std::string(Channel::consentRequiredError));
  ASSERT_EQ(ctl({"deny", "off"}).exitCode, 0);
  EXPECT_EQ(app_.get({"Cudo", "pnam"}), "Shoot_A.cosessiondb");
}

TEST_F(StandIn, QuitReleasesTheNameAndLeavesCtlNobodyToTalkTo) {
  serve({"--session", session_.string()});
  const Finished second = runStandIn({"serve", "--session", session_.string()});
  EXPECT_EQ(second.exitCode, 1);
  EXPECT_NE(second.output.find("already owned"), std::string::npos) << second.output;

  EXPECT_EQ(ctl({"quit"}).exitCode, 0);
  EXPECT_TRUE(app_.waitForOwner(false, 10));
  EXPECT_EQ(standIn_->waitForExit(10), 0);

  const Finished orphan = ctl({"shoot", "1"});
  EXPECT_EQ(orphan.exitCode, 1);
  EXPECT_NE(orphan.output.find("no stand-in is running"), std::string::npos) << orphan.output;
}

TEST_F(StandIn, ShootingWritesFramesWithCompleteCacheThumbnails) {
  serve({"--session", session_.string()});
  const fs::path capture = session_ / "Capture";
  touch(capture / "IMG_0001.CR3");  // numbering goes on after frames already there

  ASSERT_EQ(ctl({"shoot", "3", "--interval", "0.1"}).exitCode, 0);
  for (const char* name : {"IMG_0002.CR3", "IMG_0003.CR3", "IMG_0004.CR3"}) {
    EXPECT_TRUE(shotAndCached(capture / name)) << name;
  }
  EXPECT_FALSE(fs::exists(capture / "CaptureOne/Cache/Thumbnails/IMG_0001.CR3.cot"));

  const fs::path look = capture / "Look 2";
  ASSERT_EQ(ctl({"capture-folder", look.string()}).exitCode, 0);
  EXPECT_EQ(app_.get({"Cudo", "COcf"}), look.string());
  ASSERT_EQ(ctl({"shoot", "1", "--ext", "jpg"}).exitCode, 0);
  EXPECT_TRUE(shotAndCached(look / "IMG_0005.jpg"));

  // With no document open, nothing is shot and every script answers so.
  ASSERT_EQ(ctl({"document", "close"}).exitCode, 0);
  const Finished refused = ctl({"shoot", "1"});
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_NE(refused.output.find("no document is open"), std::string::npos) << refused.output;
  for (const std::string& script :
       {selectedPaths, filled(Script::prepareRecipe, "%OUTPUT%", "/tmp/out"), processSelection,
        processPath("/tmp/a.CR3"), filled(Script::jobStatus, "%JOB%", "1")}) {
    EXPECT_EQ(run(script), "NODOC");
  }
}

TEST_F(StandIn, SelectedPathsFollowTheSelectionOrderOrFailInAllFiveForms) {
  serve({"--session", session_.string()});
  EXPECT_EQ(run(selectedPaths),
            "ERROR: 1:none | 2:Can't get parent image of missing value. | "
            "3:Can't get parent image of missing value. | 4:none | 5:none");
  EXPECT_EQ(run(processSelection), "ERROR: No images selected");

  const fs::path first = session_ / "Capture" / "IMG_0001.CR3", second = session_ / "Elsewhere" / "B.CR3";
  touch(first);
  touch(second);
  ASSERT_EQ(ctl({"select", second.string(), "IMG_0001.CR3"}).exitCode, 0);
  EXPECT_EQ(run(selectedPaths), second.string() + "\n" + first.string() + "\n");
  EXPECT_EQ(run(processSelection),
            "ERROR: Can't get recipe \"Orvane Live QuickProof\" of document \"Shoot_A.cosessiondb\".");

  const Finished missing = ctl({"select", "IMG_0099.CR3"});
  EXPECT_EQ(missing.exitCode, 1);
  EXPECT_NE(missing.output.find("no such file: " + (session_ / "Capture/IMG_0099.CR3").string()), std::string::npos);
  EXPECT_EQ(run(selectedPaths), second.string() + "\n" + first.string() + "\n");  // unchanged
}

TEST_F(StandIn, AJobStaysPendingThenWritesOneJpegPerImageItCanRead) {
  serve({"--session", session_.string()});
  ASSERT_EQ(ctl({"shoot", "3", "--interval", "0"}).exitCode, 0);
  const fs::path capture = session_ / "Capture";
  ASSERT_TRUE(shotAndCached(capture / "IMG_0003.CR3"));
  ASSERT_EQ(ctl({"select", "IMG_0003.CR3", "IMG_0001.CR3", "IMG_0002.CR3"}).exitCode, 0);
  fs::remove(capture / "IMG_0002.CR3");  // gone before the job gets to it

  const fs::path output = scratch_ / "storage" / "quickproof";
  processUntilDone(processSelection, output);
  EXPECT_TRUE(isCompleteJpeg(output / "IMG_0001.jpg"));
  EXPECT_TRUE(isCompleteJpeg(output / "IMG_0003.jpg"));
  EXPECT_EQ(std::distance(fs::directory_iterator(output), fs::directory_iterator()), 2);
  EXPECT_EQ(run(filled(Script::jobStatus, "%JOB%", "no-such-job")), "DONE");
  EXPECT_EQ(run(filled(Script::prepareRecipe, "%OUTPUT%", "relative")), "ERROR: Can't make \"relative\" into type file.");
}

TEST_F(StandIn, ProcessPathFindsOnlyImagesOfTheDocumentByTheirEscapedPath) {
  session_ = scratch_ / R"(Say "cheese" \ co)";
  serve({"--session", session_.string()});
  ASSERT_EQ(ctl({"shoot", "1"}).exitCode, 0);
  const fs::path frame = session_ / "Capture" / "IMG_0001.CR3";
  ASSERT_EQ(ctl({"capture-folder", (session_ / "Capture" / "Second").string()}).exitCode, 0);
  touch(session_ / "Unrelated" / "IMG_0001.CR3");
  touch(session_ / "Capture" / "IMG_0001.xmp");

  ASSERT_EQ(run(filled(Script::prepareRecipe, "%OUTPUT%", (scratch_ / "out").string())), "OK");
  EXPECT_EQ(run(processPath(session_ / "Unrelated" / "IMG_0001.CR3")), "NOTFOUND");
  EXPECT_EQ(run(processPath(session_ / "Capture" / "IMG_0001.xmp")), "NOTFOUND");
  EXPECT_EQ(run(processPath(session_ / "Capture" / "IMG_0404.CR3")), "NOTFOUND");
  EXPECT_EQ(run(processPath(session_ / "Capture" / "Second" / ".." / "IMG_0001.CR3")), "NOTFOUND");

  // Still the document's, though capturing has moved on to another folder.
  processUntilDone(processPath(frame), scratch_ / "out");
  EXPECT_TRUE(isCompleteJpeg(scratch_ / "out" / "IMG_0001.jpg"));

  // Unescaped, or not one of the agent's scripts at all: it does not compile.
  for (const std::string& script : {filled(Script::processPath, "%PATH%", frame.string()), std::string("return 1")}) {
    const auto reply = app_.runScript(script);
    EXPECT_EQ(reply.busError, "");
    EXPECT_FALSE(reply.ok);
    EXPECT_EQ(reply.errorNumber, -2741);
  }
}

}  // namespace
}  // namespace vantle::testing
