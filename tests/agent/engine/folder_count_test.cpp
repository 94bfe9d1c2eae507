#include "agent/engine/folder_count.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/support/instants.h"
#include "tests/support/temp_folder.h"

namespace vantle::agent {
namespace {

namespace fs = std::filesystem;
using core::FrameCountRule::CountingMode;

core::WireSegment visit(const fs::path& path, double openedAt, int64_t start, int64_t end,
                        std::optional<std::string> shootID) {
  core::WireSegment s;
  s.path = path.string();
  s.openedAt = testing::at(openedAt);
  s.startFrameCount = start;
  s.endFrameCount = end;
  s.shootID = std::move(shootID);
  return s;
}

class FolderCountTest : public ::testing::Test {
 protected:
  std::vector<core::FolderReading> count(const std::vector<std::string>& paths,
                                         const std::vector<core::WireSegment>& segments) {
    return FolderCount::readings(paths, segments, reader, CountingMode::rawOnly);
  }

  testing::TempFolder temp;
  fs::path root = fs::canonical(temp.path());
  SafeDirectoryReader reader;
};

TEST_F(FolderCountTest, ShootFramesCountFromTheFirstVisitOfTheLatestSegmentsShootUnderAnySpelling) {
  const fs::path look = root / "Look", link = root / "Link";
  for (std::string name : {"A.CR3", "B.CR3", "C.CR3", "D.CR3", "E.CR3", "F.jpg"}) temp.write("Look/" + name, "raw");
  fs::create_directory_symlink(look, link);

  const auto readings = count({look.string()}, {
                                                   visit(look, 0, 0, 1, "OLD"),
                                                   visit(look, 100, 2, 3, "NOW"),  // first visit of this shoot
                                                   visit(look, 200, 3, 4, "NOW"),
                                               });
  ASSERT_EQ(readings.size(), 1u);
  EXPECT_EQ(readings[0].frameCount, 5);
  EXPECT_EQ(readings[0].orphanCount, 1);
  EXPECT_EQ(readings[0].shootFrames, 3);  // 5 now, 2 before the shoot came

  // Deletions never make a negative count; a latest segment of no shoot says nothing.
  EXPECT_EQ(count({look.string()}, {visit(look, 0, 9, 9, "NOW")})[0].shootFrames, 0);
  EXPECT_EQ(count({look.string()}, {visit(look, 0, 0, 1, "NOW"), visit(look, 50, 1, 2, std::nullopt)})[0].shootFrames,
            std::nullopt);

  // Stored under the link, asked under the real path.
  EXPECT_EQ(count({look.string()}, {visit(link, 0, 1, 2, "S")})[0].shootFrames, 4);
  // Both spellings in one shoot: the visit stored under the path as asked gives the baseline.
  EXPECT_EQ(count({link.string()}, {visit(look, 0, 0, 1, "S"), visit(link, 10, 1, 2, "S")})[0].shootFrames, 4);
}

TEST_F(FolderCountTest, MissingAndUnreadableFoldersSaySoWithoutAShootCount) {
  const fs::path file = testing::TempFolder::writeAt(root / "file.CR3", {'r'});
  const auto readings = count({(root / "Gone").string(), file.string(), ""},
                              {visit(root / "Gone", 0, 0, 3, "S"), visit(file, 0, 0, 3, "S")});
  for (const core::FolderReading& r : readings) {
    EXPECT_FALSE(r.exists) << r.path;
    EXPECT_FALSE(r.readable) << r.path;
    EXPECT_EQ(r.frameCount, 0) << r.path;
    EXPECT_FALSE(r.shootFrames) << r.path;
  }

  if (::geteuid() == 0) return;  // root reads any folder
  const fs::path locked = root / "Locked";
  fs::create_directories(locked);
  ::chmod(locked.c_str(), 0);
  const auto unreadable = count({locked.string()}, {visit(locked, 0, 0, 3, "S")});
  ::chmod(locked.c_str(), 0755);
  EXPECT_TRUE(unreadable[0].exists);
  EXPECT_FALSE(unreadable[0].readable);
  EXPECT_FALSE(unreadable[0].shootFrames);
}

}  // namespace
}  // namespace vantle::agent
