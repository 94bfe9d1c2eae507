#include "agent/folders/frame_names.h"

#include <gtest/gtest.h>

#include <set>
#include <stdexcept>
#include <string>

namespace vantle::agent {
namespace {

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
  EXPECT_FALSE(names.contains("30000"));
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
  EXPECT_EQ(copy, FrameNames{});
  copy = names;
  EXPECT_EQ(copy, names);

  // Equal by membership, whatever the order of insertion or the room reserved.
  FrameNames reserved;
  reserved.reserve(10, 40);
  for (const char* name : {"c", "b", "a"}) reserved.insert(name);
  EXPECT_EQ(reserved, (FrameNames{"a", "b", "c"}));
  EXPECT_NE(reserved, (FrameNames{"a", "b", "d"}));
  EXPECT_NE(reserved, (FrameNames{"a", "b"}));
}

TEST(FrameNames, RefusesANameLongerThanItCanHold) {
  FrameNames names;
  EXPECT_THROW(names.insert(std::string(70000, 'x')), std::length_error);
  EXPECT_TRUE(names.empty());
}

}  // namespace
}  // namespace vantle::agent
