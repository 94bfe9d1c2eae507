// The designation taken from a folder tree the user chose: the folder in
// which a frame most recently appeared.
//
// start() looks for the newest frame once in the background (the usual
// "Capture" and "Captures" folders first, then the tree, at most 20,000
// entries and four levels deep, housekeeping folders pruned) and follows
// file events below the root from then on; the folder of the last frame event
// in a batch becomes the designated one. start() returns at once: the tree's
// watches are set up on the source's queue. When the whole tree must be
// looked at again (it came back after its drive was unmounted, or events
// were lost), the folder of the newest frame anywhere in it is designated. Once a folder is designated it stays
// so until a frame appears elsewhere; stop() keeps it. File events are
// handled on the queue "com.orvane.vantle.observed"; the change callback runs
// there or on the background rescan, after the lock is released. The watcher
// and the rescan hold the source weakly.
#pragma once

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "agent/capture/session_source.h"
#include "agent/folders/directory_watcher.h"
#include "support/serial_queue.h"

namespace vantle::agent {

class ObservedFolderSource final : public SessionSource,
                                   public std::enable_shared_from_this<ObservedFolderSource> {
 public:
  static constexpr size_t rescanEntryLimit = 20000;
  static constexpr int rescanDepthLimit = 4;

  // Starts nothing.
  static std::shared_ptr<ObservedFolderSource> make(std::filesystem::path root);
  ~ObservedFolderSource() override;

  DesignationReading currentReading() const override;
  void start() override;
  void stop() override;
  void setOnDesignationChanged(DesignationHandler handler) override;

  const std::string& sessionName() const { return sessionName_; }
  const std::string& sessionRoot() const { return sessionRoot_; }

  // The initial search for the newest frame, while none is designated;
  // start() runs it in the background. Public so that tests can run it in
  // place.
  void rescan();

 private:
  // The search again after the tree came back or events were lost: the
  // folder of the newest frame anywhere, as the missed events would have said.
  void resync();
  // Makes `folder` the designated one (and says so); unless `replacing`,
  // only when none is designated yet.
  void designate(const std::string& folder, bool replacing);
  explicit ObservedFolderSource(std::filesystem::path root);
  void handle(const std::vector<std::string>& paths);
  DesignationReading readingLocked() const;

  const std::filesystem::path root_;
  const std::string watchedRoot_;  // root_ as the watcher reports it
  std::string sessionName_;
  std::string sessionRoot_;
  support::SerialQueue queue_;
  support::SerialQueue rescanQueue_;
  mutable std::mutex mutex_;  // guards currentPath_ and onChange_
  std::optional<std::string> currentPath_;
  DesignationHandler onChange_;
  std::shared_ptr<DirectoryWatcher> watcher_;  // touched by start/stop only
};

}  // namespace vantle::agent
