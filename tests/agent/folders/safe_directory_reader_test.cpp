#include "agent/folders/safe_directory_reader.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "agent/folders/capture_path.h"
#include "agent/folders/volume_locality.h"
#include "tests/support/temp_folder.h"
#include "tests/agent/folders/fixtures/without_dac_override.h"

namespace vantle::agent {
namespace {

namespace fs = std::filesystem;
using core::FrameCountRule::CountingMode;
using testing::TempFolder;
using ::testing::ElementsAre;
using Names = vantle::agent::FrameNames;

SafeDirectoryReader reader;

TEST(SafeDirectoryReader, CountsCapturesByStemUnderEitherMode) {
  TempFolder folder;
  for (const char* name : {"A.JPG", "A.CR3", "B.JPG", "b.xmp"}) folder.write(name);

  const auto rawOnly = reader.read(folder.str(), CountingMode::rawOnly);
  EXPECT_EQ(rawOnly.frameCount, 1);
  EXPECT_EQ(rawOnly.orphanCount, 1);
  EXPECT_THAT(rawOnly.orphanExtensions, ElementsAre("jpg", "xmp"));
  EXPECT_EQ(rawOnly.lastFileName, "A.CR3");  // a capture is named after its RAW file
  EXPECT_EQ(rawOnly.names, Names{"A.CR3"});
  EXPECT_FALSE(rawOnly.readFailed);
  EXPECT_EQ(rawOnly.path, CapturePath::canonical(folder.path()));

  const auto anyImage = reader.read(folder.str(), CountingMode::anyImage);
  EXPECT_EQ(anyImage.frameCount, 2);
  EXPECT_EQ(anyImage.orphanCount, 0);
  EXPECT_TRUE(anyImage.orphanExtensions.empty());
  EXPECT_THAT(anyImage.names, ::testing::AnyOf(Names{"A.CR3", "B.JPG"}, Names{"A.CR3", "b.xmp"}));
  EXPECT_EQ(anyImage.lastFileName, *std::max_element(anyImage.names.begin(), anyImage.names.end()));
}

TEST(SafeDirectoryReader, StemsIgnoreCaseAndTheLastNameFollowsByteOrder) {
  TempFolder folder;
  for (const char* name : {"a.cr3", "A.JPG", "IMG_9.CR3", "IMG_10.CR3", "img_9.xmp"}) folder.write(name);
  const auto listing = reader.read(folder.str(), CountingMode::rawOnly);
  EXPECT_EQ(listing.names, (Names{"a.cr3", "IMG_9.CR3", "IMG_10.CR3"}));
  EXPECT_EQ(listing.orphanCount, 0);
  EXPECT_EQ(listing.lastFileName, "a.cr3");  // lower case sorts after upper case
  fs::remove(folder / "a.cr3");
  EXPECT_EQ(reader.read(folder.str(), CountingMode::rawOnly).lastFileName, "IMG_9.CR3");
}

TEST(SafeDirectoryReader, AReaderKeepsNothingOfOneFolderInTheNext) {
  // The reader keeps its buffers between readings: a large folder, a small
  // one, then the large one again must each read as if read alone.
  TempFolder large;
  FrameNames largeNames;
  for (int i = 0; i < 3000; ++i) {
    const std::string stem = "IMG_" + std::to_string(i);
    large.write(stem + ".xmp");
    if (i % 10 != 0) {
      large.write(stem + ".CR3");
      largeNames.insert(stem + ".CR3");
    }
  }
  TempFolder small;
  small.write("IMG_5.JPG");

  SafeDirectoryReader one;
  for (int pass = 0; pass < 2; ++pass) {
    const auto first = one.read(large.str(), CountingMode::rawOnly);
    EXPECT_EQ(first.names, largeNames);
    EXPECT_EQ(first.orphanCount, 300);
    EXPECT_THAT(first.orphanExtensions, ElementsAre("xmp"));
    EXPECT_EQ(first.lastFileName, "IMG_999.CR3");

    SafeDirectoryReader copy = one;
    const auto second = copy.read(small.str(), CountingMode::anyImage);
    EXPECT_EQ(second.names, Names{"IMG_5.JPG"});
    EXPECT_TRUE(second.orphanExtensions.empty());
    EXPECT_EQ(one.read(small.str(), CountingMode::rawOnly).orphanExtensions, std::vector<std::string>{"jpg"});
  }
}

TEST(SafeDirectoryReader, OnlyVisibleRegularCandidateFilesCount) {
  TempFolder folder;
  folder.write("IMG_0001.CR3");
  for (const char* name : {".DS_Store", "._IMG_0005.CR3", "IMG_0001.cos", "IMG_0007.CR3.tmp", "README"}) {
    folder.write(name);
  }
  folder.folder("IMG_0002.CR3");                   // a folder named like a frame
  folder.write("Shoot.cosessiondb/IMG_0008.CR3");  // inside a package
  folder.write("Sub/IMG_0009.CR3");                // one level down
  fs::create_symlink(folder / "IMG_0001.CR3", folder / "IMG_0003.CR3");  // a link named like a frame
  ASSERT_EQ(mkfifo((folder / "IMG_0004.CR3").c_str(), 0600), 0);
  EXPECT_EQ(reader.read(folder.str(), CountingMode::anyImage).names, Names{"IMG_0001.CR3"});
}

TEST(SafeDirectoryReader, FoldersThatCannotBeListedFailWhileEmptyOnesDoNot) {
  TempFolder folder;
  folder.write("Frame.CR3");
  folder.write("Locked/IMG_0002.CR3");
  fs::create_symlink(folder.path(), folder / "link");

  const auto empty = reader.read(folder.folder("Empty").string(), CountingMode::rawOnly);
  EXPECT_FALSE(empty.readFailed);
  EXPECT_EQ(empty.frameCount, 0);
  EXPECT_FALSE(empty.lastFileName);

  const auto missing = reader.read((folder / "link/Gone/../Gone/").string(), CountingMode::rawOnly);
  EXPECT_TRUE(missing.readFailed);
  EXPECT_EQ(missing.path, CapturePath::canonical(folder.path()) + "/Gone");
  EXPECT_TRUE(missing.isLocalVolume);
  EXPECT_TRUE(reader.read((folder / "Frame.CR3").string(), CountingMode::rawOnly).readFailed);

  fs::permissions(folder / "Locked", fs::perms::none);
  SafeDirectoryReader::Listing locked;
  testing::runWithoutDacOverride([&] { locked = reader.read((folder / "Locked").string(), CountingMode::rawOnly); });
  fs::permissions(folder / "Locked", fs::perms::owner_all);
  EXPECT_TRUE(locked.readFailed);
  EXPECT_EQ(locked.frameCount, 0);
}

TEST(VolumeLocality, NetworkAndFuseFileSystemsAreNotLocal) {
  for (long type : {0x6969L, 0xFF534D42L, 0xFE534D42L, 0x01021997L, 0x65735546L}) {
    EXPECT_FALSE(isLocalFileSystemType(type)) << std::hex << type;
  }
  // statfs may sign-extend the magic; it still matches.
  EXPECT_FALSE(isLocalFileSystemType(static_cast<int32_t>(0xFF534D42)));
  for (long type : {0xEF53L, 0x01021994L, 0x12345678L}) EXPECT_TRUE(isLocalFileSystemType(type)) << type;

  TempFolder folder;
  EXPECT_TRUE(isLocalVolume(folder.str()));
  EXPECT_TRUE(isLocalVolume((folder / "missing").string()));  // unknown counts as local
}

TEST(CapturePath, ResolvesLinksThenStandardizes) {
  TempFolder folder;
  const std::string root = CapturePath::canonical(folder.path());
  folder.folder("Shoot/Capture");
  fs::create_directory_symlink(folder / "Shoot", folder / "link");

  EXPECT_EQ(CapturePath::canonical(std::string()), "");
  EXPECT_EQ(CapturePath::canonical("/"), "/");
  EXPECT_EQ(CapturePath::canonical(folder.str() + "/link/./Capture/../Capture/"), root + "/Shoot/Capture");
  // The part that does not exist yet is standardized under the resolved part.
  EXPECT_EQ(CapturePath::canonical(folder.str() + "/link/New/../Later//"), root + "/Shoot/Later");

  const fs::path before = fs::current_path();
  fs::current_path(folder / "Shoot");
  EXPECT_EQ(CapturePath::canonical("Capture"), root + "/Shoot/Capture");
  fs::current_path(before);
}

TEST(CapturePath, SameComparesCanonicalFormsUpToCanonicalEquivalence) {
  TempFolder folder;
  folder.folder("Caf\xC3\xA9");  // composed é
  fs::create_directory_symlink(folder / "Caf\xC3\xA9", folder / "link");
  const std::string composed = folder.str() + "/Caf\xC3\xA9";

  EXPECT_TRUE(CapturePath::same(std::nullopt, std::nullopt));
  EXPECT_FALSE(CapturePath::same(composed, std::nullopt));
  EXPECT_FALSE(CapturePath::same(std::nullopt, composed));
  EXPECT_TRUE(CapturePath::same(composed, folder.str() + "/Cafe\xCC\x81"));  // decomposed
  EXPECT_TRUE(CapturePath::same(folder.str() + "/link/", composed));
  EXPECT_FALSE(CapturePath::same(composed, folder.str() + "/Cafe"));
}

}  // namespace
}  // namespace vantle::agent
