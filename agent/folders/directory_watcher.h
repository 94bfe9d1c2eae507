// Change notifications for folders, from inotify.
//
// A watcher covers a list of root folders and, when recursive, every folder
// below them: folders created later are followed, and the capture
// application's housekeeping folders (FrameCountRule::isExcludedDirectory)
// are pruned. Each batch of changed paths goes to `handler` on the queue the
// watcher was made with. The first change after a quiet spell is delivered
// at once; later ones are coalesced and delivered at most every `latency`
// seconds. Event kinds are not told apart: a batch only says where to look.
//
// A root reported itself means "look again at everything": after a kernel
// queue overflow, when the root goes away (removed, moved, its drive
// unmounted), and when it is watched again. A root that is missing, at start
// or later, is looked for again every few seconds (0.25 s at first, then up
// to every 2 s) until it is back. When the user's inotify watch limit (or the
// watcher's own budget) runs out, the watcher logs it once and keeps the
// watches it has; callers' rescans and heartbeats keep their readings right
// meanwhile.
//
// start() and stop() may be called from any thread. Called on the watcher's
// queue, start() sets the watches up before it returns; called elsewhere it
// returns at once, the tree is walked on the queue, and the roots are
// reported once they are watched. After stop() returns no new delivery
// begins (one already running on the queue finishes). Destroying the watcher
// stops it. The queue must outlive the watcher.
#pragma once

#include <cstddef>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "support/serial_queue.h"

namespace vantle::agent {

class DirectoryWatcher {
 public:
  using Handler = std::function<void(const std::vector<std::string>& paths)>;

  struct Settings {
    // Report the changed entries themselves rather than their folders.
    bool fileLevel = true;
    // Watch the whole tree below each root, not only the roots.
    bool recursive = true;
    // Seconds over which a burst of changes is coalesced.
    double latency = 0.05;
    // Watches this watcher may hold, below the system's own limit.
    size_t maximumWatches = std::numeric_limits<size_t>::max();
    // Say nothing of entries whose names begin with ".": they are never
    // frames. Above all, a frame written under a hidden name and renamed
    // into place then starts no coalescing window of its own, so its
    // appearance is delivered at once rather than held back.
    bool ignoreHidden = false;
    // Called on the queue, besides the root's own report, when a root must
    // be looked at again as a whole: it came back after being gone (a card
    // or drive mounted again), or the kernel's event queue overflowed.
    std::function<void(const std::string& root)> onResync;
  };

  // Starts nothing.
  static std::shared_ptr<DirectoryWatcher> make(std::vector<std::string> paths, support::SerialQueue& queue,
                                                Handler handler, Settings settings);
  ~DirectoryWatcher();
  DirectoryWatcher(const DirectoryWatcher&) = delete;
  DirectoryWatcher& operator=(const DirectoryWatcher&) = delete;

  // Watches the roots from now on (no history). Does nothing when already
  // started or when there are no roots; when the system refuses an inotify
  // instance the watcher stays unstarted and reports nothing.
  void start();
  void stop();
  bool isStarted() const;

  const std::vector<std::string>& paths() const { return paths_; }

  struct Stream;  // the live inotify instance; lives on the queue

 private:
  DirectoryWatcher(std::vector<std::string> paths, support::SerialQueue& queue, Handler handler, Settings settings);

  const std::vector<std::string> paths_;
  support::SerialQueue& queue_;
  const Handler handler_;
  const Settings settings_;
  mutable std::mutex mutex_;  // guards stream_
  std::shared_ptr<Stream> stream_;
};

}  // namespace vantle::agent
