// Where the designated capture folder comes from.
//
// A session source answers, at every moment, which folder the camera's frames
// land in, and says why it cannot when it cannot. The coordinator holds one
// source at a time, asks for `currentReading` on every poll and hears about
// changes between polls through `onDesignationChanged`.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "core/status.h"

namespace vantle::agent {

struct DesignationReading {
  std::optional<std::string> designatedPath;  // canonical; absent when none is known
  std::optional<std::string> sessionName;
  std::optional<std::string> sessionRoot;  // canonical
  std::optional<core::DocumentKind> documentKind;
  core::AgentStatus status = core::AgentStatus::captureOneNotRunning;
  core::SourceKind sourceKind = core::SourceKind::designation;
  std::optional<bool> isCameraConnected;
  std::optional<std::string> cameraBattery;

  bool operator==(const DesignationReading&) const = default;
};

class SessionSource {
 public:
  using DesignationHandler = std::function<void(const DesignationReading&)>;
  virtual ~SessionSource() = default;

  // The current reading; never waits for the capture application or the disk.
  virtual DesignationReading currentReading() const = 0;
  virtual void start() = 0;
  virtual void stop() = 0;
  // Called, on the source's own thread, when the designated folder changes.
  // Set before start(); the receiver hops to its own queue.
  virtual void setOnDesignationChanged(DesignationHandler handler) = 0;
};

}  // namespace vantle::agent
