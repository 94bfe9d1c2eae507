// Images pulled through the capture application for a companion.
//
// fetchSelectedImage(false) gives the quick image of each selected frame
// from what is already on disk (the application's cache thumbnail, the image
// inside an "eip" package, or the frame itself, at most 4000 pixels);
// fetchSelectedImage(true) and quickProofForRaw() have the application render
// through the agent's own recipe ("Orvane Live QuickProof") into the
// "quickproof" folder under the storage root and collect the JPEG files that
// appear there. Every failure is one sentence for the user; nothing throws.
//
// Synchronous: a high-resolution pull blocks its caller for as long as the
// application works (two minutes at the most, plus ten seconds for the files).
// Callers run pulls on their own queue (the service's pull queue), never on
// the bridge's.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "agent/capture/capture_one_bridge.h"
#include "agent/storage/agent_storage.h"
#include "agent/storage/descriptor.h"
#include "core/message.h"

namespace vantle::agent {

class CaptureOnePulls {
 public:
  struct Timing {
    double jobDeadline = 120;    // seconds a job may stay pending
    double statusPoll = 0.25;    // between job status questions
    double collectDeadline = 10; // seconds for the files to show up and settle
    double filePoll = 0.25;      // while no file has shown up
    double settlePoll = 0.3;     // while the files may still grow
  };

  static constexpr int quickImageSize = 4000;

  // The output folder is the storage's "quickproof" folder, used only while
  // it is a real folder below the storage root (see scratch_folder.h). Both
  // must outlive the pulls.
  CaptureOnePulls(CaptureOneBridge& bridge, const AgentStorage& storage);
  CaptureOnePulls(CaptureOneBridge& bridge, const AgentStorage& storage, Timing timing);

  core::ImagePullOutcome fetchSelectedImage(bool highRes);
  core::ImagePullOutcome quickProofForRaw(const std::string& path);

  // The path as the text of a script string: \ becomes \\, then " becomes \".
  static std::string escapedForScript(std::string_view path);

  std::filesystem::path outputFolder() const { return outputFolder_; }

 private:
  core::ImagePullOutcome quickProof(const std::string& processScript);
  // The selection script's answer split into paths, empty lines dropped.
  static std::vector<std::string> pathsIn(std::string_view answer);
  std::optional<core::PulledImage> quickImage(const std::string& path) const;
  // The JPEG files in the opened output folder written since `notBefore`.
  std::vector<std::filesystem::path> outputFiles(const Descriptor& folder,
                                                 std::filesystem::file_time_type notBefore) const;

  CaptureOneBridge& bridge_;
  const AgentStorage& storage_;
  const std::filesystem::path outputFolder_;
  const Timing timing_;
};

}  // namespace vantle::agent
