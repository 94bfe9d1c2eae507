// The designation as the capture application reports it.
//
// Does not poll by itself: the coordinator calls refresh() on its own poll,
// which asks the application through the bridge (waiting as long as the
// application takes) and keeps the result for currentReading(). The change
// callback runs, on the thread that called refresh(), only when the
// designated path changes; a change of status or battery alone is only seen
// in currentReading().
//
// Image pulls through the same application are CaptureOnePulls
// (capture_one_pulls.h).
#pragma once

#include <memory>
#include <mutex>

#include "agent/capture/capture_one_bridge.h"
#include "agent/capture/session_source.h"
#include "support/serial_queue.h"

namespace vantle::agent {

class CaptureOneScriptSource final : public SessionSource,
                                     public std::enable_shared_from_this<CaptureOneScriptSource> {
 public:
  explicit CaptureOneScriptSource(CaptureOneBridge& bridge = CaptureOneBridge::shared());

  DesignationReading currentReading() const override;
  void start() override {}
  void stop() override {}
  void setOnDesignationChanged(DesignationHandler handler) override;

  // Asks the application now, keeps and returns the new reading.
  DesignationReading refresh();

  // The document's name without surrounding white space and without the
  // session or catalog package suffix.
  static std::string sessionName(std::string_view documentName);

  CaptureOneBridge& bridge() { return bridge_; }

 private:
  DesignationReading readingFrom(const std::optional<CaptureOneBridge::Reading>& reading);

  CaptureOneBridge& bridge_;
  mutable std::mutex mutex_;  // guards cached_ and onChange_
  DesignationReading cached_;
  DesignationHandler onChange_;
};

}  // namespace vantle::agent
