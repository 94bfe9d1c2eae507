// Free space on the volume that holds a path.
//
// `FreeSpaceProbe` is what the hardware monitor needs; `StatvfsFreeSpace`
// is the real one: the space an unprivileged writer may still use
// (statvfs's available blocks times the fragment size). Thread-safe.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace vantle::agent {

class FreeSpaceProbe {
 public:
  virtual ~FreeSpaceProbe() = default;
  // Bytes free for the user on the volume holding `path`; nullopt when it
  // cannot be asked (the path is gone with its volume).
  virtual std::optional<uint64_t> freeBytes(const std::string& path) const = 0;
};

class StatvfsFreeSpace final : public FreeSpaceProbe {
 public:
  std::optional<uint64_t> freeBytes(const std::string& path) const override;
};

}  // namespace vantle::agent
