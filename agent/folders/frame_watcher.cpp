#include "agent/folders/frame_watcher.h"

#include "support/weak.h"

namespace vantle::agent {

std::shared_ptr<FrameWatcher> FrameWatcher::make() { return make(Settings{}); }

std::shared_ptr<FrameWatcher> FrameWatcher::make(Settings settings) {
  return std::shared_ptr<FrameWatcher>(new FrameWatcher(std::move(settings)));
}

FrameWatcher::FrameWatcher(Settings settings) : settings_(std::move(settings)) {}

FrameWatcher::~FrameWatcher() = default;  // the timer and the watcher stop themselves

void FrameWatcher::watch(std::optional<std::string> directory) {
  queue_.post(support::weakly(shared_from_this(), [directory = std::move(directory)](FrameWatcher& self) {
    self.switchTo(directory);
  }));
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
  counting_ = counting;
  // Counted afresh at once, rather than at the next heartbeat: no file changed.
  queue_.post(support::weakly(shared_from_this(), [](FrameWatcher& self) { self.check(); }));
}

void FrameWatcher::tearDown() {
  if (watcher_) watcher_->stop();
  watcher_.reset();
  if (timer_) timer_->cancel();
  timer_.reset();
  directory_.reset();
  last_.reset();
}

void FrameWatcher::switchTo(std::optional<std::string> directory) {
  tearDown();
  if (!directory) {
    if (onChange_) onChange_(Listing{});  // nothing watched; `last_` stays clear
    return;
  }
  directory_ = std::move(directory);
  Listing listing = settings_.reader.read(*directory_, counting_);
  const bool local = listing.isLocalVolume;
  mode_ = local ? core::WatchMode::fsevents : core::WatchMode::polling;

  // Watching starts before the first report, so that whatever the receiver
  // sees changing after it is reported again.
  const auto checkWeakly = support::weakly(shared_from_this(), [](FrameWatcher& self) { self.check(); });
  double interval = settings_.remotePollInterval;
  if (local) {
    watcher_ = DirectoryWatcher::make({*directory_}, queue_,
                                      [checkWeakly](const std::vector<std::string>&) { checkWeakly(); },
                                      {.fileLevel = true, .recursive = false, .ignoreHidden = true});
    watcher_->start();
    interval = settings_.localHeartbeat;
  }
  timer_ = std::make_unique<support::RepeatingTimer>(queue_, interval, checkWeakly);
  report(std::move(listing));
}

void FrameWatcher::check() {
  if (!directory_) return;
  Listing listing = settings_.reader.read(*directory_, counting_);
  if (last_ == listing) return;
  report(std::move(listing));
}

void FrameWatcher::report(Listing listing) {
  last_ = listing;
  if (onChange_) onChange_(*last_);
}

}  // namespace vantle::agent
