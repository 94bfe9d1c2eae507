#include "agent/folders/folder_contents.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "agent/folders/frame_watcher.h"
#include "agent/folders/safe_directory_reader.h"
#include "tests/agent/folders/fixtures/recorder.h"
#include "tests/support/temp_folder.h"

namespace vantle::agent {
namespace {

namespace fs = std::filesystem;
using core::FrameCountRule::CountingMode;

// A folder changed at random the ways a shoot and its people change one:
// frames and their sidecars land, are renamed and deleted, folders and
// links appear under frame names, hidden files come and go.
class RandomFolder {
 public:
  RandomFolder(const fs::path& folder, uint32_t seed) : folder_(folder), random_(seed) {}

  // Makes one change; returns the names it touched.
  std::vector<std::string> change() {
    const std::string name = randomName();
    const fs::path path = folder_ / name;
    std::error_code error;
    switch (pick(10)) {
      case 0:
      case 1:
      case 2:
      case 3:  // a file lands (or is written again)
        if (!fs::is_directory(path, error) && !fs::is_symlink(path, error)) testing::TempFolder::writeAt(path, {'x'});
        return {name};
      case 4:
      case 5: {  // a file is renamed, perhaps over another
        const std::string from = existing();
        if (from.empty() || fs::is_directory(folder_ / name, error)) return {};
        fs::rename(folder_ / from, path, error);
        return {from, name};
      }
      case 6:
      case 7: {  // a file is deleted
        const std::string gone = existing();
        if (!gone.empty()) fs::remove_all(folder_ / gone, error);
        return {gone};
      }
      case 8:  // a folder under a frame's name
        fs::create_directory(path, error);
        return {name};
      default:  // a link under a frame's name, to a frame
        fs::create_symlink(folder_ / "IMG_0001.CR3", path, error);
        return {name};
    }
  }

 private:
  size_t pick(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(random_); }

  // Few stems, so that captures gain and lose files. One RAW and one other
  // image extension at most per stem: a capture's name is then the same
  // whatever order its files were listed in.
  std::string randomName() {
    static const std::vector<std::string> extensions{"CR3", "JPG", "CR3.xmp", "cos"};
    const std::string stem = "IMG_000" + std::to_string(pick(8));
    if (pick(12) == 0) return "." + stem + ".CR3";
    return stem + "." + extensions[pick(extensions.size())];
  }

  std::string existing() {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder_)) names.push_back(entry.path().filename().string());
    return names.empty() ? std::string() : names[pick(names.size())];
  }

  fs::path folder_;
  std::mt19937 random_;
};

void expectSameAsAFullListing(const FolderContents& contents, const fs::path& folder, const std::string& step) {
  SafeDirectoryReader reader;
  for (const CountingMode mode : {CountingMode::rawOnly, CountingMode::anyImage}) {
    const SafeDirectoryReader::Listing listing = reader.read(folder.string(), mode);
    ASSERT_FALSE(listing.readFailed);
    ASSERT_EQ(contents.frameCount(mode), listing.frameCount) << step;
    ASSERT_EQ(contents.orphanCount(mode), listing.orphanCount) << step;
    ASSERT_EQ(contents.orphanExtensions(mode), listing.orphanExtensions) << step;
    ASSERT_EQ(contents.lastFileName(mode), listing.lastFileName) << step;
    ASSERT_EQ(contents.frameNames(mode), listing.names) << step;
  }
}

void fullPass(FolderContents& contents, const fs::path& folder) {
  contents.beginListing();
  ASSERT_TRUE(SafeDirectoryReader::listRegularFiles(
      folder.string(), [&](std::string_view name) { contents.set(name, true, CountingMode::rawOnly); }));
  contents.endListing(CountingMode::rawOnly);
}

TEST(FolderContents, ChangesAppliedOneEntryAtATimeAgreeWithAFullListingAfterEveryStep) {
  for (uint32_t seed = 1; seed <= 6; ++seed) {
    testing::TempFolder temp;
    const fs::path folder = temp.folder("Capture");
    RandomFolder changes(folder, seed);
    FolderContents contents;
    for (int step = 0; step < 300; ++step) {
      const std::string where = "seed " + std::to_string(seed) + ", step " + std::to_string(step);
      if (step % 50 == 49) {
        // The events were lost (an overflow): the next pass alone must put
        // it right, however far the contents had drifted.
        for (int lost = 0; lost < 20; ++lost) changes.change();
        fullPass(contents, folder);
      } else {
        for (const std::string& name : changes.change()) {
          contents.set(name, SafeDirectoryReader::isRegularFile(folder.string(), name), CountingMode::rawOnly);
        }
      }
      expectSameAsAFullListing(contents, folder, where);
      if (::testing::Test::HasFatalFailure()) return;
    }
  }
}

TEST(FolderContents, SaysWhichFrameAppearedAndWhenACaptureIsNamedAnew) {
  FolderContents contents;
  const auto raw = CountingMode::rawOnly;
  EXPECT_EQ(contents.set("IMG_0001.JPG", true, raw), std::nullopt);  // an orphan, not a frame
  EXPECT_EQ(contents.set("IMG_0001.CR3", true, raw), "IMG_0001.CR3");  // the capture becomes a frame
  EXPECT_EQ(contents.set("IMG_0001.CR3", true, raw), std::nullopt);  // written again
  EXPECT_EQ(contents.set("IMG_0001.CR3.xmp", true, raw), std::nullopt);  // a sidecar
  EXPECT_EQ(contents.set("IMG_0001.JPG", false, raw), std::nullopt);  // the frame stays
  EXPECT_EQ(contents.set("IMG_0002.JPG", true, CountingMode::anyImage), "IMG_0002.JPG");
  EXPECT_EQ(contents.frameCount(raw), 1);
  EXPECT_EQ(contents.orphanExtensions(raw), std::vector<std::string>{"jpg"});

  // Two images of one stem without RAW: named after the first, in order.
  EXPECT_EQ(contents.set("IMG_0002.TIF", true, CountingMode::anyImage), std::nullopt);
  EXPECT_EQ(contents.lastFileName(CountingMode::anyImage), "IMG_0002.JPG");
  EXPECT_EQ(contents.orphanExtensions(raw), (std::vector<std::string>{"jpg", "tif"}));
  EXPECT_EQ(contents.set("IMG_0002.JPG", false, CountingMode::anyImage), "IMG_0002.TIF");

  // A pass that sees only some files drops the others.
  contents.beginListing();
  contents.set("IMG_0001.CR3", true, raw);
  contents.endListing(raw);
  EXPECT_EQ(contents.frameCount(CountingMode::anyImage), 1);
  EXPECT_EQ(contents.orphanCount(raw), 0);
  EXPECT_TRUE(contents.orphanExtensions(raw).empty());
}

// The watcher end to end: bursts of random changes under real inotify, each
// followed by the count a full listing gives, with a heartbeat too slow to
// help.
TEST(FolderContents, TheFrameWatcherFollowsRandomChangesByTheirEventsAlone) {
  testing::TempFolder temp;
  const fs::path folder = temp.folder("Capture");
  testing::Recorder<FrameWatcher::Listing> reports;
  auto watcher = FrameWatcher::make({.localHeartbeat = 3600});
  watcher->setOnChange([&](const FrameWatcher::Listing& listing) { reports.add(listing); });
  reports.add(watcher->watch(folder.string()));
  RandomFolder changes(folder, 42);
  SafeDirectoryReader reader;
  for (int burst = 0; burst < 25; ++burst) {
    for (int i = 0; i < 8; ++i) changes.change();
    const SafeDirectoryReader::Listing expected = reader.read(folder.string(), CountingMode::rawOnly);
    const auto matches = [&](const FrameWatcher::Listing& l) {
      return l.frameCount == expected.frameCount && l.orphanCount == expected.orphanCount &&
             l.orphanExtensions == expected.orphanExtensions && l.lastFileName == expected.lastFileName;
    };
    // The last report is the folder as it is now, once the events arrived.
    ASSERT_TRUE(testing::eventually([&] { return matches(reports.values().back()); })) << "burst " << burst;
  }
}

}  // namespace
}  // namespace vantle::agent
