#include "core/frame_count_rule.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace vantle::core {
namespace {

using FrameCountRule::CountingMode;
using FrameCountRule::FrameTally;

TEST(FrameCountRule, ConstantSetsHaveTheirExactSizes) {
  EXPECT_EQ(FrameCountRule::rawExtensions().size(), 38u);
  EXPECT_EQ(FrameCountRule::excludedExtensions().size(), 27u);
  EXPECT_EQ(FrameCountRule::excludedDirectoryNames().size(), 6u);
  EXPECT_THAT(FrameCountRule::documentPackageSuffixes(),
              ::testing::ElementsAre(".cosessiondb", ".cocatalogdb"));
}

TEST(FrameCountRule, EachNameIsTakenApartAsTheRuleSays) {
  struct Case {
    const char* name;
    bool counts;
    const char* stem;       // of a candidate
    const char* extension;  // of a candidate
    bool isRaw;             // by extension alone, candidate or not
  };
  const std::vector<Case> cases{
      {"img_0001.Cr3", true, "img_0001", "cr3", true},
      {"img_0001.Jpg", true, "img_0001", "jpg", false},
      {"A.b.NEF", true, "a.b", "nef", true},
      {"Caf\u00c9.DNG", true, "caf\u00e9", "dng", true},
      // Raw developers' sidecars of a picture belong to its capture; one
      // named after something else is a candidate like any other.
      {"IMG_0001.CR3.xmp", false, "", "", false},
      {"IMG_0001.JPG.pp3", false, "", "", false},
      {"img_0001.nef.DOP", false, "", "", false},
      {"notes.txt.xmp", true, "notes.txt", "xmp", false},
      {"IMG_0001.xmp", true, "img_0001", "xmp", false},
      {".hidden.cr3", false, "", "", true},
      {"x.cos", false, "", "", false},
      {"README", false, "", "", false},
      {"trailing.", false, "", "", false},
      {"Session.cosessiondb", false, "", "", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FrameCountRule::countsAs(c.name), c.counts) << c.name;
    EXPECT_EQ(FrameCountRule::isRaw(c.name), c.isRaw) << c.name;
    const auto parts = FrameCountRule::candidate(c.name);
    ASSERT_EQ(parts.has_value(), c.counts) << c.name;
    if (!parts) continue;
    EXPECT_EQ(parts->stem, c.stem) << c.name;
    EXPECT_EQ(parts->extension, c.extension) << c.name;
    EXPECT_EQ(FrameCountRule::captureStem(c.name), c.stem) << c.name;
  }
  // System files, Capture One's own files, partial downloads and anything inside a document.
  for (const char* name :
       {"", "Thumbs.db", "upload.crdownload", "Session.cosessiondb.backup.jpg"}) {
    EXPECT_FALSE(FrameCountRule::countsAs(name)) << name;
  }
}

TEST(FrameCountRule, EveryRawExtensionIsFoundAndNoNeighbourOfOne) {
  for (std::string_view raw : FrameCountRule::rawExtensions()) {
    const auto candidate = FrameCountRule::candidate("IMG_0001." + std::string(raw));
    ASSERT_TRUE(candidate) << raw;
    EXPECT_TRUE(candidate->isRaw) << raw;
    EXPECT_EQ(candidate->extension, raw);
  }
  // Prefixes, extensions and near misses of known ones are plain candidates.
  for (const char* name : {"a.cr", "a.cr33", "a.dam_ingestedx", "a.dam_ingeste", "a.é"}) {
    const auto candidate = FrameCountRule::candidate(name);
    ASSERT_TRUE(candidate) << name;
    EXPECT_FALSE(candidate->isRaw) << name;
  }
}

TEST(FrameCountRule, ExcludedDirectories) {
  for (const char* name : {"CaptureOne", "PREVIEWS", ".git", "Settings153"}) {
    EXPECT_TRUE(FrameCountRule::isExcludedDirectory(name)) << name;
  }
  for (const char* name : {"settings", "Settings1a", "MySettings1", "Capture"}) {
    EXPECT_FALSE(FrameCountRule::isExcludedDirectory(name)) << name;
  }
}

TEST(FrameCountRule, TallySplitsCapturesAndOrphansByModeAndCollapsesVariantSpellings) {
  const std::vector<std::string> names{"A.CR3", "A.JPG", "B.JPG", "B.TIF", "C.xmp", ".DS_Store", "D.cos"};
  EXPECT_EQ(FrameCountRule::tally(names, CountingMode::rawOnly),
            (FrameTally{1, 2, {"jpg", "tif", "xmp"}}));
  EXPECT_EQ(FrameCountRule::tally(names, CountingMode::anyImage), (FrameTally{3, 0, {}}));
  EXPECT_EQ(FrameCountRule::tally({"a.cr3", "A.CR3", "A.NEF"}, CountingMode::rawOnly),
            (FrameTally{1, 0, {}}));
  // darktable and RawTherapee beside every RAW, and beside a camera JPEG:
  // no capture counts twice, and none becomes an orphan.
  const std::vector<std::string> developed{"IMG_1.CR3", "IMG_1.CR3.xmp", "IMG_1.CR3.pp3", "IMG_2.JPG", "IMG_2.JPG.xmp"};
  EXPECT_EQ(FrameCountRule::tally(developed, CountingMode::anyImage), (FrameTally{2, 0, {}}));
  EXPECT_EQ(FrameCountRule::tally(developed, CountingMode::rawOnly), (FrameTally{1, 1, {"jpg"}}));
  // Two spellings of one accented stem (é as one code point, e + combining acute) are one capture.
  EXPECT_EQ(FrameCountRule::tally({"Caf\u00e9_01.CR3", "Cafe\u0301_01.jpg"}, CountingMode::rawOnly),
            (FrameTally{1, 0, {}}));
}

}  // namespace
}  // namespace vantle::core
