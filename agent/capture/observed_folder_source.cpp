#include "agent/capture/observed_folder_source.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <chrono>
#include <functional>

#include "agent/capture_path.h"
#include "core/frame_count_rule.h"
#include "core/unicode.h"
#include "support/weak.h"

namespace vantle::agent {

namespace fs = std::filesystem;
using core::FrameCountRule::countsAs;
using core::FrameCountRule::isExcludedDirectory;

namespace {

// The newest frame seen so far and the folder that holds it.
struct Newest {
  struct timespec modified {};
  bool found = false;
  std::string folder;

  void offer(const std::string& directory, const std::string& name, const struct stat& st) {
    if (!S_ISREG(st.st_mode) || !countsAs(name)) return;
    const auto& t = st.st_mtim;
    if (found && (t.tv_sec < modified.tv_sec || (t.tv_sec == modified.tv_sec && t.tv_nsec <= modified.tv_nsec))) {
      return;
    }
    found = true;
    modified = t;
    folder = directory;
  }
};

// Calls visit(name, stat) for each non-hidden entry of `directory`, without
// following symbolic links; false when the folder cannot be listed.
template <typename Visit>
bool forEachEntry(const std::string& directory, Visit&& visit) {
  DIR* dir = ::opendir(directory.c_str());
  if (!dir) return false;
  const int fd = ::dirfd(dir);
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.empty() || name.front() == '.') continue;
    struct stat st;
    if (::fstatat(fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (!visit(name, st)) break;
  }
  ::closedir(dir);
  return true;
}

bool anyComponentExcluded(const fs::path& folder) {
  for (const auto& part : folder) {
    const std::string name = part.string();
    if (name != "/" && !name.empty() && isExcludedDirectory(name)) return true;
  }
  return false;
}

// The newest frame within the depth and entry limits, housekeeping folders pruned.
Newest newestInTree(const fs::path& root) {
  Newest newest;
  size_t examined = 0;
  std::function<bool(const std::string&, int)> walk = [&](const std::string& folder, int depth) {
    bool more = true;
    forEachEntry(folder, [&](const std::string& name, const struct stat& st) {
      if (++examined > ObservedFolderSource::rescanEntryLimit) return more = false;
      if (S_ISDIR(st.st_mode)) {
        // Descend only while the children stay within the depth limit.
        if (depth < ObservedFolderSource::rescanDepthLimit && !isExcludedDirectory(name)) more = walk(folder + "/" + name, depth + 1);
        return more;
      }
      newest.offer(folder, name, st);
      return true;
    });
    return more;
  };
  walk(root.string(), 1);
  return newest;
}

}  // namespace

std::shared_ptr<ObservedFolderSource> ObservedFolderSource::make(fs::path root) {
  return std::shared_ptr<ObservedFolderSource>(new ObservedFolderSource(std::move(root)));
}

ObservedFolderSource::ObservedFolderSource(fs::path root)
    : root_(root.lexically_normal()),
      watchedRoot_([this] {
        std::string text = root_.string();
        while (text.size() > 1 && text.back() == '/') text.pop_back();
        return text;
      }()),
      queue_("com.orvane.vantle.observed"),
      rescanQueue_("com.orvane.vantle.observed.rescan") {
  fs::path standardized = root_;
  if (standardized.has_relative_path() && standardized.filename().empty()) standardized = standardized.parent_path();
  const fs::path parent = standardized.parent_path();
  const std::string last = standardized.filename().string();
  const std::string parentName = parent.filename().string();
  if (core::lowercased(last) == "capture" && !parentName.empty() && parent != standardized.root_path()) {
    sessionName_ = parentName;
    sessionRoot_ = CapturePath::canonical(parent);
  } else {
    sessionName_ = last;
    sessionRoot_ = CapturePath::canonical(standardized);
  }
}

ObservedFolderSource::~ObservedFolderSource() {
  // Released without stop(): the watcher goes with the source.
  if (watcher_) watcher_->stop();
}

void ObservedFolderSource::setOnDesignationChanged(DesignationHandler handler) {
  std::lock_guard lock(mutex_);
  onChange_ = std::move(handler);
}

DesignationReading ObservedFolderSource::readingLocked() const {
  DesignationReading r;
  r.sessionName = sessionName_;
  r.sessionRoot = sessionRoot_;
  r.sourceKind = core::SourceKind::observed;
  if (currentPath_) {
    r.designatedPath = currentPath_;
    r.documentKind = core::DocumentKind::session;
    r.status = core::AgentStatus::ok;
  } else {
    r.status = core::AgentStatus::folderUnreadable;
  }
  return r;
}

DesignationReading ObservedFolderSource::currentReading() const {
  std::lock_guard lock(mutex_);
  return readingLocked();
}

void ObservedFolderSource::start() {
  if (watcher_) watcher_->stop();
  DirectoryWatcher::Settings settings;
  settings.fileLevel = true;
  settings.recursive = true;
  // The tree came back (a card or drive mounted again) or events were lost:
  // find the newest frame again, as the events would have told.
  settings.onResync = support::weaklyOn(rescanQueue_, weak_from_this(),
                                        [](ObservedFolderSource& self, const std::string&) { self.resync(); });
  watcher_ = DirectoryWatcher::make(
      {watchedRoot_}, queue_,
      support::weakly(weak_from_this(),
                      [](ObservedFolderSource& self, const std::vector<std::string>& paths) { self.handle(paths); }),
      settings);
  watcher_->start();
  // Started off its queue, the watcher sets its watches up later and then
  // reports the root, which asks for the first look (see handle). Looking
  // only then means a frame landing meanwhile is found by the look or by an
  // event, never by neither.
  if (!watcher_->isStarted() || queue_.isCurrent()) {
    support::postWeakly(rescanQueue_, weak_from_this(), [](ObservedFolderSource& self) { self.rescan(); });
  }
}

void ObservedFolderSource::stop() {
  if (!watcher_) return;
  watcher_->stop();
  watcher_.reset();
}

void ObservedFolderSource::rescan() {
  {
    // Once a folder is designated, events keep it current: only the first look walks the tree.
    std::lock_guard lock(mutex_);
    if (currentPath_) return;
  }
  Newest newest;
  // The usual capture folders first: they win even over a newer frame deeper down.
  for (const char* usual : {"Capture", "Captures"}) {
    const std::string folder = (root_ / usual).string();
    forEachEntry(folder, [&](const std::string& name, const struct stat& st) {
      newest.offer(folder, name, st);
      return true;
    });
  }
  if (!newest.found) newest = newestInTree(root_);
  if (newest.found) designate(newest.folder, /*replacing=*/false);
}

void ObservedFolderSource::resync() {
  const Newest newest = newestInTree(root_);
  if (newest.found) designate(newest.folder, /*replacing=*/true);
}

void ObservedFolderSource::designate(const std::string& folder, bool replacing) {
  DesignationReading reading;
  DesignationHandler onChange;
  {
    std::lock_guard lock(mutex_);
    if (currentPath_ && !replacing) return;  // a file event came first
    const std::string canonical = CapturePath::canonical(folder);
    if (currentPath_ == canonical) return;
    currentPath_ = canonical;
    reading = readingLocked();
    onChange = onChange_;
  }
  if (onChange) onChange(reading);
}

void ObservedFolderSource::handle(const std::vector<std::string>& paths) {
  std::optional<std::string> designated;
  for (const std::string& path : paths) {
    if (path == watchedRoot_) {
      // The tree is watched now (or again): a frame that landed before its
      // folder's watch was in place designates its folder, if none is yet.
      support::postWeakly(rescanQueue_, weak_from_this(), [](ObservedFolderSource& self) { self.rescan(); });
      continue;
    }
    const fs::path p(path);
    if (!countsAs(p.filename().string())) continue;
    std::error_code error;
    if (fs::is_directory(p, error)) continue;  // a folder named like a frame ("Look.v2")
    const fs::path folder = p.parent_path();
    if (anyComponentExcluded(folder)) continue;
    designated = folder.string();  // the last one in the batch wins
  }
  if (designated) designate(*designated, /*replacing=*/true);
}

}  // namespace vantle::agent
