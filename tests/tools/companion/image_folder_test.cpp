#include "tools/companion/image_folder.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

namespace vantle::tools {
namespace {

namespace fs = std::filesystem;

TEST(ImageFolder, KeepsOnlyAPlainFileNameOfWhatTheAgentSuggests) {
  EXPECT_EQ(safeImageName("A_0001.jpg", 1), "A_0001.jpg");
  EXPECT_EQ(safeImageName("../../.ssh/authorized_keys", 1), "authorized_keys");
  for (const std::string& unusable : {std::string(""), std::string(".."), std::string("dir/"), std::string("/s/.."),
                                      std::string("a\0b.jpg", 7), std::string(201, 'x')}) {
    EXPECT_EQ(safeImageName(unusable, 3), "image-3.jpg") << unusable;
  }
  EXPECT_EQ(safeImageName(std::nullopt, 2), "image-2.jpg");
}

TEST(ImageFolder, AFolderThatCannotBeWrittenIsASentenceAndLeavesNothingBehind) {
  const fs::path root = fs::temp_directory_path() / ("vantle-image-folder-" + std::to_string(getpid()));
  fs::create_directories(root);
  std::ofstream(root / "file") << "x";
  auto notAFolder = ImageFolder::open(root / "file");
  ASSERT_TRUE(std::holds_alternative<ImageFolder::Failure>(notAFolder));
  EXPECT_THAT(std::get<ImageFolder::Failure>(notAFolder).sentence, ::testing::HasSubstr("cannot use"));

  auto opened = ImageFolder::open(root / "shots");
  ASSERT_TRUE(std::holds_alternative<ImageFolder>(opened));
  fs::create_directory(root / "shots" / "a.jpg");  // the name is taken by a folder
  auto written = std::get<ImageFolder>(opened).write({1}, "a.jpg");
  ASSERT_TRUE(std::holds_alternative<ImageFolder::Failure>(written));
  EXPECT_THAT(std::get<ImageFolder::Failure>(written).sentence, ::testing::HasSubstr("cannot write a.jpg"));
  EXPECT_EQ(std::distance(fs::directory_iterator(root / "shots"), {}), 1);  // no temporary file left

  fs::remove_all(root / "shots");
  written = std::get<ImageFolder>(opened).write({1}, "b.jpg");
  EXPECT_THAT(std::get<ImageFolder::Failure>(written).sentence, ::testing::HasSubstr("cannot write into"));
  fs::remove_all(root);
}

}  // namespace
}  // namespace vantle::tools
