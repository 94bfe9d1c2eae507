// The writer the crash test kills: it reserves and appends segments with
// 40 KB thumbnails in a loop under the root given as its argument, and after
// each one is on disk prints its seq on standard output. Whatever it printed
// before being killed must read back afterwards.
#include <unistd.h>

#include <string>

#include "agent/storage/agent_storage.h"
#include "tests/agent/storage/storage_fixture.h"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  auto storage = std::make_shared<vantle::agent::AgentStorage>(argv[1]);
  for (;;) {
    const uint64_t seq = storage->reserveSeq();
    storage->appendSegment(vantle::testing::storedSegment(seq, "CRASH", 40 * 1024));
    storage->flush();
    const std::string line = std::to_string(seq) + "\n";
    if (::write(STDOUT_FILENO, line.data(), line.size()) != static_cast<ssize_t>(line.size())) return 1;
  }
}
