#include "tools/companion/image_folder.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/support/temp_folder.h"

namespace vantle::tools {
namespace {

namespace fs = std::filesystem;

TEST(ImageFolder, KeepsOnlyAPlainFileNameOfWhatTheAgentSuggests) {
  EXPECT_EQ(safeImageName("Café Ärmel 東京.jpg", 1), "Café Ärmel 東京.jpg");
  EXPECT_EQ(safeImageName("../../.ssh/authorized_keys", 1), "authorized_keys");
  // Never hidden: with --out at home, ".bashrc" would be the user's own.
  EXPECT_EQ(safeImageName(".bashrc", 1), "bashrc");
  EXPECT_EQ(safeImageName("...profile", 1), "profile");
  EXPECT_EQ(safeImageName("A.1.jpg.", 1), "A.1.jpg.");  // dots inside and at the end are plain
  // Characters a terminal acts on, or that make it show another name, and
  // bytes that are not UTF-8 each become "_".
  EXPECT_EQ(safeImageName(std::string("a\0b.jpg", 7), 1), "a_b.jpg");
  EXPECT_EQ(safeImageName("\x1b]0;x\x07\t\x7f.jpg", 1), "_]0;x___.jpg");
  EXPECT_EQ(safeImageName("A\xc2\x9b" "2J.jpg", 1), "A_2J.jpg");       // C1 CSI
  EXPECT_EQ(safeImageName("A\xe2\x80\xaegpj.sh", 1), "A_gpj.sh");     // right-to-left override
  EXPECT_EQ(safeImageName("A\xff\xc3.jpg", 1), "A__.jpg");             // not UTF-8
  for (const std::string& unusable : std::vector<std::string>{"", "..", "dir/", "/s/..", std::string(201, 'x')}) {
    EXPECT_EQ(safeImageName(unusable, 3), "image-3.jpg") << unusable;
  }
  EXPECT_EQ(safeImageName(std::string(200, 'x'), 3), std::string(200, 'x'));
  EXPECT_EQ(safeImageName(std::nullopt, 2), "image-2.jpg");
}

TEST(ImageFolder, AFolderThatCannotBeWrittenIsASentenceAndLeavesNothingBehind) {
  const testing::TempFolder root;
  auto notAFolder = ImageFolder::open(root.write("file", "x"));
  ASSERT_TRUE(std::holds_alternative<ImageFolder::Failure>(notAFolder));
  EXPECT_THAT(std::get<ImageFolder::Failure>(notAFolder).sentence, ::testing::HasSubstr("cannot use"));

  auto opened = ImageFolder::open(root / "shots");
  ASSERT_TRUE(std::holds_alternative<ImageFolder>(opened));
  fs::create_directory(root / "shots" / "a.jpg");  // the name is taken by a folder
  auto written = std::get<ImageFolder>(opened).write({1}, "a.jpg");
  ASSERT_TRUE(std::holds_alternative<ImageFolder::Failure>(written));
  EXPECT_THAT(std::get<ImageFolder::Failure>(written).sentence, ::testing::HasSubstr("cannot write a.jpg"));
  EXPECT_EQ(std::distance(fs::directory_iterator(root / "shots"), {}), 1);  // no temporary file left
}

}  // namespace
}  // namespace vantle::tools
