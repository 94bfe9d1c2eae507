#include <gtest/gtest.h>
#include <signal.h>

#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "agent/storage/agent_storage.h"
#include "tests/agent/storage/storage_fixture.h"
#include "tests/support/eventually.h"
#include "tests/support/live_process.h"

namespace vantle::agent {
namespace {

using namespace vantle::testing;

// Starts the writer, kills it with SIGKILL `delay` after its next report and
// returns every seq it reported as stored.
std::set<uint64_t> runWriterAndKill(const TempFolder& folder, std::chrono::milliseconds delay) {
  const std::string report = (folder / "report").string();
  const size_t reportedBefore = readText(report).size();
  LiveProcess writer(STORAGE_CRASH_CHILD, {(folder / "root").string(), report});
  EXPECT_TRUE(eventually([&] { return readText(report).size() != reportedBefore; }, 10));
  std::this_thread::sleep_for(delay);
  writer.signal(SIGKILL);
  EXPECT_EQ(writer.waitForExit(10), 128 + SIGKILL) << "the writer ended before it was killed";

  std::set<uint64_t> seqs;
  std::istringstream lines(readText(report));
  for (uint64_t seq; lines >> seq;) seqs.insert(seq);
  return seqs;
}

TEST(AgentStorageCrash, EveryLineWrittenBeforeAKillReadsBackAndNumbersMoveOn) {
  TempFolder folder;
  std::mt19937 random(std::random_device{}());
  for (int round = 0; round < 8; ++round) {
    const auto delay = std::chrono::milliseconds(std::uniform_int_distribution(0, 150)(random));
    const std::set<uint64_t> reported = runWriterAndKill(folder, delay);

    auto storage = std::make_shared<AgentStorage>(folder / "root");
    std::set<uint64_t> stored;
    for (const core::WireSegment& s : storage->allSegments()) {
      EXPECT_TRUE(stored.insert(s.seq).second) << "seq " << s.seq << " stored twice";
      EXPECT_EQ(s, storedSegment(s.seq, "CRASH", 40 * 1024));
    }
    for (uint64_t seq : reported) EXPECT_TRUE(stored.count(seq)) << "seq " << seq << " was lost";
    ASSERT_FALSE(stored.empty());
    EXPECT_GT(storage->reserveSeq(), *stored.rbegin());
  }
}

}  // namespace
}  // namespace vantle::agent
