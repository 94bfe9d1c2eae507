// The writer the crash test kills: under the root given first it reserves and
// appends segments with 40 KB thumbnails in a loop, and once each is on disk
// adds its seq to the report file given second. Every seq reported before
// the kill must read back afterwards.
#include <fcntl.h>
#include <unistd.h>

#include "agent/storage/agent_storage.h"
#include "tests/agent/storage/storage_fixture.h"

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  auto storage = std::make_shared<vantle::agent::AgentStorage>(argv[1]);
  const int report = ::open(argv[2], O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  for (;;) {
    const uint64_t seq = storage->reserveSeq();
    storage->appendSegment(vantle::testing::storedSegment(seq, "CRASH", 40 * 1024));
    storage->flush();
    const std::string line = std::to_string(seq) + "\n";
    if (::write(report, line.data(), line.size()) != static_cast<ssize_t>(line.size())) return 1;
  }
}
