#include "agent/folders/directory_watcher.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <asio/post.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/steady_timer.hpp>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <unordered_map>

#include "core/frame_count_rule.h"
#include "support/asio_queue.h"
#include "support/log.h"

namespace vantle::agent {
namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr uint32_t kFolderEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_CLOSE_WRITE | IN_ATTRIB |
                                   IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

std::string joined(const std::string& folder, std::string_view name) {
  if (name.empty()) return folder;  // an event of the folder itself
  std::string path;
  path.reserve(folder.size() + 1 + name.size());
  path.append(folder).append(folder.ends_with('/') ? "" : "/").append(name);
  return path;
}

std::string withoutTrailingSeparator(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

bool isFolder(int parent, const dirent& entry) {
  if (entry.d_type != DT_UNKNOWN) return entry.d_type == DT_DIR;
  struct stat info {};
  return fstatat(parent, entry.d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

struct DirectoryWatcher::Stream : std::enable_shared_from_this<Stream> {
  Stream(int fd, support::Strand strand, std::vector<std::string> roots, Handler handler, Settings settings)
      : descriptor(strand, fd),
        flushTimer(strand),
        rewatchTimer(strand),
        strand(strand),
        roots(std::move(roots)),
        handler(std::move(handler)),
        settings(settings) {}

  asio::posix::stream_descriptor descriptor;  // owns the inotify instance
  asio::steady_timer flushTimer;
  asio::steady_timer rewatchTimer;
  support::Strand strand;
  const std::vector<std::string> roots;
  const Handler handler;
  const Settings settings;
  std::atomic<bool> closed{false};

  // Touched only on the queue once waiting has begun.
  std::unordered_map<int, std::string> folderOf;  // watch descriptor → folder path
  std::vector<std::string> batch;
  SteadyClock::time_point lastDelivery{};
  bool flushScheduled = false;
  bool limitLogged = false;
  // Roots without a watch: not there yet, or gone (removed, moved away, their
  // drive unmounted). Looked for again and again until they come back.
  std::vector<std::string> lostRoots;
  bool rewatchScheduled = false;
  double rewatchDelay = kFirstRewatchDelay;

  static constexpr double kFirstRewatchDelay = 0.25;
  static constexpr double kLongestRewatchDelay = 2.0;

  // Watches the roots; a root that cannot be watched is looked for later.
  void watchRoots() {
    for (const std::string& root : roots) {
      if (!watchRoot(root)) rootLost(root);
    }
  }

  // Whether the root's own watch is in place afterwards.
  bool watchRoot(const std::string& root) {
    watchTree(root, true, false);
    for (const auto& [wd, folder] : folderOf) {
      if (folder == root) return true;
    }
    return false;
  }

  void rootLost(const std::string& root) {
    forgetTree(root);
    if (std::find(lostRoots.begin(), lostRoots.end(), root) == lostRoots.end()) lostRoots.push_back(root);
    scheduleRewatch();
  }

  void scheduleRewatch() {
    if (rewatchScheduled || closed) return;
    rewatchScheduled = true;
    rewatchTimer.expires_after(std::chrono::duration_cast<SteadyClock::duration>(
        std::chrono::duration<double>(rewatchDelay)));
    rewatchTimer.async_wait([self = shared_from_this()](const std::error_code& error) {
      self->rewatchScheduled = false;
      if (!error && !self->closed) self->rewatch();
    });
  }

  // A root that came back is watched again and reported, so that callers
  // look at everything that happened while it was away.
  void rewatch() {
    std::vector<std::string> stillLost;
    for (const std::string& root : lostRoots) {
      if (watchRoot(root)) {
        report(root);
        if (settings.onResync) settings.onResync(root);
      } else {
        stillLost.push_back(root);
      }
    }
    lostRoots = std::move(stillLost);
    if (lostRoots.empty()) {
      rewatchDelay = kFirstRewatchDelay;
    } else {
      rewatchDelay = std::min(rewatchDelay * 2, kLongestRewatchDelay);
      scheduleRewatch();
    }
    flushSoon();
  }

  // Watches `folder` and, when recursive, the folders below it. With
  // `reportContents` the entries found are reported too: they may have
  // appeared before their folder's watch did. A walk ends early when the
  // watches run out.
  void watchTree(const std::string& folder, bool isRoot, bool reportContents) {
    std::deque<std::string> pending{folder};
    while (!pending.empty()) {
      const std::string current = std::move(pending.front());
      pending.pop_front();
      const Added added = addWatch(current, isRoot && current == folder);
      if (added == Added::exhausted) return;
      if (added == Added::failed || (!settings.recursive && !reportContents)) continue;
      const std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(current.c_str()), closedir);
      if (!dir) continue;
      while (const dirent* entry = readdir(dir.get())) {
        const std::string_view name = entry->d_name;
        if (name == "." || name == "..") continue;
        if (reportContents) report(settings.fileLevel ? joined(current, name) : current);
        if (settings.recursive && isFolder(dirfd(dir.get()), *entry) &&
            !core::FrameCountRule::isExcludedDirectory(name)) {
          pending.push_back(joined(current, name));
        }
      }
    }
  }

  enum class Added { added, failed, exhausted };

  Added addWatch(const std::string& folder, bool isRoot) {
    if (folderOf.size() >= settings.maximumWatches) return watchesRanOut(folder);
    // Roots may be links the user chose; links found below them are not followed.
    const uint32_t mask = kFolderEvents | (isRoot ? 0 : IN_DONT_FOLLOW);
    const int wd = inotify_add_watch(descriptor.native_handle(), folder.c_str(), mask);
    if (wd < 0) return errno == ENOSPC ? watchesRanOut(folder) : Added::failed;
    folderOf[wd] = folder;  // a renamed folder keeps its descriptor: the new path wins
    return Added::added;
  }

  Added watchesRanOut(const std::string& folder) {
    if (!limitLogged) {
      limitLogged = true;
      support::log::error("folders", "inotify watch limit reached at " + folder +
                                         "; changes below it are found by rescans and heartbeats "
                                         "(raise fs.inotify.max_user_watches to watch every folder)");
    }
    return Added::exhausted;
  }

  // Drops the watches of `folder` and everything below it (moved away).
  void forgetTree(const std::string& folder) {
    const std::string prefix = folder + "/";
    for (auto it = folderOf.begin(); it != folderOf.end();) {
      if (it->second == folder || it->second.starts_with(prefix)) {
        inotify_rm_watch(descriptor.native_handle(), it->first);
        it = folderOf.erase(it);
      } else {
        ++it;
      }
    }
  }

  bool isRoot(const std::string& folder) const {
    for (const std::string& root : roots) {
      if (root == folder) return true;
    }
    return false;
  }

  void report(std::string path) {
    if (!batch.empty() && batch.back() == path) return;  // created, then closed: one path
    batch.push_back(std::move(path));
  }

  void handle(const inotify_event& event) {
    if (event.mask & IN_Q_OVERFLOW) {
      // Events were lost: say "look again" at every root and pick up any
      // folders whose creation went unseen.
      for (const std::string& root : roots) {
        report(root);
        watchTree(root, true, false);
        if (settings.onResync) settings.onResync(root);
      }
      return;
    }
    const auto found = folderOf.find(event.wd);
    if (found == folderOf.end()) return;
    const std::string folder = found->second;
    if (event.mask & IN_IGNORED) {
      // The watch has ended: its folder was removed or its drive unmounted.
      folderOf.erase(found);
      if (isRoot(folder)) {
        report(folder);
        rootLost(folder);
      }
      return;
    }
    if (event.mask & (IN_DELETE_SELF | IN_MOVE_SELF)) {
      // A subfolder's own end is reported by its parent already. A root
      // moved away would go on being watched under its old name: drop it,
      // and the IN_IGNORED that follows starts looking for the root again.
      if (isRoot(folder)) {
        report(folder);
        if (event.mask & IN_MOVE_SELF) inotify_rm_watch(descriptor.native_handle(), event.wd);
      }
      return;
    }
    const std::string_view name = event.len ? std::string_view(event.name) : std::string_view();
    const std::string path = joined(folder, name);
    if ((event.mask & IN_ISDIR) && settings.recursive && !name.empty()) {
      if (event.mask & IN_MOVED_FROM) forgetTree(path);
      if ((event.mask & (IN_CREATE | IN_MOVED_TO)) && !core::FrameCountRule::isExcludedDirectory(name)) {
        report(settings.fileLevel ? path : folder);
        watchTree(path, false, true);
        return;
      }
    }
    if (settings.ignoreHidden && name.starts_with('.')) return;
    report(settings.fileLevel ? path : folder);
  }

  void waitForEvents() {
    descriptor.async_wait(asio::posix::stream_descriptor::wait_read,
                          [self = shared_from_this()](const std::error_code& error) {
                            if (error || self->closed) return;
                            self->drain();
                            self->flushSoon();
                            if (!self->closed) self->waitForEvents();
                          });
  }

  void drain() {
    alignas(inotify_event) char buffer[64 * 1024];
    // A bounded number of reads per wake-up, so a flood cannot starve the queue.
    for (int reads = 0; reads < 16 && !closed; ++reads) {
      const ssize_t length = ::read(descriptor.native_handle(), buffer, sizeof buffer);
      if (length <= 0) return;  // EAGAIN: drained
      for (ssize_t at = 0; at < length;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        handle(*event);
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
  }

  // Delivers at once after a quiet spell, else when the latency has passed
  // since the previous delivery.
  void flushSoon() {
    if (batch.empty() || flushScheduled) return;
    const auto due = lastDelivery + std::chrono::duration_cast<SteadyClock::duration>(
                                        std::chrono::duration<double>(settings.latency));
    if (SteadyClock::now() >= due) {
      deliver();
      return;
    }
    flushScheduled = true;
    flushTimer.expires_at(due);
    flushTimer.async_wait([self = shared_from_this()](const std::error_code& error) {
      self->flushScheduled = false;
      if (!error) self->deliver();
    });
  }

  void deliver() {
    if (closed || batch.empty()) return;
    std::vector<std::string> paths = std::move(batch);
    batch.clear();
    lastDelivery = SteadyClock::now();
    handler(paths);
  }

  void closeOnQueue() {
    flushTimer.cancel();
    rewatchTimer.cancel();
    std::error_code ignored;
    descriptor.close(ignored);
  }
};

std::shared_ptr<DirectoryWatcher> DirectoryWatcher::make(std::vector<std::string> paths, support::SerialQueue& queue,
                                                         Handler handler, Settings settings) {
  return std::shared_ptr<DirectoryWatcher>(
      new DirectoryWatcher(std::move(paths), queue, std::move(handler), settings));
}

DirectoryWatcher::DirectoryWatcher(std::vector<std::string> paths, support::SerialQueue& queue, Handler handler,
                                   Settings settings)
    : paths_(std::move(paths)), queue_(queue), handler_(std::move(handler)), settings_(settings) {}

DirectoryWatcher::~DirectoryWatcher() { stop(); }

void DirectoryWatcher::start() {
  std::lock_guard lock(mutex_);
  if (stream_ || paths_.empty()) return;
  const int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd < 0) {
    support::log::error("folders", std::string("cannot watch folders: inotify_init1 failed: ") + std::strerror(errno));
    return;
  }
  std::shared_ptr<Stream> stream;
  try {
    std::vector<std::string> roots;
    for (const std::string& path : paths_) roots.push_back(withoutTrailingSeparator(path));
    stream = std::make_shared<Stream>(fd, support::strandOf(queue_), std::move(roots), handler_, settings_);
  } catch (const std::exception& error) {
    ::close(fd);
    support::log::error("folders", std::string("cannot watch folders: ") + error.what());
    return;
  }
  if (queue_.isCurrent()) {
    // Nothing else touches the stream until it waits for events, so the
    // watches can be set up in place, before start() returns.
    stream->watchRoots();
    asio::post(stream->strand, [stream] {
      if (!stream->closed) stream->waitForEvents();
    });
  } else {
    // A large tree takes seconds to walk: that happens on the queue, not on
    // the caller's thread. Whatever changed meanwhile went unseen, so the
    // roots are reported once they are watched.
    asio::post(stream->strand, [stream] {
      if (stream->closed) return;
      stream->watchRoots();
      for (const std::string& root : stream->roots) stream->report(root);
      stream->flushSoon();
      if (!stream->closed) stream->waitForEvents();
    });
  }
  stream_ = std::move(stream);
}

void DirectoryWatcher::stop() {
  std::shared_ptr<Stream> stream;
  {
    std::lock_guard lock(mutex_);
    stream = std::move(stream_);
    stream_.reset();
  }
  if (!stream) return;
  stream->closed = true;
  if (stream->strand.running_in_this_thread()) {
    stream->closeOnQueue();
  } else {
    asio::post(stream->strand, [stream] { stream->closeOnQueue(); });
  }
}

bool DirectoryWatcher::isStarted() const {
  std::lock_guard lock(mutex_);
  return stream_ != nullptr;
}

}  // namespace vantle::agent
