#include "agent/storage/agent_storage.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <regex>

#include "agent/storage/storage_root.h"
#include "tests/agent/storage/storage_fixture.h"

namespace vantle::agent {
namespace {

namespace fs = std::filesystem;
using core::ShootVerification;
using namespace vantle::testing;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

struct AgentStorageTest : ::testing::Test {
  TempFolder folder;
  fs::path root = folder / "OrvaneVantle";
  std::shared_ptr<AgentStorage> storage = std::make_shared<AgentStorage>(root);

  // Another storage over the same root, as after a restart.
  std::shared_ptr<AgentStorage> reopened() { return std::make_shared<AgentStorage>(root); }
};

TEST_F(AgentStorageTest, CountsFromOneAndKeepsTheLastNumberHandedOut) {
  EXPECT_EQ(storage->reserveSeq(), 1u);
  EXPECT_EQ(reopened()->reserveSeq(), 2u);

  writeFile(root / "segments.jsonl", linesOf({7, 5}));
  const std::map<std::string, uint64_t> next = {
      {" 41\n", 42}, {"+9", 10}, {"-0", 8}, {"abc", 8}, {"-3", 8}, {"4 2", 8}, {"\n", 8},
      {"18446744073709551616", 8},  // past 64 bits
      {"3", 8},                     // a counter behind the segments never hands out a number again
  };
  for (const auto& [counter, expected] : next) {
    writeFile(root / "next-seq.txt", counter);
    EXPECT_EQ(storage->reserveSeq(), expected) << "counter \"" << counter << "\"";
  }
  // At the limit it stays there rather than restart at 0, which means none.
  writeFile(root / "next-seq.txt", "18446744073709551615");
  EXPECT_EQ(storage->reserveSeq(), UINT64_MAX);
}

TEST_F(AgentStorageTest, AdoptRaisesTheCounterOnlyAboveEverythingKnown) {
  writeFile(root / "next-seq.txt", "42");
  EXPECT_FALSE(storage->adopt(42));
  EXPECT_TRUE(storage->adopt(50));
  EXPECT_EQ(storage->reserveSeq(), 51u);
  storage->appendSegment(storedSegment(60));
  EXPECT_FALSE(storage->adopt(55));
  EXPECT_EQ(readText(root / "next-seq.txt"), "51");
  EXPECT_EQ(storage->highestSeq(), 60u);

  // A number no agent can have issued is never taken, so numbers go on rising.
  EXPECT_FALSE(storage->adopt(UINT64_MAX));
  EXPECT_FALSE(storage->adopt(AgentStorage::highestPlausibleSeq + 1));
  EXPECT_EQ(storage->reserveSeq(), 61u);  // above the stored segment, though the counter said 51
  EXPECT_TRUE(storage->adopt(AgentStorage::highestPlausibleSeq));
  EXPECT_EQ(reopened()->reserveSeq(), AgentStorage::highestPlausibleSeq + 1);
}

TEST_F(AgentStorageTest, AgentIDLastsAsLongAsTheSequenceHistory) {
  const std::string id = storage->agentID();
  EXPECT_TRUE(std::regex_match(id, std::regex("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}")));
  // A new ID starts the history, so every caller of a first run sees one ID.
  EXPECT_EQ(readText(root / "next-seq.txt"), "0");
  EXPECT_EQ(reopened()->agentID(), id);

  fs::remove(root / "agent-id.txt");
  const std::string renewed = storage->agentID();
  EXPECT_NE(renewed, id);
  storage->appendSegment(storedSegment(3));
  storage->flush();
  fs::remove(root / "next-seq.txt");
  EXPECT_EQ(storage->agentID(), renewed);  // the segments alone are history
  fs::remove(root / "segments.jsonl");
  const std::string third = storage->agentID();
  EXPECT_NE(third, renewed);

  // A file that is there but cannot be read is not a missing one: the ID
  // stays what it was, for this run and on disk.
  fs::remove(root / "agent-id.txt");
  fs::create_directory(root / "agent-id.txt");  // reads fail with EISDIR
  EXPECT_EQ(storage->agentID(), third);
  EXPECT_TRUE(fs::is_directory(root / "agent-id.txt"));
  const std::string stranger = reopened()->agentID();  // nothing read yet in that run
  EXPECT_NE(stranger, third);
  EXPECT_TRUE(fs::is_directory(root / "agent-id.txt"));
}

TEST_F(AgentStorageTest, ReadsSegmentsPastCorruptAndTornLinesInAppendOrder) {
  writeFile(root / "segments.jsonl", linesOf({1}) + "{\"seq\": 2, oops\n\n[]\n" + linesOf({3}, "B") + linesOf({2}));
  EXPECT_THAT(seqsOf(storage->allSegments()), ElementsAre(1, 3, 2));

  storage->appendSegment(storedSegment(4, std::nullopt));
  storage->flush();
  EXPECT_THAT(storage->segments(std::optional<std::string>()), IsEmpty());
  EXPECT_EQ(storage->highestSeq(), 4u);

  // An append after a torn line starts a line of its own.
  const std::string torn = linesOf({2}).substr(0, 40);
  writeFile(root / "segments.jsonl", linesOf({1}) + torn);
  const auto restarted = reopened();
  restarted->appendSegment(storedSegment(3));
  restarted->flush();
  EXPECT_EQ(readText(root / "segments.jsonl"), linesOf({1}) + torn + "\n" + linesOf({3}));
  EXPECT_THAT(seqsOf(restarted->allSegments()), ElementsAre(1, 3));
}

TEST_F(AgentStorageTest, NeverReplacesALogItCannotOpenNorWritesOutsideTheRoot) {
  fs::create_symlink("verifications.jsonl", root / "verifications.jsonl");  // exists, never opens
  TempFolder elsewhere;
  writeFile(elsewhere / "segments.jsonl", "");
  fs::create_symlink(elsewhere / "segments.jsonl", root / "segments.jsonl");
  storage->appendVerification({"A", at(0), {}});
  storage->appendSegment(storedSegment(1));
  storage->flush();
  EXPECT_TRUE(fs::is_symlink(root / "verifications.jsonl"));
  EXPECT_EQ(readText(elsewhere / "segments.jsonl"), "");
}

TEST_F(AgentStorageTest, KeepsTheNewestVerificationOfEachShootInTimeOrder) {
  const ShootVerification a{"A", at(200), {{"/a", 4}}}, aTie{"A", at(200), {{"/a", 5}}};
  const ShootVerification b{"B", at(50), {}}, c{"C", at(120), {}};
  for (const auto& v : {ShootVerification{"A", at(100), {}}, b, a, aTie, ShootVerification{"A", at(150), {}}, c}) {
    storage->appendVerification(v);
  }
  storage->flush();
  writeFile(root / "verifications.jsonl", "not json\n", true);
  EXPECT_THAT(storage->verifications(), ElementsAre(b, c, aTie));
}

TEST_F(AgentStorageTest, RemembersTheShootInAFileReplacedWhole) {
  EXPECT_EQ(storage->currentShootID(), std::nullopt);
  storage->setCurrentShootID("SHOOT-7");
  EXPECT_EQ(reopened()->currentShootID(), "SHOOT-7");
  storage->setCurrentShootID(std::nullopt);
  EXPECT_EQ(storage->currentShootID(), std::nullopt);
  // Whole files are replaced by rename: no temporary file is left behind.
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(root)) names.push_back(entry.path().filename());
  EXPECT_THAT(names, ElementsAre("current-shoot.txt"));
}

TEST_F(AgentStorageTest, SessionIDsAreStablePerFolderWhateverItsSpelling) {
  fs::create_directories(folder / "Sessions/Spring");
  fs::create_directory_symlink(folder / "Sessions", folder / "Link");
  const std::string id = storage->sessionID((folder / "Sessions/Spring").string());
  EXPECT_EQ(storage->sessionID((folder / "Link/./Other/../Spring/").string()), id);
  EXPECT_EQ(reopened()->sessionID(fs::canonical(folder / "Sessions/Spring").string()), id);
  EXPECT_NE(storage->sessionID((folder / "Sessions").string()), id);

  writeFile(root / "sessions.json", "{\"/a\": 5}");  // undecodable: replaced at the first new session
  const std::string fresh = reopened()->sessionID("/a");
  EXPECT_EQ(readText(root / "sessions.json"), "{\"/a\":\"" + fresh + "\"}");
}

TEST_F(AgentStorageTest, ConfinesPathsToTheRootThroughLinks) {
  EXPECT_TRUE(storage->isSafe(root));
  EXPECT_TRUE(storage->isSafe(root / "quickproof/missing/x.jpg"));
  EXPECT_FALSE(storage->isSafe(folder / "OrvaneVantle2/segments.jsonl"));
  EXPECT_FALSE(storage->isSafe(root / "../segments.jsonl"));
  fs::create_directory_symlink(folder.path(), root / "escape");
  EXPECT_FALSE(storage->isSafe(root / "escape/x.txt"));

  fs::create_directory_symlink(root, folder / "Linked");
  auto linked = std::make_shared<AgentStorage>(folder / "Linked");
  EXPECT_TRUE(linked->isSafe(folder / "Linked/segments.jsonl"));
  EXPECT_TRUE(linked->isSafe(root / "segments.jsonl"));
  linked->appendSegment(storedSegment(1));
  linked->flush();
  EXPECT_THAT(seqsOf(storage->allSegments()), ElementsAre(1));
}

TEST(StorageRoot, FollowsTheEnvironment) {
  const auto resolve = [](std::map<std::string, std::string> env) {
    return StorageRoot::resolve([env](const std::string& name) -> std::optional<std::string> {
      const auto found = env.find(name);
      return found == env.end() ? std::nullopt : std::optional(found->second);
    });
  };
  EXPECT_EQ(resolve({{"VANTLE_STORAGE_ROOT", "/srv/v ~"}, {"HOME", "/h"}}), "/srv/v ~");
  // A relative root is taken from the current folder at once: the capture
  // application, which writes into it, has a working folder of its own.
  EXPECT_EQ(resolve({{"VANTLE_STORAGE_ROOT", " store"}}), fs::current_path() / " store");
  EXPECT_EQ(resolve({{"VANTLE_STORAGE_ROOT", ""}, {"HOME", "/h"}}), "/h/.local/share/OrvaneVantle");
  EXPECT_EQ(resolve({{"XDG_DATA_HOME", "/data"}, {"HOME", "/h"}}), "/data/OrvaneVantle");
  EXPECT_EQ(resolve({{"XDG_DATA_HOME", "relative"}, {"HOME", "/h"}}), "/h/.local/share/OrvaneVantle");
  EXPECT_EQ(resolve({}), fs::temp_directory_path() / "OrvaneVantle");
}

}  // namespace
}  // namespace vantle::agent
