// Who may follow the shoot: the token, the sessions it opens, and the file
// that keeps it across restarts.
#include "web/web_access.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <set>

#include "support/user_files.h"
#include "tests/support/temp_folder.h"

namespace vantle::web {
namespace {

constexpr const char* kToken = "00112233445566778899aabbccddeeff";

TEST(WebAccess, OnlyTheTokenOpensASessionAndANewTokenEndsThemAll) {
  WebAccess access(kToken);
  EXPECT_FALSE(access.openSession("00112233445566778899aabbccddeefe"));
  EXPECT_FALSE(access.openSession(std::string(kToken) + "0"));
  EXPECT_FALSE(access.openSession(""));
  EXPECT_FALSE(access.admits(""));
  EXPECT_FALSE(access.admits(kToken));  // the token is not a session

  const std::optional<std::string> session = access.openSession(kToken);
  ASSERT_TRUE(session);
  EXPECT_EQ(session->size(), 32u);
  EXPECT_TRUE(access.admits(*session));
  EXPECT_NE(access.openSession(kToken), session);  // each page its own

  const uint64_t before = access.generation();
  EXPECT_GT(access.renew("ffeeddccbbaa99887766554433221100"), before);
  EXPECT_FALSE(access.admits(*session));
  EXPECT_EQ(access.sessionCount(), 0u);
  EXPECT_FALSE(access.openSession(kToken));
  EXPECT_TRUE(access.openSession("ffeeddccbbaa99887766554433221100"));

  // With no token (none could be made) nothing opens.
  WebAccess none;
  EXPECT_FALSE(none.openSession(""));
}

TEST(WebAccess, OneSessionTooManyEndsTheOneUsedLongestAgo) {
  WebAccess access(kToken);
  std::vector<std::string> sessions;
  for (size_t i = 0; i < WebAccess::sessionLimit; ++i) sessions.push_back(*access.openSession(kToken));
  EXPECT_EQ(std::set<std::string>(sessions.begin(), sessions.end()).size(), WebAccess::sessionLimit);
  EXPECT_TRUE(access.admits(sessions[0]));  // the oldest is in use: the second oldest goes

  const std::string newest = *access.openSession(kToken);
  EXPECT_EQ(access.sessionCount(), WebAccess::sessionLimit);
  EXPECT_TRUE(access.admits(newest));
  EXPECT_TRUE(access.admits(sessions[0]));
  EXPECT_FALSE(access.admits(sessions[1]));
  EXPECT_TRUE(access.admits(sessions[2]));
}

TEST(WebAccess, TheTokenIsKeptPrivateAcrossRestartsUntilANewOneIsMade) {
  testing::TempFolder folder;
  std::string problem;
  const std::optional<std::string> first = WebAccess::loadOrMakeToken(folder.path(), &problem);
  ASSERT_TRUE(first) << problem;
  EXPECT_TRUE(problem.empty()) << problem;
  EXPECT_EQ(first->size(), 32u);
  struct stat info {};
  ASSERT_EQ(stat((folder.path() / WebAccess::tokenFile).c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_EQ(WebAccess::loadOrMakeToken(folder.path(), &problem), first);

  const std::optional<std::string> second = WebAccess::makeToken(folder.path(), &problem);
  EXPECT_NE(second, first);
  EXPECT_EQ(WebAccess::loadOrMakeToken(folder.path(), &problem), second);

  // A damaged file is not a token: a new one is made rather than a guessable one used.
  std::ofstream(folder.path() / WebAccess::tokenFile) << "0000\n";
  const std::optional<std::string> third = WebAccess::loadOrMakeToken(folder.path(), &problem);
  ASSERT_TRUE(third);
  EXPECT_NE(*third, "0000");
  EXPECT_EQ(third->size(), 32u);

  // A token that cannot be kept still works for this run, and says why.
  std::string unkept;
  EXPECT_TRUE(WebAccess::makeToken("/proc/no-such-folder", &unkept));
  EXPECT_FALSE(unkept.empty());
}

}  // namespace
}  // namespace vantle::web
