#include "agent/storage/scratch_folder.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/support/temp_folder.h"

namespace vantle::agent {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;

class ScratchFolderTest : public ::testing::Test {
 protected:
  testing::TempFolder temp;
  fs::path root = temp / "OrvaneVantle";
  fs::path outside = temp / "Elsewhere";

  void SetUp() override {
    fs::create_directories(root);
    fs::create_directories(outside);
    testing::TempFolder::writeAt(root / "segments.jsonl", {'{', '}', '\n'});
    testing::TempFolder::writeAt(outside / "keep.jpg", {0xFF, 0xD8, 0xFF, 0xD9});
  }
};

TEST_F(ScratchFolderTest, ALinkInPlaceOfTheFolderIsNeverOpenedSoNothingOfTheRootIsEmptied) {
  fs::create_directory_symlink(root, root / "quickproof");
  EXPECT_FALSE(ScratchFolder::open(root, "quickproof", true));
  fs::remove(root / "quickproof");
  fs::create_directory_symlink(outside, root / "quickproof");
  EXPECT_FALSE(ScratchFolder::open(root, "quickproof", true));
  EXPECT_TRUE(fs::exists(root / "segments.jsonl"));
  EXPECT_TRUE(fs::exists(outside / "keep.jpg"));

  // Nor anything that does not lie strictly below the root, or is no folder.
  EXPECT_FALSE(ScratchFolder::open(root, "", true));
  EXPECT_FALSE(ScratchFolder::open(root, "../Elsewhere", false));
  EXPECT_FALSE(ScratchFolder::open(root, outside, false));
  testing::TempFolder::writeAt(root / "file", {});
  EXPECT_FALSE(ScratchFolder::open(root, "file", true));
}

TEST_F(ScratchFolderTest, EmptyingRemovesWhatIsInsideAndOnlyThat) {
  const auto folder = ScratchFolder::open(root, "quickproof", true);
  ASSERT_TRUE(folder);
  testing::TempFolder::writeAt(root / "quickproof" / "IMG_0001.jpg", {0xFF, 0xD8});
  testing::TempFolder::writeAt(root / "quickproof" / "deep" / "er" / "IMG_0002.jpg", {0xFF, 0xD8});
  fs::create_symlink(outside / "keep.jpg", root / "quickproof" / "linked.jpg");
  fs::create_directory_symlink(outside, root / "quickproof" / "linked-folder");

  EXPECT_THAT(ScratchFolder::regularFiles(*folder), ElementsAre("IMG_0001.jpg"));  // links are not read
  ScratchFolder::empty(*folder);
  EXPECT_TRUE(fs::is_empty(root / "quickproof"));
  EXPECT_TRUE(fs::exists(outside / "keep.jpg"));
  EXPECT_TRUE(fs::exists(root / "segments.jsonl"));

  // The folder opened is the one emptied, even if the name is swapped for a link meanwhile.
  testing::TempFolder::writeAt(root / "quickproof" / "IMG_0003.jpg", {0xFF, 0xD8});
  fs::rename(root / "quickproof", root / "moved");
  fs::create_directory_symlink(root, root / "quickproof");
  ScratchFolder::empty(*folder);
  EXPECT_TRUE(fs::is_empty(root / "moved"));
  EXPECT_TRUE(fs::exists(root / "segments.jsonl"));
}

}  // namespace
}  // namespace vantle::agent
