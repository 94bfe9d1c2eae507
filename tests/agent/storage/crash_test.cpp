#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "agent/storage/agent_storage.h"
#include "tests/agent/storage/storage_fixture.h"
#include "tests/support/eventually.h"

namespace vantle::agent {
namespace {

using namespace vantle::testing;

// Starts the writer, kills it with SIGKILL `delay` after its first report and
// returns every seq it reported as stored.
std::set<uint64_t> runWriterAndKill(const TempFolder& folder, std::chrono::milliseconds delay) {
  std::string program = STORAGE_CRASH_CHILD, root = (folder / "root").string(), report = (folder / "report").string();
  char* argv[] = {program.data(), root.data(), report.data(), nullptr};
  pid_t child = 0;
  if (posix_spawn(&child, program.c_str(), nullptr, nullptr, argv, environ) != 0) {
    ADD_FAILURE() << "could not start " << program;
    return {};
  }
  const size_t reportedBefore = readText(report).size();
  eventually([&] { return readText(report).size() != reportedBefore; }, 10);
  std::this_thread::sleep_for(delay);
  ::kill(child, SIGKILL);
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(WIFSIGNALED(status)) << "the writer ended before it was killed";

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
    EXPECT_GE(storage->highestSeq(), *stored.rbegin());
    EXPECT_GT(storage->reserveSeq(), *stored.rbegin());
  }
}

}  // namespace
}  // namespace vantle::agent
