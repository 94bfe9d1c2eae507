// The agent's one way of asking the capture application anything.
//
// Reads the open document, its folders and the tethered camera, and runs the
// five script texts of CaptureOneScript, over the channel that
// CaptureOneChannel describes. Every call to the application runs on the
// bridge's own queue ("com.orvane.vantle.captureone"), so a slow application
// never freezes anyone else's queue for more than the caller's own wait; a
// caller on another queue waits for the answer, a caller already on the
// bridge's queue runs in place. Callers must not hold anything the bridge's
// queue may wait for.
//
// The quiet window: for five seconds after the application quits (its bus
// name loses its owner), after a reading finds it not running, or after a
// script fails with "not running" (-600) or "connection invalid" (-609), the
// bridge treats it as not running and sends it nothing.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "agent/clock.h"
#include "support/serial_queue.h"

namespace vantle::agent {

class CaptureOneBridge {
 public:
  // One reading of the open document.
  struct Reading {
    std::optional<std::string> documentName;  // absent: no document
    bool isCatalog = false;
    std::optional<std::string> capturePath;  // as the application gives it
    std::optional<std::string> sessionRoot;  // as the application gives it
    std::optional<bool> cameraConnected;     // absent only when no document was read
    std::optional<std::string> cameraBattery;
    bool permissionDenied = false;  // the user did not allow the agent to ask

    bool operator==(const Reading&) const = default;
  };

  struct ScriptError {
    int number = 0;
    std::string message;
    bool operator==(const ScriptError&) const = default;
  };

  // What a script run came to. Neither a result nor an error: the script
  // could not even be sent (no session bus).
  struct ScriptResult {
    std::optional<std::string> result;
    std::optional<ScriptError> error;
  };

  static constexpr double quietSeconds = 5;

  // `volumesFolder` is where volumes are mounted by name, for colon-form
  // paths ("Macintosh HD:Users:studio:Shoot:Capture:").
  explicit CaptureOneBridge(const Clock& clock = Clock::system(),
                            std::filesystem::path volumesFolder = "/Volumes");
  ~CaptureOneBridge();
  CaptureOneBridge(const CaptureOneBridge&) = delete;
  CaptureOneBridge& operator=(const CaptureOneBridge&) = delete;

  // The process-wide bridge.
  static CaptureOneBridge& shared();

  // The quiet window is over and the application's bus name has an owner.
  bool isRunning();

  // Absent when the application is not running.
  std::optional<Reading> read();

  // Runs one script text (placeholders already filled). When the application
  // is not running the script is not sent: error -600 "Capture One is not
  // running.".
  ScriptResult run(std::string_view source);

  // Pushes the quiet window to five seconds from now.
  void openQuietWindow();

  // A path text from the application as a canonical POSIX path: "/..." as it
  // stands, the colon-separated volume form through `volumesFolder`; absent
  // for anything else or nothing.
  std::optional<std::string> posixPath(std::string_view text) const;

  struct Channel;

 private:
  bool quiet() const;

  const Clock& clock_;
  const std::filesystem::path volumesFolder_;
  mutable std::mutex quietMutex_;
  core::Instant quietUntil_;
  support::SerialQueue queue_;
  std::shared_ptr<Channel> channel_;  // lives on queue_
};

}  // namespace vantle::agent
