#include "agent/folders/safe_directory_reader.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "agent/capture_path.h"
#include "agent/folders/frame_names.h"
#include "agent/folders/volume_locality.h"
#include "tests/support/temp_folder.h"

namespace vantle::agent {
namespace {

namespace fs = std::filesystem;
using core::FrameCountRule::CountingMode;
using testing::TempFolder;
using ::testing::ElementsAre;
using Names = vantle::agent::FrameNames;

SafeDirectoryReader reader;

// Runs work on a thread that has dropped the capabilities that let root
// read any folder, so that permission failures can be tested as root too.
// Capabilities are per thread on Linux: the rest of the process keeps them.
void runWithoutDacOverride(const std::function<void()>& work) {
  std::thread([&] {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (syscall(SYS_capget, &header, data) == 0) {
      for (int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH}) data[cap / 32].effective &= ~(1u << (cap % 32));
      syscall(SYS_capset, &header, data);
    }
    work();
  }).join();
}

std::set<std::string> members(const FrameNames& names) {
  std::set<std::string> out;
  for (std::string_view name : names) EXPECT_TRUE(out.emplace(name).second) << "visited twice: " << name;
  return out;
}

TEST(FrameNames, StaysExactThroughGrowthCopiesAndMoves) {
  // Lengths from 1 to 43 bytes and names that differ only in their last
  // byte, in UTF-8 too: every shape of key the hash reads differently.
  FrameNames names;
  std::set<std::string> expected;
  for (int i = 0; i < 30000; ++i) {
    std::string name = std::to_string(i) + (i % 3 == 0 ? "é" : "") + std::string(static_cast<size_t>(i % 37), 'x');
    EXPECT_TRUE(names.insert(name));
    expected.insert(name);
  }
  EXPECT_FALSE(names.insert("1x"));
  EXPECT_EQ(names.size(), expected.size());
  EXPECT_EQ(members(names), expected);
  for (const std::string& name : expected) ASSERT_TRUE(names.contains(name)) << name;
  EXPECT_FALSE(names.contains("0"));  // only "0é" is held
  EXPECT_FALSE(names.contains("1X"));  // exact spelling, case included

  FrameNames copy = names;
  EXPECT_EQ(copy, names);
  copy.insert("new.CR3");
  EXPECT_NE(copy, names);
  EXPECT_FALSE(names.contains("new.CR3"));

  FrameNames moved = std::move(copy);
  EXPECT_TRUE(moved.contains("new.CR3"));
  EXPECT_TRUE(copy.empty());  // a set moved from is empty and usable
  copy = names;
  EXPECT_EQ(copy, names);

  // Equal by membership, whatever the order of insertion or the room reserved.
  FrameNames reserved;
  reserved.reserve(10, 40);
  for (const char* name : {"c", "b", "a"}) reserved.insert(name);
  EXPECT_EQ(reserved, (FrameNames{"a", "b", "c"}));
  EXPECT_NE(reserved, (FrameNames{"a", "b", "d"}));
}

TEST(FrameNames, RefusesANameLongerThanItCanHold) {
  FrameNames names;
  EXPECT_THROW(names.insert(std::string(70000, 'x')), std::length_error);
  EXPECT_TRUE(names.empty());
}

TEST(SafeDirectoryReader, CountsCapturesByStemUnderEitherMode) {
  TempFolder folder;
  for (const char* name : {"A.JPG", "a.CR3", "B.JPG", "b.xmp", "IMG_9.CR3", "IMG_10.CR3"}) {
    folder.write(name);
  }

  const auto rawOnly = reader.read(folder.str(), CountingMode::rawOnly);
  EXPECT_EQ(rawOnly.frameCount, 3);
  EXPECT_EQ(rawOnly.orphanCount, 1);  // stems compare without case: B is one capture
  EXPECT_THAT(rawOnly.orphanExtensions, ElementsAre("jpg", "xmp"));
  EXPECT_EQ(rawOnly.names, (Names{"a.CR3", "IMG_9.CR3", "IMG_10.CR3"}));  // named after its RAW
  EXPECT_EQ(rawOnly.lastFileName, "a.CR3");  // byte order: "a" after "I", "9" after "1"

  const auto anyImage = reader.read(folder.str(), CountingMode::anyImage);
  EXPECT_EQ(anyImage.frameCount, 4);
  EXPECT_EQ(anyImage.orphanCount, 0);
  EXPECT_TRUE(anyImage.orphanExtensions.empty());
  EXPECT_TRUE(anyImage.names.contains("B.JPG") || anyImage.names.contains("b.xmp"));
  EXPECT_EQ(anyImage.lastFileName, *std::max_element(anyImage.names.begin(), anyImage.names.end()));

  fs::remove(folder / "a.CR3");
  EXPECT_EQ(reader.read(folder.str(), CountingMode::rawOnly).lastFileName, "IMG_9.CR3");
}

TEST(SafeDirectoryReader, AReaderKeepsNothingOfOneFolderInTheNext) {
  // The reader keeps its buffers between readings: a large folder, a small
  // one, then the large one again must each read as if read alone.
  TempFolder large;
  for (int i = 0; i < 3000; ++i) {
    const std::string stem = "IMG_" + std::to_string(i);
    large.write(stem + ".xmp");
    if (i % 10 != 0) large.write(stem + ".CR3");
  }
  TempFolder small;
  small.write("IMG_5.JPG");

  SafeDirectoryReader one;
  for (int pass = 0; pass < 2; ++pass) {
    const auto first = one.read(large.str(), CountingMode::rawOnly);
    EXPECT_EQ(first.frameCount, 2700);
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
  EXPECT_FALSE(empty.lastFileName);

  const auto missing = reader.read((folder / "link/Gone/../Gone/").string(), CountingMode::rawOnly);
  EXPECT_TRUE(missing.readFailed);
  EXPECT_EQ(missing.path, CapturePath::canonical(folder.path()) + "/Gone");
  EXPECT_TRUE(reader.read((folder / "Frame.CR3").string(), CountingMode::rawOnly).readFailed);

  fs::permissions(folder / "Locked", fs::perms::none);
  SafeDirectoryReader::Listing locked;
  runWithoutDacOverride([&] { locked = reader.read((folder / "Locked").string(), CountingMode::rawOnly); });
  fs::permissions(folder / "Locked", fs::perms::owner_all);
  EXPECT_TRUE(locked.readFailed);
}

TEST(VolumeLocality, NetworkFileSystemsAreNotLocalAndUnknownOnesAre) {
  // statfs may sign-extend the magic; it still matches.
  EXPECT_FALSE(isLocalFileSystemType(static_cast<int32_t>(0xFF534D42)));  // CIFS
  EXPECT_TRUE(isLocalFileSystemType(0xEF53));  // ext4
  EXPECT_TRUE(isLocalVolume("/nonexistent/vantle"));  // unknown counts as local
}

TEST(CapturePath, CanonicalFormsCompareUpToUnicodeEquivalence) {
  TempFolder folder;
  folder.folder("Caf\xC3\xA9");  // composed é
  fs::create_directory_symlink(folder / "Caf\xC3\xA9", folder / "link");
  const std::string composed = folder.str() + "/Caf\xC3\xA9";

  EXPECT_EQ(CapturePath::canonical(std::string()), "");
  EXPECT_EQ(CapturePath::canonical("/"), "/");
  EXPECT_FALSE(CapturePath::same(composed, std::nullopt));
  EXPECT_TRUE(CapturePath::same(composed, folder.str() + "/Cafe\xCC\x81"));  // decomposed
  EXPECT_TRUE(CapturePath::same(folder.str() + "/link/", composed));
  EXPECT_FALSE(CapturePath::same(composed, folder.str() + "/Cafe"));
}

}  // namespace
}  // namespace vantle::agent
