#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>
#include <set>
#include <thread>

#include "agent/storage/agent_storage.h"
#include "tests/agent/storage/storage_fixture.h"

namespace vantle::agent {
namespace {

// Runs the writer under `root`, kills it with SIGKILL `delay` after its first
// report and returns the seqs it reported as stored.
std::set<uint64_t> runWriterAndKill(const std::filesystem::path& root, std::chrono::milliseconds delay) {
  int out[2];
  if (::pipe(out) != 0) return {};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  std::string program = STORAGE_CRASH_CHILD, rootText = root.string();
  char* argv[] = {program.data(), rootText.data(), nullptr};
  pid_t child = 0;
  const bool spawned = posix_spawn(&child, program.c_str(), &actions, nullptr, argv, environ) == 0;
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  std::string reported;
  const auto readSome = [&] {
    char buffer[4096];
    const ssize_t n = ::read(out[0], buffer, sizeof buffer);
    if (n > 0) reported.append(buffer, static_cast<size_t>(n));
    return n > 0;
  };
  while (reported.find('\n') == std::string::npos && readSome()) {
  }
  std::thread reader([&] {
    while (readSome()) {
    }
  });
  int status = 0;
  if (spawned) {
    std::this_thread::sleep_for(delay);
    ::kill(child, SIGKILL);
    ::waitpid(child, &status, 0);
  }
  reader.join();
  ::close(out[0]);
  EXPECT_TRUE(spawned && WIFSIGNALED(status)) << program << " did not run until killed";

  std::set<uint64_t> seqs;
  for (size_t start = 0, end; (end = reported.find('\n', start)) != std::string::npos; start = end + 1) {
    seqs.insert(std::stoull(reported.substr(start, end - start)));
  }
  return seqs;
}

TEST(AgentStorageCrash, EveryLineWrittenBeforeAKillReadsBackAndNumbersMoveOn) {
  testing::TemporaryFolder folder;
  std::mt19937 random(std::random_device{}());
  std::set<uint64_t> reported;
  for (int round = 0; round < 8; ++round) {
    const auto delay = std::chrono::milliseconds(std::uniform_int_distribution(0, 150)(random));
    const std::set<uint64_t> seqs = runWriterAndKill(folder.path(), delay);
    reported.insert(seqs.begin(), seqs.end());

    auto storage = std::make_shared<AgentStorage>(folder.path());
    std::set<uint64_t> stored;
    for (const core::WireSegment& s : storage->allSegments()) {
      EXPECT_TRUE(stored.insert(s.seq).second) << "seq " << s.seq << " stored twice";
      EXPECT_EQ(s, testing::storedSegment(s.seq, "CRASH", 40 * 1024));
    }
    for (uint64_t seq : reported) EXPECT_TRUE(stored.count(seq)) << "seq " << seq << " was lost";
    const uint64_t highestStored = stored.empty() ? 0 : *stored.rbegin();
    EXPECT_GE(storage->highestSeq(), highestStored);
    EXPECT_GT(storage->reserveSeq(), std::max(highestStored, reported.empty() ? 0 : *reported.rbegin()));
  }
}

}  // namespace
}  // namespace vantle::agent
