#include "agent/folders/frame_watcher.h"

#include <sys/stat.h>

#include "agent/capture_path.h"
#include "support/weak.h"

namespace vantle::agent {
namespace {

void keepGreatest(std::optional<std::string>& greatest, std::optional<std::string> name) {
  if (name && (!greatest || *name > *greatest)) greatest = std::move(name);
}

std::string withoutTrailingSeparator(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

}  // namespace

std::shared_ptr<FrameWatcher> FrameWatcher::make() { return make(Settings{}); }

std::shared_ptr<FrameWatcher> FrameWatcher::make(Settings settings) {
  return std::shared_ptr<FrameWatcher>(new FrameWatcher(std::move(settings)));
}

FrameWatcher::FrameWatcher(Settings settings) : settings_(std::move(settings)) {}

FrameWatcher::~FrameWatcher() = default;  // the timer and the watcher stop themselves

FrameWatcher::Listing FrameWatcher::watch(std::optional<std::string> directory) {
  return queue_.sync([&] { return switchTo(std::move(directory)); });
}

FrameWatcher::Listing FrameWatcher::relisted() {
  return queue_.sync([&] {
    relist();
    last_ = current();
    return *last_;
  });
}

void FrameWatcher::stop() {
  queue_.post(support::weakly(shared_from_this(), [](FrameWatcher& self) { self.tearDown(); }));
}

void FrameWatcher::drain() {
  queue_.sync([] {});
}

void FrameWatcher::setOnChange(OnChange onChange) {
  queue_.post(support::weakly(shared_from_this(), [onChange = std::move(onChange)](FrameWatcher& self) {
    self.onChange_ = onChange;
  }));
}

void FrameWatcher::setCounting(core::FrameCountRule::CountingMode counting) {
  const core::FrameCountRule::CountingMode before = counting_.exchange(counting);
  if (before == counting) return;
  // Counted afresh at once, rather than at the next heartbeat: no file changed.
  queue_.post(support::weakly(shared_from_this(), [before](FrameWatcher& self) { self.recount(before); }));
}

std::optional<FrameWatcher::Stamp> FrameWatcher::stampOf(const std::string& folder) {
  struct stat info {};
  if (::stat(folder.c_str(), &info) != 0) return std::nullopt;
  constexpr int64_t kNano = 1'000'000'000;
  return Stamp{.device = info.st_dev,
               .inode = info.st_ino,
               .modified = info.st_mtim.tv_sec * kNano + info.st_mtim.tv_nsec,
               .changed = info.st_ctim.tv_sec * kNano + info.st_ctim.tv_nsec};
}

void FrameWatcher::tearDown() {
  VANTLE_ON_QUEUE(queue_);
  // The names are kept for the next visit, so that frames shot meanwhile
  // count as new then.
  if (canonical_ && noted_ && !failed_) newest_.leave(*canonical_, contents_.frameNames(counting_));
  if (watcher_) watcher_->stop();
  watcher_.reset();
  if (timer_) timer_->cancel();
  timer_.reset();
  directory_.reset();
  canonical_.reset();
  contents_.clear();
  stamp_.reset();
  newestFrame_.reset();
  failed_ = false;
  noted_ = false;
  last_.reset();
}

FrameWatcher::Listing FrameWatcher::switchTo(std::optional<std::string> directory) {
  VANTLE_ON_QUEUE(queue_);
  tearDown();
  if (!directory) return Listing{};  // nothing watched; `last_` stays clear
  directory_ = withoutTrailingSeparator(std::move(*directory));
  canonical_ = CapturePath::canonical(*directory_);
  local_ = settings_.reader.isLocal(*directory_);
  mode_ = local_ ? core::WatchMode::fsevents : core::WatchMode::polling;

  // Watching starts before the first listing, so that whatever changes
  // after it is reported.
  double interval = settings_.remotePollInterval;
  if (local_) {
    watcher_ = DirectoryWatcher::make(
        {*directory_}, queue_,
        support::weakly(shared_from_this(),
                        [](FrameWatcher& self, const std::vector<std::string>& paths) { self.apply(paths); }),
        {.fileLevel = true, .recursive = false, .ignoreHidden = true});
    watcher_->start();
    interval = settings_.localHeartbeat;
  }
  timer_ = std::make_unique<support::RepeatingTimer>(
      queue_, interval, support::weakly(shared_from_this(), [](FrameWatcher& self) { self.heartbeat(); }));
  relist();
  last_ = current();
  return *last_;
}

void FrameWatcher::relist() {
  VANTLE_ON_QUEUE(queue_);
  if (!directory_) return;
  // Stamped before the pass: a change during it moves the folder past the stamp.
  stamp_ = stampOf(*directory_);
  local_ = settings_.reader.isLocal(*directory_);  // reported; the mode stays the watch's
  const core::FrameCountRule::CountingMode counting = counting_;
  std::optional<std::string> appeared;
  contents_.beginListing();
  const bool listed = SafeDirectoryReader::listRegularFiles(
      *directory_, [&](std::string_view name) { keepGreatest(appeared, contents_.set(name, true, counting)); });
  if (!listed) {
    // Kept as they were until a listing succeeds; the listing says it failed.
    failed_ = true;
    stamp_.reset();
    return;
  }
  keepGreatest(appeared, contents_.endListing(counting));
  failed_ = false;
  if (noted_) {
    noteAppeared(appeared);
  } else {
    noted_ = true;
    newestFrame_ = newest_.note(*canonical_, contents_.frameNames(counting), contents_.lastFileName(counting));
  }
}

void FrameWatcher::apply(const std::vector<std::string>& paths) {
  VANTLE_ON_QUEUE(queue_);
  if (!directory_) return;
  const std::string prefix = *directory_ + "/";
  bool whole = failed_;
  for (const std::string& path : paths) {
    // The folder itself (overflow, moved, back again) or anything not
    // directly in it: only a full listing can say what it holds now.
    if (path.size() <= prefix.size() || path.compare(0, prefix.size(), prefix) != 0 ||
        path.find('/', prefix.size()) != std::string::npos) {
      whole = true;
    }
  }
  if (whole) {
    relist();
  } else {
    const core::FrameCountRule::CountingMode counting = counting_;
    std::optional<std::string> appeared;
    for (const std::string& path : paths) {
      const std::string name = path.substr(prefix.size());
      keepGreatest(appeared, contents_.set(name, SafeDirectoryReader::isRegularFile(*directory_, name), counting));
    }
    noteAppeared(appeared);
    // Stamped after: any change before this has its event on the way.
    stamp_ = stampOf(*directory_);
  }
  report();
}

void FrameWatcher::heartbeat() {
  VANTLE_ON_QUEUE(queue_);
  if (!directory_) return;
  const bool eventsTellAll = !failed_ && watcher_ && watcher_->isStarted();
  if (eventsTellAll && stamp_ && stampOf(*directory_) == stamp_) return;
  relist();
  report();
}

void FrameWatcher::recount(core::FrameCountRule::CountingMode before) {
  VANTLE_ON_QUEUE(queue_);
  if (!directory_ || failed_) return;
  // Frames the new mode counts that the old did not have just appeared.
  const FrameNames earlier = contents_.frameNames(before);
  std::optional<std::string> appeared;
  for (std::string_view name : contents_.frameNames(counting_)) {
    if (!earlier.contains(name)) keepGreatest(appeared, std::string(name));
  }
  noteAppeared(appeared);
  report();
}

void FrameWatcher::noteAppeared(const std::optional<std::string>& appeared) {
  VANTLE_ON_QUEUE(queue_);
  if (!noted_) return;
  newestFrame_ = newest_.update(*canonical_, appeared, contents_.frameCount(counting_) == 0);
}

FrameWatcher::Listing FrameWatcher::current() const {
  VANTLE_ON_QUEUE(queue_);
  Listing listing{.path = canonical_, .isLocalVolume = local_, .readFailed = failed_};
  if (!directory_ || failed_) return listing;
  const core::FrameCountRule::CountingMode counting = counting_;
  listing.frameCount = contents_.frameCount(counting);
  listing.orphanCount = contents_.orphanCount(counting);
  listing.orphanExtensions = contents_.orphanExtensions(counting);
  listing.lastFileName = contents_.lastFileName(counting);
  listing.newestFrame = newestFrame_;
  return listing;
}

void FrameWatcher::report() {
  VANTLE_ON_QUEUE(queue_);
  Listing listing = current();
  if (last_ == listing) return;
  last_ = std::move(listing);
  if (onChange_) onChange_(*last_);
}

}  // namespace vantle::agent
