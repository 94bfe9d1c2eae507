#include "agent/monitor/free_space.h"

#include <sys/statvfs.h>

#include <cerrno>
#include <limits>

namespace vantle::agent {

std::optional<uint64_t> StatvfsFreeSpace::freeBytes(const std::string& path) const {
  struct statvfs volume {};
  int result;
  do {
    result = statvfs(path.c_str(), &volume);
  } while (result != 0 && errno == EINTR);
  if (result != 0) return std::nullopt;
  uint64_t bytes = 0;
  if (__builtin_mul_overflow(static_cast<uint64_t>(volume.f_bavail), static_cast<uint64_t>(volume.f_frsize), &bytes)) {
    return std::numeric_limits<uint64_t>::max();
  }
  return bytes;
}

}  // namespace vantle::agent
