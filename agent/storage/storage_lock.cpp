#include "agent/storage/storage_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>

namespace vantle::agent {
namespace {

std::string systemReason(const std::filesystem::path& file) {
  return "cannot lock " + file.string() + ": " + std::strerror(errno);
}

std::optional<pid_t> readHolder(int fd) {
  char text[32] = {};
  const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
  if (n <= 0) return std::nullopt;
  pid_t pid = 0;
  const auto [end, error] = std::from_chars(text, text + n, pid);
  if (error != std::errc() || pid <= 0) return std::nullopt;
  return pid;
}

}  // namespace

std::string StorageLock::Held::sentence() const {
  const std::string who = holder ? "process " + std::to_string(*holder) : "another process";
  return "Another Orvane Vantle agent (" + who + ") is already keeping the record in " + root.string() +
         ", so this one does not start.";
}

std::variant<StorageLock, StorageLock::Held, StorageLock::Failed> StorageLock::acquire(
    const std::filesystem::path& root) {
  const std::filesystem::path file = root / fileName;
  Descriptor fd(::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!fd.valid()) return Failed{systemReason(file)};
  while (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    if (errno == EWOULDBLOCK) return Held{readHolder(fd.get()), root};
    return Failed{systemReason(file)};
  }
  // Ours now: say who holds it. A failure here only costs the next agent
  // the holder's number.
  const std::string pid = std::to_string(::getpid()) + "\n";
  if (::ftruncate(fd.get(), 0) == 0) {
    [[maybe_unused]] const ssize_t written = ::pwrite(fd.get(), pid.data(), pid.size(), 0);
  }
  return StorageLock(std::move(fd));
}

}  // namespace vantle::agent
