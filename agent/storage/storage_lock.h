// One agent per record: an exclusive lock on the storage root, held for the
// life of the process.
//
// Two agents that share a root would both count the same folder and both
// append the same shots under their own numbers. The lock is an flock(2) on
// "agent.lock" under the root, which the kernel releases when the process
// ends however it ends (a crash included), so a stale lock never blocks the
// next start. The holder writes its process ID into the file, so a second
// agent can say who keeps the record.
//
// Plain functions and a move-only value; thread-safe.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <variant>

#include "agent/storage/descriptor.h"

namespace vantle::agent {

class StorageLock {
 public:
  // Another process holds the root.
  struct Held {
    std::optional<pid_t> holder;  // as the holder wrote it; absent when unknown
    std::filesystem::path root;
    // One sentence for the user: which process keeps the record, and where.
    std::string sentence() const;
  };
  // The lock file could not be opened or locked (a read-only root, say).
  struct Failed {
    std::string reason;
  };

  // Takes the lock on `root` (which must exist) without waiting.
  static std::variant<StorageLock, Held, Failed> acquire(const std::filesystem::path& root);

  static constexpr const char* fileName = "agent.lock";

 private:
  explicit StorageLock(Descriptor fd) : fd_(std::move(fd)) {}
  Descriptor fd_;  // the lock lives as long as this descriptor
};

}  // namespace vantle::agent
