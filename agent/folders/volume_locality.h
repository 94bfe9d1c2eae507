// Whether a folder lies on a local volume.
//
// Folders on network and FUSE file systems get no reliable change
// notifications, so the frame watcher polls them instead. Any thread.
#pragma once

#include <string>

namespace vantle::agent {

// From statfs(2)'s file-system type: NFS, SMB/CIFS, AFS, Coda, 9p, Ceph,
// cluster file systems and every FUSE file system (sshfs, rclone) are not
// local. An unknown type, or a failed query, counts as local.
bool isLocalVolume(const std::string& path);

// The same decision for a statfs f_type value.
bool isLocalFileSystemType(long type);

}  // namespace vantle::agent
