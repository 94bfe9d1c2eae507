#include "agent/folders/volume_locality.h"

#include <sys/vfs.h>

#include <algorithm>
#include <array>

namespace vantle::agent {

bool isLocalFileSystemType(long type) {
  // Magic numbers from linux/magic.h and the file systems' own headers.
  static constexpr std::array<unsigned long, 16> remote{
      0x6969,      // NFS
      0x517B,      // SMB
      0xFF534D42,  // CIFS
      0xFE534D42,  // SMB2
      0x5346414F,  // AFS (OpenAFS)
      0x6B414653,  // kAFS
      0x73757245,  // Coda
      0x564C,      // NCP
      0x01021997,  // 9p
      0x00C36400,  // Ceph
      0x01161970,  // GFS2
      0x7461636F,  // OCFS2
      0x0BD00BD0,  // Lustre
      0x47504653,  // GPFS
      0x19830326,  // FhGFS / BeeGFS
      0x65735546,  // FUSE: sshfs, rclone and friends
  };
  const auto value = static_cast<unsigned long>(type) & 0xFFFFFFFFul;
  return std::find(remote.begin(), remote.end(), value) == remote.end();
}

bool isLocalVolume(const std::string& path) {
  struct statfs info {};
  if (statfs(path.c_str(), &info) != 0) return true;
  return isLocalFileSystemType(static_cast<long>(info.f_type));
}

}  // namespace vantle::agent
