// What the coordinator's tests share: a session source the test scripts, a
// recorder of everything the coordinator publishes, and frames written the
// way a camera's tethering software does (whole files, renamed into place).
#pragma once

#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "agent/capture/session_source.h"
#include "agent/engine/agent_coordinator.h"
#include "tests/support/eventually.h"
#include "tests/support/temp_folder.h"

namespace vantle::testing {

// A session source whose reading the test sets.
class ScriptedSource final : public agent::SessionSource {
 public:
  agent::DesignationReading currentReading() const override {
    std::lock_guard lock(mutex_);
    return reading_;
  }
  void start() override {
    std::lock_guard lock(mutex_);
    ++starts_;
  }
  void stop() override {
    std::lock_guard lock(mutex_);
    ++stops_;
  }
  void setOnDesignationChanged(DesignationHandler handler) override {
    std::lock_guard lock(mutex_);
    handler_ = std::move(handler);
  }

  // A session reading of `folder` (none: nothing designated); the
  // coordinator sees it at its next tick.
  void designate(const std::optional<std::filesystem::path>& folder, const std::string& session = "Lookbook",
                 const std::optional<std::filesystem::path>& sessionRoot = std::nullopt) {
    agent::DesignationReading reading;
    if (folder) {
      reading.designatedPath = folder->string();
      reading.sessionName = session;
      reading.sessionRoot = (sessionRoot ? *sessionRoot : folder->parent_path()).string();
      reading.documentKind = core::DocumentKind::session;
      reading.status = core::AgentStatus::ok;
      reading.isCameraConnected = true;
    }
    set(reading);
  }

  void set(const agent::DesignationReading& reading) {
    std::lock_guard lock(mutex_);
    reading_ = reading;
  }

  // Tells the coordinator of the current reading at once, as a source does
  // between polls.
  void announce() {
    DesignationHandler handler;
    agent::DesignationReading reading;
    {
      std::lock_guard lock(mutex_);
      handler = handler_;
      reading = reading_;
    }
    if (handler) handler(reading);
  }

  int starts() const {
    std::lock_guard lock(mutex_);
    return starts_;
  }
  int stops() const {
    std::lock_guard lock(mutex_);
    return stops_;
  }

 private:
  mutable std::mutex mutex_;
  agent::DesignationReading reading_;
  DesignationHandler handler_;
  int starts_ = 0;
  int stops_ = 0;
};

// Everything the coordinator hands to its callbacks, readable from the test.
class Recorder {
 public:
  agent::AgentCoordinator::Callbacks callbacks() {
    return {
        .onSnapshot = [this](const core::VantleSnapshot& s) { add(snapshots_, s); },
        .onSegment = [this](const core::WireSegment& s) { add(segments_, s); },
        .onFrameThumbnail = [this](const agent::AgentCoordinator::FrameThumbnail& t) { add(thumbnails_, t); },
        .onFrameCleared = [this] { add(cleared_, true); },
        .onShootStateChanged = [this](bool running, bool resumable) { add(shootStates_, {running, resumable}); },
        .onVerification = [this](const core::ShootVerification& v) { add(verifications_, v); },
    };
  }

  std::vector<core::VantleSnapshot> snapshots() const { return copy(snapshots_); }
  std::vector<core::WireSegment> segments() const { return copy(segments_); }
  std::vector<agent::AgentCoordinator::FrameThumbnail> thumbnails() const { return copy(thumbnails_); }
  size_t cleared() const { return copy(cleared_).size(); }
  std::vector<std::pair<bool, bool>> shootStates() const { return copy(shootStates_); }
  std::vector<core::ShootVerification> verifications() const { return copy(verifications_); }

  void clear() {
    std::lock_guard lock(mutex_);
    snapshots_.clear();
    segments_.clear();
    thumbnails_.clear();
    cleared_.clear();
    shootStates_.clear();
    verifications_.clear();
  }

  core::VantleSnapshot last() const {
    std::lock_guard lock(mutex_);
    return snapshots_.empty() ? core::VantleSnapshot{} : snapshots_.back();
  }
  // Waits until the last published snapshot satisfies `holds`.
  template <typename P>
  bool waitFor(P holds, double seconds = 10) {
    return eventually([&] { return holds(last()); }, seconds);
  }

 private:
  template <typename T>
  void add(std::vector<T>& list, T value) {
    std::lock_guard lock(mutex_);
    list.push_back(std::move(value));
  }
  template <typename T>
  std::vector<T> copy(const std::vector<T>& list) const {
    std::lock_guard lock(mutex_);
    return list;
  }

  mutable std::mutex mutex_;
  std::vector<core::VantleSnapshot> snapshots_;
  std::vector<core::WireSegment> segments_;
  std::vector<agent::AgentCoordinator::FrameThumbnail> thumbnails_;
  std::vector<bool> cleared_;
  std::vector<std::pair<bool, bool>> shootStates_;
  std::vector<core::ShootVerification> verifications_;
};

// A frame written whole under a hidden name, then renamed into place, so a
// listing never sees half of it.
inline void landFrame(const std::filesystem::path& folder, const std::string& name,
                      const std::vector<uint8_t>& bytes = {'r', 'a', 'w'}) {
  const std::filesystem::path hidden = folder / ("." + name + ".part");
  TempFolder::writeAt(hidden, bytes);
  std::filesystem::rename(hidden, folder / name);
}

}  // namespace vantle::testing
