#include "agent/capture/capture_one_pulls.h"

#include <sys/stat.h>
#include <utime.h>

#include <fstream>
#include <future>

#include "core/frame_count_rule.h"
#include "tests/agent/capture/capture_fixture.h"

namespace vantle::agent {
namespace {

namespace fs = std::filesystem;
using core::ImagePullOutcome;
using testing::CaptureTest;

std::vector<std::string> names(const ImagePullOutcome& outcome) {
  std::vector<std::string> out;
  if (const auto* pulled = std::get_if<core::ImagesPulled>(&outcome)) {
    for (const auto& image : pulled->images) out.push_back(image.fileName);
  }
  return out;
}

std::string reason(const ImagePullOutcome& outcome) {
  const auto* unavailable = std::get_if<core::ImageUnavailable>(&outcome);
  return unavailable ? unavailable->reason : "(images)";
}

class CaptureOnePullsTest : public CaptureTest {
 protected:
  void SetUp() override {
    CaptureTest::SetUp();
    if (IsSkipped()) return;
    storage = std::make_shared<AgentStorage>(scratch / "storage");
    pulls = std::make_unique<CaptureOnePulls>(
        *bridge, *storage, CaptureOnePulls::Timing{.jobDeadline = 10, .statusPoll = 0.05, .collectDeadline = 5,
                                                   .filePoll = 0.05, .settlePoll = 0.1});
  }

  // The frames the stand-in finished writing into the capture folder, in
  // name order. A frame still being written is a hidden temporary file,
  // which the counting rule never takes for a frame.
  std::vector<fs::path> frames() {
    std::vector<fs::path> out;
    for (const auto& entry : fs::directory_iterator(session / "Capture")) {
      const std::string name = entry.path().filename().string();
      if (entry.is_regular_file() && core::FrameCountRule::countsAs(name)) out.push_back(entry.path());
    }
    std::sort(out.begin(), out.end());
    return out;
  }

  std::shared_ptr<AgentStorage> storage;
  std::unique_ptr<CaptureOnePulls> pulls;
};

TEST_F(CaptureOnePullsTest, QuickImagesOfTheSelectionInItsOrderSkippingTheUnreadable) {
  serve();
  ctl({"shoot", "3"});
  ASSERT_TRUE(testing::eventually([&] { return frames().size() == 3; }));
  const auto f = frames();
  // The second frame has no cache thumbnail and is no image at all.
  fs::remove(session / "Capture" / "CaptureOne" / "Cache" / "Thumbnails" / (f[1].filename().string() + ".cot"));
  std::ofstream(f[1], std::ios::trunc) << "not an image";
  ctl({"select", f[2].string(), f[1].string(), f[0].string()});

  const ImagePullOutcome outcome = pulls->fetchSelectedImage(false);
  EXPECT_EQ(names(outcome),
            (std::vector<std::string>{f[2].stem().string() + ".jpg", f[0].stem().string() + ".jpg"}));
  ctl({"select", f[1].string()});
  EXPECT_EQ(reason(pulls->fetchSelectedImage(false)), "The selected image could not be read.");
}

TEST_F(CaptureOnePullsTest, NothingSelectedNoDocumentOrNoApplicationAreSaidPlainly) {
  EXPECT_EQ(reason(pulls->fetchSelectedImage(false)), "Capture One is not running on the Mac.");
  serve();
  EXPECT_EQ(reason(pulls->fetchSelectedImage(false)), "Nothing is selected in Capture One.");
  ctl({"document", "close"});
  EXPECT_EQ(reason(pulls->fetchSelectedImage(true)), "No session is open in Capture One.");
  EXPECT_EQ(reason(pulls->quickProofForRaw("/x/IMG_1.CR3")), "No session is open in Capture One.");
  ctl({"deny", "on"});
  EXPECT_EQ(reason(pulls->fetchSelectedImage(false)), "The agent could not ask Capture One what is selected.");
  EXPECT_EQ(reason(pulls->quickProofForRaw("/x/IMG_1.CR3")), "The agent could not set up its recipe in Capture One.");
}

TEST_F(CaptureOnePullsTest, AHighResolutionPullCollectsOnlyWhatTheJobWrote) {
  serve();
  ctl({"shoot", "1"});
  ASSERT_TRUE(testing::eventually([&] { return frames().size() == 1; }));
  ctl({"select", frames()[0].string()});

  auto pending = std::async(std::launch::async, [&] { return pulls->fetchSelectedImage(true); });
  // While the job runs, an old file turns up in the output folder: it must
  // not be taken for the job's output.
  const fs::path stale = pulls->outputFolder() / "stale.jpg";
  ASSERT_TRUE(testing::eventually([&] { return fs::exists(pulls->outputFolder()); }));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  std::ofstream(stale) << "\xff\xd8 old \xff\xd9";
  struct utimbuf hourAgo {time(nullptr) - 3600, time(nullptr) - 3600};
  utime(stale.c_str(), &hourAgo);

  const ImagePullOutcome outcome = pending.get();
  ASSERT_EQ(names(outcome), std::vector<std::string>{frames()[0].stem().string() + ".jpg"});
  const auto& image = std::get<core::ImagesPulled>(outcome).images[0].data;
  EXPECT_TRUE(image.size() > 2 && image[0] == 0xFF && image[1] == 0xD8);  // a JPEG
  EXPECT_TRUE(fs::is_empty(pulls->outputFolder()));  // emptied after reading
}

TEST_F(CaptureOnePullsTest, AScratchFolderThatIsALinkIsNeitherEmptiedNorGivenToTheApplication) {
  serve();
  const fs::path root = storage->storageRoot();
  testing::TempFolder::writeAt(root / "segments.jsonl", {'{', '}', '\n'});
  fs::create_directory_symlink(root, root / "quickproof");  // pointing at the root itself

  EXPECT_EQ(reason(pulls->quickProofForRaw((session / "Capture" / "IMG_1.CR3").string())),
            "The agent has nowhere safe to put the file.");
  EXPECT_TRUE(fs::exists(root / "segments.jsonl"));
}

TEST_F(CaptureOnePullsTest, AFrameIsNamedToTheApplicationWithItsQuotesAndBackslashesEscaped) {
  serve();
  ctl({"shoot", "1"});
  ASSERT_TRUE(testing::eventually([&] { return frames().size() == 1; }));
  const fs::path odd = session / "Capture" / "Look \"3\" back\\slash.CR3";
  fs::copy_file(frames()[0], odd);

  EXPECT_EQ(names(pulls->quickProofForRaw(odd.string())), std::vector<std::string>{"Look \"3\" back\\slash.jpg"});
  EXPECT_EQ(reason(pulls->quickProofForRaw((session / "Elsewhere" / "IMG_9.CR3").string())),
            "Capture One does not have that frame in the open session.");
}

}  // namespace
}  // namespace vantle::agent
